#pragma once

// Lateral colour of a prism of one or two glasses: for each sampled pixel,
// how far apart the virtual camera images the directions its ray leaves in
// at the band's two edges (px), over each half: RMS and largest, the half's
// mean shift, and what remains after taking the mean away (what a
// calibration per colour channel cannot remove). Each glass takes its own
// index at each edge: the geometries carry both.

#include "verify/verify.h"

#include <array>

namespace verify {

struct BandShiftHalf {
    int count = 0;              // pixels traced at both edges
    double rmsPx = 0.0;
    double maxPx = 0.0;
    double meanXPx = 0.0;       // the mean shift, short edge minus long edge
    double meanYPx = 0.0;
    double meanPx = 0.0;        // its length
    double demeanedRmsPx = 0.0;
    double demeanedMaxPx = 0.0;
};

struct BandShift {
    std::array<BandShiftHalf, 2> halves;  // by SensorHalf
    double rmsPx = 0.0;                   // both halves
    double maxPx = 0.0;
};

// The geometries carry the glass indices at the band's short and long edge
// (refractiveIndex, and secondIndex behind an interface); the camera and
// virtual cameras are those of `shortEdge`. Pixels: samplePixels(step),
// without the `centreBandColumns` columns of each half next to the centre
// (whose rays may cross into the other half) when that is above 0.
BandShift measureBandShift(const PrismGeometry& shortEdge, const PrismGeometry& longEdge,
                           const PrismSurfaces& surfaces, int step = 8, int threadCount = 0,
                           int centreBandColumns = 0);

}  // namespace verify
