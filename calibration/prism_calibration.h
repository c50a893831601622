#pragma once

// The predicted calibration of a designed prism: the design (and, for a
// fitted prism, the fit of an order) computed in memory, the camera rays of
// both halves traced through its surfaces by the verifier, and the pair
// calibrated as a user would (calibration/stereo_calibration.h).

#include "calibration/stereo_calibration.h"
#include "design/design_record.h"
#include "design/refraction_design.h"

#include <QString>

namespace verify {
struct PrismGeometry;
struct PrismSurfaces;
}

namespace calibration {

enum class PrismSource {
    Design,  // the design surfaces at full precision
    Fit,     // the classic fit's polynomial surfaces of an order (3 to 8)
    Prism,   // the prism fit of an order (3 to 10): one solid, each half the other's mirror image
};

QString prismSourceName(PrismSource source);  // "design" / "fit" / "prism"
bool parsePrismSource(const QString& name, PrismSource* source);

// The rig of a prism: each half's sensor points traced through that half's
// surfaces (a point on the other side of the centre line has no ray), the
// ideal pinholes at (+-virtualPinholeX, 0, prismDistance + focalLength).
StereoRig prismRig(const verify::PrismGeometry& geometry, const verify::PrismSurfaces& surfaces);

// Which design the prism comes from.
struct PrismDesignChoice {
    DesignModel model = DesignModel::Classic;
    bool refine = false;  // whole-surface refinement after the columns (refraction model only)
};

struct PrismCalibrationTimes {
    double designSeconds = 0.0;       // design and fit
    double calibrationSeconds = 0.0;  // imaging and OpenCV
};

// Designs the prism of `parameters` in memory (no file is written), fits
// order `order` (3 to 8; 3 to 10 for the prism fit) on the design's grid as
// "outputall.txt" gives it back when the source is a fit, and calibrates.
// False with a one-line message in *error when a stage fails; then
// `result` is not ok.
bool calibratePrism(const DesignParameters& parameters, PrismSource source, int order,
                    const CalibrationOptions& options, StereoCalibration* result, QString* error,
                    PrismCalibrationTimes* times = nullptr, const PrismDesignChoice& design = {});

}  // namespace calibration
