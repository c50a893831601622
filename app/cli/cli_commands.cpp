#include "app/cli/cli_commands.h"

#include "calibration/calibration_file.h"
#include "calibration/prism_calibration.h"
#include "design/design_files.h"
#include "design/design_json.h"
#include "export/prism_drawing.h"
#include "export/prism_export.h"
#include "export/prism_step.h"
#include "fit/fit_files.h"
#include "fit/fit_json.h"
#include "fit/fit_orders.h"
#include "fit/prism_file.h"
#include "io/atomic_file_set.h"
#include "io/design_points_reader.h"
#include "io/directory_lock.h"
#include "pipeline/pipeline.h"
#include "report/prism_report.h"
#include "textio/number_text.h"
#include "verify_map/verify_map.h"

#include <QDir>
#include <QElapsedTimer>

#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

namespace {

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

// A refusal of the run's input (exit 2); the message says what.
struct Refused {
    QString message;
};

// What the command's options ask of the pipeline: no calibration, no exports
// (the commands of their own do those); verified when asked, and a prism fit
// also when optimised (prism.json then holds its figures).
pipeline::PipelineSettings settingsOf(const CliRequest& request)
{
    pipeline::PipelineSettings s;
    s.design.panel = request.panel;
    s.design.refine = request.refine;
    s.design.keepFullGrid = request.verify;
    s.design.threads = request.threads;
    s.fitKind = request.fitModel == CliFitModel::Prism ? pipeline::FitKind::Prism : pipeline::FitKind::Classic;
    s.fit.optimize = request.optimize;
    s.fit.threads = request.threads;
    parsePrismObjective(request.objective, &s.fit.objective);
    calibration::parseDistortionModel(request.cameraModel, &s.fit.cameraModel);
    s.fit.nearDepthMm = request.nearDepth;
    s.classicFit.orders.assign(request.orders.begin(), request.orders.end());
    s.classicFit.threads = request.threads;
    s.verify.step = request.verifyStep;
    s.verify.depths.assign(request.verifyDepths.begin(), request.verifyDepths.end());
    s.verify.keepPixels = !request.mapPath.isEmpty();
    s.verify.threads = request.threads;
    s.runVerify = request.verify || (request.optimize && request.fitModel == CliFitModel::Prism);
    s.runCalibration = s.runExports = false;
    return s;
}

// The design a fit on its own starts from: "outputall.txt" of the output
// directory read strictly, the panel options, and the model "design.json"
// names. A classic fit records the design of the points it read, a prism fit
// the design now in the folder.
pipeline::DesignResult designOfDirectory(const CliRequest& request)
{
    const QDir dir(request.outputDir);
    std::vector<double> values;
    DesignPointsError readError;
    QString digest;
    if (!readDesignPoints(dir.filePath(QString::fromLatin1(designPointsFileName)), &values, &readError, 0, &digest)) {
        const QString message = QStringLiteral("%1: %2").arg(QString::fromLatin1(designPointsFileName), readError.message());
        if (request.fitModel == CliFitModel::Classic)
            throw Refused{QStringLiteral("the fit of order %1 refused its input: %2").arg(request.orders.first()).arg(message)};
        throw Refused{message};
    }
    PanelParameters panel = request.panel;
    DesignJson json;
    QString ignored;
    if (readDesignJson(dir.filePath(QString::fromLatin1(designJsonFileName)), &json, &ignored))
        parseDesignModel(json.designModel, &panel.designModel);
    pipeline::DesignResult design = pipeline::designOfPoints(panel, std::move(values));
    design.origin = request.fitModel == CliFitModel::Classic ? designOriginFor(request.outputDir, digest)
                                                             : currentDesignOrigin(request.outputDir);
    return design;
}

// Writes files into `directory` as one set; on failure *error, after
// `prefix`, says why and names the files (or `kept`), none of which was
// replaced.
bool writeSet(const QString& directory, const std::vector<pipeline::ResultFile>& files, const QString& setName,
              QString* error, const QString& prefix = QString(), const QString& kept = QString())
{
    if (pipeline::writeResultFiles(directory, files, error, setName))
        return true;
    QStringList names;
    for (const pipeline::ResultFile& file : files)
        names << file.name;
    *error = prefix + QStringLiteral("%1; not replaced: %2").arg(*error, kept.isEmpty() ? names.join(QStringLiteral(", ")) : kept);
    return false;
}

QString fitWriteFailure(int order, const QString& directory)
{
    return QStringLiteral("the fit of order %1 could not write its files in '%2': ").arg(order).arg(directory);
}

std::vector<pipeline::ResultFile> resultFiles(std::vector<std::pair<QString, std::string>> files)
{
    std::vector<pipeline::ResultFile> out;
    for (auto& [name, bytes] : files)
        out.push_back({name, std::move(bytes)});
    return out;
}

// Every run's verification in one table: the design, the classic fits, the prism fits.
void gatherVerification(const std::vector<pipeline::Pipeline>& runs, CliVerification* v)
{
    for (const pipeline::Pipeline& run : runs) {
        if (!run.verification())
            continue;
        const pipeline::VerifyStageResult& r = *run.verification();
        v->sources.insert(v->sources.end(), r.sources.begin(), r.sources.end());
        v->results.insert(v->results.end(), r.results.begin(), r.results.end());
        v->seconds += r.seconds;
    }
}

int writeMap(const CliRequest& request, const CliVerification& v, QString* error)
{
    if (request.mapPath.isEmpty() || verify::writeVerificationMap(request.mapPath, v.sources, v.results, error))
        return CliExitOk;
    return CliExitFailure;
}

// "export": the prism file found, its exports made by the pipeline, written
// beside it as one set.
int runExportCommand(const CliRequest& request, CliExportReport* report, QString* error)
{
    QElapsedTimer timer;
    timer.start();
    report->prismFile = request.exportPrismFile;
    report->reason = request.exportReason;
    const QString pointsFile = QDir(request.outputDir).filePath(QString::fromLatin1(designPointsFileName));
    if (request.exportFormats == 0 || (request.exportFormats & ~unsigned(ExportAll)) != 0) {
        *error = QStringLiteral("no export format chosen (gridsag, stl, ply, step, drawing or all)");
        return CliExitUsage;
    }
    PrismFileContent content;
    if (!readPrismFile(request.exportPrismFile, &content, error))
        return CliExitUsage;
    *error = foreignPrismMessage(request.exportPrismFile, request.outputDir);
    if (!error->isEmpty())
        return CliExitUsage;
    const QFileInfo directory(request.exportDirectory);
    if (!directory.isDir() || !directory.isWritable()) {
        *error = QStringLiteral("the export directory '%1' does not exist or is not writable").arg(request.exportDirectory);
        return CliExitUsage;
    }
    std::vector<double> numbers;
    if ((request.exportFormats & ExportPly) && !readNumberFile(pointsFile, &numbers)) {
        *error = QStringLiteral("cannot read the design points '%1'").arg(pointsFile);
        return CliExitUsage;
    }
    pipeline::PipelineSettings s = settingsOf(request);
    s.runVerify = false;
    s.runExports = true;
    s.exports.formats = request.exportFormats;
    s.exports.stepMaker = prismStepMaker();
    s.exports.drawingMaker = prismDrawingMaker();
    pipeline::Pipeline run(s);
    run.setDesign(pipeline::designOfPoints(request.panel, std::move(numbers)));
    run.setFit(pipeline::prismFitOfFile(content));
    try {
        run.run();
    } catch (const std::invalid_argument& refused) {  // crossing surfaces, a maker that fails
        *error = QString::fromStdString(refused.what());
        return CliExitUsage;
    }
    report->summary = run.exports()->summary;
    report->summary.prismFile = request.exportPrismFile;
    report->summary.order = content.fit.order;
    const std::vector<pipeline::ResultFile> files = run.resultFiles();
    QStringList names, notReplaced;
    for (const pipeline::ResultFile& file : files)
        names << file.name;
    const bool written = pipeline::writeResultFiles(request.exportDirectory, files, error, QStringLiteral("export"),
                                                    &notReplaced);
    for (const QString& name : names)
        if (written || (!notReplaced.isEmpty() && !notReplaced.contains(name)))
            report->summary.written << QDir(request.exportDirectory).filePath(name);
    report->seconds = elapsedSeconds(timer);
    if (written)
        return CliExitOk;
    return notReplaced.isEmpty() ? CliExitUsage : CliExitFailure;
}

// "verify": the design of the output directory and the fits written there,
// each handed to a pipeline as the result it would have computed.
int runVerifyCommand(const CliRequest& request, CliVerification* v, QString* error)
{
    QElapsedTimer timer;
    timer.start();
    pipeline::DesignResult design = pipeline::designOfPoints(request.panel, {});
    verify::VerifySource designSource;
    if (!verify::loadDesignSource(request.outputDir, request.panel, &designSource, &v->geometryFromOptions, error))
        return CliExitUsage;
    design.geometry = designSource.geometry;
    design.verifySource = designSource;
    const QDir dir(request.outputDir);
    QStringList fitDirectories;
    if (request.allOrders) {
        for (int order : request.orders) {
            const QString sub = dir.filePath(QStringLiteral("order-%1").arg(order));
            if (QFileInfo::exists(QDir(sub).filePath(QString::fromLatin1(fitJsonFileName))))
                fitDirectories.append(sub);
        }
        bool prismThere = false;
        for (int order = lowestPrismOrder; order <= highestPrismOrder; ++order)
            prismThere = prismThere
                         || QFileInfo::exists(dir.filePath(QStringLiteral("order-%1/%2").arg(order).arg(prismFileName)));
        if (fitDirectories.isEmpty() && !prismThere) {
            *error = QStringLiteral("no fit found in %1/order-3 .. order-8 (result_para_fit.json)").arg(request.outputDir);
            return CliExitUsage;
        }
    } else if (!request.orders.isEmpty() || QFileInfo::exists(dir.filePath(QString::fromLatin1(fitJsonFileName)))) {
        fitDirectories.append(request.outputDir);
    }
    pipeline::ClassicFitResult classic;
    for (const QString& directory : fitDirectories) {
        *error = foreignFitMessage(directory, request.outputDir);
        if (!error->isEmpty())
            return CliExitUsage;
        verify::VerifySource fit;
        int order = 0;
        if (!verify::loadFitSource(directory, design.geometry, &fit, &order, error))
            return CliExitUsage;
        if (!request.orders.isEmpty() && !request.orders.contains(order)) {
            *error = QStringLiteral("the fit in %1 is of order %2, not %3").arg(directory).arg(order).arg(request.orders.first());
            return CliExitUsage;
        }
        pipeline::ClassicOrderFit given;
        given.summary.order = order;
        given.surfaces = fit.surfaces;
        given.directory = directory;
        classic.input.orders.push_back(order);
        classic.orders.push_back(std::move(given));
    }
    // Prism fits ("prism.json") of the directory, or of D/order-3 .. order-10.
    QStringList prismFiles;
    if (request.allOrders) {
        for (int order = lowestPrismOrder; order <= highestPrismOrder; ++order)
            prismFiles.append(dir.filePath(QStringLiteral("order-%1/%2").arg(order).arg(prismFileName)));
    } else {
        prismFiles.append(dir.filePath(QString::fromLatin1(prismFileName)));
    }
    pipeline::PipelineSettings s = settingsOf(request);
    s.verify.includeDesign = true;
    std::vector<pipeline::Pipeline> runs(1, pipeline::Pipeline(s));
    runs.front().setDesign(design);
    runs.front().setClassicFit(std::move(classic));
    s.verify.includeDesign = false;
    for (const QString& path : prismFiles) {
        if (!QFileInfo::exists(path))
            continue;
        PrismFileContent prism;
        if (!readPrismFile(path, &prism, error))
            return CliExitUsage;
        *error = foreignPrismMessage(path, request.outputDir);
        if (!error->isEmpty())
            return CliExitUsage;
        runs.emplace_back(s);
        runs.back().setDesign(design);
        runs.back().setFit(pipeline::prismFitOfFile(prism));
    }
    const QString prismPath = dir.filePath(QString::fromLatin1(prismFileName));
    if (request.sensitivity && (request.allOrders || !QFileInfo::exists(prismPath))) {
        *error = QStringLiteral("--sensitivity needs a prism fit, %1").arg(prismPath);
        return CliExitUsage;
    }
    for (pipeline::Pipeline& run : runs)
        run.run();
    gatherVerification(runs, v);
    const int code = writeMap(request, *v, error);
    v->seconds = elapsedSeconds(timer);
    if (code != CliExitOk || !request.sensitivity)
        return code;
    report::FormSensitivityOptions options;
    options.threadCount = request.threads;
    if (!report::formSensitivity(prismPath, options, &v->sensitivity, error))
        return CliExitUsage;
    v->hasSensitivity = true;
    return CliExitOk;
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

// design, fit, run and calibrate: the design and the fits run through the
// pipeline (one per prism order, one for every classic order), each result
// in memory and checked first; then the files of the run replace the old
// ones together (one set per directory), or none does.
int runStages(const CliRequest& request, CliReport* report, QString* error)
{
    const bool designs = request.command == CliCommand::Design || request.command == CliCommand::Run;
    const bool prism = request.fitModel == CliFitModel::Prism;
    const bool fits = !request.orders.isEmpty();
    pipeline::PipelineSettings s = settingsOf(request);
    std::vector<pipeline::Pipeline>& runs = report->runs;
    if (designs || fits) {
        const std::size_t count = prism && fits ? std::size_t(request.orders.size()) : 1;
        for (std::size_t i = 0; i < count; ++i) {
            s.fit.order = prism && fits ? request.orders[int(i)] : s.fit.order;
            s.verify.includeDesign = designs && request.verify && i == 0;
            s.runVerify = s.runVerify && (fits || s.verify.includeDesign);
            if (prism && !fits)
                s.fitKind = pipeline::FitKind::Classic;  // the design alone
            runs.emplace_back(s);
            if (i > 0)
                runs.back().setDesign(*runs.front().design());
            else if (!designs)
                runs.back().setDesign(designOfDirectory(request));
            runs.back().run();
            report->hasDesign = designs;
            const std::optional<RefineResult>& refined = runs.back().design()->refine;
            if (designs && i == 0 && refined && !refined->applied)
                std::fprintf(stderr, "harvenlotek-cli: %s\n", qPrintable(refined->message));
        }
    }
    std::vector<pipeline::ResultFile> calibrationFile;
    if (request.calibrate) {
        report->hasCalibration = true;
        calibrationFile.resize(1);
        if (!runCalibrationStage(request, &report->calibration, &calibrationFile.front(), error))
            return CliExitFailure;
    }
    const pipeline::ClassicFitResult* classic = fits && !prism ? runs.front().classicFit() : nullptr;

    // The files of the output directory: the design, a single order's fit
    // and the calibration as one set.
    const bool single = fits && !request.allOrders;
    std::vector<pipeline::ResultFile> files;
    if (!runs.empty() && (designs || single)) {
        for (pipeline::ResultFile& file : runs.front().resultFiles())
            if (file.name != QLatin1String(pipeline::verificationFileName))  // the summary shows the verification
                files.push_back(std::move(file));
    }
    files.insert(files.end(), calibrationFile.begin(), calibrationFile.end());
    if (single && !designs) {
        // A fit on its own: its file(s) alone.
        if (prism && !writePrismFile(request.outputDir, runs.front().prismContent(), error))
            return CliExitFailure;
        if (!prism && !writeSet(request.outputDir, files, QStringLiteral("fit"), error,
                                fitWriteFailure(request.orders.first(), request.outputDir)))
            return CliExitFailure;
    } else if (!files.empty()
               && !writeSet(request.outputDir, files, designs ? QStringLiteral("run") : QStringLiteral("calibration"),
                            error, QString(), single && !prism ? QStringLiteral("the design, the fit and its report") : QString())) {
        return CliExitFailure;
    }
    // Every order into its own directory.
    QString firstError;
    for (std::size_t i = 0; request.allOrders && i < (prism ? runs.size() : classic->orders.size()); ++i) {
        const int order = request.orders[int(i)];
        const QString directory = fitOutputDirectory(request, order);
        if (!QDir().mkpath(directory)) {
            *error = QStringLiteral("directory '%1' could not be created").arg(directory);
            return CliExitFailure;
        }
        if (prism) {
            if (!writePrismFile(directory, runs[i].prismContent(), error))
                return CliExitFailure;
            continue;
        }
        warnUnfinished(unfinishedCommit(directory));
        const std::vector<pipeline::ResultFile> orderFiles = resultFiles(pipeline::classicFitFiles(*classic, i));
        QString failure;
        if (!writeSet(directory, orderFiles, QStringLiteral("fit"), &failure, fitWriteFailure(order, directory))
            && firstError.isEmpty())
            firstError = failure;
    }
    if (!firstError.isEmpty()) {
        *error = firstError;
        return CliExitFailure;
    }
    if (!request.verify || !designs)
        return CliExitOk;
    report->hasVerification = true;
    gatherVerification(runs, &report->verification);
    return writeMap(request, report->verification, error);
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
    int code = CliExitOk;
    try {
        if (request.command == CliCommand::Verify) {
            report->hasVerification = true;
            return runVerifyCommand(request, &report->verification, error);
        }
        if (request.command == CliCommand::Export) {
            report->hasExport = true;
            code = runExportCommand(request, &report->exportReport, error);
        } else {
            code = runStages(request, report, error);
        }
    } catch (const Refused& refused) {
        *error = refused.message;
        return CliExitUsage;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        *error = QString::fromStdString(e.what());
        // A classic fit's refusal on its own says what it refused; the rest
        // add that nothing was written.
        if (request.command != CliCommand::Fit || request.fitModel != CliFitModel::Classic)
            *error += QStringLiteral("; nothing written");
        return CliExitUsage;
    }
    report->totalSeconds = elapsedSeconds(total);
    return code;
}
