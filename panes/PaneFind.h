// Find in either pane: Ctrl+F opens a field over the pane's bottom edge; typing, Enter, F3 and
// Shift+F3 search, also with the field closed. A search runs in slices on the event loop, so
// the window keeps answering however many lines the pane holds.
#pragma once

#include "panes/FindTarget.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <memory>
#include <optional>
#include <utility>

class LinePane;
class QLabel;
class QLineEdit;
class RichTextBox;

class PaneFind : public QObject
{
    Q_OBJECT

public:
    // The field is made in `client`, the panes' parent, and laid over the pane it searches.
    PaneFind(RichTextBox *send, LinePane *received, QWidget *client, QObject *parent);
    ~PaneFind() override;

    // Lines arriving at the received pane's end (received, a header, a footer), as against an
    // edit of the user's: a search goes on over them, and a match it selected stays selected
    // and in sight; otherwise the caret goes to the end with them.
    void appendReceived(const QString &text);
    // Closes the field over a pane and stops a search in it; the selection stays as it is.
    void close(const QWidget *pane);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    using Place = FindTarget::Place;
    enum class Kind { Typed, Next, Previous };

    struct PaneState
    {
        std::unique_ptr<FindTarget> target;
        QString lastText;
        std::optional<std::pair<Place, Place>> match; // the last match selected there
    };
    struct Search
    {
        PaneState *pane = nullptr;
        QString text;
        bool forward = true;
        bool wrapped = false;
        Place origin {};
        Place from {}; // what is left of the part being searched: [from, to)
        Place to {};
        std::pair<Place, Place> selection {}; // the pane's, which a match found may take over
        QList<bool> then {}; // presses made meanwhile, forward or not, each from the match before
    };

    QString keptOneLine(const QString &edited);
    void paste();
    bool holdsSelection(const PaneState &pane) const;
    void open(PaneState &pane);
    void closeField(bool focusPane);
    void start(PaneState &pane, Kind kind);
    void begin(bool forward, Place origin);
    void runSlice();
    void found(Place at);
    void notFound();
    void stop();
    void setHint(const QString &hint, bool notFound = false);
    void placeField();
    PaneState *stateOf(const QObject *pane);
    int progress() const;

    std::array<PaneState, 2> m_panes; // send, received
    LinePane *m_received = nullptr;
    bool m_arriving = false;
    PaneState *m_open = nullptr; // the pane the field is open over
    QLineEdit *m_field = nullptr;
    QLabel *m_hint = nullptr;
    QString m_shown; // the field's text as last seen
    bool m_mending = false; // the field's text being put right: not an edit of the user's
    QWidget *m_client = nullptr;
    std::optional<Search> m_search;
    QTimer m_slice;
};
