// The prism set-up of a panel worked out from the panel values alone, shared
// by the tests of the refraction, refine and design folders.
#pragma once

#include "design/design_record.h"

#include <cmath>

namespace geometry {

const double pitch = 0.0055;

// A panel; the start heights are where the central ray of the right half
// meets the right face of the flat prism.
inline DesignParameters panel(int focal, float angleDeg, int distance, int size, float index)
{
    DesignParameters p;
    p.focalLength = focal;
    p.angleDeg = angleDeg;
    p.prismDistance = distance;
    p.prismSize = size;
    p.refractiveIndex = index;
    const double theta = double(angleDeg) * M_PI / 180;
    const double apex = std::tan(theta) * size / 2;
    const double F = distance + focal;
    const double q = 1920 * pitch / 4;
    // Ray (t q, F - t f) meets z = apex - x tan(theta).
    const double t = (F - apex) / (focal - q * std::tan(theta));
    p.centralRayHitX = t * q;
    p.centralRayHitY = F - t * focal;
    return p;
}

// Three panel settings; 0 holds the start values.
inline DesignParameters panelSet(int which)
{
    switch (which) {
    case 1: return panel(50, 25.0f, 160, 120, 1.52f);
    case 2: return panel(30, 18.0f, 180, 110, 1.55f);
    default: return panel(35, 20.0f, 175, 100, 1.48f);
    }
}

struct Vec {
    double x, y, z;
};
inline Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec operator*(double s, Vec a) { return {s * a.x, s * a.y, s * a.z}; }
inline double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec unit(Vec a) { return (1 / std::sqrt(dot(a, a))) * a; }

// |cos| between the surface tangent and its normal by the law of refraction,
// n u - s, with u the ray inside the glass and s the one outside: zero where
// the law holds.
inline double misfit(Vec tangent, Vec inside, Vec outside, double n)
{
    const Vec normal = n * unit(inside) - unit(outside);
    return std::fabs(dot(tangent, normal)) / std::sqrt(dot(tangent, tangent) * dot(normal, normal));
}

// Camera ray from (0, 0, F) through pixel (x, y); virtual ray of the pixel's
// half from its own pinhole through the pixel shifted by -+q.
struct Setup {
    double F, dz, n, q, pinholeX;
    explicit Setup(const DesignParameters& p)
        : F(p.prismDistance + p.focalLength), dz(-double(p.focalLength)), n(double(p.refractiveIndex)),
          q(1920 * pitch / 4), pinholeX(-p.centralRayHitX)
    {
    }
    Vec cameraPoint(double x, double y, double h) const { return {(h - F) * x / dz, (h - F) * y / dz, h}; }
    double shifted(double x) const { return x < 0 ? x + q : x - q; }
    double virtualPinhole(double x) const { return x < 0 ? pinholeX : -pinholeX; }
    Vec virtualPoint(double x, double y, double h) const
    {
        return {virtualPinhole(x) + (h - F) * shifted(x) / dz, (h - F) * y / dz, h};
    }
};

} // namespace geometry
