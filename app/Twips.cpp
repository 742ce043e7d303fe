// Twips to pixels and back, at the logical DPI of the primary screen (96 DPI: 15 twips a pixel).
#include "app/Twips.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <cmath>

namespace twips {
namespace {

double dotsPerInch()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    const double dpi = screen ? screen->logicalDotsPerInch() : 96.0;
    return dpi > 0 ? dpi : 96.0;
}

} // namespace

int toPixels(double twips)
{
    return int(std::lround(twips * dotsPerInch() / 1440.0));
}

double fromPixels(int pixels)
{
    return pixels * 1440.0 / dotsPerInch();
}

double left(const QWidget *widget)
{
    return fromPixels(widget->x());
}
double top(const QWidget *widget)
{
    return fromPixels(widget->y());
}
double width(const QWidget *widget)
{
    return fromPixels(widget->width());
}
double height(const QWidget *widget)
{
    return fromPixels(widget->height());
}

void setLeft(QWidget *widget, double twips)
{
    widget->move(toPixels(twips), widget->y());
}
void setWidth(QWidget *widget, double twips)
{
    widget->resize(toPixels(twips), widget->height());
}
void setHeight(QWidget *widget, double twips)
{
    widget->resize(widget->width(), toPixels(twips));
}

void setGeometry(QWidget *widget, double left, double top, double width, double height)
{
    widget->setGeometry(toPixels(left), toPixels(top), toPixels(width), toPixels(height));
}

} // namespace twips
