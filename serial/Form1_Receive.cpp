// The receive path: received characters become lines of the received pane.
#include "app/Form1.h"

void Form1::MSComm1_OnComm() {}
void Form1::flushReceivedLines() {}
