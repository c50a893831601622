#include "calibration/target_imaging.h"

#include "core/parallel_for.h"

#include <algorithm>
#include <cmath>

namespace calibration {

namespace {

constexpr double kPi = 3.14159265358979323846;

double halfCentreX(const StereoRig& rig, SensorHalf half)
{
    const double quarter = 0.5 * rig.halfWidth() * rig.pixelPitch;
    return half == SensorHalf::Left ? -quarter : quarter;
}

// Where the ray of sensor point (x, y) meets the plane z = planeZ.
bool rayHitsPlane(const OutgoingRay& ray, double planeZ, double* X, double* Y)
{
    if (!ray.valid || !(std::fabs(ray.direction[2]) > 0.0))
        return false;
    const double t = (planeZ - ray.origin[2]) / ray.direction[2];
    if (!(t > 0.0) || !std::isfinite(t))
        return false;
    *X = ray.origin[0] + t * ray.direction[0];
    *Y = ray.origin[1] + t * ray.direction[1];
    return std::isfinite(*X) && std::isfinite(*Y);
}

}  // namespace

void pixelToSensor(const StereoRig& rig, SensorHalf half, double u, double v, double* x, double* y)
{
    *x = halfCentreX(rig, half) + (u - 0.5 * rig.halfWidth()) * rig.pixelPitch;
    *y = -(v - 0.5 * rig.resolutionY) * rig.pixelPitch;
}

void sensorToPixel(const StereoRig& rig, SensorHalf half, double x, double y, double* u, double* v)
{
    *u = (x - halfCentreX(rig, half)) / rig.pixelPitch + 0.5 * rig.halfWidth();
    *v = -y / rig.pixelPitch + 0.5 * rig.resolutionY;
}

RayMapping idealPinholeMapping(const StereoRig& rig, SensorHalf half)
{
    const double pinholeX = half == SensorHalf::Left ? rig.virtualPinholeX : -rig.virtualPinholeX;
    const double shift = -halfCentreX(rig, half);
    const double focal = rig.focalLength;
    const double height = rig.pinholeHeight;
    return [=](double x, double y) {
        OutgoingRay ray;
        ray.origin = {pinholeX, 0.0, height};
        ray.direction = {x + shift, y, -focal};
        ray.valid = true;
        return ray;
    };
}

std::vector<TargetView> makeTargetViews(const StereoRig& rig, const TargetOptions& options)
{
    struct Tilt { double aboutX, aboutY; };
    std::vector<Tilt> tilts{{0.0, 0.0}};
    if (options.tiltDeg != 0.0) {
        tilts.push_back({options.tiltDeg, 0.0});
        tilts.push_back({-options.tiltDeg, 0.0});
        tilts.push_back({0.0, options.tiltDeg});
        tilts.push_back({0.0, -options.tiltDeg});
    }
    const double fieldPerDepthX = 0.5 * rig.halfWidth() * rig.pixelPitch / rig.focalLength;
    const double fieldPerDepthY = 0.5 * rig.resolutionY * rig.pixelPitch / rig.focalLength;
    const double stretch = 1.05 / std::cos(options.tiltDeg * kPi / 180.0);

    std::vector<TargetView> views;
    for (double depth : options.depthsMm) {
        const double distance = rig.pinholeHeight + depth;  // from the pinhole plane
        const double halfFieldX = fieldPerDepthX * distance;
        const double halfFieldY = fieldPerDepthY * distance;
        // A multiple of 1/1024 mm: the target points are then exact in single
        // precision, the form in which OpenCV's calibration takes them.
        const double spacing = std::max(1.0, std::round(2048.0 * halfFieldX / std::max(2, options.pointsAcrossHalf))) / 1024.0;
        const int nx = int(std::ceil((std::fabs(rig.virtualPinholeX) + halfFieldX) * stretch / spacing));
        const int ny = int(std::ceil(halfFieldY * stretch / spacing));
        for (const Tilt& tilt : tilts) {
            TargetView view;
            view.depthMm = depth;
            view.tiltXDeg = tilt.aboutX;
            view.tiltYDeg = tilt.aboutY;
            const double a = tilt.aboutX * kPi / 180.0;
            const double b = tilt.aboutY * kPi / 180.0;
            const double ca = std::cos(a), sa = std::sin(a), cb = std::cos(b), sb = std::sin(b);
            for (int j = -ny; j <= ny; ++j) {
                for (int i = -nx; i <= nx; ++i) {
                    const Vec3 p{i * spacing, j * spacing, 0.0};
                    // about y, then about x (only one of them is non-zero)
                    const Vec3 q{cb * p[0] + sb * p[2], p[1], -sb * p[0] + cb * p[2]};
                    const Vec3 r{q[0], ca * q[1] - sa * q[2], sa * q[1] + ca * q[2]};
                    view.targetPoints.push_back(p);
                    view.worldPoints.push_back({r[0], r[1], -depth + r[2]});
                }
            }
            views.push_back(std::move(view));
        }
    }
    return views;
}

void idealPixel(const StereoRig& rig, SensorHalf half, const Vec3& point, double* u, double* v)
{
    const double pinholeX = half == SensorHalf::Left ? rig.virtualPinholeX : -rig.virtualPinholeX;
    const double depth = rig.pinholeHeight - point[2];
    sensorToPixel(rig, half, halfCentreX(rig, half) + (point[0] - pinholeX) * rig.focalLength / depth,
                  point[1] * rig.focalLength / depth, u, v);
}

ImagedPoint imageWorldPoint(const StereoRig& rig, SensorHalf half, const Vec3& point, const double* start)
{
    ImagedPoint result;
    const RayMapping& mapping = rig.mapping(half);
    if (!mapping)
        return result;

    // Start: the given pixel, or the ideal pinhole's pixel of the point.
    if (!(rig.pinholeHeight - point[2] > 0.0))
        return result;
    double u = 0.0, v = 0.0;
    if (start) {
        u = start[0];
        v = start[1];
    } else {
        idealPixel(rig, half, point, &u, &v);
    }

    auto miss = [&](double pu, double pv, double* dx, double* dy) {
        double x = 0.0, y = 0.0, X = 0.0, Y = 0.0;
        pixelToSensor(rig, half, pu, pv, &x, &y);
        if (!rayHitsPlane(mapping(x, y), point[2], &X, &Y))
            return false;
        *dx = X - point[0];
        *dy = Y - point[1];
        return true;
    };

    const double h = 1e-3;
    const double limit = 10.0 * (rig.halfWidth() + rig.resolutionY);
    const double margin = 50.0;
    double rx = 0.0, ry = 0.0;
    if (!miss(u, v, &rx, &ry))
        return result;
    for (int iteration = 1; iteration <= 40; ++iteration) {
        double a[2], c[2];
        if (!miss(u + h, v, &a[0], &a[1]) || !miss(u, v + h, &c[0], &c[1]))
            return result;
        const double j00 = (a[0] - rx) / h, j10 = (a[1] - ry) / h;
        const double j01 = (c[0] - rx) / h, j11 = (c[1] - ry) / h;
        const double det = j00 * j11 - j01 * j10;
        if (!(std::fabs(det) > 0.0))
            return result;
        const double du = -(j11 * rx - j01 * ry) / det;
        const double dv = -(-j10 * rx + j00 * ry) / det;
        const double stepLength = std::hypot(du, dv);
        result.iterations = iteration;
        // A step that leaves the valid rays is halved until it stays inside.
        double scale = 1.0;
        double nu = u + du, nv = v + dv, nrx = 0.0, nry = 0.0;
        while (!miss(nu, nv, &nrx, &nry)) {
            scale *= 0.5;
            if (scale < 1e-6)
                return result;
            nu = u + scale * du;
            nv = v + scale * dv;
        }
        u = nu;
        v = nv;
        rx = nrx;
        ry = nry;
        if (!(std::fabs(u) < limit && std::fabs(v) < limit))
            return result;
        // Far outside the image after two full steps: not seen by this half.
        if (iteration >= 2 && scale == 1.0
            && (u < -margin || u > rig.halfWidth() + margin || v < -margin || v > rig.resolutionY + margin))
            return result;
        if (scale == 1.0 && stepLength < 1e-10) {
            result.missPx = std::hypot((j11 * rx - j01 * ry) / det, (-j10 * rx + j00 * ry) / det);
            result.u = u;
            result.v = v;
            result.converged = true;
            result.imaged = u >= -0.5 && u <= rig.halfWidth() - 0.5 && v >= -0.5 && v <= rig.resolutionY - 0.5;
            return result;
        }
    }
    return result;
}

HalfObservations imageTargetViews(const StereoRig& rig, SensorHalf half,
                                  const std::vector<TargetView>& views, int threadCount)
{
    // One view per job, its points in grid order: each search starts from the
    // previous point's pixel moved by the ideal pinhole's step between them,
    // and from the ideal pixel when that fails or the previous one did not
    // converge; then once backwards from the next point for those still
    // without a solution. A point seen by two pixels (where the mapping
    // folds) keeps the first solution found.
    HalfObservations observations(views.size());
    parallelFor(int(views.size()), resolveThreadCount(threadCount), [&](int, int index) {
        const TargetView& view = views[size_t(index)];
        std::vector<ImagedPoint>& out = observations[size_t(index)];
        out.resize(view.worldPoints.size());
        double previousIdeal[2] = {0.0, 0.0};
        bool warm = false;
        for (size_t j = 0; j < view.worldPoints.size(); ++j) {
            double ideal[2];
            idealPixel(rig, half, view.worldPoints[j], &ideal[0], &ideal[1]);
            ImagedPoint found;
            if (warm) {
                const double start[2] = {out[j - 1].u + ideal[0] - previousIdeal[0],
                                         out[j - 1].v + ideal[1] - previousIdeal[1]};
                found = imageWorldPoint(rig, half, view.worldPoints[j], start);
            }
            if (!found.converged)
                found = imageWorldPoint(rig, half, view.worldPoints[j]);
            out[j] = found;
            warm = found.converged;
            previousIdeal[0] = ideal[0];
            previousIdeal[1] = ideal[1];
        }
        // Backwards for the points still without a solution, from the next one.
        for (size_t j = view.worldPoints.size() - 1; j-- > 0;) {
            if (out[j].converged || !out[j + 1].converged)
                continue;
            double ideal[2], next[2];
            idealPixel(rig, half, view.worldPoints[j], &ideal[0], &ideal[1]);
            idealPixel(rig, half, view.worldPoints[j + 1], &next[0], &next[1]);
            const double start[2] = {out[j + 1].u + ideal[0] - next[0], out[j + 1].v + ideal[1] - next[1]};
            const ImagedPoint found = imageWorldPoint(rig, half, view.worldPoints[j], start);
            if (found.converged)
                out[j] = found;
        }
    });
    return observations;
}

}  // namespace calibration
