#pragma once

// Optimisation of a prism fit on the rays, as optical design programs do it:
// starting from the least-squares fit, the coefficients of both surfaces are
// adjusted by damped least squares (Levenberg-Marquardt, forward-difference
// Jacobian) so that the camera rays of a sample of pixels, traced through the
// solid, leave along their target lines. Per pixel four residuals: the image
// of the outgoing direction against the target's (two, in pixels) and the
// perpendicular offset of the outgoing line from the target's pinhole (two
// of its three components in mm, weighted into pixels). Each damped step is
// solved by pivoted QR on the augmented system, not by normal equations.

#include "fit/prism_fit.h"
#include "verify/verify.h"

#include <QString>

#include <functional>
#include <vector>

// The line a pixel's ray is to leave along.
struct PrismRayTarget {
    double x = 0.0;  // sensor position of the pixel, mm from the centre
    double y = 0.0;
    verify::Vec3 direction = verify::Vec3(0, 0, -1);  // into the scene (z < 0)
    verify::Vec3 pinhole = verify::Vec3::Zero();      // a point of the line
};

// The ideal virtual cameras: direction (xv, y, dz), through (+-Cp, 0, F).
std::vector<PrismRayTarget> idealRayTargets(const verify::PrismGeometry& geometry,
                                            const std::vector<verify::Pixel>& pixels);

struct PrismOptimizeProgress {
    int iteration = 0;
    double directionRmsPx = 0.0;  // over the sample, traced pixels
    double pinholeRmsMm = 0.0;
    double cost = 0.0;            // sum of squared weighted residuals
    double damping = 0.0;         // lambda of the accepted step
};

struct PrismOptimizeOptions {
    int maxIterations = 20;
    double relativeTolerance = 1e-4;   // stop when a step lowers the cost by less than this fraction
    double pinholeWeightPxPerMm = 10.0;
    double untracedPenaltyPx = 1000.0; // each residual of a pixel whose ray does not get through
    int threadCount = 0;               // 0: every hardware thread
    // Keeps the surfaces near the design: every anchorStride-th left-half
    // design point of each surface adds its height difference (mm) times
    // anchorWeightPxPerMm as a residual. None without points.
    const PrismDesignPoints* anchor = nullptr;
    int anchorStride = 101;
    double anchorWeightPxPerMm = 10.0;
    std::function<void(const PrismOptimizeProgress&)> progress;
};

struct PrismOptimizeResult {
    PrismFit fit;                 // the optimised coefficients (normalisation and domain kept)
    PrismOptimizeProgress start;
    PrismOptimizeProgress end;
    int iterations = 0;
    bool converged = false;       // stopped at the tolerance, not at the limit
    QString stopReason;           // one line
};

PrismOptimizeResult optimizePrismFit(const verify::PrismGeometry& geometry, const PrismFit& start,
                                     const std::vector<PrismRayTarget>& targets, const PrismOptimizeOptions& options);
