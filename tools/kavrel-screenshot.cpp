// Draws Kavrel's window with sample lines in both panes, offscreen, and writes it as a PNG:
// the README's picture.
//   kavrel-screenshot [file.png]     (default: screenshot.png)
#include "app/Form1.h"
#include "panes/lines/LinePane.h"
#include "panes/RichTextBox.h"
#include "settings/SettingsFile.h"

#include <QAction>
#include <QApplication>
#include <QPixmap>
#include <QPushButton>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kavrel"));
    Q_INIT_RESOURCE(kavrel_resources);
    const QString output
        = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshot.png");

    // The window's settings go to a folder of their own, not beside this tool.
    QTemporaryDir settings;
    overrideSettingsFolder(settings.path());

    Form1 form;
    form.mTime->setChecked(true);
    form.mSeq->setChecked(true);
    form.mHeader->setChecked(true);
    form.RichTextBox1->setText(QStringLiteral("Z\r\n"
                                              "UNIT g\r\n"
                                              "TARE\r\n"
                                              "PRINT\r\n"
                                              "PRINT\r\n"
                                              "AUTO 1"));
    form.RichTextBox2->setText(QStringLiteral("12-08-2026\r\n"
                                              "14:03:05\r\n"
                                              "Z<AK>,14:03:06,1\r\n"
                                              "UNIT g<AK>,14:03:06,2\r\n"
                                              "12.5,14:03:07,3\r\n"
                                              "12.6,14:03:08,4\r\n"
                                              "14:03:09,12.4,14:03:09,5\r\n"
                                              "12.5,14:03:10,6\r\n"
                                              "12.7<AK>,14:03:11,7\r\n"));
    // As while the port is open: the buttons read Send and Stop.
    form.Command1->setText(QStringLiteral("Send"));
    form.Command2->setText(QStringLiteral("Stop"));
    form.resize(640, 400);
    form.show();
    QApplication::processEvents();
    form.Form_Activate();
    QApplication::processEvents();

    if (!form.grab().save(output, "PNG")) {
        std::fprintf(stderr, "kavrel-screenshot: cannot write %s\n", qPrintable(output));
        return 1;
    }
    std::printf("%s\n", qPrintable(output));
    return 0;
}
