#include "sketch/interactive_view.h"

#include <QWheelEvent>

InteractiveView::InteractiveView(QWidget* parent) : QGraphicsView(parent), currentScale(1.0) {}

void InteractiveView::zoomIn()
{
    zoom(static_cast<float>(1 + zoomDelta));
}

void InteractiveView::zoomOut()
{
    zoom(static_cast<float>(1 - zoomDelta));
}

void InteractiveView::zoom(float scaleFactor)
{
    const double factor = scaleFactor;
    QTransform scaled = transform();
    scaled.scale(factor, factor);
    const double unit = scaled.mapRect(QRectF(0, 0, 1, 1)).width();
    // A step that would cross a bound is refused whole, not clipped.
    if (unit < 0.07 || unit > 100)
        return;
    scale(factor, factor);
    currentScale *= factor;
}

void InteractiveView::translate(QPointF delta)
{
    delta *= currentScale;
    delta *= translateSpeed;
    setTransformationAnchor(QGraphicsView::AnchorUnderMouse);
    const QRect area = viewport()->rect();
    const QPoint newCentre(static_cast<int>(area.width() / 2 - delta.x()),
                           static_cast<int>(area.height() / 2 - delta.y()));
    centerOn(mapToScene(newCentre));
    setTransformationAnchor(QGraphicsView::AnchorViewCenter);
}

void InteractiveView::wheelEvent(QWheelEvent* event)
{
    if (event->angleDelta().y() > 0)
        zoomIn();
    else if (event->angleDelta().y() < 0)
        zoomOut();
    event->accept();
}
