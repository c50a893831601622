#pragma once

// The error map of a verification: for each source a row of three panels
// over the whole sensor (both halves side by side, the sensor's aspect): the
// direction error, the pinhole offset and the reprojection error at the
// first depth, each in a viridis-like colour map with a labelled scale bar;
// pixels whose ray was lost (missed, reflected, not converged) in magenta.
// The results need their pixels (VerifyOptions::keepPixels).

#include "verify/lateral_colour.h"
#include "verify/verify_sources.h"

#include <QImage>
#include <QString>

#include <vector>

namespace verify {

QImage renderVerificationMap(const std::vector<VerifySource>& sources, const std::vector<VerifyResult>& results);
// Renders and saves atomically as PNG; false with a one-line message.
bool writeVerificationMap(const QString& path, const std::vector<VerifySource>& sources,
                          const std::vector<VerifyResult>& results, QString* error);
// The lateral colour map, drawn like the error maps: per pixel the length
// of the displacement between the band's edges, and what is left of it
// after each half's mean shift. Needs the pixels (keepPixels).
QImage renderLateralColourMap(const LateralColour& colour);
// The colour of t in [0, 1] on the viridis scale.
QRgb viridisColour(double t);

}  // namespace verify
