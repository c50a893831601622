#pragma once

// The dimensions a workshop drawing of the prism gives, from the surfaces'
// polynomials over the solid's footprint (prismAperture), in the frame of
// fit/prism_frame.h. The solid is symmetric about x = 0, so its extremes are
// those of the left half.

#include "fit/prism_fit.h"

#include <array>

struct PrismDimensions {
    ClearAperture solid;     // footprint: |x| <= X, |y| <= Y
    ClearAperture entrance;  // clear aperture of each surface (its design points)
    ClearAperture exit;
    double zMin = 0.0;       // lowest point of the exit surface
    double zMax = 0.0;       // highest point of the entrance surface
    double centreThickness = 0.0;  // entrance minus exit height at x = y = 0
    // Side-wall heights at the corners (-X, -Y), (X, -Y), (X, Y), (-X, Y).
    std::array<double, 4> cornerThickness{};
    double minThickness = 0.0;     // smallest entrance minus exit height over the footprint
    double width() const { return 2.0 * solid.halfWidthX; }
    double depth() const { return 2.0 * solid.halfWidthY; }
    double height() const { return zMax - zMin; }
};

PrismDimensions prismDimensions(const PrismFit& fit);
