// The settings record and its file.
#include "app/Form1.h"

void Form1::LoadSettings() {}
void Form1::WriteDefaultSettings() {}
void Form1::SaveSettings() {}
void Form1::showSettingsWriteFailure(const QString &, const QString &) {}
