// What a close leaves of a line that was being written.
#include "send/LineCut.h"

#include <QStringView>

#include <algorithm>

LineCut cutLine(const WrittenLine &line, qsizetype droppedBytes)
{
    // Line ends are ASCII: a byte of them is a character.
    const qsizetype textBytes = line.text.toUtf8().size();
    const qsizetype total = line.lineEnd.size() + textBytes + line.terminator.size();
    const qsizetype sent = std::clamp<qsizetype>(total - droppedBytes, 0, total);
    if (sent < line.lineEnd.size())
        return {.lineEndOwed = line.lineEnd.sliced(sent)};

    const qsizetype sentOfText = sent - line.lineEnd.size();
    if (sentOfText >= textBytes) {
        // Only the end of the terminator is missing: the device has the whole line but for it,
        // and reads the line once when the rest of it comes.
        return {.lineEndOwed = line.terminator.sliced(sentOfText - textBytes),
                .charactersLeft = line.text.size(),
                .textBegun = textBytes > 0,
                .textWhole = true};
    }
    if (sentOfText == 0)
        return {};

    LineCut cut {.lineEndOwed = line.terminator, .textBegun = true};
    for (qsizetype bytes = 0; cut.charactersLeft < line.text.size();) {
        const qsizetype at = cut.charactersLeft;
        const int units = line.text.at(at).isHighSurrogate() && at + 1 < line.text.size() ? 2 : 1;
        const qsizetype size = QStringView(line.text).sliced(at, units).toUtf8().size();
        if (bytes + size > sentOfText)
            break;
        bytes += size;
        cut.charactersLeft += units;
    }
    return cut;
}
