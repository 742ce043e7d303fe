// Answers modal dialogs by polling the application's active modal widget.
#include "tests/support/ModalAnswerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

ModalAnswerer::ModalAnswerer()
{
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs, true);
    m_timer.setInterval(10);
    connect(&m_timer, &QTimer::timeout, this, &ModalAnswerer::poll);
    m_timer.start();
}

namespace {

ShownDialog describe(QWidget *widget)
{
    ShownDialog shown;
    shown.kind = QString::fromLatin1(widget->metaObject()->className());
    shown.title = widget->windowTitle();
    if (auto *box = qobject_cast<QMessageBox *>(widget)) {
        shown.kind = QStringLiteral("QMessageBox");
        shown.text = box->text();
        shown.informativeText = box->informativeText();
        shown.icon = box->icon();
        shown.buttons = box->standardButtons();
        if (box->defaultButton())
            shown.defaultButton = box->standardButton(box->defaultButton());
    } else if (auto *dialog = qobject_cast<QFileDialog *>(widget)) {
        shown.kind = QStringLiteral("QFileDialog");
        const QStringList selected = dialog->selectedFiles();
        shown.fileName = selected.isEmpty() ? QString() : selected.first();
        shown.acceptMode = int(dialog->acceptMode());
        shown.nameFilters = dialog->nameFilters();
    }
    return shown;
}

} // namespace

void ModalAnswerer::answerMessage(QMessageBox::StandardButton button)
{
    m_answers.append([button](QWidget *widget) {
        if (auto *box = qobject_cast<QMessageBox *>(widget)) {
            if (QAbstractButton *b = box->button(button)) {
                b->click();
                return;
            }
        }
        qWarning("ModalAnswerer: expected a message box with the requested button");
        if (auto *dialog = qobject_cast<QDialog *>(widget))
            dialog->reject();
    });
}

void ModalAnswerer::dismissMessage()
{
    m_answers.append([](QWidget *widget) { QTest::keyClick(widget, Qt::Key_Escape); });
}

void ModalAnswerer::chooseFile(const QString &path)
{
    m_answers.append([path](QWidget *widget) {
        if (auto *dialog = qobject_cast<QFileDialog *>(widget)) {
            // Type the name into the dialog's own line edit, as a user would. After selectFile:
            // until the edit has the focus, selectFile rewrites it relative to the folder the
            // dialog managed to enter, which for a missing folder is the current one.
            dialog->selectFile(path);
            if (auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                edit->setText(path);
            QMetaObject::invokeMethod(dialog, "accept");
            return;
        }
        qWarning("ModalAnswerer: expected a file dialog");
        if (auto *dialog = qobject_cast<QDialog *>(widget))
            dialog->reject();
    });
}

void ModalAnswerer::cancelDialog()
{
    m_answers.append([](QWidget *widget) {
        if (auto *dialog = qobject_cast<QDialog *>(widget))
            dialog->reject();
    });
}

void ModalAnswerer::acceptDialog()
{
    m_answers.append([](QWidget *widget) {
        if (auto *dialog = qobject_cast<QDialog *>(widget))
            dialog->accept();
    });
}

void ModalAnswerer::act(const std::function<void(QWidget *)> &action)
{
    m_answers.append(action);
}

void ModalAnswerer::poll()
{
    if (m_answers.isEmpty())
        return;
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible())
        return;
    // One answer per dialog: wait until the answered one has gone.
    if (modal->property("kavrelAnswered").toBool())
        return;
    modal->setProperty("kavrelAnswered", true);
    m_shown.append(describe(modal));
    auto answer = m_answers.takeFirst();
    answer(modal);
}

bool ModalAnswerer::waitAllAnswered(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!m_answers.isEmpty() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return m_answers.isEmpty();
}
