#pragma once

// What a calibration sees through the prism: a planar grid target at several
// depths and poses, each target point imaged in each sensor half at the pixel
// whose outgoing ray passes through it.
//
// Coordinates are the design's: x across the sensor row, y across the sensor
// column, z along the optical axis, the scene at z below the prism base. Each
// half is treated as a camera of its own whose image is resolutionX / 2 by
// resolutionY pixels. Half pixel (u, v) (OpenCV convention: u to the right,
// v downwards, pixel centres at integer values) lies on the image plane at
//   x = xc + (u - W/2) * pitch,  y = -(v - H/2) * pitch,
// with xc = -W/2 * pitch for the left half and +W/2 * pitch for the right one,
// W = half width and H = height in pixels; so pixel column b of the whole
// sensor is at x = b * pitch - (sensor width) / 2, as in the design's grid.
// The matching camera frame of a half has X along +x, Y along -y and Z along
// -z (towards the scene).

#include "core/sensor.h"

#include <array>
#include <functional>
#include <vector>

namespace calibration {

using Vec3 = std::array<double, 3>;

// The ray that leaves the prism for one sensor point.
struct OutgoingRay {
    Vec3 origin{};     // a point of the ray, mm
    Vec3 direction{};  // towards the scene (negative z); any positive length
    bool valid = false;
};

// Sensor point (x, y) in mm on the image plane, from its centre, to the ray
// that leaves the prism. Must be callable from several threads at once.
using RayMapping = std::function<OutgoingRay(double x, double y)>;

enum class SensorHalf { Left = 0, Right = 1 };

// One camera with a prism: both halves' mappings and the ideal they aim at.
struct StereoRig {
    double focalLength = 35.0;      // mm
    double pixelPitch = ::pixelPitch;     // mm
    int resolutionX = 1920;         // whole sensor, pixels (even)
    int resolutionY = 1080;         // pixels
    double pinholeHeight = 210.0;   // z of the camera pinhole, mm
    double virtualPinholeX = 0.0;   // x of the left half's ideal pinhole; the right one is mirrored
    RayMapping left;
    RayMapping right;

    int halfWidth() const { return resolutionX / 2; }
    const RayMapping& mapping(SensorHalf half) const { return half == SensorHalf::Left ? left : right; }
};

// Half pixel to sensor point (mm) and back, by the convention above.
void pixelToSensor(const StereoRig& rig, SensorHalf half, double u, double v, double* x, double* y);
void sensorToPixel(const StereoRig& rig, SensorHalf half, double x, double y, double* u, double* v);

// The ray of an ideal pinhole camera for each half: from (+-virtualPinholeX,
// 0, pinholeHeight) through the half-shifted sensor point, as the design
// intends. Its calibration is exact: fx = fy = focalLength / pitch,
// principal point (W/2, H/2), no distortion.
RayMapping idealPinholeMapping(const StereoRig& rig, SensorHalf half);

// One pose of the planar target.
struct TargetView {
    double depthMm = 0.0;            // the target centre lies on the plane z = -depthMm (below the prism base)
    double tiltXDeg = 0.0;           // rotation about the x axis
    double tiltYDeg = 0.0;           // rotation about the y axis
    std::vector<Vec3> targetPoints;  // in the target's own frame (z = 0), mm
    std::vector<Vec3> worldPoints;   // the same points in design coordinates
};

struct TargetOptions {
    std::vector<double> depthsMm{300.0, 600.0, 1000.0, 2000.0};
    double tiltDeg = 30.0;              // each depth: fronto-parallel, +-tilt about x, +-tilt about y
    int pointsAcrossHalf = 14;          // grid points across one half's field of view
};

// The target poses: for every depth five views (or one when tiltDeg is 0),
// a square grid centred on the optical axis at z = -depth (the scene planes
// of the verifier) and large enough to cover both halves' fields of view
// there. Points outside a half's image are
// dropped later by the imaging.
std::vector<TargetView> makeTargetViews(const StereoRig& rig, const TargetOptions& options);

// Where one world point is imaged in one half. `imaged` is false when the
// search leaves the mapping's valid rays, does not converge, or ends outside
// the half image [-0.5, W - 0.5] x [-0.5, H - 0.5].
struct ImagedPoint {
    double u = 0.0;
    double v = 0.0;
    double missPx = 0.0;   // remaining distance of the ray from the point, in pixels of the local mapping
    int iterations = 0;
    bool converged = false;  // u, v hold the solution (inside the image or not)
    bool imaged = false;
};

// Newton's method on the mapping: the ray of pixel (u, v) meets the plane
// z = point.z at (X, Y); (u, v) is changed until (X, Y) is the point. The
// Jacobian comes from forward differences of 1e-3 px (it sets only the speed
// of convergence: the miss itself is evaluated exactly); a step that leaves
// the valid rays is halved. The search stops when a full step is below
// 1e-10 px (at most 40 steps), or as not imaged when after two steps it is
// more than 50 px outside the half image. It starts from the ideal pinhole's
// pixel of the point. On the ideal pinhole and on the traced prisms the
// remaining miss is below 1e-8 px (StereoCalibration::maxImagingMissPx).
// `start`, when given, replaces the ideal pixel as the starting pixel.
ImagedPoint imageWorldPoint(const StereoRig& rig, SensorHalf half, const Vec3& point,
                            const double* start = nullptr);

// The pixel of the point in the half's ideal pinhole camera.
void idealPixel(const StereoRig& rig, SensorHalf half, const Vec3& point, double* u, double* v);

// Every view's points imaged in one half: observations[view][point]. The
// searches of a view start from the neighbouring point's solution (see the
// source); views run on up to threadCount threads.
using HalfObservations = std::vector<std::vector<ImagedPoint>>;
HalfObservations imageTargetViews(const StereoRig& rig, SensorHalf half,
                                  const std::vector<TargetView>& views, int threadCount = 0);

}  // namespace calibration
