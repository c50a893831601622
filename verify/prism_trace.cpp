#include "verify/prism_trace.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace verify {

PrismHeightSurface::PrismHeightSurface(PrismSurface surface, SurfaceDomain domain, PrismSheet sheet)
    : surface_(std::move(surface)), domain_(domain), sheet_(sheet)
{
}

double PrismHeightSurface::height(double x, double y, double* slopeX, double* slopeY) const
{
    // The left half's polynomial at (xLeft, y), its slope in x turned over
    // where the mirror image is taken; heights and slopes only (the tracer
    // needs no second derivatives).
    const bool mirrored = sheet_ == PrismSheet::Solid ? !(x < 0.0) : sheet_ == PrismSheet::RightHalf;
    const double xLeft = mirrored ? -x : x;
    const std::vector<PrismTerm>& terms = prismTermTable(surface_.order);
    double dzdx = 0.0;
    double dzdy = 0.0;
    const double z = prismPolynomial(terms.data(), surface_.coefficients.data(),
                                     std::min(terms.size(), surface_.coefficients.size()), surface_.x0,
                                     surface_.radius, xLeft, y, &dzdx, &dzdy);
    if (slopeX)
        *slopeX = mirrored ? -dzdx : dzdx;
    if (slopeY)
        *slopeY = dzdy;
    return z;
}

bool PrismHeightSurface::insideWindow(double u, double v) const
{
    const double xLeft = sheet_ == PrismSheet::Solid ? (u < 0.0 ? u : -u) : sheet_ == PrismSheet::LeftHalf ? u : -u;
    return xLeft >= domain_.xMin && xLeft <= domain_.xMax && v >= domain_.yMin && v <= domain_.yMax;
}

PrismSurfaces prismFitSurfaces(const PrismFit& fit)
{
    PrismSurfaces surfaces;
    const auto entrance = std::make_shared<PrismHeightSurface>(fit.entrance.surface, fit.entrance.domain);
    const auto exit = std::make_shared<PrismHeightSurface>(fit.exit.surface, fit.exit.domain);
    surfaces.entrance = {entrance, entrance};
    surfaces.exit = {exit, exit};
    if (fit.interface.present) {
        const auto interface =
            std::make_shared<PrismHeightSurface>(fit.interface.fit.surface, fit.interface.fit.domain);
        surfaces.interface = {interface, interface};
    }
    return surfaces;
}

PrismGeometry prismFitGeometry(PrismGeometry geometry, const PrismFit& fit)
{
    if (fit.interface.present) {
        geometry.refractiveIndex = fit.interface.crownIndex;
        geometry.secondIndex = fit.interface.flintIndex;
    }
    return geometry;
}

PrismSurfaces prismFitHalfSheets(const PrismFit& fit)
{
    PrismSurfaces surfaces;
    for (const PrismSheet sheet : {PrismSheet::LeftHalf, PrismSheet::RightHalf}) {
        const std::size_t half = sheet == PrismSheet::LeftHalf ? 0 : 1;
        surfaces.entrance[half] =
            std::make_shared<PrismHeightSurface>(fit.entrance.surface, fit.entrance.domain, sheet);
        surfaces.exit[half] = std::make_shared<PrismHeightSurface>(fit.exit.surface, fit.exit.domain, sheet);
    }
    return surfaces;
}

PrismVerifiedSummary prismVerifiedSummary(const VerifyResult& result)
{
    PrismVerifiedSummary summary;
    summary.present = true;
    std::size_t depth = 0;
    for (std::size_t d = 1; d < result.depths.size(); ++d)
        if (std::abs(result.depths[d] - 1000.0) < std::abs(result.depths[depth] - 1000.0))
            depth = d;
    const auto combine = [&](auto metric, double* rms, double* max) {
        double sum = 0.0;
        int count = 0;
        *max = 0.0;
        for (const HalfStatistics& half : result.halves) {
            const MetricStatistics& m = metric(half);
            sum += m.rms * m.rms * m.count;
            count += m.count;
            *max = std::max(*max, m.max);
        }
        *rms = count > 0 ? std::sqrt(sum / count) : std::nan("");
    };
    combine([](const HalfStatistics& h) -> const MetricStatistics& { return h.directionPx; },
            &summary.directionRmsPx, &summary.directionMaxPx);
    combine([](const HalfStatistics& h) -> const MetricStatistics& { return h.pinholeMm; }, &summary.pinholeRmsMm,
            &summary.pinholeMaxMm);
    if (!result.depths.empty())
        combine([depth](const HalfStatistics& h) -> const MetricStatistics& { return h.reprojectionPx[depth]; },
                &summary.reprojectionRmsPx, &summary.reprojectionMaxPx);
    for (const HalfStatistics& half : result.halves)
        summary.untracedPixels += half.sampled - half.traced;
    summary.centreBandColumns = {result.halves[0].centreBand.firstColumn, result.halves[0].centreBand.lastColumn,
                                 result.halves[1].centreBand.firstColumn, result.halves[1].centreBand.lastColumn};
    summary.outsideBandNonCentralityRmsMm = std::max(result.halves[0].outsideCentreBand.nonCentrality.rmsMm,
                                                     result.halves[1].outsideCentreBand.nonCentrality.rmsMm);
    summary.outsideBandNonCentralityMaxMm = std::max(result.halves[0].outsideCentreBand.nonCentrality.maxMm,
                                                     result.halves[1].outsideCentreBand.nonCentrality.maxMm);
    return summary;
}

}  // namespace verify
