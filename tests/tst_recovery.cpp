// The recovery files' records: replayed, torn and damaged tails dropped whole, bounded records
// joined back into what they were cut from, a file of the earlier format still read.
#include "recovery/RecoveryRecords.h"
#include "recovery/RecoveryReplay.h"
#include "tests/support/RecoveryPanes.h"

#include <QScopeGuard>
#include <QSet>
#include <QTest>
#include <QtEndian>

namespace {

using Records = QByteArrayList;
constexpr int received = int(RecoveryPane::Received);
constexpr int send = int(RecoveryPane::Send);

QString textOf(const RecoveredPane &pane, int which)
{
    return textOf(pane, RecoveryPane(which));
}

// Halves of a surrogate pair standing alone, which a pane may hold and UTF-8 cannot carry.
const QChar high(char16_t(0xD83D));
const QChar low(char16_t(0xDE00));

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
    void boundedRecords_data();
    void boundedRecords();
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
        << received
        << Records {r, recoveryAppend(u"ab\r\ncd"),
                    recoveryEdit(RecoveryPane::Received, 4, 5, u"X")}
        << true << "ab\r\nXd" << true;
    QTest::newRow("an edit across a line break")
        << received
        << Records {r, recoveryAppend(u"ab\r\ncd"), recoveryEdit(RecoveryPane::Received, 1, 5, u"")}
        << true << "ad" << true;
    QTest::newRow("a character outside the BMP counts two")
        << received
        << Records {r, recoveryAppend(u"x\U0001F600y"),
                    recoveryEdit(RecoveryPane::Received, 3, 4, u"z")}
        << true << "x\U0001F600z" << true;
    QTest::newRow("a snapshot replaces what came before")
        << received
        << Records {r, recoveryAppend(u"old"), recoverySnapshot(storeOf(u"new\r\nl\u00E9ne")),
                    recoveryAppend(u"!")}
        << true << "new\r\nl\u00E9ne!" << true;
    QTest::newRow("an edit past the end is damaged")
        << received
        << Records {r, recoveryAppend(u"abc"), recoveryEdit(RecoveryPane::Received, 2, 9, u"x"),
                    recoveryAppend(u"d")}
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
        << send
        << Records {s, recoveryEdit(RecoveryPane::Send, 0, 0, u"ab\u2029cd"),
                    recoveryEdit(RecoveryPane::Send, 1, 1, u"x")}
        << true << "axb\ncd" << true;
    QTest::newRow("send pane snapshot")
        << send
        << Records {s, recoveryEdit(RecoveryPane::Send, 0, 0, u"typed"),
                    recoverySnapshot(u"loaded\nfile")}
        << true << "loaded\nfile" << true;
    QTest::newRow("send pane edit past the end is damaged")
        << send
        << Records {s, recoveryEdit(RecoveryPane::Send, 0, 0, u"ab"),
                    recoveryEdit(RecoveryPane::Send, 1, 3, u"")}
        << true << "ab" << false;
    const QByteArray part = recoveryRecord(RecoveryKind::SnapshotPart, "new\r\nl");
    const QByteArray end = recoveryRecord(RecoveryKind::SnapshotEnd, {});
    QTest::newRow("a snapshot in parts counts once its end has come")
        << received << Records {r, recoveryAppend(u"old"), part, end, recoveryAppend(u"!")} << true
        << "new\r\nl!" << true;
    QTest::newRow("a snapshot without its end leaves what came before")
        << received << Records {r, recoveryAppend(u"old"), part, part} << true << "old" << false;
    QTest::newRow("a record between a snapshot's parts is damaged")
        << send << Records {s, part, recoveryAppend(u"x"), end} << true << "" << false;
    QTest::newRow("a record past the bound is damaged")
        << received
        << Records {r, recoveryAppend(u"a"),
                    recoveryRecord(RecoveryKind::Append,
                                   QByteArray(recoveryRecordBound() + 1, 'b'))}
        << true << "a" << false;
    // Files left by the version before an upgrade: a snapshot is one record of any length.
    QTest::newRow("format 1, a whole snapshot past the bound")
        << received
        << Records {recoveryHeader(RecoveryPane::Received, 1), recoveryAppend(u"old"),
                    recoveryRecord(RecoveryKind::Snapshot,
                                   QByteArray(recoveryRecordBound() + 9, 'n')),
                    recoveryEdit(RecoveryPane::Received, 0, 1, u"N")}
        << true << QString(recoveryRecordBound() + 9, u'n').replace(0, 1, QStringLiteral("N"))
        << true;
    const QString lone = QStringLiteral("a") + high + QStringLiteral("b") + low;
    QTest::newRow("lone surrogates appended, an edit after them")
        << received
        << Records {r, recoveryAppend(lone), recoveryEdit(RecoveryPane::Received, 4, 4, u"c")}
        << true << lone + QStringLiteral("c") << true;
    QTest::newRow("lone surrogates in a send pane snapshot")
        << send << Records {s, recoverySnapshot(lone + QChar::ParagraphSeparator + low)} << true
        << lone + QStringLiteral("\n") + low << true;
    QTest::newRow("the halves of a pair typed apart join again")
        << send
        << Records {s, recoveryEdit(RecoveryPane::Send, 0, 0, QString(low)),
                    recoveryEdit(RecoveryPane::Send, 0, 0, QString(high))}
        << true << "\U0001F600" << true;
    QTest::newRow("a received snapshot holding lone surrogates")
        << received << Records {r, recoverySnapshot(storeOf(lone + QStringLiteral("\r\n") + high))}
        << true << lone + QStringLiteral("\r\n") + high << true;
    // Written before lone surrogates had bytes of their own: plain UTF-8, read as it was.
    QTest::newRow("an earlier file's Hangul syllable and replacement mark")
        << received << Records {r, recoveryRecord(RecoveryKind::Append, "\xED\x95\x9C?")} << true
        << "\uD55C?" << true;
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
    QCOMPARE(replayed->whole(), whole);
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
    const Records records {recoveryHeader(RecoveryPane(pane)),
                           isReceived ? recoveryAppend(u"12:00:01 first\r\nsec")
                                      : recoveryEdit(RecoveryPane::Send, 0, 0, u"AT\u2029"),
                           recoveryAppend(u"ond \U0001F600\r\n"),
                           isReceived ? recoverySnapshot(storeOf(u"kept\r\nlines\r\n"))
                                      : recoverySnapshot(u"ATZ"),
                           recoveryEdit(RecoveryPane(pane), 2, 3, u"\u00E9\r\nX"),
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
        QCOMPARE(replayed->whole(), cut && ends.contains(at));
        QCOMPARE(replayed->unreadBytes, damaged.size() - ends[intact - 1]);
    }
}

void TestRecovery::boundedRecords_data()
{
    QTest::addColumn<int>("pane");
    QTest::addColumn<QString>("kind");
    QString lines;
    for (int i = 0; i < 40; ++i)
        lines += QStringLiteral("%1 \u00E9\u00FF\U0001F600 line").arg(i) + (i % 3 ? high : low)
            + QStringLiteral("\r\n");
    lines += QString(300, u'\u03B1') + QStringLiteral("\r\n\r\n") + QString(200, u'x');
    QTest::addColumn<QString>("text");
    QTest::newRow("received snapshot") << received << "snapshot" << lines;
    QTest::newRow("send snapshot")
        << send << "snapshot"
        << QString(lines).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QTest::newRow("received edit") << received << "edit" << lines;
    QTest::newRow("send edit") << send << "edit"
                               << QString(lines).replace(QStringLiteral("\r\n"),
                                                         QStringLiteral("\u2029"));
    QTest::newRow("received appends, a CR and an LF apart") << received << "appends" << lines;
}

// With records bounded small, a pane's text comes in many of them and still replays exactly,
// fed whole or a few bytes at a time, and no length field is past the bound.
void TestRecovery::boundedRecords()
{
    QFETCH(int, pane);
    QFETCH(QString, kind);
    QFETCH(QString, text);
    setRecoveryRecordBound(64);
    const auto restore = qScopeGuard([] { setRecoveryRecordBound(1 << 20); });
    QByteArray file = recoveryHeader(RecoveryPane(pane)) + recoveryAppend(u"abcd");
    QString expected = QStringLiteral("ab") + text + QStringLiteral("d");
    if (kind == u"snapshot") {
        file += pane == received ? recoverySnapshot(storeOf(text)) : recoverySnapshot(text);
        expected = text;
    } else if (kind == u"edit") {
        file += recoveryEdit(RecoveryPane(pane), 2, 3, text);
    } else {
        QByteArrayList pieces;
        for (qsizetype at = 0, length = 37; at < text.size(); at += length) {
            // Cut only where the pane cuts a receive into batches: never inside a CR LF.
            length = text.mid(at, 37).endsWith(u'\r') ? 38 : 37;
            pieces << recoveryUtf8(text.mid(at, length));
        }
        pieces << QByteArray("\r") << QByteArray("\n");
        file += recoveryAppends(pieces);
        expected = QStringLiteral("abcd") + text + QStringLiteral("\r\n\r\n");
    }
    if (pane == send)
        expected.replace(QStringLiteral("\u2029"), QStringLiteral("\n"))
            .replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    int records = 0;
    for (qsizetype at = 0; at < file.size(); ++records) {
        const quint32 length = qFromLittleEndian<quint32>(file.constData() + at);
        QVERIFY(length <= 64);
        at += recoveryFrameBytes + length;
    }
    QVERIFY(records > 20);
    const std::optional<RecoveredPane> whole = replayRecovery(file, RecoveryPane(pane));
    QVERIFY(whole && whole->whole());
    QCOMPARE(textOf(*whole, pane), expected);
    RecoveryReplay replay {RecoveryPane(pane)};
    for (qsizetype at = 0; at < file.size(); at += 7)
        QVERIFY(
            replay.feed(QByteArrayView(file).sliced(at, std::min<qsizetype>(7, file.size() - at))));
    const std::optional<RecoveredPane> streamed = replay.finish();
    QVERIFY(streamed && streamed->whole());
    QCOMPARE(textOf(*streamed, pane), expected);
}

QTEST_GUILESS_MAIN(TestRecovery)
#include "tst_recovery.moc"
