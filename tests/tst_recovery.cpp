// The recovery files: records replayed, torn and damaged tails dropped whole, and a set
// written by its writer thread, left behind, found, read back and removed.
#include "recovery/RecoveryOrphan.h"
#include "recovery/RecoveryRecords.h"
#include "recovery/RecoverySet.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/TemporaryStateHome.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

#include <sys/stat.h>

namespace {

using Records = QByteArrayList;
constexpr int received = int(RecoveryPane::Received);
constexpr int send = int(RecoveryPane::Send);

LineStore storeOf(QStringView text)
{
    LineStore store;
    store.append(text);
    return store;
}

// A pane's text as replayed: CR LF breaks for the received pane, LF for the send pane.
QString textOf(const RecoveredPane &pane, int which)
{
    const int width = which == received ? LineStore::crLf : 1;
    return pane.store.text(0, pane.store.size(width), width);
}

QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int modeOf(const QString &path)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 0777) : -1;
}

// The received pane as the window holds it, each change handed to the set as the pane tells it.
struct Panes
{
    RecoverySet &set;
    LineStore pane;

    void receive(const QString &text) { edit(pane.size(), pane.size(), text); }
    void edit(qint64 from, qint64 to, const QString &text)
    {
        pane.replace(from, to, text);
        set.receivedEdited(from, to, text);
    }
};

} // namespace

class TestRecovery : public QObject
{
    Q_OBJECT
private slots:
    void checksum();
    void storeLength_data();
    void storeLength();
    void replay_data();
    void replay();
    void damagedTail_data();
    void damagedTail();
    void setLeftBehind_data();
    void setLeftBehind();
    void diskSaysNo_data();
    void diskSaysNo();
};

// The IEEE CRC-32 (as zlib computes it), so other tools can check a set.
void TestRecovery::checksum()
{
    QCOMPARE(recoveryCrc32("123456789"), 0xCBF43926u);
    QCOMPARE(recoveryCrc32("56789", recoveryCrc32("1234")), 0xCBF43926u);
}

void TestRecovery::storeLength_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("CR LF") << "a\r\nb";
    QTest::newRow("lone breaks") << "\na\rb\u2029";
    QTest::newRow("CR then LF apart") << "\r\r\n\n";
    QTest::newRow("outside the BMP") << "\U0001F600";
}

// Where the set believes the received pane ends decides an append from an edit.
void TestRecovery::storeLength()
{
    QFETCH(QString, text);
    QCOMPARE(recoveryStoreLength(text), storeOf(text).size());
}

void TestRecovery::replay_data()
{
    QTest::addColumn<int>("pane");
    QTest::addColumn<Records>("records");
    QTest::addColumn<bool>("ours");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("whole");
    const QByteArray r = recoveryHeader(RecoveryPane::Received);
    const QByteArray s = recoveryHeader(RecoveryPane::Send);

    QTest::newRow("appends run on across lines")
        << received << Records {r, recoveryAppend(u"a\r\nb"), recoveryAppend(u"c\r\n")} << true
        << "a\r\nbc\r\n"
        << true;
    QTest::newRow("a CR ending one append and an LF starting the next are two breaks")
        << received << Records {r, recoveryAppend(u"a\r"), recoveryAppend(u"\nb")} << true
        << "a\r\n\r\nb" << true;
    QTest::newRow("appends merged keep a CR and the next LF two breaks")
        << received << Records {r, recoveryAppends({"a\r", "\nb", "\r", "c\xC3\xA9\r\n"})} << true
        << "a\r\n\r\nb\r\nc\u00E9\r\n"
        << true;
    QTest::newRow("an edit counts CR LF as two")
        << received << Records {r, recoveryAppend(u"ab\r\ncd"), recoveryEdit(4, 5, u"X")} << true
        << "ab\r\nXd" << true;
    QTest::newRow("an edit across a line break")
        << received << Records {r, recoveryAppend(u"ab\r\ncd"), recoveryEdit(1, 5, u"")} << true
        << "ad" << true;
    QTest::newRow("a character outside the BMP counts two")
        << received << Records {r, recoveryAppend(u"x\U0001F600y"), recoveryEdit(3, 4, u"z")}
        << true << "x\U0001F600z" << true;
    QTest::newRow("a snapshot replaces what came before")
        << received
        << Records {r, recoveryAppend(u"old"), recoverySnapshot(storeOf(u"new\r\nl\u00E9ne")),
                    recoveryAppend(u"!")}
        << true << "new\r\nl\u00E9ne!" << true;
    QTest::newRow("an edit past the end is damaged")
        << received
        << Records {r, recoveryAppend(u"abc"), recoveryEdit(2, 9, u"x"), recoveryAppend(u"d")}
        << true << "abc" << false;
    QTest::newRow("an unknown kind is damaged")
        << received
        << Records {r, recoveryAppend(u"a"), recoveryRecord(RecoveryKind(9), "b"),
                    recoveryAppend(u"c")}
        << true << "a" << false;
    QTest::newRow("a second header is damaged")
        << received << Records {r, recoveryAppend(u"a"), r, recoveryAppend(u"b")} << true << "a"
        << false;
    QTest::newRow("send pane edits count a paragraph end as one")
        << send << Records {s, recoveryEdit(0, 0, u"ab\u2029cd"), recoveryEdit(1, 1, u"x")} << true
        << "axb\ncd" << true;
    QTest::newRow("send pane snapshot")
        << send << Records {s, recoveryEdit(0, 0, u"typed"), recoverySnapshot(u"loaded\nfile")}
        << true << "loaded\nfile" << true;
    QTest::newRow("send pane edit past the end is damaged")
        << send << Records {s, recoveryEdit(0, 0, u"ab"), recoveryEdit(1, 3, u"")} << true << "ab"
        << false;
    QTest::newRow("another pane's file") << received << Records {s} << false << "" << false;
    QTest::newRow("no header") << send << Records {recoveryAppend(u"a")} << false << "" << false;
}

void TestRecovery::replay()
{
    QFETCH(int, pane);
    QFETCH(Records, records);
    QFETCH(bool, ours);
    QFETCH(QString, text);
    QFETCH(bool, whole);
    const std::optional<RecoveredPane> replayed
        = replayRecovery(records.join(), RecoveryPane(pane));
    QCOMPARE(bool(replayed), ours);
    if (!replayed)
        return;
    QCOMPARE(textOf(*replayed, pane), text);
    QCOMPARE(replayed->whole, whole);
}

void TestRecovery::damagedTail_data()
{
    QTest::addColumn<int>("pane");
    QTest::addColumn<bool>("cut");
    QTest::newRow("received pane cut") << received << true;
    QTest::newRow("received pane bit flipped") << received << false;
    QTest::newRow("send pane cut") << send << true;
    QTest::newRow("send pane bit flipped") << send << false;
}

// Whatever the damage, the replay is the replay of the records before it.
void TestRecovery::damagedTail()
{
    QFETCH(int, pane);
    QFETCH(bool, cut);
    const bool isReceived = pane == received;
    const Records records {
        recoveryHeader(RecoveryPane(pane)),
        isReceived ? recoveryAppend(u"12:00:01 first\r\nsec") : recoveryEdit(0, 0, u"AT\u2029"),
        recoveryAppend(u"ond \U0001F600\r\n"),
        isReceived ? recoverySnapshot(storeOf(u"kept\r\nlines\r\n")) : recoverySnapshot(u"ATZ"),
        recoveryEdit(2, 3, u"\u00E9\r\nX"),
        recoveryAppend(u"last line")};
    QStringList prefixes;
    QList<qsizetype> ends;
    for (qsizetype k = 1; k <= records.size(); ++k) {
        const QByteArray whole = records.first(k).join();
        prefixes << textOf(*replayRecovery(whole, RecoveryPane(pane)), pane);
        ends << whole.size();
    }
    QCOMPARE(QSet<QString>(prefixes.begin(), prefixes.end()).size(), prefixes.size());

    const QByteArray file = records.join();
    for (qsizetype at = ends.first(); at < file.size(); ++at) {
        QByteArray damaged = cut ? file.first(at) : file;
        if (!cut)
            damaged[at] = char(damaged[at] ^ (1 << (at % 8)));
        const qsizetype intact = std::upper_bound(ends.begin(), ends.end(), at) - ends.begin();
        const std::optional<RecoveredPane> replayed = replayRecovery(damaged, RecoveryPane(pane));
        QVERIFY2(replayed, qPrintable(QString::number(at)));
        QCOMPARE(textOf(*replayed, pane), prefixes[intact - 1]);
        QCOMPARE(replayed->whole, cut && ends.contains(at));
    }
}

void TestRecovery::setLeftBehind_data()
{
    QTest::addColumn<bool>("holds");
    QTest::addColumn<QString>("ending");
    QTest::addColumn<bool>("offered");
    QTest::addColumn<bool>("filesStay");
    QTest::newRow("window gone without its exit path") << true << "destroyed" << true << false;
    QTest::newRow("window still living") << true << "alive" << false << true;
    QTest::newRow("exit path") << true << "discarded" << false << false;
    QTest::newRow("gone holding nothing") << false << "destroyed" << false << false;
    QTest::newRow("gone, a file no longer readable") << true << "unreadable" << false << true;
}

void TestRecovery::setLeftBehind()
{
    QFETCH(bool, holds);
    QFETCH(QString, ending);
    QFETCH(bool, offered);
    QFETCH(bool, filesStay);
    TemporaryStateHome home;
    const QString folder = RecoverySet::folder();
    QCOMPARE(folder, home.path() + QStringLiteral("/kavrel"));

    auto set = std::make_unique<RecoverySet>();
    QVERIFY(set->start());
    const QString stem = folder + u'/' + set->id();
    QCOMPARE(modeOf(folder), 0700);
    for (const char *suffix : {".lock", ".received", ".send"})
        QCOMPARE(modeOf(stem + QLatin1StringView(suffix)), 0600);
    const QByteArray foreign = "not a recovery set";
    for (const char *name : {"/notes.txt", "/kavrel-1-xyz.received"}) {
        QFile file(folder + QLatin1StringView(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(foreign) == foreign.size());
    }

    Panes panes {*set, storeOf(u"")};
    QString sent;
    if (holds) {
        panes.receive(QStringLiteral("[1] first\r\n[2] sec"));
        panes.receive(QStringLiteral("ond\r\n[3] third"));
        panes.edit(0, 3, QStringLiteral("(one)"));
        panes.pane.replace(0, panes.pane.position({1, 0}), u""); // cleared, a line stayed
        set->restartReceived(panes.pane);
        panes.receive(QStringLiteral("\r\n[4] \u03B1\U0001F600"));
        set->sendEdited(0, 0, QStringLiteral("AT\u2029"));
        set->sendEdited(3, 0, QStringLiteral("ATZ"));
        sent = QStringLiteral("AT\nATZ");
    }
    set->syncNow();
    const std::optional<RecoveredPane> onDisk
        = replayRecovery(fileContent(stem + QStringLiteral(".received")), RecoveryPane::Received);
    QVERIFY(onDisk && onDisk->whole);
    QCOMPARE(textOf(*onDisk, received), panes.pane.text());

    if (ending == QLatin1String("discarded"))
        set->discard();
    if (ending != QLatin1String("alive"))
        set.reset();
    if (ending == QLatin1String("unreadable")) {
        QFile file(stem + QStringLiteral(".send"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(foreign) == foreign.size());
    }

    std::unique_ptr<RecoveryOrphan> orphan = RecoveryOrphan::claimNewest(folder);
    QCOMPARE(bool(orphan), offered);
    if (orphan) {
        QVERIFY(!RecoveryOrphan::claimNewest(folder)); // claimed: not offered twice
        QVERIFY(orphan->lastWritten().isValid());
        const RecoveryOrphan::Contents contents = orphan->read();
        QCOMPARE(contents.received.text(), panes.pane.text());
        QCOMPARE(contents.send, sent);
        QVERIFY(contents.whole);
        orphan->discard();
        orphan.reset();
        QVERIFY(!RecoveryOrphan::claimNewest(folder));
    }
    QCOMPARE(QFile::exists(stem + QStringLiteral(".received")), filesStay);
    QCOMPARE(QFile::exists(stem + QStringLiteral(".lock")), filesStay);
    QCOMPARE(QDir(folder).entryList(QDir::Files).size(), filesStay ? 5 : 2);
    for (const char *name : {"/notes.txt", "/kavrel-1-xyz.received"})
        QCOMPARE(fileContent(folder + QLatin1StringView(name)), foreign);
}

void TestRecovery::diskSaysNo_data()
{
    QTest::addColumn<bool>("folderBelowAFile");
    QTest::newRow("folder below a regular file") << true;
    QTest::newRow("disk full") << false;
}

// Told once; once the disk takes writes again the set is made again from the panes.
void TestRecovery::diskSaysNo()
{
    QFETCH(bool, folderBelowAFile);
    TemporaryStateHome home;
    const QString blocker = home.path() + QStringLiteral("/blocker");
    if (folderBelowAFile) {
        QFile file(blocker);
        QVERIFY(file.open(QIODevice::WriteOnly));
        home.redirect(QStringLiteral("blocker/state"));
    }
    RecoverySet set;
    QSignalSpy failed(&set, &RecoverySet::failed);
    QSignalSpy writable(&set, &RecoverySet::writableAgain);
    QCOMPARE(set.start(), !folderBelowAFile);
    Panes panes {set, storeOf(u"")};
    std::optional<FileSizeLimit> full;
    if (!folderBelowAFile) {
        full.emplace(4096);
        QVERIFY(full->isActive());
    }
    panes.receive(QString(10000, u'x'));
    set.syncNow();
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 20000);
    QCOMPARE(failed.at(0).at(0).toString(), RecoverySet::folder());
    QVERIFY(!failed.at(0).at(1).toString().isEmpty());
    QVERIFY(!set.isWriting());

    panes.receive(QStringLiteral("\r\nwhile the disk said no"));
    full.reset();
    QFile::remove(blocker);
    QTRY_COMPARE_WITH_TIMEOUT(writable.size(), 1, 20000);
    QCOMPARE(failed.size(), 1);
    set.restartReceived(panes.pane);
    set.restartSend(QStringLiteral("kept"));
    panes.receive(QStringLiteral("\r\nafter"));
    set.syncNow();
    QVERIFY(set.isWriting());
    const QString stem = RecoverySet::folder() + u'/' + set.id();
    const std::optional<RecoveredPane> onDisk
        = replayRecovery(fileContent(stem + QStringLiteral(".received")), RecoveryPane::Received);
    QVERIFY(onDisk && onDisk->whole);
    QCOMPARE(textOf(*onDisk, received), panes.pane.text());
    const std::optional<RecoveredPane> sendOnDisk
        = replayRecovery(fileContent(stem + QStringLiteral(".send")), RecoveryPane::Send);
    QVERIFY(sendOnDisk);
    QCOMPARE(textOf(*sendOnDisk, send), QStringLiteral("kept"));
}

QTEST_GUILESS_MAIN(TestRecovery)
#include "tst_recovery.moc"
