// Placeholder until the dialog component lands.
#include "panes/CommonDialog.h"

#include <QPrinter>
#include <QWidget>

CommonDialog::CommonDialog(QWidget *parent) : QObject(parent) {}
CommonDialog::~CommonDialog() = default;
bool CommonDialog::ShowOpen() { return false; }
bool CommonDialog::ShowSave() { return false; }
bool CommonDialog::ShowPrinter() { return false; }
QPrinter *CommonDialog::Printer()
{
    if (!m_printer)
        m_printer = std::make_unique<QPrinter>();
    return m_printer.get();
}
QWidget *CommonDialog::parentWidget() const { return qobject_cast<QWidget *>(parent()); }
QString CommonDialog::qtFilter() const { return {}; }
