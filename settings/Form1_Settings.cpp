// The settings record and its file: loading it onto the menus, the defaults, saving.
#include "app/Form1.h"

#include "settings/MenuItems.h"
#include "settings/SettingsFile.h"

#include <QAction>
#include <QDir>

namespace {

// Marks the item that the text names; false when it names none of the group.
template<std::size_t N> bool markItem(const std::array<QAction *, N> &items, const QString &text)
{
    QAction *item = selectedItem(items, text);
    if (item)
        item->setChecked(true);
    return item != nullptr;
}

bool markOption(QAction *option, const QString &text)
{
    const std::optional<bool> on = truth(text);
    if (on)
        option->setChecked(*on);
    return on.has_value();
}

// Sets the marks from the record in the menus' order, stopping at the first text that
// names no item.
bool applyRecord(Form1 &form)
{
    const auto &record = form.IniVal;
    return markItem(form.Port, record[0]) && markItem(form.BPS, record[1])
        && markItem(form.Parity, record[2]) && markItem(form.Length, record[3])
        && markItem(form.Bit, record[4]) && markItem(form.Term, record[5])
        && markOption(form.mTime, record[6]) && markOption(form.mDate, record[7])
        && markOption(form.mSeq, record[8]) && markOption(form.mHeader, record[9])
        && markOption(form.mFooter, record[10]) && markItem(form.Wait, record[11]);
}

bool loadFromFile(Form1 &form)
{
    const std::optional<SettingsRecord> record = readSettingsFile(settingsFilePath());
    if (!record)
        return false;
    form.IniVal = *record;
    return applyRecord(form);
}

} // namespace

void Form1::clearSettingsMarks()
{
    clearMarks(Port);
    clearMarks(BPS);
    clearMarks(Parity);
    clearMarks(Length);
    clearMarks(Bit);
    clearMarks(Term);
    clearMarks(Wait);
    for (QAction *option : {mTime, mDate, mSeq, mHeader, mFooter})
        option->setChecked(false);
}

void Form1::LoadSettings()
{
    if (loadFromFile(*this))
        return;
    // A record that failed half-way has marked some items: clear them, or a group would show
    // its old mark beside the default one.
    clearSettingsMarks();
    WriteDefaultSettings();
    if (loadFromFile(*this))
        return;

    // The defaults could not be read back (the file cannot be written or read): run on the
    // defaults in memory rather than trying again and again.
    clearSettingsMarks();
    IniVal = defaultSettingsRecord();
    applyRecord(*this);
}

void Form1::WriteDefaultSettings()
{
    IniVal = defaultSettingsRecord();
    SaveSettings();
}

void Form1::SaveSettings()
{
    const QString path = settingsFilePath();
    QString reason;
    if (!writeSettingsFile(path, IniVal, &reason))
        showSettingsWriteFailure(path, reason);
}

void Form1::showSettingsWriteFailure(const QString &path, const QString &reason)
{
    // Every later choice would fail the same way: one box per run is enough.
    if (m_settingsFailureShown)
        return;
    m_settingsFailureShown = true;
    showMessage(QMessageBox::Warning,
                tr("The settings file could not be written:\n%1\n%2")
                    .arg(QDir::toNativeSeparators(path), reason),
                tr("The selections stay in effect until the program ends, but they will not be "
                   "remembered."),
                QMessageBox::Ok, QMessageBox::Ok);
}
