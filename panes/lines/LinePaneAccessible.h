// What a screen reader sees of the received pane: an editable text whose offsets count a line
// break as one character, as for a plain-text editor, read without building the whole text.
#pragma once

#include <QAccessibleWidget>

class LinePane;

class LinePaneAccessible : public QAccessibleWidget,
                           public QAccessibleTextInterface,
                           public QAccessibleEditableTextInterface
{
public:
    explicit LinePaneAccessible(LinePane *pane);

    // Lets Qt create this interface for every LinePane.
    static void install();
    // The pane tells a listening reader what changed; these cost nothing when none listens.
    static void aboutToRemove(LinePane *pane, qint64 from, qint64 to);
    static void inserted(LinePane *pane, qint64 from, qint64 to);
    static void selectionChanged(LinePane *pane);
    static void stateChanged(LinePane *pane);

    void *interface_cast(QAccessible::InterfaceType type) override;
    QAccessible::State state() const override;
    QString text(QAccessible::Text type) const override;

    void selection(int selectionIndex, int *startOffset, int *endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(int startOffset, int endOffset) const override;
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                             int *startOffset, int *endOffset) const override;
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                            int *startOffset, int *endOffset) const override;
    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int *startOffset,
                         int *endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint &point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    QString attributes(int offset, int *startOffset, int *endOffset) const override;

    void deleteText(int startOffset, int endOffset) override;
    void insertText(int offset, const QString &text) override;
    void replaceText(int startOffset, int endOffset, const QString &text) override;

private:
    LinePane *pane() const;
    qint64 toPosition(int offset) const;
    int toOffset(qint64 position) const;
    // The stretch [start, end) of the unit (character, word, line ...) at an offset.
    std::pair<int, int> unitAt(int offset, QAccessible::TextBoundaryType type) const;
};
