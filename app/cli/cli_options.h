#pragma once

#include "design/refraction_design.h"
#include "parameters/panel_parameters.h"
#include "pipeline/colour.h"

#include <QString>
#include <QStringList>
#include <QVector>

// What one call of harvenlotek-cli asks for, after parsing and validation.
// The panel values are already inside the panel's ranges, rounded the way
// its spin boxes round, and "fix angle" applied, so the commands never see
// bad input.

enum class CliCommand { Help, Design, Fit, Run, Verify, Export, Calibrate, Prism };

// The fit models: the classic report of orders 3 to 8, and the per-half
// polynomials of the prism (orders 3 to 10, "prism.json").
enum class CliFitModel { Classic, Prism };

struct CliRequest {
    CliCommand command = CliCommand::Help;
    // For Help: the command whose help is wanted, empty for the tool's.
    QString helpTopic;
    PanelParameters panel;
    // Fit orders in the order they run; allOrders when "--order all".
    QVector<int> orders;
    bool allOrders = false;
    // Absolute path; validated to exist and to be writable.
    QString outputDir;
    bool json = false;
    // 0: the design's own choice.
    int threads = 0;
    // The equations the design solves; classic unless asked otherwise.
    CliFitModel fitModel = CliFitModel::Classic;
    bool optimize = false;  // prism fit: optimise on the rays, then verify
    bool sensitivity = false;  // verify, prism: the form error sensitivity too
    QString objective = QStringLiteral("stereo");      // or "mapping"
    double nearDepth = 300.0;                          // mm, stereo objective
    QString cameraModel = QStringLiteral("standard");  // of the camera solved with the prism
    // Export: the formats (ExportFormat bits), the prism file found for the
    // order asked (0: none asked), why it was chosen, and the directory the
    // exports go to (that of the prism file).
    unsigned exportFormats = 0;
    int exportOrder = 0;
    QString exportPrismFile;
    QString exportReason;
    QString exportDirectory;
    // Verification: "verify", or "run --verify".
    bool verify = false;
    int verifyStep = 8;
    QVector<double> verifyDepths{1000.0, 300.0};
    QString mapPath;  // absolute; empty: no map
    // Whole-surface refinement after the columns (refraction model only).
    bool refine = false;
    // The predicted stereo calibration: the calibrate command, or run with
    // --calibrate. Depths empty: the calibration's own (300, 600, 1000, 2000).
    bool calibrate = false;
    QVector<double> calibrationDepths;
    QString calibrationModel = QStringLiteral("standard");  // or "rational"
    QString calibrationSource = QStringLiteral("design");   // or "fit"
    int calibrationOrder = 0;                               // the fit's order when the source is "fit"
    // prism: the order (0: the best of 6 to 10) and the result folder's name
    // (empty: by date and time).
    int prismOrder = 8;
    QString folderName;
    // prism --achromat: each half cemented from these two catalogue glasses.
    bool achromat = false;
    QString crown = QStringLiteral("N-BK7");
    QString flint = QStringLiteral("F2");
    // prism: --material, --wavelength, --band, --catalogue, and what they
    // resolve to (the panel's index is the material's at the wavelength).
    pipeline::ColourChoice colourChoice;
    pipeline::ColourInput colour;
};

QString cliCommandName(CliCommand command);

// The version of the JSON the tool prints ("schemaVersion" of every object):
// raised when a key changes meaning or goes; new keys keep it.
inline constexpr int cliJsonSchemaVersion = 1;

// Exit codes of the tool.
// 3: another run holds the output directory's lock; nothing was written.
enum CliExitCode { CliExitOk = 0, CliExitFailure = 1, CliExitUsage = 2, CliExitLocked = 3 };

// Parses the arguments after the program name and checks everything that can
// be checked before a file is written: values, ranges, the output directory
// and, for a fit on its own, its input file. Returns false with a one-line
// message in *error on bad input.
bool parseCliArguments(const QStringList& arguments, CliRequest* request, QString* error);

// The directory a fit of `order` writes its three files to.
QString fitOutputDirectory(const CliRequest& request, int order);
