#include "verify/lateral_colour.h"

#include "core/parallel_for.h"

#include <algorithm>
#include <cmath>

namespace verify {

namespace {

// Per pixel: the image displacement of the outgoing direction (x, y), then
// per depth the x displacement of the scene point's image through V.
struct EdgeImages {
    bool traced = false;
    std::vector<double> values;
};

EdgeImages imagesAt(const PrismGeometry& g, const PrismSurfaces& surfaces, double index, double x, double y,
                    const std::vector<double>& depths)
{
    EdgeImages out;
    PrismGeometry at = g;
    at.refractiveIndex = index;
    const TracedRay ray = traceCameraRay(at, surfaces, x, y);
    const Vec3& d = ray.direction;
    if (!ray.traced() || !(d.z() < 0.0))
        return out;
    const HalfFrame frame = halfFrame(g, x);
    out.values.resize(2 + depths.size());
    if (!imageOfDirection(g.dz(), d, &out.values[0], &out.values[1]))
        return out;
    for (std::size_t k = 0; k < depths.size(); ++k) {
        const Vec3 scene = ray.exitPoint + ((-depths[k] - ray.exitPoint.z()) / d.z()) * d;
        double py = 0.0;
        if (!imageOfDirection(g.dz(), scene - frame.pinhole, &out.values[2 + k], &py))
            return out;
    }
    out.traced = true;
    return out;
}

}  // namespace

LateralColour measureLateralColour(const PrismGeometry& g, const PrismSurfaces& surfaces, double shortIndex,
                                   double longIndex, const LateralColourOptions& options)
{
    LateralColour result;
    result.shortIndex = shortIndex;
    result.longIndex = longIndex;
    result.step = options.step;
    const std::vector<Pixel> pixels = samplePixels(options.step);
    const std::size_t n = pixels.size();
    const std::size_t width = 2 + options.depths.size();
    std::vector<char> traced(n, 0);
    std::vector<double> shift(n * width, 0.0);  // short minus long, px

    constexpr int chunk = 512;
    const int chunks = static_cast<int>((n + chunk - 1) / chunk);
    parallelFor(chunks, resolveThreadCount(options.threadCount), [&](int, int c) {
        const std::size_t first = std::size_t(c) * chunk;
        const std::size_t last = std::min(n, first + chunk);
        for (std::size_t i = first; i < last; ++i) {
            const double x = pixelX(pixels[i].column);
            const double y = pixelY(pixels[i].row);
            const EdgeImages s = imagesAt(g, surfaces, shortIndex, x, y, options.depths);
            const EdgeImages l = imagesAt(g, surfaces, longIndex, x, y, options.depths);
            if (!s.traced || !l.traced)
                continue;
            traced[i] = 1;
            for (std::size_t k = 0; k < width; ++k)
                shift[i * width + k] = (s.values[k] - l.values[k]) / pixelPitch;
        }
    });

    // Gathered in sample order on this thread: the same for any thread count.
    std::array<std::vector<double>, 2> depthMeans;
    for (int half = 0; half < 2; ++half) {
        HalfLateralColour& h = result.halves[half];
        double sumX = 0.0, sumY = 0.0, sumSquares = 0.0;
        std::vector<double> sumDepth(options.depths.size(), 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            if (!traced[i] || (pixels[i].column < centralColumn) != (half == 0))
                continue;
            const double* s = &shift[i * width];
            ++h.traced;
            sumX += s[0];
            sumY += s[1];
            const double length = std::hypot(s[0], s[1]);
            sumSquares += length * length;
            h.maxPx = std::max(h.maxPx, length);
            for (std::size_t k = 0; k < options.depths.size(); ++k)
                sumDepth[k] += s[2 + k];
        }
        if (h.traced == 0)
            continue;
        h.rmsPx = std::sqrt(sumSquares / h.traced);
        h.meanXPx = sumX / h.traced;
        h.meanYPx = sumY / h.traced;
        h.meanPx = std::hypot(h.meanXPx, h.meanYPx);
        double demeanedSquares = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            if (!traced[i] || (pixels[i].column < centralColumn) != (half == 0))
                continue;
            const double length = std::hypot(shift[i * width] - h.meanXPx, shift[i * width + 1] - h.meanYPx);
            demeanedSquares += length * length;
            h.demeanedMaxPx = std::max(h.demeanedMaxPx, length);
        }
        h.demeanedRmsPx = std::sqrt(demeanedSquares / h.traced);
        for (double& s : sumDepth)
            s /= h.traced;
        depthMeans[half] = sumDepth;
    }

    // A scene point's image moves against the pixel's scene point, so the
    // disparity uL - uR changes by the right half's mean minus the left's.
    const double baseline = 2.0 * std::fabs(g.virtualPinholeX);
    for (std::size_t k = 0; k < options.depths.size(); ++k) {
        DepthColour d;
        d.depthMm = options.depths[k];
        const double distance = d.depthMm + g.pinholeHeight();
        d.disparityPx = g.focalLength * baseline / (distance * pixelPitch);
        if (depthMeans[0].size() == options.depths.size() && depthMeans[1].size() == options.depths.size()) {
            d.disparityDifferencePx = depthMeans[1][k] - depthMeans[0][k];
            const double shortDistance = distance * d.disparityPx / (d.disparityPx + d.disparityDifferencePx);
            d.depthErrorMm = shortDistance - distance;
            d.depthErrorPercent = 100.0 * d.depthErrorMm / distance;
        }
        result.depths.push_back(d);
    }

    if (options.keepPixels) {
        result.pixels.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            ColourPixel& p = result.pixels[i];
            p.pixel = pixels[i];
            p.traced = traced[i] != 0;
            p.dxPx = shift[i * width];
            p.dyPx = shift[i * width + 1];
        }
    }
    return result;
}

}  // namespace verify
