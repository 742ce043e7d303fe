// The settings file: its place, its twelve fields, and the conversions of their texts.
#pragma once

#include <QString>

#include <array>
#include <optional>

class QIODevice;

// The settings record: elements 0 to 11, one per line of the settings file.
using SettingsRecord = std::array<QString, 12>;

// A decimal number, blanks around it allowed, a fraction rounded half to even, within the
// 16-bit signed range. Empty or non-numeric text gives nothing.
std::optional<int> whole(const QString &text);

// "True" or "False" in any letter case, or a number (0 off, any other on), blanks around
// allowed. Anything else, the empty text included, gives nothing.
std::optional<bool> truth(const QString &text);

// Reads the first twelve fields of a settings file. A comma or a line end ends a field,
// leading blanks are skipped, and a field that starts with a double quote runs to the next
// double quote. Gives nothing when the file ends before the twelfth field; what follows it
// is never read.
std::optional<SettingsRecord> readSettingsFields(QIODevice &device);

// Reads the settings file at path; nothing when it is missing, not a plain file or unusable.
std::optional<SettingsRecord> readSettingsFile(const QString &path);

// Port 1, 2400 baud, even parity, 7 data bits, 1 stop bit, CR/LF, no wait, options off
// (as the digit 0, which reads as off like "False").
SettingsRecord defaultSettingsRecord();

// The settings file's bytes: each element's text as held, followed by CR LF.
QByteArray settingsFileContent(const SettingsRecord &record);

// Replaces the file at path in one step, so a crash or a full disk never leaves half a file.
// On failure the old file stays as it was and reason (when given) tells why.
bool writeSettingsFile(const QString &path, const SettingsRecord &record,
                       QString *reason = nullptr);

// Points the executable's folder at another folder (tests); the empty text undoes it.
// The place of the settings file is decided again at the next settingsFilePath().
void overrideSettingsFolder(const QString &folder);

// The settings file in use: beside the executable, named after it with ".ini"; in the
// user's configuration folder when the executable's folder cannot be written. Decided once.
QString settingsFilePath();
