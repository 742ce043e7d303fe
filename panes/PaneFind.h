// Find in either pane: Ctrl+F opens a field over the pane's bottom edge; typing, Enter, F3 and
// Shift+F3 search, also with the field closed. A search runs in slices on the event loop, so
// the window keeps answering however many lines the pane holds.
#pragma once

#include "panes/FindTarget.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <memory>
#include <optional>

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

    // Whether a pane's selection is still the match a search selected there.
    bool holdsSelection(const QWidget *pane) const;
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
        Place origin;
        Place from; // what is left of the part being searched: [from, to)
        Place to;
    };

    void open(PaneState &pane);
    void closeField(bool focusPane);
    void start(PaneState &pane, Kind kind);
    void runSlice();
    void found(Place at);
    void notFound();
    void stop();
    void setHint(const QString &hint, bool notFound = false);
    void placeField();
    PaneState *stateOf(const QObject *pane);
    int progress() const;

    std::array<PaneState, 2> m_panes; // send, received
    PaneState *m_open = nullptr; // the pane the field is open over
    QLineEdit *m_field = nullptr;
    QLabel *m_hint = nullptr;
    QWidget *m_client = nullptr;
    std::optional<Search> m_search;
    QTimer m_slice;
};
