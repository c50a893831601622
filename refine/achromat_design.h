#pragma once

// The achromatic prism: each half cemented from a crown (behind the entrance
// surface) and a flint (in front of the exit surface), the interface between
// them a tilted plane in the same polynomial form as the other surfaces.
//
// The design, from a prism of one glass:
//   1. the thin-prism pair (materials/achromat.h) for the deviation the
//      single prism gives the centre ray of the left half sets the crown's
//      and the flint's wedge angles there: the interface is tilted by the
//      crown's angle from the entrance, the exit by the flint's from the
//      interface; the interface is placed `marginMm` below the entrance at
//      the glass's thinnest, the exit `marginMm` below the interface;
//   2. the traced rays then fix the interface's and the exit's tilt (Newton
//      on two equations): at the design wavelength the centre ray leaves
//      along its ideal direction, and at the band's two edges the half's
//      rays leave parallel on average (the mean image shift between the
//      edges, over a sample of the half without the columns next to the
//      centre, is zero);
//   3. the interface's shape and the exit's (their coefficients even in y)
//      are adjusted by least squares so that over a sample of the half the
//      images at the band's edges coincide and those at the design
//      wavelength lie where the ideal virtual camera puts them;
//   4. the stereo optimiser (refine/prism_optimize.h) adjusts the outer
//      surfaces and the interface together on the traced rays: the stereo
//      residuals at the design wavelength and the image displacement
//      between the band's edges (its colour objective), the glass
//      thicknesses held.
//   The right half is the mirror image, as for every prism fit.

#include "materials/achromat.h"
#include "refine/prism_optimize.h"

#include <QString>

struct AchromatOptions {
    materials::Band band = materials::visibleBand();
    double designNm = materials::lineD;
    double marginMm = 2.0;  // each glass at its thinnest before the optimiser
    int interfaceOrder = 4;                 // of the interface's polynomial
    // The optimiser's colour residuals: weight per px of displacement between
    // the band's edges, and every how many of its pixels carry one.
    double colourWeight = 1.0;
    int colourStride = 1;
    // The optimiser stops when a step lowers its cost by less than this
    // fraction (the glass thickness bound makes its last steps small).
    double relativeTolerance = 1e-6;
    PrismOptimizeOptions optimize;          // the optimiser's (objective, camera model, threads, progress)
    std::vector<PrismRayTarget> targets;    // the optimiser's pixels
};

struct AchromatResult {
    PrismFit fit;  // with its interface
    materials::ThinAchromat thin;
    double singleDeviationRad = 0.0;   // the single prism's at the centre ray (thin-prism equivalent)
    double centreColourPx = 0.0;       // the half's mean image shift between the band's edges, after
    double centreDirectionPx = 0.0;    // its image against the ideal at the design wavelength
    PrismOptimizeResult optimized;     // the last optimiser run
};

// The geometry's camera and virtual cameras with the two glasses' indices at
// `wavelengthNm`.
verify::PrismGeometry cementedGeometry(verify::PrismGeometry geometry, const materials::Material& crown,
                                       const materials::Material& flint, double wavelengthNm);

// False with one line in *error when the glasses cannot correct colour, the
// centre ray does not get through, or the design leaves less than
// leastGlassThicknessMm of either glass anywhere.
bool designAchromat(const verify::PrismGeometry& geometry, const PrismFit& single, const materials::Material& crown,
                    const materials::Material& flint, const AchromatOptions& options, AchromatResult* result,
                    QString* error);
