#pragma once

#include "app/cli/cli_options.h"
#include "export/prism_export.h"
#include "fit/prism_file.h"
#include "pipeline/pipeline.h"
#include "report/form_sensitivity.h"
#include "verify/verify_sources.h"
#include "calibration/stereo_calibration.h"
#include "report/prism_report.h"

#include <QByteArray>
#include <QString>
#include <QVector>

// What the commands did, for the summary on standard output.

// "verify" on the files of the output directory, or "run --verify" on the
// design in memory and the fits just made.
struct CliVerification {
    std::vector<verify::VerifySource> sources;
    std::vector<verify::VerifyResult> results;
    bool geometryFromOptions = false;  // no "design.json": the panel options gave the geometry
    double seconds = 0.0;
    bool hasSensitivity = false;  // --sensitivity: of the folder's prism.json
    report::FormSensitivity sensitivity;
};

struct CliExportReport {
    QString prismFile;
    QString reason;         // why this prism file
    ExportSummary summary;  // its order, the paths written, grids, solid, points, notes
    double seconds = 0.0;
};

struct CliCalibrationReport {
    QString source;     // "design" or "fit"
    int order = 0;      // the fit's order; 0 for the design
    QString file;       // path of "stereo_calibration.yml"
    calibration::StereoCalibration result;
    double seconds = 0.0;
};

struct CliReport {
    CliRequest request;
    // The design and the fits, in the pipelines that made them: one per
    // prism order, or one for the design and every classic order.
    std::vector<pipeline::Pipeline> runs;
    bool hasDesign = false;  // runs.front() made the design
    bool hasExport = false;
    CliExportReport exportReport;
    bool hasVerification = false;
    CliVerification verification;
    bool hasCalibration = false;
    CliCalibrationReport calibration;
    bool hasPrism = false;
    report::OneShotResult prism;
    double totalSeconds = 0.0;
};

QString formatSummaryText(const CliReport& report);
QString formatVerificationText(const CliVerification& verification);
// Compact JSON, one line. Non-finite numbers appear as null.
QByteArray formatSummaryJson(const CliReport& report);
