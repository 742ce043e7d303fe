// Sending: the buttons, the send timer and the line transmitter.
#include "app/Form1.h"

void Form1::Command1_Click() {}
void Form1::Command2_Click() {}
void Form1::Timer1_Timer() {}
void Form1::PrepareNextLine() {}
void Form1::writeTimeStamp() {}
