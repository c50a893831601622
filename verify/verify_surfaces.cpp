#include "verify/verify_surfaces.h"

#include "core/sensor.h"
#include "design/design_record.h"
#include "textio/number_text.h"
#include "fit/fit_orders.h"
#include "fit/surface_models.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <utility>

namespace verify {

namespace {

constexpr double pitch = pixelPitch;
constexpr int maxNewtonIterations = 60;
constexpr int maxHalvings = 40;

double clampTo(double value, const ParameterRange& range)
{
    return std::min(std::max(value, range.low), range.high);
}

// Catmull-Rom weights (and their derivatives) of the four samples around s in [0, 1].
void cubicWeights(double s, double w[4], double dw[4])
{
    const double s2 = s * s;
    const double s3 = s2 * s;
    w[0] = 0.5 * (-s3 + 2 * s2 - s);
    w[1] = 0.5 * (3 * s3 - 5 * s2 + 2);
    w[2] = 0.5 * (-3 * s3 + 4 * s2 + s);
    w[3] = 0.5 * (s3 - s2);
    dw[0] = 0.5 * (-3 * s2 + 4 * s - 1);
    dw[1] = 0.5 * (9 * s2 - 10 * s);
    dw[2] = 0.5 * (-9 * s2 + 8 * s + 1);
    dw[3] = 0.5 * (3 * s2 - 2 * s);
}

// Cell index and offset of a parameter on a grid of `count` samples.
void locate(double t, int count, int* cell, double* offset)
{
    int i = static_cast<int>(std::floor(t));
    i = std::max(0, std::min(i, count - 2));
    *cell = i;
    *offset = t - i;
}

}  // namespace

// ---------------------------------------------------------------- Surface

void Surface::startParameters(const Ray&, double x, double y, double* u, double* v) const
{
    *u = x / pitch + 960.0;
    *v = y / pitch;
}

SurfaceHit Surface::intersect(const Ray& ray, double x, double y) const
{
    SurfaceHit hit;
    const ParameterRange ur = uRange();
    const ParameterRange vr = vRange();
    double u = 0.0;
    double v = 0.0;
    startParameters(ray, x, y, &u, &v);
    u = clampTo(u, ur);
    v = clampTo(v, vr);
    SurfacePoint sp = evaluate(u, v);
    double t = (sp.point - ray.origin).dot(ray.direction);
    Vec3 residual = sp.point - (ray.origin + t * ray.direction);
    double r = residual.norm();
    if (!std::isfinite(r)) {
        hit.status = HitStatus::Miss;
        return hit;
    }
    bool converged = r <= intersectionTolerance;
    bool atBoundary = false;
    for (int iteration = 0; !converged && iteration < maxNewtonIterations; ++iteration) {
        Eigen::Matrix3d jacobian;
        jacobian.col(0) = sp.du;
        jacobian.col(1) = sp.dv;
        jacobian.col(2) = -ray.direction;
        const Eigen::FullPivLU<Eigen::Matrix3d> lu(jacobian);
        if (!lu.isInvertible())
            break;
        const Vec3 delta = lu.solve(-residual);
        double lambda = 1.0;
        bool improved = false;
        for (int h = 0; h < maxHalvings; ++h, lambda *= 0.5) {
            const double un = clampTo(u + lambda * delta.x(), ur);
            const double vn = clampTo(v + lambda * delta.y(), vr);
            const double tn = t + lambda * delta.z();
            const SurfacePoint spn = evaluate(un, vn);
            const Vec3 rn = spn.point - (ray.origin + tn * ray.direction);
            const double rnorm = rn.norm();
            if (std::isfinite(rnorm) && rnorm < r) {
                atBoundary = (un != u + lambda * delta.x()) || (vn != v + lambda * delta.y());
                u = un;
                v = vn;
                t = tn;
                sp = spn;
                residual = rn;
                r = rnorm;
                improved = true;
                break;
            }
        }
        if (r <= intersectionTolerance)
            converged = true;
        if (!improved)
            break;
    }
    if (!converged && r <= optics::roundingFloor && !atBoundary)
        converged = true;
    if (!converged) {
        hit.status = atBoundary || !ur.contains(u) || !vr.contains(v) ? HitStatus::Miss : HitStatus::NoConvergence;
        // A stalled iteration pinned to the domain's edge: the ray passes outside.
        if (u == ur.low || u == ur.high || v == vr.low || v == vr.high)
            hit.status = HitStatus::Miss;
        return hit;
    }
    if (!(t > 0.0)) {
        hit.status = HitStatus::Miss;
        return hit;
    }
    hit.status = HitStatus::Hit;
    hit.distance = t;
    hit.u = u;
    hit.v = v;
    hit.point = ray.origin + t * ray.direction;
    hit.normal = optics::orientedNormal(sp.du, sp.dv);
    hit.outsideWindow = !insideWindow(u, v);
    return hit;
}

// ------------------------------------------------------ HeightFieldSurface

SurfacePoint HeightFieldSurface::evaluate(double u, double v) const
{
    double sx = 0.0;
    double sy = 0.0;
    SurfacePoint sp;
    sp.point = Vec3(u, v, height(u, v, &sx, &sy));
    sp.du = Vec3(1.0, 0.0, sx);
    sp.dv = Vec3(0.0, 1.0, sy);
    return sp;
}

SurfaceHit HeightFieldSurface::intersect(const Ray& ray, double, double) const
{
    const optics::HeightFieldHit<double> found = optics::intersectHeightField<double>(
        ray.origin, ray.direction,
        [this](double x, double y, double* sx, double* sy) { return height(x, y, sx, sy); });
    SurfaceHit hit;
    switch (found.status) {
    case optics::HeightFieldStatus::Miss: hit.status = HitStatus::Miss; return hit;
    case optics::HeightFieldStatus::NoConvergence: hit.status = HitStatus::NoConvergence; return hit;
    case optics::HeightFieldStatus::Hit: break;
    }
    hit.status = HitStatus::Hit;
    hit.distance = found.distance;
    hit.point = found.point;
    hit.u = hit.point.x();
    hit.v = hit.point.y();
    hit.normal = optics::heightFieldNormal(found.slopeX, found.slopeY);
    hit.outsideWindow = !insideWindow(hit.u, hit.v);
    return hit;
}

// ------------------------------------------------------- PolynomialSurface

PolynomialSurface::PolynomialSurface(std::vector<PolynomialTerm> terms, std::vector<double> coefficients,
                                     bool mirrored, FitWindow window)
    : terms_(std::move(terms)), coefficients_(std::move(coefficients)), mirrored_(mirrored), window_(window)
{
    coefficients_.resize(terms_.size(), 0.0);
    for (const PolynomialTerm& term : terms_) {
        maxXPower_ = std::max(maxXPower_, term.xPower);
        maxYPower_ = std::max(maxYPower_, term.yPower);
    }
}

double PolynomialSurface::height(double x, double y, double* slopeX, double* slopeY) const
{
    const bool flip = mirrored_ && x < 0.0;
    const double px = flip ? -x : x;
    double xp[16];
    double yp[16];
    xp[0] = 1.0;
    yp[0] = 1.0;
    for (int i = 1; i <= maxXPower_; ++i)
        xp[i] = xp[i - 1] * px;
    for (int i = 1; i <= maxYPower_; ++i)
        yp[i] = yp[i - 1] * y;
    double z = 0.0;
    double zx = 0.0;
    double zy = 0.0;
    for (std::size_t i = 0; i < terms_.size(); ++i) {
        const int a = terms_[i].xPower;
        const int b = terms_[i].yPower;
        const double c = coefficients_[i];
        z += c * xp[a] * yp[b];
        if (a > 0)
            zx += c * a * xp[a - 1] * yp[b];
        if (b > 0)
            zy += c * b * xp[a] * yp[b - 1];
    }
    if (slopeX)
        *slopeX = flip ? -zx : zx;
    if (slopeY)
        *slopeY = zy;
    return z;
}

bool PolynomialSurface::insideWindow(double u, double v) const
{
    const double x = mirrored_ ? std::fabs(u) : u;
    return window_.xLow < x && x < window_.xHigh && window_.yLow < v && v < window_.yHigh;
}

// -------------------------------------------------------- GridSheetSurface

GridSheetSurface::GridSheetSurface(int firstColumn, int columnCount, int firstRow, int rowCount,
                                   std::vector<Vec3> samples)
    : firstColumn_(firstColumn),
      columnCount_(columnCount),
      firstRow_(firstRow),
      rowCount_(rowCount),
      samples_(std::move(samples))
{
}

Vec3 GridSheetSurface::sample(int c, int r) const
{
    if (c < 0)
        return 2.0 * sample(0, r) - sample(1, r);
    if (c >= columnCount_)
        return 2.0 * sample(columnCount_ - 1, r) - sample(columnCount_ - 2, r);
    if (r < 0)
        return 2.0 * sample(c, 0) - sample(c, 1);
    if (r >= rowCount_)
        return 2.0 * sample(c, rowCount_ - 1) - sample(c, rowCount_ - 2);
    return samples_[static_cast<std::size_t>(c) * rowCount_ + r];
}

ParameterRange GridSheetSurface::uRange() const
{
    return {double(firstColumn_), double(firstColumn_ + columnCount_ - 1)};
}

ParameterRange GridSheetSurface::vRange() const
{
    return {double(firstRow_), double(firstRow_ + rowCount_ - 1)};
}

SurfacePoint GridSheetSurface::evaluate(double u, double v) const
{
    int ci = 0;
    int ri = 0;
    double su = 0.0;
    double sv = 0.0;
    locate(u - firstColumn_, columnCount_, &ci, &su);
    locate(v - firstRow_, rowCount_, &ri, &sv);
    double wu[4], dwu[4], wv[4], dwv[4];
    cubicWeights(su, wu, dwu);
    cubicWeights(sv, wv, dwv);
    SurfacePoint sp;
    const bool interior = ci >= 1 && ci + 2 < columnCount_ && ri >= 1 && ri + 2 < rowCount_;
    for (int a = 0; a < 4; ++a) {
        Vec3 column = Vec3::Zero();
        Vec3 columnDv = Vec3::Zero();
        for (int b = 0; b < 4; ++b) {
            const Vec3 p = interior
                               ? samples_[static_cast<std::size_t>(ci - 1 + a) * rowCount_ + (ri - 1 + b)]
                               : sample(ci - 1 + a, ri - 1 + b);
            column += wv[b] * p;
            columnDv += dwv[b] * p;
        }
        sp.point += wu[a] * column;
        sp.du += dwu[a] * column;
        sp.dv += wu[a] * columnDv;
    }
    return sp;
}

// ------------------------------------------------------- design surfaces

std::shared_ptr<GridSheetSurface> designGridSheet(const DesignRecord& record, DesignSurface surface,
                                                  SensorHalf half)
{
    const int c = static_cast<int>(surface);
    const int columns = 4 * record.quarterSteps;
    const int centre = columns / 2;
    const int h = record.halfSteps;
    const int firstColumn = half == SensorHalf::Left ? 0 : centre + 1;
    const int columnCount = half == SensorHalf::Left ? centre : columns - centre - 1;
    const int rowCount = 2 * h - 1;  // offsets -(h-1) .. h-1
    std::vector<Vec3> samples(static_cast<std::size_t>(columnCount) * rowCount);
    for (int i = 0; i < columnCount; ++i) {
        const std::size_t base = static_cast<std::size_t>(firstColumn + i) * (2 * h);
        for (int k = -(h - 1); k <= h - 1; ++k) {
            // Entries 0..h-1 run from the row towards -y, h..2h-1 towards +y.
            const std::size_t e = base + (k < 0 ? std::size_t(-k) : std::size_t(h + k));
            samples[static_cast<std::size_t>(i) * rowCount + (k + h - 1)] =
                Vec3(record.gridX[c][e], record.gridY[c][e], record.gridZ[c][e]);
        }
    }
    return std::make_shared<GridSheetSurface>(firstColumn, columnCount, -(h - 1), rowCount, std::move(samples));
}

PrismSurfaces designSurfacesFromRecord(const DesignRecord& record)
{
    PrismSurfaces s;
    for (SensorHalf half : {SensorHalf::Left, SensorHalf::Right}) {
        const int i = static_cast<int>(half);
        s.entrance[i] = designGridSheet(record, DesignSurface::Entrance, half);
        s.exit[i] = designGridSheet(record, DesignSurface::Exit, half);
    }
    return s;
}

namespace {

// Uniform cubic B-spline basis on [low, high] with `intervals` equal knot
// intervals: intervals + 3 functions, row per parameter value.
Eigen::MatrixXd splineBasis(const std::vector<double>& at, double low, double high, int intervals)
{
    Eigen::MatrixXd basis = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(at.size()), intervals + 3);
    const double width = (high - low) / intervals;
    for (std::size_t i = 0; i < at.size(); ++i) {
        const double s = (at[i] - low) / width;
        int cell = static_cast<int>(std::floor(s));
        cell = std::max(0, std::min(cell, intervals - 1));
        const double t = s - cell;
        const double t2 = t * t;
        const double t3 = t2 * t;
        const double w[4] = {(1 - 3 * t + 3 * t2 - t3) / 6, (4 - 6 * t2 + 3 * t3) / 6,
                             (1 + 3 * t + 3 * t2 - 3 * t3) / 6, t3 / 6};
        for (int k = 0; k < 4; ++k)
            basis(static_cast<Eigen::Index>(i), cell + k) = w[k];
    }
    return basis;
}

constexpr int smoothingColumnsPerInterval = 120;
constexpr int smoothingRowsPerInterval = 180;
constexpr int sheetRowReach = 539;

}  // namespace

std::shared_ptr<GridSheetSurface> smoothedGridSheet(int firstColumn, int columnCount,
                                                    const std::vector<double>& sampleRows,
                                                    const std::vector<Vec3>& points)
{
    const int m = static_cast<int>(sampleRows.size());
    const int rowCount = 2 * sheetRowReach + 1;
    std::vector<double> columnsAt(static_cast<std::size_t>(columnCount));
    for (int i = 0; i < columnCount; ++i)
        columnsAt[static_cast<std::size_t>(i)] = i;
    std::vector<double> rowsAt(static_cast<std::size_t>(rowCount));
    for (int r = 0; r < rowCount; ++r)
        rowsAt[static_cast<std::size_t>(r)] = r - sheetRowReach;
    const int uIntervals = std::max(1, (columnCount - 1 + smoothingColumnsPerInterval / 2) / smoothingColumnsPerInterval);
    const int vIntervals = std::max(1, (2 * sheetRowReach + smoothingRowsPerInterval / 2) / smoothingRowsPerInterval);
    const Eigen::MatrixXd bu = splineBasis(columnsAt, 0.0, columnCount - 1.0, uIntervals);
    const Eigen::MatrixXd bv = splineBasis(sampleRows, -sheetRowReach, sheetRowReach, vIntervals);
    const Eigen::MatrixXd bvFull = splineBasis(rowsAt, -sheetRowReach, sheetRowReach, vIntervals);
    const Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qu(bu);
    const Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qv(bv);

    std::vector<Vec3> samples(static_cast<std::size_t>(columnCount) * rowCount);
    for (int coordinate = 0; coordinate < 3; ++coordinate) {
        Eigen::MatrixXd data(columnCount, m);
        for (int i = 0; i < columnCount; ++i)
            for (int k = 0; k < m; ++k)
                data(i, k) = points[static_cast<std::size_t>(i) * m + k][coordinate];
        // Least squares on a tensor grid separates: first along u, then v.
        const Eigen::MatrixXd alongU = qu.solve(data);                             // Nu x m
        const Eigen::MatrixXd control = qv.solve(alongU.transpose()).transpose();  // Nu x Nv
        const Eigen::MatrixXd full = bu * control * bvFull.transpose();            // columns x rows
        for (int i = 0; i < columnCount; ++i)
            for (int r = 0; r < rowCount; ++r)
                samples[static_cast<std::size_t>(i) * rowCount + r][coordinate] = full(i, r);
    }
    return std::make_shared<GridSheetSurface>(firstColumn, columnCount, -sheetRowReach, rowCount,
                                              std::move(samples));
}

bool designSurfacesFromFile(const QString& path, PrismSurfaces* surfaces, QString* error)
{
    constexpr int columns = 1920;
    constexpr int pointsPerColumn = 108;
    constexpr int centre = columns / 2;
    std::vector<double> numbers;
    {
        CNumericLocale c;
        if (!readNumberFile(path, &numbers)) {
            *error = QStringLiteral("cannot read %1").arg(path);
            return false;
        }
    }
    const std::size_t expected = std::size_t(columns) * pointsPerColumn * 6;
    if (numbers.size() != expected) {
        *error = QStringLiteral("%1 holds %2 numbers, not the %3 of a design grid file")
                     .arg(path)
                     .arg(numbers.size())
                     .arg(expected);
        return false;
    }
    std::vector<double> sampleRows(pointsPerColumn);
    for (int k = 0; k < pointsPerColumn; ++k) {
        const int r = 10 * k;
        sampleRows[static_cast<std::size_t>(k)] = r < 540 ? -r : r - 540;
    }
    for (SensorHalf half : {SensorHalf::Left, SensorHalf::Right}) {
        const int first = half == SensorHalf::Left ? 0 : centre + 1;
        const int count = half == SensorHalf::Left ? centre : columns - centre - 1;
        for (DesignSurface surface : {DesignSurface::Exit, DesignSurface::Entrance}) {
            const int offset = surface == DesignSurface::Exit ? 0 : 3;
            std::vector<Vec3> points(static_cast<std::size_t>(count) * pointsPerColumn);
            for (int i = 0; i < count; ++i) {
                for (int k = 0; k < pointsPerColumn; ++k) {
                    const std::size_t line = std::size_t(first + i) * pointsPerColumn + k;
                    const Vec3 p(numbers[line * 6 + offset], numbers[line * 6 + offset + 1],
                                 numbers[line * 6 + offset + 2]);
                    if (!p.allFinite()) {
                        *error = QStringLiteral("%1: line %2 is not a finite point").arg(path).arg(line + 1);
                        return false;
                    }
                    points[static_cast<std::size_t>(i) * pointsPerColumn + k] = p;
                }
            }
            auto sheet = smoothedGridSheet(first, count, sampleRows, points);
            if (surface == DesignSurface::Exit)
                surfaces->exit[static_cast<int>(half)] = sheet;
            else
                surfaces->entrance[static_cast<int>(half)] = sheet;
        }
    }
    return true;
}

PrismSurfaces fittedSurfaces(std::shared_ptr<const PolynomialSurface> surface1,
                             std::shared_ptr<const PolynomialSurface> surface2)
{
    PrismSurfaces s;
    s.exit = {surface1, surface1};
    s.entrance = {surface2, surface2};
    return s;
}

PrismSurfaces fittedSurfacesOfOrder(int order, const std::vector<double>& a, const std::vector<double>& b)
{
    const FitOrder& entry = fitOrderEntry(order);
    auto terms = [](int surface, int count) {
        std::vector<PolynomialTerm> list;
        for (const SurfaceTermPowers& p : surfaceTermPowers(surface, count))
            list.push_back({p.xPower, p.yPower});
        return list;
    };
    std::vector<double> a1(a.begin(), a.begin() + std::min<std::ptrdiff_t>(entry.surface1Terms, a.size()));
    std::vector<double> b1(b.begin(), b.begin() + std::min<std::ptrdiff_t>(entry.surface2Terms, b.size()));
    auto surface1 = std::make_shared<PolynomialSurface>(terms(1, entry.surface1Terms), a1, false,
                                                        FitWindow{-28.0, 28.0, -18.0, 18.0});
    auto surface2 = std::make_shared<PolynomialSurface>(terms(2, entry.surface2Terms), b1, true,
                                                        FitWindow{0.0, 28.0, -18.0, 18.0});
    return fittedSurfaces(surface1, surface2);
}

}  // namespace verify
