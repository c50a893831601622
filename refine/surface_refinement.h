#pragma once

// Whole-surface refinement of a "refraction" design. The column solution
// obeys the law of refraction along the row and along each column, but
// nothing makes it refract in the x direction away from the central row.
// The refinement adds to both heights of each half a smooth correction, a
// tensor cubic B-spline over the half's pixel plane, found by
// Levenberg-Marquardt (sparse normal equations, Eigen's SimplicialLDLT) at
// nodes every few pixels, so that the traced rays meet their virtual
// cameras: the camera ray is refracted at its entrance point by the normal
// of both directions there, meets the exit surface (to first order around
// its exit point) and is refracted again by the normal where it meets it;
// the residuals are the outgoing direction's image against the virtual
// camera's pixel and the point reached at 0.3 m against the same pixel, in
// pixels, as the verifier measures them. The corrected heights stay on their
// pixels' rays; the grid points are placed again from them.
//
// The verifier decides: the refined design is kept only when its direction
// error (RMS of each half) is not worse than the start's; otherwise the start
// is restored exactly and the result says why.

#include "design/design_record.h"
#include "verify/verify.h"

#include <QString>

#include <array>
#include <functional>

struct RefineOptions {
    int nodeStep = 8;        // residual nodes every nodeStep pixels (and the half's edges)
    int cellsX = 24;         // B-spline cells across a half
    int cellsY = 24;         // B-spline cells along the columns
    int maxIterations = 15;
    int threadCount = 0;     // 0: every hardware thread
    int verifyStep = 8;      // sampling of the verifier's check
    // Progress lines; called only once the refinement has run for a second.
    std::function<void(const QString&)> progress;
};

struct RefineResult {
    bool applied = false;      // the refined surfaces replaced the start
    bool converged = false;    // the least-squares iteration settled
    int iterations = 0;        // accepted steps, both halves
    double startMisfitRms = 0.0;   // RMS of the node residuals above, px (the start's)
    double finalMisfitRms = 0.0;
    std::array<double, 2> startDirectionRms{};  // verifier, px, left and right half
    std::array<double, 2> finalDirectionRms{};
    std::array<double, 2> startDirectionMax{};
    std::array<double, 2> finalDirectionMax{};
    double seconds = 0.0;
    QString message;           // one line: what was done, or why the start was kept
};

// The verifier's surfaces of a refraction-model design: its four grid
// sheets, the right half's starting at column 960 (x = 0), which the
// refraction model designs.
verify::PrismSurfaces refractionDesignSheets(const DesignRecord& record);

// Refines a record traced by the refraction model (constants, rows and
// columns done): rowHeights and gridX/gridY/gridZ change when the result is
// applied, and are left exactly as they were otherwise.
RefineResult refineDesign(DesignRecord& record, const RefineOptions& options = {});
