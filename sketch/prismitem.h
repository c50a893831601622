#pragma once

#include "sketch/prism_geometry.h"

#include <QGraphicsItem>

// The 2D cross-section of camera, prism, rays and virtual cameras, drawn
// from the panel's parameters, which the main window hands it on every
// change. It draws only: the design takes nothing from it.
class Prismitem : public QGraphicsItem
{
public:
    Prismitem(double itemWidth, double itemHeight);

    QRectF boundingRect() const override;
    QPainterPath shape() const override;
    void paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget* widget) override;

    QVector2D refractIntoPrism(QVector2D v, QVector2D m) const;
    QVector2D refractOutOfPrism(QVector2D v, QVector2D m) const;

    const PanelParameters& parameters() const { return parameters_; }
    // New values; the caller asks for the repaint.
    void setParameters(const PanelParameters& parameters) { parameters_ = parameters; }

    double itemWidth;
    double itemHeight;

private:
    PanelParameters parameters_;
};
