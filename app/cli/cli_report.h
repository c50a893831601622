#pragma once

#include "app/cli/cli_options.h"
#include "app/cli/cli_verify.h"
#include "calibration/stereo_calibration.h"

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
};

struct CliFitReport {
    int order = 0;
    QString directory;
    int surface1Points = 0;
    int surface2Points = 0;
    QVector<double> coefficients1;
    QVector<double> coefficients2;
    double res1 = 0.0;
    double res2 = 0.0;
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
    bool hasVerification = false;
    CliVerification verification;
    bool hasCalibration = false;
    CliCalibrationReport calibration;
    double totalSeconds = 0.0;
};

QString formatSummaryText(const CliReport& report);
// Compact JSON, one line. Non-finite numbers appear as null.
QByteArray formatSummaryJson(const CliReport& report);
