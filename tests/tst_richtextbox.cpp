// The text pane: CR LF positions, Span and UpTo, change signal, files and printing.
#include "panes/RichTextBox.h"
#include "tests/support/FileSizeLimit.h"

#include <QDir>
#include <QFile>
#include <QPrinter>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestRichTextBox : public QObject
{
    Q_OBJECT

private slots:
    void positionsCountLineBreaksAsTwo_data();
    void positionsCountLineBreaksAsTwo();
    void selectionAcrossLineBreaks();
    void caretPastTheEndGoesToTheEnd();
    void spanSelectsTheRestOfTheLine_data();
    void spanSelectsTheRestOfTheLine();
    void walkingLinesTheWayTheSenderDoes();
    void upToStopsBeforeTheCharacterOrAtTheEnd();
    void selTextInsertsAndReplaces();
    void textKeepsEveryCharacter();
    void changeSignalForEveryChange();
    void lockedPaneRefusesTheUserOnly();
    void loadFileAcceptsEveryLineEnd_data();
    void loadFileAcceptsEveryLineEnd();
    void loadFileRefusesWhatItCannotHold_data();
    void loadFileRefusesWhatItCannotHold();
    void loadFileKeepsBytesThatAreNotUtf8();
    void saveFileWritesCrLfExactly();
    void failedSaveLeavesTheOldFileIntact();
    void printsSelectionOrWholePane();
};

void TestRichTextBox::positionsCountLineBreaksAsTwo_data()
{
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("readBack");
    QTest::addColumn<QString>("restOfLine");
    // Text: "AB" CR LF "CD" CR LF "" CR LF "EF"
    QTest::newRow("start") << 0 << 0 << "AB";
    QTest::newRow("inside first line") << 1 << 1 << "B";
    QTest::newRow("end of first line") << 2 << 2 << "";
    QTest::newRow("between CR and LF") << 3 << 2 << "";
    QTest::newRow("start of second line") << 4 << 4 << "CD";
    QTest::newRow("end of second line") << 6 << 6 << "";
    QTest::newRow("empty line") << 8 << 8 << "";
    QTest::newRow("start of last line") << 10 << 10 << "EF";
    QTest::newRow("end of text") << 12 << 12 << "";
}

void TestRichTextBox::positionsCountLineBreaksAsTwo()
{
    QFETCH(int, position);
    QFETCH(int, readBack);
    QFETCH(QString, restOfLine);

    RichTextBox pane;
    pane.setText(QStringLiteral("AB\r\nCD\r\n\r\nEF"));
    QCOMPARE(pane.Text().size(), 12);
    pane.setSelStart(position);
    QCOMPARE(pane.SelStart(), readBack);
    QCOMPARE(pane.SelLength(), 0);
    pane.Span(QStringLiteral("\n"), true, true);
    QCOMPARE(pane.SelText(), restOfLine);
    QCOMPARE(pane.SelStart(), readBack);
    QCOMPARE(pane.SelLength(), restOfLine.size());
}

void TestRichTextBox::selectionAcrossLineBreaks()
{
    RichTextBox pane;
    pane.setText(QStringLiteral("AB\r\nCD\r\nEF"));
    pane.setSelStart(1);
    pane.setSelLength(7);
    QCOMPARE(pane.SelText(), QStringLiteral("B\r\nCD\r\n"));
    QCOMPARE(pane.SelStart(), 1);
    QCOMPARE(pane.SelLength(), 7);

    // Half a line break cannot be selected: the selection stops before it.
    pane.setSelLength(6);
    QCOMPARE(pane.SelText(), QStringLiteral("B\r\nCD"));

    // A length running past the end stops at the end.
    pane.setSelStart(8);
    pane.setSelLength(100);
    QCOMPARE(pane.SelText(), QStringLiteral("EF"));
    QCOMPARE(pane.SelLength(), 2);
}

void TestRichTextBox::caretPastTheEndGoesToTheEnd()
{
    RichTextBox pane;
    pane.setText(QStringLiteral("one\r\ntwo"));
    pane.setSelStart(1000);
    QCOMPARE(pane.SelStart(), 8);
    pane.setSelStart(std::numeric_limits<int>::max());
    QCOMPARE(pane.SelStart(), 8);

    RichTextBox empty;
    empty.setSelStart(5);
    QCOMPARE(empty.SelStart(), 0);
    empty.Span(QStringLiteral("\n"), true, true);
    QCOMPARE(empty.SelLength(), 0);
}

void TestRichTextBox::spanSelectsTheRestOfTheLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("caret");
    QTest::addColumn<QString>("selected");

    QTest::newRow("whole line") << "AB\r\nCD" << 0 << "AB";
    QTest::newRow("from mid line") << "ABC\r\nD" << 1 << "BC";
    QTest::newRow("last line without break") << "AB\r\nCD" << 4 << "CD";
    QTest::newRow("empty line") << "AB\r\n\r\nCD" << 4 << "";
    QTest::newRow("at the very end") << "AB\r\n" << 4 << "";
    QTest::newRow("blanks are text") << "   \r\nX" << 0 << "   ";
}

void TestRichTextBox::spanSelectsTheRestOfTheLine()
{
    QFETCH(QString, text);
    QFETCH(int, caret);
    QFETCH(QString, selected);

    RichTextBox pane;
    pane.setText(text);
    pane.setSelStart(caret);
    pane.Span(QStringLiteral("\n"), true, true);
    QCOMPARE(pane.SelText(), selected);
    QCOMPARE(pane.SelLength(), selected.size());
}

void TestRichTextBox::walkingLinesTheWayTheSenderDoes()
{
    // Past the line selected last, past its CR LF, select the next: every line comes out
    // whole, including the first character of each, up to the end.
    RichTextBox pane;
    QStringList lines;
    for (int i = 0; i < 500; ++i)
        lines << QStringLiteral("line %1 %2").arg(i).arg(QString(i % 7, u'x'));
    pane.setText(lines.join(QStringLiteral("\r\n")));

    QStringList walked;
    pane.setSelStart(0);
    pane.setSelLength(0);
    for (;;) {
        if (pane.SelLength() != 0)
            pane.setSelStart(pane.SelLength() + pane.SelStart() + 2);
        pane.Span(QStringLiteral("\n"), true, true);
        if (pane.SelLength() == 0)
            break;
        walked << pane.SelText();
    }
    QCOMPARE(walked, lines);
}

void TestRichTextBox::upToStopsBeforeTheCharacterOrAtTheEnd()
{
    const QString ff(QChar(255));
    RichTextBox pane;
    pane.setText(QStringLiteral("AB\r\nCD"));
    pane.setSelStart(1);
    pane.UpTo(ff, true, false);
    QCOMPARE(pane.SelStart(), 6);
    QCOMPARE(pane.SelLength(), 0);

    pane.setText(QStringLiteral("AB\r\nC") + ff + QStringLiteral("D\r\nE"));
    pane.setSelStart(0);
    pane.UpTo(ff, true, false);
    QCOMPARE(pane.SelStart(), 5);

    // Negated: up to the first character outside the set; a line break is CR and LF.
    pane.setText(QStringLiteral("aab\r\nc"));
    pane.setSelStart(0);
    pane.UpTo(QStringLiteral("a"), true, true);
    QCOMPARE(pane.SelStart(), 2);
    pane.UpTo(QStringLiteral("\r\n"), true, false);
    QCOMPARE(pane.SelStart(), 3);
}

void TestRichTextBox::selTextInsertsAndReplaces()
{
    RichTextBox pane;
    pane.setText(QStringLiteral("head\r\ntail"));
    pane.setSelStart(6);
    pane.setSelText(QStringLiteral("one\r\ntwo\r\n"));
    QCOMPARE(pane.Text(), QStringLiteral("head\r\none\r\ntwo\r\ntail"));
    QCOMPARE(pane.SelStart(), 16);

    // Lone CR and LF break lines too, so positions stay CR LF pairs.
    pane.setSelStart(0);
    pane.setSelLength(4);
    pane.setSelText(QStringLiteral("a\rb\nc"));
    QCOMPARE(pane.Text(), QStringLiteral("a\r\nb\r\nc\r\none\r\ntwo\r\ntail"));

    // Characters the document would take as frames never break its structure.
    pane.setText(QString());
    pane.setSelText(QString(QChar(0xfdd0)) + QStringLiteral("x"));
    QCOMPARE(pane.Text(), QString(QChar(QChar::ReplacementCharacter)) + QStringLiteral("x"));
}

void TestRichTextBox::textKeepsEveryCharacter()
{
    RichTextBox pane;
    const QString text = QStringLiteral("a\u00a0b\tc\r\n\u00ff\u65e5\u672c\r\n\r\n");
    pane.setText(text);
    QCOMPARE(pane.Text(), text);
    pane.setText(QString());
    QCOMPARE(pane.Text(), QString());
}

void TestRichTextBox::changeSignalForEveryChange()
{
    RichTextBox pane;
    QSignalSpy changes(&pane, &RichTextBox::Change);
    pane.setFont(QFont(QStringLiteral("Courier New"), 12));
    QCOMPARE(changes.count(), 0);

    pane.setText(QStringLiteral("x"));
    QCOMPARE(changes.count(), 1);
    pane.setSelStart(1);
    QCOMPARE(changes.count(), 1);
    pane.setSelText(QStringLiteral("y\r\n"));
    QCOMPARE(changes.count(), 2);

    pane.show();
    pane.setFocus();
    QTest::keyClicks(&pane, QStringLiteral("ab"));
    QCOMPARE(changes.count(), 4);
    pane.setText(QString());
    QCOMPARE(changes.count(), 5);
}

void TestRichTextBox::lockedPaneRefusesTheUserOnly()
{
    RichTextBox pane;
    pane.show();
    pane.setFocus();
    pane.setLocked(true);
    QVERIFY(pane.Locked());
    QTest::keyClicks(&pane, QStringLiteral("typed"));
    QCOMPARE(pane.Text(), QString());
    pane.setSelText(QStringLiteral("program"));
    QCOMPARE(pane.Text(), QStringLiteral("program"));

    // The line being sent stays selected whatever the user clicks or presses.
    pane.setSelStart(0);
    pane.setSelLength(3);
    QTest::mouseClick(pane.viewport(), Qt::LeftButton, {}, QPoint(40, 5));
    QTest::mouseDClick(pane.viewport(), Qt::LeftButton, {}, QPoint(10, 5));
    QTest::mousePress(pane.viewport(), Qt::LeftButton, {}, QPoint(2, 5));
    QTest::mouseMove(pane.viewport(), QPoint(60, 5));
    QTest::mouseRelease(pane.viewport(), Qt::LeftButton, {}, QPoint(60, 5));
    QTest::keyClick(&pane, Qt::Key_End);
    QTest::keyClick(&pane, Qt::Key_Right, Qt::ShiftModifier);
    QTest::keyClick(&pane, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(pane.SelStart(), 0);
    QCOMPARE(pane.SelLength(), 3);

    pane.setLocked(false);
    pane.setSelStart(7);
    QTest::keyClicks(&pane, QStringLiteral("!"));
    QCOMPARE(pane.Text(), QStringLiteral("program!"));
}

void TestRichTextBox::loadFileAcceptsEveryLineEnd_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("CR LF") << QByteArray("AB\r\nCD\r\n\r\nE");
    QTest::newRow("LF") << QByteArray("AB\nCD\n\nE");
    QTest::newRow("CR") << QByteArray("AB\rCD\r\rE");
    QTest::newRow("byte order mark") << QByteArray("\xef\xbb\xbf"
                                                   "AB\r\nCD\r\n\r\nE");
}

void TestRichTextBox::loadFileAcceptsEveryLineEnd()
{
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("in.txt"));
    QVERIFY(writeAll(path, bytes));

    RichTextBox pane;
    pane.setText(QStringLiteral("old"));
    QSignalSpy changes(&pane, &RichTextBox::Change);
    QVERIFY(pane.LoadFile(path, 1));
    QCOMPARE(pane.Text(), QStringLiteral("AB\r\nCD\r\n\r\nE"));
    QVERIFY(changes.count() >= 1);
}

void TestRichTextBox::loadFileRefusesWhatItCannotHold_data()
{
    QTest::addColumn<QString>("name"); // in a fresh folder, or an absolute path
    QTest::newRow("missing") << "missing.txt";
    QTest::newRow("folder") << "folder";
    QTest::newRow("pipe with no writer") << "pipe";
    QTest::newRow("endless device") << "/dev/zero";
    QTest::newRow("over 64 MiB") << "large.txt";
}

void TestRichTextBox::loadFileRefusesWhatItCannotHold()
{
    QFETCH(QString, name);
    QTemporaryDir dir;
    const QString path = QDir::isAbsolutePath(name) ? name : dir.filePath(name);
    if (name == u"folder")
        QVERIFY(QDir().mkpath(path));
    if (name == u"pipe")
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    if (name == u"large.txt") {
        QFile large(path); // sparse: no disk space taken
        QVERIFY(large.open(QIODevice::WriteOnly) && large.resize(64 * 1024 * 1024 + 1));
    }

    RichTextBox pane;
    pane.setText(QStringLiteral("kept"));
    QSignalSpy changes(&pane, &RichTextBox::Change);
    QVERIFY(!pane.LoadFile(path, 1));
    QVERIFY(!pane.errorString().isEmpty());
    QCOMPARE(pane.Text(), QStringLiteral("kept"));
    QCOMPARE(changes.count(), 0);
}

void TestRichTextBox::loadFileKeepsBytesThatAreNotUtf8()
{
    QTemporaryDir dir;
    RichTextBox pane;
    // Bytes that are not UTF-8 keep their value, as Latin-1 characters.
    const QString path = dir.filePath(QStringLiteral("latin1.txt"));
    QVERIFY(writeAll(path,
                     QByteArray("a\xff"
                                "b 25\xb0"
                                "C \xc3\xa9")));
    QVERIFY(pane.LoadFile(path, 1));
    QCOMPARE(pane.Text(), QStringLiteral("a\u00ffb 25\u00b0C \u00e9"));
}

void TestRichTextBox::saveFileWritesCrLfExactly()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("out.txt"));
    RichTextBox pane;
    pane.setText(QStringLiteral("12.5\r\n<AK>\r\n\u00e9\r\n"));
    QVERIFY(pane.SaveFile(path, 1));
    QCOMPARE(readAll(path), QByteArray("12.5\r\n<AK>\r\n\xc3\xa9\r\n"));

    RichTextBox back;
    QVERIFY(back.LoadFile(path, 1));
    QCOMPARE(back.Text(), pane.Text());

    pane.setText(QString());
    QVERIFY(pane.SaveFile(path, 1));
    QCOMPARE(readAll(path), QByteArray());
}

void TestRichTextBox::failedSaveLeavesTheOldFileIntact()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("keep.txt"));
    QVERIFY(writeAll(path, "old contents\r\n"));

    RichTextBox pane;
    pane.setText(QString(200000, u'x'));

    // A file size limit makes the disk "full" part way through the write.
    bool saved = true;
    {
        const FileSizeLimit limit(4096);
        QVERIFY(limit.isActive());
        saved = pane.SaveFile(path, 1);
    }

    QVERIFY(!saved);
    QVERIFY(!pane.errorString().isEmpty());
    QCOMPARE(readAll(path), QByteArray("old contents\r\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList {QStringLiteral("keep.txt")});

    // A folder that does not exist.
    QVERIFY(!pane.SaveFile(dir.filePath(QStringLiteral("no/such/folder/x.txt")), 1));
}

void TestRichTextBox::printsSelectionOrWholePane()
{
    QTemporaryDir dir;
    RichTextBox pane;
    pane.setText(QStringLiteral("first line\r\nsecond line"));

    QPrinter printer;
    printer.setOutputFormat(QPrinter::PdfFormat);
    const QString whole = dir.filePath(QStringLiteral("whole.pdf"));
    printer.setOutputFileName(whole);
    QVERIFY(pane.SelPrint(&printer));
    QVERIFY(readAll(whole).startsWith("%PDF"));

    QPrinter unwritable;
    unwritable.setOutputFormat(QPrinter::PdfFormat);
    unwritable.setOutputFileName(dir.filePath(QStringLiteral("no/such/folder/x.pdf")));
    QTest::ignoreMessage(QtWarningMsg, "QPainter::begin(): Returned false");
    QVERIFY(!pane.SelPrint(&unwritable));
    QVERIFY(!pane.errorString().isEmpty());
}

QTEST_MAIN(TestRichTextBox)
#include "tst_richtextbox.moc"
