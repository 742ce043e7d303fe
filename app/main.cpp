// Kavrel's entry point: create the window and run until it ends the program.
#include "app/Form1.h"
#include "recovery/EndSignals.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kavrel"));
    QApplication::setDesktopFileName(QStringLiteral("io.github.kavrel.kavrel"));
    Q_INIT_RESOURCE(kavrel_resources);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/kavrel-32.png")));

    Form1 form;
    // Ended from outside (logout, kill, Ctrl+C in a terminal): the panes stay recoverable.
    EndSignals endSignals;
    QObject::connect(&endSignals, &EndSignals::received, &form, &Form1::endBySignal);
    form.show();
    return app.exec();
}
