#include "app/cli/cli_simulate.h"

#include "calibration/calibration_file.h"
#include "calibration/prism_calibration.h"
#include "core/parallel_for.h"
#include "fit/prism_file.h"
#include "io/atomic_file_set.h"
#include "io/directory_lock.h"
#include "simulate/pictures.h"
#include "simulate/simulation.h"
#include "textio/json_writer.h"

#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

enum { ExitOk = 0, ExitFailure = 1, ExitUsage = 2, ExitLocked = 3 };

const char helpText[] =
    "Usage: harvenlotek-cli simulate [options]\n"
    "\n"
    "The sensor image of a scene through the prism of a result directory\n"
    "(prism.json), rectified with its stereo_calibration.yml alone, matched by\n"
    "OpenCV's StereoSGBM and reprojected with Q; the depth error against the\n"
    "scene, beside the ideal pinhole pair with its exact calibration (the\n"
    "matcher's own floor). Writes four PNG pictures per scene and depth.\n"
    "\n"
    "  --scene S            plane, tilted, steps, or an image FILE (a fronto plane\n"
    "                       textured with it); default plane\n"
    "  --depth Z            depth of the scene below the prism base, mm (repeat;\n"
    "                       default 1000)\n"
    "  --tilt DEG           tilt of the tilted plane about y (default 30)\n"
    "  --texture FILE       an image as texture instead of band-limited noise\n"
    "  --supersample N      N x N rays per pixel, 1..8 (default 2)\n"
    "  --rows F             capture only the central fraction F of the sensor rows,\n"
    "                       more than 0 up to 1 (default 1: all)\n"
    "  --noise SIGMA        read noise in electrons (with photon noise; default 0: none)\n"
    "  --full-well E        electrons of a white pixel (default 10000)\n"
    "  --seed N             seed of the texture and the noise (default 1)\n"
    "  --prism FILE         the prism (default D/prism.json)\n"
    "  --calibration FILE   the calibration (default D/stereo_calibration.yml)\n"
    "  --calibrate          predict the calibration of this prism first and write\n"
    "                       it to D/stereo_calibration.yml\n"
    "  --model M            standard or rational, for --calibrate (default standard)\n"
    "  --min-disparity N, --num-disparities N (multiple of 16; default from the\n"
    "  scene), --block-size N (odd, default 5), --p1 N, --p2 N (default 8 and 32\n"
    "  block size squared), --uniqueness N (10), --sgbm-mode sgbm|3way|hh (3way)\n"
    "  --no-ideal           skip the ideal pinhole pair\n"
    "  --threads N          threads (default all processors)\n"
    "  --output-dir D       result directory (default the current directory)\n"
    "  --json               the summary as JSON\n";

void printError(const QString& message)
{
    std::fprintf(stderr, "harvenlotek-cli: %s\n", message.toLocal8Bit().constData());
}

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

bool parseInt(const QCommandLineParser& p, const char* name, int low, int high, int* value, QString* error)
{
    if (!p.isSet(QString::fromLatin1(name)))
        return true;
    bool ok = false;
    const int v = p.value(QString::fromLatin1(name)).toInt(&ok);
    if (!ok || v < low || v > high) {
        *error = QStringLiteral("--%1 must be a whole number from %2 to %3, got '%4'")
                     .arg(QString::fromLatin1(name))
                     .arg(low)
                     .arg(high)
                     .arg(p.value(QString::fromLatin1(name)));
        return false;
    }
    *value = v;
    return true;
}

bool parseNumber(const QString& text, const QString& name, double low, double* value, QString* error)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < low) {
        *error = QStringLiteral("--%1 must be a number of at least %2, got '%3'").arg(name).arg(low).arg(text);
        return false;
    }
    *value = v;
    return true;
}

bool parse(const QStringList& arguments, Request* r, bool* help, QString* error)
{
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const auto valued = [&p](const char* name) {
        p.addOption(QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("value")));
    };
    for (const char* name : {"scene", "depth", "tilt", "texture", "supersample", "rows", "noise", "full-well", "seed",
                             "prism", "calibration", "model", "min-disparity", "num-disparities", "block-size",
                             "p1", "p2", "uniqueness", "sgbm-mode", "threads", "output-dir"})
        valued(name);
    for (const char* name : {"calibrate", "no-ideal", "json", "help"})
        p.addOption(QCommandLineOption(QString::fromLatin1(name)));
    if (!p.parse(QStringList{QStringLiteral("harvenlotek-cli")} + arguments.mid(1))) {
        *error = p.errorText();
        return false;
    }
    *help = p.isSet(QStringLiteral("help"));
    if (*help)
        return true;
    if (!p.positionalArguments().isEmpty()) {
        *error = QStringLiteral("simulate takes no argument '%1'").arg(p.positionalArguments().first());
        return false;
    }
    for (const QString& name : p.optionNames())
        if (name != QLatin1String("depth") && p.values(name).size() > 1) {
            *error = QStringLiteral("--%1 is given more than once").arg(name);
            return false;
        }
    r->outputDir = p.isSet(QStringLiteral("output-dir")) ? p.value(QStringLiteral("output-dir")) : QDir::currentPath();
    const QFileInfo dir(r->outputDir);
    if (!dir.isDir() || !dir.isWritable()) {
        *error = QStringLiteral("the output directory '%1' does not exist or cannot be written").arg(r->outputDir);
        return false;
    }
    r->outputDir = dir.absoluteFilePath();
    const QDir d(r->outputDir);
    r->prismFile = p.isSet(QStringLiteral("prism")) ? p.value(QStringLiteral("prism"))
                                                    : d.filePath(QString::fromLatin1(prismFileName));
    r->calibrationFile = p.isSet(QStringLiteral("calibration"))
                             ? p.value(QStringLiteral("calibration"))
                             : d.filePath(QString::fromLatin1(calibration::stereoCalibrationFileName));
    if (p.isSet(QStringLiteral("scene"))) {
        const QString scene = p.value(QStringLiteral("scene"));
        if (!simulate::parseSceneKind(scene, &r->kind)) {
            r->kind = simulate::SceneKind::Plane;
            r->textureFile = scene;
            if (!QFileInfo(scene).exists()) {
                *error = QStringLiteral("--scene must be plane, tilted, steps or an image file, got '%1'").arg(scene);
                return false;
            }
        }
    }
    if (p.isSet(QStringLiteral("texture"))) {
        if (!r->textureFile.isEmpty()) {
            *error = QStringLiteral("--texture and an image as --scene exclude each other");
            return false;
        }
        r->textureFile = p.value(QStringLiteral("texture"));
    }
    for (const QString& text : p.values(QStringLiteral("depth"))) {
        double depth = 0.0;
        bool ok = false;
        depth = text.toDouble(&ok);
        if (!ok || !std::isfinite(depth)) {
            *error = QStringLiteral("--depth must be a number of millimetres, got '%1'").arg(text);
            return false;
        }
        r->depths.push_back(depth);
    }
    if (r->depths.empty())
        r->depths.push_back(1000.0);
    if (p.isSet(QStringLiteral("tilt"))) {
        if (!parseNumber(p.value(QStringLiteral("tilt")), QStringLiteral("tilt"), -60.0, &r->tiltDeg, error))
            return false;
        if (r->tiltDeg > 60.0) {
            *error = QStringLiteral("--tilt must lie from -60 to 60 degrees, got '%1'").arg(p.value("tilt"));
            return false;
        }
    }
    if (p.isSet(QStringLiteral("rows"))) {
        bool ok = false;
        r->rowFraction = p.value(QStringLiteral("rows")).toDouble(&ok);
        if (!ok || !(r->rowFraction > 0.0 && r->rowFraction <= 1.0)) {
            *error = QStringLiteral("--rows must be a fraction above 0 up to 1, got '%1'").arg(p.value("rows"));
            return false;
        }
    }
    if (p.isSet(QStringLiteral("supersample"))) {
        bool ok = false;
        const int n = p.value(QStringLiteral("supersample")).toInt(&ok);
        if (!ok || n < 1 || n > 8) {
            *error = QStringLiteral("--supersample must be 1 to 8, got '%1'").arg(p.value("supersample"));
            return false;
        }
        r->capture.supersample = n;
    }
    if (p.isSet(QStringLiteral("noise"))
        && !parseNumber(p.value(QStringLiteral("noise")), QStringLiteral("noise"), 0.0, &r->capture.noiseElectrons,
                        error))
        return false;
    if (p.isSet(QStringLiteral("full-well"))) {
        if (!parseNumber(p.value(QStringLiteral("full-well")), QStringLiteral("full-well"), 1.0,
                         &r->capture.fullWellElectrons, error))
            return false;
    }
    int seed = 1, threads = 0;
    if (!parseInt(p, "seed", 0, 2147483647, &seed, error) || !parseInt(p, "threads", 1, 1024, &threads, error))
        return false;
    r->capture.seed = std::uint32_t(seed);
    r->capture.threads = threads;
    simulate::MatcherOptions& m = r->matcher;
    if (!parseInt(p, "min-disparity", -4096, 4096, &m.minDisparity, error)
        || !parseInt(p, "num-disparities", 16, 4096, &m.numDisparities, error)
        || !parseInt(p, "block-size", 1, 51, &m.blockSize, error) || !parseInt(p, "p1", 1, 1 << 20, &m.p1, error)
        || !parseInt(p, "p2", 1, 1 << 20, &m.p2, error)
        || !parseInt(p, "uniqueness", 0, 100, &m.uniquenessRatio, error))
        return false;
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
    if (p.isSet(QStringLiteral("sgbm-mode"))) {
        const QString mode = p.value(QStringLiteral("sgbm-mode"));
        if (mode == QLatin1String("sgbm"))
            m.mode = 0;
        else if (mode == QLatin1String("3way"))
            m.mode = 1;
        else if (mode == QLatin1String("hh"))
            m.mode = 2;
        else {
            *error = QStringLiteral("--sgbm-mode must be sgbm, 3way or hh, got '%1'").arg(mode);
            return false;
        }
    }
    r->calibrate = p.isSet(QStringLiteral("calibrate"));
    if (p.isSet(QStringLiteral("model")) && !calibration::parseDistortionModel(p.value("model"), &r->model)) {
        *error = QStringLiteral("--model must be standard or rational, got '%1'").arg(p.value("model"));
        return false;
    }
    if (p.isSet(QStringLiteral("model")) && !r->calibrate) {
        *error = QStringLiteral("--model belongs to --calibrate");
        return false;
    }
    r->ideal = !p.isSet(QStringLiteral("no-ideal"));
    r->json = p.isSet(QStringLiteral("json"));
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
    Request r;
    bool help = false;
    QString error;
    if (!parse(arguments, &r, &help, &error)) {
        printError(error);
        return ExitUsage;
    }
    if (help) {
        std::fputs(helpText, stdout);
        return ExitOk;
    }
    QElapsedTimer total;
    total.start();
    // Everything is read and checked before anything is written.
    simulate::SimulatedCamera camera;
    if (!simulate::loadPrismCamera(r.prismFile, &camera, &error)) {
        printError(error);
        return ExitUsage;
    }
    cv::Mat textureImage;
    if (!r.textureFile.isEmpty() && !simulate::readTextureImage(r.textureFile, &textureImage, &error)) {
        printError(error);
        return ExitUsage;
    }
    simulate::StereoModel model;
    std::string calibrationText;  // with --calibrate: the file to write
    const QString calibrationTarget =
        QDir(r.outputDir).filePath(QString::fromLatin1(calibration::stereoCalibrationFileName));
    if (!r.calibrate) {
        if (!simulate::readStereoModel(r.calibrationFile, &model, &error)) {
            printError(error);
            return ExitUsage;
        }
        if (model.prismDigest.isEmpty()) {
            printError(QStringLiteral("%1 names no prism (no prism_digest): it cannot be matched to %2; "
                                      "use --calibrate")
                           .arg(r.calibrationFile, r.prismFile));
            return ExitUsage;
        }
        if (model.prismDigest != camera.digest) {
            printError(QStringLiteral("%1 is the calibration of another prism than %2 (prism digest %3, not %4)")
                           .arg(r.calibrationFile, r.prismFile, model.prismDigest.left(12), camera.digest.left(12)));
            return ExitUsage;
        }
    }
    simulate::PreparedCamera prism;
    prism.field = simulate::RayField::trace(camera.rig, r.capture.threads, nullptr, r.rowFraction);
    for (double depth : r.depths) {
        const QString why = simulate::depthVisibility(prism.field, depth);
        if (!why.isEmpty()) {
            printError(why);
            return ExitUsage;
        }
    }
    DirectoryLock lock(r.outputDir);
    if (!lock.acquire(DirectoryLock::Mode::Refuse, &error)) {
        printError(error);
        return lock.heldElsewhere() ? ExitLocked : ExitFailure;
    }
    AtomicFileSet::recover(r.outputDir);
    AtomicFileSet files(r.outputDir, QStringLiteral("simulate"));
    QStringList names;
    for (double depth : r.depths)
        for (int picture = 0; picture < simulate::pictureCount; ++picture)
            names << simulate::pictureFileName(r.kind, depth, picture);
    if (r.calibrate)
        names << QString::fromLatin1(calibration::stereoCalibrationFileName);
    if (!files.checkTargets(names)) {
        printError(files.errorString());
        return ExitUsage;
    }
    if (r.calibrate) {
        calibration::CalibrationOptions options;
        options.model = r.model;
        options.threadCount = r.capture.threads;
        calibration::StereoCalibration predicted = calibration::calibrateStereoRig(camera.rig, options);
        predicted.prismDigest = camera.digest;
        if (!predicted.ok) {
            printError(QStringLiteral("calibration of the prism failed: %1").arg(predicted.error));
            return ExitFailure;
        }
        // Rectified from the very text the file will hold.
        if (!calibration::stereoCalibrationText(predicted, &calibrationText, &error)
            || !simulate::readStereoModelText(calibrationText, calibrationTarget, &model, &error)) {
            printError(error);
            return ExitFailure;
        }
    }

    prism.camera = camera;
    prism.model = model;
    simulate::PreparedCamera ideal;
    if (r.ideal)
        ideal = simulate::prepareIdealCamera(camera.geometry, r.capture.threads, nullptr, r.rowFraction);

    JsonWriter w(false);
    w.beginObject().key("simulation").beginObject();
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
        if (!files.stage(names[int(i)], pictures[i].constData(), size_t(pictures[i].size()))) {
            printError(files.errorString());
            return ExitFailure;
        }
    if (r.calibrate && !files.stage(names.last(), calibrationText.data(), calibrationText.size())) {
        printError(files.errorString());
        return ExitFailure;
    }
    if (!files.commit()) {
        printError(files.errorString());
        return ExitFailure;
    }
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
    return ExitOk;
}
