// The file and print dialog component: open, save and print dialogs sharing one file name,
// and the printer they choose.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QFileDialog;
class QPrinter;
class QWidget;

class CommonDialog : public QObject
{
    Q_OBJECT

public:
    // Dialog flag bits used by the window.
    enum Flag : int {
        cdlOFNOverwritePrompt = 2,
        cdlOFNHideReadOnly = 4,
        cdlPDNoPageNums = 8,
        cdlPDReturnDC = 256,
    };

    explicit CommonDialog(QWidget *parent = nullptr);
    ~CommonDialog() override;

    int Flags() const { return m_flags; }
    void setFlags(int flags) { m_flags = flags; }

    // Proposed name before ShowSave; the chosen file after ShowOpen or ShowSave. Kept between
    // uses, so every dialog starts with the name used last.
    QString FileName() const { return m_fileName; }
    void setFileName(const QString &name) { m_fileName = name; }

    // "Text File(*.txt)|*.txt": description and pattern pairs separated by '|'.
    QString Filter() const { return m_filter; }
    void setFilter(const QString &filter) { m_filter = filter; }

    // Each shows its modal dialog and returns when it is closed: true when the user chose,
    // false when the dialog was cancelled (the caller then does nothing more).
    bool ShowOpen();
    bool ShowSave();
    bool ShowPrinter();

    // The printer chosen by the last ShowPrinter (a default printer before that).
    QPrinter *Printer();

private:
    QWidget *parentWidget() const;
    QString qtFilter() const;
    bool runFileDialog(QFileDialog &dialog);

    int m_flags = 0;
    QString m_fileName;
    QString m_filter;
    QString m_lastFolder;
    std::unique_ptr<QPrinter> m_printer;
};
