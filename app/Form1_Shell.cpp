// Start-up and the ways of leaving the program.
#include "app/Form1.h"

void Form1::Form_Load() {}
void Form1::Form_Unload(std::int16_t &) {}
void Form1::mEnd_Click() {}
void Form1::ConfirmExit() {}
