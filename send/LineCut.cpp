// What a close leaves of a line that was being written.
#include "send/LineCut.h"

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

    // The characters whose bytes all left, counted without encoding them again: a pasted line
    // may be millions of characters long.
    LineCut cut {.lineEndOwed = line.terminator, .textBegun = true};
    const QChar *text = line.text.constData();
    for (qsizetype bytes = 0; cut.charactersLeft < line.text.size();) {
        const qsizetype at = cut.charactersLeft;
        const char16_t c = text[at].unicode();
        const bool pair = QChar::isHighSurrogate(c) && at + 1 < line.text.size()
            && text[at + 1].isLowSurrogate();
        // A lone surrogate goes out as one byte, a question mark.
        const int size = pair ? 4 : c < 0x80 || QChar::isSurrogate(c) ? 1 : c < 0x800 ? 2 : 3;
        if (bytes + size > sentOfText)
            break;
        bytes += size;
        cut.charactersLeft += pair ? 2 : 1;
    }
    return cut;
}
