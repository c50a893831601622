#pragma once

#include <QPolygonF>
#include <QVector2D>
#include <vector>

// The sketch item's copies of the design parameters (scene units: mm, degrees).
struct PrismSketchParameters
{
    float focalLength = 0.0f;
    int resolutionX = 0;
    int resolutionY = 0; // kept for completeness: nothing is drawn from it
    float angleDeg = 0.0f;
    float prismDistance = 0.0f;
    float prismSize = 0.0f;
    float refractiveIndex = 0.0f;
    float virtualCameraPos = 0.0f;
};

// One thing the sketch draws: two points are a line segment, three a closed
// outline. `dashed` marks the shapes drawn with the dashed blue pen.
struct SketchShape
{
    QPolygonF points;
    bool dashed = false;
};

// Everything one paint draws, in drawing order, and the point where the central
// ray of the right half image meets the right prism face.
struct PrismSketch
{
    std::vector<SketchShape> shapes; // only shapes whose points are all finite
    bool centralRayHitDefined = false;
    double centralRayHitX = 0.0;
    double centralRayHitY = 0.0;
};

PrismSketch computePrismSketch(const PrismSketchParameters& p);

// The central ray's hit point on the right face: true and the point when it
// is finite; false with x and y untouched when the ray runs parallel to the face.
bool centralRayHit(const PrismSketchParameters& p, double* x, double* y);

// The law of refraction for light entering glass of index n and for light
// leaving it; v is the ray direction, m the face normal. Not normalised.
QVector2D refractIntoPrism(QVector2D v, QVector2D m, float n);
QVector2D refractOutOfPrism(QVector2D v, QVector2D m, float n);
