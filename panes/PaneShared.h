// What the two panes share: the characters neither holds, and how a locked pane turns the
// mouse away.
#pragma once

#include <QString>

class QEvent;
class QWidget;

// The characters the send pane's document would take as the edges of a frame or as an
// embedded object (U+FDD0, U+FDD1, U+FFFC) become U+FFFD, in both panes, so both hold the
// same text.
QString withoutStructuralCharacters(QString text);

// Clicks and drags on a locked pane would move the caret off the line being sent: a viewport
// event the pane must swallow is accepted here (true). A click still gives the pane the focus,
// so it can be scrolled from the keyboard.
bool swallowMouseWhileLocked(QWidget *pane, QEvent *event);
