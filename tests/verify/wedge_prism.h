// A hand-made prism fit for the tests of the verifier and the tolerancing.
#pragma once

#include "fit/prism_fit.h"

// A prism fit of first-order terms only: the left half's entrance face
// z = top + slope x (mirrored for x >= 0: a ridge at x = 0 for slope > 0),
// the exit face z = 0, over -20 < x < 0, |y| < 15.
inline PrismFit wedgePrismFit(double top, double slope)
{
    PrismFit fit;
    fit.order = 3;
    for (PrismSurfaceFit* s : {&fit.entrance, &fit.exit}) {
        s->surface.order = 3;
        s->surface.x0 = -10.0;
        s->surface.radius = 10.0;
        s->surface.coefficients.assign(prismTerms(3).size(), 0.0);
        s->domain = {-20.0, 0.0, -15.0, 15.0};
    }
    // z = top + slope x = (top + slope x0) + slope R u
    fit.entrance.surface.coefficients[0] = top + slope * fit.entrance.surface.x0;
    fit.entrance.surface.coefficients[1] = slope * fit.entrance.surface.radius;
    return fit;
}
