// The settings record and file: conversions, reading, loading onto the menus, the menus'
// choices and saves, and settings files that cannot be written.
#include "app/Form1.h"
#include "settings/SettingsFile.h"
#include "tests/support/ModalAnswerer.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>
#include <unistd.h>

namespace {

const QByteArray DefaultFile = "0\r\n2\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n";
const QString DefaultMarks = QStringLiteral("0 2 0 0 0 0 0 -----");

// A settings file of these lines, each ended by CR LF.
QByteArray lines(const QList<QByteArray> &values)
{
    QByteArray content;
    for (const QByteArray &value : values)
        content += value + "\r\n";
    return content;
}

// The default file with one line replaced (lines counted from 1).
QByteArray defaultsWith(int line, const QByteArray &value)
{
    QList<QByteArray> values = DefaultFile.split('\n');
    values.removeLast();
    for (QByteArray &v : values)
        v.chop(1);
    values[line - 1] = value;
    return lines(values);
}

template<std::size_t N> QString groupMarks(const std::array<QAction *, N> &items)
{
    QStringList marked;
    for (std::size_t i = 0; i < N; ++i) {
        if (items[i]->isChecked())
            marked << QString::number(i);
    }
    return marked.isEmpty() ? QStringLiteral("?") : marked.join(u'+');
}

// The marks as "Port BPS Parity Length Bit Term Wait" indexes and the options as letters:
// "1+5" shows two marks in one group, "?" none.
QString marks(const Form1 &form)
{
    QString options;
    const QAction *items[] = {form.mTime, form.mDate, form.mSeq, form.mHeader, form.mFooter};
    for (int i = 0; i < 5; ++i)
        options += items[i]->isChecked() ? QChar(u"TDSHF"[i]) : QChar(u'-');
    return QStringList {groupMarks(form.Port),   groupMarks(form.BPS),
                        groupMarks(form.Parity), groupMarks(form.Length),
                        groupMarks(form.Bit),    groupMarks(form.Term),
                        groupMarks(form.Wait),   options}
        .join(u' ');
}

QStringList recordOf(const Form1 &form)
{
    return QStringList(form.IniVal.begin(), form.IniVal.end());
}

QStringList defaultRecord()
{
    return {"0", "2", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0"};
}

QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// A fresh window that has read the settings file. Loading again on a file that the first load
// left valid changes nothing, so this holds whether or not Form_Load has loaded already.
std::unique_ptr<Form1> openWindow()
{
    auto form = std::make_unique<Form1>();
    form->LoadSettings();
    return form;
}

// Clicks a menu item the way the user does, through the window's wiring.
void click(Form1 &form, const QString &name)
{
    auto *item = form.findChild<QAction *>(name);
    QVERIFY2(item, qPrintable(name));
    item->trigger();
}

// Sets HOME (and with it the test-mode configuration folder) for one test.
class HomeFolder
{
public:
    explicit HomeFolder(const QString &path) : m_saved(qgetenv("HOME"))
    {
        qputenv("HOME", path.toLocal8Bit());
    }
    ~HomeFolder() { qputenv("HOME", m_saved); }
    HomeFolder(const HomeFolder &) = delete;
    HomeFolder &operator=(const HomeFolder &) = delete;

private:
    QByteArray m_saved;
};

// Nobody, root included, can create a file here.
const QString UnwritableFolder = QStringLiteral("/proc");

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void wholeNumbers_data();
    void wholeNumbers();
    void truthTexts_data();
    void truthTexts();
    void fields_data();
    void fields();

    void load_data();
    void load();
    void menuChoices_data();
    void menuChoices();
    void seqNoStartsAgainOnEitherToggle();

    void settingsFilePlace();
    void unwritableFolderIsReportedOnce();
    void unwritableFolderFallsBackToConfigurationFolder();
    void rootKeepsSettingsOutOfOtherFolders_data();
    void rootKeepsSettingsOutOfOtherFolders();
    void unreadableDefaultsDoNotLoopForever();

private:
    std::optional<QTemporaryDir> m_dir;
};

void TestSettings::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestSettings::init()
{
    m_dir.emplace();
    QVERIFY(m_dir->isValid());
    overrideSettingsFolder(m_dir->path());
}

void TestSettings::cleanup()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    QVERIFY(
        std::none_of(windows.cbegin(), windows.cend(), [](QWidget *w) { return w->isVisible(); }));
    m_dir.reset();
}

void TestSettings::wholeNumbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    const QString fails = QStringLiteral("fails");
    QTest::newRow("digit") << "7"
                           << "7";
    QTest::newRow("blanks around") << " \t10 \t"
                                   << "10";
    QTest::newRow("plus sign") << "+3"
                               << "3";
    QTest::newRow("leading zeros") << "0000000000000000000012"
                                   << "12";
    QTest::newRow("1.5 to 2") << "1.5"
                              << "2";
    QTest::newRow("2.5 to 2") << "2.5"
                              << "2";
    QTest::newRow("3.5 to 4") << "3.5"
                              << "4";
    QTest::newRow("a shade over a half") << "2.5000000000000000000001"
                                         << "3";
    QTest::newRow("a shade under a half") << "2.4999999999999999999999"
                                          << "2";
    QTest::newRow("-1.5 to -2") << "-1.5"
                                << "-2";
    QTest::newRow("-0.5 to 0") << "-0.5"
                               << "0";
    QTest::newRow("point five") << ".5"
                                << "0";
    QTest::newRow("trailing point") << "5."
                                    << "5";
    QTest::newRow("1.0") << "1.0"
                         << "1";
    QTest::newRow("largest") << "32767"
                             << "32767";
    QTest::newRow("rounds to largest") << "32767.4"
                                       << "32767";
    QTest::newRow("rounds past largest") << "32767.5" << fails;
    QTest::newRow("smallest") << "-32768"
                              << "-32768";
    QTest::newRow("half below smallest") << "-32768.5"
                                         << "-32768";
    QTest::newRow("below smallest") << "-32769" << fails;
    QTest::newRow("far too large") << "99999999999999999999" << fails;
    QTest::newRow("empty") << "" << fails;
    QTest::newRow("blanks only") << "  " << fails;
    QTest::newRow("sign only") << "-" << fails;
    QTest::newRow("point only") << "." << fails;
    QTest::newRow("word") << "True" << fails;
    QTest::newRow("digits and letters") << "1a" << fails;
    QTest::newRow("two numbers") << "1 2" << fails;
    QTest::newRow("comma") << "2,5" << fails;
    QTest::newRow("two points") << "1.2.3" << fails;
    QTest::newRow("hexadecimal") << "0x10" << fails;
    QTest::newRow("wide digit") << QStringLiteral("\uff11") << fails;
    QTest::newRow("line end inside") << "1\r\n" << fails;
}

void TestSettings::wholeNumbers()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    const std::optional<int> value = whole(text);
    QCOMPARE(value ? QString::number(*value) : QStringLiteral("fails"), expected);
}

void TestSettings::truthTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    const QString fails = QStringLiteral("fails");
    QTest::newRow("True") << "True"
                          << "on";
    QTest::newRow("False") << "False"
                           << "off";
    QTest::newRow("true, small letters") << "true"
                                         << "on";
    QTest::newRow("FALSE, capitals") << "FALSE"
                                     << "off";
    QTest::newRow("mixed case") << "tRuE"
                                << "on";
    QTest::newRow("blanks around") << " True\t"
                                   << "on";
    QTest::newRow("0") << "0"
                       << "off";
    QTest::newRow("0.0") << "0.0"
                         << "off";
    QTest::newRow("-0") << "-0"
                        << "off";
    QTest::newRow("-1") << "-1"
                        << "on";
    QTest::newRow("a fraction is a number") << "0.001"
                                            << "on";
    QTest::newRow("beyond 16 bits") << "100000"
                                    << "on";
    QTest::newRow("yes") << "yes" << fails;
    QTest::newRow("empty") << "" << fails;
    QTest::newRow("part of a word") << "Tru" << fails;
    QTest::newRow("word and more") << "True1" << fails;
    QTest::newRow("quoted") << "\"True\"" << fails;
}

void TestSettings::truthTexts()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    const std::optional<bool> value = truth(text);
    QCOMPARE(value ? QString::fromLatin1(*value ? "on" : "off") : QStringLiteral("fails"),
             expected);
}

void TestSettings::fields_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("expected"); // empty: the file is unusable

    const QStringList twelve = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"};
    QTest::newRow("twelve lines") << lines(
        {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"})
                                  << twelve;
    QTest::newRow("no line end after the twelfth")
        << QByteArray("1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n9\r\n10\r\n11\r\n12") << twelve;
    QTest::newRow("LF and lone CR line ends")
        << QByteArray("1\n2\r3\r\n4\n5\n6\r7\n8\n9\n10\r11\n12\n") << twelve;
    QTest::newRow("commas split lines")
        << lines({"1,2,3", "4", "5,6", "7", "8", "9", "10", "11,12"}) << twelve;
    QTest::newRow("what follows the twelfth is not read")
        << lines({"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12,\"junk"})
            + QByteArray(5000, '\x01')
        << twelve;
    QTest::newRow("leading blanks skipped, trailing ones kept")
        << lines({" \t 1", "2  ", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"})
        << QStringList {"1", "2  ", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"};
    QTest::newRow("quoted fields")
        << lines({"\"1,5\"", "  \" 2\"", "\"3\"after", "\"\"", "5", "6", "7", "8", "9", "10", "11",
                  "12"})
        << QStringList {"1,5", " 2", "3", "", "5", "6", "7", "8", "9", "10", "11", "12"};
    QTest::newRow("a quoted field runs over a line end")
        << lines({"\"1", "2\"", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13"})
        << QStringList {"1\r\n2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13"};
    QTest::newRow("a quote inside a field is text")
        << lines({"1\"2", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"})
        << QStringList {"1\"2", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"};
    QTest::newRow("empty lines give empty fields")
        << lines({"", "  ", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"})
        << QStringList {"", "", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"};
    QTest::newRow("eleven lines") << lines(
        {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"})
                                  << QStringList();
    QTest::newRow("eleven lines and blanks")
        << lines({"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"}) + "   "
        << QStringList();
    QTest::newRow("a quote that never closes")
        << lines({"1", "\"2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"})
        << QStringList();
    QTest::newRow("empty file") << QByteArray() << QStringList();
    QTest::newRow("a field too long to be a setting")
        << lines({QByteArray(5000, '1'), "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"})
        << QStringList();
}

void TestSettings::fields()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, expected);

    QBuffer buffer(&content);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    const std::optional<SettingsRecord> record = readSettingsFields(buffer);
    QCOMPARE(record.has_value(), !expected.isEmpty());
    if (record)
        QCOMPARE(QStringList(record->begin(), record->end()), expected);
}

void TestSettings::load_data()
{
    QTest::addColumn<std::optional<QByteArray>>("content"); // nothing: no settings file
    QTest::addColumn<QString>("expectedMarks");
    QTest::addColumn<QStringList>("expectedRecord");
    QTest::addColumn<bool>("replacedByDefaults");

    const QStringList defaults = defaultRecord();
    const auto file = [](const QByteArray &content) { return std::optional(content); };
    const QList<QByteArray> others
        = {"6", "4", "2", "1", "2", "1", "True", "-1", "TRUE", "1", "false", "10"};
    const QStringList othersRecord
        = {"6", "4", "2", "1", "2", "1", "True", "-1", "TRUE", "1", "false", "10"};

    QTest::newRow("no file") << std::optional<QByteArray>() << DefaultMarks << defaults << true;
    QTest::newRow("the default file") << file(DefaultFile) << DefaultMarks << defaults << false;
    QTest::newRow("every setting off its default")
        << file(lines(others)) << "6 4 2 1 2 1 10 TDSH-" << othersRecord << false;
    QTest::newRow("empty file") << file("") << DefaultMarks << defaults << true;
    QTest::newRow("eleven lines") << file(lines(others.first(11))) << DefaultMarks << defaults
                                  << true;
    QTest::newRow("8 on line 1") << file(lines(QList<QByteArray> {"8"} + others.sliced(1)))
                                 << DefaultMarks << defaults << true;
    QTest::newRow("negative index")
        << file(defaultsWith(3, "-1")) << DefaultMarks << defaults << true;
    QTest::newRow("11 on the last line, after every other mark is set")
        << file(lines(others.first(11) + QList<QByteArray> {"11"})) << DefaultMarks << defaults
        << true;
    QTest::newRow("True on line 7")
        << file(defaultsWith(7, "True")) << "0 2 0 0 0 0 0 T----"
        << QStringList {"0", "2", "0", "0", "0", "0", "True", "0", "0", "0", "0", "0"} << false;
    QTest::newRow("0 on line 7") << file(defaultsWith(7, "0")) << DefaultMarks << defaults << false;
    QTest::newRow("false on line 7")
        << file(defaultsWith(7, "false")) << DefaultMarks
        << QStringList {"0", "2", "0", "0", "0", "0", "false", "0", "0", "0", "0", "0"} << false;
    QTest::newRow("yes on line 7")
        << file(defaultsWith(7, "yes")) << DefaultMarks << defaults << true;
    QTest::newRow("1.5 on line 2")
        << file(defaultsWith(2, "1.5")) << DefaultMarks
        << QStringList {"0", "1.5", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0"} << false;
    QTest::newRow("2.5 on line 2")
        << file(defaultsWith(2, "2.5")) << DefaultMarks
        << QStringList {"0", "2.5", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0"} << false;
    QTest::newRow("blanks around a value")
        << file(defaultsWith(1, "  4 ")) << "4 2 0 0 0 0 0 -----"
        << QStringList {"4 ", "2", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0"} << false;
    QTest::newRow("2,5 on line 1, the shifted values fit")
        << file(lines(
               {"2,5", "1", "1", "1", "1", "True", "False", "0", "-1", "false", "9", "not read"}))
        << "2 5 1 1 1 1 9 T--H-"
        << QStringList {"2", "5", "1", "1", "1", "1", "True", "False", "0", "-1", "false", "9"}
        << false;
    QTest::newRow("2,5 on line 1, a shifted value does not fit")
        << file(lines({"1,5", "7", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0"}))
        << DefaultMarks << defaults << true;
    QTest::newRow("quoted field") << file(defaultsWith(1, " \"3\"")) << "3 2 0 0 0 0 0 -----"
                                  << QStringList {"3", "2", "0", "0", "0", "0",
                                                  "0", "0", "0", "0", "0", "0"}
                                  << false;
    QTest::newRow("quoted field holding a comma")
        << file(defaultsWith(2, "\"1,5\"")) << DefaultMarks << defaults << true;
    QTest::newRow("fifteen lines") << file(lines(others + QList<QByteArray> {"7", "x", "y"}))
                                   << "6 4 2 1 2 1 10 TDSH-" << othersRecord << false;
    QTest::newRow("twelve fields beyond the first few KB")
        << file(QByteArray(5000, ' ') + DefaultFile) << DefaultMarks << defaults << true;
    QTest::newRow("binary junk") << file(QByteArray("\x00\xff\x1b\r\n", 5).repeated(20))
                                 << DefaultMarks << defaults << true;
}

void TestSettings::load()
{
    QFETCH(std::optional<QByteArray>, content);
    QFETCH(QString, expectedMarks);
    QFETCH(QStringList, expectedRecord);
    QFETCH(bool, replacedByDefaults);

    const QString path = settingsFilePath();
    if (content)
        QVERIFY(writeFile(path, *content));

    const auto form = openWindow();
    QCOMPARE(marks(*form), expectedMarks);
    QCOMPARE(recordOf(*form), expectedRecord);
    // The defaults replace the whole file, byte for byte; a usable file is left alone.
    QCOMPARE(fileContent(path), replacedByDefaults ? DefaultFile : *content);
}

void TestSettings::menuChoices_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<QString>("expectedMarks");
    QTest::addColumn<QByteArray>("expectedFile");

    QTest::newRow("port 2 while port 7 is marked")
        << defaultsWith(1, "6") << QStringList {"Port(1)"} << "1 2 0 0 0 0 0 -----"
        << defaultsWith(1, "1");
    QTest::newRow("the item already marked")
        << defaultsWith(2, "2.0") << QStringList {"BPS(2)"} << DefaultMarks << DefaultFile;
    QTest::newRow("Wait 1.0") << DefaultFile << QStringList {"Wait(10)"} << "0 2 0 0 0 0 10 -----"
                              << defaultsWith(12, "10");
    QTest::newRow("Time toggled once")
        << DefaultFile << QStringList {"mTime"} << "0 2 0 0 0 0 0 T----" << defaultsWith(7, "True");
    QTest::newRow("Time toggled twice") << DefaultFile << QStringList {"mTime", "mTime"}
                                        << DefaultMarks << defaultsWith(7, "False");
    QTest::newRow("1.5 kept while other menus save")
        << defaultsWith(2, "1.5") << QStringList {"Parity(2)", "mFooter"} << "0 2 2 0 0 0 0 ----F"
        << lines({"0", "1.5", "2", "0", "0", "0", "0", "0", "0", "0", "True", "0"});
    QTest::newRow("1.5 replaced when a baud rate is chosen")
        << defaultsWith(2, "1.5") << QStringList {"BPS(4)"} << "0 4 0 0 0 0 0 -----"
        << defaultsWith(2, "4");
    QTest::newRow("fifteen lines, then a menu change")
        << DefaultFile + lines({"1", "2", "3"}) << QStringList {"Length(1)"}
        << "0 2 0 1 0 0 0 -----" << defaultsWith(4, "1");
    QTest::newRow("every menu") << DefaultFile
                                << QStringList {"Port(7)", "BPS(7)",  "Parity(1)", "Length(1)",
                                                "Bit(2)",  "Term(1)", "Wait(3)",   "mTime",
                                                "mDate",   "mSeq",    "mHeader",   "mFooter",
                                                "mDate"}
                                << "7 7 1 1 2 1 3 T-SHF"
                                << lines({"7", "7", "1", "1", "2", "1", "True", "False", "True",
                                          "True", "True", "3"});
}

void TestSettings::menuChoices()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, clicks);
    QFETCH(QString, expectedMarks);
    QFETCH(QByteArray, expectedFile);

    const QString path = settingsFilePath();
    QVERIFY(writeFile(path, content));
    const auto form = openWindow();
    for (const QString &name : clicks) {
        click(*form, name);
        // After every choice the marks, the record and the file agree.
        QCOMPARE(fileContent(path), settingsFileContent(form->IniVal));
    }
    QCOMPARE(marks(*form), expectedMarks);
    QCOMPARE(fileContent(path), expectedFile);
}

void TestSettings::seqNoStartsAgainOnEitherToggle()
{
    const auto form = openWindow();
    form->SeqNo = 41;
    click(*form, QStringLiteral("mSeq"));
    QCOMPARE(form->SeqNo, 0);
    QVERIFY(form->mSeq->isChecked());
    QCOMPARE(form->IniVal[8], QStringLiteral("True"));

    form->SeqNo = 2147483647;
    click(*form, QStringLiteral("mSeq"));
    QCOMPARE(form->SeqNo, 0);
    QVERIFY(!form->mSeq->isChecked());
    QCOMPARE(fileContent(settingsFilePath()), defaultsWith(9, "False"));
}

void TestSettings::settingsFilePlace()
{
    QCOMPARE(settingsFilePath(), m_dir->path() + QStringLiteral("/tst_settings.ini"));

    overrideSettingsFolder(QString());
    QCOMPARE(settingsFilePath(),
             QCoreApplication::applicationDirPath() + QStringLiteral("/tst_settings.ini"));

    // Decided once: a folder that becomes unusable later does not move the file.
    QTemporaryDir folder;
    overrideSettingsFolder(folder.path() + QStringLiteral("/later"));
    QVERIFY(QDir().mkpath(folder.path() + QStringLiteral("/later")));
    const QString decided = settingsFilePath();
    QCOMPARE(decided, folder.path() + QStringLiteral("/later/tst_settings.ini"));
    QVERIFY(QDir(folder.path() + QStringLiteral("/later")).removeRecursively());
    QCOMPARE(settingsFilePath(), decided);
}

void TestSettings::unwritableFolderIsReportedOnce()
{
    // Neither the executable's folder nor the configuration folder can be written.
    const HomeFolder home(UnwritableFolder);
    overrideSettingsFolder(UnwritableFolder);
    const QString path = settingsFilePath();
    QCOMPARE(path, UnwritableFolder + QStringLiteral("/tst_settings.ini"));

    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Ok);
    answerer.answerMessage(QMessageBox::Ok); // stays queued unless a second box shows

    const auto form = openWindow();
    QCOMPARE(answerer.shown().size(), 1);
    const ShownDialog &box = answerer.shown().first();
    QCOMPARE(box.kind, QStringLiteral("QMessageBox"));
    QCOMPARE(box.title, QStringLiteral("Kavrel"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY2(box.text.contains(path), qPrintable(box.text));
    const QStringList textLines = box.text.split(u'\n');
    QCOMPARE(textLines.size(), 3);
    QVERIFY2(!textLines.last().isEmpty(), "the reason is named");

    // The program runs on the defaults in memory, with the marks showing them.
    QCOMPARE(marks(*form), DefaultMarks);
    QCOMPARE(recordOf(*form), defaultRecord());

    // Later choices still take effect in memory, without another box.
    click(*form, QStringLiteral("Port(3)"));
    click(*form, QStringLiteral("mHeader"));
    QCOMPARE(marks(*form), QStringLiteral("3 2 0 0 0 0 0 ---H-"));
    QCOMPARE(form->IniVal[0], QStringLiteral("3"));
    QCOMPARE(form->IniVal[9], QStringLiteral("True"));
    QCOMPARE(answerer.pending(), 1);
    QCOMPARE(answerer.shown().size(), 1);
    QVERIFY(!QFile::exists(path));
}

void TestSettings::unwritableFolderFallsBackToConfigurationFolder()
{
    QTemporaryDir home;
    const HomeFolder homeFolder(home.path());
    overrideSettingsFolder(UnwritableFolder);
    const QString path = settingsFilePath();
    QCOMPARE(QFileInfo(path).fileName(), QStringLiteral("tst_settings.ini"));
    QCOMPARE(QFileInfo(path).absolutePath(),
             QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    QVERIFY(path.startsWith(home.path()));

    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Ok); // stays queued: nothing to report
    const auto form = openWindow();
    QCOMPARE(fileContent(path), DefaultFile);
    click(*form, QStringLiteral("Term(1)"));
    QCOMPARE(fileContent(path), defaultsWith(6, "1"));
    QCOMPARE(answerer.pending(), 1);

    // The next run finds its choices there.
    const auto next = openWindow();
    QCOMPARE(marks(*next), QStringLiteral("0 2 0 0 0 1 0 -----"));
}

void TestSettings::rootKeepsSettingsOutOfOtherFolders_data()
{
    QTest::addColumn<uint>("folderOwner");
    QTest::addColumn<QByteArray>("sudoUid"); // empty: not run through sudo
    QTest::addColumn<bool>("besideTheProgram");
    QTest::newRow("root's own folder") << 0u << QByteArray() << true;
    QTest::newRow("another user's folder") << 65534u << QByteArray() << false;
    QTest::newRow("root's folder, run by a user through sudo") << 0u << QByteArray("1000") << false;
    QTest::newRow("that user's folder, through sudo") << 1000u << QByteArray("1000") << true;
}

void TestSettings::rootKeepsSettingsOutOfOtherFolders()
{
    QFETCH(uint, folderOwner);
    QFETCH(QByteArray, sudoUid);
    QFETCH(bool, besideTheProgram);
    if (::geteuid() != 0)
        QSKIP("Only root can give a folder to another user and write into any folder.");

    QTemporaryDir home;
    const HomeFolder homeFolder(home.path());
    QVERIFY(::chown(QFile::encodeName(m_dir->path()).constData(), folderOwner, 0) == 0);
    const QByteArray savedSudo = qgetenv("SUDO_UID");
    if (sudoUid.isEmpty())
        qunsetenv("SUDO_UID");
    else
        qputenv("SUDO_UID", sudoUid);
    overrideSettingsFolder(m_dir->path());
    const QString path = settingsFilePath();
    if (savedSudo.isNull())
        qunsetenv("SUDO_UID");
    else
        qputenv("SUDO_UID", savedSudo);

    QCOMPARE(QFileInfo(path).absolutePath(),
             besideTheProgram
                 ? m_dir->path()
                 : QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    const auto form = openWindow();
    QCOMPARE(fileContent(path), DefaultFile);
}

void TestSettings::unreadableDefaultsDoNotLoopForever()
{
    // A folder by the settings file's name: the file can be neither read nor replaced.
    const QString path = settingsFilePath();
    QVERIFY(QDir().mkpath(path));

    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Ok);
    const auto form = openWindow();
    QVERIFY(answerer.waitAllAnswered());
    QCOMPARE(answerer.shown().size(), 1);
    QVERIFY(answerer.shown().first().text.contains(path));
    QCOMPARE(marks(*form), DefaultMarks);
    QCOMPARE(recordOf(*form), defaultRecord());
    QVERIFY(QFileInfo(path).isDir());
}

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
