// Kavrel's entry point: create the window and run until it ends the program.
#include "app/Form1.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kavrel"));
    QApplication::setDesktopFileName(QStringLiteral("io.github.kavrel.kavrel"));
    Q_INIT_RESOURCE(kavrel_resources);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/kavrel-32.png")));

    Form1 form;
    form.show();
    return app.exec();
}
