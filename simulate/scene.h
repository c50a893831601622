#pragma once

// The scene of a simulated capture: textured planes below the prism, in the
// design's coordinates (x across the sensor row, y across the column, z along
// the optical axis; the scene lies at z < 0, below the prism base).
//   - "plane": a fronto-parallel plane at z = -depth;
//   - "tilted": the same plane turned about the y axis by the tilt angle
//     (its depth changes across the baseline);
//   - "steps": a staircase of fronto planes, one per band of the field of
//     view in y, each a fraction of the depth further than the one above it,
//     joined by risers (planes y = const).
// The texture is band-limited noise on a grid of one texel per pixel
// footprint at the scene's depth, or a user's image at the same scale.

#include <Eigen/Core>

#include <opencv2/core.hpp>

#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

namespace simulate {

using Vec3 = Eigen::Vector3d;

enum class SceneKind { Plane, Tilted, Steps };

QString sceneKindName(SceneKind kind);  // "plane" / "tilted" / "steps"
bool parseSceneKind(const QString& name, SceneKind* kind);

struct SceneOptions {
    SceneKind kind = SceneKind::Plane;
    double depthMm = 1000.0;         // the scene's centre lies at z = -depthMm
    double tiltDeg = 30.0;           // "tilted": rotation about the y axis
    int stepCount = 5;               // "steps": bands in y
    double stepFraction = 0.1;       // "steps": depth change per step, a fraction of depthMm
    double fieldHalfHeightMm = 0.0;  // "steps": half the height in y the bands share (> 0)
};

// Intensity 0..1 over the surface coordinates (s, t) in mm.
class Texture {
public:
    // Gaussian white noise on a size x size grid of texelMm (seeded, the same
    // for a seed on every machine), low-passed by a Gaussian of one texel
    // (periodic), scaled to mean 0.5 and standard deviation 0.15, clipped to
    // 0..1; tiled periodically.
    static Texture noise(double texelMm, std::uint32_t seed, int size = 2048);
    // A grey image (any depth, converted to 0..1), one image pixel per
    // texelMm, centred on the origin, mirrored at its edges.
    static Texture image(const cv::Mat& image, double texelMm);
    // Any function, e.g. a closed form for tests.
    static Texture function(std::function<float(double s, double t)> f);

    float at(double s, double t) const;

private:
    cv::Mat grid_;  // CV_32F
    double texelMm_ = 1.0;
    bool mirrored_ = false;
    std::function<float(double, double)> function_;
};

class Scene {
public:
    Scene(const SceneOptions& options, Texture texture);

    // The first meeting of the ray origin + t direction (t > 0) with the
    // scene: the point, and the texture's intensity there. False when the
    // ray meets nothing.
    bool hit(const Vec3& origin, const Vec3& direction, Vec3* point, float* intensity) const;

    const SceneOptions& options() const { return options_; }

private:
    struct Patch {
        Vec3 origin;   // texture origin, a point of the plane
        Vec3 normal;
        Vec3 axisS;    // in-plane texture axes
        Vec3 axisT;
        double yLow, yHigh, zLow, zHigh;  // where the patch is (world), closed
    };
    SceneOptions options_;
    Texture texture_;
    std::vector<Patch> patches_;
};

}  // namespace simulate
