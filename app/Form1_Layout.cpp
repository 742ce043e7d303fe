// Window layout in two columns and the banner.
#include "app/Form1.h"

void Form1::Form_Resize() {}
void Form1::Form_Activate() {}
void Form1::paintBanner(QWidget *) {}
