#pragma once

// Lateral colour: how far apart a sensor pixel's image lies between the two
// edges of a wavelength band. The prism's surfaces stay as designed; only
// the glass's index changes with the wavelength. Each sampled pixel's camera
// ray is traced at the index of the short edge and at that of the long edge,
// and the outgoing directions are imaged in the half's ideal virtual camera.
//
// Per half: the displacement (short minus long edge) in px, its RMS and
// largest length; its mean over the half (one sideways shift, which a
// calibration per colour channel removes) and what is left after taking it
// away. Per depth: how much the stereo disparity differs between the edges
// and the depth error that difference makes.

#include "verify/verify.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <vector>

namespace verify {

struct HalfLateralColour {
    int traced = 0;            // pixels traced at both edges
    double rmsPx = 0.0;
    double maxPx = 0.0;
    double meanXPx = 0.0;      // the mean displacement, px
    double meanYPx = 0.0;
    double meanPx = 0.0;       // its length
    double demeanedRmsPx = 0.0;  // after taking the mean away
    double demeanedMaxPx = 0.0;
    // The same outside the centre band (the columns nearest the centre,
    // whose rays may leave through the other half's face), after the mean
    // of the displacement there.
    double outsideCentreDemeanedRmsPx = 0.0;
    double outsideCentreDemeanedMaxPx = 0.0;
    // The displacement itself outside the centre band: RMS, largest, and the
    // length of its mean there.
    int outsideCentreTraced = 0;
    double outsideCentreRmsPx = 0.0;
    double outsideCentreMaxPx = 0.0;
    double outsideCentreMeanPx = 0.0;
};

// At a scene plane z = -depthMm: the disparity of the ideal pair, 2 f |Cp| /
// (D pitch) with D = depthMm + F the distance from the pinholes, and how far
// the short edge's disparity lies from the long edge's (mean over each
// half's pixels of the scene point's image); the depth a stereo pair
// triangulates from the short edge minus that from the long edge.
struct DepthColour {
    double depthMm = 0.0;
    double disparityPx = 0.0;
    double disparityDifferencePx = 0.0;
    double depthErrorMm = 0.0;
    double depthErrorPercent = 0.0;  // of D
};

// One sampled pixel, kept for maps.
struct ColourPixel {
    Pixel pixel;
    bool traced = false;
    double dxPx = 0.0;  // displacement, short minus long edge
    double dyPx = 0.0;
};

struct LateralColourOptions {
    int step = 8;
    std::vector<double> depths = {300.0, 600.0, 1000.0, 2000.0};
    int threadCount = 0;
    bool keepPixels = false;
    int centreBandColumns = 32;  // per half, as the verifier's
};

struct LateralColour {
    QString band;             // the band's name, and its edges in nm (the caller's)
    double shortNm = 0.0;
    double longNm = 0.0;
    double shortIndex = 0.0;  // at the band's short edge
    double longIndex = 0.0;   // at its long edge
    int step = 8;
    std::array<HalfLateralColour, 2> halves;
    std::vector<DepthColour> depths;
    std::vector<ColourPixel> pixels;  // when keepPixels, in sample order

    // Over both halves (NaN when no pixel was traced).
    double rmsPx() const;
    double maxPx() const;
    double outsideCentreRmsPx() const;
    double outsideCentreMaxPx() const;
};

// The prism traced at the band's two edges: the geometries carry each
// glass's index there (refractiveIndex, and secondIndex behind a cemented
// interface); the camera and virtual cameras are those of `shortEdge`.
LateralColour measureLateralColour(const PrismGeometry& shortEdge, const PrismGeometry& longEdge,
                                   const PrismSurfaces& surfaces, const LateralColourOptions& options = {});
// A prism of one glass: the geometry's own index is not used, the two edge
// indices are traced.
LateralColour measureLateralColour(const PrismGeometry& geometry, const PrismSurfaces& surfaces, double shortIndex,
                                   double longIndex, const LateralColourOptions& options = {});

// The JSON object verification.json keeps under "lateralColour": the band
// and its edges' indices, per half ("left", "right") its "lateralColour"
// {rmsPx, maxPx, meanPx, meanXPx, meanYPx, demeanedRmsPx, demeanedMaxPx},
// and per depth the disparity difference and depth error.
QByteArray lateralColourJson(const LateralColour& colour);
// A few lines for a terminal.
QString lateralColourTable(const LateralColour& colour);

}  // namespace verify
