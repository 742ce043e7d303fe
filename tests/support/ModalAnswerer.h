// Answers the next modal message box or file dialog the program shows, and records what it
// showed: the way a user would, through the real widgets.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

struct ShownDialog
{
    QString kind; // "QMessageBox", "QFileDialog", "QPrintDialog", or the class name
    QString title;
    QString text;
    QString informativeText;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QString fileName; // a file dialog's proposed name (selected file)
    int acceptMode = -1; // a file dialog's QFileDialog::AcceptMode
    QStringList nameFilters; // a file dialog's filters
};

class ModalAnswerer : public QObject
{
    Q_OBJECT

public:
    ModalAnswerer();

    // Each queued answer handles one dialog, in order.
    // A message box: click this button.
    void answerMessage(QMessageBox::StandardButton button);
    // A message box: close it without a choice (Escape).
    void dismissMessage();
    // A file dialog: choose this path and accept.
    void chooseFile(const QString &path);
    // Any dialog: reject it (Cancel).
    void cancelDialog();
    // Any dialog: accept it as it stands (a print dialog's OK).
    void acceptDialog();
    // Any dialog: hand it to the action, which runs while the dialog is open and answers it.
    void act(const std::function<void(QWidget *)> &action);

    int pending() const { return int(m_answers.size()); }
    const QList<ShownDialog> &shown() const { return m_shown; }
    // Waits, running events, until every queued answer has been given.
    bool waitAllAnswered(int timeoutMs = 5000);

private:
    void poll();

    QTimer m_timer;
    QList<std::function<void(QWidget *)>> m_answers;
    QList<ShownDialog> m_shown;
};
