// Draws Kavrel's artwork into a folder: the application icon at the theme sizes and the
// banner pair (1-bit mask, blue-on-black colour layer). Run by hand when the artwork changes:
//   QT_QPA_PLATFORM=offscreen make-artwork app/resources
#include <QDir>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>

#include <cstdio>
#include <functional>

namespace {

// The icon in a 32-unit square: four flat white slabs stacked in perspective, black outlines,
// a dot at each end, the top slab curling back at its right end.
void drawIcon(QPainter &p, double unit)
{
    p.scale(unit, unit);
    const QPen outline(Qt::black, unit >= 1.5 ? 1.1 : 1.0, Qt::SolidLine, Qt::RoundCap,
                       Qt::RoundJoin);
    const double slabHeight = 3.6;
    for (int i = 3; i >= 0; --i) {
        const double top = 11.5 + i * 4.8;
        const double left = 2.5 + i * 0.9;
        const double right = 26.0 + i * 0.9;
        QPainterPath slab;
        slab.moveTo(left + 2.0, top);
        if (i == 0) {
            // The top slab runs on and curls back over itself at the right end.
            slab.lineTo(right - 1.0, top);
            slab.cubicTo(right + 5.5, top - 0.2, right + 5.0, top - 8.0, right - 0.5, top - 7.0);
            slab.cubicTo(right - 3.5, top - 6.4, right - 3.2, top - 3.2, right - 0.8, top - 3.2);
            slab.cubicTo(right + 1.6, top - 3.2, right + 1.4, top + slabHeight - 0.6, right - 1.0,
                         top + slabHeight);
        } else {
            slab.lineTo(right, top);
            slab.lineTo(right - 2.0, top + slabHeight);
        }
        slab.lineTo(left, top + slabHeight);
        slab.closeSubpath();
        p.setPen(outline);
        p.setBrush(Qt::white);
        p.drawPath(slab);

        p.setPen(Qt::NoPen);
        p.setBrush(Qt::black);
        const double mid = top + slabHeight / 2.0;
        p.drawEllipse(QPointF(left + 2.4, mid), 1.05, 1.05);
        p.drawEllipse(QPointF(right - 2.6, mid), 1.05, 1.05);
    }
}

// The small sizes are drawn pixel by pixel on a 16-pixel grid, so their outlines stay crisp.
QImage pixelIcon(int size)
{
    const char *rows[16] = {
        "................", "...........###..", "..........#ooo#.", "..........#o##o#",
        "..#########o#.#o", ".#o#ooooo#o#o##o", ".##########oo#o#", "..##########oo#.",
        "..#o#ooooo#o###.", "..##########....", ".##########.....", ".#o#ooooo#o#....",
        ".##########.....", "..##########....", "..#o#ooooo#o#...", "..##########....",
    };
    QImage small(16, 16, QImage::Format_ARGB32);
    small.fill(Qt::transparent);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            if (rows[y][x] == '#')
                small.setPixel(x, y, qRgba(0, 0, 0, 255));
            else if (rows[y][x] == 'o')
                small.setPixel(x, y, qRgba(255, 255, 255, 255));
        }
    }
    return small.scaled(size, size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

QImage icon(int size)
{
    if (size <= 32)
        return pixelIcon(size);
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    drawIcon(p, size / 32.0);
    p.end();
    return image;
}

// The banner drawn 4x larger with antialiasing, reduced, then cut at half grey: smooth
// outlines in a 1-bit picture. Returns two 8-bit masks (0 = ink), wordmark and lettering.
QImage inkAt(int width, int height, const std::function<void(QPainter &)> &draw)
{
    const int scale = 4;
    QImage big(width * scale, height * scale, QImage::Format_Grayscale8);
    big.fill(Qt::white);
    QPainter p(&big);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.scale(scale, scale);
    draw(p);
    p.end();
    return big.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

void drawWordmark(QPainter &p)
{
    QFont font(QStringLiteral("Liberation Sans"));
    font.setBold(true);
    font.setPixelSize(50);
    font.setLetterSpacing(QFont::AbsoluteSpacing, -1.0);
    QPainterPath path;
    const QString word = QStringLiteral("Kavrel");
    const double advance = QFontMetricsF(font).horizontalAdvance(word);
    path.addText((189.0 - advance) / 2.0, 46.0, font, word);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    p.drawPath(path);
    // A rule under the wordmark, the line the lettering hangs from.
    p.drawRect(QRectF(12.0, 52.0, 165.0, 2.0));
}

void drawLettering(QPainter &p)
{
    QFont font(QStringLiteral("Liberation Sans"));
    font.setBold(true);
    font.setPixelSize(11);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 1.6);
    const QString text = QStringLiteral("RS-232C TERMINAL");
    const double advance = QFontMetricsF(font).horizontalAdvance(text);
    QPainterPath path;
    path.addText((189.0 - advance) / 2.0, 69.0, font, text);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    p.drawPath(path);
}

bool writeBanner(const QDir &dir)
{
    const int w = 189, h = 76;
    const QImage word = inkAt(w, h, drawWordmark);
    const QImage letters = inkAt(w, h, drawLettering);

    QImage mask(w, h, QImage::Format_Mono);
    mask.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
    QImage colour(w, h, QImage::Format_Indexed8);
    QList<QRgb> palette(256, qRgb(0, 0, 0));
    palette[1] = qRgb(0, 0, 255);
    colour.setColorTable(palette);

    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const bool isWord = qGray(word.pixel(x, y)) < 128;
            const bool isLetter = qGray(letters.pixel(x, y)) < 128;
            mask.setPixel(x, y, isWord || isLetter ? 0 : 1);
            colour.setPixel(x, y, isWord ? 1 : 0);
        }
    }
    return mask.save(dir.filePath(QStringLiteral("banner-mask.png")))
        && colour.save(dir.filePath(QStringLiteral("banner-colour.png")));
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-artwork <folder>\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    bool ok = writeBanner(dir);
    for (int size : {16, 32, 48, 64, 128, 256})
        ok = icon(size).save(dir.filePath(QStringLiteral("kavrel-%1.png").arg(size))) && ok;
    if (!ok)
        std::fprintf(stderr, "make-artwork: could not write into %s\n", argv[1]);
    return ok ? 0 : 1;
}
