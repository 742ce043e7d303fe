// What the two panes share: the characters neither holds, what a key types, and how a locked
// pane turns the mouse away.
#pragma once

#include <QString>

class QEvent;
class QKeyEvent;
class QWidget;

// The characters the send pane's document would take as the edges of a frame or as an
// embedded object (U+FDD0, U+FDD1, U+FFFC) become U+FFFD, in both panes, so both hold the
// same text.
QString withoutStructuralCharacters(QString text);

// Whether a key types its text into a pane, as the send pane's editor takes it: printable
// characters, formatting ones (the zero-width joiner and non-joiner), private-use ones and
// those beyond U+FFFF, but no control character and nothing typed with Ctrl (AltGr is Ctrl+Alt).
bool isTypedText(const QKeyEvent *event);

// Clicks and drags on a locked pane would move the caret off the line being sent: a viewport
// event the pane must swallow is accepted here (true). A click still gives the pane the focus,
// so it can be scrolled from the keyboard.
bool swallowMouseWhileLocked(QWidget *pane, QEvent *event);
