#include "fit/prism_interface.h"

#include <algorithm>
#include <limits>

std::array<GlassThickness, 2> cementedGlassThickness(const PrismFit& fit, int samples)
{
    std::array<GlassThickness, 2> halves;
    const ClearAperture a = prismAperture(fit);
    const PrismSurface& between = fit.interface.fit.surface;
    samples = std::max(samples, 2);
    for (int half = 0; half < 2; ++half) {
        GlassThickness& t = halves[static_cast<std::size_t>(half)];
        const double inf = std::numeric_limits<double>::infinity();
        t.crownMinMm = t.flintMinMm = inf;
        t.crownMaxMm = t.flintMaxMm = -inf;
        for (int i = 0; i < samples; ++i) {
            const double s = a.halfWidthX * i / (samples - 1);
            const double x = half == 0 ? -s : s;
            for (int j = 0; j < samples; ++j) {
                const double y = -a.halfWidthY + 2.0 * a.halfWidthY * j / (samples - 1);
                const double z = between.height(x, y);
                const double crown = fit.entrance.surface.height(x, y) - z;
                const double flint = z - fit.exit.surface.height(x, y);
                if (crown < t.crownMinMm) {
                    t.crownMinMm = crown;
                    t.crownMinX = x;
                    t.crownMinY = y;
                }
                if (flint < t.flintMinMm) {
                    t.flintMinMm = flint;
                    t.flintMinX = x;
                    t.flintMinY = y;
                }
                t.crownMaxMm = std::max(t.crownMaxMm, crown);
                t.flintMaxMm = std::max(t.flintMaxMm, flint);
            }
        }
    }
    return halves;
}

bool checkCementedThickness(const PrismFit& fit, double least, QString* error)
{
    if (!fit.interface.present)
        return true;
    const std::array<GlassThickness, 2> halves = cementedGlassThickness(fit);
    for (int half = 0; half < 2; ++half) {
        const GlassThickness& t = halves[static_cast<std::size_t>(half)];
        const bool crownThin = !(t.crownMinMm >= least);
        if (crownThin || !(t.flintMinMm >= least)) {
            *error = QStringLiteral("the interface leaves %1 mm of %2 at x = %3, y = %4 mm in the %5 half; each "
                                    "glass needs at least %6 mm everywhere")
                         .arg(crownThin ? t.crownMinMm : t.flintMinMm, 0, 'f', 3)
                         .arg(crownThin ? fit.interface.crown : fit.interface.flint)
                         .arg(crownThin ? t.crownMinX : t.flintMinX, 0, 'f', 2)
                         .arg(crownThin ? t.crownMinY : t.flintMinY, 0, 'f', 2)
                         .arg(half == 0 ? QStringLiteral("left") : QStringLiteral("right"))
                         .arg(least);
            return false;
        }
    }
    return true;
}
