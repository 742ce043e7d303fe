// Start-up caption and the ways of leaving: the save question, its answers and the saves it runs.
#include "app/Form1.h"
#include "panes/lines/LinePane.h"
#include "panes/RichTextBox.h"
#include "settings/SettingsFile.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ModalAnswerer.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The name a file dialog proposed, without the ".txt" the dialog adds to a bare name.
QString shownName(const ShownDialog &shown)
{
    return QFileInfo(shown.fileName).completeBaseName();
}

void verifySaveQuestion(const ShownDialog &shown)
{
    QCOMPARE(shown.kind, QStringLiteral("QMessageBox"));
    QCOMPARE(shown.title, QStringLiteral("Kavrel"));
    QCOMPARE(shown.text, QStringLiteral("Will you save this data?"));
    QCOMPARE(shown.icon, QMessageBox::Question);
    QCOMPARE(shown.buttons, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    QCOMPARE(shown.defaultButton, QMessageBox::Yes);
}

void verifySaveDialog(const ShownDialog &shown, const QString &proposed)
{
    QCOMPARE(shown.kind, QStringLiteral("QFileDialog"));
    QCOMPARE(shown.acceptMode, int(QFileDialog::AcceptSave));
    QCOMPARE(shownName(shown), proposed);
}

} // namespace

class TestLeaving : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void captionFromVersionInformation();
    void leavingWithNothingChangedAsksNothing_data();
    void leavingWithNothingChangedAsksNothing();
    void receivedPaneSaveCancelledThenNo();
    void bothPanesSavedEndWithoutSecondQuestion();
    void secondYesOffersOnlyThePaneStillChanged();
    void cancelKeepsTheProgramRunning_data();
    void cancelKeepsTheProgramRunning();
    void failedSaveIsReportedAndAskedAgain();

private:
    static bool changePanes(Form1 &form, bool send, bool received);

    std::unique_ptr<QTemporaryDir> m_settings;
    std::unique_ptr<QTemporaryDir> m_files;
};

void TestLeaving::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    // The program ends itself; closing its window in one test must not quit the next one.
    QApplication::setQuitOnLastWindowClosed(false);
}

void TestLeaving::init()
{
    m_settings = std::make_unique<QTemporaryDir>();
    m_files = std::make_unique<QTemporaryDir>();
    QVERIFY(m_settings->isValid() && m_files->isValid());
    overrideSettingsFolder(m_settings->path());
}

void TestLeaving::cleanup()
{
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty());
}

// Changes the chosen panes the way the program does; true when exactly their flags are set.
bool TestLeaving::changePanes(Form1 &form, bool send, bool received)
{
    if (send)
        form.RichTextBox1->setText(QStringLiteral("AB\r\nCD"));
    if (received) {
        form.RichTextBox2->setSelText(QStringLiteral("12.5\r\n"));
        form.RichTextBox2->setSelText(QStringLiteral("13.0\r\n"));
    }
    return form.Modified[1] == (send ? Form1::True : Form1::False)
        && form.Modified[2] == (received ? Form1::True : Form1::False);
}

void TestLeaving::captionFromVersionInformation()
{
    Form1 form;
    QCOMPARE(form.windowTitle(), QStringLiteral("Kavrel  Ver.0.20"));
    QCOMPARE(form.Modified[1], Form1::False);
    QCOMPARE(form.Modified[2], Form1::False);
}

void TestLeaving::leavingWithNothingChangedAsksNothing_data()
{
    QTest::addColumn<bool>("byClosing");
    QTest::addColumn<bool>("savedBefore");
    QTest::newRow("File > End, panes untouched") << false << false;
    QTest::newRow("closing the window, panes untouched") << true << false;
    QTest::newRow("File > End, both panes saved before") << false << true;
    QTest::newRow("closing the window, both panes saved before") << true << true;
}

void TestLeaving::leavingWithNothingChangedAsksNothing()
{
    QFETCH(bool, byClosing);
    QFETCH(bool, savedBefore);

    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    ModalAnswerer answerer;
    if (savedBefore) {
        QVERIFY(changePanes(form, true, true));
        answerer.chooseFile(m_files->filePath(QStringLiteral("s.txt")));
        answerer.chooseFile(m_files->filePath(QStringLiteral("r.txt")));
        form.S_Send->trigger();
        form.S_Received->trigger();
        QCOMPARE(answerer.shown().size(), 2);
    }
    const auto before = answerer.shown().size();

    const Outcome outcome = runFromEventLoop(form, [&] {
        if (byClosing)
            form.close();
        else
            form.mEnd->trigger();
    });
    QCOMPARE(outcome, Outcome::Ended);
    QCOMPARE(answerer.shown().size(), before);
    QVERIFY(form.isHidden());
}

void TestLeaving::receivedPaneSaveCancelledThenNo()
{
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QVERIFY(changePanes(form, false, true));

    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Yes);
    answerer.cancelDialog();
    answerer.answerMessage(QMessageBox::No);
    QCOMPARE(runFromEventLoop(form, [&] { form.mEnd->trigger(); }), Outcome::Ended);

    const auto &shown = answerer.shown();
    QCOMPARE(shown.size(), 3);
    verifySaveQuestion(shown[0]);
    verifySaveDialog(shown[1], QStringLiteral("Received Data"));
    verifySaveQuestion(shown[2]);
    QCOMPARE(form.Modified[2], Form1::True);
    QVERIFY(QDir(m_files->path()).isEmpty());
}

void TestLeaving::bothPanesSavedEndWithoutSecondQuestion()
{
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QVERIFY(changePanes(form, true, true));
    const QString sendPath = m_files->filePath(QStringLiteral("send.txt"));
    const QString receivedPath = m_files->filePath(QStringLiteral("received.txt"));

    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Yes);
    answerer.chooseFile(sendPath);
    answerer.chooseFile(receivedPath);
    QCOMPARE(runFromEventLoop(form, [&] { form.close(); }), Outcome::Ended);

    const auto &shown = answerer.shown();
    QCOMPARE(shown.size(), 3);
    verifySaveQuestion(shown[0]);
    verifySaveDialog(shown[1], QStringLiteral("Send Data"));
    verifySaveDialog(shown[2], QStringLiteral("Received Data"));
    QCOMPARE(readAll(sendPath), QByteArray("AB\r\nCD"));
    QCOMPARE(readAll(receivedPath), QByteArray("12.5\r\n13.0\r\n"));
}

void TestLeaving::secondYesOffersOnlyThePaneStillChanged()
{
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QVERIFY(changePanes(form, true, true));
    const QString sendPath = m_files->filePath(QStringLiteral("send.txt"));

    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Yes);
    answerer.chooseFile(sendPath);
    answerer.cancelDialog();
    answerer.answerMessage(QMessageBox::Yes);
    answerer.cancelDialog();
    answerer.answerMessage(QMessageBox::Cancel);
    QCOMPARE(runFromEventLoop(form, [&] { form.mEnd->trigger(); }), Outcome::Returned);

    const auto &shown = answerer.shown();
    QCOMPARE(shown.size(), 6);
    verifySaveQuestion(shown[0]);
    verifySaveDialog(shown[1], QStringLiteral("Send Data"));
    verifySaveDialog(shown[2], QStringLiteral("Received Data"));
    verifySaveQuestion(shown[3]);
    verifySaveDialog(shown[4], QStringLiteral("Received Data"));
    verifySaveQuestion(shown[5]);
    QCOMPARE(readAll(sendPath), QByteArray("AB\r\nCD"));
    QCOMPARE(form.Modified[1], Form1::False);
    QCOMPARE(form.Modified[2], Form1::True);
    QVERIFY(form.isVisible());
}

void TestLeaving::cancelKeepsTheProgramRunning_data()
{
    QTest::addColumn<bool>("byClosing");
    QTest::addColumn<bool>("dismiss");
    QTest::newRow("File > End, Cancel") << false << false;
    QTest::newRow("File > End, question dismissed") << false << true;
    QTest::newRow("closing the window, Cancel") << true << false;
    QTest::newRow("closing the window, question dismissed") << true << true;
}

void TestLeaving::cancelKeepsTheProgramRunning()
{
    QFETCH(bool, byClosing);
    QFETCH(bool, dismiss);

    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QVERIFY(changePanes(form, true, true));
    const auto leave = [&] {
        if (byClosing)
            form.close();
        else
            form.mEnd->trigger();
    };

    ModalAnswerer answerer;
    if (dismiss)
        answerer.dismissMessage();
    else
        answerer.answerMessage(QMessageBox::Cancel);
    QCOMPARE(runFromEventLoop(form, leave), Outcome::Returned);
    QCOMPARE(answerer.shown().size(), 1);
    verifySaveQuestion(answerer.shown()[0]);
    QVERIFY(form.isVisible());
    QCOMPARE(form.RichTextBox1->Text(), QStringLiteral("AB\r\nCD"));
    QCOMPARE(form.RichTextBox2->Text(), QStringLiteral("12.5\r\n13.0\r\n"));
    QCOMPARE(form.Modified[1], Form1::True);
    QCOMPARE(form.Modified[2], Form1::True);

    // The program still works: the user types on, then leaves the same way without saving.
    form.RichTextBox1->setFocus();
    QTest::keyClicks(form.RichTextBox1, QStringLiteral("E"));
    QCOMPARE(form.RichTextBox1->Text(), QStringLiteral("EAB\r\nCD"));
    answerer.answerMessage(QMessageBox::No);
    QCOMPARE(runFromEventLoop(form, leave), Outcome::Ended);
    QCOMPARE(answerer.shown().size(), 2);
    QVERIFY(QDir(m_files->path()).isEmpty());
}

void TestLeaving::failedSaveIsReportedAndAskedAgain()
{
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QVERIFY(changePanes(form, true, false));
    const QString badPath = m_files->filePath(QStringLiteral("no/such/folder/send.txt"));

    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Yes);
    answerer.chooseFile(badPath);
    answerer.answerMessage(QMessageBox::Ok);
    answerer.answerMessage(QMessageBox::No);
    QCOMPARE(runFromEventLoop(form, [&] { form.mEnd->trigger(); }), Outcome::Ended);

    const auto &shown = answerer.shown();
    QCOMPARE(shown.size(), 4);
    verifySaveQuestion(shown[0]);
    verifySaveDialog(shown[1], QStringLiteral("Send Data"));
    QCOMPARE(shown[2].kind, QStringLiteral("QMessageBox"));
    QCOMPARE(shown[2].title, QStringLiteral("Kavrel"));
    QCOMPARE(shown[2].icon, QMessageBox::Critical);
    QCOMPARE(shown[2].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(shown[2].text, QStringLiteral("Can not save the data !"));
    QVERIFY2(shown[2].informativeText.contains(QDir::toNativeSeparators(badPath)),
             qPrintable(shown[2].informativeText));
    verifySaveQuestion(shown[3]);
    QCOMPARE(form.Modified[1], Form1::True);
}

QTEST_MAIN(TestLeaving)
#include "tst_leaving.moc"
