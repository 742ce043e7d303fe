// Runs a window action from the application's event loop.
#include "tests/support/EventLoop.h"

#include "app/Form1.h"

#include <QApplication>
#include <QTimer>

Outcome runFromEventLoop(Form1 &form, const std::function<void()> &action)
{
    bool stuck = false;
    QTimer::singleShot(0, &form, [&form, &action] {
        action();
        if (!form.hasEnded())
            QApplication::exit(1);
    });
    // A dialog that nobody answers fails the test instead of hanging it.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, &form, [&stuck] {
        stuck = true;
        QApplication::exit(2);
    });
    watchdog.start(20000);
    const int code = QApplication::exec();
    if (stuck)
        return Outcome::Stuck;
    if (form.hasEnded() && code == 0)
        return Outcome::Ended;
    return code == 1 ? Outcome::Returned : Outcome::Stuck;
}
