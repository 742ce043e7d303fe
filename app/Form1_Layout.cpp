// Window layout in two columns, and the banner at the top of the client area.
#include "app/Form1.h"

#include "app/Twips.h"
#include "panes/lines/LinePane.h"
#include "panes/RichTextBox.h"

#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>

namespace {

// Positions are figured in single precision on twips, and every value copied from a control
// is read back from it, so the copy is what the control reports after its assignment.
float leftOf(const QWidget *widget)
{
    return float(twips::left(widget));
}

float widthOf(const QWidget *widget)
{
    return float(twips::width(widget));
}

float topOf(const QWidget *widget)
{
    return float(twips::top(widget));
}

float heightOf(const QWidget *widget)
{
    return float(twips::height(widget));
}

} // namespace

void Form1::Form_Resize()
{
    const QWidget *client = centralWidget();
    const float W = float(twips::fromPixels(client->width()));
    const float H = float(twips::fromPixels(client->height()));

    // A minimized window may report a client area too small for either guard; the controls
    // then keep their last geometry in that direction.
    const float w = W / 2 - 100;
    if (w > 0) {
        twips::setWidth(Command1, w);
        twips::setLeft(Command2, leftOf(Command1) + widthOf(Command1));
        twips::setWidth(Command2, widthOf(Command1));
        twips::setWidth(RichTextBox1, widthOf(Command1));
        twips::setLeft(RichTextBox2, leftOf(RichTextBox1) + widthOf(RichTextBox1));
        twips::setWidth(RichTextBox2, widthOf(RichTextBox1));
        twips::setLeft(Label2, leftOf(RichTextBox2));
    }

    const float h = H - topOf(RichTextBox1) - 100;
    if (h > 0) {
        twips::setHeight(RichTextBox1, h);
        twips::setHeight(RichTextBox2, heightOf(RichTextBox1));
    }
}

void Form1::Form_Activate()
{
    QWidget *client = centralWidget();
    const float W = float(twips::fromPixels(client->width()));
    const float x = (W - widthOf(Image1)) / 2;
    const int oldX = m_bannerX;
    m_bannerX = twips::toPixels(x);
    m_bannerDrawn = true;
    // Qt paints only in paint events: ask for the banner's old and new places to be painted.
    const QSize size = Image1->pixmap().size();
    client->update(QRect(QPoint(oldX, 0), size));
    client->update(QRect(QPoint(m_bannerX, 0), size));
}

void Form1::paintBanner(QWidget *surface)
{
    if (!m_bannerDrawn)
        return;
    // The mask blackens the banner's shape and leaves the background elsewhere; the colour
    // layer then turns the wordmark blue and leaves the rest as it is.
    QPainter painter(surface);
    painter.setCompositionMode(QPainter::RasterOp_SourceAndDestination);
    painter.drawPixmap(m_bannerX, 0, Image1->pixmap());
    painter.setCompositionMode(QPainter::RasterOp_SourceOrDestination);
    painter.drawPixmap(m_bannerX, 0, Image2->pixmap());
}
