#include "pipeline/pipeline.h"

#include "calibration/calibration_file.h"
#include "design/design_files.h"
#include "design/design_json.h"
#include "verify/prism_trace.h"
#include "io/atomic_file_set.h"

#include <QDateTime>
#include <QDir>

#include <stdexcept>

namespace pipeline {

namespace {

// Each stage's share of a whole run, by its usual time.
constexpr double shareDesign = 0.15;
constexpr double shareFit = 0.42;
constexpr double shareVerify = 0.05;
constexpr double shareCalibrate = 0.28;
constexpr double shareSimulate = 0.05;
constexpr double shareExport = 0.05;

bool sameExportOptions(const ExportOptions& a, const ExportOptions& b)
{
    return a.formats == b.formats && a.gridSpacingMm == b.gridSpacingMm && a.sagToleranceMm == b.sagToleranceMm;
}

int indexOf(Stage stage)
{
    return static_cast<int>(stage);
}

}  // namespace

Pipeline::Pipeline(const PipelineSettings& settings) : settings_(settings) {}

void Pipeline::setSettings(const PipelineSettings& settings)
{
    settings_ = settings;
}

void Pipeline::setPanel(const PanelParameters& panel)
{
    settings_.design.panel = panel;
}

void Pipeline::setDesign(DesignResult design)
{
    design_ = std::move(design);
    settings_.design = design_->input;
    generations_[indexOf(Stage::Design)] = {++counter_, 0u};
}

void Pipeline::setFit(PrismFitResult fit)
{
    fit_ = std::move(fit);
    settings_.fit = fit_->input;
    settings_.fitKind = FitKind::Prism;
    generations_[indexOf(Stage::Fit)] = {++counter_, generationOf(Stage::Design)};
}

void Pipeline::setClassicFit(ClassicFitResult fit)
{
    classicFit_ = std::move(fit);
    settings_.classicFit = classicFit_->input;
    settings_.fitKind = FitKind::Classic;
    generations_[indexOf(Stage::Fit)] = {++counter_, generationOf(Stage::Design)};
}

bool Pipeline::hasResult(Stage stage) const
{
    switch (stage) {
    case Stage::Design: return design_.has_value();
    case Stage::Fit: return settings_.fitKind == FitKind::Classic ? classicFit_.has_value() : fit_.has_value();
    case Stage::Verify: return verify_.has_value();
    case Stage::Calibrate: return calibration_.has_value();
    case Stage::Simulate: return simulation_.has_value();
    case Stage::Export: return exports_.has_value();
    }
    return false;
}

unsigned Pipeline::generationOf(Stage stage) const
{
    return generations_[indexOf(stage)].self;
}

bool Pipeline::upToDate(Stage stage) const
{
    const auto from = [this](Stage own, Stage upstream) {
        return generations_[indexOf(own)].upstream == generationOf(upstream) && upToDate(upstream);
    };
    switch (stage) {
    case Stage::Design: return design_ && design_->input == settings_.design;
    case Stage::Fit:
        if (settings_.fitKind == FitKind::Classic)
            return classicFit_ && classicFit_->input == settings_.classicFit && from(Stage::Fit, Stage::Design);
        return fit_ && fit_->input == settings_.fit && from(Stage::Fit, Stage::Design);
    case Stage::Verify: return verify_ && verify_->input == settings_.verify && from(Stage::Verify, Stage::Fit);
    case Stage::Calibrate:
        return calibration_ && calibration_->input == settings_.calibration && from(Stage::Calibrate, Stage::Fit);
    case Stage::Simulate:
        return simulation_ && simulation_->input == settings_.simulation && from(Stage::Simulate, Stage::Calibrate);
    case Stage::Export:
        return exports_ && sameExportOptions(exports_->options, settings_.exports) && from(Stage::Export, Stage::Fit);
    }
    return false;
}

bool Pipeline::isStale(Stage stage) const
{
    return hasResult(stage) && !upToDate(stage);
}

void Pipeline::run(core::Progress* progress)
{
    run(core::ProgressRange(progress, 0.0, 1.0, "prism"));
}

void Pipeline::run(const core::ProgressRange& progress)
{
    lastComputed_.clear();
    progress.report(0.0);
    double at = 0.0;
    const auto share = [&progress, &at](double size, const char* name) {
        const core::ProgressRange part = progress.part(at, at + size, name);
        at += size;
        return part;
    };
    const auto computed = [this](Stage stage, Stage upstream) {
        Generation& g = generations_[indexOf(stage)];
        g.self = ++counter_;
        g.upstream = stage == upstream ? 0u : generationOf(upstream);
        lastComputed_.push_back(stage);
    };

    const core::ProgressRange designPart = share(shareDesign, "design");
    if (!upToDate(Stage::Design)) {
        design_.reset();
        design_ = runDesignStage(settings_.design, designPart);
        computed(Stage::Design, Stage::Design);
    }
    const bool classic = settings_.fitKind == FitKind::Classic;
    const core::ProgressRange fitPart = share(shareFit, settings_.fit.optimize && !classic ? "optimise" : "fit");
    if (!upToDate(Stage::Fit)) {
        fit_.reset();
        classicFit_.reset();
        if (classic)
            classicFit_ = runClassicFitStage(*design_, settings_.classicFit, fitPart);
        else
            fit_ = runPrismFitStage(*design_, settings_.fit, fitPart);
        computed(Stage::Fit, Stage::Design);
    }
    const core::ProgressRange verifyPart = share(shareVerify, "verify");
    if (settings_.runVerify && !upToDate(Stage::Verify)) {
        verify_.reset();
        verify_ = runVerifyStage(*design_, classic ? &*classicFit_ : nullptr, classic ? nullptr : &*fit_,
                                 settings_.verify, verifyPart);
        computed(Stage::Verify, Stage::Fit);
    } else if (!settings_.runVerify) {
        verify_.reset();
    }
    if (classic) {
        // The calibration, the simulated capture and the exports are of a prism fit.
        if (settings_.runCalibration || settings_.runSimulation || settings_.runExports)
            throw std::invalid_argument("the calibration, the simulated capture and the exports need a prism fit");
        calibration_.reset();
        simulation_.reset();
        exports_.reset();
        progress.report(1.0);
        return;
    }
    const verify::PrismSurfaces surfaces = verify::prismFitSurfaces(fit_->fit);
    const core::ProgressRange calibratePart = share(shareCalibrate, "calibrate");
    if (settings_.runCalibration && !upToDate(Stage::Calibrate)) {
        calibration_.reset();
        calibration_ = runCalibrationStage(verify::prismFitGeometry(design_->geometry, fit_->fit), surfaces,
                                           settings_.calibration, calibratePart);
        // The file names the prism it belongs to.
        calibration_->calibration.prismDigest = calibration::prismDigest(design_->parameters, fit_->fit);
        const std::vector<calibration::ColourChannel>& channels = design_->input.colour.channels;
        if (!channels.empty()) {
            calibration::CalibrationOptions options;
            options.target.depthsMm = settings_.calibration.depthsMm;
            options.target.pointsAcrossHalf = settings_.calibration.pointsAcrossHalf;
            options.model = settings_.calibration.model;
            options.threadCount = settings_.calibration.threads;
            calibratePart.throwIfCancelled();
            calibration_->channels = calibration::calibrateChannels(design_->geometry, surfaces, channels, options);
        }
        computed(Stage::Calibrate, Stage::Fit);
    } else if (!settings_.runCalibration) {
        calibration_.reset();
    }
    const core::ProgressRange simulatePart = share(shareSimulate, "simulate");
    if (settings_.runSimulation && !calibration_)
        throw std::invalid_argument("the simulated capture needs the calibration of the prism");
    if (settings_.runSimulation && !upToDate(Stage::Simulate)) {
        simulation_.reset();
        simulation_ = runSimulateStage(*design_, *fit_, *calibration_, settings_.simulation, simulatePart);
        computed(Stage::Simulate, Stage::Calibrate);
    } else if (!settings_.runSimulation) {
        simulation_.reset();
    }
    const core::ProgressRange exportPart = share(shareExport, "export");
    if (settings_.runExports && !upToDate(Stage::Export)) {
        exports_.reset();
        exports_ = runExportStage(prismContent(), design_->gridValues, settings_.exports, exportPart);
        computed(Stage::Export, Stage::Fit);
    } else if (!settings_.runExports) {
        exports_.reset();
    }
    progress.report(1.0);
}

PrismFileContent Pipeline::prismContent() const
{
    if (!design_ || !fit_)
        return PrismFileContent();
    if (fit_->file)
        return *fit_->file;
    return prismFileContent(*design_, *fit_, verify_ ? &*verify_ : nullptr);
}

std::vector<ResultFile> Pipeline::resultFiles() const
{
    std::vector<ResultFile> files;
    const bool classic = settings_.fitKind == FitKind::Classic;
    if (!design_ || (classic ? !classicFit_ : !fit_))
        return files;
    if (!design_->gridText.empty()) {  // not of a design read from files
        files.push_back({QString::fromLatin1(designProfileFileName), design_->profileText});
        files.push_back({QString::fromLatin1(designPointsFileName), design_->gridText});
        files.push_back({QString::fromLatin1(designJsonFileName), design_->designJson.toStdString()});
    }
    if (classic && classicFit_->orders.size() == 1) {
        for (auto& [name, bytes] : classicFitFiles(*classicFit_, 0))
            files.push_back({name, std::move(bytes)});
    } else if (!classic && !fit_->file) {
        files.push_back({QString::fromLatin1(prismFileName), prismFileText(prismContent())});
    }
    if (exports_) {
        for (const auto& [name, bytes] : exports_->files)
            files.push_back({name, bytes});
    }
    if (calibration_) {
        std::string text;
        QString error;
        if (!calibration::stereoCalibrationText(calibration_->calibration, &text, &error))
            throw std::runtime_error(error.toStdString());
        files.push_back({QString::fromLatin1(calibration::stereoCalibrationFileName), text});
    }
    if (verify_) {
        QByteArray json = verify::verificationJson(verify_->sources, verify_->results);
        if (verify_->lateralColour) {
            // One more member of the top-level object.
            json.chop(2);
            json += ",\"lateralColour\":" + verify::lateralColourJson(*verify_->lateralColour) + "}\n";
        }
        files.push_back({QString::fromLatin1(verificationFileName), json.toStdString()});
    }
    if (simulation_) {
        const simulate::SimulationCase& c = simulation_->simulation;
        for (int i = 0; i < simulate::pictureCount; ++i)
            files.push_back({simulate::pictureFileName(c.scene.kind, c.scene.depthMm, i), c.pictures.png[i].toStdString()});
    }
    return files;
}

bool writeResultFiles(const QString& directory, const std::vector<ResultFile>& files, QString* error,
                      const QString& setName, QStringList* notReplaced)
{
    AtomicFileSet set(directory, setName);
    QStringList names;
    for (const ResultFile& file : files)
        names << file.name;
    if (!set.checkTargets(names)) {
        *error = set.errorString();
        return false;
    }
    for (const ResultFile& file : files) {
        if (!set.stage(file.name, file.bytes.data(), file.bytes.size())) {
            *error = set.errorString();
            set.discard();
            if (notReplaced)
                *notReplaced = names;
            return false;
        }
    }
    if (!set.commit()) {
        *error = set.errorString();
        if (notReplaced)
            *notReplaced = set.notReplaced();
        return false;
    }
    return true;
}

QString resultFolderName(const QDateTime& when)
{
    return when.toString(QStringLiteral("'prism-'yyyy-MM-dd'T'HH-mm-ss"));
}

bool createResultFolder(const QString& parent, const QString& name, bool numbered, QString* path, QString* error)
{
    const QDir dir(parent);
    if (!dir.exists()) {
        *error = QStringLiteral("output directory '%1' does not exist").arg(parent);
        return false;
    }
    for (int attempt = 1; attempt <= 1000; ++attempt) {
        const QString candidate = attempt == 1 ? name : QStringLiteral("%1-%2").arg(name).arg(attempt);
        // mkdir fails on an existing entry: the folder is ours alone.
        if (dir.mkdir(candidate)) {
            *path = dir.absoluteFilePath(candidate);
            return true;
        }
        if (!numbered) {
            *error = dir.exists(candidate)
                         ? QStringLiteral("result folder '%1' exists already; an earlier run is never overwritten")
                               .arg(dir.filePath(candidate))
                         : QStringLiteral("result folder '%1' could not be created").arg(dir.filePath(candidate));
            return false;
        }
        if (!dir.exists(candidate)) {
            *error = QStringLiteral("result folder '%1' could not be created").arg(dir.filePath(candidate));
            return false;
        }
    }
    *error = QStringLiteral("no free result folder name '%1-N' in '%2'").arg(name, parent);
    return false;
}

}  // namespace pipeline
