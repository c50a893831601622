#pragma once

#include "parameters/panel_parameters.h"

#include <QPolygonF>
#include <QVector2D>
#include <vector>


// One thing the sketch draws: two points are a line segment, three a closed
// outline. `dashed` marks the shapes drawn with the dashed blue pen.
struct SketchShape
{
    QPolygonF points;
    bool dashed = false;
};

// Everything one paint draws, in drawing order (scene units: mm). The sketch
// draws in single precision from the panel's values; the central rays of the
// half images go through the parameter model's centralRayHit.
struct PrismSketch
{
    std::vector<SketchShape> shapes; // only shapes whose points are all finite
};

PrismSketch computePrismSketch(const PanelParameters& p);

// The law of refraction for light entering glass of index n and for light
// leaving it; v is the ray direction, m the face normal. Not normalised.
QVector2D refractIntoPrism(QVector2D v, QVector2D m, float n);
QVector2D refractOutOfPrism(QVector2D v, QVector2D m, float n);
