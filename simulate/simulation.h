#pragma once

// One simulated capture and its end-to-end depth check, for a prism camera
// and, beside it, the ideal pinhole pair the prism stands for (with its exact
// calibration: the matcher's own floor).

#include "simulate/capture.h"
#include "simulate/scene.h"
#include "simulate/stereo_match.h"
#include "verify/verify.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <vector>

namespace core {
class ProgressRange;
}

struct PrismFit;

namespace simulate {

// A camera to simulate: the rig's ray mappings and what it is.
struct SimulatedCamera {
    QString name;              // "prism" (a prism file), "ideal-pinhole-pair", "flat-plate"
    QString digest;            // calibration::prismDigest / standInDigest
    verify::PrismGeometry geometry;
    calibration::StereoRig rig;
};

// The prism of a "prism.json": its surfaces as the verifier traces them, a
// cemented prism with both its glasses (verify::prismFitGeometry).
bool loadPrismCamera(const QString& prismFile, SimulatedCamera* camera, QString* error);
// The same for a fit in memory, designed for `geometry`; `digest` names it
// (calibration::prismDigest). A cemented prism's rays cross the interface
// from the crown into the flint, at their indices at the design wavelength.
SimulatedCamera prismCamera(const verify::PrismGeometry& geometry, const PrismFit& fit, const QString& digest);
// A cemented prism at another wavelength: the crown's and the flint's
// indices there, from the material catalogue. False with one line when the
// prism is not cemented, a glass is not in the catalogue or the wavelength
// lies outside its range.
bool cementedPrismCameraAt(const verify::PrismGeometry& geometry, const PrismFit& fit, const QString& digest,
                           double wavelengthNm, SimulatedCamera* camera, QString* error);
// The ideal pinhole pair of a geometry.
SimulatedCamera idealPinholeCamera(const verify::PrismGeometry& geometry);
// A flat glass plate of `thicknessMm` (its lower face on z = 0) for both
// halves: no deflection, one shared viewpoint (virtualPinholeX 0).
SimulatedCamera flatPlateCamera(const verify::PrismGeometry& geometry, double thicknessMm);

struct TextureChoice {
    QString imagePath;          // empty: band-limited noise
    std::uint32_t seed = 1;
};

// Reads the user's texture image (PNG, JPEG, ... grey or colour). False with
// a one-line message when it cannot be read.
bool readTextureImage(const QString& path, cv::Mat* image, QString* error);

// The scene of `options` for the rig: its texel is one pixel footprint at
// the depth (depth + pinhole height) * pitch / focal length, the staircase
// shares the field of view's height at that depth.
Scene makeScene(SceneOptions options, const calibration::StereoRig& rig, const cv::Mat& textureImage,
                std::uint32_t seed);

// Empty when both halves see the scene plane at `depthMm` and share at
// least a fifth of their view there (from the traced rays of the central
// row); otherwise why not, in one line.
QString depthVisibility(const RayField& field, double depthMm);

struct CameraRun {
    Capture capture;
    MatchResult match;
    double captureSeconds = 0.0;
};

// Captures the scene with the camera's traced rays and matches it with the
// model; the seconds are the capture's (the rays traced beforehand).
CameraRun runCamera(const RayField& field, const SimulatedCamera& camera, const Scene& scene,
                    const StereoModel& model, const CaptureOptions& capture, const MatcherOptions& matcher,
                    const core::ProgressRange* progress = nullptr);

// A camera with its rays traced once (the cache every scene and depth
// reuses) and the calibration it is rectified with.
struct PreparedCamera {
    SimulatedCamera camera;
    StereoModel model;
    RayField field;
};

// Traces the camera's rays (of the central `rowFraction` of the rows,
// RayField::trace) on `threads` threads (0: all) in `progress`.
PreparedCamera prepareCamera(SimulatedCamera camera, StereoModel model, int threads,
                             const core::ProgressRange* progress = nullptr, double rowFraction = 1.0);
// The ideal pinhole pair of `geometry` with its exact calibration.
PreparedCamera prepareIdealCamera(const verify::PrismGeometry& geometry, int threads,
                                  const core::ProgressRange* progress = nullptr, double rowFraction = 1.0);

// One scene to capture and match.
struct CaseOptions {
    SceneOptions scene;
    CaptureOptions capture;
    MatcherOptions matcher;
    cv::Mat textureImage;  // empty: band-limited noise (seeded by capture.seed)
};

// The figures of one camera's run, without its images.
struct CameraFigures {
    MatcherOptions matcher;  // as used
    DepthStatistics depth;
    GeometryDisparity geometry;
    double captureSeconds = 0.0, rectifySeconds = 0.0, matchSeconds = 0.0, compareSeconds = 0.0;
};
CameraFigures figuresOf(const CameraRun& run);

// The prism's four pictures (pictures.h), PNG bytes, in the order of
// pictureSuffixes.
inline constexpr int pictureCount = 4;
inline constexpr const char* pictureSuffixes[pictureCount] = {"sensor", "rectified", "disparity", "depth-error"};
struct CasePictures {
    QByteArray png[pictureCount];
    double disparityLowPx = 0.0, disparityHighPx = 0.0;  // the disparity map's colour scale
    double errorScalePercent = 0.0;                      // the depth-error map's +-scale
};

// A scene through the prism and, beside it, through the ideal pair: the
// prism's excess over the matcher's own floor is the prism's share.
struct SimulationCase {
    SceneOptions scene;
    CameraFigures prism;
    CameraFigures ideal;
    bool hasIdeal = false;
    CasePictures pictures;
    double seconds = 0.0;  // wall time of the whole case, pictures included

    double excessRmsPercent() const;  // prism RMS minus the floor's (NaN without the ideal pair)
    double rmsRatio() const;          // prism RMS over the floor's (NaN without the ideal pair)
};

// Captures and matches the scene with the prism and, when `ideal` is given,
// with the ideal pair; encodes the prism's pictures. Polls `progress` for a
// cancel between and within the captures.
SimulationCase runCase(const PreparedCamera& prism, const PreparedCamera* ideal, const CaseOptions& options,
                       const core::ProgressRange* progress = nullptr);

// The figures of a case as lines of text: the scene, the prism's and the
// ideal pair's depth error and vertical disparity, the prism's excess and
// the times.
QString caseFiguresText(const SimulationCase& c);

// "simulate-plane-1000mm" and the like: the stem of a case's picture files,
// followed by "-sensor.png", "-rectified.png", ...
QString caseStem(SceneKind kind, double depthMm);
QString pictureFileName(SceneKind kind, double depthMm, int picture);

}  // namespace simulate
