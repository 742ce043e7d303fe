// Leaving with the port in play: File > End and closing the window close it first, the End
// button leaves only while it is closed, and Cancel keeps the program running.
#include "app/Form1.h"
#include "panes/lines/LinePane.h"
#include "panes/RichTextBox.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ModalAnswerer.h"
#include "tests/support/WindowOnPty.h"

#include <QAction>
#include <QApplication>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

bool isSaveQuestion(const ShownDialog &shown)
{
    return shown.kind == QStringLiteral("QMessageBox")
        && shown.text == QStringLiteral("Will you save this data?");
}

} // namespace

class TestLeavingPort : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void cancelFromEndLeavesATransmissionSuspended();
    void closingWhileOpenAndCancelKeepsRunningClosed();
    void endButtonWithNothingChangedEnds();
    void endButtonCancelKeepsRunning();

private:
    bool openPort();

    std::unique_ptr<WindowOnPty> m_rig;
};

void TestLeavingPort::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QApplication::setQuitOnLastWindowClosed(false);
}

void TestLeavingPort::init()
{
    m_rig = std::make_unique<WindowOnPty>(WindowOnPty::Shown);
    QVERIFY(m_rig->isValid());
}

void TestLeavingPort::cleanup()
{
    const QString left = WindowOnPty::endOfTest(m_rig);
    QVERIFY2(left.isEmpty(), qPrintable(left));
}

// Start, as the user presses it, from the event loop; true when the port opened.
bool TestLeavingPort::openPort()
{
    return runFromEventLoop(m_rig->form(), [this] { m_rig->start(); }) == Outcome::Returned
        && m_rig->portOpenAsShown();
}

void TestLeavingPort::cancelFromEndLeavesATransmissionSuspended()
{
    Form1 &form = m_rig->form();
    QStringList lines;
    for (int i = 0; i < 2000; ++i)
        lines << QStringLiteral("line %1").arg(i);
    form.RichTextBox1->setText(lines.join(QStringLiteral("\r\n")));
    QVERIFY(openPort());

    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Cancel);
    // Send, then File > End while the lines are going out.
    QCOMPARE(runFromEventLoop(form,
                              [&form] {
                                  form.Command1->click();
                                  QVERIFY(form.Timer1->isActive());
                                  form.mEnd->trigger();
                              }),
             Outcome::Returned);

    QCOMPARE(answerer.shown().size(), 1);
    QVERIFY(isSaveQuestion(answerer.shown()[0]));
    QVERIFY(form.isVisible());
    QVERIFY(m_rig->portClosedAsShown());
    // Suspended: the timer still runs and the pane stays locked until Start opens the port.
    QVERIFY(form.Timer1->isActive());
    QVERIFY(form.RichTextBox1->Locked());
    QCOMPARE(form.RichTextBox1->Text(), lines.join(QStringLiteral("\r\n")));
}

void TestLeavingPort::closingWhileOpenAndCancelKeepsRunningClosed()
{
    Form1 &form = m_rig->form();
    QVERIFY(openPort());
    QVERIFY(m_rig->device().write("12.5\r\n"));
    QTRY_COMPARE(form.RichTextBox2->Text(), QStringLiteral("12.5\r\n"));
    QCOMPARE(form.Modified[2], Form1::True);

    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Cancel);
    QCOMPARE(runFromEventLoop(form, [&form] { form.close(); }), Outcome::Returned);

    QCOMPARE(answerer.shown().size(), 1);
    QVERIFY(isSaveQuestion(answerer.shown()[0]));
    QVERIFY(form.isVisible());
    QVERIFY(m_rig->portClosedAsShown());
    QCOMPARE(form.RichTextBox2->Text(), QStringLiteral("12.5\r\n"));

    // Start opens the port again.
    QVERIFY(openPort());
    answerer.answerMessage(QMessageBox::No);
    QCOMPARE(runFromEventLoop(form, [&form] { form.mEnd->trigger(); }), Outcome::Ended);
    QVERIFY(m_rig->portClosedAsShown());
}

void TestLeavingPort::endButtonWithNothingChangedEnds()
{
    Form1 &form = m_rig->form();
    QCOMPARE(form.Command2->text(), QStringLiteral("End"));

    ModalAnswerer answerer;
    QCOMPARE(runFromEventLoop(form, [&form] { form.Command2->click(); }), Outcome::Ended);
    QCOMPARE(answerer.shown().size(), 0);
    QVERIFY(form.isHidden());
}

void TestLeavingPort::endButtonCancelKeepsRunning()
{
    Form1 &form = m_rig->form();
    form.RichTextBox1->setText(QStringLiteral("AB"));

    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Cancel);
    QCOMPARE(runFromEventLoop(form, [&form] { form.Command2->click(); }), Outcome::Returned);
    QCOMPARE(answerer.shown().size(), 1);
    QVERIFY(isSaveQuestion(answerer.shown()[0]));
    QVERIFY(form.isVisible());
    QCOMPARE(form.RichTextBox1->Text(), QStringLiteral("AB"));

    answerer.answerMessage(QMessageBox::No);
    QCOMPARE(runFromEventLoop(form, [&form] { form.Command2->click(); }), Outcome::Ended);
    QCOMPARE(answerer.shown().size(), 2);
}

QTEST_MAIN(TestLeavingPort)
#include "tst_leaving_port.moc"
