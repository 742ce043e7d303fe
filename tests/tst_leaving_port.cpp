// Leaving with the port in play: File > End and closing the window close it first, the End
// button leaves only while it is closed, and Cancel keeps the program running.
#include "app/Form1.h"
#include "panes/LinePane.h"
#include "panes/RichTextBox.h"
#include "serial/MSComm.h"
#include "settings/SettingsFile.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ModalAnswerer.h"
#include "tests/support/PtyDevice.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
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
    bool openPort(Form1 &form);

    std::unique_ptr<QTemporaryDir> m_settings;
    std::unique_ptr<PtyDevice> m_device;
};

void TestLeavingPort::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QApplication::setQuitOnLastWindowClosed(false);
}

void TestLeavingPort::init()
{
    m_settings = std::make_unique<QTemporaryDir>();
    QVERIFY(m_settings->isValid());
    overrideSettingsFolder(m_settings->path());
    // A fresh settings file selects port 1.
    m_device = std::make_unique<PtyDevice>();
    QVERIFY(m_device->isValid());
    qputenv("KAVREL_COM1", QFile::encodeName(m_device->slavePath()));
}

void TestLeavingPort::cleanup()
{
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty());
    m_device.reset();
    qunsetenv("KAVREL_COM1");
}

// Start, as the user presses it; true when the port opened.
bool TestLeavingPort::openPort(Form1 &form)
{
    const Outcome outcome = runFromEventLoop(form, [&form] { form.Command1->click(); });
    return outcome == Outcome::Returned && form.MSComm1->PortOpen()
        && form.Command1->text() == QStringLiteral("Send")
        && form.Command2->text() == QStringLiteral("Stop") && !form.mRS->isEnabled();
}

void TestLeavingPort::cancelFromEndLeavesATransmissionSuspended()
{
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QStringList lines;
    for (int i = 0; i < 2000; ++i)
        lines << QStringLiteral("line %1").arg(i);
    form.RichTextBox1->setText(lines.join(QStringLiteral("\r\n")));
    QVERIFY(openPort(form));

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
    QVERIFY(!form.MSComm1->PortOpen());
    QCOMPARE(form.Command1->text(), QStringLiteral("Start"));
    QCOMPARE(form.Command2->text(), QStringLiteral("End"));
    QVERIFY(form.mRS->isEnabled());
    // Suspended: the timer still runs and the pane stays locked until Start opens the port.
    QVERIFY(form.Timer1->isActive());
    QVERIFY(form.RichTextBox1->Locked());
    QCOMPARE(form.RichTextBox1->Text(), lines.join(QStringLiteral("\r\n")));
}

void TestLeavingPort::closingWhileOpenAndCancelKeepsRunningClosed()
{
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QVERIFY(openPort(form));
    QVERIFY(m_device->write("12.5\r\n"));
    QTRY_COMPARE(form.RichTextBox2->Text(), QStringLiteral("12.5\r\n"));
    QCOMPARE(form.Modified[2], True);

    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Cancel);
    QCOMPARE(runFromEventLoop(form, [&form] { form.close(); }), Outcome::Returned);

    QCOMPARE(answerer.shown().size(), 1);
    QVERIFY(isSaveQuestion(answerer.shown()[0]));
    QVERIFY(form.isVisible());
    QVERIFY(!form.MSComm1->PortOpen());
    QCOMPARE(form.Command1->text(), QStringLiteral("Start"));
    QCOMPARE(form.Command2->text(), QStringLiteral("End"));
    QCOMPARE(form.RichTextBox2->Text(), QStringLiteral("12.5\r\n"));

    // Start opens the port again.
    QVERIFY(openPort(form));
    answerer.answerMessage(QMessageBox::No);
    QCOMPARE(runFromEventLoop(form, [&form] { form.mEnd->trigger(); }), Outcome::Ended);
    QVERIFY(!form.MSComm1->PortOpen());
}

void TestLeavingPort::endButtonWithNothingChangedEnds()
{
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCOMPARE(form.Command2->text(), QStringLiteral("End"));

    ModalAnswerer answerer;
    QCOMPARE(runFromEventLoop(form, [&form] { form.Command2->click(); }), Outcome::Ended);
    QCOMPARE(answerer.shown().size(), 0);
    QVERIFY(form.isHidden());
}

void TestLeavingPort::endButtonCancelKeepsRunning()
{
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
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
