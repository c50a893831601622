#include "design/ray_trace.h"

#include "core/parallel_for.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <vector>

void computeDesignConstants(DesignRecord& r)
{
    r.quarterWidth = r.resolutionX * r.pixelSize * 0.25;
    r.minusSinAngle = -std::sin(r.prismAngle);
    r.cosAngle = std::cos(r.prismAngle);
    r.apexHeight = std::tan(r.prismAngle) * r.prismSize * 0.5;
}

namespace {

// Where the camera ray of direction (wx, wy, wz) meets the flat face of its
// half; the entrance point is located from here along the camera ray.
struct FaceAnchor {
    double r;
    double x;
    double z;
};

FaceAnchor anchorOnFace(const DesignRecord& record, double wx, double wz, double sine)
{
    const double cosT = record.cosAngle;
    FaceAnchor anchor;
    anchor.r = cosT * wz + sine * wx;
    anchor.x = (record.apexHeight - record.pinholeHeight) * cosT * wx / anchor.r;
    anchor.z = record.apexHeight - anchor.x * sine / cosT;
    return anchor;
}

} // namespace

void rowDerivative(const DesignRecord& r, double x, const double* state, double* derivative,
                   double pinholeX, double sine)
{
    const double F = r.pinholeHeight;
    const double f = r.focalLength;
    const double n = r.refractiveIndex;
    const double T = r.apexHeight;
    const double cosT = r.cosAngle;
    const double S = sine;
    const double dz = r.prismDistance - F;
    const double h0 = state[0];
    const double h1 = state[1];

    const double xv = halfShiftedX(x, r.quarterWidth);
    const double g = std::sqrt(x * x + dz * dz);
    const double wx = x / g;
    const double wz = dz / g;
    const double hv = std::sqrt(xv * xv + dz * dz);
    const double vx = xv / hv;
    const double vz = dz / hv;

    const FaceAnchor anchor = anchorOnFace(r, wx, wz, S);
    const double rr = anchor.r;
    const double ax = anchor.x;
    const double az = anchor.z;

    const double px = pinholeX + (h0 - F) * vx / vz;
    const double qx = ax + (h1 - az) * wx / wz;
    const double dx = px - qx;
    const double dh = h0 - h1;
    const double length = std::sqrt(dx * dx + dh * dh);
    const double ux = dx / length;
    const double uz = dh / length;

    const double g0 = n * (ux * vx + uz * vz) - 1;
    derivative[0] = (F - h0) / f * (vx - n * ux) * vz / g0;

    const double R = rr * rr * f;
    const double wz2 = wz * wz;
    const double K = (F - T) * S * cosT * wz2 / R;
    const double g1 = 1 - n * (ux * wx + uz * wz);
    derivative[1] = ((az - h1) / f + (F - T) * wz2 * (cosT * cosT) / R - K * wx / wz) * (n * ux - wx) * wz / g1;
}

void columnDerivative(const DesignRecord& r, double x, double y, const double* state, double* derivative,
                      double pinholeX, double sine)
{
    const double F = r.pinholeHeight;
    const double f = r.focalLength;
    const double n = r.refractiveIndex;
    const double T = r.apexHeight;
    const double cosT = r.cosAngle;
    const double S = sine;
    const double dz = r.prismDistance - F;
    const double h0 = state[0];
    const double h1 = state[1];

    const double xv = halfShiftedX(x, r.quarterWidth);
    const double m = std::sqrt(x * x + y * y + dz * dz);
    const double wx = x / m;
    const double wy = y / m;
    const double wz = dz / m;
    const double o = std::sqrt(xv * xv + y * y + dz * dz);
    const double vx = xv / o;
    const double vy = y / o;
    const double vz = dz / o;

    const FaceAnchor anchor = anchorOnFace(r, wx, wz, S);
    const double rr = anchor.r;
    const double ax = anchor.x;
    const double az = anchor.z;
    // On the central column wx is 0 and ax*wy/wx would be 0/0; there the
    // anchor's y takes the same quantity with wx cancelled.
    const double ay = wx == 0.0 ? (T - F) * cosT * wy / rr : ax * wy / wx;

    const double px = pinholeX + (h0 - F) * vx / vz;
    const double py = (h0 - F) * vy / vz;
    const double qx = ax + (h1 - az) * wx / wz;
    const double qy = ay + (h1 - az) * wy / wz;
    const double dx = px - qx;
    const double dy = py - qy;
    const double dh = h0 - h1;
    const double length = std::sqrt(dx * dx + dy * dy + dh * dh);
    const double ux = dx / length;
    const double uy = dy / length;
    const double uz = dh / length;

    const double g0 = n * (ux * vx + uy * vy + uz * vz) - 1;
    derivative[0] = (F - h0) / f * (vy - n * uy) * vz / g0;
    const double g1 = 1 - n * (ux * wx + uy * wy + uz * wz);
    derivative[1] = ((az - h1) / f + (F - T) * cosT * wz / (rr * f)) * (n * uy - wy) * wz / g1;
}

void traceRowPass(DesignRecord& r, int pass)
{
    const bool left = pass < 2;
    const double startX = left ? -r.quarterWidth : r.quarterWidth;
    const double h = pass % 2 == 0 ? -pixelPitch : pixelPitch;
    const RowSystem system{r, left ? r.virtualPinholeX : -r.virtualPinholeX,
                           left ? r.minusSinAngle : -r.minusSinAngle};
    auto stepper = recordStepper(r);
    const int steps = r.quarterSteps;

    r.state[0] = r.startExitHeight;
    r.state[1] = r.startEntranceHeight;
    r.step = h;
    double x = startX;
    for (int j = 0; j < steps; ++j) {
        stepper.doStep(system, r.state, x, h);
        for (int c = 0; c < r.componentCount; ++c)
            r.rowPass[c][j] = r.state[c];
        x = x + r.step;
    }

    for (int c = 0; c < r.componentCount; ++c) {
        for (int j = 0; j < steps; ++j) {
            const int index = h > 0 ? pass * steps + j : (pass + 1) * steps - 1 - j;
            r.rowHeights[c][index] = r.rowPass[c][j];
        }
    }
}

void traceRows(DesignRecord& r)
{
    for (int pass = 0; pass < 4; ++pass)
        traceRowPass(r, pass);
}

void columnPoint(DesignRecord& r, double x, double y, int j, double pinholeX)
{
    const double F = r.pinholeHeight;
    const double dz = r.prismDistance - F;
    const double xv = halfShiftedX(x, r.quarterWidth);
    const double hc = std::sqrt(x * x + y * y + dz * dz);
    const double hv = std::sqrt(xv * xv + y * y + dz * dz);
    const double h0 = r.columnPass[0][j];
    const double h1 = r.columnPass[1][j];
    r.passX[0][j] = (h0 - F) * (xv / hv) / (dz / hv) + pinholeX;
    r.passY[0][j] = (h0 - F) * (y / hv) / (dz / hv);
    r.passX[1][j] = (h1 - F) * (x / hc) / (dz / hc);
    r.passY[1][j] = (h1 - F) * (y / hc) / (dz / hc);
}

void traceColumn(DesignRecord& r, double x, double startExitHeight, double startEntranceHeight)
{
    const bool left = x < 0;
    const double pinholeX = left ? r.virtualPinholeX : -r.virtualPinholeX;
    const ColumnSystem system{r, x, pinholeX, left ? r.minusSinAngle : -r.minusSinAngle};
    auto stepper = recordStepper(r);
    const int steps = r.halfSteps;

    for (int pass = 0; pass < 2; ++pass) {
        const double h = pass == 0 ? -pixelPitch : pixelPitch;
        r.state[0] = startExitHeight;
        r.state[1] = startEntranceHeight;
        r.step = h;
        double y = 0.0;
        for (int j = 0; j < steps; ++j) {
            stepper.doStep(system, r.state, y, h);
            for (int c = 0; c < r.componentCount; ++c)
                r.columnPass[c][j] = r.state[c];
            // The point pairs the pixel y at the start of the step with the
            // heights at its end.
            columnPoint(r, x, y, j, pinholeX);
            y = y + r.step;
        }
        for (int c = 0; c < r.componentCount; ++c) {
            for (int j = 0; j < steps; ++j) {
                r.columnZ[c][pass * steps + j] = r.columnPass[c][j];
                r.columnX[c][pass * steps + j] = r.passX[c][j];
                r.columnY[c][pass * steps + j] = r.passY[c][j];
            }
        }
    }
}

double columnSensorX(const DesignRecord& r, int b)
{
    return b * pixelPitch - 2 * r.quarterWidth;
}

void traceGridColumn(DesignRecord& r, int b)
{
    traceColumn(r, columnSensorX(r, b), r.rowHeights[0][b], r.rowHeights[1][b]);
    storeGridColumn(r, b);
}

void storeGridColumn(DesignRecord& r, int b)
{
    const std::size_t points = std::size_t(2) * std::size_t(r.halfSteps);
    const std::size_t first = std::size_t(b) * points;
    const std::size_t stride = std::size_t(r.gridStride > 1 ? r.gridStride : 1);
    // The column's first kept entry: the next multiple of the stride.
    const std::size_t firstKept = (stride - first % stride) % stride;
    for (int c = 0; c < r.componentCount; ++c) {
        for (std::size_t e = firstKept; e < points; e += stride) {
            const std::size_t index = (first + e) / stride;
            r.gridZ[c][index] = r.columnZ[c][e];
            r.gridX[c][index] = r.columnX[c][e];
            r.gridY[c][index] = r.columnY[c][e];
        }
        if (c < 2 && r.nodeHeights[c]) {
            for (std::size_t e = 0; e < points; ++e)
                r.nodeHeights[c][first + e] = r.columnZ[c][e];
        }
    }
}

namespace {

// Scratch of one extra worker: its own solution vectors and column buffers
// inside a copy of the record, which still points at the shared row heights
// and grid. Columns write disjoint parts of the grid.
class ColumnLane {
public:
    explicit ColumnLane(const DesignRecord& shared) : record_(shared)
    {
        const std::size_t n = std::size_t(shared.componentCount);
        const std::size_t h = std::size_t(shared.halfSteps);
        record_.state = vector(n);
        record_.derivative = vector(n);
        record_.accumulator = vector(n);
        record_.stepStart = vector(n);
        record_.columnPass = bufferSet(n, h);
        record_.passX = bufferSet(n, h);
        record_.passY = bufferSet(n, h);
        record_.columnZ = bufferSet(n, 2 * h);
        record_.columnX = bufferSet(n, 2 * h);
        record_.columnY = bufferSet(n, 2 * h);
        record_.rowPass = nullptr;  // row buffers stay the main record's alone
        record_.rowX = nullptr;
    }

    DesignRecord& record() { return record_; }

private:
    double* vector(std::size_t length)
    {
        rows_.emplace_back(length);
        return rows_.back().data();
    }
    double** bufferSet(std::size_t components, std::size_t length)
    {
        sets_.emplace_back(components);
        for (double*& row : sets_.back())
            row = vector(length);
        return sets_.back().data();
    }

    DesignRecord record_;
    std::vector<std::vector<double>> rows_;   // moving a vector keeps its data
    std::vector<std::vector<double*>> sets_;
};

} // namespace

void traceColumns(DesignRecord& r, int threadCount, const core::ProgressRange* progress)
{
    constexpr int group = 4;
    const int columns = 4 * r.quarterSteps;
    const int groups = columns / group;
    const int tasks = groups + columns % group;  // the rest one by one
    const int workers = std::max(1, std::min(threadCount, tasks));
    // Four column records per worker, one per lane. All scratch exists before
    // any thread starts: nothing allocates or throws while the columns run.
    std::vector<std::unique_ptr<ColumnLane>> lanes;
    std::vector<DesignRecord*> records;
    for (int lane = 0; lane < group * workers; ++lane) {
        lanes.push_back(std::make_unique<ColumnLane>(r));
        records.push_back(&lanes.back()->record());
    }
    core::ProgressCounter counter(progress, tasks, 16);
    parallelFor(tasks, workers, [&records, &counter, groups](int worker, int task) {
        counter.throwIfCancelled();
        DesignRecord* const* mine = records.data() + std::size_t(group * worker);
        if (task < groups) {
            const int b = group * task;
            traceColumnQuad(mine, b);
            for (int l = 0; l < group; ++l)
                storeGridColumn(*mine[l], b + l);
        } else {
            traceGridColumn(*mine[0], group * groups + (task - groups));
        }
        counter.itemDone();
    });
}
