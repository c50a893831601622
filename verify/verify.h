#pragma once

// Optical verification of a prism: the camera ray of a sensor pixel is traced
// through the entrance surface (air to glass) and the exit surface (glass to
// air) and compared with the ray of that pixel's ideal virtual camera.
//
// Geometry: camera pinhole C = (0, 0, F), F = prismDistance + focalLength;
// pixel (x, y) on the image plane z = prismDistance, in mm from the sensor
// centre; camera direction w = (x, y, dz)/|.|, dz = prismDistance - F. Left
// half x < 0, right half x >= 0; xv = x + q (left) or x - q (right),
// q = 1920 * 0.0055 / 4. Ideal outgoing ray: through V = (Cp, 0, F), Cp =
// virtualPinholeX on the left and its negative on the right, along
// v = (xv, y, dz)/|.|.
//
// Pixels: column i = 0..1919 at x = (i - 960) * 0.0055, row j = 0..1079 at
// y = (j - 540) * 0.0055 (the design's columns and rows; row 540 is the
// central row).

#include "core/sensor.h"
#include "verify/verify_surfaces.h"

#include <vector>

namespace verify {

using ::pixelPitch;
constexpr int sensorColumns = 1920;
constexpr int sensorRows = 1080;
constexpr int centralColumn = 960;
constexpr int centralRow = 540;

struct Pixel {
    int column = 0;  // 0..1919
    int row = 0;     // 0..1079
};

// Sensor position of a pixel, mm from the centre.
inline double pixelX(int column) { return (column - centralColumn) * pixelPitch; }
inline double pixelY(int row) { return (row - centralRow) * pixelPitch; }

struct PrismGeometry {
    double focalLength = 35.0;      // mm
    double prismDistance = 175.0;   // prism base to image plane, mm
    double refractiveIndex = 1.48;  // of the glass (the first glass of a cemented prism)
    double secondIndex = 0.0;       // of the glass behind the interface, when the surfaces have one
    double virtualPinholeX = 0.0;   // Cp of the left half; the right half uses -Cp

    double pinholeHeight() const { return prismDistance + focalLength; }  // F
    double dz() const { return prismDistance - pinholeHeight(); }
    static constexpr double quarterWidth = sensorColumns * pixelPitch / 4;  // q
};

// The depths (mm below the prism base, the scene plane z = -Z) a stereo
// user works at: from where the two halves' fields of view begin to overlap
// (Z = 2 |Cp| f / q - F) up to 10 m.
struct DepthRange {
    double nearMm = 0.0;
    double farMm = 0.0;
};
DepthRange stereoWorkingRange(const PrismGeometry& geometry);

// The virtual camera a sensor position x (mm) belongs to.
struct HalfFrame {
    int half;       // SensorHalf index
    double xv;      // virtual camera's pixel x, mm
    Vec3 pinhole;   // V
};
HalfFrame halfFrame(const PrismGeometry& geometry, double x);
// Position (mm) on the virtual camera's image plane, dz below V, of the
// image of direction d; false when d does not point into the scene.
bool imageOfDirection(double dz, const Vec3& d, double* px, double* py);

// Per-ray outcome flags (bits).
enum RayFlag : unsigned {
    RayMissedEntrance = 1u << 0,      // the camera ray does not meet the entrance surface
    RayMissedExit = 1u << 1,          // the ray in the glass does not meet the exit surface
    RayTotalReflection = 1u << 2,     // total internal reflection at the exit surface
    RayNoConvergence = 1u << 3,       // an intersection did not converge
    RayOutsideWindow = 1u << 4,       // traced, but met a fitted surface outside its fit window
    // Traced, but met a surface on the other half's side of x = 0: the ray
    // crosses the centre plane between the camera and the exit surface.
    RayCrossedCentre = 1u << 5,
    RayMissedInterface = 1u << 6,     // the ray in the first glass does not meet the interface
};
constexpr unsigned rayFailureFlags =
    RayMissedEntrance | RayMissedExit | RayTotalReflection | RayNoConvergence | RayMissedInterface;

struct TracedRay {
    unsigned flags = 0;             // RayFlag bits; no failure bit: traced
    Vec3 entrancePoint = Vec3::Zero();
    Vec3 exitPoint = Vec3::Zero();
    Vec3 glassDirection = Vec3::Zero();  // unit, inside the glass (the first glass)
    Vec3 interfacePoint = Vec3::Zero();  // where it crosses the interface, when there is one
    Vec3 direction = Vec3::Zero();       // unit, outgoing (into the scene)
    bool traced() const { return (flags & rayFailureFlags) == 0; }
};

// The camera ray of the pixel at sensor position (x, y) mm through both
// surfaces of its half.
TracedRay traceCameraRay(const PrismGeometry& geometry, const PrismSurfaces& surfaces, double x, double y);
// Any ray from the camera side through the surfaces of one half (0 left, 1
// right) of glass of index `refractiveIndex`; (x, y) is the sensor point it
// belongs to, where the surfaces start their intersection searches. When the
// half has an interface, the glass behind it has index `secondIndex`.
TracedRay traceRay(const PrismSurfaces& surfaces, double refractiveIndex, int half, const Ray& camera, double x,
                   double y, double secondIndex = 0.0);
inline TracedRay traceCameraRay(const PrismGeometry& geometry, const PrismSurfaces& surfaces, Pixel pixel)
{
    return traceCameraRay(geometry, surfaces, pixelX(pixel.column), pixelY(pixel.row));
}

// The three errors of one traced pixel.
struct PixelErrors {
    double directionPx = 0.0;                // image of the outgoing direction vs (xv, y), pixels
    double pinholeMm = 0.0;                  // distance of the outgoing line from V, mm
    std::vector<double> reprojectionPx;      // per depth Z: scene point on z = -Z through V, pixels
};
PixelErrors pixelErrors(const PrismGeometry& geometry, double x, double y, const TracedRay& ray,
                        const std::vector<double>& depths);

// Sampled pixels for step S >= 1: columns S/2, S/2 + S, ..; rows at offsets
// 0, +-S, +-2S, .. from the central row (inside 0..1079); and every column of
// the central row. S = 1 gives every pixel once. In a fixed order.
std::vector<Pixel> samplePixels(int step);

struct MetricStatistics {
    double rms = 0.0;
    double p95 = 0.0;   // nearest-rank 95th percentile
    double max = 0.0;
    Pixel maxAt;        // first pixel (in sample order) with the maximum
    int count = 0;      // values taken (the traced pixels)
};

// How far a half is from a central camera: the least-squares common point
// of all its traced rays (the point with the smallest sum of squared
// distances from the lines) and their RMS and largest distance from it, in mm
// and in px of parallax at the near depth (mm times f / (pitch * depth)).
struct NonCentrality {
    double rmsMm = 0.0;
    double maxMm = 0.0;
    double rmsPx = 0.0;
    double maxPx = 0.0;
    Vec3 commonPoint = Vec3::Zero();
    int count = 0;
};

// RMS and largest difference, in px of the virtual camera, between the image
// of a traced direction and the mirror image (y -> -y) of the direction of
// the pixel mirrored about the central row; over the pairs both traced.
struct MirrorAsymmetry {
    double rms = 0.0;
    double max = 0.0;
    int pairs = 0;
};

// The columns nearest the centre whose rays cross the centre plane x = 0
// inside the glass. The two halves of the prism meet at x = 0 on both
// surfaces (the entrance surfaces in the ridge, the exit surfaces in a crease),
// and a half's polynomial holds on its own side only; the rays of these
// columns run towards the other half from the entrance surface on, meet its
// exit face (whose slope there is the mirror image of the one they were made
// for) and are lost to the half, whatever the fit. With one fixed width
// (VerifyOptions::centreBandColumns > 0) the band is the last width columns
// of the left half and the first of the right one; otherwise it reaches from
// the centre out to the farthest sampled column with a crossing ray (empty,
// firstColumn > lastColumn, when none crosses).
struct CentreBand {
    int firstColumn = 0;
    int lastColumn = -1;
    int traced = 0;
    int crossing = 0;  // traced rays of the band that cross x = 0
    double directionRmsPx = 0.0;
    double directionMaxPx = 0.0;
    double nonCentralityRmsMm = 0.0;  // from the whole half's common point
    double nonCentralityMaxMm = 0.0;
};

// The half without its centre band: what a user who masks the band keeps.
// The non-centrality is about these rays' own common point.
struct OutsideCentreBand {
    int traced = 0;
    double directionRmsPx = 0.0;
    double directionMaxPx = 0.0;
    NonCentrality nonCentrality;
};

struct HalfStatistics {
    int sampled = 0;
    int traced = 0;            // through both surfaces; these make the statistics
    int missed = 0;            // missed a surface
    int totalReflection = 0;
    int noConvergence = 0;
    int outsideWindow = 0;     // traced, meeting a fitted surface outside its window
    MetricStatistics directionPx;
    MetricStatistics pinholeMm;
    std::vector<MetricStatistics> reprojectionPx;  // one per depth
    NonCentrality nonCentrality;    // every traced pixel of the half, the centre band included
    MirrorAsymmetry mirrorAsymmetryPx;
    CentreBand centreBand;
    OutsideCentreBand outsideCentreBand;
};

struct VerifyOptions {
    int step = 8;
    std::vector<double> depths = {1000.0, 300.0};  // Z of the scene planes z = -Z, mm
    int threadCount = 0;       // 0: every hardware thread; results do not depend on it
    bool keepPixels = false;   // fill VerifyResult::pixels (for maps)
    double nearDepthMm = 300.0;  // the depth the non-centrality is given in px at
    int centreBandColumns = 0;   // columns per half in the centre band; 0: the columns whose rays cross x = 0
};

// One sampled pixel, kept for maps.
struct PixelResult {
    Pixel pixel;
    unsigned flags = 0;
    PixelErrors errors;  // zero unless traced
};

struct VerifyResult {
    std::vector<double> depths;
    double nearDepthMm = 300.0;
    int step = 8;
    std::array<HalfStatistics, 2> halves;  // by SensorHalf
    std::vector<PixelResult> pixels;       // when keepPixels, in sample order
};

// Traces every sampled pixel on all threads asked for and gathers the
// statistics per half. Identical results for any thread count.
VerifyResult verifyPrism(const PrismGeometry& geometry, const PrismSurfaces& surfaces,
                         const VerifyOptions& options = {});

}  // namespace verify
