// A window on a pseudo-terminal, set up and taken down in one place.
#include "tests/support/WindowOnPty.h"

#include "app/Form1.h"
#include "serial/MSComm.h"
#include "settings/SettingsFile.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QPushButton>
#include <QStringList>
#include <QTest>

WindowOnPty::WindowOnPty(Show show)
{
    if (!m_dir.isValid() || !m_state.isValid() || !m_device.isValid())
        return;
    overrideSettingsFolder(m_dir.path());
    qputenv("KAVREL_COM1", QFile::encodeName(m_device.slavePath()));
    m_form = std::make_unique<Form1>();
    if (show == Shown) {
        m_form->show();
        if (!QTest::qWaitForWindowExposed(m_form.get()))
            m_form.reset();
    }
}

WindowOnPty::~WindowOnPty()
{
    if (m_form && !m_form->hasEnded())
        m_form->ClosePort();
    m_form.reset();
    qunsetenv("KAVREL_COM1");
    overrideSettingsFolder(QString());
}

bool WindowOnPty::isValid() const
{
    return m_form != nullptr;
}

bool WindowOnPty::choose(QAction *item, bool checked)
{
    if (!item->isCheckable() || item->isChecked() != checked)
        item->trigger();
    return item->isChecked() == checked;
}

bool WindowOnPty::start()
{
    m_form->Command1->click();
    return m_form->MSComm1->PortOpen();
}

// The RS232C menu both by its menu-bar entry and by the menu itself: while the port is open no
// item may be reached either way.
bool WindowOnPty::portOpenAsShown() const
{
    return m_form->MSComm1->PortOpen() && m_form->Command1->text() == QLatin1String("Send")
        && m_form->Command2->text() == QLatin1String("Stop")
        && !m_form->mRS->menuAction()->isEnabled() && !m_form->mRS->isEnabled();
}

bool WindowOnPty::portClosedAsShown() const
{
    return !m_form->MSComm1->PortOpen() && m_form->Command1->text() == QLatin1String("Start")
        && m_form->Command2->text() == QLatin1String("End")
        && m_form->mRS->menuAction()->isEnabled() && m_form->mRS->isEnabled();
}

QString WindowOnPty::endOfTest(std::unique_ptr<WindowOnPty> &window)
{
    QStringList left;
    if (const QWidget *dialog = QApplication::activeModalWidget())
        left << QStringLiteral("a dialog open: \"%1\"").arg(dialog->windowTitle());
    if (window && window->isValid()) {
        if (!window->form().hasEnded())
            window->form().ClosePort();
        if (!window->portClosedAsShown())
            left << QStringLiteral("the port not shown closed");
    }
    window.reset();
    // A dialog or window the test let go may wait for the event loop to delete it.
    if (!QTest::qWaitFor([] { return QApplication::topLevelWidgets().isEmpty(); }, 10000)) {
        for (const QWidget *widget : QApplication::topLevelWidgets())
            left << QStringLiteral("a window left: %1 \"%2\"")
                        .arg(QLatin1String(widget->metaObject()->className()),
                             widget->windowTitle());
    }
    return left.join(QStringLiteral("; "));
}
