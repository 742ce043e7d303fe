// Loaded into the real program as a Qt generic plugin, it stands in for a person at the
// window: once the window is shown it fills the send pane, presses Start, prints "open" or
// "closed", then "shown N" each time the received pane's line count changes. With
// KAVREL_PROBE=answer it only answers the first question the window asks with Yes and prints
// "answered". It knows the window only by object names and properties, so it needs nothing of
// the program's code.
#include <QApplication>
#include <QGenericPlugin>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVariant>

#include <cstdio>

namespace {

class WindowProbe : public QObject
{
public:
    WindowProbe()
    {
        m_timer.callOnTimeout(this, &WindowProbe::look);
        m_timer.start(20);
    }

private:
    void look();
    bool pressStart();
    void answer();

    QTimer m_timer;
    QPointer<QWidget> m_received;
    int m_shown = -1;
};

bool WindowProbe::pressStart()
{
    for (QWidget *window : QApplication::topLevelWidgets()) {
        auto *start = window->findChild<QPushButton *>(QStringLiteral("Command1"));
        QWidget *send = window->findChild<QWidget *>(QStringLiteral("RichTextBox1"));
        QWidget *received = window->findChild<QWidget *>(QStringLiteral("RichTextBox2"));
        if (!window->isVisible() || !start || !send || !received)
            continue;
        // The send pane as a user fills it: replaced whole, then typed at its end.
        send->setProperty("Text", QStringLiteral("READ?\nSTOP"));
        send->setProperty("SelStart", send->property("Text").toString().size());
        send->setProperty("SelText", QStringLiteral("\r\nMEAS?"));
        start->click();
        std::puts(start->text() == u"Send" ? "open" : "closed");
        std::fflush(stdout);
        m_received = received;
        return true;
    }
    return false;
}

void WindowProbe::answer()
{
    auto *question = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!question || !question->button(QMessageBox::Yes))
        return;
    m_timer.stop();
    question->button(QMessageBox::Yes)->click();
    std::puts("answered");
    std::fflush(stdout);
}

void WindowProbe::look()
{
    if (qgetenv("KAVREL_PROBE") == "answer")
        return answer();
    if (!m_received && !pressStart())
        return;
    const int shown = m_received->property("lineCount").toInt();
    if (shown != m_shown) {
        m_shown = shown;
        std::printf("shown %d\n", shown);
        std::fflush(stdout);
    }
}

} // namespace

class WindowProbePlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "WindowProbePlugin.json")

public:
    QObject *create(const QString &, const QString &) override { return new WindowProbe; }
};

#include "WindowProbePlugin.moc"
