#pragma once

// The stages of a prism run, each a function of its inputs and a progress
// token that returns its result in memory: nothing here writes a file. The
// files are made from the results by resultFiles() (pipeline/result_files.h)
// and written at the edge, as one set.
//
//   design       panel -> surfaces (classic or refraction), the bytes of the
//                design files and the numbers of "outputall.txt"
//   prism fit    design points -> polynomial surfaces, optionally optimised
//                on the rays
//   classic fit  design points -> the classic polynomials of orders 3 to 8,
//                their files and reports (the other kind of fit)
//   verification surfaces -> traced stereo errors per half
//   calibration  surfaces -> the stereo calibration a user would get
//   simulation   prism and its calibration -> a simulated capture of a scene,
//                rectified, matched and compared with the scene's depth
//   exports      prism -> grid sag, STL and PLY bytes
//
// Every stage polls the token at its natural steps and leaves by throwing
// core::OperationCancelled when asked to stop.

#include "calibration/channel_calibration.h"
#include "calibration/stereo_calibration.h"
#include "core/progress.h"
#include "design/design_record.h"
#include "export/prism_export.h"
#include "fit/design_origin.h"
#include "fit/fit_run.h"
#include "fit/prism_file.h"
#include "fit/prism_interface.h"
#include "refine/achromat_design.h"
#include "materials/band.h"
#include "materials/material.h"
#include "refine/prism_optimize.h"
#include "parameters/panel_parameters.h"
#include "refine/surface_refinement.h"
#include "verify/lateral_colour.h"
#include "simulate/simulation.h"
#include "verify/verify_sources.h"

#include <QByteArray>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pipeline {

// Every panel value the design reads (the sketch-only resolution included,
// since the sketch's point depends on it).
bool samePanel(const PanelParameters& a, const PanelParameters& b);

// ---- Design ----

// The glass's dispersion: the material the prism is made of (the panel's
// index is its index at the design wavelength), and the band it is verified
// and calibrated in. When the record is not marked recorded, the files do
// not mention colour and no lateral colour is measured.
struct ColourInput {
    ColourRecord record;
    materials::Material material = materials::customMaterial(1.48);
    materials::Band band = materials::visibleBand();
    // Calibrate once per colour channel too (calibration/channel_calibration.h).
    std::vector<calibration::ColourChannel> channels;
};

struct DesignInput {
    PanelParameters panel;     // panel.designModel chooses the equations
    bool refine = false;       // whole-surface refinement (refraction model only)
    bool keepFullGrid = false; // keep every grid point (to verify the design itself)
    int threads = 0;           // 0: every hardware thread; the results do not depend on it
    ColourInput colour;
};
bool operator==(const DesignInput& a, const DesignInput& b);
inline bool operator!=(const DesignInput& a, const DesignInput& b) { return !(a == b); }

struct DesignResult {
    DesignInput input;
    CentralRayHit hit;
    DesignParameters parameters;
    verify::PrismGeometry geometry;
    std::shared_ptr<ScopedDesignRecord> record;  // the traced record
    std::string profileText;                     // "output.txt"
    std::string gridText;                        // "outputall.txt"
    QByteArray designJson;                       // "design.json"
    DesignOrigin origin;                         // what a fit of it records as its origin
    std::vector<double> gridValues;              // "outputall.txt" as a reader gets it back
    int nonFiniteLines = 0;
    int threads = 0;
    std::optional<RefineResult> refine;
    // The design as the verifier traces it when it was read from a folder
    // ("outputall.txt" smoothed, verify::loadDesignSource) rather than made.
    std::optional<verify::VerifySource> verifySource;
    double seconds = 0.0;
};

// A central ray parallel to the prism face gives the design no start point:
// hit undefined, NaN surfaces, which the stages after it refuse.
DesignResult runDesignStage(const DesignInput& input, const core::ProgressRange& progress);

// A design known only by its points (an "outputall.txt" read back) and the
// panel values it was made with: no record, no file texts.
DesignResult designOfPoints(const PanelParameters& panel, std::vector<double> values);

// ---- Prism fit ----

// The optimiser's pixel sample: every 40th pixel across and down, and the
// central row.
inline constexpr int optimizeSampleStep = 40;

// A prism cemented from two catalogue glasses (refine/achromat_design.h)
// instead of one glass of the panel's index.
struct AchromatChoice {
    bool enabled = false;
    QString crown = QStringLiteral("N-BK7");
    QString flint = QStringLiteral("F2");
};

struct PrismFitInput {
    int order = 8;          // 3 to 10
    bool optimize = true;   // adjust both surfaces on the traced rays
    int threads = 0;
    // The optimiser's objective (stereo: only even powers of y are fitted),
    // camera model and near depth.
    PrismObjective objective = PrismObjective::Stereo;
    optics::DistortionModel cameraModel = optics::DistortionModel::Standard;
    double nearDepthMm = 300.0;
    AchromatChoice achromat;  // needs the optimiser
};
bool operator==(const PrismFitInput& a, const PrismFitInput& b);
inline bool operator!=(const PrismFitInput& a, const PrismFitInput& b) { return !(a == b); }

// What the achromat's design found.
struct AchromatSummary {
    materials::ThinAchromat thin;        // the thin-prism pair at the centre ray
    double singleDeviationRad = 0.0;     // of the single prism there
    double centreColourPx = 0.0;         // the centre ray's shift between the band's edges
    std::array<GlassThickness, 2> thickness;  // per half
};

struct PrismFitResult {
    PrismFitInput input;
    PrismFit fit;                     // what prism.json holds and the exports are made of
    PrismOptimizedSummary optimized;  // when optimised
    std::optional<AchromatSummary> achromat;
    // A fit read from a prism file: the file's whole content, which its
    // exports are made of (panel, origin and figures as written).
    std::optional<PrismFileContent> file;
    double seconds = 0.0;
};

// A fit as the prism file holds it.
PrismFitResult prismFitOfFile(const PrismFileContent& content);

// Refused (std::invalid_argument) when the design points are not 1920
// columns of 108 lines, or an achromat is asked of glasses that are unknown,
// cannot correct colour or leave less than 1 mm of either glass.
PrismFitResult runPrismFitStage(const DesignResult& design, const PrismFitInput& input,
                                const core::ProgressRange& progress);

// ---- Classic fit ----

struct ClassicFitInput {
    std::vector<int> orders{3};  // 3 to 8, fitted side by side
    int threads = 0;
};
bool operator==(const ClassicFitInput& a, const ClassicFitInput& b);
inline bool operator!=(const ClassicFitInput& a, const ClassicFitInput& b) { return !(a == b); }

struct ClassicOrderFit {
    FitRunSummary summary;          // coefficients and residuals, Res1 and Res2 last
    verify::PrismSurfaces surfaces; // as the verifier traces them
    QString directory;              // of a fit read from a folder
};

struct ClassicFitResult {
    ClassicFitInput input;
    std::vector<ClassicOrderFit> orders;   // in the order of input.orders
    std::shared_ptr<const FitResultFiles> files;  // null for fits read from folders
    double splitSeconds = 0.0;             // splitting the design points, shared by the orders
    double seconds = 0.0;
};

// The result files of orders[index]: the two fitted-point files, the report
// and its JSON, in the order a set replaces them.
std::vector<std::pair<QString, std::string>> classicFitFiles(const ClassicFitResult& fit, std::size_t index);

// Refused (std::invalid_argument, "the fit of order N refused its input:
// ...") when a surface has fewer points inside its window than the order's
// model has terms, or its fit is not finite.
ClassicFitResult runClassicFitStage(const DesignResult& design, const ClassicFitInput& input,
                                    const core::ProgressRange& progress);

// ---- Verification ----

struct VerifyInput {
    int step = 8;
    std::vector<double> depths{1000.0, 300.0};
    bool keepPixels = true;   // for the error maps
    bool includeDesign = false;  // the design surfaces too (needs DesignInput::keepFullGrid)
    int threads = 0;
};
bool operator==(const VerifyInput& a, const VerifyInput& b);
inline bool operator!=(const VerifyInput& a, const VerifyInput& b) { return !(a == b); }

struct VerifyStageResult {
    VerifyInput input;
    std::vector<verify::VerifySource> sources;  // the design (when asked), then the prism
    std::vector<verify::VerifyResult> results;
    PrismVerifiedSummary prismSummary;          // of the prism, as prism.json records it
    // Of the prism between the band's edges: a cemented prism's always (the
    // visible band unless the design's colour names one), one glass's when
    // the design's colour is recorded; the pixels kept with keepPixels.
    std::optional<verify::LateralColour> lateralColour;
    double seconds = 0.0;
};

// Traces the design (when asked), then the classic fits, then the prism.
VerifyStageResult runVerifyStage(const DesignResult& design, const ClassicFitResult* classic,
                                 const PrismFitResult* prism, const VerifyInput& input,
                                 const core::ProgressRange& progress);
inline VerifyStageResult runVerifyStage(const DesignResult& design, const PrismFitResult* prism,
                                        const VerifyInput& input, const core::ProgressRange& progress)
{
    return runVerifyStage(design, nullptr, prism, input, progress);
}

// ---- Calibration ----

struct CalibrationInput {
    std::vector<double> depthsMm{300.0, 600.0, 1000.0, 2000.0};
    int pointsAcrossHalf = calibration::TargetOptions().pointsAcrossHalf;  // target grid points across a half
    calibration::DistortionModel model = calibration::DistortionModel::Standard;
    int threads = 0;
};
bool operator==(const CalibrationInput& a, const CalibrationInput& b);
inline bool operator!=(const CalibrationInput& a, const CalibrationInput& b) { return !(a == b); }

struct CalibrationStageResult {
    CalibrationInput input;
    calibration::StereoCalibration calibration;
    std::vector<calibration::ChannelCalibration> channels;  // when the design's colour names channels
    double seconds = 0.0;
};

// Calibrates the surfaces given, in memory. Refused (std::runtime_error with
// the reason) when the calibration fails.
CalibrationStageResult runCalibrationStage(const verify::PrismGeometry& geometry,
                                           const verify::PrismSurfaces& surfaces, const CalibrationInput& input,
                                           const core::ProgressRange& progress);

// ---- Simulated capture ----

struct SimulateInput {
    simulate::SceneOptions scene;  // the fronto plane at 1 m
    int supersample = 1;           // rays per pixel: supersample x supersample
    double rowFraction = 0.25;     // the central band of the sensor's rows captured (1: all); a
                                   // quarter keeps the one-shot's capture near a second
    bool ideal = true;             // the ideal pinhole pair beside it: the matcher's floor
    int threads = 0;
};
bool operator==(const SimulateInput& a, const SimulateInput& b);
inline bool operator!=(const SimulateInput& a, const SimulateInput& b) { return !(a == b); }

struct SimulateStageResult {
    SimulateInput input;
    simulate::SimulationCase simulation;  // figures and the four pictures
    double traceSeconds = 0.0;            // tracing every pixel of both cameras
    double seconds = 0.0;                 // the whole stage, wall time
};

// Captures the scene through the prism of `fit`, rectifies the image with
// the calibration as its file holds it, matches it with StereoSGBM and
// compares the depth; beside it the ideal pair. Refused (std::runtime_error)
// when the calibration belongs to another prism or the scene is out of view.
SimulateStageResult runSimulateStage(const DesignResult& design, const PrismFitResult& fit,
                                     const CalibrationStageResult& calibration, const SimulateInput& input,
                                     const core::ProgressRange& progress);

// ---- Exports ----

struct ExportStageResult {
    ExportOptions options;
    ExportSummary summary;
    std::vector<std::pair<QString, std::string>> files;  // name, bytes
};

// Refused (std::invalid_argument) when the surfaces cross.
ExportStageResult runExportStage(const PrismFileContent& prism, const std::vector<double>& designValues,
                                 const ExportOptions& options, const core::ProgressRange& progress);

// What prism.json holds for a fit of a design, with its verification.
PrismFileContent prismFileContent(const DesignResult& design, const PrismFitResult& fit,
                                  const VerifyStageResult* verification);

}  // namespace pipeline
