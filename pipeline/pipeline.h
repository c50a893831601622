#pragma once

// One prism run in memory: design -> prism fit (optionally optimised) ->
// verification -> calibration of that same prism -> exports. The command-line
// tool, the window and the benchmarks all run it through this class.
//
// Usage (any thread; no widgets, no Qt Gui):
//
//     pipeline::Pipeline run;                       // the sound defaults: refraction
//     pipeline::PipelineSettings s = run.settings(); // design, order-8 prism fit,
//     s.design.panel = panel;                        // optimised, verified, calibrated
//     run.setSettings(s);                            // results whose inputs changed go stale
//     core::Progress progress([](double f, const std::string& stage) { ... });
//     run.run(&progress);            // throws core::OperationCancelled after progress.cancel(),
//                                    // std::exception with a one-line what() on bad input
//     run.fit()->fit; run.verification()->prismSummary; run.calibration()->calibration;
//     std::vector<pipeline::ResultFile> files = run.resultFiles();  // bytes, nothing written yet
//     pipeline::writeResultFiles(directory, files, &error);        // one atomic set
//
// A second run() recomputes only the stages whose inputs changed since (and
// the ones after them). The whole one-shot path, with its result folder and
// report.html, is runPrismOneShot (report/prism_report.h).

#include "pipeline/stages.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace pipeline {

enum class Stage { Design, Fit, Verify, Calibrate, Simulate, Export };

// The fit stage's kind: the prism fit (prism.json, what the calibration, the
// simulated capture and the exports are made of), or the classic fit of
// orders 3 to 8 (its files and reports; verified, nothing after it).
enum class FitKind { Prism, Classic };

struct PipelineSettings {
    DesignInput design;
    FitKind fitKind = FitKind::Prism;
    PrismFitInput fit;
    ClassicFitInput classicFit;
    VerifyInput verify;
    CalibrationInput calibration;
    SimulateInput simulation;
    ExportOptions exports;
    bool runVerify = true;
    bool runCalibration = true;
    bool runSimulation = false;  // needs the calibration; the one-shot run turns it on
    bool runExports = true;
    PipelineSettings()
    {
        design.panel.designModel = DesignModel::Refraction;
        // STEP and the drawing need their makers (export/prism_step.h,
        // export/prism_drawing.h), which the one-shot run adds.
        exports.formats = ExportGridSag | ExportStl | ExportPly;
    }
};

// A result file: its name in the result directory and its bytes.
struct ResultFile {
    QString name;
    std::string bytes;
};

// Names of the files a run writes beside the design's, prism.json, the
// exports and stereo_calibration.yml.
inline constexpr char verificationFileName[] = "verification.json";

class Pipeline {
public:
    explicit Pipeline(const PipelineSettings& settings = PipelineSettings());

    const PipelineSettings& settings() const { return settings_; }
    // New inputs; nothing runs until run(). Results whose inputs changed are
    // then stale (isStale) and are recomputed by the next run().
    void setSettings(const PipelineSettings& settings);
    void setPanel(const PanelParameters& panel);
    // A design or fit given instead of computed (e.g. read from a folder's
    // files): taken as the result of the settings' inputs, which become
    // those it was made with; every result after it goes stale. A later
    // change of those inputs computes it again.
    void setDesign(DesignResult design);
    void setFit(PrismFitResult fit);           // the fit kind becomes Prism
    void setClassicFit(ClassicFitResult fit);  // the fit kind becomes Classic

    // Brings every stage up to date, each in its share of `progress` (null:
    // no progress, no cancel). The fraction rises to exactly 1 at the end.
    // Throws core::OperationCancelled when cancelled, std::exception with a
    // one-line what() when a stage refuses its input; the results computed
    // before stay.
    void run(core::Progress* progress = nullptr);
    // The same within a part of a larger run's progress.
    void run(const core::ProgressRange& progress);

    bool hasResult(Stage stage) const;
    // A result is there but its inputs (or a result before it) changed.
    bool isStale(Stage stage) const;
    // Stages that were computed by the last run() (not taken over).
    const std::vector<Stage>& lastComputed() const { return lastComputed_; }

    const DesignResult* design() const { return design_ ? &*design_ : nullptr; }
    const PrismFitResult* fit() const { return fit_ ? &*fit_ : nullptr; }
    const ClassicFitResult* classicFit() const { return classicFit_ ? &*classicFit_ : nullptr; }
    const VerifyStageResult* verification() const { return verify_ ? &*verify_ : nullptr; }
    const CalibrationStageResult* calibration() const { return calibration_ ? &*calibration_ : nullptr; }
    const SimulateStageResult* simulation() const { return simulation_ ? &*simulation_ : nullptr; }
    const ExportStageResult* exports() const { return exports_ ? &*exports_ : nullptr; }
    // What prism.json holds for the current results.
    PrismFileContent prismContent() const;

    // The bytes of every result file of the current results, in the order
    // they are written: design files, prism.json (or the files of a classic
    // fit of one order), exports, calibration, verification, the simulated
    // capture's pictures. Empty when run() has not completed.
    std::vector<ResultFile> resultFiles() const;

private:
    struct Generation {
        unsigned self = 0;      // counts recomputations
        unsigned upstream = 0;  // the upstream result's count when this was computed
    };
    unsigned generationOf(Stage stage) const;
    bool upToDate(Stage stage) const;

    PipelineSettings settings_;
    std::optional<DesignResult> design_;
    std::optional<PrismFitResult> fit_;
    std::optional<ClassicFitResult> classicFit_;
    std::optional<VerifyStageResult> verify_;
    std::optional<CalibrationStageResult> calibration_;
    std::optional<SimulateStageResult> simulation_;
    std::optional<ExportStageResult> exports_;
    Generation generations_[6];
    unsigned counter_ = 0;
    std::vector<Stage> lastComputed_;
};

// Writes the files into `directory` (which must exist) as one set: every
// file is staged first and all replace their targets together, or none does
// (io/atomic_file_set.h). False with a one-line message; then no target
// changed.
// With `notReplaced`, the names whose targets kept their previous contents
// (none when a target was refused before anything was written; every name
// when a file could not be staged).
bool writeResultFiles(const QString& directory, const std::vector<ResultFile>& files, QString* error,
                      const QString& setName = QStringLiteral("run"), QStringList* notReplaced = nullptr);

// Creates the result folder `name` inside `parent`; with `numbered`, "-2",
// "-3"... is appended while the name is taken, without it a taken name is
// refused. Created here (mkdir fails on an existing entry), so two runs never
// share one and no earlier run is overwritten. False with a one-line message.
bool createResultFolder(const QString& parent, const QString& name, bool numbered, QString* path, QString* error);
// "prism-YYYY-MM-DDTHH-MM-SS" after `when` (local time).
QString resultFolderName(const QDateTime& when);

}  // namespace pipeline
