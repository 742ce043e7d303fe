// The RS232C, Wait and Option menus: check marks, the settings record, the settings file.
#include "app/Form1.h"

#include "serial/MSComm.h"
#include "settings/MenuItems.h"

#include <QAction>

namespace {

// Leaves the chosen item the only marked one of its group and stores its index.
template<std::size_t N>
bool choose(const std::array<QAction *, N> &items, int index, QString &element)
{
    if (index < 0 || index >= int(N))
        return false;
    clearMarks(items);
    items[std::size_t(index)]->setChecked(true);
    element = QString::number(index);
    return true;
}

// Turns the option over and stores the mark it now shows.
void toggle(QAction *option, QString &element)
{
    option->setChecked(!option->isChecked());
    element = option->isChecked() ? QStringLiteral("True") : QStringLiteral("False");
}

} // namespace

void Form1::Port_Click(int Index)
{
    if (choose(Port, Index, IniVal[0]))
        SaveSettings();
    // A port chosen again means the device that has its number now, not one that went away.
    MSComm1->forgetLostDevice();
}

void Form1::BPS_Click(int Index)
{
    if (choose(BPS, Index, IniVal[1]))
        SaveSettings();
}

void Form1::Parity_Click(int Index)
{
    if (choose(Parity, Index, IniVal[2]))
        SaveSettings();
}

void Form1::Length_Click(int Index)
{
    if (choose(Length, Index, IniVal[3]))
        SaveSettings();
}

void Form1::Bit_Click(int Index)
{
    if (choose(Bit, Index, IniVal[4]))
        SaveSettings();
}

void Form1::Term_Click(int Index)
{
    if (choose(Term, Index, IniVal[5]))
        SaveSettings();
}

void Form1::Wait_Click(int Index)
{
    if (choose(Wait, Index, IniVal[11]))
        SaveSettings();
}

void Form1::mTime_Click()
{
    toggle(mTime, IniVal[6]);
    SaveSettings();
}

void Form1::mDate_Click()
{
    toggle(mDate, IniVal[7]);
    SaveSettings();
}

void Form1::mSeq_Click()
{
    toggle(mSeq, IniVal[8]);
    SaveSettings();
    // Numbering starts again at 1 whether the option was turned on or off.
    SeqNo = 0;
}

void Form1::mHeader_Click()
{
    toggle(mHeader, IniVal[9]);
    SaveSettings();
}

void Form1::mFooter_Click()
{
    toggle(mFooter, IniVal[10]);
    SaveSettings();
}
