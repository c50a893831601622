#pragma once

// The thin-prism achromat: two thin prisms of a crown and a flint, of apex
// angles A1 and A2 (signed, radians), deviate a ray by
//     delta = (n1 - 1) A1 + (n2 - 1) A2
// at the design wavelength, and the band's edges (short s, long l) equally
// when
//     (n1s - n1l) A1 + (n2s - n2l) A2 = 0,
// that is delta1 / V1 + delta2 / V2 = 0 with V = (n - 1) / (ns - nl) the
// Abbe number over the band. Given the deviation a single prism is to make,
// the two conditions fix both angles.

#include "materials/band.h"
#include "materials/material.h"

#include <QString>

namespace materials {

struct ThinAchromat {
    double crownAngle = 0.0;      // A1, rad
    double flintAngle = 0.0;      // A2, rad, of the opposite sign
    double crownDeviation = 0.0;  // (n1 - 1) A1 at the design wavelength, rad
    double flintDeviation = 0.0;
    double crownAbbe = 0.0;       // V over the band
    double flintAbbe = 0.0;
};

// The Abbe number of a material over a band (its edges lowNm and highNm),
// (n_design - 1) / (n_short - n_long).
double bandAbbeNumber(const Material& material, const Band& band, double designNm);

// Whether the two materials can correct colour over the band: false with one
// line in *error when a wavelength lies outside a material's range, or their
// dispersions are too close (Abbe numbers within a quarter of the larger:
// the wedges would be more than four times the single prism's).
bool canCorrectColour(const Material& crown, const Material& flint, const Band& band, double designNm,
                      QString* error);

// The pair deviating by `deviation` (rad) at the design wavelength and
// equally at the band's edges; false as canCorrectColour.
bool thinPrismAchromat(const Material& crown, const Material& flint, double deviation, const Band& band,
                       double designNm, ThinAchromat* pair, QString* error);

}  // namespace materials
