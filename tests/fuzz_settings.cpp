// Feeds generated settings files to the loader and checks what the menus, the record and the
// file end up as. Standalone: fuzz_settings [count] [start], where start picks the sequence of
// generated files (the same start gives the same files). Built with clang and
// KAVREL_LIBFUZZER, the same checks run as a libFuzzer target.
#include "app/Form1.h"
#include "settings/SettingsFile.h"
#include "tests/support/FuzzRandom.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

namespace {

// The menus as a fresh window has them: nothing marked, the record empty.
void resetWindow(Form1 &form)
{
    form.clearSettingsMarks();
    form.IniVal.fill(QString());
}

// The marked index of each group (-1 none, -2 more than one) and the options' marks.
using Marks = std::array<int, 12>;

template<std::size_t N> int markedIndex(const std::array<QAction *, N> &items)
{
    int marked = -1;
    for (std::size_t i = 0; i < N; ++i) {
        if (items[i]->isChecked())
            marked = marked == -1 ? int(i) : -2;
    }
    return marked;
}

Marks marksOf(const Form1 &form)
{
    return {markedIndex(form.Port),    markedIndex(form.BPS),     markedIndex(form.Parity),
            markedIndex(form.Length),  markedIndex(form.Bit),     markedIndex(form.Term),
            form.mTime->isChecked(),   form.mDate->isChecked(),   form.mSeq->isChecked(),
            form.mHeader->isChecked(), form.mFooter->isChecked(), markedIndex(form.Wait)};
}

constexpr std::array<int, 12> ItemCounts = {8, 8, 3, 2, 3, 2, 0, 0, 0, 0, 0, 11};

bool isOption(std::size_t element)
{
    return ItemCounts[element] == 0;
}

// The record is usable when every element converts and names an item of its group.
bool usable(const SettingsRecord &record)
{
    for (std::size_t k = 0; k < record.size(); ++k) {
        if (isOption(k)) {
            if (!truth(record[k]))
                return false;
        } else {
            const std::optional<int> index = whole(record[k]);
            if (!index || *index < 0 || *index >= ItemCounts[k])
                return false;
        }
    }
    return true;
}

// Every input is saved, and a save waits for the disk: a folder in memory keeps a long run
// fast. TMPDIR, when set, has the last word.
QString scratchTemplate()
{
    const QString memory = QStringLiteral("/dev/shm");
    if (qEnvironmentVariableIsEmpty("TMPDIR") && QFileInfo(memory).isDir()
        && QFileInfo(memory).isWritable())
        return memory + QStringLiteral("/fuzz_settings-XXXXXX");
    return QDir::tempPath() + QStringLiteral("/fuzz_settings-XXXXXX");
}

QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class Harness
{
public:
    Harness() : m_dir(scratchTemplate())
    {
        overrideSettingsFolder(m_dir.path());
        m_path = settingsFilePath();
        m_form = std::make_unique<Form1>();
    }

    bool valid() const { return m_dir.isValid(); }
    int replacedByDefaults() const { return m_replaced; }

    // Empty when every check holds, otherwise what went wrong.
    QString check(const QByteArray &input)
    {
        Form1 &form = *m_form;
        {
            QFile file(m_path);
            if (!file.open(QIODevice::WriteOnly) || file.write(input) != input.size())
                return QStringLiteral("cannot write the input file");
        }
        resetWindow(form);
        form.LoadSettings();

        const Marks marks = marksOf(form);
        for (std::size_t k = 0; k < 12; ++k) {
            if (isOption(k)) {
                const std::optional<bool> on = truth(form.IniVal[k]);
                if (!on || *on != bool(marks[k]))
                    return QStringLiteral("option %1 does not show its element").arg(k);
            } else {
                if (marks[k] < 0)
                    return QStringLiteral("group of element %1 has %2 marks")
                        .arg(k)
                        .arg(marks[k] == -1 ? "no" : "several");
                if (whole(form.IniVal[k]) != marks[k])
                    return QStringLiteral("group of element %1 marks another item").arg(k);
            }
        }

        // A usable file loads as written and is left alone; anything else is replaced,
        // record and file, by the defaults.
        QBuffer buffer;
        buffer.setData(input);
        buffer.open(QIODevice::ReadOnly);
        const std::optional<SettingsRecord> fields = readSettingsFields(buffer);
        const bool loads = fields && usable(*fields);
        if (loads) {
            if (form.IniVal != *fields)
                return QStringLiteral("record differs from the file's fields");
            if (fileContent(m_path) != input)
                return QStringLiteral("a usable file was rewritten");
        } else {
            ++m_replaced;
            if (form.IniVal != defaultSettingsRecord())
                return QStringLiteral("record is not the defaults");
            if (fileContent(m_path) != settingsFileContent(defaultSettingsRecord()))
                return QStringLiteral("file is not the default file");
        }

        // The next save writes exactly twelve lines, and they load back to the same marks.
        form.SaveSettings();
        const QByteArray saved = fileContent(m_path);
        if (saved != settingsFileContent(form.IniVal))
            return QStringLiteral("saved file differs from the record");
        if (saved.count("\r\n") != 12 || saved.count('\r') != 12 || saved.count('\n') != 12
            || !saved.endsWith("\r\n"))
            return QStringLiteral("saved file is not twelve CR LF lines");
        resetWindow(form);
        form.LoadSettings();
        if (marksOf(form) != marks)
            return QStringLiteral("saved file loads back to other marks");
        return QString();
    }

private:
    QTemporaryDir m_dir;
    QString m_path;
    std::unique_ptr<Form1> m_form;
    int m_replaced = 0;
};

class Generator : public FuzzRandom
{
public:
    using FuzzRandom::FuzzRandom;

    QByteArray input()
    {
        switch (below(10)) {
        case 0:
            return randomBytes(below(200), false);
        case 1:
            return randomBytes(below(120), true);
        default:
            return mutate(validFile());
        }
    }

private:
    static constexpr char Alphabet[] = "0123456789012345.,,-+  \t\r\n\r\n\"\"TrueFALSEfalsxy\x1a";

    char interesting() { return Alphabet[below(int(sizeof(Alphabet)) - 1)]; }

    QByteArray randomBytes(int length, bool fromAlphabet)
    {
        QByteArray bytes;
        for (int i = 0; i < length; ++i)
            bytes += fromAlphabet ? interesting() : char(below(256));
        return bytes;
    }

    QByteArray indexText(int count)
    {
        // Mostly in range, sometimes just outside it.
        const int index = chance(97) ? below(count) : (chance(50) ? count : -1);
        const QByteArray digits = QByteArray::number(index);
        switch (below(12)) {
        case 0:
            return digits + ".0";
        case 1:
            return " " + digits;
        case 2:
            return digits + " ";
        case 3:
            return "\"" + digits + "\"";
        case 4:
            return "+" + digits;
        case 5:
            return digits + ".5";
        case 6:
            return digits + ".49";
        case 7:
            return "00" + digits;
        default:
            return digits;
        }
    }

    QByteArray optionText()
    {
        if (chance(3))
            return chance(50) ? "yes" : "";
        static const char *const texts[]
            = {"True", "False", "true", "FALSE", "0", "-1", "1", "0.0", " True", "\"False\"", "2"};
        return texts[below(int(std::size(texts)))];
    }

    QByteArray validFile()
    {
        QByteArray file;
        const int extraLines = chance(20) ? below(5) : 0;
        for (std::size_t k = 0; k < 12 + std::size_t(extraLines); ++k) {
            if (k < 12)
                file += isOption(k) ? optionText() : indexText(ItemCounts[k]);
            else
                file += QByteArray::number(below(20));
            if (chance(3)) {
                file += ',';
                continue;
            }
            const int end = below(20);
            file += end == 0 ? "\n" : end == 1 ? "\r" : "\r\n";
        }
        if (chance(10))
            file.chop(chance(50) ? 1 : 2);
        return file;
    }

    QByteArray mutate(QByteArray file)
    {
        const int count = chance(50) ? 0 : 1 + below(4);
        for (int i = 0; i < count && !file.isEmpty(); ++i) {
            const int at = below(int(file.size()));
            switch (below(7)) {
            case 0:
                file[at] = char(file[at] ^ (1 << below(8)));
                break;
            case 1:
                file.insert(at, interesting());
                break;
            case 2:
                file.remove(at, 1 + below(8));
                break;
            case 3:
                file.insert(at, file.mid(below(int(file.size())), 1 + below(10)));
                break;
            case 4:
                file.truncate(at);
                break;
            case 5:
                file.insert(at, randomBytes(1 + below(6), false));
                break;
            default:
                std::swap(file[at], file[below(int(file.size()))]);
                break;
            }
        }
        return file;
    }
};

QByteArray escaped(const QByteArray &bytes)
{
    QByteArray out;
    for (char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '\\')
            out += c;
        else
            out += "\\x"
                + QByteArray::number(static_cast<unsigned char>(c), 16).rightJustified(2, '0');
    }
    return out;
}

} // namespace

#ifdef KAVREL_LIBFUZZER

namespace {
Harness *harness = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(*argc, *argv);
    harness = new Harness;
    // libFuzzer ends with exit(): take the window and the scratch folder down with it.
    std::atexit([] { delete harness; });
    return harness->valid() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString failure = harness->check(input);
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "fuzz_settings: %s\n  input: \"%s\"\n", qPrintable(failure),
                     escaped(input).constData());
        std::abort();
    }
    return 0;
}

#else

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const long count = argc > 1 ? std::atol(argv[1]) : 1000;
    const std::uint64_t start = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    Harness harness;
    if (!harness.valid()) {
        std::fprintf(stderr, "fuzz_settings: no temporary folder\n");
        return 2;
    }

    Generator generator(start);
    QElapsedTimer clock;
    clock.start();
    for (long i = 0; i < count; ++i) {
        const QByteArray input = generator.input();
        const QString failure = harness.check(input);
        if (!failure.isEmpty()) {
            std::fprintf(stderr, "fuzz_settings: input %ld (start %llu): %s\n  input: \"%s\"\n", i,
                         static_cast<unsigned long long>(start), qPrintable(failure),
                         escaped(input).constData());
            return 1;
        }
    }
    std::printf("fuzz_settings: %ld inputs from start %llu, %d replaced by the defaults, "
                "%.1f s\n",
                count, static_cast<unsigned long long>(start), harness.replacedByDefaults(),
                double(clock.elapsed()) / 1000.0);
    return 0;
}

#endif
