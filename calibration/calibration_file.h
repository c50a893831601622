#pragma once

// "stereo_calibration.yml": the calibrated pair in OpenCV's own YAML form, for
// a user's program to read with cv::FileStorage and rectify images at once.
// Nodes: image_size_left, image_size_right ([width, height]),
// camera_matrix_left, distortion_left, camera_matrix_right,
// distortion_right, R, T (right frame = R * left frame + T, mm), R1, R2,
// P1, P2, Q (cv::stereoRectify), and distortion_model ("standard" or
// "rational").

#include "calibration/stereo_calibration.h"

#include <QString>

#include <string>

namespace calibration {

inline constexpr char stereoCalibrationFileName[] = "stereo_calibration.yml";

// The file's text; false with a one-line message for a calibration that is
// not ok or holds non-finite numbers.
bool stereoCalibrationText(const StereoCalibration& calibration, std::string* text, QString* error);
// Writes the file at `path` atomically (writeFileAtomically: a temporary
// file in the same directory, flushed, renamed over `path`). Refuses a
// calibration that is not ok or holds non-finite numbers, and a target that
// is not a regular file, before anything is written. On failure returns
// false with `error` set and leaves no file behind (an earlier file at
// `path` is kept).
bool writeStereoCalibrationFile(const StereoCalibration& calibration, const QString& path, QString* error);

}  // namespace calibration
