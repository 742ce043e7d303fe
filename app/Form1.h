// Kavrel's one window: its controls, menus, handlers, procedures and form-level variables.
#pragma once

#include "send/LineCut.h"

#include <QMainWindow>
#include <QMessageBox>
#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>
#include <memory>

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QThread;
class CommonDialog;
class LinePane;
class LineStore;
class MSComm;
class PaneFind;
class RecoveryOrphan;
class RecoverySet;
class RichTextBox;

class Form1 : public QMainWindow
{
    Q_OBJECT

public:
    // Flags are 16-bit integers: True is -1, False is 0. Scoped to the window, where the
    // handlers use them; elsewhere they read Form1::True, which the X11 headers' macro of the
    // same name cannot quietly turn into 1.
    static constexpr std::int16_t True = -1;
    static constexpr std::int16_t False = 0;

    explicit Form1(QWidget *parent = nullptr);
    ~Form1() override;

    // Controls, under their designed names.
    QTimer *Timer1 = nullptr;
    QPushButton *Command2 = nullptr;
    CommonDialog *CommonDialog1 = nullptr;
    QPushButton *Command1 = nullptr;
    MSComm *MSComm1 = nullptr;
    RichTextBox *RichTextBox1 = nullptr;
    LinePane *RichTextBox2 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Image1 = nullptr;
    QLabel *Image2 = nullptr;

    // Menus and menu items.
    QMenu *mFile = nullptr;
    QAction *mOpen = nullptr;
    QMenu *mNew = nullptr;
    QAction *N_Send = nullptr;
    QAction *N_Received = nullptr;
    QMenu *mSave = nullptr;
    QAction *S_Send = nullptr;
    QAction *S_Received = nullptr;
    QMenu *mPrint = nullptr;
    QAction *P_Send = nullptr;
    QAction *P_Received = nullptr;
    QAction *m = nullptr;
    QAction *mEnd = nullptr;
    QMenu *mRS = nullptr;
    std::array<QMenu *, 6> RS {}; // RS0 .. RS5
    std::array<QAction *, 8> Port {};
    std::array<QAction *, 8> BPS {};
    std::array<QAction *, 3> Parity {};
    std::array<QAction *, 2> Length {};
    std::array<QAction *, 3> Bit {};
    std::array<QAction *, 2> Term {};
    QMenu *mTimer = nullptr;
    std::array<QAction *, 11> Wait {};
    QMenu *mOption = nullptr;
    QAction *mTime = nullptr;
    QAction *mDate = nullptr;
    QAction *mSeq = nullptr;
    QAction *mHeader = nullptr;
    QAction *mFooter = nullptr;

    // Form-level variables.
    std::array<QString, 12> IniVal;
    std::array<std::int16_t, 3> Modified {False, False, False}; // index 1 send, 2 received
    QString RcvChar;
    QString RcvLine;
    bool m_limitEnded = false; // the line before RcvLine was ended by the length limit
    std::int16_t EscFlag = False;
    std::int32_t SeqNo = 0;
    QString SendLine;
    double NextSendTime = 0.0;

    // Window events.
    void Form_Load();
    void Form_Activate();
    void Form_Resize();
    void Form_Unload(std::int16_t &Cancel);

    // Buttons, timer and serial events.
    void Command1_Click();
    void Command2_Click();
    void Timer1_Timer();
    void MSComm1_OnComm();

    // Pane change events.
    void RichTextBox1_Change();
    void RichTextBox2_Change();

    // File menu.
    void mOpen_Click();
    void N_Send_Click();
    void N_Received_Click();
    void S_Send_Click();
    void S_Received_Click();
    void P_Send_Click();
    void P_Received_Click();
    void mEnd_Click();

    // Settings menus.
    void Port_Click(int Index);
    void BPS_Click(int Index);
    void Parity_Click(int Index);
    void Length_Click(int Index);
    void Bit_Click(int Index);
    void Term_Click(int Index);
    void Wait_Click(int Index);
    void mTime_Click();
    void mDate_Click();
    void mSeq_Click();
    void mHeader_Click();
    void mFooter_Click();

    // Procedures.
    void OpenPort();
    void ClosePort();
    bool SetPortSettings();
    void PrepareNextLine();
    void LoadSettings();
    void WriteDefaultSettings();
    void SaveSettings();
    void ConfirmExit();

    // Unmarks every item of the RS232C, Wait and Option menus, as a new window has them.
    void clearSettingsMarks();

    // A message box of the window: titled Kavrel, the text exactly as designed, help for the
    // user as informative text. Returns the button chosen (Escape picks Cancel or No).
    QMessageBox::StandardButton showMessage(QMessageBox::Icon icon, const QString &text,
                                            const QString &informativeText = QString(),
                                            QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                            QMessageBox::StandardButton defaultButton
                                            = QMessageBox::NoButton);

    // True once ConfirmExit has ended the program; no handler runs after that.
    bool hasEnded() const { return m_ended; }

    // Ends the program for SIGTERM, SIGHUP or SIGINT without asking anything: the panes'
    // recovery files are synced and left for the next start. The exit code is 128 + signal.
    void endBySignal(int signalNumber);
    // The recovery files this window writes; null once the exit path has removed them.
    RecoverySet *recoverySet() const { return m_recovery.get(); }

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls();
    void buildMenus();
    void wireEvents();
    void buildFind(); // panes/Form1_Find.cpp
    void endProgram();

    void paintBanner(QWidget *surface);

    void writeTimeStamp();
    void setRs232cMenuEnabled(bool enabled);
    void completeReceivedLine();
    void showPortDevices();
    void flushReceivedLines();
    void scheduleReceivedFlush();
    void appendToReceivedPane(const QString &text);
    void showSettingsWriteFailure(const QString &path, const QString &reason);
    void reportLineError(std::int16_t code);
    std::int16_t closePortToLeave();
    void finishLineBeforeLeaving();
    LineLeaving lineLeaving(int unsent) const;
    struct LineInFlight;
    void writeToPort(const LineInFlight &line);
    void noteCutLine();
    QString takeCutLineNote();
    void endWaitingTransmission();

    // Recovery files (recovery/Form1_Recovery.cpp).
    void startRecovery();
    void afterFirstShow();
    void offerRecovery();
    void answerRecoveryOffer();
    void restartReceivedRecovery();
    void restartSendRecovery();
    void sendPaneChanged(int position, int removed, int added);
    void showRecoveryFailure(const QString &folder, const QString &reason);
    void endRecovery();

    bool m_ended = false;
    bool m_activatedOnce = false;
    int m_bannerX = 0; // pixels, set by Form_Activate
    bool m_bannerDrawn = false;
    bool m_settingsFailureShown = false;
    QString m_receivedBatch; // completed lines waiting for one insertion into the pane
    QTimer m_receivedFlush; // inserts the batch a moment after its first line
    PaneFind *m_find = nullptr; // find in either pane

    // The last write of a transmission: where its line stands in the send pane and what went
    // to the port, so a close that cuts it can have it sent again, whole.
    struct LineInFlight
    {
        int number = 0; // line of the send pane, from 1; 0: a line end alone
        int start = 0; // its position in the send pane
        WrittenLine written {};
        double due = 0.0;
        bool resumes = true; // false once Send started over: a cut does not go back to it
        qint64 edition = 0; // the send pane's text its number counts in
    };
    LineInFlight m_inFlight;
    // The writes before it, as far back as a device that went away may not have read.
    QList<SentWrite> m_sentBefore;
    qsizetype m_sentBeforeBytes = 0;
    int m_sendLineNumber = 0; // the line PrepareNextLine selected last
    qint64 m_sendPaneEdition = 0; // counts changes to the send pane's text
    // The rest of a line end that a cut kept from the device; it goes before the next write.
    QString m_lineEndOwed;
    // A line cut by the last close, for the message that reports it; number 0: none.
    struct CutLine
    {
        int number = 0;
        qsizetype left = 0; // its characters that had left
        qsizetype length = 0;
        int resent = 0; // the line that goes again, whole, when the transmission goes on
        QList<int> unread; // lines the device, gone, may not have read whole
        bool unreadEarlier = false; // and lines of a text the send pane no longer holds
        bool unsure = false; // the device went without telling what it had read
        bool leaving = false; // the close was for leaving Kavrel

        bool any() const { return number != 0 || !unread.isEmpty() || unreadEarlier; }
    };
    CutLine m_cut;
    // A line error from the received data that waits for the line in flight to leave before
    // the port closes, and how long it waits.
    std::int16_t m_closeWhenSent = 0;
    QList<std::int16_t> m_errorsWhileWaiting; // other codes that came meanwhile, each once
    LineLeaving m_closeWait;
    // File > End or closing the window waits for the line in flight: nothing more is written,
    // and Stop or another close ends the wait.
    bool m_leaving = false;
    bool m_leaveNow = false;

    std::unique_ptr<RecoverySet> m_recovery;
    std::unique_ptr<RecoveryOrphan> m_orphan; // a set left by a window that did not end
    bool m_orphanRestored = false; // Yes: it goes once the restored text is synced in ours
    std::unique_ptr<QThread> m_orphanReader;
    qint64 m_sendLength = 0; // the send pane's length as its recovery data last had it
    bool m_sendReplacing = false; // Open or New is replacing the send pane: one restart after
    bool m_recoveryKept = false; // a signal ended the program: the files stay for the next start
    QString m_pendingFailureFolder; // a failure before the window was shown, told once it is
    QString m_pendingFailureReason;
};
