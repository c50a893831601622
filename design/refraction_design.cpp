#include "design/refraction_design.h"

#include "core/parallel_for.h"
#include "core/runge_kutta.h"
#include "design/ray_trace.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

RefractionHalf RefractionHalf::of(const DesignRecord& record, bool rightHalf)
{
    RefractionHalf half;
    half.pinholeHeight = record.pinholeHeight;
    half.imageDepth = record.prismDistance - record.pinholeHeight;
    half.refractiveIndex = record.refractiveIndex;
    half.shift = rightHalf ? -record.quarterWidth : record.quarterWidth;
    half.pinholeX = rightHalf ? -record.virtualPinholeX : record.virtualPinholeX;
    return half;
}

namespace {

struct Vector3 {
    double x, y, z;
};

double dot(const Vector3& a, const Vector3& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

Vector3 normalised(const Vector3& a)
{
    const double length = std::sqrt(dot(a, a));
    return {a.x / length, a.y / length, a.z / length};
}

// The rays of one pixel: camera ray w, virtual ray v, internal ray u from
// the entrance point to the exit point.
struct PixelRays {
    Vector3 w, v, u;
};

PixelRays pixelRays(const RefractionHalf& half, double x, double y, const HeightPair& heights)
{
    const double dz = half.imageDepth;
    const double F = half.pinholeHeight;
    const double xv = x + half.shift;
    const Vector3 exitPoint{half.pinholeX + (heights[0] - F) * xv / dz, (heights[0] - F) * y / dz, heights[0]};
    const Vector3 entrancePoint{(heights[1] - F) * x / dz, (heights[1] - F) * y / dz, heights[1]};
    PixelRays rays;
    rays.w = normalised({x, y, dz});
    rays.v = normalised({xv, y, dz});
    rays.u = normalised({exitPoint.x - entrancePoint.x, exitPoint.y - entrancePoint.y, exitPoint.z - entrancePoint.z});
    return rays;
}

// Slopes of both heights along the pixel coordinate t (x or y): the point at
// height h on a ray from height F with direction s moves by
// ((h - F)/dz) e_t + h' s/s_z; it must stay perpendicular to the normal.
// Exit normal n u - v, entrance normal n u - w (entering the glass).
HeightPair slopes(const RefractionHalf& half, const PixelRays& rays, double ut, double vt, double wt,
                  const HeightPair& heights)
{
    const double n = half.refractiveIndex;
    const double dz = half.imageDepth;
    const double F = half.pinholeHeight;
    const double exitDenominator = n * dot(rays.u, rays.v) - 1;
    const double entranceDenominator = 1 - n * dot(rays.u, rays.w);
    return {(heights[0] - F) / dz * (vt - n * ut) * rays.v.z / exitDenominator,
            (heights[1] - F) / dz * (n * ut - wt) * rays.w.z / entranceDenominator};
}

// One step of the project's Runge-Kutta stepper for the two heights; its
// scratch is a handful of numbers on the stack, nothing is allocated.
template <class Slope>
HeightPair rungeKuttaStep(const Slope& slope, double t, const HeightPair& y, double h)
{
    double derivative[2], accumulator[2], stepStart[2];
    core::RungeKutta4<double> stepper(2, derivative, accumulator, stepStart);
    const auto system = [&slope](const double* state, double* rate, double at) {
        const HeightPair r = slope(at, HeightPair{state[0], state[1]});
        rate[0] = r[0];
        rate[1] = r[1];
    };
    HeightPair next = y;
    stepper.doStep(system, next.data(), t, h);
    return next;
}

} // namespace

HeightPair refractionRowSlope(const RefractionHalf& half, double x, const HeightPair& heights)
{
    const PixelRays rays = pixelRays(half, x, 0.0, heights);
    return slopes(half, rays, rays.u.x, rays.v.x, rays.w.x, heights);
}

HeightPair refractionColumnSlope(const RefractionHalf& half, double x, double y, const HeightPair& heights)
{
    const PixelRays rays = pixelRays(half, x, y, heights);
    return slopes(half, rays, rays.u.y, rays.v.y, rays.w.y, heights);
}

std::array<double, 6> refractionSurfacePoints(const RefractionHalf& half, double x, double y,
                                              const HeightPair& heights)
{
    const double dz = half.imageDepth;
    const double F = half.pinholeHeight;
    const double xv = x + half.shift;
    return {half.pinholeX + (heights[0] - F) * xv / dz, (heights[0] - F) * y / dz, heights[0],
            (heights[1] - F) * x / dz,                  (heights[1] - F) * y / dz, heights[1]};
}

double refractionColumnX(const DesignRecord& record, int b)
{
    return b * record.pixelSize - 2 * record.quarterWidth;
}

double refractionEntryY(const DesignRecord& record, int r)
{
    return r < record.halfSteps ? -(r * record.pixelSize) : (r - record.halfSteps) * record.pixelSize;
}

namespace {

// One half of the row: columns first..last (inclusive), all on the same side
// of x = 0, integrated from the half's centre outwards both ways.
void traceRowHalf(DesignRecord& record, bool rightHalf, int first, int last)
{
    const RefractionHalf half = RefractionHalf::of(record, rightHalf);
    const double centre = rightHalf ? record.quarterWidth : -record.quarterWidth;
    const auto slope = [&half](double x, const HeightPair& h) { return refractionRowSlope(half, x, h); };
    const HeightPair start{record.startExitHeight, record.startEntranceHeight};

    int up = first;  // first column at or right of the centre
    while (up <= last && refractionColumnX(record, up) < centre)
        ++up;
    for (int direction : {+1, -1}) {
        HeightPair heights = start;
        double x = centre;
        for (int b = direction > 0 ? up : up - 1; b >= first && b <= last; b += direction) {
            const double target = refractionColumnX(record, b);
            heights = rungeKuttaStep(slope, x, heights, target - x);
            x = target;
            record.rowHeights[0][b] = heights[0];
            record.rowHeights[1][b] = heights[1];
        }
    }
}

} // namespace

void traceRefractionRows(DesignRecord& record)
{
    const int columns = 4 * record.quarterSteps;
    int firstRight = 0;
    while (firstRight < columns && refractionColumnX(record, firstRight) < 0)
        ++firstRight;
    traceRowHalf(record, false, 0, firstRight - 1);
    traceRowHalf(record, true, firstRight, columns - 1);
}

namespace {

void traceRefractionColumn(DesignRecord& record, int b)
{
    const double x = refractionColumnX(record, b);
    const RefractionHalf half = RefractionHalf::of(record, !(x < 0));
    const auto slope = [&half, x](double y, const HeightPair& h) { return refractionColumnSlope(half, x, y, h); };
    const int entries = record.halfSteps;
    const std::size_t first = std::size_t(b) * std::size_t(2 * entries);
    // A record may keep only every gridStride-th grid element (the ones the
    // design file holds).
    const std::size_t stride = std::size_t(record.gridStride > 1 ? record.gridStride : 1);
    const auto store = [&](int r, double y, const HeightPair& heights) {
        const std::size_t element = first + std::size_t(r);
        if (element % stride != 0)
            return;
        const std::array<double, 6> p = refractionSurfacePoints(half, x, y, heights);
        const std::size_t e = element / stride;
        for (int c = 0; c < 2; ++c) {
            record.gridX[c][e] = p[std::size_t(3 * c)];
            record.gridY[c][e] = p[std::size_t(3 * c + 1)];
            record.gridZ[c][e] = p[std::size_t(3 * c + 2)];
        }
    };
    for (int pass = 0; pass < 2; ++pass) {
        HeightPair heights{record.rowHeights[0][b], record.rowHeights[1][b]};
        double y = 0.0;
        store(pass * entries, y, heights);
        for (int j = 1; j < entries; ++j) {
            const int r = pass * entries + j;
            const double target = refractionEntryY(record, r);
            heights = rungeKuttaStep(slope, y, heights, target - y);
            y = target;
            store(r, y, heights);
        }
    }
}

} // namespace

void traceRefractionColumns(DesignRecord& record, int threadCount, const core::ProgressRange* progress)
{
    const int columns = 4 * record.quarterSteps;
    core::ProgressCounter counter(progress, columns, 64);
    parallelFor(columns, std::max(1, threadCount), [&record, &counter](int, int b) {
        counter.throwIfCancelled();
        traceRefractionColumn(record, b);
        counter.itemDone();
    });
}

void computeRefractionDesign(DesignRecord& record, int threadCount)
{
    computeDesignConstants(record);
    traceRefractionRows(record);
    traceRefractionColumns(record, threadCount);
}
