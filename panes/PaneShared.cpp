// What the two panes share.
#include "panes/PaneShared.h"

#include <QEvent>
#include <QWidget>

QString withoutStructuralCharacters(QString text)
{
    for (const QChar c : {QChar(0xfdd0), QChar(0xfdd1), QChar(QChar::ObjectReplacementCharacter)}) {
        if (text.contains(c))
            text.replace(c, QChar::ReplacementCharacter);
    }
    return text;
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
