// The RS232C, Wait and Option menus.
#include "app/Form1.h"

void Form1::Port_Click(int) {}
void Form1::BPS_Click(int) {}
void Form1::Parity_Click(int) {}
void Form1::Length_Click(int) {}
void Form1::Bit_Click(int) {}
void Form1::Term_Click(int) {}
void Form1::Wait_Click(int) {}
void Form1::mTime_Click() {}
void Form1::mDate_Click() {}
void Form1::mSeq_Click() {}
void Form1::mHeader_Click() {}
void Form1::mFooter_Click() {}
