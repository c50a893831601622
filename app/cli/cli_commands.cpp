#include "app/cli/cli_commands.h"

#include "calibration/calibration_file.h"
#include "calibration/prism_calibration.h"
#include "design/design_files.h"
#include "design/design_json.h"
#include "design/design_run.h"
#include "export/prism_drawing.h"
#include "export/prism_export.h"
#include "export/prism_step.h"
#include "fit/prism_file.h"
#include "fit/prism_fit.h"
#include "refine/prism_optimize.h"
#include "verify/prism_trace.h"
#include "verify/verify_sources.h"
#include "fit/fit_run.h"
#include "io/atomic_file_set.h"
#include "io/directory_lock.h"
#include "parameters/panel_parameters.h"
#include "refine/surface_refinement.h"

#include <QDir>
#include <QElapsedTimer>

#include <cstdio>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

namespace {

// The optimiser's pixel sample: every 40th pixel across and down, and the
// central row.
constexpr int cliOptimizeSampleStep = 40;

// Finishes an interrupted commit in `directory` (AtomicFileSet::recover);
// returns what cannot be finished, empty when everything could.
QString unfinishedCommit(const QString& directory)
{
    QString problem;
    AtomicFileSet::recover(directory, nullptr, fitScratchFileNames(), &problem);
    return problem;
}

// A commit that cannot be finished is said on standard error; the run goes
// on (a run of that stage replaces the whole mixed set).
void warnUnfinished(const QString& problem)
{
    if (problem.isEmpty())
        return;
    std::fprintf(stderr, "harvenlotek-cli: %s\n", qPrintable(problem));
    std::fflush(stderr);
}

double elapsedSeconds(const QElapsedTimer& timer)
{
    return static_cast<double>(timer.nsecsElapsed()) * 1e-9;
}

// The design of a run also keeps "outputall.txt" as the fit will read it, so
// that the fit starts from memory. Only a run that verifies keeps the whole
// grid (in *record); any other design holds just what it writes.
bool runDesignStage(const CliRequest& request, CliDesignReport* report, std::vector<double>* fileValues,
                    QString* error, std::unique_ptr<ScopedDesignRecord>* record)
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
    runOptions.model = request.panel.designModel;
    if (request.refine) {
        runOptions.beforeFiles = [&request, report](DesignRecord& record) {
            RefineOptions refineOptions;
            refineOptions.threadCount = request.threads;
            refineOptions.progress = [](const QString& line) {
                std::fprintf(stderr, "%s\n", qPrintable(line));
                std::fflush(stderr);
            };
            const RefineResult refined = refineDesign(record, refineOptions);
            report->refineRan = true;
            report->refineApplied = refined.applied;
            report->refineConverged = refined.converged;
            report->refineIterations = refined.iterations;
            report->refineSeconds = refined.seconds;
            for (int half = 0; half < 2; ++half) {
                report->refineStartDirectionRms[half] = refined.startDirectionRms[std::size_t(half)];
                report->refineFinalDirectionRms[half] = refined.finalDirectionRms[std::size_t(half)];
            }
            report->refineMessage = refined.message;
            if (!refined.applied)
                std::fprintf(stderr, "harvenlotek-cli: %s\n", qPrintable(refined.message));
        };
    }
    runOptions.panel = &panel;
    runOptions.keepFileValues = fileValues != nullptr;
    DesignRunResult result;
    if (request.verify || request.refine) {
        // Refinement works on the whole grid, and the verification of a run
        // on its full-precision grid: the record keeps every point.
        *record = std::make_unique<ScopedDesignRecord>(2, designQuarterSteps, designHalfSteps);
        fillDesignRecord(***record, toDesignParameters(panel, hit));
        result = traceDesign(***record, runOptions);
    } else {
        result = runDesign(toDesignParameters(panel, hit), runOptions);
    }
    if (fileValues)
        *fileValues = std::move(result.gridFileValues);
    report->profilePoints = 4 * designQuarterSteps;
    report->gridPoints = 8 * designQuarterSteps * designHalfSteps / 10;
    report->nonFinitePoints = result.nonFiniteGridLines;
    report->threads = result.threadCount;
    report->seconds = elapsedSeconds(timer);
    if (!result.profileWritten || !result.gridWritten) {
        *error = QStringLiteral("%1; not replaced: %2")
                     .arg(result.error.isEmpty() ? QStringLiteral("the design files could not be written in '%1'")
                                                       .arg(request.outputDir)
                                                 : result.error,
                          result.notReplaced.join(QStringLiteral(", ")));
        return false;
    }
    return true;
}

// Every order of the request on the same points (split once, from memory
// when the design has just run), the orders side by side. CliExitOk, or the
// exit code of the failure with *error set.
int runFitStages(const CliRequest& request, std::vector<double>* designValues, CliReport* report, QString* error)
{
    QElapsedTimer timer;
    timer.start();
    for (int order : request.orders) {
        const QString directory = fitOutputDirectory(request, order);
        if (!QDir().mkpath(directory)) {
            *error = QStringLiteral("directory '%1' could not be created").arg(directory);
            return CliExitFailure;
        }
        if (QDir(directory) != QDir(request.outputDir))  // that one was finished first
            warnUnfinished(unfinishedCommit(directory));
    }
    FitPoints points = designValues ? splitFitPoints(designValues->data(), designValues->size())
                                    : loadFitPoints(request.outputDir);
    if (designValues)  // the design this run has just written
        points.origin = currentDesignOrigin(request.outputDir);
    if (designValues)
        std::vector<double>().swap(*designValues);  // split off: the design's numbers are no longer needed
    const double splitSeconds = elapsedSeconds(timer);
    const std::vector<int> orders(request.orders.begin(), request.orders.end());
    const std::vector<FitRunSummary> summaries = fitOrders(
        orders, points, [&request](int order) { return fitOutputDirectory(request, order); }, true, request.threads);
    for (const FitRunSummary& summary : summaries) {
        CliFitReport fit;
        fit.order = summary.order;
        fit.directory = fitOutputDirectory(request, summary.order);
        // The split is shared; each order is charged its share of it.
        fit.seconds = summary.totalSeconds + splitSeconds / static_cast<double>(summaries.size());
        if (!summary.error.isEmpty() || !summary.fitFilesWritten || !summary.reportWritten || !summary.jsonWritten) {
            const QString kept =
                summary.notReplaced.isEmpty()
                    ? QString()
                    : QStringLiteral("; not replaced: %1").arg(summary.notReplaced.join(QStringLiteral(", ")));
            if (!summary.inputValid) {
                // The design points (or their count) are what is wrong.
                *error = QStringLiteral("the fit of order %1 refused its input: %2%3").arg(summary.order).arg(summary.error, kept);
                return CliExitUsage;
            }
            *error = QStringLiteral("the fit of order %1 could not write its files in '%2': %3%4")
                         .arg(summary.order)
                         .arg(fit.directory, summary.error, kept);
            return CliExitFailure;
        }
        fit.surface1Points = summary.surface1Count;
        fit.surface2Points = summary.surface2Count;
        // Each result array holds the coefficients followed by the residual.
        fit.coefficients1 = QVector<double>(summary.surface1Results.begin(), summary.surface1Results.end() - 1);
        fit.coefficients2 = QVector<double>(summary.surface2Results.begin(), summary.surface2Results.end() - 1);
        fit.res1 = summary.surface1Results.back();
        fit.res2 = summary.surface2Results.back();
        report->fits.append(fit);
    }
    return CliExitOk;
}

CliPrismSurfaceReport surfaceReport(const PrismSurfaceFit& fit)
{
    return {fit.pointCount, fit.surface.x0, fit.surface.radius, fit.rmsResidual, fit.maxResidual,
            fit.conditionNumber, fit.mirrorMaxResidual};
}

// The prism fit of one order on the design points read once for all orders.
bool runPrismFitStage(const CliRequest& request, const PrismDesignPoints& points, int order, CliFitReport* report,
                      QString* error)
{
    QElapsedTimer timer;
    timer.start();
    report->order = order;
    report->prism = true;
    report->directory = fitOutputDirectory(request, order);
    if (!QDir().mkpath(report->directory)) {
        *error = QStringLiteral("directory '%1' could not be created").arg(report->directory);
        return false;
    }
    const PanelParameters& panel = request.panel;
    PrismFileContent content;
    content.panel = toDesignParameters(panel, centralRayHit(panel));
    // The model of the design the points come from: its own record when the
    // directory has one, else the request's.
    DesignJson design;
    QString ignored;
    content.designModel =
        readDesignJson(QDir(request.outputDir).filePath(QString::fromLatin1(designJsonFileName)), &design, &ignored)
            ? design.designModel
            : QString::fromLatin1(designModelName(panel.designModel));
    PrismOptimizeOptions options;
    parsePrismObjective(request.objective, &options.objective);
    calibration::parseDistortionModel(request.cameraModel, &options.cameraModel);
    options.nearDepthMm = request.nearDepth;
    const bool stereo = request.optimize && options.objective == PrismObjective::Stereo;
    content.fit = fitPrism(points, order, stereo);
    content.origin = currentDesignOrigin(request.outputDir);
    const verify::PrismGeometry geometry = verify::geometryOfPanel(panel);
    if (request.optimize) {
        options.threadCount = request.threads;
        options.anchor = stereo ? nullptr : &points;
        options.centralRowStride = cliOptimizeSampleStep;
        options.progress = [order, stereo](const PrismOptimizeProgress& p) {
            if (stereo)
                std::fprintf(stderr,
                             "optimise order %d: iteration %d, calibrated RMS %.4f px, non-centrality RMS %.6f mm, "
                             "direction RMS %.4f px\n",
                             order, p.iteration, p.calibratedRmsPx, p.nonCentralityRmsMm, p.directionRmsPx);
            else
                std::fprintf(stderr, "optimise order %d: iteration %d, direction RMS %.4f px, pinhole RMS %.5f mm\n",
                             order, p.iteration, p.directionRmsPx, p.pinholeRmsMm);
            std::fflush(stderr);
        };
        const std::vector<PrismRayTarget> targets =
            idealRayTargets(geometry, verify::samplePixels(cliOptimizeSampleStep));
        const PrismOptimizeResult optimized = optimizePrismFit(geometry, content.fit, targets, options);
        content.fit = optimized.fit;
        measurePrismResiduals(&content.fit.exit, points.exitLeft, points.exitRight);
        measurePrismResiduals(&content.fit.entrance, points.entranceLeft, points.entranceRight);
        content.optimized = {true,
                             optimized.iterations,
                             static_cast<int>(targets.size()),
                             optimized.start.directionRmsPx,
                             optimized.end.directionRmsPx,
                             optimized.start.pinholeRmsMm,
                             optimized.end.pinholeRmsMm,
                             optimized.stopReason};
    }
    if (request.optimize || request.verify) {
        verify::VerifyOptions options;
        options.step = request.verifyStep;
        options.depths.assign(request.verifyDepths.begin(), request.verifyDepths.end());
        options.threadCount = request.threads;
        content.verified =
            verify::prismVerifiedSummary(verify::verifyPrism(geometry, verify::prismFitSurfaces(content.fit), options));
    }
    if (!writePrismFile(report->directory, content, error))
        return false;
    const PrismFit& fit = content.fit;
    report->prismFit = fit;
    report->optimized = content.optimized;
    report->verified = content.verified;
    report->surface1Points = fit.exit.pointCount;
    report->surface2Points = fit.entrance.pointCount;
    report->exit = surfaceReport(fit.exit);
    report->entrance = surfaceReport(fit.entrance);
    report->coefficients1 = QVector<double>(fit.exit.surface.coefficients.begin(), fit.exit.surface.coefficients.end());
    report->coefficients2 =
        QVector<double>(fit.entrance.surface.coefficients.begin(), fit.entrance.surface.coefficients.end());
    report->res1 = fit.exit.rmsResidual;
    report->res2 = fit.entrance.rmsResidual;
    report->seconds = elapsedSeconds(timer);
    return true;
}

int runExportStage(const CliRequest& request, CliExportReport* report, QString* error)
{
    QElapsedTimer timer;
    timer.start();
    ExportOptions options;
    options.formats = request.exportFormats;
    options.stepMaker = prismStepMaker();
    options.drawingMaker = prismDrawingMaker();
    ExportSummary summary;
    const bool done = exportPrism(request.exportPrismFile,
                                  QDir(request.outputDir).filePath(QString::fromLatin1(designPointsFileName)),
                                  request.exportDirectory, options, &summary, error);
    report->prismFile = request.exportPrismFile;
    report->reason = request.exportReason;
    report->order = summary.order;
    report->written = summary.written;
    report->entranceGrid[0] = summary.grids[0].nx;
    report->entranceGrid[1] = summary.grids[0].ny;
    report->exitGrid[0] = summary.grids[2].nx;
    report->exitGrid[1] = summary.grids[2].ny;
    report->notes = summary.notes;
    report->triangles = summary.triangleCount;
    report->sagErrorMm = summary.sagErrorMm;
    report->apertureX = summary.solidAperture.halfWidthX;
    report->apertureY = summary.solidAperture.halfWidthY;
    report->exitPoints = summary.exitPointCount;
    report->entrancePoints = summary.entrancePointCount;
    report->seconds = elapsedSeconds(timer);
    if (done)
        return CliExitOk;
    return summary.writeFailed ? CliExitFailure : CliExitUsage;
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
    report->order = source != calibration::PrismSource::Design ? request.calibrationOrder : 0;

    const PanelParameters& panel = request.panel;
    CentralRayHit hit = centralRayHit(panel);
    if (!hit.defined) {
        *error = QStringLiteral("no calibration: the central ray runs parallel to the prism face");
        return false;
    }
    calibration::PrismDesignChoice design;
    design.model = request.panel.designModel;
    design.refine = request.refine;
    if (!calibration::calibratePrism(toDesignParameters(panel, hit), source, report->order, options,
                                     &report->result, error, nullptr, design))
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
    // One run per output directory, for the whole of the design and the fits.
    DirectoryLock lock(request.outputDir);
    if (!lock.acquire(DirectoryLock::Mode::Refuse, error))
        return lock.heldElsewhere() ? CliExitLocked : CliExitFailure;
    // A run killed while replacing its files is finished first. What cannot
    // be finished is said; a verification or an export of such a mix is refused.
    const QString unfinished = unfinishedCommit(request.outputDir);
    if (!unfinished.isEmpty() && (request.command == CliCommand::Verify || request.command == CliCommand::Export)) {
        *error = unfinished;
        return CliExitUsage;
    }
    warnUnfinished(unfinished);
    if (request.command == CliCommand::Verify) {
        report->hasVerification = true;
        return runVerifyCommand(request, &report->verification, error);
    }
    std::unique_ptr<ScopedDesignRecord> record;
    std::vector<double> designValues;
    const bool designs = request.command == CliCommand::Design || request.command == CliCommand::Run;
    const bool fits = !request.orders.isEmpty();
    // The classic fit takes the design's numbers from memory; the prism fit
    // reads the file itself.
    const bool classicFits = fits && request.fitModel != CliFitModel::Prism;
    if (designs) {
        report->hasDesign = true;
        if (!runDesignStage(request, &report->design, classicFits ? &designValues : nullptr, error, &record))
            return CliExitFailure;
    }
    if (request.command == CliCommand::Export) {
        report->hasExport = true;
        const int code = runExportStage(request, &report->exportReport, error);
        report->totalSeconds = elapsedSeconds(total);
        return code;
    }
    if (request.fitModel == CliFitModel::Prism && fits) {
        PrismDesignPoints points;
        if (!readPrismDesignPoints(QDir(request.outputDir).filePath(QString::fromLatin1(designPointsFileName)), &points,
                                   error))
            return CliExitUsage;
        for (int order : request.orders) {
            CliFitReport fit;
            if (!runPrismFitStage(request, points, order, &fit, error))
                return CliExitFailure;
            report->fits.append(fit);
        }
    } else if (fits) {
        const int code = runFitStages(request, designs ? &designValues : nullptr, report, error);
        if (code != CliExitOk)
            return code;
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
