// What the recovery tests share: a pane's text as a set's file replays it, and the panes as a
// window hands their changes to its set.
#pragma once

#include "panes/lines/LineStore.h"
#include "recovery/RecoveryReplay.h"
#include "recovery/RecoverySet.h"

#include <QFile>

inline LineStore storeOf(QStringView text)
{
    LineStore store;
    store.append(text);
    return store;
}

// CR LF breaks for the received pane, LF for the send pane.
inline QString textOf(const RecoveredPane &pane, RecoveryPane which)
{
    const int width = which == RecoveryPane::Received ? LineStore::crLf : 1;
    return pane.store.text(0, pane.store.size(width), width);
}

inline QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What a pane's file replays to, whole.
inline QString replayedFile(const QString &path, RecoveryPane pane)
{
    const std::optional<RecoveredPane> replayed = replayRecovery(fileContent(path), pane);
    return replayed && replayed->whole() ? textOf(*replayed, pane)
                                         : QStringLiteral("(no whole recovery file)");
}

// Both panes as a window holds them, each change handed to the set as the window hands it.
struct Panes
{
    RecoverySet &set;
    LineStore received = LineStore();
    QString send = QString(); // LF breaks, one position each

    void receive(const QString &text) { edit(received.size(), received.size(), text); }
    void edit(qint64 from, qint64 to, const QString &text)
    {
        received.replace(from, to, text);
        set.receivedEdited(from, to, text);
    }
    void type(int from, int to, const QString &text)
    {
        send.replace(from, to - from, text);
        set.sendEdited(from, to - from, text);
    }
};
