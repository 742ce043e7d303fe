// The File menu's work on the panes, and the panes' change flags.
#include "app/Form1.h"

void Form1::mOpen_Click() {}
void Form1::N_Send_Click() {}
void Form1::N_Received_Click() {}
void Form1::S_Send_Click() {}
void Form1::S_Received_Click() {}
void Form1::P_Send_Click() {}
void Form1::P_Received_Click() {}
void Form1::RichTextBox1_Change() {}
void Form1::RichTextBox2_Change() {}
