#include "sketch/prismitem.h"

#include <QBrush>
#include <QPainter>
#include <QPen>

Prismitem::Prismitem(double itemWidth, double itemHeight) : itemWidth(itemWidth), itemHeight(itemHeight) {}

QRectF Prismitem::boundingRect() const
{
    return QRectF(-itemWidth / 2 - 1, -itemHeight / 2 - 1, itemWidth + 2, itemHeight + 2);
}

QPainterPath Prismitem::shape() const
{
    QPainterPath path;
    path.addRect(-itemWidth / 2, -itemHeight / 2, itemWidth, itemHeight);
    return path;
}

QVector2D Prismitem::refractIntoPrism(QVector2D v, QVector2D m) const
{
    return ::refractIntoPrism(v, m, parameters_.designRefractiveIndex());
}

QVector2D Prismitem::refractOutOfPrism(QVector2D v, QVector2D m) const
{
    return ::refractOutOfPrism(v, m, parameters_.designRefractiveIndex());
}

void Prismitem::paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*)
{
    const PrismSketch sketch = computePrismSketch(parameters_);
    painter->setRenderHint(QPainter::Antialiasing);
    bool dashedPen = false;
    for (const SketchShape& shape : sketch.shapes) {
        if (shape.dashed && !dashedPen) {
            painter->setPen(QPen(QBrush(Qt::blue, Qt::SolidPattern), 1.0, Qt::DashLine, Qt::SquareCap,
                                 Qt::BevelJoin));
            dashedPen = true;
        }
        if (shape.points.size() == 2) {
            const QLineF line(shape.points[0], shape.points[1]);
            painter->drawLines(&line, 1);
        } else {
            painter->drawPolygon(shape.points.constData(), shape.points.size(), Qt::OddEvenFill);
        }
    }
}
