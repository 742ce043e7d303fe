// A window's recovery set on disk: written by its writer thread, left behind, found, read back
// and removed; what the folder may hold that is not to be followed or read; files kept in
// proportion to the panes.
#include "recovery/RecoveryFiles.h"
#include "recovery/RecoveryOrphan.h"
#include "tests/support/RecoveryPanes.h"
#include "tests/support/TemporaryStateHome.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QStringList setSuffixes {QStringLiteral(".lock"), QStringLiteral(".received"),
                               QStringLiteral(".send")};

int modeOf(const QString &path)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 0777) : -1;
}

QStringList setFiles()
{
    return QDir(RecoverySet::folder())
        .entryList({QStringLiteral("kavrel-*")}, QDir::Files | QDir::System);
}

// A set as a window leaves it when it is killed: written, synced, its lock let go. The stem of
// its files' names.
QString leaveSet(const QString &received, const QString &send, bool typedAndDeleted = false)
{
    RecoverySet set;
    set.start();
    Panes panes {.set = set};
    panes.receive(received);
    panes.type(0, 0, send);
    if (typedAndDeleted) {
        panes.type(0, 0, QStringLiteral("typed"));
        panes.type(0, 5, QString());
    }
    set.syncNow();
    return RecoverySet::folder() + u'/' + set.id();
}

} // namespace

class TestRecoveryFiles : public QObject
{
    Q_OBJECT
private slots:
    void setLeftBehind_data();
    void setLeftBehind();
    void leftBehindSets_data();
    void leftBehindSets();
    void rewrites_data();
    void rewrites();
};
void TestRecoveryFiles::setLeftBehind_data()
{
    QTest::addColumn<bool>("holds");
    QTest::addColumn<QString>("ending");
    QTest::addColumn<bool>("offered");
    QTest::addColumn<bool>("filesStay");
    QTest::newRow("window gone without its exit path") << true << "destroyed" << true << false;
    QTest::newRow("window still living") << true << "alive" << false << true;
    QTest::newRow("exit path") << true << "discarded" << false << false;
    QTest::newRow("gone holding nothing") << false << "destroyed" << false << false;
    QTest::newRow("gone, its send file no longer readable")
        << true << "unreadable" << true << false;
}

void TestRecoveryFiles::setLeftBehind()
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
    for (const QString &suffix : setSuffixes)
        QCOMPARE(modeOf(stem + suffix), 0600);
    // Names that are not a set's, however close, are never touched, nor given a lock.
    const QByteArray foreign = "not a recovery set";
    const char *foreignNames[] = {"/notes.txt", "/kavrel-1-xyz.received", "/kavrel-1-abc.received"};
    for (const char *name : foreignNames) {
        QFile file(folder + QLatin1StringView(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(foreign) == foreign.size());
    }

    Panes panes {.set = *set};
    QString send;
    if (holds) {
        panes.receive(QStringLiteral("[1] first\r\n[2] sec"));
        panes.receive(QStringLiteral("ond\r\n[3] third"));
        panes.edit(0, 3, QStringLiteral("(one)"));
        panes.received.replace(0, panes.received.position({1, 0}), u""); // cleared, a line stayed
        set->restartReceived(panes.received);
        panes.receive(QStringLiteral("\r\n[4] \u03B1\U0001F600") + QChar(0xD800)); // a lone half
        panes.type(0, 0, QStringLiteral("AT\u2029"));
        panes.type(3, 3, QStringLiteral("ATZ") + QChar(0xDC00));
        send = QStringLiteral("AT\nATZ") + QChar(0xDC00);
    }
    set->syncNow();
    QCOMPARE(replayedFile(stem + QStringLiteral(".received"), RecoveryPane::Received),
             panes.received.text());

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
        const RecoveryOrphan::Contents &contents = orphan->contents();
        QCOMPARE(contents.received.text(), panes.received.text());
        // A pane whose file cannot be read gives nothing; the other pane is still offered.
        const bool sendSpoilt = ending == QLatin1String("unreadable");
        QCOMPARE(contents.send, sendSpoilt ? QString() : send);
        QCOMPARE(contents.sendFile.unreadable, sendSpoilt);
        QVERIFY(!contents.receivedFile.unreadable && contents.receivedFile.unreadBytes == 0);
        orphan->discard();
        orphan.reset();
        QVERIFY(!RecoveryOrphan::claimNewest(folder));
    }
    QCOMPARE(QFile::exists(stem + QStringLiteral(".received")), filesStay);
    QCOMPARE(QFile::exists(stem + QStringLiteral(".lock")), filesStay);
    QCOMPARE(QDir(folder).entryList(QDir::Files).size(), filesStay ? 6 : 3);
    for (const char *name : foreignNames)
        QCOMPARE(fileContent(folder + QLatin1StringView(name)), foreign);
}

void TestRecoveryFiles::leftBehindSets_data()
{
    QTest::addColumn<QString>("newest");
    QTest::addColumn<QString>("received"); // what the set offered gives back
    QTest::addColumn<QString>("send");
    QTest::addColumn<bool>("receivedLost"); // told as not read
    const QString older = QStringLiteral("older\r\n");
    const QString newer = QStringLiteral("newer\r\n");
    const QString atz = QStringLiteral("ATZ");
    QTest::newRow("typed and deleted") << "typed and deleted" << older << "" << false;
    QTest::newRow("first record zeroed") << "zeroed" << older << "" << false;
    QTest::newRow("send torn inside its header") << "send torn" << newer << "" << false;
    QTest::newRow("received a link out of the folder") << "link"
                                                       << "" << atz << true;
    QTest::newRow("received a FIFO") << "fifo"
                                     << "" << atz << true;
    QTest::newRow("lock gone") << "lock gone" << newer << atz << false;
}

// Beside an older set, the newest set left as a power cut, a crash or someone else may leave
// it: whatever can offer something is offered, newest first; a set that offers nothing goes
// without a question; nothing outside the folder is read or touched.
void TestRecoveryFiles::leftBehindSets()
{
    QFETCH(QString, newest);
    QFETCH(QString, received);
    QFETCH(QString, send);
    QFETCH(bool, receivedLost);
    TemporaryStateHome home;
    const QString older = leaveSet(QStringLiteral("older\r\n"), QString());
    for (const QString &suffix : setSuffixes) {
        QFile file(older + suffix);
        QVERIFY(file.open(QIODevice::ReadWrite)
                && file.setFileTime(QDateTime::currentDateTime().addSecs(-60),
                                    QFileDevice::FileModificationTime));
    }
    const QString stem = newest == u"typed and deleted"
        ? leaveSet(QString(), QString(), true)
        : leaveSet(QStringLiteral("newer\r\n"),
                   newest == u"zeroed" ? QString() : QStringLiteral("ATZ"));
    const QString outside = home.path() + QStringLiteral("/outside");
    QVERIFY(QFile::copy(older + QStringLiteral(".received"), outside));
    const QByteArray outsideBytes = fileContent(outside);
    QFile receivedFile(stem + QStringLiteral(".received"));
    if (newest == u"zeroed") {
        const qsizetype header = recoveryHeader(RecoveryPane::Received).size();
        QVERIFY(receivedFile.open(QIODevice::ReadWrite) && receivedFile.seek(header));
        receivedFile.write(QByteArray(receivedFile.size() - header, '\0'));
        receivedFile.close();
    } else if (newest == u"send torn") {
        QVERIFY(QFile::resize(stem + QStringLiteral(".send"), 10));
    } else if (newest == u"link") {
        QVERIFY(receivedFile.remove() && QFile::link(outside, receivedFile.fileName()));
    } else if (newest == u"fifo") {
        QVERIFY(receivedFile.remove()
                && ::mkfifo(QFile::encodeName(receivedFile.fileName()).constData(), 0600) == 0);
    } else if (newest == u"lock gone") {
        QVERIFY(QFile::remove(stem + QStringLiteral(".lock")));
    }

    std::unique_ptr<RecoveryOrphan> orphan = RecoveryOrphan::claimNewest(RecoverySet::folder());
    QVERIFY(orphan);
    const RecoveryOrphan::Contents &contents = orphan->contents();
    QCOMPARE(contents.received.text(), received);
    QCOMPARE(contents.send, send);
    QCOMPARE(contents.receivedFile.unreadable || contents.receivedFile.unreadBytes > 0,
             receivedLost);
    QCOMPARE(contents.sendFile.unreadable || contents.sendFile.unreadBytes > 0, false);
    orphan->discard();
    orphan.reset();
    // The older set stays when the newest was offered; a set that offered nothing is gone.
    QCOMPARE(setFiles().size(), received == u"older\r\n" ? 0 : 3);
    QCOMPARE(fileContent(outside), outsideBytes);
    QVERIFY(!RecoveryOrphan::claimNewest(RecoverySet::folder()) || received != u"older\r\n");
}

void TestRecoveryFiles::rewrites_data()
{
    QTest::addColumn<int>("paneNumber");
    QTest::newRow("send text replaced") << int(RecoveryPane::Send);
    QTest::newRow("received text replaced") << int(RecoveryPane::Received);
}

// 10,000 replacements of a 10 KiB text: the pane's file keeps to twice the text and 1 MiB.
void TestRecoveryFiles::rewrites()
{
    QFETCH(int, paneNumber);
    const RecoveryPane pane = RecoveryPane(paneNumber);
    TemporaryStateHome home;
    RecoverySet set;
    QVERIFY(set.start());
    Panes panes {.set = set};
    connect(&set, &RecoverySet::rewriteDue, &set, [&](RecoveryPane due) {
        if (due == RecoveryPane::Received)
            set.restartReceived(panes.received);
        else
            set.restartSend(panes.send);
    });
    const QString file = RecoverySet::folder() + u'/' + set.id()
        + (pane == RecoveryPane::Send ? QStringLiteral(".send") : QStringLiteral(".received"));
    const qint64 bound = 2 * 10240 + (1 << 20);
    for (int i = 1; i <= 10000; ++i) {
        const QString text = QString::number(i).leftJustified(10240, u'-');
        if (pane == RecoveryPane::Send)
            panes.type(0, int(panes.send.size()), text);
        else
            panes.edit(0, panes.received.size(), text);
        QCoreApplication::processEvents();
        if (i % 1000 == 0) {
            set.syncNow();
            QCoreApplication::processEvents(); // a rewrite asked for meanwhile
            set.syncNow();
            QVERIFY2(QFileInfo(file).size() < bound,
                     qPrintable(QString::number(QFileInfo(file).size())));
        }
    }
    QCOMPARE(replayedFile(file, pane),
             pane == RecoveryPane::Send ? panes.send : panes.received.text());
}

QTEST_GUILESS_MAIN(TestRecoveryFiles)
#include "tst_recovery_files.moc"
