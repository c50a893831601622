#pragma once

// OpenCV's pinhole camera with its distortion models, as a template on the
// scalar type, so that the optimiser can solve a camera together with the
// prism it looks through. The same equations as cv::projectPoints:
//   x' = X / Z, y' = Y / Z, r2 = x'^2 + y'^2,
//   x'' = x' (1 + k1 r2 + k2 r4 + k3 r6) / (1 + k4 r2 + k5 r4 + k6 r6)
//         + 2 p1 x' y' + p2 (r2 + 2 x'^2) + s1 r2 + s2 r4,
//   y'' = y' (...) / (...) + p1 (r2 + 2 y'^2) + 2 p2 x' y' + s3 r2 + s4 r4,
//   (x''', y''') = the sensor tilt (tauX, tauY) applied to (x'', y''),
//   u = fx x''' + cx, v = fy y''' + cy.
// Distortion coefficients in OpenCV's order: k1 k2 p1 p2 k3 k4 k5 k6 s1 s2 s3
// s4 tauX tauY; a model uses the first 5, 8, 12 or 14.

#include <cmath>

namespace optics {

enum class DistortionModel {
    Standard,   // k1 k2 p1 p2 k3
    Rational,   // + k4 k5 k6
    ThinPrism,  // + s1 s2 s3 s4
    Tilted,     // + tauX tauY
};

constexpr int distortionCount(DistortionModel model)
{
    return model == DistortionModel::Standard ? 5
           : model == DistortionModel::Rational ? 8
           : model == DistortionModel::ThinPrism ? 12
                                                 : 14;
}

constexpr const char* distortionModelKey(DistortionModel model)
{
    return model == DistortionModel::Standard ? "standard"
           : model == DistortionModel::Rational ? "rational"
           : model == DistortionModel::ThinPrism ? "thinprism"
                                                 : "tilted";
}

// Camera parameters: fx fy cx cy, then distortionCount(model) coefficients.
constexpr int cameraParameterCount(DistortionModel model) { return 4 + distortionCount(model); }

// Pixel (u, v) of the camera-frame point (X, Y, Z), Z > 0.
template <typename T>
void projectPoint(DistortionModel model, const T* camera, const T& X, const T& Y, const T& Z, T* u, T* v)
{
    using std::cos;
    using std::sin;
    const T* k = camera + 4;
    const int count = distortionCount(model);
    const T xp = X / Z;
    const T yp = Y / Z;
    const T r2 = xp * xp + yp * yp;
    const T r4 = r2 * r2;
    const T r6 = r4 * r2;
    T radial = T(1.0) + k[0] * r2 + k[1] * r4 + k[4] * r6;
    if (count >= 8)
        radial /= T(1.0) + k[5] * r2 + k[6] * r4 + k[7] * r6;
    T xd = xp * radial + 2.0 * k[2] * xp * yp + k[3] * (r2 + 2.0 * xp * xp);
    T yd = yp * radial + k[2] * (r2 + 2.0 * yp * yp) + 2.0 * k[3] * xp * yp;
    if (count >= 12) {
        xd += k[8] * r2 + k[9] * r4;
        yd += k[10] * r2 + k[11] * r4;
    }
    if (count >= 14) {
        // OpenCV's computeTiltProjectionMatrix: R = Ry(tauY) Rx(tauX), then
        // the projection back onto the untilted image plane.
        const T cx = cos(k[12]), sx = sin(k[12]), cy = cos(k[13]), sy = sin(k[13]);
        // R = Ry * Rx, Rx = [1 0 0; 0 cx sx; 0 -sx cx], Ry = [cy 0 -sy; 0 1 0; sy 0 cy]
        const T r00 = cy, r01 = sy * sx, r02 = -sy * cx;
        const T r10 = T(0.0), r11 = cx, r12 = sx;
        const T r20 = sy, r21 = -cy * sx, r22 = cy * cx;
        // Tilt = [r22 0 -r02; 0 r22 -r12; 0 0 1] * R
        const T t00 = r22 * r00 - r02 * r20, t01 = r22 * r01 - r02 * r21, t02 = r22 * r02 - r02 * r22;
        const T t10 = r22 * r10 - r12 * r20, t11 = r22 * r11 - r12 * r21, t12 = r22 * r12 - r12 * r22;
        const T t20 = r20, t21 = r21, t22 = r22;
        const T xt = t00 * xd + t01 * yd + t02;
        const T yt = t10 * xd + t11 * yd + t12;
        const T zt = t20 * xd + t21 * yd + t22;
        xd = xt / zt;
        yd = yt / zt;
    }
    *u = camera[0] * xd + camera[2];
    *v = camera[1] * yd + camera[3];
}

}  // namespace optics
