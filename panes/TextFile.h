// Reading a text file for a pane: only a regular file, and only one the pane can hold.
#pragma once

#include <QByteArray>
#include <QSaveFile>
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

// Writes a pane's text file in one step: what is gathered in out() goes to the file a block at
// a time, and the file is replaced only when every write and the commit succeeded (a short
// write is a full disk, which QSaveFile would otherwise commit truncated). On failure the old
// file stays as it was.
class TextFileWriter
{
public:
    explicit TextFileWriter(const QString &path);

    QByteArray &out() { return m_out; }
    // Writes what has gathered once it fills a block.
    void writeFullBlock();
    // Writes the rest and replaces the file; false with the reason in why when anything failed.
    bool commit(QString *why);

private:
    void write();

    QSaveFile m_file;
    QByteArray m_out;
    bool m_written = true;
};
