#pragma once

// The camera pair a user gets by calibrating the prism camera with OpenCV:
// each half calibrated on its own (cv::calibrateCamera, the ideal intrinsics
// as the starting guess), then the pose between the halves
// (cv::stereoCalibrate with the halves' intrinsics held) and the
// rectification (cv::stereoRectify).

#include "calibration/target_imaging.h"
#include "core/optics_camera.h"

#include <QString>

#include <array>
#include <vector>

namespace calibration {

// OpenCV's models: standard (k1 k2 p1 p2 k3), rational (+ k4 k5 k6), thin
// prism (+ s1 .. s4), tilted (+ tauX tauY).
using DistortionModel = optics::DistortionModel;

// "standard" / "rational" / "thinprism" / "tilted"
QString distortionModelName(DistortionModel model);
bool parseDistortionModel(const QString& name, DistortionModel* model);

struct StereoCalibration;

struct CalibrationOptions {
    TargetOptions target;
    DistortionModel model = DistortionModel::Standard;
    int threadCount = 0;          // for imaging the targets; 0: every hardware thread
    int minimumViewPoints = 8;    // a view with fewer imaged points is left out
    // Hold each half's principal point at the half's centre (OpenCV's
    // CALIB_FIX_PRINCIPAL_POINT). Over a half's narrow field of view the
    // principal point trades against the target's pose, so an imperfect
    // prism lets it wander; holding it keeps the halves' frames parallel.
    bool fixPrincipalPoint = false;
    // The intrinsic guess each half starts from: this calibration's camera
    // matrix and distortion (padded with zeros), e.g. the standard model's
    // result for a richer model; without it the ideal intrinsics.
    const StereoCalibration* start = nullptr;
};

// Whether a half's solution can be trusted: the standard deviations OpenCV
// estimates for the intrinsics (fx fy cx cy, then the distortion), and a
// verdict. Ill-conditioned: a distortion coefficient beyond 10 in magnitude
// (terms that blow up and cancel, as k3 = -381 does), one whose standard
// deviation exceeds its own size while above 1, or a principal point more
// than a quarter of the half's size from its centre.
struct SolutionCondition {
    bool illConditioned = false;
    QString reason;  // one line; empty when well-conditioned
    std::vector<double> standardDeviations;
};

struct DepthResidual {
    double depthMm = 0.0;
    double rmsPx = 0.0;
    double maxPx = 0.0;
    int points = 0;
};

struct HalfCalibration {
    double rmsPx = 0.0;                 // reprojection error of all imaged points
    double maxPx = 0.0;
    std::vector<DepthResidual> perDepth;
    std::array<double, 9> cameraMatrix{};  // row by row
    std::vector<double> distortion;        // 5 or 8 coefficients
    int views = 0;
    int points = 0;
    SolutionCondition condition;
};

struct DepthError {
    double depthMm = 0.0;
    double rmsMm = 0.0;
    double maxMm = 0.0;
    double rmsPercent = 0.0;
    double maxPercent = 0.0;
    int points = 0;
};

struct StereoCalibration {
    bool ok = false;
    QString error;                   // why not, when !ok
    DistortionModel model = DistortionModel::Standard;
    int imageWidth = 0;              // of each half
    int imageHeight = 0;
    HalfCalibration left;
    HalfCalibration right;
    std::array<double, 9> R{};       // right camera frame = R * left frame + T
    std::array<double, 3> T{};       // mm
    double baselineMm = 0.0;         // |T|
    double idealBaselineMm = 0.0;    // 2 |virtualPinholeX|
    double rotationDeg = 0.0;        // angle of R
    double stereoRmsPx = 0.0;        // cv::stereoCalibrate's reprojection RMS
    int stereoViews = 0;
    int stereoPoints = 0;
    std::vector<DepthError> depthError;
    std::array<double, 9> R1{}, R2{};
    std::array<double, 12> P1{}, P2{};
    std::array<double, 16> Q{};
    double maxImagingMissPx = 0.0;   // worst remaining miss of the target imaging
    QString prismDigest;             // of the prism calibrated (prismDigest()), empty when unknown
};

// The figures as text, one line per half, per depth and for the pair, with
// 18-character labels: what the command line and the window show.
QString calibrationFiguresText(const StereoCalibration& calibration);

// Images the targets through both halves of the rig and calibrates. Refuses
// (ok false, error set) a rig without mappings or with a bad size, depths
// that are not positive and finite, and too few imaged views.
StereoCalibration calibrateStereoRig(const StereoRig& rig, const CalibrationOptions& options);

// The four models side by side on one imaging of the targets: standard,
// rational, thin prism, tilted; each richer model starts from the standard
// model's intrinsics (a guess that converges).
std::vector<StereoCalibration> calibrateStereoRigModels(const StereoRig& rig, const CalibrationOptions& options);

// The same on observations made elsewhere: views and, per half,
// observations[view][point] of the same views.
StereoCalibration calibrateObservations(const StereoRig& rig, const std::vector<TargetView>& views,
                                        const HalfObservations& left, const HalfObservations& right,
                                        const CalibrationOptions& options);

}  // namespace calibration
