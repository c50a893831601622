#pragma once

// What a user does with the prism camera's image: split it into halves,
// rectify each with the calibration file only (cv::initUndistortRectifyMap
// and cv::remap), match with OpenCV's StereoSGBM and reproject the disparity
// with Q (cv::reprojectImageTo3D); here, then, compared per pixel with the
// scene's true geometry.
//
// Depth error: the distance of the reprojected point from the rectified left
// camera's centre against the distance of the true scene point from the left
// half's virtual pinhole. Distances do not depend on the turn between the
// calibrated and the design's camera frames (which a calibration of a narrow
// field does not pin down), only on where the centre lies.

#include "calibration/stereo_calibration.h"
#include "simulate/capture.h"

#include <opencv2/core.hpp>

#include <QString>

#include <string>
#include <vector>

namespace simulate {

// The rectification a calibration file gives.
struct StereoModel {
    cv::Size halfSize;  // of each half
    cv::Mat K1, D1, K2, D2, R1, R2, P1, P2, Q;  // CV_64F
    QString prismDigest;  // empty when the file has none
};

// Reads "stereo_calibration.yml" (a regular file; cv::FileStorage) as a
// user's program would. False with a one-line message when it cannot be
// read or lacks a node.
bool readStereoModel(const QString& path, StereoModel* model, QString* error);
// The same from the file's text; `name` names it in messages.
bool readStereoModelText(const std::string& text, const QString& name, StereoModel* model, QString* error);
// The exact calibration of the rig's ideal pinhole pair: fx = fy = focal
// length / pitch, principal point at the half's centre, no distortion, R = I,
// T = (-baseline, 0, 0), rectified by cv::stereoRectify.
StereoModel idealStereoModel(const calibration::StereoRig& rig);

// StereoSGBM's parameters; a disparity range of 0 is chosen from the
// scene's true depths (their disparities, widened by 10 % and 16 px).
struct MatcherOptions {
    int minDisparity = 0;
    int numDisparities = 0;      // multiple of 16; 0: from the scene
    int blockSize = 5;           // odd
    int p1 = 0;                  // 0: 8 * blockSize^2
    int p2 = 0;                  // 0: 32 * blockSize^2
    int uniquenessRatio = 10;
    int speckleWindowSize = 100;
    int speckleRange = 2;
    int disp12MaxDiff = 1;
    int mode = 1;                // 0 SGBM, 1 SGBM_3WAY, 2 HH
};

struct DepthStatistics {
    int truthPixels = 0;          // rectified left pixels with a true scene point
    int sharedPixels = 0;         // of these, seen by the right half too (true disparity <= column)
    int validPixels = 0;          // with a true point and a matched disparity: the error statistics
    double validPercent = 0.0;    // validPixels of sharedPixels
    double medianMm = 0.0;        // signed: the bias
    double rmsMm = 0.0;
    double p95Mm = 0.0;           // of the absolute error
    double medianPercent = 0.0;
    double rmsPercent = 0.0;
    double p95Percent = 0.0;
    double meanDistanceMm = 0.0;  // of the true points
    // Without the pixels of the seam (from the left half's seam columns, or
    // whose true partner lies in the right half's).
    int validPixelsOffSeam = 0;
    double rmsPercentOffSeam = 0.0;
};

// Columns on each side of the border between the halves whose rays may
// pass through the other half's face (the seam): left pixels of the last
// seamColumns columns, right pixels of the first.
inline constexpr int seamColumns = 32;

struct GeometryDisparity {
    int points = 0;               // sampled left pixels imaged in the right half
    double verticalRmsPx = 0.0;   // rectified y right minus y left
    double verticalMaxPx = 0.0;
    int pointsOffSeam = 0;        // of these, neither in the seam columns
    double verticalRmsPxOffSeam = 0.0;
    double verticalMaxPxOffSeam = 0.0;
    // The exact correspondences: left (u, v) and right (u, v), each in its
    // half's pixels, before rectification.
    std::vector<cv::Vec4f> correspondences;
    double matchRmsPx = 0.0;      // matched minus true disparity, where matched
    double matchMedianPx = 0.0;
    // Depth error of the exact correspondences (rectified left point and its
    // true partner's x, reprojected by Q): the calibration's and the prism's
    // share without the matcher's, percent of the distance.
    double depthRmsPercent = 0.0;
    double depthMedianPercent = 0.0;
    double depthMaxPercent = 0.0;
    double depthRmsPercentOffSeam = 0.0;
};

struct MatchResult {
    MatcherOptions matcher;       // as used
    cv::Mat rectifiedLeft, rectifiedRight;  // CV_8UC1
    cv::Mat disparity;            // CV_32F px, NaN where not matched
    cv::Mat errorPercent;         // CV_32F, NaN where no truth or no match
    DepthStatistics depth;
    GeometryDisparity geometry;
    double rectifySeconds = 0.0, matchSeconds = 0.0, compareSeconds = 0.0;
};

// Rectifies, matches and compares. `rig` gives the left half's virtual
// pinhole (virtualPinholeX, 0, pinholeHeight) and images the true points of
// every `geometryStep`-th left pixel in the right half, for the geometric
// vertical disparity after rectification.
MatchResult matchAndCompare(const Capture& capture, const StereoModel& model, const calibration::StereoRig& rig,
                            const MatcherOptions& matcher, int geometryStep = 16, int threads = 0);

}  // namespace simulate
