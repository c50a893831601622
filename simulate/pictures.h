#pragma once

// The pictures of a simulated capture, as PNG bytes (cv::imencode), for the
// caller to write atomically:
//   - the sensor image (grey, 1920 x 1080, both halves);
//   - the rectified pair side by side with a green epipolar line every 60
//     rows (in a rectified pair a scene point lies on the same row in both);
//   - the disparity map (viridis from the 0.5th to the 99.5th percentile of
//     the matched disparities, unmatched pixels black);
//   - the depth-error map (signed: blue nearer, white exact, red farther, up
//     to +-scale %; unmatched black, outside the truth dark grey).

#include "simulate/stereo_match.h"

#include <QByteArray>

namespace simulate {

QByteArray encodePng(const cv::Mat& image);

cv::Mat rectifiedPairPicture(const MatchResult& match, int lineSpacing = 60);
cv::Mat disparityPicture(const MatchResult& match, double* low = nullptr, double* high = nullptr);
// `scalePercent` 0: the 99th percentile of the absolute error (at least 0.05 %).
cv::Mat depthErrorPicture(const MatchResult& match, double scalePercent = 0.0, double* usedScale = nullptr);

}  // namespace simulate
