#pragma once

#include "sketch/prism_geometry.h"

#include <QGraphicsItem>

// The 2D cross-section of camera, prism, rays and virtual cameras. It draws
// from its own copies of the design parameters, which the main window's value
// slots keep current, and remembers the central ray's hit point of its latest
// paint for the design computation.
class Prismitem : public QGraphicsItem
{
public:
    Prismitem(double itemWidth, double itemHeight);

    QRectF boundingRect() const override;
    QPainterPath shape() const override;
    void paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget* widget) override;

    QVector2D refractIntoPrism(QVector2D v, QVector2D m) const;
    QVector2D refractOutOfPrism(QVector2D v, QVector2D m) const;

    // The copies as one record, for the geometry functions.
    PrismSketchParameters parameters() const;
    // The stored point for the current copies, as the next paint would leave
    // it; a design must not start from a point painted for older values.
    void updateCentralRayHit();

    float focalLength = 0.0f;
    int resolutionX = 0;
    int resolutionY = 0;
    float angleDeg = 0.0f;
    float prismDistance = 0.0f;
    float prismSize = 0.0f;
    float refractiveIndex = 0.0f;
    float virtualCameraPos = 0.0f;
    // Keeps its last finite value while the central ray runs parallel to the face.
    double centralRayHitX = 0.0;
    double centralRayHitY = 0.0;
    double itemWidth;
    double itemHeight;
};
