// Feeds damaged recovery files to the replay: each is a valid file of generated records (half of
// them with records bounded small, so snapshots and long edits come in many), then cut,
// bit-flipped, overwritten, zeroed in runs or given huge length fields, in place as a disk
// damages a file. The replay must never crash or hang, must hold exactly what some prefix of
// the original records holds, and must give the same fed in blocks of any size as fed whole.
// (A record taken out whole, frame and all, cannot be told from one never written, so bytes
// are never removed from the middle.)
// Standalone: fuzz_recovery [count] [start]; the same start gives the same files.
#include "recovery/RecoveryRecords.h"
#include "recovery/RecoveryReplay.h"
#include "tests/support/FuzzRandom.h"

#include <QElapsedTimer>
#include <QString>
#include <QtEndian>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

class Generator : public FuzzRandom
{
public:
    using FuzzRandom::FuzzRandom;

    QString text()
    {
        // Lone halves of a surrogate pair too, which the records carry in bytes of their own.
        static const QStringView pieces[]
            = {u"a",      u"line",   u" ",          u"\r\n",      u"\r",     u"\n",
               u"\u2029", u"\u00E9", u"\U0001F600", u"12:00:01 ", u"\xD83D", u"\xDE00"};
        QString out;
        for (int i = below(8); i > 0; --i)
            out += pieces[below(int(std::size(pieces)))];
        return out;
    }

    // A valid record for a pane holding `size` positions (widths as the pane counts them).
    QByteArray record(RecoveryPane pane, qint64 size)
    {
        switch (below(4)) {
        case 0: {
            const qint64 from = below(int(size + 1));
            return recoveryEdit(pane, from, from + below(int(size - from + 1)), text());
        }
        case 1:
            if (chance(20)) {
                const QString whole = text();
                if (pane == RecoveryPane::Send)
                    return recoverySnapshot(whole);
                LineStore store;
                store.append(whole);
                return recoverySnapshot(store);
            }
            [[fallthrough]];
        default:
            return recoveryAppend(text());
        }
    }

    QByteArray mutate(QByteArray file, qsizetype headerSize)
    {
        for (int count = 1 + below(3); count > 0 && !file.isEmpty(); --count) {
            const int at = below(int(file.size()));
            switch (below(5)) {
            case 0:
                file.truncate(at);
                break;
            case 1:
                file[at] = char(file[at] ^ (1 << below(8)));
                break;
            case 2:
                file[at] = char(below(256));
                break;
            case 3: { // a length field, or bytes that may be taken for one, made huge
                const qsizetype where = at < headerSize ? at : at - at % 4;
                if (where + 4 <= file.size())
                    qToLittleEndian(quint32(0xFFFFFFF0u - quint32(below(4096))),
                                    file.data() + where);
                break;
            }
            default: { // a block the disk never finished writing
                const qsizetype length = std::min<qsizetype>(1 + below(64), file.size() - at);
                file.replace(at, length, QByteArray(length, '\0'));
                break;
            }
            }
        }
        return file;
    }
};

QString textOf(const RecoveredPane &pane, RecoveryPane which)
{
    const int width = which == RecoveryPane::Received ? LineStore::crLf : 1;
    return pane.store.text(0, pane.store.size(width), width);
}

// Where each record of a file ends, as its length fields say.
QList<qsizetype> recordEnds(const QByteArray &file)
{
    QList<qsizetype> ends;
    for (qsizetype at = 0; at + recoveryFrameBytes <= file.size();) {
        at += recoveryFrameBytes + qsizetype(qFromLittleEndian<quint32>(file.constData() + at));
        ends << at;
    }
    return ends;
}

// Empty when the replay of a damaged file is the replay of a prefix of the records.
QString check(Generator &generator)
{
    const RecoveryPane pane = generator.chance(50) ? RecoveryPane::Received : RecoveryPane::Send;
    setRecoveryRecordBound(generator.chance(50) ? 64 : 1 << 20);
    const int width = pane == RecoveryPane::Received ? LineStore::crLf : 1;
    const QByteArray header = recoveryHeader(pane);
    QByteArray file = header;
    for (int k = generator.below(12); k > 0; --k)
        file += generator.record(pane, replayRecovery(file, pane)->store.size(width));
    QStringList prefixes;
    for (const qsizetype end : recordEnds(file)) {
        const std::optional<RecoveredPane> prefix = replayRecovery(file.first(end), pane);
        if (!prefix)
            return QStringLiteral("a valid file was refused");
        prefixes << textOf(*prefix, pane);
    }
    const std::optional<RecoveredPane> all = replayRecovery(file, pane);
    if (!all || !all->whole())
        return QStringLiteral("a valid record did not replay");

    const QByteArray damaged = generator.mutate(file, header.size());
    const std::optional<RecoveredPane> replayed = replayRecovery(damaged, pane);
    RecoveryReplay streamed(pane);
    for (qsizetype at = 0; at < damaged.size();) {
        const qsizetype length = std::min<qsizetype>(1 + generator.below(300), damaged.size() - at);
        streamed.feed(QByteArrayView(damaged).sliced(at, length));
        at += length;
    }
    const std::optional<RecoveredPane> inBlocks = streamed.finish();
    if (bool(inBlocks) != bool(replayed)
        || (replayed
            && (textOf(*inBlocks, pane) != textOf(*replayed, pane)
                || inBlocks->unreadBytes != replayed->unreadBytes)))
        return QStringLiteral("fed in blocks, the replay differs");
    if (!replayed)
        return damaged.startsWith(header) ? QStringLiteral("an intact header was refused")
                                          : QString();
    if (!prefixes.contains(textOf(*replayed, pane)))
        return QStringLiteral("the replay is no prefix of the records");
    return QString();
}

} // namespace

int main(int argc, char *argv[])
{
    const long count = argc > 1 ? std::atol(argv[1]) : 100000;
    const std::uint64_t start = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    Generator generator(start);
    QElapsedTimer clock;
    clock.start();
    for (long i = 0; i < count; ++i) {
        const QString failure = check(generator);
        if (!failure.isEmpty()) {
            std::fprintf(stderr, "fuzz_recovery: file %ld (start %llu): %s\n", i,
                         static_cast<unsigned long long>(start), qPrintable(failure));
            return 1;
        }
    }
    std::printf("fuzz_recovery: %ld damaged files from start %llu, %.1f s\n", count,
                static_cast<unsigned long long>(start), double(clock.elapsed()) / 1000.0);
    return 0;
}
