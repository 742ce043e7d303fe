// Printing the received pane page by page from its store, as the send pane's document prints:
// 2 cm margins, long lines wrapped, the page number at the foot of each page.
#include "panes/lines/LinePane.h"

#include "panes/lines/LineMarks.h"

#include <QPainter>
#include <QPrinter>
#include <QTextLayout>

bool LinePane::SelPrint(QPrinter *printer)
{
    qint64 from = std::min(m_anchor, m_caret);
    qint64 to = std::max(m_anchor, m_caret);
    if (from == to) {
        from = 0;
        to = m_store.size();
    }
    QPainter painter;
    if (!painter.begin(printer)) {
        m_errorString = tr("The printer reported an error.");
        return false;
    }
    const QFont font(this->font(), printer);
    painter.setFont(font);
    painter.setPen(Qt::black);
    const qreal margin = 2 / 2.54 * printer->logicalDpiY();
    const QRectF body(margin, margin, printer->width() - 2 * margin,
                      printer->height() - 2 * margin);
    const QFontMetricsF metrics(font, printer);
    int page = 1;
    const auto footer = [&] {
        const QString number = QString::number(page);
        painter.drawText(
            QPointF(body.right() - metrics.horizontalAdvance(number),
                    body.bottom() + metrics.ascent() + 5 * printer->logicalDpiY() / 72.0),
            number);
    };

    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    // In the pane's pixels: the layout scales it to the printer with the font it is given.
    option.setTabStopDistance(80);
    qreal y = body.top();
    const LineStore::Place first = m_store.place(from);
    const LineStore::Place last = m_store.place(to);
    qint64 line = first.line;
    bool sound = true;
    m_store.forEachLine(
        first.line, last.line,
        [&](auto view) {
            const qsizetype start = line == first.line ? first.column : 0;
            const qsizetype end = line == last.line ? last.column : view.size();
            ++line;
            QString text = view.sliced(start, end - start).toString();
            showMarks(text);
            QTextLayout layout(text, font, printer);
            layout.setTextOption(option);
            layout.beginLayout();
            for (QTextLine row = layout.createLine(); row.isValid(); row = layout.createLine())
                row.setLineWidth(body.width());
            layout.endLayout();
            // An empty line still takes a row.
            for (int i = 0; i < layout.lineCount(); ++i) {
                const QTextLine row = layout.lineAt(i);
                if (y + row.height() > body.bottom() && y > body.top()) {
                    footer();
                    sound = sound && printer->newPage();
                    ++page;
                    y = body.top();
                }
                row.draw(&painter, QPointF(body.left(), y - row.y()));
                y += row.height();
            }
        },
        [] {});
    footer();
    painter.end();
    if (!sound || printer->printerState() == QPrinter::Error) {
        m_errorString = tr("The printer reported an error.");
        return false;
    }
    m_errorString.clear();
    return true;
}
