// The window as designed: menu tree, controls, geometry, fonts, tab order, timer, artwork.
#include "app/Form1.h"
#include "app/Twips.h"
#include "panes/CommonDialog.h"
#include "panes/lines/LinePane.h"
#include "panes/RichTextBox.h"
#include "serial/MSComm.h"
#include "settings/SettingsFile.h"

#include <QAction>
#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

struct Item
{
    QString name;
    QString caption;
};

QList<Item> itemsOf(const QWidget *menu)
{
    QList<Item> items;
    for (const QAction *action : menu->actions()) {
        if (action->isSeparator())
            items.append({action->objectName(), QStringLiteral("-")});
        else if (action->menu())
            items.append({action->menu()->objectName(), action->text()});
        else
            items.append({action->objectName(), action->text()});
    }
    return items;
}

QStringList render(const QList<Item> &items)
{
    QStringList out;
    for (const Item &item : items)
        out << item.name + QLatin1Char('=') + item.caption;
    return out;
}

QStringList group(const char *name, const QStringList &captions)
{
    QStringList out;
    for (int i = 0; i < captions.size(); ++i)
        out << QStringLiteral("%1(%2)=%3").arg(QLatin1String(name)).arg(i).arg(captions.at(i));
    return out;
}

} // namespace

class TestForm1 : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void menuTreeAsDesigned();
    void nothingMarkedDisabledOrGivenAShortcut();
    void controlsAsDesigned();
    void fontsAndLabels();
    void focusStartsOnTheStartButtonAndFollowsTheTabOrder();
    void sendTimerIsPreciseAndStopped();
    void bannerPicturesAreAMaskAndAColourLayer();
    void applicationIconHasBothSizes();

private:
    QTemporaryDir m_dir;
};

void TestForm1::init()
{
    QVERIFY(m_dir.isValid());
    overrideSettingsFolder(m_dir.path());
}

void TestForm1::cleanup()
{
    QVERIFY(QApplication::topLevelWidgets().isEmpty()
            || std::none_of(QApplication::topLevelWidgets().cbegin(),
                            QApplication::topLevelWidgets().cend(),
                            [](QWidget *w) { return w->isVisible(); }));
}

void TestForm1::menuTreeAsDesigned()
{
    Form1 form;
    QCOMPARE(
        render(itemsOf(form.menuBar())),
        QStringList({"mFile=File(&F)", "mRS=RS232C(&R)", "mTimer=Wait(&W)", "mOption=Option(&O)"}));
    QCOMPARE(render(itemsOf(form.mFile)),
             QStringList({"mOpen=Open(&O)", "mNew=New(&N)", "mSave=Save(&S)", "mPrint=Print(&P)",
                          "m=-", "mEnd=End(&X)"}));
    QCOMPARE(render(itemsOf(form.mNew)),
             QStringList({"N_Send=Send Data", "N_Received=Received Data"}));
    QCOMPARE(render(itemsOf(form.mSave)),
             QStringList({"S_Send=Send Data", "S_Received=Received Data"}));
    QCOMPARE(render(itemsOf(form.mPrint)),
             QStringList({"P_Send=Send Data", "P_Received=Received Data"}));
    QCOMPARE(render(itemsOf(form.mRS)),
             QStringList({"RS0=Port(&O)", "RS1=Baud Rate(&B)", "RS2=Parity(&P)", "RS3=Length(&L)",
                          "RS4=Stop Bit(&S)", "RS5=Terminator(&T)"}));
    QCOMPARE(render(itemsOf(form.RS[0])), group("Port", {"1", "2", "3", "4", "5", "6", "7", "8"}));
    QCOMPARE(render(itemsOf(form.RS[1])),
             group("BPS", {"600", "1200", "2400", "4800", "9600", "14400", "19200", "28800"}));
    QCOMPARE(render(itemsOf(form.RS[2])), group("Parity", {"E", "O", "N"}));
    QCOMPARE(render(itemsOf(form.RS[3])), group("Length", {"7", "8"}));
    QCOMPARE(render(itemsOf(form.RS[4])), group("Bit", {"1", "1.5", "2"}));
    QCOMPARE(render(itemsOf(form.RS[5])), group("Term", {"CR/LF", "CR"}));
    QCOMPARE(render(itemsOf(form.mTimer)),
             group("Wait",
                   {"0.0", "0.1", "0.2", "0.3", "0.4", "0.5", "0.6", "0.7", "0.8", "0.9", "1.0"}));
    QCOMPARE(render(itemsOf(form.mOption)),
             QStringList({"mTime=Time(&T)", "mDate=Date(&D)", "mSeq=Seq. No.(&N)",
                          "mHeader=Header(&H)", "mFooter=Footer(&F)"}));

    // Every designed object can be found by its name.
    for (const char *name : {"Command1", "Command2", "RichTextBox1", "RichTextBox2", "Label1",
                             "Label2", "Image1", "Image2"})
        QVERIFY2(form.findChild<QWidget *>(QLatin1String(name)), name);
    QVERIFY(form.findChild<QTimer *>(QStringLiteral("Timer1")));
    QVERIFY(form.findChild<MSComm *>(QStringLiteral("MSComm1")));
    QVERIFY(form.findChild<CommonDialog *>(QStringLiteral("CommonDialog1")));
    QCOMPARE(form.CommonDialog1->Filter(), QStringLiteral("Text File(*.txt)|*.txt"));
}

void TestForm1::nothingMarkedDisabledOrGivenAShortcut()
{
    Form1 form;
    const QList<QAction *> all = form.findChildren<QAction *>();
    QVERIFY(all.size() > 40);
    for (const QAction *action : all) {
        QVERIFY2(action->shortcut().isEmpty(), qPrintable(action->objectName()));
        QVERIFY2(action->isVisible(), qPrintable(action->objectName()));
    }
    QVERIFY(form.mRS->menuAction()->isEnabled());
    QVERIFY(form.mTimer->menuAction()->isEnabled());
    // Only the settings load may have marked anything: one per group, never two.
    for (const auto *items : {&form.Port, &form.BPS}) {
        QVERIFY(
            std::count_if(items->cbegin(), items->cend(), [](QAction *a) { return a->isChecked(); })
            <= 1);
    }
}

void TestForm1::controlsAsDesigned()
{
    Form1 form;
    // 15 twips a pixel at 96 DPI: the designed twips convert exactly or within a pixel.
    struct Expected
    {
        QWidget *widget;
        double left, top, width, height;
    };
    const Expected expected[] = {
        {form.Command2, 2400, 1200, 2385, 345},     {form.Command1, 120, 1200, 2265, 345},
        {form.RichTextBox1, 105, 1920, 2250, 2310}, {form.RichTextBox2, 2400, 1920, 2385, 2295},
        {form.Image1, 105, 0, 2835, 1140},          {form.Image2, 120, 0, 2835, 1140},
    };
    const double pixel = twips::fromPixels(1);
    for (const Expected &e : expected) {
        const char *name = qPrintable(e.widget->objectName());
        QVERIFY2(qAbs(twips::left(e.widget) - e.left) < pixel, name);
        QVERIFY2(qAbs(twips::top(e.widget) - e.top) < pixel, name);
        QVERIFY2(qAbs(twips::width(e.widget) - e.width) < pixel, name);
        QVERIFY2(qAbs(twips::height(e.widget) - e.height) < pixel, name);
    }
    QVERIFY(qAbs(twips::left(form.Label1) - 120) < pixel);
    QVERIFY(qAbs(twips::top(form.Label2) - 1680) < pixel);
    QVERIFY(qAbs(twips::width(form.centralWidget()) - 4875) < pixel);
    QVERIFY(qAbs(twips::height(form.centralWidget()) - 4305) < pixel);
    QVERIFY(!form.Image1->isVisibleTo(&form));
    QVERIFY(!form.Image2->isVisibleTo(&form));
    QCOMPARE(form.Command1->text(), QStringLiteral("Start"));
    QCOMPARE(form.Command2->text(), QStringLiteral("End"));
    QCOMPARE(form.RichTextBox1->Text(), QString());
    QCOMPARE(form.RichTextBox2->Text(), QString());
    QVERIFY(!form.RichTextBox1->Locked());
    QVERIFY(!form.MSComm1->PortOpen());
}

void TestForm1::fontsAndLabels()
{
    Form1 form;
    QCOMPARE(form.Label1->text(), QStringLiteral("Send Data"));
    QCOMPARE(form.Label2->text(), QStringLiteral("Received Data"));
    for (QWidget *w :
         {static_cast<QWidget *>(form.Command1), static_cast<QWidget *>(form.Command2),
          static_cast<QWidget *>(form.Label1), static_cast<QWidget *>(form.Label2),
          static_cast<QWidget *>(form.RichTextBox1), static_cast<QWidget *>(form.RichTextBox2)}) {
        QVERIFY2(QFontInfo(w->font()).fixedPitch(), qPrintable(w->objectName()));
    }
    QVERIFY(form.Command1->font().bold());
    QVERIFY(form.Command2->font().bold());
    QVERIFY(!form.RichTextBox1->font().bold());
    QCOMPARE(form.Command1->font().pointSizeF(), 9.75);
    QCOMPARE(form.Label1->font().pointSizeF(), 9.75);
    QCOMPARE(form.RichTextBox2->font().pointSizeF(), 10.0);
    // Auto-sized labels: as wide as their text, no wider.
    QCOMPARE(form.Label2->width(), form.Label2->sizeHint().width());
    QVERIFY(form.Label2->width() > form.Label1->width());
}

void TestForm1::focusStartsOnTheStartButtonAndFollowsTheTabOrder()
{
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form) || form.isVisible());
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(form.Command1));

    QWidget *expected[] = {form.RichTextBox1, form.RichTextBox2, form.Command2, form.Command1};
    for (QWidget *next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
    QCOMPARE(form.Label1->focusPolicy(), Qt::NoFocus);
    form.hide();
}

void TestForm1::sendTimerIsPreciseAndStopped()
{
    Form1 form;
    QCOMPARE(form.Timer1->interval(), 10);
    QCOMPARE(form.Timer1->timerType(), Qt::PreciseTimer);
    QVERIFY(!form.Timer1->isActive());
}

void TestForm1::bannerPicturesAreAMaskAndAColourLayer()
{
    const QImage mask(QStringLiteral(":/banner-mask.png"));
    const QImage colour(QStringLiteral(":/banner-colour.png"));
    QCOMPARE(mask.size(), QSize(189, 76));
    QCOMPARE(colour.size(), QSize(189, 76));
    QCOMPARE(mask.depth(), 1);
    QCOMPARE(colour.depth(), 8);
    QCOMPARE(colour.colorCount(), 256);

    int blue = 0, lettering = 0, ink = 0;
    for (int y = 0; y < 76; ++y) {
        for (int x = 0; x < 189; ++x) {
            const QRgb m = mask.pixel(x, y);
            const QRgb c = colour.pixel(x, y);
            QVERIFY(m == qRgb(0, 0, 0) || m == qRgb(255, 255, 255));
            QVERIFY(c == qRgb(0, 0, 0) || c == qRgb(0, 0, 255));
            // Blue only where the mask is opaque (black).
            if (c == qRgb(0, 0, 255)) {
                QCOMPARE(m, qRgb(0, 0, 0));
                ++blue;
            } else if (m == qRgb(0, 0, 0)) {
                ++lettering;
            }
            ink += m == qRgb(0, 0, 0);
        }
    }
    // A wordmark in blue and a line of black lettering, on a mostly clear ground.
    QVERIFY(blue > 1000);
    QVERIFY(lettering > 100);
    QVERIFY(ink < 189 * 76 / 2);
}

void TestForm1::applicationIconHasBothSizes()
{
    for (int size : {16, 32}) {
        const QImage icon(QStringLiteral(":/kavrel-%1.png").arg(size));
        QCOMPARE(icon.size(), QSize(size, size));
        QVERIFY(icon.hasAlphaChannel());
        QCOMPARE(qAlpha(icon.pixel(0, 0)), 0);
        int white = 0, black = 0;
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                const QRgb p = icon.pixel(x, y);
                if (qAlpha(p) < 200)
                    continue;
                white += qGray(p) > 200;
                black += qGray(p) < 60;
            }
        }
        QVERIFY(white > size);
        QVERIFY(black > size);
    }
}

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
