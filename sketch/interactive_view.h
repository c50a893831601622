#pragma once

#include <QGraphicsView>

// A graphics view that zooms about its centre within fixed bounds (one scene
// unit between 0.07 and 100 view units) and moves by view-unit deltas.
class InteractiveView : public QGraphicsView
{
    Q_OBJECT

public:
    explicit InteractiveView(QWidget* parent = nullptr);

    double translateSpeed = 1.0;
    double zoomDelta = 0.1;
    double currentScale; // starts at 1, so it equals the view's scale

public slots:
    void zoomIn();
    void zoomOut();
    void zoom(float scaleFactor);
    void translate(QPointF delta);

protected:
    void wheelEvent(QWheelEvent* event) override;
};
