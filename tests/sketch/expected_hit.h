#pragma once

#include <QPointF>
#include <cmath>

// Where the central ray of the right half image meets the right prism face:
// plain double-precision line geometry, independent of the sketch code.
inline QPointF expectedHit(double focal, int resolutionX, double angleDeg, double distance, double size)
{
    const double a = angleDeg * 3.14159265358979323846 / 180, half = size / 2, h = half * std::tan(a);
    const double quarter = resolutionX * 0.0055 / 4;
    // ray: y = distance + focal - focal / quarter * x;  face: y = h - h / half * x
    const double x = (distance + focal - h) / (focal / quarter - h / half);
    return {x, h - h / half * x};
}
