// The text pane component over QPlainTextEdit. The document keeps one paragraph break per
// line; every position handed out or taken counts that break as CR LF.
#include "panes/RichTextBox.h"

#include "panes/PaneShared.h"
#include "panes/TextFile.h"

#include <QContextMenuEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QPrinter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <limits>

namespace {

constexpr QChar paragraphBreak = QChar::ParagraphSeparator;

QString toPaneText(QString text)
{
    return text.replace(paragraphBreak, QStringLiteral("\r\n"));
}

// A scan stops at a character in the set, or at one outside it.
bool stops(QChar c, const QString &set, bool stopInSet)
{
    return set.contains(c) == stopInSet;
}

} // namespace

RichTextBox::RichTextBox(QWidget *parent) : QPlainTextEdit(parent)
{
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setTabChangesFocus(true);
    connect(document(), &QTextDocument::contentsChange, this, [this](int, int removed, int added) {
        if (removed != 0 || added != 0)
            emit Change();
    });
}

int RichTextBox::toPanePosition(int documentPosition) const
{
    const QTextBlock block = document()->findBlock(documentPosition);
    return documentPosition + std::max(0, block.blockNumber());
}

int RichTextBox::toDocumentPosition(qint64 panePosition) const
{
    const QTextDocument *doc = document();
    if (panePosition <= 0)
        return 0;
    const int end = doc->characterCount() - 1;
    if (panePosition >= qint64(end) + doc->blockCount() - 1)
        return end;
    // The block holding the pane position: block b starts at document position p(b), that is
    // pane position p(b) + b. Walking a pane line by line lands in the caret's line or the
    // next, so those two are tried before a search over all lines.
    const auto start = [](const QTextBlock &b) { return b.position() + qint64(b.blockNumber()); };
    const auto inside = [&](const QTextBlock &b) {
        const QTextBlock next = b.next();
        return b.isValid() && start(b) <= panePosition
            && (!next.isValid() || panePosition < start(next));
    };
    QTextBlock block = textCursor().block();
    if (!inside(block))
        block = block.next();
    if (!inside(block)) {
        int low = 0;
        int high = doc->blockCount() - 1;
        while (low < high) {
            const int mid = low + (high - low + 1) / 2;
            if (doc->findBlockByNumber(mid).position() + qint64(mid) <= panePosition)
                low = mid;
            else
                high = mid - 1;
        }
        block = doc->findBlockByNumber(low);
    }
    const qint64 offset = panePosition - start(block);
    // Past the block's text means on its CR LF or past the end: stop at the end of the line.
    return block.position() + int(std::min<qint64>(offset, block.length() - 1));
}

QString RichTextBox::Text() const
{
    return toPaneText(document()->toRawText());
}

void RichTextBox::setText(const QString &text)
{
    // One edit, so the change is reported once.
    QTextCursor cursor(document());
    cursor.beginEditBlock();
    cursor.select(QTextCursor::Document);
    cursor.insertText(withoutStructuralCharacters(text));
    cursor.endEditBlock();
    cursor.movePosition(QTextCursor::Start);
    setTextCursor(cursor);
}

int RichTextBox::SelStart() const
{
    return toPanePosition(textCursor().selectionStart());
}

void RichTextBox::setSelStart(int position)
{
    QTextCursor cursor = textCursor();
    cursor.setPosition(toDocumentPosition(position));
    setTextCursor(cursor);
}

int RichTextBox::SelLength() const
{
    const QTextCursor cursor = textCursor();
    return toPanePosition(cursor.selectionEnd()) - toPanePosition(cursor.selectionStart());
}

void RichTextBox::setSelLength(int length)
{
    QTextCursor cursor = textCursor();
    const int start = cursor.selectionStart();
    const qint64 end = qint64(toPanePosition(start)) + std::max(0, length);
    cursor.setPosition(start);
    cursor.setPosition(toDocumentPosition(end), QTextCursor::KeepAnchor);
    setTextCursor(cursor);
}

QString RichTextBox::SelText() const
{
    return toPaneText(textCursor().selectedText());
}

void RichTextBox::setSelText(const QString &text)
{
    QTextCursor cursor = textCursor();
    cursor.insertText(withoutStructuralCharacters(text));
    setTextCursor(cursor);
}

void RichTextBox::Span(const QString &characterSet, bool forward, bool negate)
{
    QTextCursor cursor = textCursor();
    const int from = forward ? cursor.selectionStart() : cursor.selectionEnd();
    // Negated, the selection takes what is not in the set and stops at what is.
    const int to = scan(from, characterSet, forward, negate);
    cursor.setPosition(from);
    cursor.setPosition(to, QTextCursor::KeepAnchor);
    setTextCursor(cursor);
}

void RichTextBox::UpTo(const QString &characterSet, bool forward, bool negate)
{
    QTextCursor cursor = textCursor();
    const int from = forward ? cursor.selectionEnd() : cursor.selectionStart();
    cursor.setPosition(scan(from, characterSet, forward, !negate));
    setTextCursor(cursor);
}

int RichTextBox::scan(int from, const QString &set, bool forward, bool stopInSet) const
{
    // Runs from a document position over characters that do not stop, line by line; a
    // paragraph break stands for CR and LF.
    const bool breakStops = stops(u'\r', set, stopInSet) || stops(u'\n', set, stopInSet);
    QTextBlock block = document()->findBlock(from);
    int position = from;
    while (block.isValid()) {
        const QString text = block.text();
        const int start = block.position();
        if (forward) {
            for (int i = position - start; i < text.size(); ++i) {
                if (stops(text.at(i), set, stopInSet))
                    return start + i;
            }
            const QTextBlock next = block.next();
            if (!next.isValid() || breakStops)
                return start + int(text.size());
            block = next;
            position = next.position();
        } else {
            for (int i = position - start - 1; i >= 0; --i) {
                if (stops(text.at(i), set, stopInSet))
                    return start + i + 1;
            }
            const QTextBlock previous = block.previous();
            if (!previous.isValid() || breakStops)
                return start;
            block = previous;
            position = previous.position() + previous.length() - 1;
        }
    }
    return from;
}

void RichTextBox::keyPressEvent(QKeyEvent *event)
{
    // Copying stays possible; nothing that moves the caret or the selection does.
    if (Locked() && !event->matches(QKeySequence::Copy)) {
        event->accept();
        return;
    }
    // What is typed, committed or pasted holds no character the program's text may not.
    const QString clean = withoutStructuralCharacters(event->text());
    if (isTypedText(event) && clean != event->text()) {
        QKeyEvent cleaned(event->type(), event->key(), event->modifiers(), clean,
                          event->isAutoRepeat(), event->count());
        QPlainTextEdit::keyPressEvent(&cleaned);
        event->setAccepted(cleaned.isAccepted());
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void RichTextBox::inputMethodEvent(QInputMethodEvent *event)
{
    const QString clean = withoutStructuralCharacters(event->commitString());
    if (clean == event->commitString()) {
        QPlainTextEdit::inputMethodEvent(event);
        return;
    }
    QInputMethodEvent cleaned(event->preeditString(), event->attributes());
    cleaned.setCommitString(clean, event->replacementStart(), event->replacementLength());
    QPlainTextEdit::inputMethodEvent(&cleaned);
    event->setAccepted(cleaned.isAccepted());
}

void RichTextBox::insertFromMimeData(const QMimeData *source)
{
    const QString text = source->hasText() ? source->text() : QString();
    const QString clean = withoutStructuralCharacters(text);
    if (clean == text) {
        QPlainTextEdit::insertFromMimeData(source);
        return;
    }
    QMimeData cleaned;
    cleaned.setText(clean);
    QPlainTextEdit::insertFromMimeData(&cleaned);
}

bool RichTextBox::viewportEvent(QEvent *event)
{
    if (Locked() && swallowMouseWhileLocked(this, event))
        return true;
    return QPlainTextEdit::viewportEvent(event);
}

// Also reached from the keyboard, which the viewport never sees.
void RichTextBox::contextMenuEvent(QContextMenuEvent *event)
{
    if (Locked())
        event->accept();
    else
        QPlainTextEdit::contextMenuEvent(event);
}

void RichTextBox::setLocked(bool locked)
{
    if (locked == isReadOnly())
        return;
    setReadOnly(locked);
    emit lockedChanged(locked);
}

int RichTextBox::textLength() const
{
    const QTextDocument *doc = document();
    return doc->characterCount() - 1 + doc->blockCount() - 1;
}

void RichTextBox::SetFocus()
{
    setFocus(Qt::OtherFocusReason);
}

bool RichTextBox::LoadFile(const QString &path, int)
{
    const std::optional<QString> text = readTextFileText(path, &m_errorString);
    if (!text)
        return false;
    setPlainText(withoutStructuralCharacters(*text));
    return true;
}

bool RichTextBox::SaveFile(const QString &path, int)
{
    // Line by line, so a large pane is not copied whole once more.
    TextFileWriter file(path);
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        file.out() += block.text().toUtf8();
        if (block.next().isValid())
            file.out() += "\r\n";
        file.writeFullBlock();
    }
    return file.commit(&m_errorString);
}

bool RichTextBox::SelPrint(QPrinter *printer)
{
    QTextDocument copy;
    copy.setDefaultFont(font());
    const QTextCursor cursor = textCursor();
    copy.setPlainText(cursor.hasSelection() ? cursor.selectedText() : document()->toRawText());
    copy.print(printer);
    if (printer->printerState() == QPrinter::Error) {
        m_errorString = tr("The printer reported an error.");
        return false;
    }
    m_errorString.clear();
    return true;
}
