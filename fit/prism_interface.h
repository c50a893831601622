#pragma once

// The glass of a cemented prism on each side of its interface: how thick the
// crown (entrance to interface) and the flint (interface to exit) are along
// z over the solid's footprint (prismAperture), per half, and the check that
// each keeps a least thickness everywhere.

#include "fit/prism_fit.h"

#include <QString>

#include <array>

struct GlassThickness {
    double crownMinMm = 0.0;
    double crownMaxMm = 0.0;
    double flintMinMm = 0.0;
    double flintMaxMm = 0.0;
    double crownMinX = 0.0, crownMinY = 0.0;  // where each glass is thinnest (mm)
    double flintMinX = 0.0, flintMinY = 0.0;
};

// The least thickness of each glass a cemented prism must keep, mm.
inline constexpr double leastGlassThicknessMm = 1.0;

// Per half (0 left, x <= 0; 1 right, x >= 0), sampled on a grid of
// `samples` x `samples` points of the half's footprint. Needs an interface.
std::array<GlassThickness, 2> cementedGlassThickness(const PrismFit& fit, int samples = 81);

// True when the fit has no interface, or when each glass of each half keeps
// at least `least` mm; otherwise false with one line naming the glass, its
// thickness and where.
bool checkCementedThickness(const PrismFit& fit, double least, QString* error);
