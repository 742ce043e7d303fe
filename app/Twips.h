// Window geometry in twips (1/1440 inch), converted by the screen's logical DPI.
#pragma once

class QWidget;

namespace twips {
int toPixels(double twips);
double fromPixels(int pixels);

double left(const QWidget *widget);
double top(const QWidget *widget);
double width(const QWidget *widget);
double height(const QWidget *widget);
void setLeft(QWidget *widget, double twips);
void setWidth(QWidget *widget, double twips);
void setHeight(QWidget *widget, double twips);
void setGeometry(QWidget *widget, double left, double top, double width, double height);
} // namespace twips
