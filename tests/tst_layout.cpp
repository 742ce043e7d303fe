// The window's two-column layout at any size, its two guards, and the banner at the top.
#include "app/Form1.h"
#include "app/Twips.h"
#include "panes/lines/LinePane.h"
#include "panes/RichTextBox.h"
#include "settings/SettingsFile.h"

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <memory>

namespace {

// One pixel at 96 DPI: positions may be off by the rounding of twips to pixels.
constexpr double onePixel = 15.0;

struct Edges
{
    double left, right, top, bottom;
};

Edges edgesOf(const QWidget *widget)
{
    return {twips::left(widget), twips::left(widget) + twips::width(widget), twips::top(widget),
            twips::top(widget) + twips::height(widget)};
}

bool near(double actual, double expected)
{
    return std::abs(actual - expected) <= onePixel;
}

QString describe(const char *name, const Edges &actual, const Edges &expected)
{
    return QStringLiteral("%1: left %2 right %3 top %4 bottom %5, expected %6 %7 %8 %9")
        .arg(QLatin1String(name))
        .arg(actual.left)
        .arg(actual.right)
        .arg(actual.top)
        .arg(actual.bottom)
        .arg(expected.left)
        .arg(expected.right)
        .arg(expected.top)
        .arg(expected.bottom);
}

// The layout for client width W and height H (twips), as the window's table gives it.
void verifyLayout(Form1 &form, double W, double H)
{
    const double w = W / 2 - 100;
    const struct
    {
        const char *name;
        QWidget *widget;
        Edges expected;
    } rows[] = {
        {"Command1", form.Command1, {120, 120 + w, 1200, 1545}},
        {"Command2", form.Command2, {120 + w, W - 80, 1200, 1545}},
        {"RichTextBox1", form.RichTextBox1, {105, 105 + w, 1920, H - 100}},
        {"RichTextBox2", form.RichTextBox2, {105 + w, W - 95, 1920, H - 100}},
    };
    for (const auto &row : rows) {
        const Edges actual = edgesOf(row.widget);
        QVERIFY2(near(actual.left, row.expected.left) && near(actual.right, row.expected.right)
                     && near(actual.top, row.expected.top)
                     && near(actual.bottom, row.expected.bottom),
                 qPrintable(describe(row.name, actual, row.expected)));
    }
    // The buttons and the panes each touch, with no gap between the columns.
    QCOMPARE(form.Command2->x(), form.Command1->geometry().right() + 1);
    QCOMPARE(form.RichTextBox2->x(), form.RichTextBox1->geometry().right() + 1);
    QCOMPARE(form.Label2->x(), form.RichTextBox2->x());
    QVERIFY(near(twips::left(form.Label1), 120) && near(twips::top(form.Label1), 1680));
    QVERIFY(near(twips::top(form.Label2), 1680));
}

// Shows the window with a client area of the given size in pixels.
bool showWithClient(Form1 &form, QSize client)
{
    form.resize(client.width(), client.height() + form.menuBar()->sizeHint().height());
    form.show();
    if (!QTest::qWaitForWindowExposed(&form))
        return false;
    if (form.centralWidget()->size() != client)
        form.resize(form.size() + client - form.centralWidget()->size());
    return QTest::qWaitFor([&] { return form.centralWidget()->size() == client; }, 5000);
}

QList<QWidget *> laidOut(Form1 &form)
{
    return {form.Command1,     form.Command2, form.RichTextBox1,
            form.RichTextBox2, form.Label1,   form.Label2};
}

QList<QRect> geometries(Form1 &form)
{
    QList<QRect> out;
    for (const QWidget *widget : laidOut(form))
        out << widget->geometry();
    return out;
}

// How the banner should look with its left edge at x: the mask's black shape, turned blue
// where the colour layer is blue, over the background everywhere else.
bool bannerAt(const QImage &client, int x, const QImage &mask, const QImage &colour,
              QRgb background, QString *mismatch)
{
    for (int row = 0; row < mask.height(); ++row) {
        for (int column = 0; column < client.width(); ++column) {
            QRgb expected = background;
            const int inside = column - x;
            if (inside >= 0 && inside < mask.width() && qGray(mask.pixel(inside, row)) < 128)
                expected = colour.pixel(inside, row) | 0xff000000;
            const QRgb actual = client.pixel(column, row) | 0xff000000;
            if (actual != (expected | 0xff000000)) {
                *mismatch = QStringLiteral("x %1: pixel (%2, %3) is #%4, expected #%5")
                                .arg(x)
                                .arg(column)
                                .arg(row)
                                .arg(actual, 8, 16, QLatin1Char('0'))
                                .arg(expected | 0xff000000, 8, 16, QLatin1Char('0'));
                return false;
            }
        }
    }
    return true;
}

// The banner's left edge in the grabbed client area, within a pixel of (W - 189) / 2.
int bannerLeft(Form1 &form, QString *mismatch)
{
    const QImage client = form.centralWidget()->grab().toImage();
    const QImage mask(QStringLiteral(":/banner-mask.png"));
    const QImage colour(QStringLiteral(":/banner-colour.png"));
    const QRgb background = form.centralWidget()->palette().color(QPalette::Window).rgb();
    const double centred = (client.width() - mask.width()) / 2.0;
    for (int x : {int(std::floor(centred)), int(std::ceil(centred))}) {
        if (bannerAt(client, x, mask, colour, background, mismatch))
            return x;
    }
    return std::numeric_limits<int>::min();
}

} // namespace

class TestLayout : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void columnsAndHeightsFollowTheClientArea_data();
    void columnsAndHeightsFollowTheClientArea();
    void guardsKeepTheLastGeometry_data();
    void guardsKeepTheLastGeometry();
    void minimizeAndRestoreKeepTheLayout();
    void bannerCentredAtTheTop_data();
    void bannerCentredAtTheTop();
    void bannerMovesOnlyOnActivation();

private:
    std::unique_ptr<QTemporaryDir> m_settings;
};

void TestLayout::initTestCase()
{
    Q_INIT_RESOURCE(kavrel_resources);
    QStandardPaths::setTestModeEnabled(true);
    QApplication::setQuitOnLastWindowClosed(false);
    // The expectations count 15 twips a pixel.
    QCOMPARE(twips::toPixels(1440), 96);
}

void TestLayout::init()
{
    m_settings = std::make_unique<QTemporaryDir>();
    QVERIFY(m_settings->isValid());
    overrideSettingsFolder(m_settings->path());
}

void TestLayout::cleanup()
{
    QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty());
}

void TestLayout::columnsAndHeightsFollowTheClientArea_data()
{
    QTest::addColumn<QSize>("client");
    QTest::newRow("design size 4875 x 4305") << QSize(325, 287);
    QTest::newRow("larger") << QSize(640, 480);
    QTest::newRow("odd pixel counts") << QSize(401, 333);
    QTest::newRow("wide and short") << QSize(1200, 160);
    QTest::newRow("panes a pixel high") << QSize(500, 136);
}

void TestLayout::columnsAndHeightsFollowTheClientArea()
{
    QFETCH(QSize, client);
    Form1 form;
    QVERIFY(showWithClient(form, client));
    verifyLayout(form, client.width() * 15.0, client.height() * 15.0);
}

void TestLayout::guardsKeepTheLastGeometry_data()
{
    QTest::addColumn<QSize>("first");
    QTest::addColumn<QSize>("second");
    QTest::addColumn<bool>("columnsFollow");
    QTest::addColumn<bool>("heightsFollow");
    // 2020 twips high (134.7 pixels) or 200 wide (13.3 pixels) are the limits.
    QTest::newRow("very low window still gets its columns")
        << QSize(325, 287) << QSize(700, 134) << true << false;
    QTest::newRow("very narrow window keeps its columns")
        << QSize(500, 287) << QSize(13, 400) << false << true;
    QTest::newRow("both too small") << QSize(400, 300) << QSize(10, 20) << false << false;
    QTest::newRow("just inside both limits") << QSize(325, 287) << QSize(14, 135) << true << true;
}

void TestLayout::guardsKeepTheLastGeometry()
{
    QFETCH(QSize, first);
    QFETCH(QSize, second);
    QFETCH(bool, columnsFollow);
    QFETCH(bool, heightsFollow);

    Form1 form;
    QVERIFY(showWithClient(form, first));
    const QList<QRect> before = geometries(form);

    QVERIFY(showWithClient(form, second));

    const double W = (columnsFollow ? second : first).width() * 15.0;
    const double H = (heightsFollow ? second : first).height() * 15.0;
    verifyLayout(form, W, H);
    const QList<QRect> after = geometries(form);
    for (qsizetype i = 0; i < before.size(); ++i) {
        if (!columnsFollow) {
            QCOMPARE(after[i].x(), before[i].x());
            QCOMPARE(after[i].width(), before[i].width());
        }
        if (!heightsFollow)
            QCOMPARE(after[i].height(), before[i].height());
    }
}

void TestLayout::minimizeAndRestoreKeepTheLayout()
{
    Form1 form;
    QVERIFY(showWithClient(form, QSize(480, 360)));
    const QList<QRect> before = geometries(form);
    verifyLayout(form, 480 * 15.0, 360 * 15.0);

    form.showMinimized();
    QTRY_VERIFY(form.isMinimized());
    form.showNormal();
    QTRY_VERIFY(!form.isMinimized());
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCOMPARE(geometries(form), before);
}

void TestLayout::bannerCentredAtTheTop_data()
{
    QTest::addColumn<QSize>("client");
    QTest::newRow("design size: x = 1020 twips") << QSize(325, 287);
    QTest::newRow("wide") << QSize(640, 300);
    QTest::newRow("odd width") << QSize(402, 300);
    QTest::newRow("narrower than the banner, clipped both sides") << QSize(150, 300);
}

void TestLayout::bannerCentredAtTheTop()
{
    QFETCH(QSize, client);
    Form1 form;
    QVERIFY(showWithClient(form, client));

    QString mismatch;
    const int x = bannerLeft(form, &mismatch);
    QVERIFY2(x != std::numeric_limits<int>::min(), qPrintable(mismatch));
    if (client.width() == 325)
        QCOMPARE(x * 15, 1020);

    // The banner holds blue wordmark pixels and black lettering, and stays above the buttons.
    const QImage image = form.centralWidget()->grab().toImage();
    int blue = 0;
    int black = 0;
    for (int row = 0; row < 76; ++row) {
        for (int column = 0; column < image.width(); ++column) {
            const QRgb pixel = image.pixel(column, row) | 0xff000000;
            blue += pixel == qRgb(0, 0, 255);
            black += pixel == qRgb(0, 0, 0);
        }
    }
    QVERIFY2(blue > 100 && black > 20, qPrintable(QStringLiteral("%1 %2").arg(blue).arg(black)));
    QVERIFY(form.Command1->y() >= 76);
}

void TestLayout::bannerMovesOnlyOnActivation()
{
    Form1 form;
    QVERIFY(showWithClient(form, QSize(325, 287)));
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QString mismatch;
    QCOMPARE(bannerLeft(form, &mismatch), 68);

    // A resize does not move it: the banner stays where the last activation put it.
    QVERIFY(showWithClient(form, QSize(525, 287)));
    const QImage client = form.centralWidget()->grab().toImage();
    const QImage mask(QStringLiteral(":/banner-mask.png"));
    const QImage colour(QStringLiteral(":/banner-colour.png"));
    const QRgb background = form.centralWidget()->palette().color(QPalette::Window).rgb();
    QVERIFY2(bannerAt(client, 68, mask, colour, background, &mismatch), qPrintable(mismatch));

    // Another window takes the focus and gives it back: the banner is centred again.
    QWidget other;
    other.resize(100, 100);
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(bannerLeft(form, &mismatch), 168);
}

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
