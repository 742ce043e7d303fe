// The settings file: its place, its twelve fields, and the conversions of their texts.
#include "settings/SettingsFile.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// No field of a usable settings file comes near this; a longer one (a stray binary file, a
// quote that never closes) makes the file unusable instead of filling memory.
constexpr qsizetype MaxFieldLength = 1024;
// A settings file is some forty bytes; no more than this is ever read, so a huge file put in
// its place is refused at once.
constexpr qint64 MaxReadBytes = 4096;

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

QStringView trimmedBlanks(QStringView text)
{
    while (!text.isEmpty() && isBlank(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isBlank(text.back()))
        text.chop(1);
    return text;
}

struct Decimal
{
    bool negative = false;
    QStringView integerDigits;
    QStringView fractionDigits;
};

// Sign, digits, an optional point and more digits; at least one digit in all.
std::optional<Decimal> parseDecimal(QStringView text)
{
    text = trimmedBlanks(text);
    Decimal number;
    if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-')) {
        number.negative = text.front() == u'-';
        text = text.sliced(1);
    }
    qsizetype i = 0;
    while (i < text.size() && isDigit(text[i]))
        ++i;
    number.integerDigits = text.first(i);
    if (i < text.size() && text[i] == u'.') {
        const qsizetype start = ++i;
        while (i < text.size() && isDigit(text[i]))
            ++i;
        number.fractionDigits = text.sliced(start, i - start);
    }
    if (i != text.size() || number.integerDigits.size() + number.fractionDigits.size() == 0)
        return std::nullopt;
    return number;
}

QString &folderOverride()
{
    static QString folder;
    return folder;
}

QString &decidedPath()
{
    static QString path;
    return path;
}

// Run as root (sudo kavrel, a common way round the dialout group), Kavrel may create files
// anywhere. A folder of the system, or one that is not the invoking user's own, is no place for
// that user's settings: the next run as the user would read another file.
bool isSystemFolderForRoot(const QString &folder)
{
#ifdef Q_OS_UNIX
    if (::geteuid() != 0)
        return false;
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    for (const char *system : {"/usr", "/bin", "/sbin", "/lib", "/lib64", "/opt", "/etc"}) {
        const QString prefix = QString::fromLatin1(system);
        if (canonical == prefix || canonical.startsWith(prefix + u'/'))
            return true;
    }
    // sudo names the user who ran it; otherwise the real user is the one.
    bool sudo = false;
    const uint sudoUid = qEnvironmentVariableIntValue("SUDO_UID", &sudo);
    const uid_t user = sudo ? uid_t(sudoUid) : ::getuid();
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(folder).constData(), &info) == 0 && info.st_uid != user;
#else
    Q_UNUSED(folder);
    return false;
#endif
}

// Permission bits do not tell (root writes into read-only folders): really create a file.
bool canCreateFilesIn(const QString &folder)
{
    QTemporaryFile probe(folder + QStringLiteral("/.settings-probe-XXXXXX"));
    return probe.open();
}

} // namespace

std::optional<int> whole(const QString &text)
{
    const std::optional<Decimal> number = parseDecimal(text);
    if (!number)
        return std::nullopt;
    QStringView digits = number->integerDigits;
    while (!digits.isEmpty() && digits.front() == u'0')
        digits = digits.sliced(1);
    if (digits.size() > 5)
        return std::nullopt;
    int magnitude = 0;
    for (QChar c : digits)
        magnitude = magnitude * 10 + (c.unicode() - u'0');

    // Round to the nearest, an exact half to the even neighbour; the digits are compared
    // as text so that no binary fraction blurs an exact half.
    const QStringView fraction = number->fractionDigits;
    if (!fraction.isEmpty()) {
        const QChar first = fraction.front();
        const bool beyondHalf
            = std::any_of(fraction.begin() + 1, fraction.end(), [](QChar c) { return c != u'0'; });
        if (first > u'5' || (first == u'5' && (beyondHalf || magnitude % 2 == 1)))
            ++magnitude;
    }
    const int value = number->negative ? -magnitude : magnitude;
    if (value < -32768 || value > 32767)
        return std::nullopt;
    return value;
}

std::optional<bool> truth(const QString &text)
{
    const QStringView word = trimmedBlanks(text);
    if (word.compare(u"true", Qt::CaseInsensitive) == 0)
        return true;
    if (word.compare(u"false", Qt::CaseInsensitive) == 0)
        return false;
    const std::optional<Decimal> number = parseDecimal(word);
    if (!number)
        return std::nullopt;
    const auto nonZero = [](QChar c) { return c != u'0'; };
    return std::any_of(number->integerDigits.begin(), number->integerDigits.end(), nonZero)
        || std::any_of(number->fractionDigits.begin(), number->fractionDigits.end(), nonZero);
}

std::optional<SettingsRecord> readSettingsFields(QIODevice &device)
{
    SettingsRecord record;
    char c = 0;
    bool more = device.getChar(&c);
    const auto next = [&] { more = device.getChar(&c); };
    const auto endsField = [&] { return c == ',' || c == '\r' || c == '\n'; };

    for (std::size_t index = 0; index < record.size(); ++index) {
        while (more && (c == ' ' || c == '\t'))
            next();
        if (!more)
            return std::nullopt;

        QByteArray field;
        const bool quoted = c == '"';
        if (quoted)
            next();
        while (more && (quoted ? c != '"' : !endsField())) {
            if (field.size() == MaxFieldLength)
                return std::nullopt;
            field.append(c);
            next();
        }
        if (quoted) {
            // The closing quote is not part of the field, nor is anything after it.
            while (more && !endsField())
                next();
        }
        record[index] = QString::fromUtf8(field);

        if (index + 1 == record.size())
            break;
        if (more) {
            const bool carriageReturn = c == '\r';
            next();
            if (carriageReturn && more && c == '\n')
                next();
        }
    }
    return record;
}

std::optional<SettingsRecord> readSettingsFile(const QString &path)
{
    // A folder, a pipe or a device under the settings file's name is no settings file.
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray head = file.read(MaxReadBytes);
    QBuffer buffer(&head);
    buffer.open(QIODevice::ReadOnly);
    return readSettingsFields(buffer);
}

SettingsRecord defaultSettingsRecord()
{
    SettingsRecord record;
    record.fill(QStringLiteral("0"));
    record[1] = QStringLiteral("2");
    return record;
}

QByteArray settingsFileContent(const SettingsRecord &record)
{
    QByteArray content;
    for (const QString &element : record)
        content += element.toUtf8() + "\r\n";
    return content;
}

bool writeSettingsFile(const QString &path, const SettingsRecord &record, QString *reason)
{
    QSaveFile file(path);
    const QByteArray content = settingsFileContent(record);
    const bool written
        = file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.commit();
    if (!written && reason)
        *reason = file.errorString();
    return written;
}

void overrideSettingsFolder(const QString &folder)
{
    folderOverride() = folder;
    decidedPath().clear();
}

QString settingsFilePath()
{
    QString &path = decidedPath();
    if (!path.isEmpty())
        return path;

    QString folder = folderOverride();
    if (folder.isEmpty())
        folder = QCoreApplication::applicationDirPath();
    if (isSystemFolderForRoot(folder) || !canCreateFilesIn(folder)) {
        // An installed program's folder is not the user's to write: keep the settings with
        // the user's other configuration files.
        const QString config
            = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        if (!config.isEmpty() && QDir().mkpath(config) && canCreateFilesIn(config))
            folder = config;
    }
    const QString name = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    path = folder + u'/' + name + QStringLiteral(".ini");
    return path;
}
