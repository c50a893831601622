#pragma once

#include "app/cli/cli_options.h"
#include "fit/prism_file.h"
#include "app/cli/cli_verify.h"
#include "calibration/stereo_calibration.h"
#include "report/prism_report.h"

#include <QByteArray>
#include <QString>
#include <QVector>

// What the commands did, for the summary on standard output.

struct CliDesignReport {
    // The angle spin box's value after the run's settings (and the "fix
    // angle" rule) and the single-precision angle the design took.
    double panelAngleDeg = 0.0;
    float designAngleDeg = 0.0f;
    // The sketch's point on the right prism face; undefined when the central
    // ray runs parallel to the face.
    bool centralRayHitDefined = true;
    double centralRayHitX = 0.0;
    double centralRayHitY = 0.0;
    int profilePoints = 0;      // rows of "output.txt"
    int gridPoints = 0;         // rows of "outputall.txt"
    int nonFinitePoints = 0;    // rows of "outputall.txt" holding an infinity or NaN
    int threads = 0;
    double seconds = 0.0;
    // With --refine: what the refinement did.
    bool refineRan = false;
    bool refineApplied = false;
    bool refineConverged = false;
    int refineIterations = 0;
    double refineSeconds = 0.0;
    double refineStartDirectionRms[2] = {0.0, 0.0};  // verifier, px, left and right half
    double refineFinalDirectionRms[2] = {0.0, 0.0};
    QString refineMessage;
};

// One surface of a prism fit.
struct CliPrismSurfaceReport {
    int points = 0;
    double x0 = 0.0;
    double radius = 0.0;
    double rmsMm = 0.0;
    double maxMm = 0.0;
    double conditionNumber = 0.0;
    double mirrorMaxMm = 0.0;
};

struct CliFitReport {
    int order = 0;
    bool prism = false;  // a prism fit: the two surface reports below, no classic results
    CliPrismSurfaceReport exit;
    CliPrismSurfaceReport entrance;
    PrismFit prismFit;                 // the surfaces as written to prism.json
    PrismOptimizedSummary optimized;   // when --optimize
    PrismVerifiedSummary verified;     // when verified (--optimize, run --verify)
    QString directory;
    int surface1Points = 0;
    int surface2Points = 0;
    QVector<double> coefficients1;
    QVector<double> coefficients2;
    double res1 = 0.0;
    double res2 = 0.0;
    double seconds = 0.0;
};

struct CliExportReport {
    QString prismFile;
    QString reason;  // why this prism file
    int order = 0;
    QStringList written;
    int entranceGrid[2] = {0, 0};  // nx, ny
    int exitGrid[2] = {0, 0};
    QStringList notes;  // STEP solid, drawing
    int triangles = 0;
    double sagErrorMm = 0.0;
    double apertureX = 0.0;  // half widths of the solid's footprint, mm
    double apertureY = 0.0;
    int exitPoints = 0;
    int entrancePoints = 0;
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
    bool hasDesign = false;
    CliDesignReport design;
    QVector<CliFitReport> fits;
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
// Compact JSON, one line. Non-finite numbers appear as null.
QByteArray formatSummaryJson(const CliReport& report);
