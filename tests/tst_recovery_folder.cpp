// The recovery folder and the names in it: a folder that cannot be used told with what to do;
// pane files and locks that are not what a window makes; another window looking while a lock
// is made; a set interrupted while it goes.
#include "recovery/RecoveryFolder.h"
#include "recovery/RecoveryOrphan.h"
#include "tests/support/RecoveryPanes.h"
#include "tests/support/TemporaryStateHome.h"

#include <QDir>
#include <QScopeGuard>
#include <QTest>

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QStringList setFiles()
{
    return QDir(RecoverySet::folder())
        .entryList({QStringLiteral("kavrel-*")}, QDir::Files | QDir::System | QDir::Dirs);
}

// A set as a window leaves it when it is killed. The stem of its files' names.
QString leaveSet(const QString &received, const QString &send)
{
    RecoverySet set;
    set.start();
    Panes panes {.set = set};
    panes.receive(received);
    panes.type(0, 0, send);
    set.syncNow();
    return RecoverySet::folder() + u'/' + set.id();
}

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

// What the hook of the folder's steps does in a test.
int stopAtRemoval = -1; // the removal step a kill ends at, -1 none
int removals = 0;
std::unique_ptr<RecoveryOrphan> claimedWhileMade;
QStringList namesWhileMade;

bool step(const char *name, const QString &)
{
    if (qstrcmp(name, "made") == 0) {
        namesWhileMade = QDir(RecoverySet::folder()).entryList(QDir::Files);
        claimedWhileMade = RecoveryOrphan::claimNewest(RecoverySet::folder());
    }
    return qstrcmp(name, "remove") != 0 || removals++ != stopAtRemoval;
}

} // namespace

class TestRecoveryFolder : public QObject
{
    Q_OBJECT
private slots:
    void folderTold_data();
    void folderTold();
    void strangeFiles_data();
    void strangeFiles();
    void lockMadeWhileAnotherLooks();
    void killedWhileGoing_data();
    void killedWhileGoing();
    void lockLeftHalfMade_data();
    void lockLeftHalfMade();
};

void TestRecoveryFolder::folderTold_data()
{
    QTest::addColumn<QString>("made"); // what is at the folder's place, or above it
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("told");
    QTest::newRow("a link") << "link" << 0700 << "symbolic link";
    QTest::newRow("a file") << "file" << 0600 << "not a folder";
    QTest::newRow("open to others") << "folder" << 0777 << "chmod 700";
    QTest::newRow("another user's, as sudo leaves it") << "owner" << 0700 << "sudo chown";
    QTest::newRow("not to be entered") << "folder" << 0000 << "(0000)";
    QTest::newRow("not to be listed") << "folder" << 0300 << "(0300)";
    QTest::newRow("not to be written") << "folder" << 0500 << "(0500)";
    QTest::newRow("above it not to be written") << "above" << 0500 << "(0500) do not let you make";
}

// Why a folder cannot be used is told with what to do, not as a bare error of the system.
void TestRecoveryFolder::folderTold()
{
    QFETCH(QString, made);
    QFETCH(int, mode);
    QFETCH(QString, told);
    const bool root = ::geteuid() == 0;
    if (root && (made == u"above" || (made == u"folder" && (mode & 0700) != 0700)))
        QSKIP("root enters and writes any folder");
    if (!root && made == u"owner")
        QSKIP("only root gives a folder away");
    TemporaryStateHome home;
    const QString folder = RecoverySet::folder();
    const QString above = QFileInfo(folder).path();
    const auto restore = qScopeGuard([&] { ::chmod(encoded(above).constData(), 0700); });
    if (made == u"link") {
        QVERIFY(QDir().mkdir(home.path() + QStringLiteral("/real"))
                && QFile::link(home.path() + QStringLiteral("/real"), folder));
    } else if (made == u"file") {
        QFile file(folder);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else {
        QVERIFY(QDir().mkpath(made == u"above" ? above : folder));
        if (made == u"owner")
            QVERIFY(::chown(encoded(folder).constData(), 65534, 65534) == 0);
        QVERIFY(::chmod(encoded(made == u"above" ? above : folder).constData(), mode_t(mode)) == 0);
    }
    const RecoveryFolder opened = RecoveryFolder::open(folder, true);
    QVERIFY(!opened.isOpen());
    QVERIFY2(opened.problem().contains(told), qPrintable(opened.problem()));
    QVERIFY(!RecoveryOrphan::claimNewest(folder));
}

void TestRecoveryFolder::strangeFiles_data()
{
    QTest::addColumn<QString>("file"); // the set's file that is made strange
    QTest::addColumn<QString>("strange");
    QTest::addColumn<QString>("received"); // what the set then offers
    QTest::addColumn<QString>("send");
    const QString line = QStringLiteral("12.5\r\n");
    const QString typed = QStringLiteral("READ?");
    QTest::newRow("send open to others' writes") << ".send"
                                                 << "0666" << line << "";
    QTest::newRow("received a hard link to a file outside") << ".received"
                                                            << "hard link"
                                                            << "" << typed;
    QTest::newRow("lock a FIFO") << ".lock"
                                 << "fifo" << line << typed;
    QTest::newRow("lock a link") << ".lock"
                                 << "link" << line << typed;
    QTest::newRow("lock a folder") << ".lock"
                                   << "folder" << line << typed;
    QTest::newRow("lock a hard link to a file outside") << ".lock"
                                                        << "hard link" << line << typed;
    QTest::newRow("lock open to others' writes") << ".lock"
                                                 << "0666" << line << typed;
    QTest::newRow("lock named twice, its window killed naming it")
        << ".lock"
        << "named twice" << line << typed;
}

// Pane files that others could have written or that are another file's name too are not read;
// a lock that no window made hides its set from no one.
void TestRecoveryFolder::strangeFiles()
{
    QFETCH(QString, file);
    QFETCH(QString, strange);
    QFETCH(QString, received);
    QFETCH(QString, send);
    TemporaryStateHome home;
    const QString stem = leaveSet(QStringLiteral("12.5\r\n"), QStringLiteral("READ?"));
    const QString path = stem + file;
    const QString outside = home.path() + QStringLiteral("/outside");
    QVERIFY(QFile::copy(path, outside));
    QFile precious(outside); // a lock is empty: what is outside must not be taken for one
    QVERIFY(precious.open(QIODevice::Append) && precious.write("precious") == 8);
    precious.close();
    if (file == u".lock" && strange != u"hard link" && strange != u"named twice"
        && strange != u"0666")
        QVERIFY(QFile::remove(path));
    if (strange == u"0666")
        QVERIFY(::chmod(encoded(path).constData(), 0666) == 0
                && QFile::resize(path, 1)); // marked, but anyone might have marked it
    else if (strange == u"hard link")
        QVERIFY(QFile::remove(path) && ::link(encoded(outside), encoded(path)) == 0);
    else if (strange == u"fifo")
        QVERIFY(::mkfifo(encoded(path).constData(), 0600) == 0);
    else if (strange == u"named twice")
        QVERIFY(::link(encoded(path), encoded(stem + QStringLiteral(".lock.making"))) == 0);
    else if (strange == u"link")
        QVERIFY(QFile::link(outside, path));
    else
        QVERIFY(QDir().mkdir(path));
    const QByteArray outsideBytes = fileContent(outside);

    std::unique_ptr<RecoveryOrphan> orphan = RecoveryOrphan::claimNewest(RecoverySet::folder());
    QVERIFY(orphan);
    QCOMPARE(orphan->contents().received.text(), received);
    QCOMPARE(orphan->contents().send, send);
    QVERIFY(!RecoveryOrphan::claimNewest(RecoverySet::folder())); // held while offered
    orphan->discard();
    orphan.reset();
    QCOMPARE(setFiles(), QStringList());
    QCOMPARE(fileContent(outside), outsideBytes);
}

// A window starting while another makes its lock finds nothing to claim: the lock has the
// name claimers look for only once it is held.
void TestRecoveryFolder::lockMadeWhileAnotherLooks()
{
    TemporaryStateHome home;
    RecoveryFolder::stepForTesting = step;
    const auto restore = qScopeGuard([] {
        RecoveryFolder::stepForTesting = nullptr;
        claimedWhileMade.reset();
    });
    RecoverySet set;
    QVERIFY(set.start());
    QVERIFY(!namesWhileMade.isEmpty()); // the lock was being made when the other looked
    QVERIFY(!claimedWhileMade);
    Panes panes {.set = set};
    panes.receive(QStringLiteral("12.5\r\n"));
    panes.type(0, 0, QStringLiteral("READ?"));
    set.syncNow();
    QVERIFY(!RecoveryOrphan::claimNewest(RecoverySet::folder()));
    const QString stem = RecoverySet::folder() + u'/' + set.id();
    QCOMPARE(replayedFile(stem + QStringLiteral(".received"), RecoveryPane::Received),
             panes.received.text());
    QCOMPARE(setFiles().size(), 3);
}

void TestRecoveryFolder::killedWhileGoing_data()
{
    QTest::addColumn<int>("killedAt"); // how many names went before the kill
    QTest::newRow("marked, nothing removed yet") << 0;
    QTest::newRow("the received file removed") << 1;
    QTest::newRow("all but the lock removed") << 6;
}

// A set that was declined goes whole: a kill while its files are removed leaves nothing that
// the next start offers, and that start removes what is left.
void TestRecoveryFolder::killedWhileGoing()
{
    QFETCH(int, killedAt);
    TemporaryStateHome home;
    leaveSet(QStringLiteral("12.5\r\n"), QStringLiteral("READ?"));
    RecoveryFolder::stepForTesting = step;
    stopAtRemoval = killedAt;
    removals = 0;
    const auto restore = qScopeGuard([] {
        RecoveryFolder::stepForTesting = nullptr;
        stopAtRemoval = -1;
    });
    std::unique_ptr<RecoveryOrphan> orphan = RecoveryOrphan::claimNewest(RecoverySet::folder());
    QVERIFY(orphan && !orphan->contents().send.isEmpty());
    orphan->discard();
    QCOMPARE(removals, killedAt + 1);
    stopAtRemoval = -1;
    orphan.reset(); // its lock let go, as a kill lets it go
    QVERIFY(!setFiles().isEmpty());
    QVERIFY(!RecoveryOrphan::claimNewest(RecoverySet::folder()));
    QCOMPARE(setFiles(), QStringList());
}

void TestRecoveryFolder::lockLeftHalfMade_data()
{
    QTest::addColumn<int>("age"); // seconds since it was made
    QTest::addColumn<bool>("held"); // its window still making it
    QTest::addColumn<bool>("removed");
    QTest::newRow("left by a window killed making it") << 3600 << false << true;
    QTest::newRow("held by a window stopped making it") << 3600 << true << false;
    QTest::newRow("just made") << 0 << false << false;
}

// A lock a window was killed making is removed by a later start, never one still being made.
void TestRecoveryFolder::lockLeftHalfMade()
{
    QFETCH(int, age);
    QFETCH(bool, held);
    QFETCH(bool, removed);
    TemporaryStateHome home;
    QVERIFY(RecoveryFolder::open(RecoverySet::folder(), true).isOpen());
    const QString name = QStringLiteral("kavrel-42-00112233445566ff.lock.making");
    QFile lock(RecoverySet::folder() + u'/' + name);
    QVERIFY(lock.open(QIODevice::WriteOnly));
    QVERIFY(!held || ::flock(lock.handle(), LOCK_EX) == 0);
    QVERIFY(lock.setFileTime(QDateTime::currentDateTime().addSecs(-age),
                             QFileDevice::FileModificationTime));
    QVERIFY(!RecoveryOrphan::claimNewest(RecoverySet::folder()));
    QCOMPARE(setFiles(), removed ? QStringList() : QStringList {name});
}

QTEST_GUILESS_MAIN(TestRecoveryFolder)
#include "tst_recovery_folder.moc"
