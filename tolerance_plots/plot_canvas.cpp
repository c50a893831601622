#include "tolerance_plots/plot_canvas.h"

#include <QBuffer>

namespace tolerance {

QByteArray png(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QString number(double v) { return QString::number(v, 'g', 4); }

void startPlot(QImage* image, QPainter* p, int fontPixels, const QString& title)
{
    image->fill(Qt::white);
    p->begin(image);
    p->setRenderHint(QPainter::Antialiasing);
    QFont font = p->font();
    font.setPixelSize(fontPixels);
    p->setFont(font);
    p->drawText(QRect(0, 10, image->width(), 24), Qt::AlignCenter, title);
}

}  // namespace tolerance
