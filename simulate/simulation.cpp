#include "simulate/simulation.h"

#include "calibration/calibration_file.h"
#include "calibration/prism_calibration.h"
#include "fit/prism_file.h"
#include "io/safe_input.h"
#include "verify/prism_trace.h"

#include <opencv2/imgcodecs.hpp>

#include <QElapsedTimer>
#include <QFile>

#include <cmath>

namespace simulate {

namespace {

// A plane z = height, everywhere.
class FlatSurface final : public verify::HeightFieldSurface {
public:
    explicit FlatSurface(double height) : height_(height) {}
    double height(double, double, double* slopeX, double* slopeY) const override
    {
        if (slopeX) *slopeX = 0.0;
        if (slopeY) *slopeY = 0.0;
        return height_;
    }

private:
    double height_;
};

}  // namespace

bool loadPrismCamera(const QString& prismFile, SimulatedCamera* camera, QString* error)
{
    PrismFileContent content;
    if (!readPrismFile(prismFile, &content, error))
        return false;
    SimulatedCamera c;
    c.name = QStringLiteral("prism");
    c.digest = calibration::prismDigest(content.panel, content.fit);
    c.geometry.focalLength = content.panel.focalLength;
    c.geometry.prismDistance = content.panel.prismDistance;
    c.geometry.refractiveIndex = double(content.panel.refractiveIndex);
    c.geometry.virtualPinholeX = -content.panel.centralRayHitX;
    if (!std::isfinite(c.geometry.virtualPinholeX)) {
        *error = QStringLiteral("%1 has no central-ray hit: no virtual pinhole to simulate").arg(prismFile);
        return false;
    }
    c.rig = calibration::prismRig(c.geometry, verify::prismFitSurfaces(content.fit));
    *camera = std::move(c);
    return true;
}

SimulatedCamera idealPinholeCamera(const verify::PrismGeometry& geometry)
{
    SimulatedCamera c;
    c.name = QStringLiteral("ideal-pinhole-pair");
    c.digest = calibration::standInDigest(c.name);
    c.geometry = geometry;
    c.rig.focalLength = geometry.focalLength;
    c.rig.pinholeHeight = geometry.pinholeHeight();
    c.rig.virtualPinholeX = geometry.virtualPinholeX;
    c.rig.left = calibration::idealPinholeMapping(c.rig, calibration::SensorHalf::Left);
    c.rig.right = calibration::idealPinholeMapping(c.rig, calibration::SensorHalf::Right);
    return c;
}

SimulatedCamera flatPlateCamera(const verify::PrismGeometry& geometry, double thicknessMm)
{
    verify::PrismGeometry g = geometry;
    g.virtualPinholeX = 0.0;
    verify::PrismSurfaces surfaces;
    const auto entrance = std::make_shared<FlatSurface>(thicknessMm);
    const auto exit = std::make_shared<FlatSurface>(0.0);
    surfaces.entrance = {entrance, entrance};
    surfaces.exit = {exit, exit};
    SimulatedCamera c;
    c.name = QStringLiteral("flat-plate");
    c.digest = calibration::standInDigest(QStringLiteral("flat-plate %1").arg(thicknessMm, 0, 'g', 17));
    c.geometry = g;
    c.rig = calibration::prismRig(g, surfaces);
    return c;
}

bool readTextureImage(const QString& path, cv::Mat* image, QString* error)
{
    QByteArray bytes;
    if (!readRegularFile(path, &bytes, error))
        return false;
    cv::Mat decoded;
    try {
        decoded = cv::imdecode(cv::Mat(1, bytes.size(), CV_8U, bytes.data()), cv::IMREAD_GRAYSCALE);
    } catch (const cv::Exception&) {
        decoded.release();
    }
    if (decoded.empty() || decoded.cols < 2 || decoded.rows < 2) {
        *error = QStringLiteral("the scene image %1 cannot be read as an image").arg(path);
        return false;
    }
    *image = decoded;
    return true;
}

Scene makeScene(SceneOptions options, const calibration::StereoRig& rig, const cv::Mat& textureImage,
                std::uint32_t seed)
{
    const double distance = options.depthMm + rig.pinholeHeight;
    const double texel = distance * rig.pixelPitch / rig.focalLength;
    if (options.fieldHalfHeightMm <= 0.0)
        options.fieldHalfHeightMm = distance * 0.5 * rig.resolutionY * rig.pixelPitch / rig.focalLength;
    return Scene(options, textureImage.empty() ? Texture::noise(texel, seed) : Texture::image(textureImage, texel));
}

QString depthVisibility(const RayField& field, double depthMm)
{
    if (!(depthMm > 0.0) || !std::isfinite(depthMm))
        return QStringLiteral("the depth %1 mm is not in front of the prism").arg(depthMm);
    const int row = field.rows() / 2;
    double low[2], high[2];
    for (int half = 0; half < 2; ++half) {
        const int first = half * field.columns() / 2, last = first + field.columns() / 2 - 1;
        // The outermost columns whose rays get through.
        Vec3 o, d;
        int a = first, b = last;
        while (a < b && !field.pixelRay(a, row, &o, &d))
            ++a;
        while (b > a && !field.pixelRay(b, row, &o, &d))
            --b;
        if (a >= b)
            return QStringLiteral("no ray of the %1 half gets through the prism").arg(half ? "right" : "left");
        double xa, xb;
        field.pixelRay(a, row, &o, &d);
        xa = o.x() + d.x() * depthMm;
        field.pixelRay(b, row, &o, &d);
        xb = o.x() + d.x() * depthMm;
        low[half] = std::min(xa, xb);
        high[half] = std::max(xa, xb);
    }
    const double shared = std::min(high[0], high[1]) - std::max(low[0], low[1]);
    const double width = high[0] - low[0];
    if (!(shared >= 0.2 * width))
        return QStringLiteral("at a depth of %1 mm the halves share %2 % of their view, too little to match")
            .arg(depthMm)
            .arg(std::max(0.0, 100.0 * shared / width), 0, 'f', 0);
    return QString();
}

CameraRun runCamera(const RayField& field, const SimulatedCamera& camera, const Scene& scene,
                    const StereoModel& model, const CaptureOptions& capture, const MatcherOptions& matcher)
{
    CameraRun run;
    QElapsedTimer timer;
    timer.start();
    run.capture = captureScene(field, scene, capture);
    run.captureSeconds = double(timer.nsecsElapsed()) * 1e-9;
    run.match = matchAndCompare(run.capture, model, camera.rig, matcher, 16, capture.threads);
    return run;
}

}  // namespace simulate
