#pragma once

// One simulated capture and its end-to-end depth check, for a prism camera
// and, beside it, the ideal pinhole pair the prism stands for (with its exact
// calibration: the matcher's own floor).

#include "simulate/capture.h"
#include "simulate/scene.h"
#include "simulate/stereo_match.h"
#include "verify/verify.h"

#include <QString>

#include <memory>
#include <vector>

namespace core {
class Progress;
}

namespace simulate {

// A camera to simulate: the rig's ray mappings and what it is.
struct SimulatedCamera {
    QString name;              // "prism" (a prism file), "ideal-pinhole-pair", "flat-plate"
    QString digest;            // calibration::prismDigest / standInDigest
    verify::PrismGeometry geometry;
    calibration::StereoRig rig;
};

// The prism of a "prism.json": its surfaces as the verifier traces them.
bool loadPrismCamera(const QString& prismFile, SimulatedCamera* camera, QString* error);
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

struct SimulationCase {
    SceneOptions scene;
    CameraRun prism;
    CameraRun ideal;
    bool hasIdeal = false;
};

// Captures the scene with the camera's traced rays and matches it with the
// model; the seconds are the capture's (the rays traced beforehand).
CameraRun runCamera(const RayField& field, const SimulatedCamera& camera, const Scene& scene,
                    const StereoModel& model, const CaptureOptions& capture, const MatcherOptions& matcher);

}  // namespace simulate
