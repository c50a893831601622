#include "verify/verify.h"

#include "design/parallel_for.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace verify {

namespace {

struct HalfFrame {
    int half;       // SensorHalf index
    double xv;      // virtual camera's pixel x
    Vec3 pinhole;   // V
};

HalfFrame halfFrame(const PrismGeometry& g, double x)
{
    const bool left = x < 0.0;
    const double q = PrismGeometry::quarterWidth;
    return {left ? 0 : 1, left ? x + q : x - q,
            Vec3(left ? g.virtualPinholeX : -g.virtualPinholeX, 0.0, g.pinholeHeight())};
}

// Pixel of the virtual camera (image plane dz below V) that sees direction d.
bool imageOfDirection(double dz, const Vec3& d, double* px, double* py)
{
    if (!(d.z() < 0.0))
        return false;
    *px = dz * d.x() / d.z();
    *py = dz * d.y() / d.z();
    return true;
}

MetricStatistics statisticsOf(std::vector<double>& values, const std::vector<Pixel>& where)
{
    MetricStatistics s;
    s.count = static_cast<int>(values.size());
    if (values.empty()) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        s.rms = s.p95 = s.max = nan;
        return s;
    }
    double sum = 0.0;
    s.max = -std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < values.size(); ++i) {
        sum += values[i] * values[i];
        if (values[i] > s.max || (std::isnan(values[i]) && !std::isnan(s.max))) {
            s.max = values[i];
            s.maxAt = where[i];
        }
    }
    s.rms = std::sqrt(sum / static_cast<double>(values.size()));
    const std::size_t rank = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(values.size()))) - 1;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank), values.end(),
                     [](double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); });
    s.p95 = values[rank];
    return s;
}

}  // namespace

DepthRange stereoWorkingRange(const PrismGeometry& g)
{
    const double overlap = 2.0 * std::fabs(g.virtualPinholeX) * g.focalLength / PrismGeometry::quarterWidth
                           - g.pinholeHeight();
    return {std::max(overlap, 1.0), 10000.0};
}

TracedRay traceCameraRay(const PrismGeometry& g, const PrismSurfaces& surfaces, double x, double y)
{
    TracedRay out;
    const int half = x < 0.0 ? 0 : 1;
    const Ray camera{Vec3(0.0, 0.0, g.pinholeHeight()), Vec3(x, y, g.dz()).normalized()};
    const SurfaceHit entrance = surfaces.entrance[half]->intersect(camera, x, y);
    if (entrance.status != HitStatus::Hit) {
        out.flags |= entrance.status == HitStatus::Miss ? RayMissedEntrance : RayNoConvergence;
        return out;
    }
    out.entrancePoint = entrance.point;
    optics::refract(camera.direction, entrance.normal, 1.0 / g.refractiveIndex, &out.glassDirection);
    const Ray glass{entrance.point, out.glassDirection};
    const SurfaceHit exit = surfaces.exit[half]->intersect(glass, x, y);
    if (exit.status != HitStatus::Hit) {
        out.flags |= exit.status == HitStatus::Miss ? RayMissedExit : RayNoConvergence;
        return out;
    }
    out.exitPoint = exit.point;
    if (!optics::refract(out.glassDirection, exit.normal, g.refractiveIndex, &out.direction)) {
        out.flags |= RayTotalReflection;
        return out;
    }
    if (entrance.outsideWindow || exit.outsideWindow)
        out.flags |= RayOutsideWindow;
    return out;
}

namespace {

// The errors into out[0] (direction), out[1] (pinhole) and out[2 + k] (depth k).
void writePixelErrors(const PrismGeometry& g, double x, double y, const TracedRay& ray,
                      const std::vector<double>& depths, double* out)
{
    const double inf = std::numeric_limits<double>::infinity();
    const HalfFrame frame = halfFrame(g, x);
    const double dz = g.dz();
    const Vec3& d = ray.direction;
    double px = 0.0;
    double py = 0.0;
    out[0] = imageOfDirection(dz, d, &px, &py) ? std::hypot(px - frame.xv, py - y) / pixelPitch : inf;
    out[1] = (frame.pinhole - ray.exitPoint).cross(d).norm();
    for (std::size_t k = 0; k < depths.size(); ++k) {
        double error = inf;
        if (d.z() < 0.0) {
            const Vec3 scene = ray.exitPoint + ((-depths[k] - ray.exitPoint.z()) / d.z()) * d;
            if (imageOfDirection(dz, scene - frame.pinhole, &px, &py))
                error = std::hypot(px - frame.xv, py - y) / pixelPitch;
        }
        out[2 + k] = error;
    }
}

}  // namespace

PixelErrors pixelErrors(const PrismGeometry& g, double x, double y, const TracedRay& ray,
                        const std::vector<double>& depths)
{
    std::vector<double> values(2 + depths.size());
    writePixelErrors(g, x, y, ray, depths, values.data());
    PixelErrors e;
    e.directionPx = values[0];
    e.pinholeMm = values[1];
    e.reprojectionPx.assign(values.begin() + 2, values.end());
    return e;
}

std::vector<Pixel> samplePixels(int step)
{
    std::vector<Pixel> pixels;
    if (step < 1)
        return pixels;
    const int firstColumn = step / 2;
    const int sampledColumns = (sensorColumns - firstColumn + step - 1) / step;
    pixels.reserve(static_cast<std::size_t>(sensorRows / step + 2) * sampledColumns + sensorColumns);
    const int lowest = -((centralRow) / step) * step;
    for (int offset = lowest; centralRow + offset < sensorRows; offset += step) {
        const int row = centralRow + offset;
        if (offset == 0) {
            for (int column = 0; column < sensorColumns; ++column)
                pixels.push_back({column, row});
            continue;
        }
        for (int column = firstColumn; column < sensorColumns; column += step)
            pixels.push_back({column, row});
    }
    return pixels;
}

VerifyResult verifyPrism(const PrismGeometry& g, const PrismSurfaces& surfaces, const VerifyOptions& options)
{
    VerifyResult result;
    result.depths = options.depths;
    result.step = options.step;
    const std::vector<Pixel> pixels = samplePixels(options.step);
    const std::size_t n = pixels.size();
    const std::size_t depthCount = options.depths.size();
    const std::size_t metricCount = 2 + depthCount;
    std::vector<unsigned> flags(n, 0);
    std::vector<double> metrics(n * metricCount, 0.0);

    constexpr int chunk = 512;
    const int chunks = static_cast<int>((n + chunk - 1) / chunk);
    parallelFor(chunks, resolveThreadCount(options.threadCount), [&](int, int c) {
        const std::size_t first = std::size_t(c) * chunk;
        const std::size_t last = std::min(n, first + chunk);
        for (std::size_t i = first; i < last; ++i) {
            const double x = pixelX(pixels[i].column);
            const double y = pixelY(pixels[i].row);
            const TracedRay ray = traceCameraRay(g, surfaces, x, y);
            flags[i] = ray.flags;
            if (!ray.traced())
                continue;
            writePixelErrors(g, x, y, ray, options.depths, &metrics[i * metricCount]);
        }
    });

    // Gathered in sample order on this thread: the same for any thread count.
    for (int half = 0; half < 2; ++half) {
        HalfStatistics& h = result.halves[static_cast<std::size_t>(half)];
        std::vector<std::vector<double>> values(metricCount);
        std::vector<Pixel> where;
        for (std::size_t i = 0; i < n; ++i) {
            if ((pixels[i].column < centralColumn ? 0 : 1) != half)
                continue;
            ++h.sampled;
            const unsigned f = flags[i];
            if (f & (RayMissedEntrance | RayMissedExit))
                ++h.missed;
            else if (f & RayTotalReflection)
                ++h.totalReflection;
            else if (f & RayNoConvergence)
                ++h.noConvergence;
            if (f & rayFailureFlags)
                continue;
            ++h.traced;
            if (f & RayOutsideWindow)
                ++h.outsideWindow;
            where.push_back(pixels[i]);
            for (std::size_t k = 0; k < metricCount; ++k)
                values[k].push_back(metrics[i * metricCount + k]);
        }
        h.directionPx = statisticsOf(values[0], where);
        h.pinholeMm = statisticsOf(values[1], where);
        for (std::size_t k = 0; k < depthCount; ++k)
            h.reprojectionPx.push_back(statisticsOf(values[2 + k], where));
    }

    if (options.keepPixels) {
        result.pixels.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            PixelResult& p = result.pixels[i];
            p.pixel = pixels[i];
            p.flags = flags[i];
            if (!(flags[i] & rayFailureFlags)) {
                p.errors.directionPx = metrics[i * metricCount];
                p.errors.pinholeMm = metrics[i * metricCount + 1];
                p.errors.reprojectionPx.assign(metrics.begin() + static_cast<std::ptrdiff_t>(i * metricCount + 2),
                                               metrics.begin() + static_cast<std::ptrdiff_t>((i + 1) * metricCount));
            }
        }
    }
    return result;
}

}  // namespace verify
