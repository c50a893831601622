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
#include "fit/fit_orders.h"
#include "io/design_points_reader.h"
#include "pipeline/pipeline.h"
#include "report/prism_report.h"

#include <QDir>
#include <QElapsedTimer>

#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
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

// The design in memory (the whole grid when the run verifies or refines);
// nothing is written here.
pipeline::DesignResult runDesignStage(const CliRequest& request, CliDesignReport* report)
{
    QElapsedTimer timer;
    timer.start();
    const PanelParameters& panel = request.panel;
    report->panelAngleDeg = panel.angleDeg;
    report->designAngleDeg = panel.designAngleDeg;
    pipeline::DesignInput input;
    input.panel = panel;
    input.refine = request.refine;
    input.keepFullGrid = request.verify;
    input.threads = request.threads;
    pipeline::DesignResult design = pipeline::runDesignStage(input, core::ProgressRange(nullptr, 0, 1, "design"));
    report->centralRayHitDefined = design.hit.defined;
    report->centralRayHitX = design.hit.x;
    report->centralRayHitY = design.hit.y;
    if (design.refine) {
        const RefineResult& refined = *design.refine;
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
    }
    report->profilePoints = 4 * designQuarterSteps;
    report->gridPoints = 8 * designQuarterSteps * designHalfSteps / 10;
    report->nonFinitePoints = design.nonFiniteLines;
    report->threads = design.threads;
    report->seconds = elapsedSeconds(timer);
    return design;
}

// The design's three files, for a set of result files.
std::vector<pipeline::ResultFile> designFiles(const pipeline::DesignResult& design)
{
    return {{QString::fromLatin1(designProfileFileName), design.profileText},
            {QString::fromLatin1(designPointsFileName), design.gridText},
            {QString::fromLatin1(designJsonFileName), design.designJson.toStdString()}};
}

// Writes files into `directory` as one set; on failure the message names
// every file, none of which was replaced.
bool writeSet(const QString& directory, const std::vector<pipeline::ResultFile>& files, const QString& setName,
              QString* error)
{
    if (pipeline::writeResultFiles(directory, files, error, setName))
        return true;
    QStringList names;
    for (const pipeline::ResultFile& file : files)
        names << file.name;
    *error = QStringLiteral("%1; not replaced: %2").arg(*error, names.join(QStringLiteral(", ")));
    return false;
}

// Why the classic fit of `order` would refuse these points, before anything
// is written; empty when it takes them.
QString classicFitRefusal(const FitPoints& points, int order)
{
    const FitOrder& entry = fitOrderEntry(order);
    const bool first = points.surface1.count() < entry.surface1Terms;
    if (!first && points.surface2.count() >= entry.surface2Terms)
        return QString();
    return QStringLiteral("the fit of order %1 refused its input: surface %2 has %3 points inside its window, the "
                          "order-%1 model needs at least %4; nothing written")
        .arg(order)
        .arg(first ? 1 : 2)
        .arg(first ? points.surface1.count() : points.surface2.count())
        .arg(first ? entry.surface1Terms : entry.surface2Terms);
}

// A classic fit's summary line.
CliFitReport classicFitReport(const CliRequest& request, const FitRunSummary& summary, double splitShare)
{
    CliFitReport fit;
    fit.order = summary.order;
    fit.directory = fitOutputDirectory(request, summary.order);
    fit.seconds = summary.totalSeconds + splitShare;
    fit.surface1Points = summary.surface1Count;
    fit.surface2Points = summary.surface2Count;
    // Each result array holds the coefficients followed by the residual.
    fit.coefficients1 = QVector<double>(summary.surface1Results.begin(), summary.surface1Results.end() - 1);
    fit.coefficients2 = QVector<double>(summary.surface2Results.begin(), summary.surface2Results.end() - 1);
    fit.res1 = summary.surface1Results.back();
    fit.res2 = summary.surface2Results.back();
    return fit;
}

// Every order of the request on the same points (split once, given when the
// design has just run), the orders side by side, each into its directory.
// CliExitOk, or the exit code of the failure with *error set.
int runFitStages(const CliRequest& request, const FitPoints* given, CliReport* report, QString* error)
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
    const FitPoints points = given ? FitPoints() : loadFitPoints(request.outputDir);
    const double splitSeconds = elapsedSeconds(timer);
    const std::vector<int> orders(request.orders.begin(), request.orders.end());
    const std::vector<FitRunSummary> summaries =
        fitOrders(orders, given ? *given : points, [&request](int order) { return fitOutputDirectory(request, order); },
                  true, request.threads);
    for (const FitRunSummary& summary : summaries) {
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
                         .arg(fitOutputDirectory(request, summary.order), summary.error, kept);
            return CliExitFailure;
        }
        // The split is shared; each order is charged its share of it.
        report->fits.append(classicFitReport(request, summary, splitSeconds / static_cast<double>(summaries.size())));
    }
    return CliExitOk;
}

CliPrismSurfaceReport surfaceReport(const PrismSurfaceFit& fit)
{
    return {fit.pointCount, fit.surface.x0, fit.surface.radius, fit.rmsResidual, fit.maxResidual,
            fit.conditionNumber, fit.mirrorMaxResidual};
}

// The prism fit of one order of a design in memory (optimised and verified
// when asked); *content is what its prism.json holds. Nothing is written.
void runPrismFitStage(const CliRequest& request, const pipeline::DesignResult& design, int order,
                      CliFitReport* report, PrismFileContent* content)
{
    QElapsedTimer timer;
    timer.start();
    report->order = order;
    report->prism = true;
    report->directory = fitOutputDirectory(request, order);
    pipeline::PrismFitInput input;
    input.order = order;
    input.optimize = request.optimize;
    input.threads = request.threads;
    parsePrismObjective(request.objective, &input.objective);
    calibration::parseDistortionModel(request.cameraModel, &input.cameraModel);
    input.nearDepthMm = request.nearDepth;
    // The optimiser's iterations on standard error, as they come.
    core::Progress progress;
    const pipeline::PrismFitResult fit =
        pipeline::runPrismFitStage(design, input, core::ProgressRange(&progress, 0, 1, "fit"));
    std::optional<pipeline::VerifyStageResult> verified;
    if (request.optimize || request.verify) {
        pipeline::VerifyInput verify;
        verify.step = request.verifyStep;
        verify.depths.assign(request.verifyDepths.begin(), request.verifyDepths.end());
        verify.keepPixels = false;
        verify.threads = request.threads;
        verified = pipeline::runVerifyStage(design, &fit, verify, core::ProgressRange(nullptr, 0, 1, "verify"));
    }
    *content = pipeline::prismFileContent(design, fit, verified ? &*verified : nullptr);
    const PrismFit& f = content->fit;
    report->prismFit = f;
    report->optimized = content->optimized;
    report->verified = content->verified;
    report->surface1Points = f.exit.pointCount;
    report->surface2Points = f.entrance.pointCount;
    report->exit = surfaceReport(f.exit);
    report->entrance = surfaceReport(f.entrance);
    report->coefficients1 = QVector<double>(f.exit.surface.coefficients.begin(), f.exit.surface.coefficients.end());
    report->coefficients2 =
        QVector<double>(f.entrance.surface.coefficients.begin(), f.entrance.surface.coefficients.end());
    report->res1 = f.exit.rmsResidual;
    report->res2 = f.entrance.rmsResidual;
    report->seconds = elapsedSeconds(timer);
}

// The design a fit on its own starts from: "outputall.txt" of the output
// directory, the panel options, and the model "design.json" names.
bool designOfDirectory(const CliRequest& request, pipeline::DesignResult* design, QString* error)
{
    const QDir dir(request.outputDir);
    std::vector<double> values;
    DesignPointsError readError;
    if (!readDesignPoints(dir.filePath(QString::fromLatin1(designPointsFileName)), &values, &readError)) {
        *error = QStringLiteral("%1: %2").arg(QString::fromLatin1(designPointsFileName), readError.message());
        return false;
    }
    PanelParameters panel = request.panel;
    DesignJson json;
    QString ignored;
    if (readDesignJson(dir.filePath(QString::fromLatin1(designJsonFileName)), &json, &ignored))
        parseDesignModel(json.designModel, &panel.designModel);
    *design = pipeline::designOfPoints(panel, std::move(values));
    design->origin = currentDesignOrigin(request.outputDir);
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

// The calibration in memory and the bytes of its file.
bool runCalibrationStage(const CliRequest& request, CliCalibrationReport* report, pipeline::ResultFile* file,
                         QString* error)
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
    file->name = QString::fromLatin1(calibration::stereoCalibrationFileName);
    if (!calibration::stereoCalibrationText(report->result, &file->bytes, error))
        return false;
    report->seconds = elapsedSeconds(timer);
    return true;
}

// The one-shot: its own new result folder, so no lock of the output
// directory. Each stage's name goes to standard error as it starts.
int runPrismCommand(const CliRequest& request, CliReport* report, QString* error)
{
    report::OneShotOptions options;
    pipeline::PipelineSettings& s = options.settings;
    s.design.panel = request.panel;
    s.design.refine = request.refine;
    s.design.threads = request.threads;
    s.design.colour = request.colour;
    s.fit.order = request.prismOrder;
    s.fit.achromat = {request.achromat, request.crown, request.flint};
    s.fit.threads = s.verify.threads = s.calibration.threads = request.threads;
    options.outputDir = request.outputDir;
    options.folderName = request.folderName;
    options.sensitivity = request.sensitivity;
    options.sensitivityOptions.threadCount = request.threads;
    std::string lastStage;
    core::Progress progress([&lastStage](double fraction, const std::string& stage) {
        if (stage == lastStage)
            return;
        lastStage = stage;
        std::fprintf(stderr, "%3.0f%% %s\n", fraction * 100.0, stage.c_str());
        std::fflush(stderr);
    });
    report->hasPrism = true;
    if (report::runPrismOneShot(options, &progress, &report->prism, error))
        return CliExitOk;
    return report->prism.writeFailed ? CliExitFailure : CliExitUsage;
}

// "run --verify": the design in memory and the fits of the run.
int verifyAfterRun(const CliRequest& request, const std::optional<pipeline::DesignResult>& design, CliReport* report,
                   QString* error)
{
    if (!request.verify || !design)
        return CliExitOk;
    report->hasVerification = true;
    return runVerifyAfterRun(request, **design->record, report->fits, &report->verification, error);
}

// design, fit, run and calibrate: every result is made in memory and checked
// first; then the files of the run replace the old ones together (one set
// per directory), or none does.
int runStages(const CliRequest& request, CliReport* report, QString* error)
{
    const bool designs = request.command == CliCommand::Design || request.command == CliCommand::Run;
    const bool prism = request.fitModel == CliFitModel::Prism;
    std::optional<pipeline::DesignResult> design;
    if (designs) {
        report->hasDesign = true;
        design = runDesignStage(request, &report->design);
    }
    // The fits in memory; a refusal leaves every file as it was.
    std::vector<std::pair<QString, PrismFileContent>> prismFits;  // directory, content
    std::optional<FitPoints> classicPoints;
    if (!request.orders.isEmpty() && prism) {
        pipeline::DesignResult read;
        if (!design && !designOfDirectory(request, &read, error))
            return CliExitUsage;
        const pipeline::DesignResult& source = design ? *design : read;
        for (int order : request.orders) {
            CliFitReport fit;
            PrismFileContent content;
            runPrismFitStage(request, source, order, &fit, &content);
            prismFits.emplace_back(fit.directory, content);
            report->fits.append(fit);
        }
    } else if (!request.orders.isEmpty() && design) {
        classicPoints = splitFitPoints(design->gridValues.data(), design->gridValues.size());
        classicPoints->origin = design->origin;
        for (int order : request.orders) {
            const QString refusal = classicFitRefusal(*classicPoints, order);
            if (!refusal.isEmpty()) {
                *error = refusal;
                return CliExitUsage;
            }
        }
    }
    std::vector<pipeline::ResultFile> calibrationFile;
    if (request.calibrate) {
        report->hasCalibration = true;
        calibrationFile.resize(1);
        if (!runCalibrationStage(request, &report->calibration, &calibrationFile.front(), error))
            return CliExitFailure;
    }

    // The files of the output directory: the design, a single order's fit
    // and the calibration as one set.
    std::vector<pipeline::ResultFile> files;
    if (design)
        files = designFiles(*design);
    const bool single = !request.allOrders && !request.orders.isEmpty();
    if (single && prism)
        files.push_back({QString::fromLatin1(prismFileName), prismFileText(prismFits.front().second)});
    files.insert(files.end(), calibrationFile.begin(), calibrationFile.end());
    if (single && !prism && design) {
        // The classic fit stages its files in the run's set.
        AtomicFileSet set(request.outputDir, QStringLiteral("run"));
        const FitRunSummary summary =
            fitOrders({request.orders.first()}, *classicPoints, nullptr, true, request.threads, &set).front();
        if (!summary.error.isEmpty()) {
            *error = QStringLiteral("the fit of order %1 could not write its files in '%2': %3")
                         .arg(summary.order).arg(request.outputDir, summary.error);
            return CliExitFailure;
        }
        report->fits.append(classicFitReport(request, summary, 0.0));
        for (const pipeline::ResultFile& file : files) {
            if (!set.stage(file.name, file.bytes.data(), file.bytes.size()))
                break;
        }
        if (set.failed() || !set.commit()) {
            *error = QStringLiteral("%1; not replaced: the design, the fit and its report").arg(set.errorString());
            return CliExitFailure;
        }
        return verifyAfterRun(request, design, report, error);
    }
    if (!files.empty() && !writeSet(request.outputDir, files, designs ? QStringLiteral("run") : QStringLiteral("calibration"), error))
        return CliExitFailure;
    if (request.allOrders && prism) {
        for (const auto& [directory, content] : prismFits) {
            if (!QDir().mkpath(directory)) {
                *error = QStringLiteral("directory '%1' could not be created").arg(directory);
                return CliExitFailure;
            }
            if (!writePrismFile(directory, content, error))
                return CliExitFailure;
        }
    } else if (single && prism && !design) {
        if (!writePrismFile(request.outputDir, prismFits.front().second, error))
            return CliExitFailure;
    } else if (!prism && !request.orders.isEmpty()) {
        const int code = runFitStages(request, classicPoints ? &*classicPoints : nullptr, report, error);
        if (code != CliExitOk)
            return code;
    }
    return verifyAfterRun(request, design, report, error);
}

}  // namespace

int runCliRequest(const CliRequest& request, CliReport* report, QString* error)
{
    QElapsedTimer total;
    total.start();
    report->request = request;
    if (request.command == CliCommand::Prism) {
        const int code = runPrismCommand(request, report, error);
        report->totalSeconds = elapsedSeconds(total);
        return code;
    }
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
    if (request.command == CliCommand::Export) {
        report->hasExport = true;
        const int code = runExportStage(request, &report->exportReport, error);
        report->totalSeconds = elapsedSeconds(total);
        return code;
    }
    try {
        const int code = runStages(request, report, error);
        report->totalSeconds = elapsedSeconds(total);
        return code;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        *error = QString::fromStdString(e.what()) + QStringLiteral("; nothing written");
        return CliExitUsage;
    }
}
