// The file and print dialogs over QFileDialog and QPrintDialog.
#include "panes/CommonDialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QPrintDialog>
#include <QPrinter>
#include <QWidget>

CommonDialog::CommonDialog(QWidget *parent) : QObject(parent) { }

CommonDialog::~CommonDialog() = default;

QWidget *CommonDialog::parentWidget() const
{
    return qobject_cast<QWidget *>(parent());
}

QString CommonDialog::qtFilter() const
{
    // "Text File(*.txt)|*.txt|..." lists description and pattern in turn; Qt shows the
    // description, which already names its pattern.
    const QStringList parts = m_filter.split(u'|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString &description = parts.at(i);
        const QString &pattern = parts.at(i + 1);
        filters.append(description.contains(u'(')
                           ? description
                           : QStringLiteral("%1 (%2)").arg(description, pattern));
    }
    return filters.join(QStringLiteral(";;"));
}

bool CommonDialog::runFileDialog(QFileDialog &dialog)
{
    // A bare proposed name ("Send Data") opens in the folder used last.
    if (!m_lastFolder.isEmpty() && QFileInfo(m_fileName).isRelative())
        dialog.setDirectory(m_lastFolder);
    else if (!m_fileName.isEmpty())
        dialog.setDirectory(QFileInfo(m_fileName).absolutePath());
    if (!m_fileName.isEmpty())
        dialog.selectFile(m_fileName);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        return false;
    m_fileName = chosen.first();
    m_lastFolder = QFileInfo(m_fileName).absolutePath();
    return true;
}

bool CommonDialog::ShowOpen()
{
    QFileDialog dialog(parentWidget());
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(qtFilter());
    return runFileDialog(dialog);
}

bool CommonDialog::ShowSave()
{
    QFileDialog dialog(parentWidget());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(qtFilter());
    // The filter offers text files: a name typed without an extension gets ".txt".
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !(m_flags & cdlOFNOverwritePrompt));
    return runFileDialog(dialog);
}

bool CommonDialog::ShowPrinter()
{
    QPrintDialog dialog(Printer(), parentWidget());
    QAbstractPrintDialog::PrintDialogOptions options = dialog.options();
    options.setFlag(QAbstractPrintDialog::PrintPageRange, !(m_flags & cdlPDNoPageNums));
    options.setFlag(QAbstractPrintDialog::PrintSelection, false);
    dialog.setOptions(options);
    return dialog.exec() == QDialog::Accepted;
}

QPrinter *CommonDialog::Printer()
{
    if (!m_printer)
        m_printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
    return m_printer.get();
}
