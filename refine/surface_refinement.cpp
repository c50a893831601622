#include "refine/surface_refinement.h"

#include "core/optics.h"
#include "core/parallel_for.h"
#include "core/sensor.h"
#include "design/refraction_design.h"
#include "verify/verify_sources.h"

#include <Eigen/SparseCholesky>
#include <Eigen/SparseCore>
#include <Eigen/Geometry>
#include <Eigen/LU>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Four residuals of one pixel, in pixels of its virtual camera, from the
// surfaces around it: locals h0, h1, dh0/dx, dh0/dy, dh1/dx, dh1/dy and the
// second derivatives of h0 (xx, xy, yy). The camera ray meets the entrance
// surface at its entrance point and is refracted by the normal there; the
// ray inside the glass meets the exit surface (taken to first order around
// the pixel's exit point) a little beside it, where the exit normal (to
// first order) refracts it again. Residuals: that outgoing direction's image
// against the pixel of the virtual camera (the direction error), and the
// point it reaches at 0.3 m against the same pixel (the reprojection error).
constexpr int localCount = 9;
constexpr int residualCount = 5;
constexpr double edgeWeight = 10.0;   // per pixel the exit point lies off its mark
constexpr double edgeMargin = 0.05;   // pixels inside the edge

void misfits(const RefractionHalf& g, double x, double y, double edge, const double* l, double* r)
{
    const double F = g.pinholeHeight;
    const double dz = g.imageDepth;
    const double n = g.refractiveIndex;
    const double pitch = pixelPitch;
    const double xv = x + g.shift;
    const double h0 = l[0], h1 = l[1], h0x = l[2], h0y = l[3], h1x = l[4], h1y = l[5];
    // Exit point of pixel (px, py) and its tangents, heights to first order.
    const auto exitAt = [&](double a, double b, Eigen::Vector3d* tx, Eigen::Vector3d* ty) {
        const double h = h0 + a * h0x + b * h0y;
        const double hx = h0x + a * l[6] + b * l[7];
        const double hy = h0y + a * l[7] + b * l[8];
        const double sx = xv + a, sy = y + b;
        *tx = Eigen::Vector3d((h - F) / dz + sx * hx / dz, sy * hx / dz, hx);
        *ty = Eigen::Vector3d(sx * hy / dz, (h - F) / dz + sy * hy / dz, hy);
        return Eigen::Vector3d(g.pinholeX + (h - F) * sx / dz, (h - F) * sy / dz, h);
    };
    Eigen::Vector3d exitX, exitY;
    const Eigen::Vector3d P = exitAt(0, 0, &exitX, &exitY);
    const Eigen::Vector3d Q((h1 - F) * x / dz, (h1 - F) * y / dz, h1);
    const Eigen::Vector3d entranceX((h1 - F) / dz + x * h1x / dz, y * h1x / dz, h1x);
    const Eigen::Vector3d entranceY(x * h1y / dz, (h1 - F) / dz + y * h1y / dz, h1y);
    const Eigen::Vector3d w = Eigen::Vector3d(x, y, dz).normalized();
    Eigen::Vector3d u = Eigen::Vector3d::Zero();
    const bool in = optics::refract<double>(w, entranceX.cross(entranceY).normalized(), 1 / n, &u);
    // Q + t u = P + a exitX + b exitY.
    Eigen::Matrix3d m;
    m.col(0) = u;
    m.col(1) = -exitX;
    m.col(2) = -exitY;
    const Eigen::Vector3d tab = m.partialPivLu().solve(P - Q);
    Eigen::Vector3d tx, ty;
    const Eigen::Vector3d exitPoint = exitAt(tab[1], tab[2], &tx, &ty);
    Eigen::Vector3d d = Eigen::Vector3d::Zero();
    const bool out = optics::refract<double>(u, tx.cross(ty).normalized(), n, &d);
    r[0] = (dz * d.x() / d.z() - xv) / pitch;
    r[1] = (dz * d.y() / d.z() - y) / pitch;
    const Eigen::Vector3d scene = exitPoint + ((-300.0 - exitPoint.z()) / d.z()) * d;
    const Eigen::Vector3d fromPinhole = scene - Eigen::Vector3d(g.pinholeX, 0, F);
    r[2] = (dz * fromPinhole.x() / fromPinhole.z() - xv) / pitch;
    r[3] = (dz * fromPinhole.y() / fromPinhole.z() - y) / pitch;
    // On the first and last column of a half the ray must leave through the
    // exit surface a little inside it, never beside its edge: edge is the
    // inward direction (+1, -1), 0 elsewhere.
    r[4] = edge == 0.0 ? 0.0 : edgeWeight * (tab[1] / pitch - edge * edgeMargin);
    if (!in || !out || !(d.z() < 0))
        r[0] = r[1] = r[2] = r[3] = r[4] = std::numeric_limits<double>::infinity();
}

// Uniform cubic B-spline on [low, high] with `cells` cells: the first of the
// four functions that are non-zero at t, their values and t-derivatives.
struct Spline1 {
    double low = 0.0;
    double width = 1.0;
    int cells = 1;
    int functions() const { return cells + 3; }
    int locate(double t, double* w, double* dw, double* ddw) const
    {
        const double s = (t - low) / width;
        int cell = static_cast<int>(std::floor(s));
        cell = std::max(0, std::min(cell, cells - 1));
        const double a = s - cell, a2 = a * a, a3 = a2 * a;
        w[0] = (1 - 3 * a + 3 * a2 - a3) / 6;
        w[1] = (4 - 6 * a2 + 3 * a3) / 6;
        w[2] = (1 + 3 * a + 3 * a2 - 3 * a3) / 6;
        w[3] = a3 / 6;
        dw[0] = (-3 + 6 * a - 3 * a2) / 6 / width;
        dw[1] = (-12 * a + 9 * a2) / 6 / width;
        dw[2] = (3 + 6 * a - 9 * a2) / 6 / width;
        dw[3] = 3 * a2 / 6 / width;
        const double w2 = width * width;
        ddw[0] = (6 - 6 * a) / 6 / w2;
        ddw[1] = (-12 + 18 * a) / 6 / w2;
        ddw[2] = (6 - 18 * a) / 6 / w2;
        ddw[3] = 6 * a / 6 / w2;
        return cell;
    }
};

// One residual node: its pixel, the start's locals there, and the basis
// functions that touch it.
struct Node {
    double x = 0.0;
    double y = 0.0;
    double edge = 0.0;  // inward direction on a half's first or last column, else 0
    double start[localCount] = {};
    int firstX = 0;
    int firstY = 0;
    double wx[4], dwx[4], ddwx[4], wy[4], dwy[4], ddwy[4];
};

// Grid entry of column b at row offset k (-(h-1)..h-1).
std::size_t entryOf(const DesignRecord& record, int b, int k)
{
    const int h = record.halfSteps;
    return std::size_t(b) * std::size_t(2 * h) + std::size_t(k < 0 ? -k : (k == 0 ? 0 : h + k));
}

// Slope of samples f(0..count-1) at i, spacing s: five-point, one-sided at the ends.
double slopeOf(const std::function<double(int)>& f, int i, int count, double s)
{
    if (i >= 2 && i + 2 < count)
        return (f(i - 2) - 8 * f(i - 1) + 8 * f(i + 1) - f(i + 2)) / (12 * s);
    if (i < 2) {
        const int o = 0;
        return (i == 0 ? -25 * f(o) + 48 * f(o + 1) - 36 * f(o + 2) + 16 * f(o + 3) - 3 * f(o + 4)
                       : -3 * f(o) - 10 * f(o + 1) + 18 * f(o + 2) - 6 * f(o + 3) + f(o + 4))
               / (12 * s);
    }
    const int e = count - 1;
    return (i == e ? 25 * f(e) - 48 * f(e - 1) + 36 * f(e - 2) - 16 * f(e - 3) + 3 * f(e - 4)
                   : 3 * f(e) + 10 * f(e - 1) - 18 * f(e - 2) + 6 * f(e - 3) - f(e - 4))
           / (12 * s);
}

struct HalfProblem {
    RefractionHalf geometry;
    int firstColumn = 0;
    int lastColumn = 0;
    Spline1 splineX;
    Spline1 splineY;
    std::vector<Node> nodes;
    Eigen::VectorXd coefficients;  // surface 0 then surface 1, each splineX x splineY functions

    int functionsPerSurface() const { return splineX.functions() * splineY.functions(); }

    // The correction of surface c at a node: value, d/dx, d/dy, d2/dx2,
    // d2/dxdy, d2/dy2.
    void correction(const Node& node, const Eigen::VectorXd& c, int surface, double* out) const
    {
        out[0] = out[1] = out[2] = out[3] = out[4] = out[5] = 0.0;
        const int offset = surface * functionsPerSurface();
        for (int a = 0; a < 4; ++a)
            for (int b = 0; b < 4; ++b) {
                const double k = c[offset + (node.firstX + a) * splineY.functions() + node.firstY + b];
                out[0] += k * node.wx[a] * node.wy[b];
                out[1] += k * node.dwx[a] * node.wy[b];
                out[2] += k * node.wx[a] * node.dwy[b];
                out[3] += k * node.ddwx[a] * node.wy[b];
                out[4] += k * node.dwx[a] * node.dwy[b];
                out[5] += k * node.wx[a] * node.ddwy[b];
            }
    }

    void locals(const Node& node, const Eigen::VectorXd& c, double* l) const
    {
        for (int s = 0; s < 2; ++s) {
            double d[6];
            correction(node, c, s, d);
            l[s] = node.start[s] + d[0];
            l[2 + 2 * s] = node.start[2 + 2 * s] + d[1];
            l[3 + 2 * s] = node.start[3 + 2 * s] + d[2];
            if (s == 0)
                for (int k = 0; k < 3; ++k)
                    l[6 + k] = node.start[6 + k] + d[3 + k];
        }
    }
};

HalfProblem buildProblem(const DesignRecord& record, bool rightHalf, const RefineOptions& options, bool* finite)
{
    HalfProblem p;
    const int columns = 4 * record.quarterSteps;
    int firstRight = 0;
    while (firstRight < columns && refractionColumnX(record, firstRight) < 0)
        ++firstRight;
    p.firstColumn = rightHalf ? firstRight : 0;
    p.lastColumn = rightHalf ? columns - 1 : firstRight - 1;
    p.geometry = RefractionHalf::of(record, rightHalf);
    const double s = record.pixelSize;
    const int reach = record.halfSteps - 1;
    const double xLow = refractionColumnX(record, p.firstColumn);
    const double xHigh = refractionColumnX(record, p.lastColumn);
    p.splineX = {xLow, (xHigh - xLow) / options.cellsX, options.cellsX};
    p.splineY = {-reach * s, 2 * reach * s / options.cellsY, options.cellsY};

    std::vector<int> nodeColumns, nodeRows;
    for (int b = p.firstColumn; b < p.lastColumn; b += options.nodeStep)
        nodeColumns.push_back(b);
    nodeColumns.push_back(p.lastColumn);
    for (int k = -(reach / options.nodeStep) * options.nodeStep; k <= reach; k += options.nodeStep)
        nodeRows.push_back(k);
    nodeRows.insert(nodeRows.begin(), -reach);
    nodeRows.push_back(reach);
    nodeRows.erase(std::unique(nodeRows.begin(), nodeRows.end()), nodeRows.end());

    const int columnCount = p.lastColumn - p.firstColumn + 1;
    const int rowCount = 2 * reach + 1;
    *finite = true;
    for (int b : nodeColumns)
        for (int k : nodeRows) {
            Node node;
            node.x = refractionColumnX(record, b);
            node.y = k * s;
            node.edge = b == p.firstColumn ? 1.0 : (b == p.lastColumn ? -1.0 : 0.0);
            for (int c = 0; c < 2; ++c) {
                node.start[c] = record.gridZ[c][entryOf(record, b, k)];
                const auto alongX = [&](int i) { return record.gridZ[c][entryOf(record, p.firstColumn + i, k)]; };
                const auto alongY = [&](int i) { return record.gridZ[c][entryOf(record, b, i - reach)]; };
                node.start[2 + 2 * c] = slopeOf(alongX, b - p.firstColumn, columnCount, s);
                node.start[3 + 2 * c] = slopeOf(alongY, k + reach, rowCount, s);
            }
            // Second derivatives of the exit height: slopes of its slopes.
            const auto slopeXAt = [&](int column, int row) {
                const auto alongX = [&](int i) { return record.gridZ[0][entryOf(record, p.firstColumn + i, row)]; };
                return slopeOf(alongX, column - p.firstColumn, columnCount, s);
            };
            const auto slopeYAt = [&](int column, int row) {
                const auto alongY = [&](int i) { return record.gridZ[0][entryOf(record, column, i - reach)]; };
                return slopeOf(alongY, row + reach, rowCount, s);
            };
            node.start[6] = slopeOf([&](int i) { return slopeXAt(p.firstColumn + i, k); }, b - p.firstColumn, columnCount, s);
            node.start[7] = slopeOf([&](int i) { return slopeXAt(b, i - reach); }, k + reach, rowCount, s);
            node.start[8] = slopeOf([&](int i) { return slopeYAt(b, i - reach); }, k + reach, rowCount, s);
            for (double v : node.start)
                *finite = *finite && std::isfinite(v);
            node.firstX = p.splineX.locate(node.x, node.wx, node.dwx, node.ddwx);
            node.firstY = p.splineY.locate(node.y, node.wy, node.dwy, node.ddwy);
            p.nodes.push_back(node);
        }
    p.coefficients = Eigen::VectorXd::Zero(2 * p.functionsPerSurface());
    return p;
}

// Residuals of every node at the coefficients c; with `jacobian`, also the
// sparse Jacobian by the coefficients (local derivatives by central
// differences, chained through the basis).
double evaluate(const HalfProblem& p, const Eigen::VectorXd& c, int threads, Eigen::VectorXd* residuals,
                Eigen::SparseMatrix<double>* jacobian)
{
    const std::size_t count = p.nodes.size();
    residuals->resize(Eigen::Index(residualCount * count));
    std::vector<double> local(jacobian ? residualCount * localCount * count : 0);
    parallelFor(int(count), threads, [&](int, int i) {
        const Node& node = p.nodes[std::size_t(i)];
        double l[localCount];
        p.locals(node, c, l);
        double r[residualCount];
        misfits(p.geometry, node.x, node.y, node.edge, l, r);
        for (int k = 0; k < residualCount; ++k)
            (*residuals)[residualCount * i + k] = r[k];
        if (!jacobian)
            return;
        for (int j = 0; j < localCount; ++j) {
            const double h = 1e-6 * std::max(1.0, std::fabs(l[j]));
            double plus[localCount], minus[localCount], rp[residualCount], rm[residualCount];
            std::copy(l, l + localCount, plus);
            std::copy(l, l + localCount, minus);
            plus[j] += h;
            minus[j] -= h;
            misfits(p.geometry, node.x, node.y, node.edge, plus, rp);
            misfits(p.geometry, node.x, node.y, node.edge, minus, rm);
            for (int k = 0; k < residualCount; ++k)
                local[std::size_t((residualCount * i + k) * localCount + j)] = (rp[k] - rm[k]) / (2 * h);
        }
    });
    if (jacobian) {
        std::vector<Eigen::Triplet<double>> triplets;
        triplets.reserve(count * residualCount * 32);
        const int per = p.functionsPerSurface();
        for (std::size_t i = 0; i < count; ++i) {
            const Node& node = p.nodes[i];
            for (int k = 0; k < residualCount; ++k) {
                const double* d = &local[(residualCount * i + std::size_t(k)) * localCount];
                for (int s = 0; s < 2; ++s) {
                    const double dh = d[s], dhx = d[2 + 2 * s], dhy = d[3 + 2 * s];
                    const double dxx = s == 0 ? d[6] : 0.0, dxy = s == 0 ? d[7] : 0.0, dyy = s == 0 ? d[8] : 0.0;
                    for (int a = 0; a < 4; ++a)
                        for (int b = 0; b < 4; ++b) {
                            const int column = s * per + (node.firstX + a) * p.splineY.functions() + node.firstY + b;
                            const double value = dh * node.wx[a] * node.wy[b] + dhx * node.dwx[a] * node.wy[b]
                                                 + dhy * node.wx[a] * node.dwy[b] + dxx * node.ddwx[a] * node.wy[b]
                                                 + dxy * node.dwx[a] * node.dwy[b] + dyy * node.wx[a] * node.ddwy[b];
                            triplets.emplace_back(int(residualCount * i) + k, column, value);
                        }
                }
            }
        }
        jacobian->resize(Eigen::Index(residualCount * count), Eigen::Index(2 * per));
        jacobian->setFromTriplets(triplets.begin(), triplets.end());
    }
    return residuals->squaredNorm();
}

struct HalfOutcome {
    bool converged = false;
    int iterations = 0;
    double startCost = 0.0;
    double finalCost = 0.0;
};

// Levenberg-Marquardt on the coefficients of one half.
HalfOutcome solve(HalfProblem& p, const RefineOptions& options, int threads,
                  const std::function<void(const QString&)>& report)
{
    HalfOutcome out;
    Eigen::VectorXd r;
    Eigen::SparseMatrix<double> J;
    double cost = evaluate(p, p.coefficients, threads, &r, &J);
    out.startCost = cost;
    double lambda = 1e-3;
    for (int iteration = 0; iteration < options.maxIterations; ++iteration) {
        const Eigen::SparseMatrix<double> Jt = J.transpose();
        Eigen::SparseMatrix<double> normal = Jt * J;
        const Eigen::VectorXd gradient = Jt * r;
        const Eigen::VectorXd diagonal = normal.diagonal();
        bool accepted = false;
        while (!accepted && lambda < 1e12) {
            Eigen::SparseMatrix<double> damped = normal;
            for (Eigen::Index i = 0; i < damped.rows(); ++i)
                damped.coeffRef(i, i) += lambda * diagonal[i] + 1e-18;
            Eigen::SimplicialLDLT<Eigen::SparseMatrix<double>> ldlt(damped);
            if (ldlt.info() != Eigen::Success) {
                lambda *= 10;
                continue;
            }
            const Eigen::VectorXd stepVector = ldlt.solve(-gradient);
            const Eigen::VectorXd trial = p.coefficients + stepVector;
            Eigen::VectorXd trialResiduals;
            const double trialCost = evaluate(p, trial, threads, &trialResiduals, nullptr);
            if (std::isfinite(trialCost) && trialCost < cost) {
                const double decrease = (cost - trialCost) / cost;
                p.coefficients = trial;
                cost = evaluate(p, p.coefficients, threads, &r, &J);
                lambda = std::max(lambda / 5, 1e-9);
                accepted = true;
                ++out.iterations;
                report(QStringLiteral("iteration %1: residual RMS %2 px").arg(iteration + 1).arg(std::sqrt(cost / (0.8 * double(r.size()))), 0, 'g', 4));
                if (decrease < 1e-4)
                    out.converged = true;
            } else {
                lambda *= 8;
            }
        }
        if (!accepted) {
            // No step lowers the residuals any further: a minimum (or no way down).
            out.converged = out.iterations > 0;
            break;
        }
        if (out.converged)
            break;
    }
    out.finalCost = cost;
    return out;
}

// Adds the correction of a half to its row heights and grid, and places the
// grid points again on their rays.
void applyCorrection(DesignRecord& record, const HalfProblem& p)
{
    const int reach = record.halfSteps - 1;
    const double s = record.pixelSize;
    for (int b = p.firstColumn; b <= p.lastColumn; ++b) {
        const double x = refractionColumnX(record, b);
        double wx[4], dwx[4], ddwx[4];
        const int fx = p.splineX.locate(x, wx, dwx, ddwx);
        for (int k = -reach; k <= reach; ++k) {
            Node node;
            node.x = x;
            node.y = k * s;
            node.firstX = fx;
            std::copy(wx, wx + 4, node.wx);
            std::copy(dwx, dwx + 4, node.dwx);
            node.firstY = p.splineY.locate(node.y, node.wy, node.dwy, node.ddwy);
            std::copy(ddwx, ddwx + 4, node.ddwx);
            HeightPair heights;
            for (int c = 0; c < 2; ++c) {
                double d[6];
                p.correction(node, p.coefficients, c, d);
                heights[std::size_t(c)] = record.gridZ[c][entryOf(record, b, k)] + d[0];
                if (k == 0)
                    record.rowHeights[c][b] = heights[std::size_t(c)];
            }
            const std::array<double, 6> points = refractionSurfacePoints(p.geometry, x, node.y, heights);
            std::vector<std::size_t> entries{entryOf(record, b, k)};
            if (k == 0)
                entries.push_back(std::size_t(b) * std::size_t(2 * record.halfSteps) + std::size_t(record.halfSteps));
            for (std::size_t e : entries)
                for (int c = 0; c < 2; ++c) {
                    record.gridX[c][e] = points[std::size_t(3 * c)];
                    record.gridY[c][e] = points[std::size_t(3 * c + 1)];
                    record.gridZ[c][e] = points[std::size_t(3 * c + 2)];
                }
        }
    }
}

verify::VerifyResult verified(const DesignRecord& record, const RefineOptions& options)
{
    verify::VerifyOptions v;
    v.step = options.verifyStep;
    v.threadCount = options.threadCount;
    return verify::verifyPrism(verify::geometryOfRecord(record), refractionDesignSheets(record), v);
}

} // namespace

verify::PrismSurfaces refractionDesignSheets(const DesignRecord& record)
{
    verify::PrismSurfaces surfaces = verify::designSurfacesFromRecord(record);
    const int h = record.halfSteps;
    const int first = 2 * record.quarterSteps;
    const int columns = 2 * record.quarterSteps;
    for (int c = 0; c < 2; ++c) {
        std::vector<verify::Vec3> samples;
        samples.reserve(std::size_t(columns) * std::size_t(2 * h - 1));
        for (int i = 0; i < columns; ++i)
            for (int k = -(h - 1); k <= h - 1; ++k) {
                const std::size_t e = entryOf(record, first + i, k);
                samples.emplace_back(record.gridX[c][e], record.gridY[c][e], record.gridZ[c][e]);
            }
        auto sheet = std::make_shared<verify::GridSheetSurface>(first, columns, -(h - 1), 2 * h - 1, std::move(samples));
        if (c == 0)
            surfaces.exit[1] = sheet;
        else
            surfaces.entrance[1] = sheet;
    }
    return surfaces;
}

RefineResult refineDesign(DesignRecord& record, const RefineOptions& options)
{
    RefineResult result;
    const Clock::time_point start = Clock::now();
    const auto elapsed = [&start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    const auto report = [&](const QString& line) {
        if (options.progress && elapsed() > 1.0)
            options.progress(QStringLiteral("refine: %1 (%2 s)").arg(line).arg(elapsed(), 0, 'f', 1));
    };
    const int threads = resolveThreadCount(options.threadCount);
    if (options.nodeStep < 1 || options.cellsX < 1 || options.cellsY < 1 || options.maxIterations < 1) {
        result.message = QStringLiteral("cannot refine: node step, cell counts and iterations must be at least 1");
        return result;
    }

    const std::size_t gridLength = std::size_t(8) * std::size_t(record.quarterSteps) * std::size_t(record.halfSteps);
    const std::size_t rowLength = std::size_t(4) * std::size_t(record.quarterSteps);
    bool allFinite = true;
    for (int c = 0; c < 2; ++c) {
        for (std::size_t e = 0; e < gridLength; ++e)
            allFinite = allFinite && std::isfinite(record.gridZ[c][e]);
        for (std::size_t b = 0; b < rowLength; ++b)
            allFinite = allFinite && std::isfinite(record.rowHeights[c][b]);
    }
    std::array<HalfProblem, 2> problems;
    for (int half = 0; half < 2 && allFinite; ++half)
        problems[std::size_t(half)] = buildProblem(record, half == 1, options, &allFinite);
    if (!allFinite) {
        result.message = QStringLiteral("cannot refine: the design has heights that are not finite; it is kept as it is");
        result.seconds = elapsed();
        return result;
    }
    const verify::VerifyResult before = verified(record, options);
    for (int half = 0; half < 2; ++half) {
        result.startDirectionRms[std::size_t(half)] = before.halves[std::size_t(half)].directionPx.rms;
        result.startDirectionMax[std::size_t(half)] = before.halves[std::size_t(half)].directionPx.max;
    }

    double startCost = 0, finalCost = 0, residualTotal = 0;
    bool converged = true;
    for (int half = 0; half < 2; ++half) {
        const QString name = half == 0 ? QStringLiteral("left half") : QStringLiteral("right half");
        const HalfOutcome outcome = solve(problems[std::size_t(half)], options, threads,
                                          [&](const QString& line) { report(name + QStringLiteral(", ") + line); });
        startCost += outcome.startCost;
        finalCost += outcome.finalCost;
        residualTotal += 4.0 * double(problems[std::size_t(half)].nodes.size());
        result.iterations += outcome.iterations;
        converged = converged && outcome.converged;
    }
    result.converged = converged;
    result.startMisfitRms = std::sqrt(startCost / residualTotal);
    result.finalMisfitRms = std::sqrt(finalCost / residualTotal);
    if (result.iterations == 0) {
        result.message = QStringLiteral("refinement did not converge: no step lowered the node residuals (RMS %1 px); "
                                        "the unrefined design is kept")
                             .arg(result.startMisfitRms, 0, 'g', 4);
        result.finalDirectionRms = result.startDirectionRms;
        result.finalDirectionMax = result.startDirectionMax;
        result.seconds = elapsed();
        return result;
    }

    // Keep the start to restore it exactly if the verifier finds it worse.
    std::vector<double> saved;
    saved.reserve(6 * gridLength + 2 * rowLength);
    for (int c = 0; c < 2; ++c) {
        for (double** set : {record.gridX, record.gridY, record.gridZ})
            saved.insert(saved.end(), set[c], set[c] + gridLength);
        saved.insert(saved.end(), record.rowHeights[c], record.rowHeights[c] + rowLength);
    }
    for (const HalfProblem& p : problems)
        applyCorrection(record, p);
    report(QStringLiteral("verifying"));
    const verify::VerifyResult after = verified(record, options);
    bool worse = false;
    for (int half = 0; half < 2; ++half) {
        result.finalDirectionRms[std::size_t(half)] = after.halves[std::size_t(half)].directionPx.rms;
        result.finalDirectionMax[std::size_t(half)] = after.halves[std::size_t(half)].directionPx.max;
        worse = worse || !(after.halves[std::size_t(half)].directionPx.rms <= before.halves[std::size_t(half)].directionPx.rms)
                || after.halves[std::size_t(half)].traced < before.halves[std::size_t(half)].traced;
    }
    if (worse) {
        const double* from = saved.data();
        for (int c = 0; c < 2; ++c) {
            for (double** set : {record.gridX, record.gridY, record.gridZ}) {
                std::copy(from, from + gridLength, set[c]);
                from += gridLength;
            }
            std::copy(from, from + rowLength, record.rowHeights[c]);
            from += rowLength;
        }
        result.message = QStringLiteral("refinement did not improve the verified direction error "
                                        "(RMS %1 / %2 px, max %9 / %10 px, against %3 / %4 px at the start, %5 / %6 pixels traced against %7 / %8); "
                                        "the unrefined design is kept")
                             .arg(result.finalDirectionRms[0], 0, 'g', 4).arg(result.finalDirectionRms[1], 0, 'g', 4)
                             .arg(result.startDirectionRms[0], 0, 'g', 4).arg(result.startDirectionRms[1], 0, 'g', 4)
                             .arg(after.halves[0].traced).arg(after.halves[1].traced)
                             .arg(before.halves[0].traced).arg(before.halves[1].traced)
                             .arg(result.finalDirectionMax[0], 0, 'g', 4).arg(result.finalDirectionMax[1], 0, 'g', 4);
        result.finalDirectionRms = result.startDirectionRms;
        result.finalDirectionMax = result.startDirectionMax;
        result.seconds = elapsed();
        return result;
    }
    result.applied = true;
    result.message = QStringLiteral("refined in %1 steps%2: node residual RMS %3 -> %4 px, verified direction RMS %5 / %6 px -> %7 / %8 px")
                         .arg(result.iterations)
                         .arg(converged ? QString() : QStringLiteral(" (stopped at the iteration limit)"))
                         .arg(result.startMisfitRms, 0, 'g', 4).arg(result.finalMisfitRms, 0, 'g', 4)
                         .arg(result.startDirectionRms[0], 0, 'g', 4).arg(result.startDirectionRms[1], 0, 'g', 4)
                         .arg(result.finalDirectionRms[0], 0, 'g', 4).arg(result.finalDirectionRms[1], 0, 'g', 4);
    result.seconds = elapsed();
    return result;
}
