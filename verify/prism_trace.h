#pragma once

// The prism fit as the verifier traces it: one solid, whose entrance and exit
// surfaces are the left half's polynomials for x < 0 and their mirror images
// for x >= 0, the same surfaces for the rays of both sensor halves. A ray
// meets the face on the side of x = 0 where it hits, whichever half it
// belongs to: the glass is one piece, and a ray of the left half that has
// crossed x = 0 inside it (the columns next to the centre, see CentreBand)
// leaves through the right half's exit face, as it would in the part made.

#include "fit/prism_file.h"
#include "fit/prism_fit.h"
#include "verify/verify.h"

namespace verify {

// Which sheet a height field shows: the solid (left polynomial for x < 0,
// mirror image for x >= 0), or one half's sheet over the whole plane (to see
// what joining the halves at x = 0 costs).
enum class PrismSheet { Solid, LeftHalf, RightHalf };

// A prism surface as a height field; inside its window where |x| and y lie
// within the left half's domain of design points mirrored to x < 0.
class PrismHeightSurface final : public HeightFieldSurface {
public:
    PrismHeightSurface(PrismSurface surface, SurfaceDomain domain, PrismSheet sheet = PrismSheet::Solid);
    double height(double x, double y, double* slopeX, double* slopeY) const override;
    bool insideWindow(double u, double v) const override;

private:
    PrismSurface surface_;
    SurfaceDomain domain_;
    PrismSheet sheet_;
};

// The solid's surfaces for both halves' rays (with the interface, when the
// prism is cemented from two glasses).
PrismSurfaces prismFitSurfaces(const PrismFit& fit);
// The geometry with the fit's glasses: for a cemented prism the crown's and
// the flint's indices at the design wavelength; otherwise unchanged.
PrismGeometry prismFitGeometry(PrismGeometry geometry, const PrismFit& fit);
// Each half's rays through that half's own sheets, unjoined.
PrismSurfaces prismFitHalfSheets(const PrismFit& fit);

// The summary a prism file keeps: RMS over both halves' traced pixels
// (weighted by their counts), largest values over both; the reprojection at
// the depth closest to 1 m; each half's centre band and the larger of the
// halves' non-centralities without it.
PrismVerifiedSummary prismVerifiedSummary(const VerifyResult& result);

}  // namespace verify
