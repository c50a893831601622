#include "simulate/simulation.h"

#include "calibration/calibration_file.h"
#include "calibration/prism_calibration.h"
#include "core/progress.h"
#include "fit/prism_file.h"
#include "simulate/pictures.h"
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
    verify::PrismGeometry geometry;
    geometry.focalLength = content.panel.focalLength;
    geometry.prismDistance = content.panel.prismDistance;
    geometry.refractiveIndex = double(content.panel.refractiveIndex);
    geometry.virtualPinholeX = -content.panel.centralRayHitX;
    if (!std::isfinite(geometry.virtualPinholeX)) {
        *error = QStringLiteral("%1 has no central-ray hit: no virtual pinhole to simulate").arg(prismFile);
        return false;
    }
    *camera = prismCamera(geometry, content.fit, calibration::prismDigest(content.panel, content.fit));
    return true;
}

SimulatedCamera prismCamera(const verify::PrismGeometry& geometry, const PrismFit& fit, const QString& digest)
{
    SimulatedCamera c;
    c.name = QStringLiteral("prism");
    c.digest = digest;
    // A cemented prism's rays cross into its second glass.
    c.geometry = verify::prismFitGeometry(geometry, fit);
    c.rig = calibration::prismRig(c.geometry, verify::prismFitSurfaces(fit));
    return c;
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
                    const StereoModel& model, const CaptureOptions& capture, const MatcherOptions& matcher,
                    const core::ProgressRange* progress)
{
    CameraRun run;
    QElapsedTimer timer;
    timer.start();
    const core::ProgressRange none(nullptr, 0.0, 1.0, std::string());
    const core::ProgressRange& whole = progress ? *progress : none;
    // The capture takes most of the share; StereoSGBM is one call that cannot be stopped.
    const core::ProgressRange captureShare = whole.part(0.0, 0.6);
    run.capture = captureScene(field, scene, capture, &captureShare);
    run.captureSeconds = double(timer.nsecsElapsed()) * 1e-9;
    whole.throwIfCancelled();
    run.match = matchAndCompare(run.capture, model, camera.rig, matcher, 16, capture.threads);
    whole.throwIfCancelled();
    whole.report(1.0);
    return run;
}

PreparedCamera prepareCamera(SimulatedCamera camera, StereoModel model, int threads,
                             const core::ProgressRange* progress, double rowFraction)
{
    PreparedCamera prepared;
    prepared.field = RayField::trace(camera.rig, threads, progress, rowFraction);
    prepared.camera = std::move(camera);
    prepared.model = std::move(model);
    return prepared;
}

PreparedCamera prepareIdealCamera(const verify::PrismGeometry& geometry, int threads,
                                  const core::ProgressRange* progress, double rowFraction)
{
    SimulatedCamera ideal = idealPinholeCamera(geometry);
    StereoModel model = idealStereoModel(ideal.rig);
    return prepareCamera(std::move(ideal), std::move(model), threads, progress, rowFraction);
}

CameraFigures figuresOf(const CameraRun& run)
{
    CameraFigures f;
    f.matcher = run.match.matcher;
    f.depth = run.match.depth;
    f.geometry = run.match.geometry;
    f.captureSeconds = run.captureSeconds;
    f.rectifySeconds = run.match.rectifySeconds;
    f.matchSeconds = run.match.matchSeconds;
    f.compareSeconds = run.match.compareSeconds;
    return f;
}

double SimulationCase::excessRmsPercent() const
{
    return hasIdeal ? prism.depth.rmsPercent - ideal.depth.rmsPercent : std::nan("");
}

double SimulationCase::rmsRatio() const
{
    return hasIdeal ? prism.depth.rmsPercent / ideal.depth.rmsPercent : std::nan("");
}

SimulationCase runCase(const PreparedCamera& prism, const PreparedCamera* ideal, const CaseOptions& options,
                       const core::ProgressRange* progress)
{
    QElapsedTimer timer;
    timer.start();
    const core::ProgressRange none(nullptr, 0.0, 1.0, std::string());
    const core::ProgressRange& whole = progress ? *progress : none;
    SimulationCase result;
    result.scene = options.scene;
    const double prismShare = ideal ? 0.6 : 0.9;
    {
        const Scene scene = makeScene(options.scene, prism.camera.rig, options.textureImage, options.capture.seed);
        const core::ProgressRange part = whole.part(0.0, prismShare);
        const CameraRun run =
            runCamera(prism.field, prism.camera, scene, prism.model, options.capture, options.matcher, &part);
        result.prism = figuresOf(run);
        CasePictures& p = result.pictures;
        p.png[0] = encodePng(run.capture.image);
        p.png[1] = encodePng(rectifiedPairPicture(run.match));
        p.png[2] = encodePng(disparityPicture(run.match, &p.disparityLowPx, &p.disparityHighPx));
        p.png[3] = encodePng(depthErrorPicture(run.match, 0.0, &p.errorScalePercent));
    }
    whole.throwIfCancelled();
    if (ideal) {
        // The same scene, scaled to the ideal pair's pixel footprint (the same rig dimensions).
        const Scene scene = makeScene(options.scene, ideal->camera.rig, options.textureImage, options.capture.seed);
        const core::ProgressRange part = whole.part(prismShare, 1.0);
        const CameraRun run =
            runCamera(ideal->field, ideal->camera, scene, ideal->model, options.capture, options.matcher, &part);
        result.ideal = figuresOf(run);
        result.hasIdeal = true;
    }
    whole.report(1.0);
    result.seconds = double(timer.nsecsElapsed()) * 1e-9;
    return result;
}

namespace {

QString statisticsLine(const char* label, const CameraFigures& m)
{
    const DepthStatistics& s = m.depth;
    return QStringLiteral("  %1 median %2 mm, RMS %3 mm (%4 %), p95 %5 mm (%6 %), valid %7 %; "
                          "vertical disparity RMS %8 px, max %9 px (off the seam %15 px, %16 px)\n"
                          "  %10 exact correspondences: depth RMS %11 %, max %12 %; StereoSGBM's disparity "
                          "error RMS %13 px, median %14 px\n"
                          "  %10 off the seam: depth RMS %17 %, exact correspondences %18 %\n")
        .arg(QString::fromLatin1(label), -18)
        .arg(s.medianMm, 0, 'f', 3)
        .arg(s.rmsMm, 0, 'f', 3)
        .arg(s.rmsPercent, 0, 'f', 3)
        .arg(s.p95Mm, 0, 'f', 3)
        .arg(s.p95Percent, 0, 'f', 3)
        .arg(s.validPercent, 0, 'f', 1)
        .arg(m.geometry.verticalRmsPx, 0, 'f', 3)
        .arg(m.geometry.verticalMaxPx, 0, 'f', 3)
        .arg(QString(), -18)
        .arg(m.geometry.depthRmsPercent, 0, 'f', 3)
        .arg(m.geometry.depthMaxPercent, 0, 'f', 3)
        .arg(m.geometry.matchRmsPx, 0, 'f', 3)
        .arg(m.geometry.matchMedianPx, 0, 'f', 3)
        .arg(m.geometry.verticalRmsPxOffSeam, 0, 'f', 3)
        .arg(m.geometry.verticalMaxPxOffSeam, 0, 'f', 3)
        .arg(s.rmsPercentOffSeam, 0, 'f', 3)
        .arg(m.geometry.depthRmsPercentOffSeam, 0, 'f', 4);
}

}  // namespace

QString caseFiguresText(const SimulationCase& c)
{
    const CameraFigures& run = c.prism;
    QString text = QStringLiteral("%1 at %2 mm (mean distance %3 mm), %4 disparities from %5, block %6:\n")
                       .arg(sceneKindName(c.scene.kind), QString::number(c.scene.depthMm, 'g', 10))
                       .arg(run.depth.meanDistanceMm, 0, 'f', 1)
                       .arg(run.matcher.numDisparities)
                       .arg(run.matcher.minDisparity)
                       .arg(run.matcher.blockSize);
    text += statisticsLine("prism", run);
    if (c.hasIdeal) {
        text += statisticsLine("ideal pinhole pair", c.ideal);
        text += QStringLiteral("  prism's excess    RMS %1 % over the floor (%2x)\n")
                    .arg(c.excessRmsPercent(), 0, 'f', 3)
                    .arg(c.rmsRatio(), 0, 'f', 2);
    }
    text += QStringLiteral("  capture %1 s, rectify %2 s, StereoSGBM %3 s, compare %4 s; the case with the "
                           "ideal pair and the pictures %5 s\n")
                .arg(run.captureSeconds, 0, 'f', 2)
                .arg(run.rectifySeconds, 0, 'f', 2)
                .arg(run.matchSeconds, 0, 'f', 2)
                .arg(run.compareSeconds, 0, 'f', 2)
                .arg(c.seconds, 0, 'f', 2);
    return text;
}

QString caseStem(SceneKind kind, double depthMm)
{
    return QStringLiteral("simulate-%1-%2mm").arg(sceneKindName(kind), QString::number(depthMm, 'g', 10));
}

QString pictureFileName(SceneKind kind, double depthMm, int picture)
{
    return caseStem(kind, depthMm) + QLatin1Char('-') + QLatin1String(pictureSuffixes[picture])
           + QStringLiteral(".png");
}

}  // namespace simulate
