// The received pane's operations: every edit goes through edit(), which changes the store,
// puts the caret after the new text, raises Change, tells a reader and redraws.
#include "panes/lines/LinePane.h"

#include "panes/PaneShared.h"
#include "panes/TextFile.h"
#include "panes/lines/LinePaneAccessible.h"

#include <QScrollBar>

#include <algorithm>
#include <limits>
#include <utility>

namespace {

int toInt(qint64 value)
{
    return int(std::min<qint64>(value, std::numeric_limits<int>::max()));
}

void appendUtf8(QByteArray &out, QLatin1StringView text)
{
    const qsizetype at = out.size();
    out.resize(at + 2 * text.size());
    char *o = out.data() + at;
    for (const char c : text) {
        const auto byte = uchar(c);
        if (byte < 0x80) {
            *o++ = char(byte);
        } else {
            *o++ = char(0xc0 | (byte >> 6));
            *o++ = char(0x80 | (byte & 0x3f));
        }
    }
    out.truncate(o - out.constData());
}

void appendUtf8(QByteArray &out, QStringView text)
{
    out += text.toUtf8();
}

// What the program sets, types or pastes breaks its lines at U+2029 too, as in the send pane.
QString withParagraphBreaks(QString text)
{
    if (text.contains(QChar::ParagraphSeparator))
        text.replace(QChar::ParagraphSeparator, QStringLiteral("\r\n"));
    return text;
}

} // namespace

LinePane::LinePane(QWidget *parent) : QAbstractScrollArea(parent)
{
    LinePaneAccessible::install();
    setFocusPolicy(Qt::WheelFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    viewport()->setCursor(Qt::IBeamCursor);
    changeEvent(nullptr);
}

LinePane::~LinePane() = default;

QString LinePane::Text() const
{
    return m_store.text();
}

void LinePane::setText(const QString &text)
{
    edit(0, m_store.size(), withParagraphBreaks(text));
    setSelection(0, 0);
}

void LinePane::setStore(LineStore store)
{
    LinePaneAccessible::aboutToRemove(this, 0, m_store.size());
    m_store = std::move(store);
    ++m_edits;
    m_geometry.clear();
    m_widestSeen = 0;
    m_anchor = m_caret = m_store.size();
    m_goalX = -1;
    LinePaneAccessible::inserted(this, 0, m_store.size());
    updateGeometryOfText();
    ensureCaretVisible();
    restartBlinking();
    viewport()->update();
    emit Change();
}

int LinePane::SelStart() const
{
    return toInt(std::min(m_anchor, m_caret));
}

void LinePane::setSelStart(int position)
{
    // The largest position always means the end, however long the text has grown.
    const qint64 p = position == std::numeric_limits<int>::max() ? m_store.size()
                                                                 : m_store.normalized(position);
    setSelection(p, p);
}

int LinePane::SelLength() const
{
    return toInt(std::abs(m_caret - m_anchor));
}

void LinePane::setSelLength(int length)
{
    const qint64 start = std::min(m_anchor, m_caret);
    setSelection(start, m_store.normalized(start + std::max(0, length)));
}

QString LinePane::SelText() const
{
    return m_store.text(std::min(m_anchor, m_caret), std::max(m_anchor, m_caret));
}

void LinePane::setSelText(const QString &text)
{
    replaceSelection(text);
}

void LinePane::replaceSelection(const QString &text)
{
    edit(std::min(m_anchor, m_caret), std::max(m_anchor, m_caret), withParagraphBreaks(text));
}

void LinePane::appendReceived(const QString &text)
{
    const qint64 end = m_store.size();
    setSelection(end, end);
    edit(end, end, text);
}

void LinePane::select(qint64 anchor, qint64 caret)
{
    setSelection(m_store.normalized(anchor), m_store.normalized(caret));
}

void LinePane::Span(const QString &characterSet, bool forward, bool negate)
{
    // Negated, the selection takes what is not in the set and stops at what is.
    const qint64 from = forward ? std::min(m_anchor, m_caret) : std::max(m_anchor, m_caret);
    setSelection(from, m_store.scan(from, characterSet, forward, negate));
}

void LinePane::UpTo(const QString &characterSet, bool forward, bool negate)
{
    const qint64 from = forward ? std::max(m_anchor, m_caret) : std::min(m_anchor, m_caret);
    const qint64 to = m_store.scan(from, characterSet, forward, !negate);
    setSelection(to, to);
}

void LinePane::setLocked(bool locked)
{
    m_locked = locked;
    restartBlinking();
    viewport()->update();
    LinePaneAccessible::stateChanged(this);
}

void LinePane::SetFocus()
{
    setFocus(Qt::OtherFocusReason);
}

void LinePane::edit(qint64 from, qint64 to, const QString &text)
{
    const QString clean = withoutStructuralCharacters(text);
    if (from == to && clean.isEmpty()) {
        setSelection(from, from);
        return;
    }
    const bool whole = from == 0 && to == m_store.size();
    LinePaneAccessible::aboutToRemove(this, from, to);
    const qint64 before = m_store.size();
    const qint64 linesBefore = m_store.lineCount();
    const LineStore::Place a = m_store.place(from);
    const LineStore::Place b = m_store.place(to);
    const QString removed
        = a.line == b.line ? m_store.lineText(a.line, a.column, b.column - a.column) : QString();
    m_store.replace(from, to, clean);
    ++m_edits;
    const qint64 end = to + m_store.size() - before;
    if (whole) {
        m_widestSeen = 0;
        m_geometry.clear();
    } else if (a.line == b.line && !clean.contains(u'\r') && !clean.contains(u'\n')) {
        m_geometry.editedInLine(a.line, a.column, removed, clean);
    } else {
        m_geometry.editedLines(a.line, b.line, m_store.lineCount() - linesBefore);
    }
    m_anchor = m_caret = end;
    m_goalX = -1;
    LinePaneAccessible::inserted(this, from, end);
    updateGeometryOfText();
    ensureCaretVisible();
    restartBlinking();
    // Everything from the edit down may have moved; what is above it has not.
    updateLines(from, m_store.size());
    emit edited(from, to, clean);
    emit Change();
}

void LinePane::repeatForTesting(qsizetype times)
{
    m_store.repeat(times);
    ++m_edits;
    m_geometry.clear();
    updateGeometryOfText();
    viewport()->update();
}

void LinePane::setSelection(qint64 anchor, qint64 caret, bool byUser)
{
    const bool moved = caret != m_caret || anchor != m_anchor;
    const qint64 oldAnchor = m_anchor;
    const qint64 oldCaret = m_caret;
    m_anchor = anchor;
    m_caret = caret;
    ensureCaretVisible();
    if (!moved)
        return;
    restartBlinking();
    // The lines the old selection or caret were drawn on, and the lines of the new ones.
    updateLines(oldAnchor, oldCaret);
    updateLines(anchor, caret);
    LinePaneAccessible::selectionChanged(this);
    if (byUser)
        offerSelection();
}

bool LinePane::LoadFile(const QString &path, int)
{
    const std::optional<QString> text = readTextFileText(path, &m_errorString);
    if (!text)
        return false;
    // A file's lines end at CR or LF only, as received lines do.
    edit(0, m_store.size(), *text);
    setSelection(0, 0);
    return true;
}

bool LinePane::SaveFile(const QString &path, int)
{
    // Chunk by chunk: millions of lines are never copied whole.
    TextFileWriter file(path);
    m_store.forEachLine(
        0, m_store.lineCount() - 1,
        [&](auto line) {
            appendUtf8(file.out(), line);
            file.writeFullBlock();
        },
        [&] { file.out().append("\r\n", 2); });
    return file.commit(&m_errorString);
}
