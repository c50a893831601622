#include "materials/band.h"

#include "materials/material.h"

#include <QStringList>

#include <cmath>

namespace materials {

namespace {

Band makeBand(const QString& name, double low, double high)
{
    Band band;
    band.name = name;
    band.lowNm = low;
    band.highNm = high;
    band.wavelengthsNm = {low, 0.5 * (low + high), high};
    band.weights = {0.25, 0.5, 0.25};
    return band;
}

}  // namespace

Band visibleBand()
{
    return makeBand(QStringLiteral("visible"), lineF, lineC);
}

bool parseBand(const QString& text, Band* band, QString* error)
{
    const QString t = text.trimmed();
    if (t == QLatin1String("visible")) {
        *band = visibleBand();
        return true;
    }
    if (t == QLatin1String("nir850")) {
        *band = makeBand(t, 825.0, 875.0);
        return true;
    }
    if (t == QLatin1String("nir940")) {
        *band = makeBand(t, 915.0, 965.0);
        return true;
    }
    const QStringList parts = t.split(QLatin1Char('-'));
    bool okLow = false, okHigh = false;
    const double low = parts.size() == 2 ? parts[0].toDouble(&okLow) : 0.0;
    const double high = parts.size() == 2 ? parts[1].toDouble(&okHigh) : 0.0;
    if (!okLow || !okHigh || !std::isfinite(low) || !std::isfinite(high) || low <= 0.0) {
        *error = QStringLiteral("--band: \"%1\" is not visible, nir850, nir940 or W1-W2 in nm").arg(text);
        return false;
    }
    if (high - low < narrowestBandNm) {
        *error = QStringLiteral("--band: %1 to %2 nm is narrower than %3 nm").arg(low).arg(high).arg(narrowestBandNm);
        return false;
    }
    *band = makeBand(QStringLiteral("%1-%2").arg(low).arg(high), low, high);
    return true;
}

}  // namespace materials
