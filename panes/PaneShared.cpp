// What the two panes share.
#include "panes/PaneShared.h"

#include <QEvent>
#include <QKeyEvent>
#include <QWidget>

QString withoutStructuralCharacters(QString text)
{
    for (const QChar c : {QChar(0xfdd0), QChar(0xfdd1), QChar(QChar::ObjectReplacementCharacter)}) {
        if (text.contains(c))
            text.replace(c, QChar::ReplacementCharacter);
    }
    return text;
}

bool isTypedText(const QKeyEvent *event)
{
    const QString text = event->text();
    if (text.isEmpty())
        return false;
    const QChar first = text.front();
    // Before the test for Ctrl: some keyboards type the joiners with Ctrl+Shift.
    if (first.category() == QChar::Other_Format)
        return true;
    const Qt::KeyboardModifiers modifiers = event->modifiers();
    if (modifiers == Qt::ControlModifier || modifiers == (Qt::ControlModifier | Qt::ShiftModifier))
        return false;
    return first.isPrint() || first.category() == QChar::Other_PrivateUse
        || (first.isHighSurrogate() && text.size() > 1 && text.at(1).isLowSurrogate());
}

bool swallowMouseWhileLocked(QWidget *pane, QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        pane->setFocus(Qt::MouseFocusReason);
        [[fallthrough]];
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
        event->accept();
        return true;
    default:
        return false;
    }
}
