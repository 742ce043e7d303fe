// What find needs of a pane, in places (line, column) of its text, alike for both panes.
#pragma once

#include "panes/lines/LineStore.h"

#include <QString>
#include <QStringView>

#include <functional>
#include <memory>

class LinePane;
class QWidget;
class RichTextBox;

class FindTarget
{
public:
    using Place = LineStore::Place;

    virtual ~FindTarget() = default;

    virtual QWidget *pane() const = 0;
    virtual bool locked() const = 0;
    virtual Place selectionStart() const = 0;
    virtual Place selectionEnd() const = 0;
    virtual Place end() const = 0;
    virtual qint64 lineCount() const = 0;
    // The selected text when there is some, it lies within one line and it is at most `most`
    // characters long; null otherwise.
    virtual QString selectedLine(qsizetype most) const = 0;
    // LineStore::find over the pane's text.
    virtual LineStore::Found find(QStringView text, Place from, Place to, bool forward,
                                  qint64 budget) const = 0;
    // Selects [from, to) and brings it into sight, centred when it was out of sight.
    virtual void showMatch(Place from, Place to) = 0;
    virtual bool isSelected(Place from, Place to) const = 0;
    // Room at the bottom of the pane's view for the find field.
    virtual void reserveBottom(int pixels) = 0;
    // Called after every change of the text.
    void onChange(std::function<void()> handler) { m_changed = std::move(handler); }

protected:
    void changed() const
    {
        if (m_changed)
            m_changed();
    }

private:
    std::function<void()> m_changed;
};

std::unique_ptr<FindTarget> findTarget(RichTextBox *pane);
std::unique_ptr<FindTarget> findTarget(LinePane *pane);
