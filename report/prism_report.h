#pragma once

// The one-shot prism run ("harvenlotek-cli prism", the window's "Design
// prism"): refraction design, prism fit with the optimiser, verification,
// the predicted calibration of that same prism and the exports, written into
// a result folder of its own with a one-page, self-contained "report.html".
// Runs on any thread; needs a QGuiApplication (fonts of the error maps).

#include "pipeline/pipeline.h"
#include "report/form_sensitivity.h"

#include <QString>
#include <QStringList>

namespace report {

inline constexpr char reportFileName[] = "report.html";
inline constexpr char mapFileName[] = "verification_map.png";
inline constexpr char colourMapFileName[] = "lateral_colour_map.png";

struct OneShotOptions {
    pipeline::PipelineSettings settings;  // settings.fit.order 0: the best of orders 6 to 10
    QString outputDir = QStringLiteral(".");
    QString folderName;                   // empty: "prism-" and the date and time, numbered when taken
    bool allExports = true;               // STEP and the drawing too, besides settings.exports
    bool sensitivity = false;             // the form error sensitivity too (a few seconds more)
    FormSensitivityOptions sensitivityOptions;
    bool simulate = true;                 // the simulated capture of settings.simulation (with the calibration)
};

// The figures a user looks at first.
struct HeadlineFigures {
    int order = 0;
    double directionRmsPx = 0.0;
    double directionMaxPx = 0.0;
    double calibratedLeftRmsPx = 0.0;
    double calibratedRightRmsPx = 0.0;
    double depthErrorPercentAt1m = 0.0;  // RMS, of the calibrated pair at the depth nearest 1 m
    double baselineMm = 0.0;
    // The simulated capture of a scene (a fronto plane at 1 m), rectified and
    // matched by StereoSGBM: depth RMS, the ideal pinhole pair's (the
    // matcher's floor), the prism's share (the excess over the floor) and
    // the geometric vertical disparity after rectification. NaN without one.
    double simulatedDepthMm = 0.0;
    double simulatedRowFraction = 0.0;  // the central band of the rows captured
    double simulatedDepthRmsPercent = 0.0;
    double simulatedFloorRmsPercent = 0.0;
    double simulatedPrismSharePercent = 0.0;
    double simulatedVerticalDisparityRmsPx = 0.0;
    double simulationSeconds = 0.0;
    double seconds = 0.0;
};

HeadlineFigures headlineFigures(const pipeline::Pipeline& run, double seconds);
// "depth RMS 0.771 % at 1 m, floor 0.176 %, prism's share 0.595 %; vertical
// disparity 0.007 px (central 25 % of rows)", RMS figures on one line, for
// the command and the window.
QString simulatedFiguresText(const HeadlineFigures& figures);

struct OneShotResult {
    QString folder;          // absolute path
    QStringList written;     // file names, in the order written
    HeadlineFigures figures;
    pipeline::Pipeline run;  // the results in memory
    std::vector<int> triedOrders;  // with order 0: the orders compared
    bool writeFailed = false;      // every stage succeeded, the folder or a file could not be written
    bool hasSensitivity = false;
    FormSensitivity sensitivity;   // when asked for: of the prism written
};

// Runs the whole path and writes the folder. Nothing is written until every
// stage has succeeded; the folder is made only then, and removed again when
// its files cannot be written. Throws core::OperationCancelled when
// cancelled (nothing written); false with a one-line message on bad input or
// a write failure.
bool runPrismOneShot(const OneShotOptions& options, core::Progress* progress, OneShotResult* result,
                     QString* error);

// The page: figures, the error maps embedded as data: URIs, the files.
// With `sensitivity`, its table too; with lateral colour (when the run
// measured it), its figures and map.
std::string reportHtml(const pipeline::Pipeline& run, const HeadlineFigures& figures, const QByteArray& mapPng,
                       const QStringList& files, const FormSensitivity* sensitivity = nullptr,
                       const QByteArray& colourMapPng = QByteArray());

// What each colour channel's own calibration keeps: its residual per half,
// principal point and baseline (empty text without channels).
QString channelCalibrationTable(const std::vector<calibration::ChannelCalibration>& channels);

}  // namespace report
