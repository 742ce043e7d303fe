// A window whose port 1 is a pseudo-terminal and whose settings and recovery files live in
// folders of its own, taken down in order: port closed, window, environment, pseudo-terminal,
// folders.
#pragma once

#include "tests/support/PtyDevice.h"
#include "tests/support/TemporaryStateHome.h"

#include <QTemporaryDir>

#include <memory>

class Form1;
class QAction;

class WindowOnPty
{
public:
    enum Show { Hidden, Shown };
    explicit WindowOnPty(Show show = Hidden);
    ~WindowOnPty();
    WindowOnPty(const WindowOnPty &) = delete;
    WindowOnPty &operator=(const WindowOnPty &) = delete;

    // False when the folder, the pseudo-terminal or the window could not be made.
    bool isValid() const;
    Form1 &form() const { return *m_form; }
    PtyDevice &device() { return m_device; }
    QString settingsFolder() const { return m_dir.path(); }
    QString stateFolder() const { return m_state.path(); }

    // A menu choice as the user makes it (the item's trigger, so its handler and the settings
    // file see it); false when the item did not end up in the state asked for.
    static bool choose(QAction *item, bool checked = true);
    // Start, as the user presses it; true when the port opened.
    bool start();
    // The open state as the user sees it: port open, "Send" and "Stop", RS232C disabled.
    bool portOpenAsShown() const;
    // The closed state as the user sees it: port closed, "Start" and "End", RS232C enabled.
    bool portClosedAsShown() const;

    // The end of every test, in one place: no dialog left open; the window's port closed (as
    // the program closes it when it goes, unless the test ended the program) and shown closed;
    // the window taken down, and then no window of the test left. Empty when all of that
    // holds, otherwise what did not. The window may be null (a test without one).
    static QString endOfTest(std::unique_ptr<WindowOnPty> &window);

private:
    QTemporaryDir m_dir;
    TemporaryStateHome m_state;
    PtyDevice m_device;
    std::unique_ptr<Form1> m_form;
};
