#include "verify/band_shift.h"

#include "core/parallel_for.h"

#include <algorithm>
#include <cmath>

namespace verify {

BandShift measureBandShift(const PrismGeometry& shortEdge, const PrismGeometry& longEdge,
                           const PrismSurfaces& surfaces, int step, int threadCount, int centreBandColumns)
{
    std::vector<Pixel> pixels = samplePixels(step);
    if (centreBandColumns > 0)
        pixels.erase(std::remove_if(pixels.begin(), pixels.end(),
                                    [centreBandColumns](const Pixel& p) {
                                        return p.column >= centralColumn - centreBandColumns
                                               && p.column < centralColumn + centreBandColumns;
                                    }),
                     pixels.end());
    const std::size_t n = pixels.size();
    // Per pixel: shift x, y (px), and whether both edges got through.
    std::vector<double> shift(2 * n, 0.0);
    std::vector<char> traced(n, 0);
    const double dz = shortEdge.dz();
    constexpr int chunk = 512;
    const int chunks = static_cast<int>((n + chunk - 1) / chunk);
    parallelFor(chunks, resolveThreadCount(threadCount), [&](int, int c) {
        const std::size_t first = std::size_t(c) * chunk;
        const std::size_t last = std::min(n, first + chunk);
        for (std::size_t i = first; i < last; ++i) {
            const double x = pixelX(pixels[i].column);
            const double y = pixelY(pixels[i].row);
            const TracedRay a = traceCameraRay(shortEdge, surfaces, x, y);
            const TracedRay b = traceCameraRay(longEdge, surfaces, x, y);
            if (!a.traced() || !b.traced() || !(a.direction.z() < 0.0) || !(b.direction.z() < 0.0))
                continue;
            traced[i] = 1;
            shift[2 * i] = dz * (a.direction.x() / a.direction.z() - b.direction.x() / b.direction.z()) / pixelPitch;
            shift[2 * i + 1] =
                dz * (a.direction.y() / a.direction.z() - b.direction.y() / b.direction.z()) / pixelPitch;
        }
    });
    BandShift result;
    double sumAll = 0.0;
    int countAll = 0;
    for (int half = 0; half < 2; ++half) {
        BandShiftHalf& h = result.halves[static_cast<std::size_t>(half)];
        const auto inHalf = [&](std::size_t i) {
            return traced[i] && (pixels[i].column < centralColumn ? 0 : 1) == half;
        };
        double sum = 0.0, sx = 0.0, sy = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            if (!inHalf(i))
                continue;
            const double length = std::hypot(shift[2 * i], shift[2 * i + 1]);
            ++h.count;
            sum += length * length;
            h.maxPx = std::max(h.maxPx, length);
            sx += shift[2 * i];
            sy += shift[2 * i + 1];
        }
        if (h.count == 0)
            continue;
        h.rmsPx = std::sqrt(sum / h.count);
        h.meanXPx = sx / h.count;
        h.meanYPx = sy / h.count;
        h.meanPx = std::hypot(h.meanXPx, h.meanYPx);
        double rest = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            if (!inHalf(i))
                continue;
            const double length = std::hypot(shift[2 * i] - h.meanXPx, shift[2 * i + 1] - h.meanYPx);
            rest += length * length;
            h.demeanedMaxPx = std::max(h.demeanedMaxPx, length);
        }
        h.demeanedRmsPx = std::sqrt(rest / h.count);
        sumAll += sum;
        countAll += h.count;
        result.maxPx = std::max(result.maxPx, h.maxPx);
    }
    result.rmsPx = countAll > 0 ? std::sqrt(sumAll / countAll) : std::nan("");
    return result;
}

}  // namespace verify
