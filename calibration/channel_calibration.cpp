#include "calibration/channel_calibration.h"

#include "calibration/prism_calibration.h"
#include "verify/verify.h"

namespace calibration {

std::vector<double> visibleChannelWavelengths()
{
    return {610.0, 550.0, 465.0};
}

std::vector<ChannelCalibration> calibrateChannels(const verify::PrismGeometry& geometry,
                                                  const verify::PrismSurfaces& surfaces,
                                                  const std::vector<ColourChannel>& channels,
                                                  const CalibrationOptions& options)
{
    std::vector<ChannelCalibration> out;
    for (const ColourChannel& channel : channels) {
        verify::PrismGeometry at = geometry;
        at.refractiveIndex = channel.index;
        out.push_back({channel, calibrateStereoRig(prismRig(at, surfaces), options)});
    }
    return out;
}

}  // namespace calibration
