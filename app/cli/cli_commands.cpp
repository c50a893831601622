#include "app/cli/cli_commands.h"

#include "calibration/calibration_file.h"
#include "calibration/prism_calibration.h"
#include "design/design_files.h"
#include "design/design_run.h"
#include "fit/fit_run.h"
#include "parameters/panel_parameters.h"

#include <QDir>
#include <QElapsedTimer>

#include <limits>
#include <memory>

namespace {

double elapsedSeconds(const QElapsedTimer& timer)
{
    return static_cast<double>(timer.nsecsElapsed()) * 1e-9;
}

bool runDesignStage(const CliRequest& request, CliDesignReport* report, QString* error,
                    std::unique_ptr<ScopedDesignRecord>* record)
{
    QElapsedTimer timer;
    timer.start();
    const PanelParameters& panel = request.panel;
    report->panelAngleDeg = panel.angleDeg;
    report->designAngleDeg = panel.designAngleDeg;
    // A central ray parallel to the face has no hit point; the window would
    // keep the point of an earlier state, here the design gets NaN and says so.
    CentralRayHit hit = centralRayHit(panel);
    report->centralRayHitDefined = hit.defined;
    if (!hit.defined)
        hit.x = hit.y = std::numeric_limits<double>::quiet_NaN();
    report->centralRayHitX = hit.x;
    report->centralRayHitY = hit.y;

    DesignRunOptions runOptions;
    runOptions.outputDirectory = request.outputDir;
    runOptions.threadCount = request.threads;
    runOptions.panel = &panel;
    // The record stays for the verification of its full-precision grid.
    *record = std::make_unique<ScopedDesignRecord>(2, designQuarterSteps, designHalfSteps);
    fillDesignRecord(***record, toDesignParameters(panel, hit));
    const DesignRunResult result = traceDesign(***record, runOptions);
    if (!request.verify)
        record->reset();
    report->profilePoints = 4 * designQuarterSteps;
    report->gridPoints = 8 * designQuarterSteps * designHalfSteps / 10;
    report->nonFinitePoints = result.nonFiniteGridLines;
    report->threads = result.threadCount;
    report->seconds = elapsedSeconds(timer);
    if (!result.profileWritten || !result.gridWritten) {
        *error = QStringLiteral("%1 could not be written in '%2'")
                     .arg(QString::fromLatin1(result.profileWritten ? designPointsFileName : designProfileFileName),
                          request.outputDir);
        return false;
    }
    return true;
}

bool runFitStage(const CliRequest& request, int order, CliFitReport* report, QString* error)
{
    QElapsedTimer timer;
    timer.start();
    report->order = order;
    report->directory = fitOutputDirectory(request, order);
    if (!QDir().mkpath(report->directory)) {
        *error = QStringLiteral("directory '%1' could not be created").arg(report->directory);
        return false;
    }
    FitRunLocation where;
    where.inputDirectory = request.outputDir;
    where.outputDirectory = report->directory;
    const FitRunSummary summary = fitAndReportOrder(order, where);
    report->seconds = elapsedSeconds(timer);
    if (!summary.designFileFound || !summary.pointFilesRead || !summary.fitFilesWritten
        || !summary.reportWritten || summary.surface1Results.empty()
        || summary.surface2Results.empty()) {
        *error = QStringLiteral("the fit of order %1 could not %2 in '%3'")
                     .arg(order)
                     .arg(!summary.designFileFound ? QStringLiteral("read outputall.txt")
                                                   : QStringLiteral("write its files"))
                     .arg(report->directory);
        return false;
    }
    report->surface1Points = summary.surface1Count;
    report->surface2Points = summary.surface2Count;
    // Each result array holds the coefficients followed by the residual.
    report->coefficients1 = QVector<double>(summary.surface1Results.begin(),
                                            summary.surface1Results.end() - 1);
    report->coefficients2 = QVector<double>(summary.surface2Results.begin(),
                                            summary.surface2Results.end() - 1);
    report->res1 = summary.surface1Results.back();
    report->res2 = summary.surface2Results.back();
    return true;
}

bool runCalibrationStage(const CliRequest& request, CliCalibrationReport* report, QString* error)
{
    QElapsedTimer timer;
    timer.start();
    calibration::CalibrationOptions options;
    if (!request.calibrationDepths.isEmpty())
        options.target.depthsMm.assign(request.calibrationDepths.begin(), request.calibrationDepths.end());
    calibration::parseDistortionModel(request.calibrationModel, &options.model);
    options.threadCount = request.threads;
    calibration::PrismSource source = calibration::PrismSource::Design;
    calibration::parsePrismSource(request.calibrationSource, &source);
    report->source = calibration::prismSourceName(source);
    report->order = source == calibration::PrismSource::Fit ? request.calibrationOrder : 0;

    const PanelParameters& panel = request.panel;
    CentralRayHit hit = centralRayHit(panel);
    if (!hit.defined) {
        *error = QStringLiteral("no calibration: the central ray runs parallel to the prism face");
        return false;
    }
    if (!calibration::calibratePrism(toDesignParameters(panel, hit), source, report->order, options,
                                     &report->result, error))
        return false;
    report->file = QDir(request.outputDir).filePath(QString::fromLatin1(calibration::stereoCalibrationFileName));
    if (!calibration::writeStereoCalibrationFile(report->result, report->file, error))
        return false;
    report->seconds = elapsedSeconds(timer);
    return true;
}

}  // namespace

int runCliRequest(const CliRequest& request, CliReport* report, QString* error)
{
    QElapsedTimer total;
    total.start();
    report->request = request;
    if (request.command == CliCommand::Verify) {
        report->hasVerification = true;
        return runVerifyCommand(request, &report->verification, error);
    }
    std::unique_ptr<ScopedDesignRecord> record;
    if (request.command == CliCommand::Design || request.command == CliCommand::Run) {
        report->hasDesign = true;
        if (!runDesignStage(request, &report->design, error, &record))
            return CliExitFailure;
    }
    for (int order : request.orders) {
        CliFitReport fit;
        if (!runFitStage(request, order, &fit, error))
            return CliExitFailure;
        report->fits.append(fit);
    }
    if (request.verify && record) {
        report->hasVerification = true;
        const int code = runVerifyAfterRun(request, **record, report->fits, &report->verification, error);
        if (code != CliExitOk)
            return code;
    }
    if (request.calibrate) {
        report->hasCalibration = true;
        if (!runCalibrationStage(request, &report->calibration, error))
            return CliExitFailure;
    }
    report->totalSeconds = elapsedSeconds(total);
    return CliExitOk;
}
