#pragma once

// The camera's sensor, as every stage sees it: the pixel pitch is fixed and
// never read back from the panel, and the design works on a 1920 x 1080
// pixel grid, whatever resolution the panel's spin boxes show (they change
// only the sketch). Sensor positions are in mm from the sensor centre.

inline constexpr double pixelPitch = 0.0055;            // mm
inline constexpr int designResolutionX = 1920;
inline constexpr int designResolutionY = 1080;
inline constexpr int designQuarterSteps = designResolutionX / 4;  // row steps of a row pass
inline constexpr int designHalfSteps = designResolutionY / 2;     // steps of a column pass
