// The recovery file set a window writes while it lives: one file per pane, appended to as the
// panes change, synced at most once a second on a writer thread of its own, and locked so a
// set whose lock is free is known to belong to a window that did not end through its exit
// path.
#pragma once

#include "recovery/RecoveryRecords.h"

#include <QObject>
#include <QString>

#include <memory>

class LineStore;
struct RecoveryWriter;

class RecoverySet : public QObject
{
    Q_OBJECT
public:
    // $XDG_STATE_HOME/kavrel, or ~/.local/state/kavrel when that is unset or not absolute.
    static QString folder();

    explicit RecoverySet(QObject *parent = nullptr);
    // Stops the writer after syncing; the files stay (as after a crash) unless discard() ran.
    ~RecoverySet() override;

    // Makes the folder (0700) when it is missing, checks it, makes the set's files (0600) and
    // takes the lock. On error returns false; failed() follows from the event loop and the
    // writer retries every few seconds. The panes start empty in the set: text they already
    // hold is handed over with restart*.
    bool start();

    // The received pane's change as LinePane::edited tells it; an append when it is at the end.
    // The pane's length after it, when given, spares counting the text's positions.
    void receivedEdited(qint64 from, qint64 to, const QString &text, qint64 paneLength = -1);
    // The pane's data starts again from what it holds now (clear with Yes, rebuild, rewrite).
    void restartReceived(const LineStore &pane);
    // The send pane's change in the document's positions, with the added text as the document
    // holds it. The range must lie within the text the set knows: a whole-text replacement
    // (contentsChange then also counts the document's closing paragraph end) is better handed
    // over with restartSend.
    void sendEdited(int position, int removed, const QString &added);
    void restartSend(const QString &text);

    // Blocks until everything handed over is written and synced (the signal path only).
    void syncNow();
    // synced() follows once everything handed over so far is written and synced; a failure
    // meanwhile drops it (ask again after writableAgain).
    void askSynced();
    // The exit path: stops the writer and removes the set's files, without waiting for writes
    // of what it removes.
    void discard();
    // The program ends by a signal: the writer stops after writing and syncing what it was
    // handed, within a few seconds; past them the rest is dropped. The files stay.
    void keep();
    bool isWriting() const;

    // How many times the writer has synced the panes' files (for measuring).
    quint64 syncCount() const;
    // Bytes of changes waiting for the writer (for tests).
    qsizetype queuedBytes() const;

    // The set's name in the folder (kavrel-<pid>-<hex>); its files are <id>.lock, .received
    // and .send.
    QString id() const;

signals:
    // Once per spell without recovery (a failure of the folder or the disk, or a disk too slow
    // for the panes), with the folder and what is wrong.
    void failed(const QString &folder, const QString &reason);
    // The set takes records again: the owner must call restartReceived and restartSend with
    // the panes; until then their changes are not kept.
    void writableAgain();
    void synced();
    // The pane's file has grown well past its text: the owner hands the pane over again with
    // restartReceived or restartSend, and its file is rewritten from that.
    void rewriteDue(RecoveryPane pane);

private:
    void dropped(bool toldNow);
    void onWriterFailed(const QString &reason);
    void onWriterRecovered();

    std::shared_ptr<RecoveryWriter> m_writer;
    QString m_folder;
    QString m_id;
    qint64 m_receivedEnd = 0;
    qint64 m_sendEnd = 0;
    bool m_started = false;
    bool m_discarded = false;
    bool m_needsRestart[2] = {}; // per pane, after a failure until the owner restarts it
};
