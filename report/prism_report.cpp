#include "report/prism_report.h"

#include "export/prism_drawing.h"
#include "fit/prism_file.h"
#include "export/prism_step.h"
#include "verify_map/verify_map.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <cmath>
#include <exception>
#include <limits>

namespace report {

namespace {

// The orders "--order best" compares.
constexpr int bestLowestOrder = 6;
constexpr int bestHighestOrder = 10;

QString escaped(const QString& text)
{
    return text.toHtmlEscaped();
}

QString number(double value, int decimals)
{
    return std::isfinite(value) ? QString::number(value, 'f', decimals) : QStringLiteral("&ndash;");
}

QByteArray pngBytes(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// The verified fit with the smallest direction error of the orders asked,
// its verification and all before the calibration already made.
pipeline::Pipeline bestOrder(const pipeline::PipelineSettings& settings, const core::ProgressRange& progress,
                             std::vector<int>* tried)
{
    pipeline::Pipeline best;
    double bestRms = std::numeric_limits<double>::infinity();
    const int count = bestHighestOrder - bestLowestOrder + 1;
    // The design is shared: each order starts from the run before it.
    pipeline::Pipeline trial;
    for (int order = bestLowestOrder; order <= bestHighestOrder; ++order) {
        pipeline::PipelineSettings s = settings;
        s.fit.order = order;
        s.runCalibration = false;
        s.runSimulation = false;
        s.runExports = false;
        trial.setSettings(s);
        const int i = order - bestLowestOrder;
        trial.run(progress.part(double(i) / count, double(i + 1) / count));
        tried->push_back(order);
        const double rms = trial.verification()->prismSummary.directionRmsPx;
        if (rms < bestRms || !best.hasResult(pipeline::Stage::Fit)) {
            bestRms = rms;
            best = trial;
        }
    }
    pipeline::PipelineSettings s = best.settings();
    s.runCalibration = settings.runCalibration;
    s.runSimulation = settings.runSimulation;
    s.runExports = settings.runExports;
    best.setSettings(s);
    return best;
}

QString imageTag(const QString& alt, const QByteArray& png)
{
    return QStringLiteral("<img alt=\"%1\" src=\"data:image/png;base64,").arg(escaped(alt))
           + QString::fromLatin1(png.toBase64()) + QStringLiteral("\">\n");
}

// The simulated capture: what the camera sees, rectified and matched, with
// its figures beside the ideal pair's.
QString simulationSection(const pipeline::SimulateStageResult& stage)
{
    const simulate::SimulationCase& c = stage.simulation;
    const simulate::SceneOptions& scene = c.scene;
    QString html = QStringLiteral("<h2>Simulated capture</h2>\n<p>The sensor image of a textured %1 at %2 mm "
                                  "through the prism (%3 x %3 rays per pixel; %8), split into halves, rectified with "
                                  "stereo_calibration.yml alone, matched by OpenCV's StereoSGBM (%4 disparities "
                                  "from %5, block %6) and reprojected with Q; beside it the ideal pinhole pair "
                                  "with its exact calibration, the matcher's own floor. %7 s in all.</p>\n")
                       .arg(scene.kind == simulate::SceneKind::Plane ? QStringLiteral("fronto plane")
                                                                      : simulate::sceneKindName(scene.kind))
                       .arg(scene.depthMm)
                       .arg(stage.input.supersample)
                       .arg(c.prism.matcher.numDisparities)
                       .arg(c.prism.matcher.minDisparity)
                       .arg(c.prism.matcher.blockSize)
                       .arg(number(stage.seconds, 2))
                       .arg(stage.input.rowFraction < 1.0
                                ? QStringLiteral("only the central %1 % of the rows, for speed; "
                                                 "harvenlotek-cli simulate captures all of them")
                                      .arg(100.0 * stage.input.rowFraction)
                                : QStringLiteral("every row"));
    html += QStringLiteral("<table>\n<tr><th></th><th>prism</th><th>ideal pinhole pair</th></tr>\n");
    const auto row = [&html, &c](const QString& label, double prism, double ideal, int decimals,
                                 const QString& unit) {
        html += QStringLiteral("<tr><th>%1</th><td class=\"n\">%2%4</td><td class=\"n\">%3%4</td></tr>\n")
                    .arg(label, number(prism, decimals),
                         c.hasIdeal ? number(ideal, decimals) : QStringLiteral("&ndash;"), unit);
    };
    const simulate::CameraFigures &p = c.prism, &i = c.ideal;
    row(QStringLiteral("Depth error RMS"), p.depth.rmsPercent, i.depth.rmsPercent, 3, QStringLiteral(" %"));
    row(QStringLiteral("Depth error RMS"), p.depth.rmsMm, i.depth.rmsMm, 2, QStringLiteral(" mm"));
    row(QStringLiteral("Depth error RMS off the seam (%1 columns each side)").arg(simulate::seamColumns),
        p.depth.rmsPercentOffSeam, i.depth.rmsPercentOffSeam, 3, QStringLiteral(" %"));
    row(QStringLiteral("Depth error median (bias)"), p.depth.medianMm, i.depth.medianMm, 2, QStringLiteral(" mm"));
    row(QStringLiteral("Depth error p95"), p.depth.p95Mm, i.depth.p95Mm, 2, QStringLiteral(" mm"));
    row(QStringLiteral("Matched pixels"), p.depth.validPercent, i.depth.validPercent, 1, QStringLiteral(" %"));
    row(QStringLiteral("Vertical disparity RMS"), p.geometry.verticalRmsPx, i.geometry.verticalRmsPx, 3,
        QStringLiteral(" px"));
    row(QStringLiteral("Vertical disparity max"), p.geometry.verticalMaxPx, i.geometry.verticalMaxPx, 3,
        QStringLiteral(" px"));
    row(QStringLiteral("Vertical disparity RMS off the seam (%1 columns each side)").arg(simulate::seamColumns),
        p.geometry.verticalRmsPxOffSeam, i.geometry.verticalRmsPxOffSeam, 3, QStringLiteral(" px"));
    row(QStringLiteral("Depth error RMS of exact correspondences"), p.geometry.depthRmsPercent,
        i.geometry.depthRmsPercent, 4, QStringLiteral(" %"));
    html += QStringLiteral("</table>\n<p>The prism's share: %1 % RMS over the floor (%2 times the floor).</p>\n")
                .arg(number(c.excessRmsPercent(), 3), number(c.rmsRatio(), 2));
    const char* captions[simulate::pictureCount] = {
        "Sensor image: both halves, as the camera records it.",
        "Rectified pair with epipolar lines: a scene point lies on the same row in both halves.",
        "Disparity map (%1 to %2 px); black: not matched.",
        "Depth-error map: blue nearer, white exact, red farther, up to &plusmn;%3 %; black: not matched."};
    for (int k = 0; k < simulate::pictureCount; ++k) {
        const QString name = simulate::pictureFileName(scene.kind, scene.depthMm, k);
        html += QStringLiteral("<h3>%1</h3>\n<p>%2</p>\n")
                    .arg(escaped(name),
                         QString::fromLatin1(captions[k])
                             .replace(QStringLiteral("%1"), number(c.pictures.disparityLowPx, 1))
                             .replace(QStringLiteral("%2"), number(c.pictures.disparityHighPx, 1))
                             .replace(QStringLiteral("%3"), number(c.pictures.errorScalePercent, 2)));
        html += imageTag(name, c.pictures.png[k]);
    }
    return html;
}

}  // namespace

HeadlineFigures headlineFigures(const pipeline::Pipeline& run, double seconds)
{
    HeadlineFigures f;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    f.order = run.fit() ? run.fit()->fit.order : 0;
    f.directionRmsPx = run.verification() ? run.verification()->prismSummary.directionRmsPx : nan;
    f.directionMaxPx = run.verification() ? run.verification()->prismSummary.directionMaxPx : nan;
    f.calibratedLeftRmsPx = f.calibratedRightRmsPx = f.depthErrorPercentAt1m = f.baselineMm = nan;
    if (const pipeline::CalibrationStageResult* c = run.calibration()) {
        f.calibratedLeftRmsPx = c->calibration.left.rmsPx;
        f.calibratedRightRmsPx = c->calibration.right.rmsPx;
        f.baselineMm = c->calibration.baselineMm;
        double nearest = std::numeric_limits<double>::infinity();
        for (const calibration::DepthError& d : c->calibration.depthError) {
            if (std::abs(d.depthMm - 1000.0) < nearest) {
                nearest = std::abs(d.depthMm - 1000.0);
                f.depthErrorPercentAt1m = d.rmsPercent;
            }
        }
    }
    f.simulatedDepthMm = f.simulatedRowFraction = f.simulatedDepthRmsPercent = f.simulatedFloorRmsPercent =
        f.simulatedPrismSharePercent = f.simulatedVerticalDisparityRmsPx = f.simulationSeconds = nan;
    if (const pipeline::SimulateStageResult* s = run.simulation()) {
        const simulate::SimulationCase& c = s->simulation;
        f.simulatedDepthMm = c.scene.depthMm;
        f.simulatedRowFraction = s->input.rowFraction;
        f.simulatedDepthRmsPercent = c.prism.depth.rmsPercent;
        f.simulatedFloorRmsPercent = c.hasIdeal ? c.ideal.depth.rmsPercent : nan;
        f.simulatedPrismSharePercent = c.excessRmsPercent();
        f.simulatedVerticalDisparityRmsPx = c.prism.geometry.verticalRmsPx;
        f.simulationSeconds = s->seconds;
    }
    f.seconds = seconds;
    return f;
}

QString simulatedFiguresText(const HeadlineFigures& f)
{
    return QStringLiteral("depth RMS %1 % at %2 m, floor %3 %, prism's share %4 %; vertical disparity %5 px%6")
        .arg(QString::number(f.simulatedDepthRmsPercent, 'f', 3), QString::number(f.simulatedDepthMm / 1000.0, 'g', 4),
             QString::number(f.simulatedFloorRmsPercent, 'f', 3), QString::number(f.simulatedPrismSharePercent, 'f', 3),
             QString::number(f.simulatedVerticalDisparityRmsPx, 'f', 3),
             f.simulatedRowFraction < 1.0
                 ? QStringLiteral(" (central %1 % of rows)").arg(100.0 * f.simulatedRowFraction)
                 : QString());
}

std::string reportHtml(const pipeline::Pipeline& run, const HeadlineFigures& f, const QByteArray& mapPng,
                       const QStringList& files, const FormSensitivity* sensitivity,
                       const QByteArray& colourMapPng)
{
    const PanelParameters& p = run.settings().design.panel;
    QString html;
    html += QStringLiteral(
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<title>Harvenlotek prism report</title>\n<style>\n"
        "body{font-family:sans-serif;margin:2em;max-width:70em;color:#222}\n"
        "table{border-collapse:collapse;margin:1em 0}td,th{border:1px solid #bbb;padding:.3em .8em;text-align:left}\n"
        "td.n{text-align:right;font-variant-numeric:tabular-nums}img{max-width:100%;border:1px solid #bbb}\n"
        "</style></head><body>\n");
    html += QStringLiteral("<h1>Prism of order %1</h1>\n").arg(f.order);
    html += QStringLiteral("<p>Focal length %1 mm, prism distance %2 mm, base width %3 mm, angle %4&deg;, "
                           "refractive index %5, %6 design; %7 x %8 pixels of %9 mm.</p>\n")
                .arg(p.focalLength).arg(p.prismDistance).arg(p.prismSize)
                .arg(QString::number(double(p.designAngleDeg), 'g', 7),
                     QString::number(p.refractiveIndex, 'f', run.settings().design.colour.material.isCustom() ? 2 : 5),
                     QString::fromLatin1(designModelName(p.designModel)))
                .arg(designResolutionX).arg(designResolutionY).arg(pixelPitch);
    html += QStringLiteral("<h2>Figures</h2>\n<table>\n");
    const auto row = [&html](const QString& label, const QString& value) {
        html += QStringLiteral("<tr><th>%1</th><td class=\"n\">%2</td></tr>\n").arg(label, value);
    };
    row(QStringLiteral("Direction error RMS (traced)"), number(f.directionRmsPx, 3) + QStringLiteral(" px"));
    row(QStringLiteral("Direction error max (traced)"), number(f.directionMaxPx, 3) + QStringLiteral(" px"));
    row(QStringLiteral("Calibrated residual RMS, left / right"),
        number(f.calibratedLeftRmsPx, 4) + QStringLiteral(" / ") + number(f.calibratedRightRmsPx, 4)
            + QStringLiteral(" px"));
    row(QStringLiteral("Depth error RMS at 1 m"), number(f.depthErrorPercentAt1m, 3) + QStringLiteral(" %"));
    row(QStringLiteral("Calibrated baseline"), number(f.baselineMm, 3) + QStringLiteral(" mm"));
    if (std::isfinite(f.simulatedDepthRmsPercent)) {
        row(QStringLiteral("Simulated capture at %1 m: depth error RMS").arg(f.simulatedDepthMm / 1000.0),
            number(f.simulatedDepthRmsPercent, 3) + QStringLiteral(" %"));
        row(QStringLiteral("&nbsp;&nbsp;the matcher's floor (ideal pinhole pair)"),
            number(f.simulatedFloorRmsPercent, 3) + QStringLiteral(" %"));
        row(QStringLiteral("&nbsp;&nbsp;the prism's share"), number(f.simulatedPrismSharePercent, 3) + QStringLiteral(" %"));
        row(QStringLiteral("&nbsp;&nbsp;vertical disparity RMS"),
            number(f.simulatedVerticalDisparityRmsPx, 3) + QStringLiteral(" px"));
    }
    row(QStringLiteral("Run time"), number(f.seconds, 2) + QStringLiteral(" s"));
    html += QStringLiteral("</table>\n");
    if (sensitivity) {
        html += QStringLiteral("<h2>Form error</h2>\n<p>Calibrated residual RMS after recalibrating with a smooth "
                               "low-order form error on one surface (mean of %1 seeded shapes); without it "
                               "%2 / %3 px (left / right).</p>\n<table>\n<tr><th>surface</th><th>form error RMS</th>"
                               "<th>residual left / right</th><th>added per &micro;m</th></tr>\n")
                    .arg(sensitivity->seeds.size())
                    .arg(number(sensitivity->nominalLeftPx, 4), number(sensitivity->nominalRightPx, 4));
        for (const FormSensitivityRow& r : sensitivity->rows)
            html += QStringLiteral("<tr><td>%1</td><td class=\"n\">%2 &micro;m</td><td class=\"n\">%3 / %4 px</td>"
                                   "<td class=\"n\">%5 px</td></tr>\n")
                        .arg(r.surface, number(r.amplitudeUm, 2), number(r.residualLeftPx, 4),
                             number(r.residualRightPx, 4), number(r.addedPxPerUm, 4));
        html += QStringLiteral("</table>\n");
    }
    if (const pipeline::SimulateStageResult* s = run.simulation())
        html += simulationSection(*s);
    if (!mapPng.isEmpty())
        html += QStringLiteral("<h2>Error maps</h2>\n<p>Direction error, pinhole offset and reprojection error at "
                               "1 m over the whole sensor; magenta: rays lost.</p>\n<img alt=\"error maps\" "
                               "src=\"data:image/png;base64,")
                + QString::fromLatin1(mapPng.toBase64()) + QStringLiteral("\">\n");
    const pipeline::VerifyStageResult* v = run.verification();
    if (v && v->lateralColour) {
        const verify::LateralColour& c = *v->lateralColour;
        const ColourRecord& record = run.settings().design.colour.record;
        html += QStringLiteral("<h2>Lateral colour</h2>\n<p>%1, designed at %2 nm (index %3); band %4, %5 to %6 nm "
                               "(index %7 to %8). Displacement of each pixel's image between the band's edges.</p>\n")
                    .arg(escaped(record.material), QString::number(record.wavelengthNm, 'g', 6),
                         QString::number(p.refractiveIndex, 'f', 5), escaped(c.band),
                         QString::number(c.shortNm, 'g', 6), QString::number(c.longNm, 'g', 6),
                         QString::number(c.shortIndex, 'f', 5), QString::number(c.longIndex, 'f', 5));
        html += QStringLiteral("<table>\n<tr><th>half</th><th>RMS / max (px)</th><th>mean shift x / y (px)</th>"
                               "<th>after the mean RMS / max (px)</th><th>the same outside the centre band (px)</th></tr>\n");
        for (int half = 0; half < 2; ++half) {
            const verify::HalfLateralColour& h = c.halves[std::size_t(half)];
            html += QStringLiteral("<tr><td>%1</td><td class=\"n\">%2 / %3</td><td class=\"n\">%4 / %5</td>"
                                   "<td class=\"n\">%6 / %7</td><td class=\"n\">%8 / %9</td></tr>\n")
                        .arg(half == 0 ? QStringLiteral("left") : QStringLiteral("right"), number(h.rmsPx, 3),
                             number(h.maxPx, 3), number(h.meanXPx, 3), number(h.meanYPx, 3),
                             number(h.demeanedRmsPx, 3), number(h.demeanedMaxPx, 3),
                             number(h.outsideCentreDemeanedRmsPx, 3), number(h.outsideCentreDemeanedMaxPx, 3));
        }
        html += QStringLiteral("</table>\n<table>\n<tr><th>depth</th><th>disparity (px)</th>"
                               "<th>difference between the edges (px)</th><th>depth error from colour</th></tr>\n");
        for (const verify::DepthColour& d : c.depths)
            html += QStringLiteral("<tr><td class=\"n\">%1 m</td><td class=\"n\">%2</td><td class=\"n\">%3</td>"
                                   "<td class=\"n\">%4 mm (%5 %)</td></tr>\n")
                        .arg(number(d.depthMm / 1000.0, 3), number(d.disparityPx, 2), number(d.disparityDifferencePx, 3),
                             number(d.depthErrorMm, 2), number(d.depthErrorPercent, 3));
        html += QStringLiteral("</table>\n");
        if (!colourMapPng.isEmpty())
            html += QStringLiteral("<img alt=\"lateral colour map\" src=\"data:image/png;base64,")
                    + QString::fromLatin1(colourMapPng.toBase64()) + QStringLiteral("\">\n");
    }
    const pipeline::CalibrationStageResult* calibrated = run.calibration();
    if (calibrated && !calibrated->channels.empty()) {
        html += QStringLiteral("<h2>Calibration per colour channel</h2>\n<p>The prism calibrated once per channel, "
                               "its rays traced at the channel's wavelength: each channel's calibration takes up its "
                               "own sideways shift and keeps its residual.</p>\n<table>\n<tr><th>channel</th>"
                               "<th>wavelength (nm)</th><th>index</th><th>residual RMS left / right (px)</th>"
                               "<th>principal point x left / right (px)</th><th>baseline (mm)</th></tr>\n");
        for (const calibration::ChannelCalibration& k : calibrated->channels)
            html += QStringLiteral("<tr><td>%1</td><td class=\"n\">%2</td><td class=\"n\">%3</td>"
                                   "<td class=\"n\">%4 / %5</td><td class=\"n\">%6 / %7</td><td class=\"n\">%8</td></tr>\n")
                        .arg(escaped(k.channel.name), number(k.channel.wavelengthNm, 1), number(k.channel.index, 5),
                             number(k.calibration.left.rmsPx, 4), number(k.calibration.right.rmsPx, 4),
                             number(k.calibration.left.cameraMatrix[2], 2), number(k.calibration.right.cameraMatrix[2], 2),
                             number(k.calibration.baselineMm, 3));
        html += QStringLiteral("</table>\n");
    }
    html += QStringLiteral("<h2>Files</h2>\n<ul>\n");
    for (const QString& file : files)
        html += QStringLiteral("<li>%1</li>\n").arg(escaped(file));
    html += QStringLiteral("</ul>\n</body></html>\n");
    return html.toStdString();
}

bool runPrismOneShot(const OneShotOptions& options, core::Progress* progress, OneShotResult* result,
                     QString* error)
{
    QElapsedTimer timer;
    timer.start();
    const core::ProgressRange whole(progress, 0.0, 1.0, "prism");
    whole.report(0.0);
    // The folder's parent is checked before the work, the folder made after it.
    if (!QFileInfo(options.outputDir).isDir()) {
        *error = QStringLiteral("output directory '%1' does not exist").arg(options.outputDir);
        return false;
    }
    pipeline::PipelineSettings settings = options.settings;
    settings.verify.keepPixels = true;
    settings.runSimulation = options.simulate && settings.runCalibration;
    if (options.allExports) {
        settings.exports.formats = ExportAll;
        settings.exports.stepMaker = prismStepMaker();
        settings.exports.drawingMaker = prismDrawingMaker();
    }
    try {
        const core::ProgressRange work = whole.part(0.0, 0.95);
        if (settings.fit.order == 0) {
            result->run = bestOrder(settings, work.part(0.0, 0.7), &result->triedOrders);
            result->run.run(work.part(0.7, 1.0));
        } else {
            result->run.setSettings(settings);
            result->run.run(work);
        }
    } catch (const core::OperationCancelled&) {
        throw;
    } catch (const std::exception& e) {
        *error = QString::fromStdString(e.what());
        return false;
    }
    const pipeline::Pipeline& run = result->run;
    std::vector<pipeline::ResultFile> files = run.resultFiles();
    const pipeline::VerifyStageResult* v = run.verification();
    const QByteArray map = v ? pngBytes(verify::renderVerificationMap(v->sources, v->results)) : QByteArray();
    if (!map.isEmpty())
        files.push_back({QString::fromLatin1(mapFileName), map.toStdString()});
    const QByteArray colourMap =
        v && v->lateralColour ? pngBytes(verify::renderLateralColourMap(*v->lateralColour)) : QByteArray();
    if (!colourMap.isEmpty())
        files.push_back({QString::fromLatin1(colourMapFileName), colourMap.toStdString()});
    QStringList names;
    for (const pipeline::ResultFile& file : files)
        names << file.name;
    names << QString::fromLatin1(reportFileName);
    if (options.sensitivity) {
        // Of the prism.json written, read back as a user's file would be.
        QTemporaryDir scratch;
        const QString prismPath = scratch.filePath(QString::fromLatin1(prismFileName));
        QFile prismFile(prismPath);
        const std::string prismText = prismFileText(run.prismContent());
        if (!scratch.isValid() || !prismFile.open(QIODevice::WriteOnly)
            || prismFile.write(prismText.data(), qint64(prismText.size())) != qint64(prismText.size())) {
            *error = QStringLiteral("cannot write a scratch copy of prism.json for the form error sensitivity");
            return false;
        }
        prismFile.close();
        if (!formSensitivity(prismPath, options.sensitivityOptions, &result->sensitivity, error))
            return false;
        result->hasSensitivity = true;
        for (pipeline::ResultFile& file : files)
            if (file.name == QLatin1String(pipeline::verificationFileName)) {
                const QByteArray bytes = withFormSensitivity(QByteArray::fromStdString(file.bytes), result->sensitivity);
                file.bytes = bytes.toStdString();
            }
    }
    result->figures = headlineFigures(run, double(timer.nsecsElapsed()) * 1e-9);
    files.push_back({QString::fromLatin1(reportFileName),
                     reportHtml(run, result->figures, map, names, result->hasSensitivity ? &result->sensitivity : nullptr,
                                colourMap)});
    whole.throwIfCancelled();

    const bool numbered = options.folderName.isEmpty();
    const QString name = numbered ? pipeline::resultFolderName(QDateTime::currentDateTime()) : options.folderName;
    if (!pipeline::createResultFolder(options.outputDir, name, numbered, &result->folder, error)) {
        // A folder named by the user that exists is bad input; anything else a failed write.
        result->writeFailed = numbered || !QDir(options.outputDir).exists(name);
        return false;
    }
    if (!pipeline::writeResultFiles(result->folder, files, error, QStringLiteral("prism"))) {
        result->writeFailed = true;
        QDir(result->folder).removeRecursively();  // ours, made above: no half folder stays
        result->folder.clear();
        return false;
    }
    result->written = names;
    whole.report(1.0);
    return true;
}

QString channelCalibrationTable(const std::vector<calibration::ChannelCalibration>& channels)
{
    QString text;
    if (!channels.empty())
        text += QStringLiteral("calibration per colour channel (residual RMS left / right, principal point x, baseline)\n");
    for (const calibration::ChannelCalibration& k : channels) {
        const calibration::StereoCalibration& c = k.calibration;
        if (!c.ok) {
            text += QStringLiteral("  %1 %2 nm: failed (%3)\n").arg(k.channel.name, number(k.channel.wavelengthNm, 1), c.error);
            continue;
        }
        text += QStringLiteral("  %1 %2 nm, n %3: %4 / %5 px; cx %6 / %7 px; baseline %8 mm\n")
                    .arg(k.channel.name, number(k.channel.wavelengthNm, 1), number(k.channel.index, 5),
                         number(c.left.rmsPx, 4), number(c.right.rmsPx, 4), number(c.left.cameraMatrix[2], 2),
                         number(c.right.cameraMatrix[2], 2), number(c.baselineMm, 3));
    }
    return text;
}

}  // namespace report
