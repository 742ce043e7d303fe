// Opening and closing the port with the chosen line settings.
#include "app/Form1.h"

void Form1::OpenPort() {}
void Form1::ClosePort() {}
void Form1::SetPortSettings() {}
