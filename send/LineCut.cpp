// What a close leaves of a line that was being written.
#include "send/LineCut.h"

#include <QStringList>

#include <algorithm>

namespace {

// How a character goes out: a pair as four bytes, a lone surrogate as one (a question mark).
int utf8Size(QStringView text, qsizetype at, bool *pair)
{
    const char16_t c = text[at].unicode();
    *pair = QChar::isHighSurrogate(c) && at + 1 < text.size() && text[at + 1].isLowSurrogate();
    return *pair ? 4 : c < 0x80 || QChar::isSurrogate(c) ? 1 : c < 0x800 ? 2 : 3;
}

} // namespace

qsizetype WrittenLine::bytes() const
{
    qsizetype size = lineEnd.size() + terminator.size();
    bool pair = false;
    for (qsizetype at = 0; at < text.size(); at += pair ? 2 : 1)
        size += utf8Size(text, at, &pair);
    return size;
}

qsizetype characterCount(QStringView text)
{
    qsizetype count = text.size();
    for (qsizetype at = 1; at < text.size(); ++at) {
        if (text[at].isLowSurrogate() && text[at - 1].isHighSurrogate())
            --count;
    }
    return count;
}

LineCut cutLine(const WrittenLine &line, qsizetype droppedBytes)
{
    // Line ends are ASCII: a byte of them is a character.
    const qsizetype textBytes = line.bytes() - line.lineEnd.size() - line.terminator.size();
    const qsizetype total = line.lineEnd.size() + textBytes + line.terminator.size();
    const qsizetype sent = std::clamp<qsizetype>(total - droppedBytes, 0, total);
    if (sent < line.lineEnd.size())
        return {.lineEndOwed = line.lineEnd.sliced(sent)};

    const qsizetype sentOfText = sent - line.lineEnd.size();
    if (sentOfText >= textBytes) {
        // Only the end of the terminator is missing: the device has the whole line but for it,
        // and reads the line once when the rest of it comes.
        return {.lineEndOwed = line.terminator.sliced(sentOfText - textBytes),
                .charactersLeft = characterCount(line.text),
                .textBegun = textBytes > 0,
                .textWhole = true};
    }
    if (sentOfText == 0)
        return {};

    // The characters whose bytes all left, counted without encoding them again: a pasted line
    // may be millions of characters long.
    LineCut cut {.lineEndOwed = line.terminator, .textBegun = true};
    bool pair = false;
    for (qsizetype at = 0, bytes = 0; at < line.text.size(); at += pair ? 2 : 1) {
        bytes += utf8Size(line.text, at, &pair);
        if (bytes > sentOfText)
            break;
        ++cut.charactersLeft;
    }
    return cut;
}

UnreadLines linesMaybeUnread(const QList<SentWrite> &writes, qsizetype dropped, qsizetype unsure,
                             qint64 edition)
{
    UnreadLines unread;
    if (unsure <= 0)
        return unread;
    qsizetype end = 0; // where this write ends, counted back from the last write's end
    for (auto write = writes.crbegin(); write != writes.crend() && end < dropped + unsure;
         ++write) {
        const qsizetype start = end + write->bytes;
        // Some of this write's bytes lie in [dropped, dropped + unsure) from the end.
        if (write->number != 0 && start > dropped && write->bytes > 0) {
            if (write->edition == edition)
                unread.lines.append(write->number);
            else
                unread.ofEarlierText = true;
        }
        end = start;
    }
    // Send pressed again sends the same lines again: each is named once.
    std::sort(unread.lines.begin(), unread.lines.end());
    unread.lines.erase(std::unique(unread.lines.begin(), unread.lines.end()), unread.lines.end());
    return unread;
}

QString lineRuns(const QList<int> &numbers)
{
    QStringList runs;
    for (qsizetype first = 0; first < numbers.size();) {
        qsizetype last = first;
        while (last + 1 < numbers.size() && numbers[last + 1] == numbers[last] + 1)
            ++last;
        runs << (last == first ? QString::number(numbers[first])
                               : QStringLiteral("%1 to %2").arg(numbers[first]).arg(numbers[last]));
        first = last + 1;
    }
    if (runs.size() < 2)
        return runs.join(QString());
    const QString lastRun = runs.takeLast();
    return runs.join(QStringLiteral(", ")) + QStringLiteral(" and ") + lastRun;
}

bool LineLeaving::waits(qint64 nowUnsent, double now)
{
    if (nowUnsent <= 0)
        return false;
    if (nowUnsent != unsent) {
        unsent = nowUnsent;
        lastMove = now;
    }
    return now < deadline && now - lastMove < stall;
}
