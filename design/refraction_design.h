#pragma once

// The "refraction" design model: the same prism, the same record and files as
// the classic design, but every height obeys the law of refraction where it is
// stored.
//
//   - Both surface equations use the refracting form: for a surface point on
//     the ray from (px, 0, F) along (sx, sy, dz) at height h, moving the pixel
//     coordinate t moves the point along the surface, and the tangent is
//     perpendicular to the surface normal (n u - v at the exit, n u - w at the
//     entrance). Solving that for dh/dt gives
//         dh/dt = ((h - F) / dz) * (s_t - n u_t) * s_z / (n u.s - 1)
//     with s the outside ray (v or w). For the entrance surface this is the
//     classic row equation with the plus sign of its term K.
//   - A row pass keeps the half shift of its own half in every stage (x = 0
//     belongs to the right half; the left half never evaluates there).
//   - Each row height is stored at the column x it was solved for, the centre
//     point of each half included, so column b starts from heights of its x.
//   - Each column point is paired with the y its heights were solved for;
//     entry 0 of each column half is the row point itself (y = 0).
//
// It fills rowHeights, rowX and gridX/gridY/gridZ of the record, so the
// classic writers produce "output.txt" and "outputall.txt" in their layout.

#include "core/progress.h"
#include "design/design_record.h"
#include "parameters/panel_parameters.h"

#include <QString>

#include <array>

// The fixed geometry of one half of the sensor in the refraction model.
struct RefractionHalf {
    double pinholeHeight = 0.0;   // F, z of the camera pinhole
    double imageDepth = 0.0;      // dz = prismDistance - F (negative)
    double refractiveIndex = 0.0; // n
    double shift = 0.0;           // xv = x + shift: +q left, -q right
    double pinholeX = 0.0;        // x of this half's virtual pinhole

    // The left (x < 0) or right (x >= 0) half of a record whose constants
    // are computed (computeDesignConstants).
    static RefractionHalf of(const DesignRecord& record, bool rightHalf);
};

using HeightPair = std::array<double, 2>;  // (exit height h0, entrance height h1)

// d(h0, h1)/dx along the central row (y = 0) at sensor x.
HeightPair refractionRowSlope(const RefractionHalf& half, double x, const HeightPair& heights);

// d(h0, h1)/dy along the column at sensor x, at sensor y.
HeightPair refractionColumnSlope(const RefractionHalf& half, double x, double y, const HeightPair& heights);

// The two surface points of the pixel (x, y) with the given heights:
// exit point (x, y, z), then entrance point (x, y, z).
std::array<double, 6> refractionSurfacePoints(const RefractionHalf& half, double x, double y,
                                              const HeightPair& heights);

// Sensor x of grid column b (b * pixel pitch - 2 q, as the classic columns)
// and sensor y of column entry r (0..2 halfSteps - 1: entries 0.. run from
// y = 0 towards -y, entries halfSteps.. from y = 0 towards +y).
double refractionColumnX(const DesignRecord& record, int b);
double refractionEntryY(const DesignRecord& record, int r);

// Row heights at every column x of the row: each half from its centre
// (heights startExitHeight, startEntranceHeight at x = -+q) outwards in both
// directions. Needs the constants (computeDesignConstants).
void traceRefractionRows(DesignRecord& record);

// Every column from its row heights into gridX, gridY, gridZ, on up to
// threadCount threads (the result does not depend on it). Cancel and
// progress as traceColumns.
void traceRefractionColumns(DesignRecord& record, int threadCount, const core::ProgressRange* progress = nullptr);

// Constants, rows and columns; rowX is left to the profile writer.
void computeRefractionDesign(DesignRecord& record, int threadCount);
