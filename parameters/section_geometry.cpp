#include "parameters/section_geometry.h"

#include <cmath>

SectionLine sectionLineFromAxis(double y0, double x1, double y1)
{
    return {static_cast<float>((y1 - y0) / (x1 - 0.0)), static_cast<float>(y0)};
}

void sectionIntersection(const SectionLine& ray, const SectionLine& face, double* x, double* y)
{
    const float xs = (face.intercept - ray.intercept) / (ray.slope - face.slope);
    *x = static_cast<double>(xs);
    *y = static_cast<double>(ray.slope) * static_cast<double>(xs) + static_cast<double>(ray.intercept);
}

PrismSection prismSection(float prismSize, float angleRad)
{
    PrismSection s;
    s.halfSize = prismSize / 2.0f;
    s.apexHeight = prismSize * std::tan(angleRad) * 0.5f;
    s.rightFace = sectionLineFromAxis(s.apexHeight, s.halfSize, 0.0);
    s.leftFace = sectionLineFromAxis(s.apexHeight, -s.halfSize, 0.0);
    return s;
}

float sectionAngleRadians(float angleDeg)
{
    return static_cast<float>(static_cast<double>(angleDeg) * 3.1415926535898 / 180.0);
}
