// The recovery set's writer under a disk's troubles: a disk that says no or fills up, a disk too
// slow for the panes, the program ending by a signal while the writer is behind, and what the
// next start tells of a file whose end was torn.
#include "app/Form1.h"
#include "recovery/EndSignals.h"
#include "recovery/RecoveryFiles.h"
#include "recovery/RecoveryWriter.h"
#include "settings/SettingsFile.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/ModalAnswerer.h"
#include "tests/support/RecoveryPanes.h"
#include "tests/support/TemporaryStateHome.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <optional>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QStringList setFiles()
{
    return QDir(RecoverySet::folder())
        .entryList({QStringLiteral("kavrel-*")}, QDir::Files | QDir::System);
}

QString receivedFileOf(const RecoverySet &set)
{
    return RecoverySet::folder() + u'/' + set.id() + QStringLiteral(".received");
}

const QString line = QString(1022, u'x') + QStringLiteral("\r\n");

} // namespace

class TestRecoveryWriter : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void diskSaysNo_data();
    void diskSaysNo();
    void noRoomForRewrite();
    void slowDisk_data();
    void slowDisk();
    void keptOnSignal();
    void secondSignal_data();
    void secondSignal();
    void fileSizeLimitFailsWrite();
    void tornEndTold_data();
    void tornEndTold();

private:
    QTemporaryDir m_settings;
};

void TestRecoveryWriter::initTestCase()
{
    QVERIFY(m_settings.isValid());
    overrideSettingsFolder(m_settings.path());
}

void TestRecoveryWriter::diskSaysNo_data()
{
    QTest::addColumn<QString>("trouble");
    QTest::newRow("folder below a regular file") << "blocked";
    QTest::newRow("disk full") << "full";
    QTest::newRow("disk full while a pane is rewritten") << "full rewrite";
}

// Told once; what a failed rewrite made is gone at once; once the disk takes writes again the
// set is made again from the panes.
void TestRecoveryWriter::diskSaysNo()
{
    QFETCH(QString, trouble);
    const bool folderBelowAFile = trouble == u"blocked";
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
    Panes panes {.set = set};
    panes.receive(QStringLiteral("kept\r\n"));
    set.syncNow();
    std::optional<FileSizeLimit> full;
    if (!folderBelowAFile) {
        full.emplace(4096);
        QVERIFY(full->isActive());
    }
    panes.receive(QString(10000, u'x'));
    if (trouble == u"full rewrite")
        set.restartReceived(panes.received);
    set.syncNow();
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 20000);
    QCOMPARE(failed.at(0).at(0).toString(), RecoverySet::folder());
    QVERIFY(!failed.at(0).at(1).toString().isEmpty());
    QVERIFY(!set.isWriting());
    QCOMPARE(setFiles().filter(QStringLiteral(".new")), QStringList());

    panes.receive(QStringLiteral("\r\nwhile the disk said no"));
    full.reset();
    QFile::remove(blocker);
    QTRY_COMPARE_WITH_TIMEOUT(writable.size(), 1, 20000);
    QCOMPARE(failed.size(), 1);
    // Made again, the set has not cut short what it held: a crash now still offers it.
    const QString stem = RecoverySet::folder() + u'/' + set.id();
    if (!folderBelowAFile) {
        const auto kept = replayRecovery(fileContent(stem + QStringLiteral(".received")),
                                         RecoveryPane::Received);
        QVERIFY(kept && textOf(*kept, RecoveryPane::Received).startsWith(u"kept\r\n"));
    }
    set.restartReceived(panes.received);
    set.restartSend(QStringLiteral("kept"));
    panes.receive(QStringLiteral("\r\nafter"));
    set.syncNow();
    QVERIFY(set.isWriting());
    QCOMPARE(replayedFile(stem + QStringLiteral(".received"), RecoveryPane::Received),
             panes.received.text());
    QCOMPARE(replayedFile(stem + QStringLiteral(".send"), RecoveryPane::Send),
             QStringLiteral("kept"));
}

// A rewrite the disk has no room for fails before it writes anything; the set is made again
// only once the pane would fit, here after it was cleared.
void TestRecoveryWriter::noRoomForRewrite()
{
    TemporaryStateHome home;
    auto writer = std::make_shared<RecoveryWriter>(RecoverySet::folder(),
                                                   QStringLiteral("kavrel-1-00000000000000aa"));
    std::atomic<int> failures {0};
    std::atomic<int> recovered {0};
    writer->onFailed = [&](const QString &) { ++failures; };
    writer->onRecovered = [&] { ++recovered; };
    writer->onSynced = [] {};
    writer->onRewriteDue = [](RecoveryPane) {};
    writer->run(writer->create());
    const auto end = qScopeGuard([&] { writer->finish(true); });
    const auto rewrite = [&](qint64 paneLength) {
        writer->push({.pane = RecoveryPane::Send,
                      .kind = RecoveryKind::Snapshot,
                      .text = "ATZ",
                      .paneLength = paneLength});
    };
    rewrite(qint64(1) << 60);
    QTRY_COMPARE_WITH_TIMEOUT(failures.load(), 1, 20000);
    QCOMPARE(setFiles().filter(QStringLiteral(".new")), QStringList());
    rewrite(3);
    QTRY_COMPARE_WITH_TIMEOUT(recovered.load(), 1, 20000);
    QCOMPARE(failures.load(), 1);
}

void TestRecoveryWriter::slowDisk_data()
{
    QTest::addColumn<bool>("behind"); // the queue stays small, the set falls behind
    QTest::addColumn<bool>("removed");
    QTest::newRow("the disk catches up") << false << false;
    QTest::newRow("the set is removed meanwhile") << false << true;
    QTest::newRow("seconds behind with little waiting") << true << false;
}

// A disk at 100 KiB/s under a fast receive: what is not yet on disk keeps to its bound, a set
// that falls seconds behind is told however little waits, the user is told once, the panes are
// written afresh once the disk has caught up, and removing the set does not wait for writes of
// what it removes.
void TestRecoveryWriter::slowDisk()
{
    QFETCH(bool, behind);
    QFETCH(bool, removed);
    TemporaryStateHome home;
    const qsizetype bound = behind ? RecoveryWriter::queueBound() : 1 << 20;
    RecoveryWriter::setQueueBoundForTesting(bound);
    const auto restore = qScopeGuard([] {
        RecoveryWriter::setQueueBoundForTesting(qsizetype(64) << 20);
        RecoveryFiles::setWritePaceForTesting(0);
    });
    RecoverySet set;
    QSignalSpy failed(&set, &RecoverySet::failed);
    QSignalSpy writable(&set, &RecoverySet::writableAgain);
    QVERIFY(set.start());
    Panes panes {.set = set};
    RecoveryFiles::setWritePaceForTesting(100 * 1024);
    qsizetype queued = 0;
    qint64 received = 0;
    const auto receive = [&](int lines) {
        for (int i = 0; i < lines && failed.isEmpty(); ++i) {
            panes.receive(line);
            received += line.size();
            queued = std::max(queued, set.queuedBytes());
        }
        return !failed.isEmpty();
    };
    if (behind)
        QTRY_VERIFY_WITH_TIMEOUT(receive(64), 60000);
    else
        QVERIFY(receive(4096));
    // When it is told, all but the bound of what arrived (the line told with) reached the file.
    const qint64 waiting = received - QFileInfo(receivedFileOf(set)).size();
    QVERIFY2(waiting <= bound + line.size(), qPrintable(QString::number(waiting - bound)));
    QVERIFY(queued <= bound);
    QCOMPARE(failed.size(), 1);
    if (removed) {
        // Writing what waited would take 10 s and more: removing the set must not wait for it.
        // Half of that time leaves room for a busy machine and still tells waiting apart.
        const qint64 writingMs = waiting * 1000 / (100 * 1024);
        QElapsedTimer clock;
        clock.start();
        set.discard();
        QVERIFY2(clock.elapsed() < writingMs / 2,
                 qPrintable(QStringLiteral("%1 of %2 ms").arg(clock.elapsed()).arg(writingMs)));
        QCOMPARE(setFiles(), QStringList());
        return;
    }
    RecoveryFiles::setWritePaceForTesting(0);
    QTRY_COMPARE_WITH_TIMEOUT(writable.size(), 1, 30000);
    set.restartReceived(panes.received);
    set.restartSend(QString());
    panes.receive(QStringLiteral("after"));
    set.syncNow();
    QCOMPARE(replayedFile(receivedFileOf(set), RecoveryPane::Received), panes.received.text());
    QCOMPARE(failed.size(), 1);
}

// Ending by a signal on a slow disk keeps what reached the disk in a set that replays, without
// waiting for the rest (20 s of writing and more).
void TestRecoveryWriter::keptOnSignal()
{
    TemporaryStateHome home;
    const auto restore = qScopeGuard([] { RecoveryFiles::setWritePaceForTesting(0); });
    auto set = std::make_unique<RecoverySet>();
    QVERIFY(set->start());
    Panes panes {.set = *set};
    panes.receive(QStringLiteral("synced\r\n"));
    set->syncNow();
    RecoveryFiles::setWritePaceForTesting(100 * 1024);
    for (int i = 0; i < 2048; ++i)
        panes.receive(line);
    const QString file = receivedFileOf(*set);
    set->keep();
    set.reset();
    const auto kept = replayRecovery(fileContent(file), RecoveryPane::Received);
    QVERIFY(kept);
    const QString text = textOf(*kept, RecoveryPane::Received);
    QVERIFY(text.startsWith(u"synced\r\n"));
    QVERIFY(text.size() < panes.received.text().size());
    QVERIFY(panes.received.text().startsWith(text));
}

void TestRecoveryWriter::secondSignal_data()
{
    QTest::addColumn<int>("signalCount");
    QTest::newRow("one signal waits for the window") << 1;
    QTest::newRow("a second one ends at once") << 2;
}

// A process busy with the first signal (keeping its panes) never returns to its event loop.
void TestRecoveryWriter::secondSignal()
{
    QFETCH(int, signalCount);
    EndSignals ending;
    QVERIFY(ending.isValid());
    const pid_t child = ::fork();
    if (child == 0) {
        ::raise(SIGTERM);
        if (signalCount == 2)
            ::raise(SIGHUP);
        ::_exit(0);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), signalCount == 2 ? 128 + SIGHUP : 0);
}

// Past a file size limit a write fails (and is told); the kernel's signal must not end Kavrel.
void TestRecoveryWriter::fileSizeLimitFailsWrite()
{
    std::signal(SIGXFSZ, SIG_DFL);
    EndSignals ending;
    QTemporaryDir folder;
    const QByteArray path = QFile::encodeName(folder.filePath(QStringLiteral("limited")));
    const QByteArray block(4096, 'x'); // made before the fork: the child only makes calls
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit small {.rlim_cur = 4096, .rlim_max = RLIM_INFINITY};
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT, 0600);
        const bool failed = ::setrlimit(RLIMIT_FSIZE, &small) == 0 && fd >= 0
            && ::write(fd, block.constData(), 4096) == 4096
            && ::write(fd, block.constData(), 4096) < 0 && errno == EFBIG;
        ::_exit(failed ? 0 : 1);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY2(WIFEXITED(status), qPrintable(QString::number(WTERMSIG(status))));
    QCOMPARE(WEXITSTATUS(status), 0);
}

void TestRecoveryWriter::tornEndTold_data()
{
    QTest::addColumn<QByteArray>("tail");
    QTest::addColumn<QString>("told");
    QTest::newRow("one byte") << QByteArray(1, '\x7f')
                              << "The last byte of the received data could not be read and is "
                                 "left out.";
    QTest::newRow("some bytes") << QByteArray(100, '\x7f')
                                << "The last 100 bytes of the received data could not be read "
                                   "and are left out.";
}

// A set left with a torn end is offered with what came before it, and the user is told how much
// is left out, in words that fit the count.
void TestRecoveryWriter::tornEndTold()
{
    QFETCH(QByteArray, tail);
    QFETCH(QString, told);
    TemporaryStateHome home;
    {
        RecoverySet set;
        set.start();
        Panes panes {.set = set};
        panes.receive(QStringLiteral("12.5\r\n"));
        set.syncNow();
        QFile file(receivedFileOf(set));
        QVERIFY(file.open(QIODevice::Append) && file.write(tail) == tail.size());
    }
    Form1 form;
    ModalAnswerer answers;
    answers.answerMessage(QMessageBox::No);
    form.show();
    QVERIFY(answers.waitAllAnswered(60000));
    const QString shown = answers.shown().constFirst().informativeText;
    QVERIFY2(shown.contains(u"1 line of received data") && shown.endsWith(told),
             qPrintable(shown));
}

QTEST_MAIN(TestRecoveryWriter)
#include "tst_recovery_writer.moc"
