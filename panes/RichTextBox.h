// The text pane component: a plain-text editor whose positions count each line break as the
// two characters CR LF, as the window's handlers expect.
#pragma once

#include <QPlainTextEdit>
#include <QString>
#include <QTextDocument>

class QPrinter;

class RichTextBox : public QPlainTextEdit
{
    Q_OBJECT
    // The same properties as the received pane's, so tools and tests drive either alike.
    Q_PROPERTY(QString Text READ Text WRITE setText)
    Q_PROPERTY(int SelStart READ SelStart WRITE setSelStart)
    Q_PROPERTY(int SelLength READ SelLength WRITE setSelLength)
    Q_PROPERTY(QString SelText READ SelText WRITE setSelText)
    Q_PROPERTY(bool Locked READ Locked WRITE setLocked)
    Q_PROPERTY(int lineCount READ lineCount)

public:
    explicit RichTextBox(QWidget *parent = nullptr);

    // The whole text, lines joined by CR LF. Setting "" empties the pane.
    QString Text() const;
    void setText(const QString &text);

    // Caret position; past the end moves to the end.
    int SelStart() const;
    void setSelStart(int position);

    // Length of the selection; 0 = nothing selected.
    int SelLength() const;
    void setSelLength(int length);

    // The selected text (line breaks as CR LF); setting it replaces the selection, or inserts
    // at the caret when nothing is selected. CR LF, CR and LF in the new text all break lines.
    QString SelText() const;
    void setSelText(const QString &text);

    // Selects from the caret forward up to (not including) the first character of the set, or
    // to the end of the text, when negate is true; the set may hold only LF (line break).
    // With negate false the selection covers the run of characters in the set.
    void Span(const QString &characterSet, bool forward = true, bool negate = false);

    // Moves the caret forward to just before the first character of the set (negate false)
    // or the first character not in it (negate true), or to the end of the text.
    void UpTo(const QString &characterSet, bool forward = true, bool negate = false);

    // Locked: the user can neither edit the pane nor move its caret or selection (the lines
    // being sent are walked with the selection); the program still can.
    bool Locked() const { return isReadOnly(); }
    void setLocked(bool locked);

    // Length of the whole text as positions count it, without building the text.
    int textLength() const;

    void SetFocus();

    // Replaces the whole content with the file's text (UTF-8; CR LF, LF or CR line ends).
    // Returns false with errorString() set when the file cannot be read.
    bool LoadFile(const QString &path, int fileType = 1);
    // Writes the whole text with CR LF line ends, replacing the file atomically. Returns false
    // with errorString() set when it cannot; the old file is then left as it was.
    bool SaveFile(const QString &path, int fileType = 1);

    // Prints the selection, or the whole text when nothing is selected. Returns false with
    // errorString() set when the printer fails.
    bool SelPrint(QPrinter *printer);

    QString errorString() const { return m_errorString; }

    // Line breaks + 1.
    int lineCount() const { return document()->blockCount(); }

    // Room at the bottom for the find field, out of the text's way.
    void reserveBottom(int pixels) { setViewportMargins(0, 0, 0, pixels); }

signals:
    // Raised after every change of the text, by the user or the program.
    void Change();
    void lockedChanged(bool locked);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    void insertFromMimeData(const QMimeData *source) override;
    bool viewportEvent(QEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    int toPanePosition(int documentPosition) const;
    int toDocumentPosition(qint64 panePosition) const;
    int scan(int from, const QString &set, bool forward, bool stopInSet) const;

    QString m_errorString;
};
