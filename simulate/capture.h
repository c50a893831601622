#pragma once

// The sensor image a prism camera takes of a scene. Every sensor pixel's
// camera ray is traced once through the prism (or a stand-in) and kept per
// camera (RayField); a capture then sends N x N rays per pixel, at the
// centres of an N x N split of the pixel, to the scene and averages the
// texture they meet. The rays of the sub-pixel points are the bilinear
// interpolation of the traced rays of the pixel centres of the same half
// (the mapping is smooth within a half; the halves are never mixed).
//
// Image convention (OpenCV's, as the calibration's): sensor pixel (column b,
// row v), 0 <= b < 1920, 0 <= v < 1080, lies at x = (b - 960) * pitch,
// y = -(v - 540) * pitch on the image plane; columns 0..959 are the left
// half's image, 960..1919 the right half's.

#include "calibration/target_imaging.h"
#include "simulate/scene.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

namespace core {
class ProgressRange;
}

namespace simulate {

class RayField {
public:
    RayField() = default;
    // Traces every pixel centre of the rig's sensor through its mappings, on
    // `threads` threads (0: every hardware thread). With a `rowFraction`
    // below 1 only that central band of the rows is traced (a cheaper
    // capture of part of the view); the other rows get no ray, so their
    // pixels stay black and carry no truth.
    static RayField trace(const calibration::StereoRig& rig, int threads, const core::ProgressRange* progress = nullptr,
                          double rowFraction = 1.0);

    int columns() const { return columns_; }
    int rows() const { return rows_; }
    bool empty() const { return columns_ == 0; }

    // The outgoing ray at sensor position (column, row), fractional, as a
    // point on the plane z = 0 and a direction with z component -1. False
    // where the rays around it did not get through.
    bool ray(double column, double row, Vec3* origin, Vec3* direction) const;
    // The traced ray of a pixel centre.
    bool pixelRay(int column, int row, Vec3* origin, Vec3* direction) const;

private:
    int columns_ = 0;
    int rows_ = 0;
    // Per pixel: crossing of z = 0 (x, y) and slopes dx/d(-z), dy/d(-z); NaN
    // when the ray did not get through.
    std::vector<float> values_;
};

struct CaptureOptions {
    int supersample = 2;                // N: N x N rays per pixel, 1..8
    double noiseElectrons = 0.0;        // read noise (electrons RMS); > 0 also adds photon noise
    double fullWellElectrons = 10000.0; // electrons of a white pixel (grey level 255)
    std::uint32_t seed = 1;             // of the noise
    int threads = 0;
};

struct Capture {
    cv::Mat image;   // CV_8UC1, rows x columns: the sensor image
    cv::Mat points;  // CV_32FC3: scene point of each pixel centre's ray (mm, design coordinates), NaN where none
};

// Forms the sensor image of the scene.
Capture captureScene(const RayField& field, const Scene& scene, const CaptureOptions& options,
                     const core::ProgressRange* progress = nullptr);

}  // namespace simulate
