#pragma once

// A wavelength band: the light a prism works in. The design uses one
// wavelength; verification and calibration use the band, weighing a few
// wavelengths across it.
//
//     visible   F to C: 486.13 .. 656.27 nm
//     nir850    825 .. 875 nm (an 850 nm illuminator)
//     nir940    915 .. 965 nm (a 940 nm illuminator)
//     W1-W2     any band, in nm, at least 1 nm wide
//
// Each band is weighed at its two edges and its centre, 1/4, 1/2, 1/4.

#include <QString>

#include <vector>

namespace materials {

struct Band {
    QString name;            // "visible", "nir850", "nir940" or "W1-W2"
    double lowNm = 0.0;      // the short edge
    double highNm = 0.0;     // the long edge
    std::vector<double> wavelengthsNm;  // edges and centre
    std::vector<double> weights;        // summing to 1

    double centreNm() const { return 0.5 * (lowNm + highNm); }
};

constexpr double narrowestBandNm = 1.0;

// The band of its name; false with a one-line reason in *error.
bool parseBand(const QString& text, Band* band, QString* error);
Band visibleBand();

}  // namespace materials
