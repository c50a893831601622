#include "verify/verify.h"

#include "core/optics_lines.h"
#include "core/parallel_for.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace verify {

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

namespace {

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
    const Ray camera{Vec3(0.0, 0.0, g.pinholeHeight()), Vec3(x, y, g.dz()).normalized()};
    return traceRay(surfaces, g.refractiveIndex, x < 0.0 ? 0 : 1, camera, x, y, g.secondIndex);
}

TracedRay traceRay(const PrismSurfaces& surfaces, double refractiveIndex, int half, const Ray& camera, double x,
                   double y, double secondIndex)
{
    TracedRay out;
    const SurfaceHit entrance = surfaces.entrance[half]->intersect(camera, x, y);
    if (entrance.status != HitStatus::Hit) {
        out.flags |= entrance.status == HitStatus::Miss ? RayMissedEntrance : RayNoConvergence;
        return out;
    }
    out.entrancePoint = entrance.point;
    optics::refract(camera.direction, entrance.normal, 1.0 / refractiveIndex, &out.glassDirection);
    Ray glass{entrance.point, out.glassDirection};
    double lastIndex = refractiveIndex;
    bool outsideWindow = entrance.outsideWindow;
    if (const Surface* interface = surfaces.interface[half].get()) {
        const SurfaceHit cemented = interface->intersect(glass, x, y);
        if (cemented.status != HitStatus::Hit) {
            out.flags |= cemented.status == HitStatus::Miss ? RayMissedInterface : RayNoConvergence;
            return out;
        }
        out.interfacePoint = cemented.point;
        if (!optics::refract(glass.direction, cemented.normal, refractiveIndex / secondIndex, &glass.direction)) {
            out.flags |= RayTotalReflection;
            return out;
        }
        glass.origin = cemented.point;
        lastIndex = secondIndex;
        outsideWindow = outsideWindow || cemented.outsideWindow;
    }
    const SurfaceHit exit = surfaces.exit[half]->intersect(glass, x, y);
    if (exit.status != HitStatus::Hit) {
        out.flags |= exit.status == HitStatus::Miss ? RayMissedExit : RayNoConvergence;
        return out;
    }
    out.exitPoint = exit.point;
    if (!optics::refract(glass.direction, exit.normal, lastIndex, &out.direction)) {
        out.flags |= RayTotalReflection;
        return out;
    }
    if (outsideWindow || exit.outsideWindow)
        out.flags |= RayOutsideWindow;
    const auto otherSide = [half](const Vec3& p) { return half == 0 ? p.x() >= 0.0 : p.x() < 0.0; };
    if (otherSide(out.entrancePoint) || otherSide(out.exitPoint))
        out.flags |= RayCrossedCentre;
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

namespace {

// Non-centrality, mirror asymmetry, centre band and the half without it,
// from the traced pixels' lines (crossing of the pinhole plane relative to
// the ideal pinhole, and direction).
void stereoFigures(const PrismGeometry& g, const VerifyOptions& options, const std::vector<Pixel>& pixels,
                   const std::vector<unsigned>& flags, const std::vector<double>& metrics, std::size_t metricCount,
                   const std::vector<double>& lines, const std::vector<int>& at, int half, HalfStatistics* h)
{
    constexpr std::size_t lineCount = 5;
    const auto inHalf = [&](std::size_t i) {
        return (pixels[i].column < centralColumn ? 0 : 1) == half && !(flags[i] & rayFailureFlags);
    };
    const auto lineOf = [&](std::size_t i, Vec3* p, Vec3* d) {
        const double* l = &lines[i * lineCount];
        *p = Vec3(l[0], l[1], 0.0);
        *d = Vec3(l[2], l[3], l[4]);
    };

    // The band: a fixed width, or out to the farthest column crossing x = 0.
    CentreBand& band = h->centreBand;
    int width = std::max(0, std::min(options.centreBandColumns, centralColumn));
    if (options.centreBandColumns <= 0) {
        width = 0;
        for (std::size_t i = 0; i < pixels.size(); ++i)
            if (inHalf(i) && (flags[i] & RayCrossedCentre))
                width = std::max(width, half == 0 ? centralColumn - pixels[i].column : pixels[i].column - centralColumn + 1);
    }
    band.firstColumn = half == 0 ? centralColumn - width : centralColumn;
    band.lastColumn = half == 0 ? centralColumn - 1 : centralColumn + width - 1;
    const auto inBand = [&](std::size_t i) {
        return pixels[i].column >= band.firstColumn && pixels[i].column <= band.lastColumn;
    };

    std::vector<Vec3> points, directions, outsidePoints, outsideDirections;
    for (std::vector<Vec3>* v : {&points, &directions, &outsidePoints, &outsideDirections})
        v->reserve(pixels.size() / 2 + 1);
    OutsideCentreBand& outside = h->outsideCentreBand;
    double outsideDirection = 0.0;
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        if (!inHalf(i))
            continue;
        Vec3 p, d;
        lineOf(i, &p, &d);
        points.push_back(p);
        directions.push_back(d);
        if (inBand(i))
            continue;
        outsidePoints.push_back(p);
        outsideDirections.push_back(d);
        const double direction = metrics[i * metricCount];
        ++outside.traced;
        outsideDirection += direction * direction;
        outside.directionMaxPx = std::max(outside.directionMaxPx, direction);
    }
    const double pxPerMm = g.focalLength / (pixelPitch * options.nearDepthMm);
    const Vec3 pinhole = halfFrame(g, half == 0 ? -1.0 : 1.0).pinhole;
    const auto nonCentralityOf = [&](const optics::CommonPoint& fit) {
        NonCentrality c;
        c.commonPoint = fit.point + pinhole;
        c.count = fit.lines;
        c.rmsMm = fit.rms;
        c.maxMm = fit.lines > 0 ? fit.max : 0.0;
        c.rmsPx = c.rmsMm * pxPerMm;
        c.maxPx = c.maxMm * pxPerMm;
        return c;
    };
    const optics::CommonPoint fit = optics::commonPointOfLines(points, directions);
    h->nonCentrality = nonCentralityOf(fit);
    outside.nonCentrality = nonCentralityOf(optics::commonPointOfLines(outsidePoints, outsideDirections));
    const Vec3 common = fit.point;
    double bandSum = 0.0, bandDirection = 0.0;
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        if (!inHalf(i) || !inBand(i))
            continue;
        Vec3 p, d;
        lineOf(i, &p, &d);
        const double distance = (common - p).cross(d).norm();
        const double direction = metrics[i * metricCount];
        ++band.traced;
        if (flags[i] & RayCrossedCentre)
            ++band.crossing;
        bandSum += distance * distance;
        band.nonCentralityMaxMm = std::max(band.nonCentralityMaxMm, distance);
        bandDirection += direction * direction;
        band.directionMaxPx = std::max(band.directionMaxPx, direction);
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    band.nonCentralityRmsMm = band.traced > 0 ? std::sqrt(bandSum / band.traced) : nan;
    band.directionRmsPx = band.traced > 0 ? std::sqrt(bandDirection / band.traced) : nan;
    outside.directionRmsPx = outside.traced > 0 ? std::sqrt(outsideDirection / outside.traced) : nan;

    // Mirrored rows: pixel (c, 540 + k) against (c, 540 - k).
    MirrorAsymmetry& m = h->mirrorAsymmetryPx;
    double mirrorSum = 0.0;
    const double dz = g.dz();
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        if (!inHalf(i) || pixels[i].row <= centralRow)
            continue;
        const int mirrorRow = 2 * centralRow - pixels[i].row;
        if (mirrorRow < 0)
            continue;
        const int j = at[static_cast<std::size_t>(mirrorRow) * sensorColumns + pixels[i].column];
        if (j < 0 || !inHalf(static_cast<std::size_t>(j)))
            continue;
        Vec3 p, d, q, e;
        lineOf(i, &p, &d);
        lineOf(static_cast<std::size_t>(j), &q, &e);
        const double difference =
            std::hypot(dz * (d.x() / d.z() - e.x() / e.z()), dz * (d.y() / d.z() + e.y() / e.z())) / pixelPitch;
        mirrorSum += difference * difference;
        m.max = std::max(m.max, difference);
        ++m.pairs;
    }
    m.rms = m.pairs > 0 ? std::sqrt(mirrorSum / m.pairs) : nan;
}

}  // namespace

VerifyResult verifyPrism(const PrismGeometry& g, const PrismSurfaces& surfaces, const VerifyOptions& options)
{
    VerifyResult result;
    result.depths = options.depths;
    result.step = options.step;
    result.nearDepthMm = options.nearDepthMm;
    const std::vector<Pixel> pixels = samplePixels(options.step);
    const std::size_t n = pixels.size();
    const std::size_t depthCount = options.depths.size();
    const std::size_t metricCount = 2 + depthCount;
    // Per traced pixel besides its errors: where its outgoing line crosses
    // the plane of the ideal pinhole (x, y relative to it) and its direction.
    constexpr std::size_t lineCount = 5;
    std::vector<double> lines(n * lineCount, 0.0);
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
            const Vec3 v = halfFrame(g, x).pinhole;
            const Vec3& d = ray.direction;
            const Vec3 crossing = ray.exitPoint + ((v.z() - ray.exitPoint.z()) / d.z()) * d - v;
            double* line = &lines[i * lineCount];
            line[0] = crossing.x();
            line[1] = crossing.y();
            line[2] = d.x();
            line[3] = d.y();
            line[4] = d.z();
        }
    });
    // Sample index of each pixel, for the mirrored rows.
    std::vector<int> at(static_cast<std::size_t>(sensorColumns) * sensorRows, -1);
    for (std::size_t i = 0; i < n; ++i)
        at[static_cast<std::size_t>(pixels[i].row) * sensorColumns + pixels[i].column] = static_cast<int>(i);

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
            if (f & (RayMissedEntrance | RayMissedExit | RayMissedInterface))
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
        stereoFigures(g, options, pixels, flags, metrics, metricCount, lines, at, half, &h);
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
