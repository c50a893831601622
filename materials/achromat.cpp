#include "materials/achromat.h"

#include <algorithm>
#include <cmath>

namespace materials {

double bandAbbeNumber(const Material& material, const Band& band, double designNm)
{
    return (material.index(designNm) - 1.0) / (material.index(band.lowNm) - material.index(band.highNm));
}

bool canCorrectColour(const Material& crown, const Material& flint, const Band& band, double designNm,
                      QString* error)
{
    for (const Material* m : {&crown, &flint}) {
        for (double w : {band.lowNm, designNm, band.highNm}) {
            if (!m->covers(w)) {
                *error = QStringLiteral("%1 is not valid at %2 nm (%3 to %4 nm)")
                             .arg(m->name)
                             .arg(w)
                             .arg(m->minWavelengthNm)
                             .arg(m->maxWavelengthNm);
                return false;
            }
        }
    }
    const double v1 = bandAbbeNumber(crown, band, designNm);
    const double v2 = bandAbbeNumber(flint, band, designNm);
    if (!std::isfinite(v1) || !std::isfinite(v2) || std::abs(v1 - v2) < 0.25 * std::max(std::abs(v1), std::abs(v2))) {
        *error = QStringLiteral("%1 and %2 are too close in dispersion to correct colour (Abbe numbers %3 and %4)")
                     .arg(crown.name, flint.name)
                     .arg(v1, 0, 'f', 2)
                     .arg(v2, 0, 'f', 2);
        return false;
    }
    return true;
}

bool thinPrismAchromat(const Material& crown, const Material& flint, double deviation, const Band& band,
                       double designNm, ThinAchromat* pair, QString* error)
{
    if (!canCorrectColour(crown, flint, band, designNm, error))
        return false;
    // (n1d - 1) A1 + (n2d - 1) A2 = delta, (n1s - n1l) A1 + (n2s - n2l) A2 = 0.
    const double a = crown.index(designNm) - 1.0;
    const double b = flint.index(designNm) - 1.0;
    const double c = crown.index(band.lowNm) - crown.index(band.highNm);
    const double d = flint.index(band.lowNm) - flint.index(band.highNm);
    const double determinant = a * d - b * c;
    pair->crownAngle = deviation * d / determinant;
    pair->flintAngle = -deviation * c / determinant;
    pair->crownDeviation = a * pair->crownAngle;
    pair->flintDeviation = b * pair->flintAngle;
    pair->crownAbbe = bandAbbeNumber(crown, band, designNm);
    pair->flintAbbe = bandAbbeNumber(flint, band, designNm);
    return true;
}

}  // namespace materials
