#pragma once

// One made camera: the prism of a prism fit perturbed by its tolerances
// (form error on each surface, index; a cemented prism's interface and
// second glass likewise, with the interface's tilt), mounted with a decentre, a tilt and a
// distance error in front of a camera whose focal length and sensor tilt
// differ from the nominal; its rays traced by the verifier's tracer and the
// pair calibrated again with OpenCV as a user would (the calibration is the
// compensator). A trial's perturbation comes from the run's seed and the
// trial's own index alone.

#include "calibration/stereo_calibration.h"
#include "fit/prism_file.h"
#include "tolerance/tolerances.h"
#include "verify/verify.h"

#include <QString>

#include <array>
#include <cstdint>
#include <vector>

namespace tolerance {

// Low-order form error of one surface: Legendre products P_i(u) P_j(w),
// 2 <= i + j <= 4, over the rectangle the surface spans (u across x, w
// across y, each -1..1); `shape` has unit RMS over that rectangle.
inline constexpr int formTermCount = 12;
struct FormError {
    double rmsUm = 0.0;
    std::array<double, formTermCount> shape{};
};

// One trial's draws. Mounting, index, focal length and sensor tilt are
// uniform in +-limit; a form error has an RMS uniform in 0..limit and a shape
// of normally distributed Legendre coefficients scaled to unit RMS.
struct Perturbation {
    std::array<double, toleranceKindCount> value{};  // by ToleranceKind; form errors: their RMS in micrometres
    FormError entrance;
    FormError exit;
    FormError interface;  // of a cemented prism

    double operator[](ToleranceKind kind) const { return value[static_cast<std::size_t>(kind)]; }
};

// The draws of trial `index` of a run with `seed`.
Perturbation drawPerturbation(const Tolerances& tolerances, std::uint64_t seed, std::int64_t index);
// One tolerance at its limit (+limit; a form error of the limit's RMS in a
// fixed shape), everything else nominal.
Perturbation singleTolerance(const Tolerances& tolerances, ToleranceKind kind);

// The made camera of a prism fit as a rig: its sensor points' rays, in the
// design's frame, through the perturbed prism and mounting. The rig's focal
// length stays the nominal one (the calibration's starting guess).
calibration::StereoRig madeRig(const verify::PrismGeometry& geometry, const PrismFit& fit,
                               const Perturbation& perturbation);

enum class TrialStatus {
    Ok,
    TraceFailed,        // fewer than half of a half's sample rays got through the prism
    CalibrationFailed,  // OpenCV's calibration failed or gave non-finite figures
};
const char* trialStatusName(TrialStatus status);  // "ok", "trace-failed", "calibration-failed"
bool parseTrialStatus(const QString& name, TrialStatus* status);

inline constexpr int depthCount = 3;
inline constexpr std::array<double, depthCount> figureDepthsMm{300.0, 1000.0, 2000.0};

// What a trial records (NaN where it failed).
struct TrialFigures {
    TrialStatus status = TrialStatus::Ok;
    std::array<double, 2> residualPx{};       // calibrated reprojection RMS, left and right half
    std::array<double, 2> nonCentralityMm{};  // RMS distance of the half's rays from their common point
    std::array<double, depthCount> depthErrorPercent{};  // RMS triangulated depth error at 0.3, 1, 2 m
    double baselineMm = 0.0;                  // calibrated baseline |T|
    double baselineChangeMm = 0.0;            // against the nominal calibrated baseline
    bool pass = false;
};

// The figures as one list (for percentiles and tables) and their names.
inline constexpr int figureCount = 8;
const char* figureName(int figure);  // "residualLeftPx", ..., "baselineChangeMm"
double figureValue(const TrialFigures& figures, int figure);
// The criterion a figure is held to (its magnitude for the baseline change).
double figureCriterion(const PassCriteria& criteria, int figure);
bool passes(const TrialFigures& figures, const PassCriteria& criteria);

// How finely a trial calibrates: target depths 0.3, 1 and 2 m, each
// fronto-parallel and tilted by +-tilt about x and y.
struct TrialSampling {
    int targetPointsAcrossHalf = 8;
    double targetTiltDeg = 30.0;
    int raysAcrossHalf = 9;  // non-centrality: a raysAcrossHalf^2 grid of each half's pixels
    // Each trial's calibration starts from the nominal camera's intrinsics
    // (and the nominal figures are that camera calibrated from them): the
    // minimum is the same, the solver gets there in fewer iterations.
    bool startFromNominal = true;
};

// The nominal camera and prism, and what every trial starts from.
class ToleranceModel {
public:
    // Reads the prism file (or the "prism.json" in a folder); false with a
    // one-line message when it cannot be read, or when the nominal prism does
    // not trace or calibrate.
    bool load(const QString& path, const TrialSampling& sampling, QString* error);

    // Where a trial's time goes (seconds on the calling thread).
    struct Timing {
        double rays = 0.0;         // the made camera and its non-centrality rays
        double imaging = 0.0;      // the target points imaged through it (the trace)
        double calibration = 0.0;  // OpenCV's calibration of the pair
    };
    // One made camera. Never throws for a bad prism: a failure is its status.
    TrialFigures run(const Perturbation& perturbation, const PassCriteria& criteria, Timing* timing = nullptr) const
    {
        return run(perturbation, criteria, timing, nullptr);
    }

    const PrismFileContent& prism() const { return prism_; }
    const QByteArray& prismBytes() const { return prismBytes_; }
    const verify::PrismGeometry& geometry() const { return geometry_; }
    double prismHalfWidthMm() const;
    const TrialFigures& nominal() const { return nominal_; }
    const TrialSampling& sampling() const { return sampling_; }

private:
    TrialFigures run(const Perturbation& perturbation, const PassCriteria& criteria, Timing* timing,
                     calibration::StereoCalibration* calibrated) const;

    PrismFileContent prism_;
    QByteArray prismBytes_;
    verify::PrismGeometry geometry_;
    TrialSampling sampling_;
    calibration::StereoRig nominalRig_;
    calibration::CalibrationOptions options_;
    std::vector<calibration::TargetView> views_;
    std::array<calibration::HalfObservations, 2> nominalImages_;
    TrialFigures nominal_;
    calibration::StereoCalibration start_;  // the nominal calibration trials start from
    bool hasStart_ = false;
};

}  // namespace tolerance
