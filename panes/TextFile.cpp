// Reading a text file for a pane, refusing what is not a regular file or is too large.
#include "panes/TextFile.h"

#include "panes/TextDecoder.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLocale>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("TextFile", text);
}

QString notRegular()
{
    return tr("It is not a regular file (a folder, a device or a pipe): Kavrel opens text files "
              "only.");
}

QString tooLarge(qint64 size)
{
    // In MiB the figures of a file just over the limit round alike ("64.0" against "64"), which
    // reads as no reason at all; then the bytes tell them apart.
    const QLocale locale;
    const auto mebibytes = [&locale](qint64 bytes) {
        return locale.toString(double(bytes) / (1024 * 1024), 'f', 1);
    };
    if (mebibytes(size) == mebibytes(maxTextFileBytes))
        return tr("The file holds %1 bytes; Kavrel opens files of up to %2 bytes.")
            .arg(locale.toString(size), locale.toString(maxTextFileBytes));
    return tr("The file holds %1 MiB; Kavrel opens files of up to %2 MiB.")
        .arg(mebibytes(size), locale.toString(maxTextFileBytes / (1024 * 1024)));
}

} // namespace

std::optional<QByteArray> readTextFile(const QString &path, QString *why)
{
    QFile file;
#ifdef Q_OS_UNIX
    // Opened without waiting (a pipe with no writer would block the open itself), then checked
    // on the descriptor that will be read, so nothing can be swapped in between.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return std::nullopt;
    }
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        *why = notRegular();
        return std::nullopt;
    }
    if (info.st_size > maxTextFileBytes) {
        ::close(fd);
        *why = tooLarge(info.st_size);
        return std::nullopt;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *why = file.errorString();
        return std::nullopt;
    }
#else
    if (!QFileInfo(path).isFile()) {
        *why = notRegular();
        return std::nullopt;
    }
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = file.errorString();
        return std::nullopt;
    }
#endif
    // Read to its end, but never past the limit, should the file grow while it is read.
    QByteArray bytes;
    bytes.reserve(qsizetype(qMin(file.size(), maxTextFileBytes)));
    while (bytes.size() <= maxTextFileBytes) {
        const QByteArray more = file.read(1024 * 1024);
        if (more.isEmpty())
            break;
        bytes += more;
    }
    if (file.error() != QFileDevice::NoError) {
        *why = file.errorString();
        return std::nullopt;
    }
    if (bytes.size() > maxTextFileBytes) {
        *why = tooLarge(bytes.size());
        return std::nullopt;
    }
    why->clear();
    return bytes;
}

std::optional<QString> readTextFileText(const QString &path, QString *why)
{
    std::optional<QByteArray> bytes = readTextFile(path, why);
    if (!bytes)
        return std::nullopt;
    QString text = decodeText(*bytes);
    bytes.reset();
    if (text.startsWith(QChar::ByteOrderMark))
        text.remove(0, 1);
    return text;
}

namespace {

constexpr qsizetype writeBlock = 1 << 20;

} // namespace

TextFileWriter::TextFileWriter(const QString &path) : m_file(path)
{
    m_written = m_file.open(QIODevice::WriteOnly);
    m_out.reserve(writeBlock + 64 * 1024);
}

void TextFileWriter::writeFullBlock()
{
    if (m_out.size() >= writeBlock)
        write();
}

void TextFileWriter::write()
{
    m_written = m_written && m_file.write(m_out) == m_out.size();
    m_out.truncate(0);
}

bool TextFileWriter::commit(QString *why)
{
    write();
    if (m_written && m_file.commit()) {
        why->clear();
        return true;
    }
    *why = m_file.error() != QFileDevice::NoError
        ? m_file.errorString()
        : QCoreApplication::translate("TextFile", "The disk is full.");
    m_file.cancelWriting();
    return false;
}
