// Reading a text file for a pane: only a regular file, and only one the pane can hold.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The largest file Open takes: far beyond any file of lines to send, and small enough that the
// pane holding it stays usable.
inline constexpr qint64 maxTextFileBytes = 64 * 1024 * 1024;

// The file's bytes, or nothing with the reason in why: a file that cannot be read, something
// that is not a regular file (a folder, a device, a pipe), or a file over maxTextFileBytes.
// Never blocks on a pipe and never reads more than the limit.
std::optional<QByteArray> readTextFile(const QString &path, QString *why);

// The file's text as a pane loads it: read as above, decoded by TextDecoder (UTF-8, any other
// byte as its Latin-1 character), a leading byte order mark dropped.
std::optional<QString> readTextFileText(const QString &path, QString *why);
