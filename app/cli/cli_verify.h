#pragma once

// The verification of the command-line tool: "verify" on the files of the
// output directory, and "run --verify" on the design in memory and the fits
// just made.

#include "app/cli/cli_options.h"
#include "report/form_sensitivity.h"
#include "verify/verify_sources.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <vector>

struct CliFitReport;

struct CliVerification {
    std::vector<verify::VerifySource> sources;
    std::vector<verify::VerifyResult> results;
    bool geometryFromOptions = false;  // no "design.json": the panel options gave the geometry
    double seconds = 0.0;
    bool hasSensitivity = false;  // --sensitivity: of the folder's prism.json
    report::FormSensitivity sensitivity;
};

// "verify": the design of the output directory and its fits. CliExitUsage
// with one line for bad input (no design, a fit file missing or malformed),
// CliExitFailure when the map cannot be written.
int runVerifyCommand(const CliRequest& request, CliVerification* verification, QString* error);
// "run --verify": the traced record's grid and the fits' coefficients.
int runVerifyAfterRun(const CliRequest& request, const DesignRecord& record, const QVector<CliFitReport>& fits,
                      CliVerification* verification, QString* error);

QString formatVerificationText(const CliVerification& verification);
