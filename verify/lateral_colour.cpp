#include "verify/lateral_colour.h"

#include "core/parallel_for.h"
#include "textio/json_writer.h"

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

EdgeImages imagesAt(const PrismGeometry& g, const PrismSurfaces& surfaces, double x, double y,
                    const std::vector<double>& depths)
{
    EdgeImages out;
    const TracedRay ray = traceCameraRay(g, surfaces, x, y);
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

// RMS and largest over both halves of one figure, weighted by the pixels.
double pooledRms(const LateralColour& c, int HalfLateralColour::*count, double HalfLateralColour::*rms)
{
    double squares = 0.0;
    int n = 0;
    for (const HalfLateralColour& h : c.halves) {
        squares += h.*count * (h.*rms) * (h.*rms);
        n += h.*count;
    }
    return n > 0 ? std::sqrt(squares / n) : std::nan("");
}

double pooledMax(const LateralColour& c, int HalfLateralColour::*count, double HalfLateralColour::*max)
{
    double largest = std::nan("");
    for (const HalfLateralColour& h : c.halves)
        if (h.*count > 0)
            largest = std::isnan(largest) ? h.*max : std::max(largest, h.*max);
    return largest;
}

}  // namespace

double LateralColour::rmsPx() const
{
    return pooledRms(*this, &HalfLateralColour::traced, &HalfLateralColour::rmsPx);
}

double LateralColour::maxPx() const
{
    return pooledMax(*this, &HalfLateralColour::traced, &HalfLateralColour::maxPx);
}

double LateralColour::outsideCentreRmsPx() const
{
    return pooledRms(*this, &HalfLateralColour::outsideCentreTraced, &HalfLateralColour::outsideCentreRmsPx);
}

double LateralColour::outsideCentreMaxPx() const
{
    return pooledMax(*this, &HalfLateralColour::outsideCentreTraced, &HalfLateralColour::outsideCentreMaxPx);
}

LateralColour measureLateralColour(const PrismGeometry& g, const PrismSurfaces& surfaces, double shortIndex,
                                   double longIndex, const LateralColourOptions& options)
{
    PrismGeometry shortEdge = g;
    shortEdge.refractiveIndex = shortIndex;
    PrismGeometry longEdge = g;
    longEdge.refractiveIndex = longIndex;
    return measureLateralColour(shortEdge, longEdge, surfaces, options);
}

LateralColour measureLateralColour(const PrismGeometry& g, const PrismGeometry& longEdge,
                                   const PrismSurfaces& surfaces, const LateralColourOptions& options)
{
    LateralColour result;
    result.shortIndex = g.refractiveIndex;
    result.longIndex = longEdge.refractiveIndex;
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
            const EdgeImages s = imagesAt(g, surfaces, x, y, options.depths);
            const EdgeImages l = imagesAt(longEdge, surfaces, x, y, options.depths);
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
        const auto ofHalf = [&](std::size_t i) {
            return traced[i] && (pixels[i].column < centralColumn) == (half == 0);
        };
        const auto inCentreBand = [&](std::size_t i) {
            return std::abs(pixels[i].column - centralColumn + (half == 0 ? 1 : 0)) < options.centreBandColumns;
        };
        double demeanedSquares = 0.0, outsideRaw = 0.0, outsideX = 0.0, outsideY = 0.0;
        int outside = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (!ofHalf(i))
                continue;
            const double length = std::hypot(shift[i * width] - h.meanXPx, shift[i * width + 1] - h.meanYPx);
            demeanedSquares += length * length;
            h.demeanedMaxPx = std::max(h.demeanedMaxPx, length);
            if (inCentreBand(i))
                continue;
            ++outside;
            const double raw = std::hypot(shift[i * width], shift[i * width + 1]);
            outsideRaw += raw * raw;
            h.outsideCentreMaxPx = std::max(h.outsideCentreMaxPx, raw);
            outsideX += shift[i * width];
            outsideY += shift[i * width + 1];
        }
        h.demeanedRmsPx = std::sqrt(demeanedSquares / h.traced);
        h.outsideCentreTraced = outside;
        if (outside > 0) {
            // Outside the band, what is left after that region's own mean:
            // what a calibration that masks the band cannot take away.
            const double meanX = outsideX / outside;
            const double meanY = outsideY / outside;
            h.outsideCentreRmsPx = std::sqrt(outsideRaw / outside);
            h.outsideCentreMeanPx = std::hypot(meanX, meanY);
            double outsideSquares = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                if (!ofHalf(i) || inCentreBand(i))
                    continue;
                const double length = std::hypot(shift[i * width] - meanX, shift[i * width + 1] - meanY);
                outsideSquares += length * length;
                h.outsideCentreDemeanedMaxPx = std::max(h.outsideCentreDemeanedMaxPx, length);
            }
            h.outsideCentreDemeanedRmsPx = std::sqrt(outsideSquares / outside);
        }
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

QByteArray lateralColourJson(const LateralColour& c)
{
    JsonWriter w;
    w.beginObject();
    w.key("band").beginObject();
    w.key("name").string(c.band);
    w.key("shortNm").number(c.shortNm);
    w.key("longNm").number(c.longNm);
    w.endObject();
    w.key("shortIndex").number(c.shortIndex);
    w.key("longIndex").number(c.longIndex);
    w.key("step").integer(c.step);
    w.key("displacement").string(QStringLiteral("image of the short edge minus that of the long edge, px"));
    w.key("halves").beginArray();
    for (int half = 0; half < 2; ++half) {
        const HalfLateralColour& h = c.halves[std::size_t(half)];
        w.beginObject();
        w.key("half").string(half == 0 ? QStringLiteral("left") : QStringLiteral("right"));
        w.key("traced").integer(h.traced);
        w.key("lateralColour").beginObject();
        w.key("rmsPx").number(h.rmsPx);
        w.key("maxPx").number(h.maxPx);
        w.key("meanPx").number(h.meanPx);
        w.key("meanXPx").number(h.meanXPx);
        w.key("meanYPx").number(h.meanYPx);
        w.key("demeanedRmsPx").number(h.demeanedRmsPx);
        w.key("demeanedMaxPx").number(h.demeanedMaxPx);
        w.key("outsideCentreDemeanedRmsPx").number(h.outsideCentreDemeanedRmsPx);
        w.key("outsideCentreDemeanedMaxPx").number(h.outsideCentreDemeanedMaxPx);
        w.key("outsideCentreRmsPx").number(h.outsideCentreRmsPx);
        w.key("outsideCentreMaxPx").number(h.outsideCentreMaxPx);
        w.key("outsideCentreMeanPx").number(h.outsideCentreMeanPx);
        w.endObject();
        w.endObject();
    }
    w.endArray();
    w.key("depths").beginArray();
    for (const DepthColour& d : c.depths) {
        w.beginObject();
        w.key("depthMm").number(d.depthMm);
        w.key("disparityPx").number(d.disparityPx);
        w.key("disparityDifferencePx").number(d.disparityDifferencePx);
        w.key("depthErrorMm").number(d.depthErrorMm);
        w.key("depthErrorPercent").number(d.depthErrorPercent);
        w.endObject();
    }
    w.endArray();
    w.endObject();
    return w.bytes();
}

QString lateralColourTable(const LateralColour& c)
{
    auto number = [](double v) { return QString::number(v, 'f', 3); };
    QString text = QStringLiteral("lateral colour, %1 (%2 to %3 nm, n %4 to %5), every %6th pixel\n")
                       .arg(c.band, QString::number(c.shortNm, 'g', 6), QString::number(c.longNm, 'g', 6),
                            QString::number(c.shortIndex, 'f', 5), QString::number(c.longIndex, 'f', 5))
                       .arg(c.step);
    for (int half = 0; half < 2; ++half) {
        const HalfLateralColour& h = c.halves[std::size_t(half)];
        text += QStringLiteral("  %1: %2 / %3 px rms/max; mean shift %4 px (x %5, y %6); after the mean %7 / %8 px, "
                               "outside the centre band %9 / %10 px\n")
                    .arg(half == 0 ? QStringLiteral("left ") : QStringLiteral("right"), number(h.rmsPx),
                         number(h.maxPx), number(h.meanPx), number(h.meanXPx), number(h.meanYPx),
                         number(h.demeanedRmsPx), number(h.demeanedMaxPx), number(h.outsideCentreDemeanedRmsPx))
                    .arg(number(h.outsideCentreDemeanedMaxPx));
    }
    for (const DepthColour& d : c.depths)
        text += QStringLiteral("  at %1 mm: disparity %2 px, differs by %3 px between the edges; depth error %4 mm (%5 %)\n")
                    .arg(QString::number(d.depthMm), number(d.disparityPx), number(d.disparityDifferencePx),
                         QString::number(d.depthErrorMm, 'f', 2), QString::number(d.depthErrorPercent, 'f', 3));
    return text;
}

}  // namespace verify
