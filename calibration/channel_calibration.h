#pragma once

// A calibration per colour channel: the same prism calibrated three times,
// each with its rays traced at the index of one channel's wavelength (R, G,
// B), as a colour camera's user would calibrate each channel's image on its
// own. Each channel's calibration takes up the sideways shift its colour
// gets from the prism; what it keeps is its own residual.

#include "calibration/stereo_calibration.h"

#include <QString>

#include <vector>

namespace verify {
struct PrismGeometry;
struct PrismSurfaces;
}

namespace calibration {

struct ColourChannel {
    QString name;             // "R", "G", "B", or the band's "short", "centre", "long"
    double wavelengthNm = 0.0;
    double index = 0.0;       // the glass's index there
};

// The visible channels at 610 (R), 550 (G) and 465 nm (B).
std::vector<double> visibleChannelWavelengths();

struct ChannelCalibration {
    ColourChannel channel;
    StereoCalibration calibration;
};

// One calibration per channel, in the order given; a failed one has
// calibration.ok false and its error.
std::vector<ChannelCalibration> calibrateChannels(const verify::PrismGeometry& geometry,
                                                  const verify::PrismSurfaces& surfaces,
                                                  const std::vector<ColourChannel>& channels,
                                                  const CalibrationOptions& options);

}  // namespace calibration
