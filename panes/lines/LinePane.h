// The received pane: the text pane's operations over a line store, drawn by a view that paints
// only the lines in sight, so a pane holding millions of lines costs a few dozen bytes a line.
#pragma once

#include "panes/lines/LineGeometry.h"
#include "panes/lines/LineScroll.h"
#include "panes/lines/LineStore.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QPoint>
#include <QString>

#include <optional>

class QPainter;
class QPrinter;

class LinePane : public QAbstractScrollArea
{
    Q_OBJECT
    Q_PROPERTY(QString Text READ Text WRITE setText)
    Q_PROPERTY(int SelStart READ SelStart WRITE setSelStart)
    Q_PROPERTY(int SelLength READ SelLength WRITE setSelLength)
    Q_PROPERTY(QString SelText READ SelText WRITE setSelText)
    Q_PROPERTY(bool Locked READ Locked WRITE setLocked)
    Q_PROPERTY(int lineCount READ lineCount)

public:
    explicit LinePane(QWidget *parent = nullptr);
    ~LinePane() override;

    // The operations of the text pane, as RichTextBox offers them (see there). Like the send
    // pane, setText, setSelText, typing and paste take U+2029 as a line break.
    QString Text() const;
    void setText(const QString &text);
    // Puts a whole store in place of the text without building it as one string, the caret at
    // its end. Raises Change but not edited: whoever mirrors the text takes lines() afresh.
    void setStore(LineStore store);
    int SelStart() const;
    void setSelStart(int position);
    int SelLength() const;
    void setSelLength(int length);
    QString SelText() const;
    void setSelText(const QString &text);
    void Span(const QString &characterSet, bool forward = true, bool negate = false);
    void UpTo(const QString &characterSet, bool forward = true, bool negate = false);
    bool Locked() const { return m_locked; }
    void setLocked(bool locked);
    void SetFocus();
    bool LoadFile(const QString &path, int fileType = 1);
    bool SaveFile(const QString &path, int fileType = 1);
    bool SelPrint(QPrinter *printer);
    QString errorString() const { return m_errorString; }

    int lineCount() const { return int(std::min<qint64>(m_store.lineCount(), INT_MAX)); }
    bool isEmpty() const { return m_store.isEmpty(); }
    // Length of the whole text as positions count it, without building the text; unlike the
    // int properties, it never saturates.
    qint64 textLength() const { return m_store.size(); }
    const LineStore &lines() const { return m_store; }
    // For tests of a pane past 2^31 positions: see LineStore::repeat.
    void repeatForTesting(qsizetype times);

    // Caret and anchor as positions of the store (CR LF counted as two).
    qint64 caret() const { return m_caret; }
    qint64 anchor() const { return m_anchor; }
    void select(qint64 anchor, qint64 caret);
    void replaceSelection(const QString &text);
    // Received text at the very end, the caret after it, wherever the user left the caret or a
    // selection. Only CR LF, CR and LF end its lines: a paragraph or line separator the device
    // sent stays inside its line, as a file's does.
    void appendReceived(const QString &text);

    void copy();
    void cut();
    void paste();
    void selectAll();

    // Geometry, for hit testing, the caret and a reader: the rectangle of a position in the
    // viewport, and the position nearest a point in it.
    QRect positionRect(qint64 position) const;
    qint64 positionAt(const QPoint &point) const;
    void scrollToPosition(qint64 position);

    // Find (LinePaneFind.cpp): selects a match, centred when it was out of sight; appends at
    // the end leaving the selection and the view where they are; room for the find field.
    void showMatch(qint64 from, qint64 to);
    void appendKeepingSelection(const QString &text);
    void reserveBottom(int pixels) { setViewportMargins(0, 0, 0, pixels); }

signals:
    // Raised after every change of the text, by the user or the program.
    void Change();
    // The change itself, raised before Change: the positions it replaced (CR LF counted as
    // two) and the text put there, as the store now holds it.
    void edited(qint64 from, qint64 to, const QString &text);

protected:
    void paintEvent(QPaintEvent *event) override;
    void paintArea(QPainter &painter, const QRect &area);
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    bool event(QEvent *event) override;
    bool viewportEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void timerEvent(QTimerEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;

private:
    enum class Unit { Character, Word, Line };

    // Every change of the text goes through here: store, caret, change signal, reader, view.
    void edit(qint64 from, qint64 to, const QString &text);
    void setSelection(qint64 anchor, qint64 caret, bool byUser = false);
    void updateGeometryOfText();
    void ensureCaretVisible();
    // Repaints the lines from the one holding the first position to the one holding the last.
    void updateLines(qint64 fromPosition, qint64 toPosition);
    void restartBlinking();
    void offerSelection();

    qreal columnX(qint64 line, qsizetype column) const;
    qsizetype columnAt(qint64 line, qreal x) const;
    int lineTop(qint64 line) const;
    int visibleLines() const;
    LineScroll lineScroll() const;
    qint64 topLine() const { return m_top; }
    void setTopLine(qint64 top);
    void showFrom(qint64 top, int dx);

    qint64 moved(QKeyEvent *event, bool *extend) const;
    // The position on the other side of the line break a position stands beside (at its
    // line's end going forward, at its start going back), the position itself at the text's
    // ends; nothing inside a line.
    std::optional<qint64> acrossLineBreak(qint64 position, bool forward) const;
    qint64 wordBoundary(qint64 position, bool forward) const;
    // The next or previous place the caret stops at, as the send pane's cursor steps.
    qint64 characterStep(qint64 position, bool forward) const;
    // Whether the arrows go right to left through a line, as in the send pane.
    bool rightToLeft(qint64 line) const;
    // The word a double click takes at a column: [start, end) in the line.
    std::pair<qsizetype, qsizetype> wordAt(qint64 line, qsizetype column) const;
    void dragTo(const QPoint &point);

    LineStore m_store;
    quint64 m_edits = 0; // edits so far: what was found of the text before may have changed
    mutable LineGeometry m_geometry; // a cache of the view's: where the columns are drawn
    struct Direction
    {
        qint64 line = -1;
        quint64 edits = 0;
        bool rightToLeft = false;
    };
    mutable Direction m_direction; // of the line the caret moved in last
    qint64 m_anchor = 0;
    qint64 m_caret = 0;
    qreal m_goalX = -1; // where up and down keep the caret, while they are pressed
    bool m_locked = false;
    QString m_errorString;

    qint64 m_top = 0; // the line drawn at the top
    std::optional<qint64> m_barTop; // the line a move of the bar by the program stands for
    int m_lineHeight = 1;
    int m_ascent = 0;
    qreal m_advance = 1;
    qreal m_widestSeen = 0;
    bool m_caretShown = true;
    QBasicTimer m_blink;
    QBasicTimer m_autoScroll;
    QBasicTimer m_tripleClick;
    QPoint m_tripleClickPoint;
    QPoint m_lastDragPoint;
    bool m_dragging = false;
    Unit m_unit = Unit::Character;
    qint64 m_unitStart = 0; // the word or line a double or triple click took
    qint64 m_unitEnd = 0;
};
