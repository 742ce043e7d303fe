// Find's search: from where the pane's selection is, in slices of a few milliseconds, the rest
// of the pane first and then, wrapped, the part before where it began; and lines arriving at
// the received pane meanwhile.
#include "panes/PaneFind.h"

#include "panes/lines/LinePane.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QScopedValueRollback>

#include <algorithm>

namespace {

// A slice of searching between two turns of the event loop, and the characters looked through
// between two looks at the clock.
constexpr qint64 sliceMilliseconds = 8;
constexpr qint64 stepCharacters = 256 * 1024;

using Place = LineStore::Place;

bool before(Place a, Place b)
{
    return a.line < b.line || (a.line == b.line && a.column < b.column);
}

std::pair<Place, Place> selectionOf(const FindTarget &target)
{
    return {target.selectionStart(), target.selectionEnd()};
}

bool same(const std::pair<Place, Place> &a, const std::pair<Place, Place> &b)
{
    return a.first.line == b.first.line && a.first.column == b.first.column
        && a.second.line == b.second.line && a.second.column == b.second.column;
}

} // namespace

bool PaneFind::holdsSelection(const PaneState &pane) const
{
    return pane.match && pane.target->isSelected(pane.match->first, pane.match->second);
}

void PaneFind::appendReceived(const QString &text)
{
    PaneState &pane = m_panes[1];
    const bool keep = holdsSelection(pane);
    {
        const QScopedValueRollback arriving(m_arriving, true);
        if (keep)
            m_received->appendKeepingSelection(text);
        else
            m_received->appendReceived(text);
    }
    // The caret went with the lines: a search under way goes on from where they left it.
    if (m_search && m_search->pane == &pane)
        m_search->selection = selectionOf(*pane.target);
}

void PaneFind::start(PaneState &pane, Kind kind)
{
    FindTarget &target = *pane.target;
    const bool inField = m_open == &pane;
    const QString text = inField ? m_field->text() : pane.lastText;
    if (text.isEmpty()) {
        // Nothing to repeat: F3 then asks what to find.
        if (!inField)
            open(pane);
        return;
    }
    if (target.locked()) {
        QApplication::beep();
        return;
    }
    const bool forward = kind != Kind::Previous;
    // Pressed again while the search for this text runs: each press goes on from the match the
    // one before it finds, as when every match is found at once.
    if (kind != Kind::Typed && m_search && m_search->pane == &pane && m_search->text == text) {
        m_search->then.append(forward);
        return;
    }
    stop();
    pane.lastText = text;
    m_search = Search {.pane = &pane, .text = text, .selection = selectionOf(target)};
    begin(forward, kind == Kind::Next ? target.selectionEnd() : target.selectionStart());
    runSlice();
}

// The search one way from a place: the rest of the pane, then, wrapped, the part before.
void PaneFind::begin(bool forward, Place origin)
{
    Search &search = *m_search;
    search.forward = forward;
    search.wrapped = false;
    search.origin = origin;
    search.from = forward ? origin : Place {};
    search.to = forward ? search.pane->target->end() : origin;
}

void PaneFind::runSlice()
{
    if (!m_search)
        return;
    // The user moved the caret meanwhile (a click, a key, a selection): a match found now would
    // pull it away from there.
    if (!same(selectionOf(*m_search->pane->target), m_search->selection)) {
        stop();
        return;
    }
    QElapsedTimer clock;
    clock.start();
    do {
        Search &search = *m_search;
        FindTarget &target = *search.pane->target;
        // Lines that arrived meanwhile are searched too, when the search reaches them.
        if (search.forward && !search.wrapped)
            search.to = target.end();
        const LineStore::Found step
            = target.find(search.text, search.from, search.to, search.forward, stepCharacters);
        if (step.match && search.then.isEmpty()) {
            found(step.at);
            return;
        }
        if (step.match) {
            // On from this match for a press made meanwhile, as from the selection it makes.
            const bool forward = search.then.takeFirst();
            begin(forward,
                  forward
                      ? Place {.line = step.at.line, .column = step.at.column + search.text.size()}
                      : step.at);
            continue;
        }
        (search.forward ? search.from : search.to) = step.at;
        if (before(search.from, search.to))
            continue;
        if (search.wrapped) {
            notFound();
            return;
        }
        // At the end (or the start) of the pane, on from the other end up to where it began.
        search.wrapped = true;
        search.from = search.forward ? Place {} : search.origin;
        search.to = search.forward ? search.origin : target.end();
    } while (clock.elapsed() < sliceMilliseconds);
    if (m_open == m_search->pane)
        setHint(tr("searching\u2026 %1%").arg(progress()));
    m_slice.start();
}

int PaneFind::progress() const
{
    const Search &search = *m_search;
    const qint64 lines = std::max<qint64>(1, search.pane->target->lineCount());
    const qint64 at = search.forward ? search.from.line : search.to.line;
    const qint64 first = search.forward ? lines - search.origin.line : search.origin.line;
    const qint64 done = !search.wrapped ? std::abs(at - search.origin.line)
        : search.forward                ? first + at
                                        : first + lines - at;
    return int(std::clamp<qint64>(done * 100 / lines, 0, 99));
}

void PaneFind::found(Place at)
{
    const Search search = *std::exchange(m_search, std::nullopt);
    PaneState &pane = *search.pane;
    if (pane.target->locked())
        return;
    const Place end {.line = at.line, .column = at.column + search.text.size()};
    pane.target->showMatch(at, end);
    pane.match = {at, end};
    if (m_open == &pane)
        setHint(!search.wrapped      ? QString()
                    : search.forward ? tr("from the top")
                                     : tr("from the bottom"));
}

void PaneFind::notFound()
{
    const PaneState *pane = std::exchange(m_search, std::nullopt)->pane;
    if (m_open == pane)
        setHint(tr("not found"), true);
    else
        QApplication::beep();
}

void PaneFind::stop()
{
    // A search dropped leaves its field saying nothing of it.
    if (m_search && m_open == m_search->pane)
        setHint(QString());
    m_search.reset();
    m_slice.stop();
}
