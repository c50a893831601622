#include "app/cli/cli_simulate.h"

#include "app/cli/cli_option_table.h"
#include "app/cli/cli_options.h"
#include "app/cli/cli_study.h"

#include "calibration/calibration_file.h"
#include "calibration/prism_calibration.h"
#include "core/parallel_for.h"
#include "fit/prism_file.h"
#include "io/atomic_file_set.h"
#include "io/directory_lock.h"
#include "simulate/pictures.h"
#include "simulate/simulation.h"
#include "textio/json_writer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

struct Request {
    QString outputDir;
    QString prismFile;
    QString calibrationFile;
    simulate::SceneKind kind = simulate::SceneKind::Plane;
    QString textureFile;
    std::vector<double> depths;
    double tiltDeg = 30.0;
    simulate::CaptureOptions capture;
    simulate::MatcherOptions matcher;
    bool calibrate = false;
    calibration::DistortionModel model = calibration::DistortionModel::Standard;
    bool ideal = true;
    bool json = false;
    double rowFraction = 1.0;
};

// The options (app/cli/cli_option_table.cpp) into the request; their ranges
// are checked already.
bool parse(const CliArguments& a, Request* r, QString* error)
{
    r->outputDir = a.isSet("output-dir") ? a.text("output-dir") : QDir::currentPath();
    const QFileInfo dir(r->outputDir);
    if (!dir.isDir() || !dir.isWritable()) {
        *error = QStringLiteral("the output directory '%1' does not exist or cannot be written").arg(r->outputDir);
        return false;
    }
    r->outputDir = dir.absoluteFilePath();
    const QDir d(r->outputDir);
    r->prismFile = a.isSet("prism") ? a.text("prism") : d.filePath(QString::fromLatin1(prismFileName));
    r->calibrationFile = a.isSet("calibration")
                             ? a.text("calibration")
                             : d.filePath(QString::fromLatin1(calibration::stereoCalibrationFileName));
    const QString scene = a.text("scene");
    if (a.isSet("scene") && !simulate::parseSceneKind(scene, &r->kind)) {
        r->kind = simulate::SceneKind::Plane;
        r->textureFile = scene;
        if (!QFileInfo(scene).exists()) {
            *error = QStringLiteral("--scene must be plane, tilted, steps or an image file, got '%1'").arg(scene);
            return false;
        }
    }
    if (a.isSet("texture")) {
        if (!r->textureFile.isEmpty()) {
            *error = QStringLiteral("--texture and an image as --scene exclude each other");
            return false;
        }
        r->textureFile = a.text("texture");
    }
    for (const QString& text : a.texts("depth"))
        r->depths.push_back(text.toDouble());
    if (r->depths.empty())
        r->depths.push_back(1000.0);
    r->tiltDeg = a.number("tilt", r->tiltDeg);
    r->rowFraction = a.number("rows", r->rowFraction);
    r->capture.supersample = a.whole("supersample", r->capture.supersample);
    r->capture.noiseElectrons = a.number("noise", r->capture.noiseElectrons);
    r->capture.fullWellElectrons = a.number("full-well", r->capture.fullWellElectrons);
    r->capture.seed = std::uint32_t(a.whole("seed", 1));
    r->capture.threads = a.whole("threads", 0);
    simulate::MatcherOptions& m = r->matcher;
    m.minDisparity = a.whole("min-disparity", m.minDisparity);
    m.numDisparities = a.whole("num-disparities", m.numDisparities);
    m.blockSize = a.whole("block-size", m.blockSize);
    m.p1 = a.whole("p1", m.p1);
    m.p2 = a.whole("p2", m.p2);
    m.uniquenessRatio = a.whole("uniqueness", m.uniquenessRatio);
    if (m.numDisparities % 16 != 0) {
        *error = QStringLiteral("--num-disparities must be a multiple of 16, got %1").arg(m.numDisparities);
        return false;
    }
    if (m.blockSize % 2 == 0) {
        *error = QStringLiteral("--block-size must be odd, got %1").arg(m.blockSize);
        return false;
    }
    if (m.p1 > 0 && m.p2 > 0 && m.p2 <= m.p1) {
        *error = QStringLiteral("--p2 must be larger than --p1");
        return false;
    }
    if (a.isSet("sgbm-mode"))
        m.mode = QStringList{"sgbm", "3way", "hh"}.indexOf(a.text("sgbm-mode"));
    r->calibrate = a.isSet("calibrate");
    if (a.isSet("model")) {
        calibration::parseDistortionModel(a.text("model"), &r->model);
        if (!r->calibrate) {
            *error = QStringLiteral("--model belongs to --calibrate");
            return false;
        }
    }
    r->ideal = !a.isSet("no-ideal");
    r->json = a.isSet("json");
    return true;
}

void addStatistics(JsonWriter* w, const simulate::CameraFigures& m)
{
    const simulate::DepthStatistics& s = m.depth;
    w->beginObject();
    w->key("validPercent").number(s.validPercent);
    w->key("medianMm").number(s.medianMm).key("rmsMm").number(s.rmsMm).key("p95Mm").number(s.p95Mm);
    w->key("medianPercent").number(s.medianPercent).key("rmsPercent").number(s.rmsPercent);
    w->key("p95Percent").number(s.p95Percent);
    w->key("meanDistanceMm").number(s.meanDistanceMm);
    w->key("verticalDisparityRmsPx").number(m.geometry.verticalRmsPx);
    w->key("verticalDisparityMaxPx").number(m.geometry.verticalMaxPx);
    w->key("offSeam").beginObject();
    w->key("seamColumns").integer(simulate::seamColumns);
    w->key("validPixels").integer(s.validPixelsOffSeam);
    w->key("rmsPercent").number(s.rmsPercentOffSeam);
    w->key("exactCorrespondencesDepthRmsPercent").number(m.geometry.depthRmsPercentOffSeam);
    w->key("verticalDisparityRmsPx").number(m.geometry.verticalRmsPxOffSeam);
    w->key("verticalDisparityMaxPx").number(m.geometry.verticalMaxPxOffSeam);
    w->endObject();
    w->key("disparityErrorRmsPx").number(m.geometry.matchRmsPx);
    w->key("disparityErrorMedianPx").number(m.geometry.matchMedianPx);
    w->key("exactCorrespondences").beginObject();
    w->key("points").integer(m.geometry.points);
    w->key("depthRmsPercent").number(m.geometry.depthRmsPercent);
    w->key("depthMedianPercent").number(m.geometry.depthMedianPercent);
    w->key("depthMaxPercent").number(m.geometry.depthMaxPercent);
    w->endObject();
    w->key("matcher").beginObject();
    w->key("minDisparity").integer(m.matcher.minDisparity).key("numDisparities").integer(m.matcher.numDisparities);
    w->key("blockSize").integer(m.matcher.blockSize).key("p1").integer(m.matcher.p1).key("p2").integer(m.matcher.p2);
    w->key("uniquenessRatio").integer(m.matcher.uniquenessRatio);
    w->key("mode").string(m.matcher.mode == 0 ? "sgbm" : m.matcher.mode == 1 ? "3way" : "hh");
    w->endObject();
    w->endObject();
}

}  // namespace

int runSimulateCommand(const QStringList& arguments)
{
    CliArguments a;
    int code = CliExitOk;
    if (!parseStudyOptions(arguments, false, &a, &code))
        return code;
    Request r;
    QString error;
    if (!parse(a, &r, &error))
        return failWith(CliExitUsage, error);
    QElapsedTimer total;
    total.start();
    // Everything is read and checked before anything is written.
    simulate::SimulatedCamera camera;
    if (!simulate::loadPrismCamera(r.prismFile, &camera, &error))
        return failWith(CliExitUsage, error);
    cv::Mat textureImage;
    if (!r.textureFile.isEmpty() && !simulate::readTextureImage(r.textureFile, &textureImage, &error))
        return failWith(CliExitUsage, error);
    simulate::StereoModel model;
    std::string calibrationText;  // with --calibrate: the file to write
    const QString calibrationTarget =
        QDir(r.outputDir).filePath(QString::fromLatin1(calibration::stereoCalibrationFileName));
    if (!r.calibrate) {
        if (!simulate::readStereoModel(r.calibrationFile, &model, &error))
            return failWith(CliExitUsage, error);
        if (model.prismDigest.isEmpty())
            return failWith(CliExitUsage,
                            QStringLiteral("%1 names no prism (no prism_digest): it cannot be matched to %2; use --calibrate")
                                .arg(r.calibrationFile, r.prismFile));
        if (model.prismDigest != camera.digest)
            return failWith(CliExitUsage,
                            QStringLiteral("%1 is the calibration of another prism than %2 (prism digest %3, not %4)")
                                .arg(r.calibrationFile, r.prismFile, model.prismDigest.left(12), camera.digest.left(12)));
    }
    simulate::PreparedCamera prism;
    prism.field = simulate::RayField::trace(camera.rig, r.capture.threads, nullptr, r.rowFraction);
    for (double depth : r.depths) {
        const QString why = simulate::depthVisibility(prism.field, depth);
        if (!why.isEmpty())
            return failWith(CliExitUsage, why);
    }
    DirectoryLock lock(r.outputDir);
    if (!lock.acquire(DirectoryLock::Mode::Refuse, &error))
        return failWith(lock.heldElsewhere() ? CliExitLocked : CliExitFailure, error);
    AtomicFileSet::recover(r.outputDir);
    AtomicFileSet files(r.outputDir, QStringLiteral("simulate"));
    QStringList names;
    for (double depth : r.depths)
        for (int picture = 0; picture < simulate::pictureCount; ++picture)
            names << simulate::pictureFileName(r.kind, depth, picture);
    if (r.calibrate)
        names << QString::fromLatin1(calibration::stereoCalibrationFileName);
    if (!files.checkTargets(names))
        return failWith(CliExitUsage, files.errorString());
    if (r.calibrate) {
        calibration::CalibrationOptions options;
        options.model = r.model;
        options.threadCount = r.capture.threads;
        calibration::StereoCalibration predicted = calibration::calibrateStereoRig(camera.rig, options);
        predicted.prismDigest = camera.digest;
        if (!predicted.ok)
            return failWith(CliExitFailure, QStringLiteral("calibration of the prism failed: %1").arg(predicted.error));
        // Rectified from the very text the file will hold.
        if (!calibration::stereoCalibrationText(predicted, &calibrationText, &error)
            || !simulate::readStereoModelText(calibrationText, calibrationTarget, &model, &error))
            return failWith(CliExitFailure, error);
    }

    prism.camera = camera;
    prism.model = model;
    simulate::PreparedCamera ideal;
    if (r.ideal)
        ideal = simulate::prepareIdealCamera(camera.geometry, r.capture.threads, nullptr, r.rowFraction);

    JsonWriter w(false);
    w.beginObject().key("schemaVersion").integer(cliJsonSchemaVersion).key("simulation").beginObject();
    w.key("prism").string(QFileInfo(r.prismFile).absoluteFilePath());
    w.key("prismDigest").string(camera.digest);
    w.key("calibration").string(r.calibrate ? calibrationTarget : QFileInfo(r.calibrationFile).absoluteFilePath());
    w.key("calibrationPredicted").boolean(r.calibrate);
    w.key("supersample").integer(r.capture.supersample);
    w.key("rowFraction").number(r.rowFraction);
    w.key("noiseElectrons").number(r.capture.noiseElectrons);
    w.key("fullWellElectrons").number(r.capture.fullWellElectrons);
    w.key("seed").integer(r.capture.seed);
    w.key("texture").string(r.textureFile.isEmpty() ? QStringLiteral("noise") : r.textureFile);
    w.key("cases").beginArray();
    QString text = QStringLiteral("simulate: %1 (digest %2), calibration %3\n")
                       .arg(QFileInfo(r.prismFile).absoluteFilePath(), camera.digest.left(12),
                            r.calibrate ? QStringLiteral("predicted for this prism, written to %1").arg(calibrationTarget)
                                        : QFileInfo(r.calibrationFile).absoluteFilePath());
    text += QStringLiteral("  %1 x %1 rays per pixel, noise %2 e- on a full well of %3 e-\n")
                .arg(r.capture.supersample)
                .arg(r.capture.noiseElectrons)
                .arg(r.capture.fullWellElectrons);
    std::vector<QByteArray> pictures;
    for (double depth : r.depths) {
        simulate::CaseOptions options;
        options.scene.kind = r.kind;
        options.scene.depthMm = depth;
        options.scene.tiltDeg = r.tiltDeg;
        options.capture = r.capture;
        options.matcher = r.matcher;
        options.textureImage = textureImage;
        const simulate::SimulationCase c = simulate::runCase(prism, r.ideal ? &ideal : nullptr, options);
        for (const QByteArray& png : c.pictures.png)
            pictures.push_back(png);
        const simulate::CameraFigures& run = c.prism;

        w.beginObject();
        w.key("scene").string(simulate::sceneKindName(r.kind)).key("depthMm").number(depth);
        if (r.kind == simulate::SceneKind::Tilted)
            w.key("tiltDeg").number(r.tiltDeg);
        w.key("prism");
        addStatistics(&w, run);
        if (r.ideal) {
            w.key("ideal");
            addStatistics(&w, c.ideal);
            w.key("excessRmsPercent").number(c.excessRmsPercent());
            w.key("rmsRatio").number(c.rmsRatio());
        }
        w.key("pictures").beginObject();
        w.key("stem").string(simulate::caseStem(r.kind, depth));
        w.key("disparityRangePx")
            .beginInlineArray()
            .number(c.pictures.disparityLowPx)
            .number(c.pictures.disparityHighPx)
            .endArray();
        w.key("errorScalePercent").number(c.pictures.errorScalePercent);
        w.endObject();
        w.key("seconds").beginObject();
        w.key("capture").number(run.captureSeconds).key("rectify").number(run.rectifySeconds);
        w.key("match").number(run.matchSeconds).key("compare").number(run.compareSeconds);
        w.key("total").number(c.seconds);
        w.endObject();
        w.endObject();

        text += simulate::caseFiguresText(c);
    }
    w.endArray();

    // The files: all or none.
    for (size_t i = 0; i < pictures.size(); ++i)
        if (!files.stage(names[int(i)], pictures[i].constData(), size_t(pictures[i].size())))
            return failWith(CliExitFailure, files.errorString());
    if (r.calibrate && !files.stage(names.last(), calibrationText.data(), calibrationText.size()))
        return failWith(CliExitFailure, files.errorString());
    if (!files.commit())
        return failWith(CliExitFailure, files.errorString());
    w.key("files").beginArray();
    for (const QString& name : names)
        w.string(QDir(r.outputDir).filePath(name));
    w.endArray();
    w.key("totalSeconds").number(double(total.nsecsElapsed()) * 1e-9);
    w.endObject().endObject();
    text += QStringLiteral("wrote %1 files to %2 in %3 s\n")
                .arg(names.size())
                .arg(r.outputDir)
                .arg(double(total.nsecsElapsed()) * 1e-9, 0, 'f', 1);
    const QByteArray out = r.json ? w.bytes() + '\n' : text.toLocal8Bit();
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    return CliExitOk;
}
