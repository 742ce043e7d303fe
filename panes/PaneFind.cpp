// Find in either pane: the field and its hint, the keys, opening and closing (the search itself
// is in PaneFindSearch.cpp).
#include "panes/PaneFind.h"

#include "panes/RichTextBox.h"
#include "panes/lines/LinePane.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QShortcut>

#include <algorithm>
#include <limits>
#include <utility>

namespace {

constexpr qsizetype selectionTaken = 65536;

// A text put into the field as it takes it: without line breaks at its ends, and up to the first
// one left in it. A match never spans a line break; a line copied with its break is still found.
QString oneLine(const QString &text)
{
    const auto isBreak
        = [](QChar c) { return c == u'\r' || c == u'\n' || c == QChar::ParagraphSeparator; };
    const auto first = std::find_if_not(text.begin(), text.end(), isBreak);
    return QStringView(first, std::find_if(first, text.end(), isBreak)).toString();
}

QColor tinted(const QColor &base)
{
    const QColor red(Qt::red);
    const auto mix = [](int a, int b) { return (3 * a + b) / 4; };
    return QColor(mix(base.red(), red.red()), mix(base.green(), red.green()),
                  mix(base.blue(), red.blue()));
}

} // namespace

PaneFind::PaneFind(RichTextBox *send, LinePane *received, QWidget *client, QObject *parent)
    : QObject(parent), m_received(received), m_client(client)
{
    m_panes[0].target = findTarget(send);
    m_panes[1].target = findTarget(received);

    m_field = new QLineEdit(client);
    m_field->setObjectName(QStringLiteral("FindText"));
    m_field->setAccessibleName(tr("Find"));
    // Any line a pane holds, however long (the default stops at 32,767 characters).
    m_field->setMaxLength(std::numeric_limits<int>::max());
    m_field->setFont(send->font());
    m_field->hide();
    m_field->installEventFilter(this);
    m_hint = new QLabel(m_field);
    m_hint->setObjectName(QStringLiteral("FindHint"));
    m_hint->setForegroundRole(QPalette::PlaceholderText);
    m_hint->setAttribute(Qt::WA_TransparentForMouseEvents);
    connect(m_field, &QLineEdit::textEdited, this, [this](const QString &edited) {
        if (!m_open || m_mending)
            return;
        const QString text = keptOneLine(edited);
        m_open->lastText = text;
        if (text.isEmpty()) {
            stop();
            setHint(QString());
        } else {
            start(*m_open, Kind::Typed);
        }
    });

    m_slice.setSingleShot(true);
    m_slice.setInterval(0);
    connect(&m_slice, &QTimer::timeout, this, &PaneFind::runSlice);

    for (PaneState &pane : m_panes) {
        QWidget *widget = pane.target->pane();
        widget->installEventFilter(this);
        static_cast<QAbstractScrollArea *>(widget)->viewport()->installEventFilter(this);
        const auto shortcut = [&](QKeySequence keys, auto action) {
            auto *made = new QShortcut(keys, widget);
            made->setContext(Qt::WidgetWithChildrenShortcut);
            connect(made, &QShortcut::activated, this, action);
        };
        PaneState *state = &pane;
        shortcut(QKeySequence(Qt::CTRL | Qt::Key_F), [this, state] { open(*state); });
        shortcut(QKeySequence(Qt::Key_F3), [this, state] { start(*state, Kind::Next); });
        shortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3),
                 [this, state] { start(*state, Kind::Previous); });
        // A change other than lines arriving moves what the places stand for; a search landing
        // later would pull the caret away from someone typing there.
        pane.target->onChange([this, state] {
            if (m_arriving)
                return;
            state->match.reset();
            if (m_search && m_search->pane == state)
                stop();
        });
    }
}

PaneFind::~PaneFind() = default;

// The field holds one line: of a text put in (pasted, dropped) the part up to its first inner
// break is kept, its breaks at the ends dropped, and what the field held around it stays. Undone
// and done again as one edit where the field's undo allows, so Ctrl+Z still takes it back.
QString PaneFind::keptOneLine(const QString &edited)
{
    const QString before = std::exchange(m_shown, edited);
    // What was put in ends at the caret; the text after it is what the field held there.
    qsizetype end = m_field->cursorPosition();
    qsizetype tail = edited.size() - end;
    if (tail > before.size() || QStringView(edited).sliced(end) != QStringView(before).last(tail)) {
        end = edited.size();
        tail = 0;
    }
    qsizetype head = 0;
    while (head < std::min(end, before.size() - tail) && before[head] == edited[head])
        ++head;
    const QString put = edited.sliced(head, end - head);
    const QString kept = oneLine(put);
    if (kept == put)
        return edited;
    m_mending = true;
    m_field->undo();
    if (m_field->text() == before) {
        m_field->setSelection(int(head), int(before.size() - head - tail));
        m_field->insert(kept);
    } else {
        m_field->redo();
        m_field->setText(before.left(head) + kept + before.right(tail));
        m_field->setCursorPosition(int(head + kept.size()));
    }
    m_mending = false;
    m_shown = m_field->text();
    return m_shown;
}

void PaneFind::paste()
{
    m_field->insert(oneLine(QApplication::clipboard()->text()));
}

PaneFind::PaneState *PaneFind::stateOf(const QObject *pane)
{
    for (PaneState &state : m_panes) {
        if (state.target->pane() == pane)
            return &state;
    }
    return nullptr;
}

void PaneFind::open(PaneState &pane)
{
    // A pane being sent keeps its selection on the line going out.
    if (pane.target->locked()) {
        QApplication::beep();
        return;
    }
    if (m_open && m_open != &pane)
        closeField(false);
    // A selection up to the longest line a device sends; a longer one (a line pasted from a
    // file) would hold the window up as the field takes it, shows it and searches for it.
    const QString selected = pane.target->selectedLine(selectionTaken);
    if (!selected.isNull())
        pane.lastText = selected;
    // The field shows what the search is for, never an older text still being looked for.
    if (m_search && m_search->pane == &pane && m_search->text != pane.lastText)
        stop();
    m_open = &pane;
    m_field->setText(pane.lastText);
    m_shown = pane.lastText;
    m_field->selectAll();
    setHint(QString());
    pane.target->reserveBottom(m_field->sizeHint().height());
    placeField();
    m_field->show();
    m_field->raise();
    m_field->setFocus(Qt::ShortcutFocusReason);
}

void PaneFind::close(const QWidget *pane)
{
    if (m_search && m_search->pane->target->pane() == pane)
        stop();
    if (m_open && m_open->target->pane() == pane)
        closeField(m_field->hasFocus());
}

void PaneFind::closeField(bool focusPane)
{
    if (!m_open)
        return;
    PaneState *pane = m_open;
    // Escape, the focus back in the pane, lets a search under way end and select its match, as
    // one that ended before the press left it selected.
    if (!focusPane && m_search && m_search->pane == pane)
        stop();
    m_open = nullptr;
    m_field->hide();
    m_hint->clear();
    pane->target->reserveBottom(0);
    if (focusPane)
        pane->target->pane()->setFocus(Qt::OtherFocusReason);
}

void PaneFind::setHint(const QString &hint, bool notFound)
{
    m_hint->setText(hint);
    m_hint->adjustSize();
    m_field->setAccessibleDescription(hint);
    const int room
        = hint.isEmpty() ? 0 : m_hint->width() + m_field->fontMetrics().averageCharWidth();
    m_field->setTextMargins(0, 0, room, 0);
    placeField();
    QPalette palette = m_field->palette();
    const QColor base = QApplication::palette(m_field).color(QPalette::Base);
    palette.setColor(QPalette::Base, notFound ? tinted(base) : base);
    m_field->setPalette(palette);
}

void PaneFind::placeField()
{
    if (!m_open)
        return;
    // Over the pane's bottom edge, in the room the pane keeps there while the field is open.
    const QWidget *viewport
        = static_cast<const QAbstractScrollArea *>(m_open->target->pane())->viewport();
    const QPoint corner = viewport->mapTo(m_client, QPoint(0, viewport->height()));
    m_field->setGeometry(corner.x(), corner.y(), viewport->width(), m_field->sizeHint().height());
    const QRect inside = m_field->contentsRect();
    m_hint->move(inside.right() - m_hint->width() - m_field->fontMetrics().averageCharWidth() / 2,
                 inside.top() + (inside.height() - m_hint->height()) / 2);
}

bool PaneFind::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (watched == m_field && type == QEvent::KeyPress && m_open) {
        const auto *key = static_cast<QKeyEvent *>(event);
        const bool shift = key->modifiers() & Qt::ShiftModifier;
        switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_F3:
            start(*m_open, shift ? Kind::Previous : Kind::Next);
            return true;
        case Qt::Key_Escape:
            closeField(true);
            return true;
        default:
            if (key->matches(QKeySequence::Find)) {
                m_field->selectAll();
                return true;
            }
            if (key->matches(QKeySequence::Paste)) {
                paste();
                return true;
            }
        }
    } else if (type == QEvent::Resize || type == QEvent::Move) {
        if (watched == m_field
            || (m_open && (stateOf(watched) == m_open || stateOf(watched->parent()) == m_open)))
            placeField();
    }
    return QObject::eventFilter(watched, event);
}
