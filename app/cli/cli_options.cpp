#include "app/cli/cli_options.h"

#include "calibration/calibration_file.h"
#include "calibration/prism_calibration.h"
#include "design/design_files.h"
#include "export/prism_export.h"
#include "fit/prism_file.h"
#include "fit/prism_fit.h"
#include "refine/prism_optimize.h"
#include "fit/fit_files.h"
#include "io/atomic_file_set.h"
#include "io/safe_input.h"
#include "materials/achromat.h"
#include "verify/verify_sources.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cmath>
#include <utility>

namespace {

constexpr int maxThreads = 256;

// Which commands take an option.
enum CommandMask : unsigned {
    ForDesign = 1u << static_cast<int>(CliCommand::Design),
    ForFit = 1u << static_cast<int>(CliCommand::Fit),
    ForRun = 1u << static_cast<int>(CliCommand::Run),
    ForExport = 1u << static_cast<int>(CliCommand::Export),
    ForVerify = 1u << static_cast<int>(CliCommand::Verify),
    ForCalibrate = 1u << static_cast<int>(CliCommand::Calibrate),
    ForPrism = 1u << static_cast<int>(CliCommand::Prism),
    ForDesignStage = ForDesign | ForRun | ForCalibrate | ForPrism,
    ForFitStage = ForFit | ForRun,
    ForVerifying = ForVerify | ForRun,
    ForCalibration = ForRun | ForCalibrate,
    ForAll = ForDesign | ForFit | ForRun | ForVerify | ForExport | ForCalibrate | ForPrism,
};

bool accepts(unsigned mask, CliCommand command)
{
    return (mask & (1u << static_cast<int>(command))) != 0;
}

// One option: its name, value name (empty for a switch), help lines and the
// commands that take it. Panel fields take name, range and start value from
// the parameter model.
struct OptionRule {
    QString name;
    QString valueName;
    QString help;
    unsigned commands;
};

// The range of a panel field as its help shows it: "4 to 40 (default 35)".
QString rangeText(const PanelFieldRange& r)
{
    const auto shown = [&r](double value) {
        return QString::number(value, 'f', value == std::floor(value) ? 0 : r.decimals);
    };
    QString text = QStringLiteral("%1 to %2").arg(shown(r.low), shown(r.high));
    if (r.decimals == 2)
        text += QStringLiteral(", two decimals");
    return text + QStringLiteral(" (default %1)").arg(QString::number(r.start));
}

OptionRule panelOption(PanelField field)
{
    const PanelFieldRange& r = panelFieldRange(field);
    return {QString::fromLatin1(r.option), QString::fromLatin1(r.valueName),
            QStringLiteral("%1, %2").arg(QString::fromLatin1(r.help), rangeText(r)), ForDesignStage | ForFit | ForVerify};
}

// In the order the help lists them.
const QVector<OptionRule>& optionRules()
{
    static const QVector<OptionRule> rules = [] {
        QVector<OptionRule> s;
        s.append({QStringLiteral("order"), QStringLiteral("N|all"),
                  QStringLiteral("polynomial order of the fit, 3 to 8 (prism: 3 to 10), or\n"
                                 "all of them in turn; with 'all' each order writes to\n"
                                 "D/order-N/. export: the prism fit of order N (from\n"
                                 "D/order-N/ after an 'all' run); without it the best one"),
                  ForFitStage | ForVerify | ForExport | ForCalibrate | ForPrism});
        s.append({QStringLiteral("fit-model"), QStringLiteral("M"),
                  QStringLiteral("classic (default): the fit report of orders 3 to 8;\n"
                                 "prism: each half's own exit and entrance surfaces, right\n"
                                 "half the mirror image, written to prism.json (on fit,\n"
                                 "the panel options record the design's values there)"),
                  ForFitStage});
        s.append({QStringLiteral("optimize"), QString(),
                  QStringLiteral("prism fit: then adjust both surfaces so that the traced\n"
                                 "rays of every 40th pixel (and the central row) leave\n"
                                 "along the virtual cameras' rays (Levenberg-Marquardt),\n"
                                 "and verify the result"),
                  ForFitStage});
        s.append({QStringLiteral("objective"), QStringLiteral("O"),
                  QStringLiteral("what --optimize minimises: stereo (default: per half the\n"
                                 "rays' distance from one common point and the residual\n"
                                 "after the best camera of --camera-model; only even powers\n"
                                 "of y) or mapping (direction and pinhole offset)"),
                  ForFitStage});
        s.append({QStringLiteral("near-depth"), QStringLiteral("Z"),
                  QStringLiteral("stereo objective: the nearest working depth in mm below\n"
                                 "the prism base the non-centrality is weighted at\n"
                                 "(default 300; within the panel's working range)"),
                  ForFitStage});
        s.append({QStringLiteral("camera-model"), QStringLiteral("M"),
                  QStringLiteral("stereo objective: OpenCV distortion model of the camera\n"
                                 "solved with the prism: standard (default), rational,\n"
                                 "thinprism or tilted"),
                  ForFitStage});
        s.append({QStringLiteral("format"), QStringLiteral("F"),
                  QStringLiteral("gridsag (surface_entrance_left.dat and _right, the same\n"
                                 "for surface_exit), stl (prism.stl), ply\n"
                                 "(design_surfaces.ply), step (prism.step, surfaces.step),\n"
                                 "drawing (prism_drawing.pdf) or all; frame.txt always"),
                  ForExport});
        s.append(panelOption(PanelField::FocalLength));
        s.append(panelOption(PanelField::PrismDistance));
        s.append(panelOption(PanelField::PrismSize));
        s.append(panelOption(PanelField::Angle));
        s.append(panelOption(PanelField::RefractiveIndex));
        s.append({QStringLiteral("fix-angle"), QString(),
                  QStringLiteral("replace the angle by the \"fix angle\" rule of the window\n"
                                 "(the angle at which the central ray of each half image\n"
                                 "leaves the prism along the axis)"),
                  ForDesignStage | ForFit | ForVerify});
        s.append({QStringLiteral("design-model"), QStringLiteral("M"),
                  QStringLiteral("refraction (default: both surfaces obey the law of\n"
                                 "refraction at every stored point) or classic (the surfaces\n"
                                 "as they have always been designed)"),
                  ForDesignStage});
        s.append({QStringLiteral("refine"), QString(),
                  QStringLiteral("refine both surfaces over the whole sensor after the\n"
                                 "columns (refraction model only); kept only when the\n"
                                 "verifier finds it no worse"),
                  ForDesignStage});
        s.append({QStringLiteral("threads"), QStringLiteral("N"),
                  QStringLiteral("threads for the design and the verification (default: all\nprocessors)"),
                  ForDesignStage | ForVerify});
        s.append({QStringLiteral("verify"), QString(),
                  QStringLiteral("after the run, trace the pixels through the surfaces and\n"
                                 "report their stereo errors (as the verify command)"),
                  ForRun});
        s.append({QStringLiteral("step"), QStringLiteral("S"),
                  QStringLiteral("verify every S-th pixel across and down, 1 or more\n"
                                 "(default 8; 1 traces all 2,073,600 pixels)"),
                  ForVerifying});
        s.append({QStringLiteral("depth"), QStringLiteral("Z"),
                  QStringLiteral("scene depth in mm for the reprojection error; may be\n"
                                 "given more than once (default 1000 and 300); for the\n"
                                 "calibration, a target depth below the prism base\n"
                                 "(default 300, 600, 1000 and 2000)"),
                  ForVerifying | ForCalibrate});
        s.append({QStringLiteral("calibrate"), QString(),
                  QStringLiteral("after the run, predict the stereo calibration (see 'calibrate')"), ForRun});
        s.append({QStringLiteral("model"), QStringLiteral("M"),
                  QStringLiteral("OpenCV distortion model of the calibration: standard\n"
                                 "(k1 k2 p1 p2 k3, default), rational (k1 .. k6, p1 p2),\n"
                                 "thinprism (also s1 .. s4) or tilted (also tauX tauY)"),
                  ForCalibration});
        s.append({QStringLiteral("source"), QStringLiteral("S"),
                  QStringLiteral("prism to calibrate: design (the design surfaces, default),\n"
                                 "fit (the classic fit of --order) or prism (the prism fit\n"
                                 "of --order, computed in memory)"),
                  ForCalibration});
        s.append({QStringLiteral("map"), QStringLiteral("FILE.png"),
                  QStringLiteral("write an error map of every verified source as a PNG"),
                  ForVerifying});
        // The form error sensitivity: a few seconds, so asked for.
        s.append({QStringLiteral("sensitivity"), QString(),
                  QStringLiteral("also recalibrate the prism with 0.5 and 2 um RMS of smooth\n"
                                 "form error on each surface (3 seeds) and report the\n"
                                 "residual per um (\"sensitivity\" in verification.json)"),
                  ForVerify | ForPrism});
        // ---- Colour: the prism's material, design wavelength and band ----
        s.append({QStringLiteral("material"), QStringLiteral("NAME"),
                  QStringLiteral("the prism's material: custom (default: the constant\n"
                                 "--index), N-BK7, F2, N-K5, N-SF2, fused silica, PMMA,\n"
                                 "polycarbonate, Zeonex E48R, or one of --catalogue; sets\n"
                                 "the index to the material's at --wavelength"),
                  ForPrism});
        s.append({QStringLiteral("wavelength"), QStringLiteral("NM"),
                  QStringLiteral("design wavelength in nm (default 587.56, the d line)"), ForPrism});
        s.append({QStringLiteral("band"), QStringLiteral("B"),
                  QStringLiteral("band verified and calibrated in: visible (F to C, 486.13\n"
                                 "to 656.27 nm, default), nir850 (825-875), nir940\n"
                                 "(915-965) or W1-W2 in nm; weighed at its edges and centre"),
                  ForPrism});
        s.append({QStringLiteral("catalogue"), QStringLiteral("FILE"),
                  QStringLiteral("a material catalogue whose entries add to or replace the\n"
                                 "built-in ones"),
                  ForPrism});
        s.append({QStringLiteral("channel-calibration"), QString(),
                  QStringLiteral("also calibrate once per colour channel: R, G, B at 610,\n"
                                 "550, 465 nm (visible band), else the band's edges and centre"),
                  ForPrism});
        // ---- end of colour ----
        s.append({QStringLiteral("folder"), QStringLiteral("NAME"),
                  QStringLiteral("name of the result folder inside D (default: prism- and\n"
                                 "the date and time, numbered when taken); a folder that\n"
                                 "exists already is refused"),
                  ForPrism});
        // ---- achromat (prism) ----
        s.append({QStringLiteral("achromat"), QString(),
                  QStringLiteral("cement each half from a crown and a flint whose interface\n"
                                 "makes F and C leave the half's centre parallel"),
                  ForPrism});
        s.append({QStringLiteral("crown"), QStringLiteral("NAME"),
                  QStringLiteral("the achromat's crown, behind the entrance (default N-BK7)"), ForPrism});
        s.append({QStringLiteral("flint"), QStringLiteral("NAME"),
                  QStringLiteral("the achromat's flint, in front of the exit (default F2)"), ForPrism});
        // ---- end achromat ----
        s.append({QStringLiteral("output-dir"), QStringLiteral("D"),
                  QStringLiteral("directory of the result files (default: the current one);\n"
                                 "it must exist and be writable; export reads the prism fit\n"
                                 "there and writes beside it"),
                  ForAll});
        s.append({QStringLiteral("json"), QString(), QStringLiteral("print the summary as JSON instead of text"),
                  ForAll});
        s.append({QStringLiteral("help"), QString(), QStringLiteral("show this help"), ForAll});
        return s;
    }();
    return rules;
}

QString quoted(const QString& text)
{
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

// A panel field's value: a whole number, or a number rounded to the spin
// box's two decimals after the range check (both ends of each such range are
// two-decimal values, so the rounded value stays inside).
bool parsePanelValue(PanelField field, const QString& text, double* value, QString* error)
{
    const PanelFieldRange& r = panelFieldRange(field);
    const QString option = QStringLiteral("--") + QString::fromLatin1(r.option);
    const QString low = QString::number(r.low, 'f', r.decimals);
    const QString high = QString::number(r.high, 'f', r.decimals);
    bool ok = false;
    const double parsed = r.decimals == 0 ? text.toInt(&ok, 10) : text.toDouble(&ok);
    if (!ok || !std::isfinite(parsed)) {
        *error = QStringLiteral("%1 needs %2 from %3 to %4, got %5")
                     .arg(option, r.decimals == 0 ? QStringLiteral("a whole number") : QStringLiteral("a number"),
                          low, high, quoted(text));
        return false;
    }
    if (!(parsed >= r.low && parsed <= r.high)) {
        *error = QStringLiteral("%1 must be from %2 to %3, got %4").arg(option, low, high, text);
        return false;
    }
    *value = r.decimals == 0 ? parsed : roundToSpinBoxDecimals(parsed, r.decimals);
    return true;
}

// Creating (and at once removing) a file is the only test that also holds for
// the superuser and for read-only file systems.
bool directoryIsWritable(const QString& path)
{
    QTemporaryFile probe(QDir(path).filePath(QStringLiteral(".harvenlotek-cli-XXXXXX")));
    return probe.open();
}

bool checkOutputDirectory(const QString& path, QString* error)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        *error = QStringLiteral("output directory %1 does not exist").arg(quoted(path));
        return false;
    }
    if (!info.isDir()) {
        *error = QStringLiteral("output directory %1 is not a directory").arg(quoted(path));
        return false;
    }
    if (!directoryIsWritable(path)) {
        *error = QStringLiteral("output directory %1 cannot be written").arg(quoted(path));
        return false;
    }
    return true;
}

// A result file that is a directory, a FIFO, a device or a dangling or
// looping link would only fail half-way through a run: refused up front.
bool checkResultFiles(const QString& directory, const QStringList& names, QString* error)
{
    if (classifyPath(directory) == PathKind::Missing)
        return true;  // an order's directory, made when the run gets there
    for (const QString& name : names) {
        const QString reason = checkOutputTarget(QDir(directory).filePath(name));
        if (!reason.isEmpty()) {
            *error = reason;
            return false;
        }
    }
    return true;
}

const QStringList& designFiles()
{
    static const QStringList names{QString::fromLatin1(designProfileFileName),
                                   QString::fromLatin1(designPointsFileName)};
    return names;
}

const QStringList& fitFiles()
{
    static const QStringList names{QString::fromLatin1(surface1FitFileName), QString::fromLatin1(surface2FitFileName),
                                   QString::fromLatin1(fitReportFileName), QString::fromLatin1(surface1PointsFileName),
                                   QString::fromLatin1(surface2PointsFileName)};
    return names;
}

const QStringList& prismFiles()
{
    static const QStringList names{QString::fromLatin1(prismFileName)};
    return names;
}

const QStringList& exportFiles()
{
    static const QStringList names = exportFileNames();
    return names;
}

bool checkFitDirectory(const CliRequest& request, int order, QString* error)
{
    const QString directory = fitOutputDirectory(request, order);
    if (request.allOrders) {
        const QFileInfo info(directory);
        if (info.exists() && !info.isDir()) {
            *error = QStringLiteral("%1 exists and is not a directory").arg(quoted(directory));
            return false;
        }
        if (info.exists() && !directoryIsWritable(directory)) {
            *error = QStringLiteral("directory %1 cannot be written").arg(quoted(directory));
            return false;
        }
    }
    return checkResultFiles(directory, request.fitModel == CliFitModel::Prism ? prismFiles() : fitFiles(), error);
}

bool parseCommand(const QString& word, CliCommand* command)
{
    for (CliCommand c : {CliCommand::Design, CliCommand::Fit, CliCommand::Run, CliCommand::Verify, CliCommand::Export,
                         CliCommand::Calibrate, CliCommand::Prism}) {
        if (word == cliCommandName(c)) {
            *command = c;
            return true;
        }
    }
    return false;
}

bool parseOrders(const QString& text, CliRequest* request, QString* error)
{
    const PanelFieldRange& r = panelFieldRange(PanelField::FitOrder);
    const bool prism = request->fitModel == CliFitModel::Prism;
    const int low = prism ? lowestPrismOrder : static_cast<int>(r.low);
    const int high = prism ? highestPrismOrder : static_cast<int>(r.high);
    if (text == QLatin1String("all")) {
        request->allOrders = true;
        for (int order = low; order <= high; ++order)
            request->orders.append(order);
        return true;
    }
    bool ok = false;
    const int order = text.toInt(&ok, 10);
    if (!ok || order < low || order > high) {
        *error = QStringLiteral("--order must be a whole number from %1 to %2 or 'all', got %3")
                     .arg(low).arg(high).arg(quoted(text));
        return false;
    }
    request->orders.append(order);
    return true;
}

// The panel fields the command line sets, with the model member each fills.
struct PanelOption {
    PanelField field;
    void (*apply)(PanelParameters&, double);
};
const PanelOption panelOptions[] = {
    {PanelField::FocalLength, [](PanelParameters& p, double v) { p.focalLength = static_cast<int>(v); }},
    {PanelField::PrismDistance, [](PanelParameters& p, double v) { p.prismDistance = static_cast<int>(v); }},
    {PanelField::PrismSize, [](PanelParameters& p, double v) { p.prismSize = static_cast<int>(v); }},
    {PanelField::Angle, [](PanelParameters& p, double v) { p.setAngle(v); }},
    {PanelField::RefractiveIndex, [](PanelParameters& p, double v) { p.refractiveIndex = v; }},
};

// --format and --order of an export.
bool parseExportOptions(const QCommandLineParser& parser, CliRequest* request, QString* error)
{
    if (!parser.isSet(QStringLiteral("format"))) {
        *error = QStringLiteral("export needs --format gridsag, stl, ply, step, drawing or all");
        return false;
    }
    const QString format = parser.value(QStringLiteral("format"));
    request->exportFormats = exportFormatFromName(format);
    if (request->exportFormats == 0) {
        *error = QStringLiteral("--format must be gridsag, stl, ply, step, drawing or all, got %1").arg(quoted(format));
        return false;
    }
    if (parser.isSet(QStringLiteral("order"))) {
        const QString text = parser.value(QStringLiteral("order"));
        bool ok = false;
        request->exportOrder = text.toInt(&ok, 10);
        if (!ok || request->exportOrder < lowestPrismOrder || request->exportOrder > highestPrismOrder) {
            *error = QStringLiteral("export --order must be a whole number from %1 to %2, got %3")
                         .arg(lowestPrismOrder)
                         .arg(highestPrismOrder)
                         .arg(quoted(text));
            return false;
        }
    }
    return true;
}

// The prism file to export, the directory the exports go to, and the design
// points the PLY export reads: all there before anything is written.
bool locateExport(CliRequest* request, QString* error)
{
    if (!locatePrismFile(request->outputDir, request->exportOrder, &request->exportPrismFile,
                         &request->exportReason, error))
        return false;
    PrismFileContent content;
    if (!readPrismFile(request->exportPrismFile, &content, error))
        return false;
    request->exportDirectory = QFileInfo(request->exportPrismFile).absolutePath();
    if (!directoryIsWritable(request->exportDirectory)) {
        *error = QStringLiteral("directory %1 cannot be written").arg(quoted(request->exportDirectory));
        return false;
    }
    if (!checkResultFiles(request->exportDirectory, exportFiles(), error))
        return false;
    if (request->exportFormats & ExportPly) {
        const QFileInfo input(QDir(request->outputDir).filePath(QString::fromLatin1(designPointsFileName)));
        if (!input.isFile() || !input.isReadable()) {
            *error = QStringLiteral("the PLY export needs the design points %1")
                         .arg(quoted(input.absoluteFilePath()));
            return false;
        }
    }
    return true;
}

// --step, --depth and --map.
bool parseVerifyOptions(const QCommandLineParser& parser, CliRequest* request, QString* error)
{
    if (parser.isSet(QStringLiteral("step"))) {
        const QString text = parser.value(QStringLiteral("step"));
        bool ok = false;
        request->verifyStep = text.toInt(&ok, 10);
        if (!ok || request->verifyStep < 1) {
            *error = QStringLiteral("--step must be a whole number of 1 or more, got %1").arg(quoted(text));
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("depth"))) {
        request->verifyDepths.clear();
        for (const QString& text : parser.values(QStringLiteral("depth"))) {
            bool ok = false;
            const double depth = text.toDouble(&ok);
            if (!ok || !std::isfinite(depth) || depth <= 0.0) {
                *error = QStringLiteral("--depth must be a distance in mm above 0, got %1").arg(quoted(text));
                return false;
            }
            request->verifyDepths.append(depth);
        }
    }
    if (parser.isSet(QStringLiteral("map"))) {
        const QFileInfo map(parser.value(QStringLiteral("map")));
        if (map.fileName().isEmpty() || map.suffix().compare(QLatin1String("png"), Qt::CaseInsensitive) != 0) {
            *error = QStringLiteral("--map needs a file name ending in .png, got %1").arg(quoted(map.filePath()));
            return false;
        }
        if (!map.absoluteDir().exists() || (map.exists() && !map.isFile())) {
            *error = QStringLiteral("the map %1 cannot be written there").arg(quoted(map.filePath()));
            return false;
        }
        request->mapPath = map.absoluteFilePath();
    }
    return true;
}

// The design file the verify command needs, and the fit files it is asked for.
bool checkVerifyInputs(const CliRequest& request, QString* error)
{
    const QFileInfo design(QDir(request.outputDir).filePath(QString::fromLatin1(designPointsFileName)));
    if (!design.isFile() || !design.isReadable()) {
        *error = QStringLiteral("no design in %1 (no readable %2); run 'harvenlotek-cli design' first")
                     .arg(quoted(request.outputDir), QString::fromLatin1(designPointsFileName));
        return false;
    }
    return true;
}

// --objective, --near-depth and --camera-model of the optimiser.
bool parseOptimizerOptions(const QCommandLineParser& parser, CliRequest* request, QString* error)
{
    const bool given = parser.isSet(QStringLiteral("objective")) || parser.isSet(QStringLiteral("near-depth"))
                       || parser.isSet(QStringLiteral("camera-model"));
    if (given && !parser.isSet(QStringLiteral("optimize"))) {
        *error = QStringLiteral("--objective, --near-depth and --camera-model need --optimize");
        return false;
    }
    if (parser.isSet(QStringLiteral("objective"))) {
        request->objective = parser.value(QStringLiteral("objective"));
        PrismObjective objective;
        if (!parsePrismObjective(request->objective, &objective)) {
            *error = QStringLiteral("--objective must be stereo or mapping, got %1").arg(quoted(request->objective));
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("camera-model"))) {
        request->cameraModel = parser.value(QStringLiteral("camera-model"));
        calibration::DistortionModel model;
        if (!calibration::parseDistortionModel(request->cameraModel, &model)) {
            *error = QStringLiteral("--camera-model must be standard, rational, thinprism or tilted, got %1")
                         .arg(quoted(request->cameraModel));
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("near-depth"))) {
        const QString text = parser.value(QStringLiteral("near-depth"));
        bool ok = false;
        request->nearDepth = text.toDouble(&ok);
        if (!ok || !std::isfinite(request->nearDepth)) {
            *error = QStringLiteral("--near-depth must be a number of mm, got %1").arg(quoted(text));
            return false;
        }
    }
    if (given && request->objective != QLatin1String("stereo")
        && (parser.isSet(QStringLiteral("near-depth")) || parser.isSet(QStringLiteral("camera-model")))) {
        *error = QStringLiteral("--near-depth and --camera-model need --objective stereo");
        return false;
    }
    return true;
}

// The near depth inside the working range of the panel's prism.
bool checkNearDepth(const CliRequest& request, QString* error)
{
    const verify::DepthRange range = verify::stereoWorkingRange(verify::geometryOfPanel(request.panel));
    if (request.nearDepth >= range.nearMm && request.nearDepth <= range.farMm)
        return true;
    *error = QStringLiteral("--near-depth %1 mm is outside the working range of this prism, %2 to %3 mm")
                 .arg(QString::number(request.nearDepth), QString::number(range.nearMm, 'f', 0),
                      QString::number(range.farMm, 'f', 0));
    return false;
}

// --calibrate, --depth, --model and --source; the calibrate command always
// calibrates. --depth also serves the verification of run --verify.
bool parseCalibrationOptions(const QCommandLineParser& parser, CliRequest* request, QString* error)
{
    request->calibrate = request->command == CliCommand::Calibrate || parser.isSet(QStringLiteral("calibrate"));
    const bool given = (parser.isSet(QStringLiteral("depth")) && !request->verify)
                       || parser.isSet(QStringLiteral("model")) || parser.isSet(QStringLiteral("source"));
    if (!request->calibrate) {
        if (given) {
            *error = QStringLiteral("--depth, --model and --source need --calibrate");
            return false;
        }
        return true;
    }
    for (const QString& text : parser.values(QStringLiteral("depth"))) {
        bool ok = false;
        const double depth = text.toDouble(&ok);
        if (!ok || !std::isfinite(depth) || depth <= 0.0 || depth > 1e6) {
            *error = QStringLiteral("--depth needs a depth in mm above 0 and up to 1000000, got %1").arg(quoted(text));
            return false;
        }
        if (request->calibrationDepths.contains(depth)) {
            *error = QStringLiteral("--depth %1 given twice").arg(text);
            return false;
        }
        request->calibrationDepths.append(depth);
    }
    if (parser.isSet(QStringLiteral("model"))) {
        calibration::DistortionModel model;
        request->calibrationModel = parser.value(QStringLiteral("model"));
        if (!calibration::parseDistortionModel(request->calibrationModel, &model)) {
            *error = QStringLiteral("--model must be standard, rational, thinprism or tilted, got %1").arg(quoted(request->calibrationModel));
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("source"))) {
        calibration::PrismSource source;
        request->calibrationSource = parser.value(QStringLiteral("source"));
        if (!calibration::parsePrismSource(request->calibrationSource, &source)) {
            *error = QStringLiteral("--source must be design, fit or prism, got %1").arg(quoted(request->calibrationSource));
            return false;
        }
    }
    return true;
}

// The fit order of calibrate --source fit|prism: one order, 3 to 8 (prism: 3 to 10).
bool parseCalibrationOrder(const QCommandLineParser& parser, CliRequest* request, QString* error)
{
    const int high = request->calibrationSource == QLatin1String("prism") ? highestPrismOrder : 8;
    const QString text = parser.value(QStringLiteral("order"));
    bool ok = false;
    const int order = text.toInt(&ok, 10);
    if (!parser.isSet(QStringLiteral("order")) || !ok || order < 3 || order > high) {
        *error = QStringLiteral("calibrate --source %1 needs --order N, a whole number from 3 to %2")
                     .arg(request->calibrationSource).arg(high);
        return false;
    }
    request->calibrationOrder = order;
    return true;
}

// ---- Colour ----
// --material, --wavelength, --band and --catalogue of the one-shot.
bool parseColourOptions(const QCommandLineParser& parser, CliRequest* request, QString* error)
{
    pipeline::ColourChoice& c = request->colourChoice;
    for (const char* name : {"material", "wavelength", "band", "catalogue", "channel-calibration"})
        c.given = c.given || parser.isSet(QString::fromLatin1(name));
    if (!c.given)
        return true;
    if (parser.isSet(QStringLiteral("material")))
        c.material = parser.value(QStringLiteral("material"));
    if (c.material != QLatin1String("custom") && parser.isSet(QStringLiteral("index"))) {
        *error = QStringLiteral("--index is the custom material's; %1 brings its own index").arg(quoted(c.material));
        return false;
    }
    if (parser.isSet(QStringLiteral("wavelength"))) {
        const QString text = parser.value(QStringLiteral("wavelength"));
        bool ok = false;
        c.wavelengthNm = text.toDouble(&ok);
        if (!ok || !std::isfinite(c.wavelengthNm) || c.wavelengthNm <= 0.0) {
            *error = QStringLiteral("--wavelength must be a wavelength in nm, got %1").arg(quoted(text));
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("band")))
        c.band = parser.value(QStringLiteral("band"));
    c.catalogueFile = parser.value(QStringLiteral("catalogue"));
    c.perChannel = parser.isSet(QStringLiteral("channel-calibration"));
    return pipeline::resolveColour(c, &request->panel, &request->colour, error);
}
// ---- end of colour ----

// --order N|best and --folder of the one-shot.
bool parsePrismOptions(const QCommandLineParser& parser, CliRequest* request, QString* error)
{
    const QString text = parser.value(QStringLiteral("order"));
    if (text == QLatin1String("best")) {
        request->prismOrder = 0;
    } else if (parser.isSet(QStringLiteral("order"))) {
        bool ok = false;
        request->prismOrder = text.toInt(&ok, 10);
        if (!ok || request->prismOrder < lowestPrismOrder || request->prismOrder > highestPrismOrder) {
            *error = QStringLiteral("--order must be a whole number from %1 to %2 or 'best', got %3")
                         .arg(lowestPrismOrder).arg(highestPrismOrder).arg(quoted(text));
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("folder"))) {
        request->folderName = parser.value(QStringLiteral("folder"));
        if (request->folderName.isEmpty() || request->folderName.contains(QLatin1Char('/'))
            || request->folderName == QLatin1String(".") || request->folderName == QLatin1String("..")) {
            *error = QStringLiteral("--folder needs a folder name without '/', got %1").arg(quoted(request->folderName));
            return false;
        }
    }
    // ---- achromat ----
    request->achromat = parser.isSet(QStringLiteral("achromat"));
    for (const auto& [option, glass] : {std::pair<QString, QString*>{QStringLiteral("crown"), &request->crown},
                                        std::pair<QString, QString*>{QStringLiteral("flint"), &request->flint}}) {
        if (!parser.isSet(option))
            continue;
        if (!request->achromat) {
            *error = QStringLiteral("--%1 needs --achromat").arg(option);
            return false;
        }
        *glass = parser.value(option);
        if (!materials::Catalogue::builtIn().find(*glass)) {
            *error = QStringLiteral("--%1: unknown material %2 (known: %3)")
                         .arg(option, quoted(*glass),
                              materials::Catalogue::builtIn().names().join(QStringLiteral(", ")));
            return false;
        }
    }
    if (request->achromat) {
        const materials::Catalogue& catalogue = materials::Catalogue::builtIn();
        if (!materials::canCorrectColour(*catalogue.find(request->crown), *catalogue.find(request->flint),
                                         materials::visibleBand(), materials::lineD, error))
            return false;
    }
    // ---- end achromat ----
    return true;
}

bool parseCommandOptions(CliCommand command, const QStringList& arguments, CliRequest* request, QString* error)
{
    const QString name = cliCommandName(command);
    const QString hint = QStringLiteral(" (see 'harvenlotek-cli %1 --help')").arg(name);
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    for (const OptionRule& rule : optionRules()) {
        QCommandLineOption option(rule.name, rule.help);
        if (!rule.valueName.isEmpty())
            option.setValueName(rule.valueName);
        parser.addOption(option);
    }
    // QCommandLineParser wants the program name first.
    if (!parser.parse(QStringList{QStringLiteral("harvenlotek-cli")} + arguments)) {
        QString text = parser.errorText();
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
        *error = text + hint;
        return false;
    }
    // "--help" wins over everything else, like in most tools.
    if (parser.isSet(QStringLiteral("help"))) {
        request->command = CliCommand::Help;
        request->helpTopic = name;
        return true;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument %1").arg(quoted(parser.positionalArguments().first())) + hint;
        return false;
    }
    for (const QString& given : parser.optionNames()) {
        if (given.size() == 1 || given == QLatin1String("help-all")) {
            *error = QStringLiteral("unknown option %1").arg(quoted(QStringLiteral("-") + given)) + hint;
            return false;
        }
    }
    for (const OptionRule& rule : optionRules()) {
        if (!parser.isSet(rule.name))
            continue;
        if (!accepts(rule.commands, command)) {
            *error = QStringLiteral("option --%1 does not apply to %2").arg(rule.name, name) + hint;
            return false;
        }
        if (parser.optionNames().count(rule.name) > 1 && rule.name != QLatin1String("depth")) {
            *error = QStringLiteral("option --%1 given twice").arg(rule.name);
            return false;
        }
    }

    request->command = command;
    if (parser.isSet(QStringLiteral("fit-model"))) {
        const QString model = parser.value(QStringLiteral("fit-model"));
        if (model == QLatin1String("prism")) {
            request->fitModel = CliFitModel::Prism;
        } else if (model != QLatin1String("classic")) {
            *error = QStringLiteral("--fit-model must be classic or prism, got %1").arg(quoted(model));
            return false;
        }
    }
    request->optimize = parser.isSet(QStringLiteral("optimize"));
    if (request->optimize && request->fitModel != CliFitModel::Prism) {
        *error = QStringLiteral("--optimize needs --fit-model prism") + hint;
        return false;
    }
    if (!parseOptimizerOptions(parser, request, error))
        return false;
    // A fit on its own records the panel values only in a prism file.
    if (command == CliCommand::Fit && request->fitModel == CliFitModel::Classic) {
        for (const OptionRule& rule : optionRules()) {
            const bool panelOption = accepts(rule.commands, CliCommand::Design) && accepts(rule.commands, CliCommand::Fit)
                                     && !accepts(rule.commands, CliCommand::Export);
            if (panelOption && parser.isSet(rule.name)) {
                *error = QStringLiteral("option --%1 applies to fit only with --fit-model prism").arg(rule.name)
                         + hint;
                return false;
            }
        }
    }
    PanelParameters& panel = request->panel;
    for (const PanelOption& p : panelOptions) {
        const QString option = QString::fromLatin1(panelFieldRange(p.field).option);
        if (!parser.isSet(option))
            continue;
        double value = 0.0;
        if (!parsePanelValue(p.field, parser.value(option), &value, error))
            return false;
        p.apply(panel, value);
    }
    if (!parseColourOptions(parser, request, error))  // colour: before "fix angle", which reads the index
        return false;
    // The window's virtual camera scroll bar starts at distance + focal length.
    panel.virtualCameraPos = panel.prismDistance + panel.focalLength;
    if (parser.isSet(QStringLiteral("fix-angle")))
        panel.applyFixAngle();
    if (request->optimize && request->objective == QLatin1String("stereo") && !checkNearDepth(*request, error))
        return false;
    if (parser.isSet(QStringLiteral("threads"))) {
        const QString text = parser.value(QStringLiteral("threads"));
        bool ok = false;
        request->threads = text.toInt(&ok, 10);
        if (!ok || request->threads < 1 || request->threads > maxThreads) {
            *error = QStringLiteral("--threads must be a whole number from 1 to %1, got %2").arg(maxThreads).arg(quoted(text));
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("design-model"))) {
        const QString text = parser.value(QStringLiteral("design-model"));
        if (!parseDesignModel(text, &request->panel.designModel)) {
            *error = QStringLiteral("--design-model must be 'classic' or 'refraction', got %1").arg(quoted(text));
            return false;
        }
    }
    request->refine = parser.isSet(QStringLiteral("refine"));
    if (request->refine && request->panel.designModel != DesignModel::Refraction) {
        *error = QStringLiteral("--refine needs --design-model refraction");
        return false;
    }
    request->json = parser.isSet(QStringLiteral("json"));
    request->verify = command == CliCommand::Verify || parser.isSet(QStringLiteral("verify"));
    request->sensitivity = parser.isSet(QStringLiteral("sensitivity"));
    if (!parseVerifyOptions(parser, request, error))
        return false;
    if (!parseCalibrationOptions(parser, request, error))
        return false;

    if (command == CliCommand::Prism) {
        if (!parsePrismOptions(parser, request, error))
            return false;
    } else if (command == CliCommand::Export) {
        if (!parseExportOptions(parser, request, error))
            return false;
    } else if (command == CliCommand::Fit || command == CliCommand::Run) {
        if (!parser.isSet(QStringLiteral("order"))) {
            *error = QStringLiteral("%1 needs --order N (3 to %2) or --order all")
                         .arg(name)
                         .arg(request->fitModel == CliFitModel::Prism ? highestPrismOrder : 8)
                     + hint;
            return false;
        }
        if (!parseOrders(parser.value(QStringLiteral("order")), request, error))
            return false;
    } else if (command == CliCommand::Verify && parser.isSet(QStringLiteral("order"))) {
        if (!parseOrders(parser.value(QStringLiteral("order")), request, error))
            return false;
    }

    QString outputDir = QStringLiteral(".");
    if (parser.isSet(QStringLiteral("output-dir"))) {
        outputDir = parser.value(QStringLiteral("output-dir"));
        if (outputDir.isEmpty()) {
            *error = QStringLiteral("option --output-dir needs a directory");
            return false;
        }
    }
    if (!checkOutputDirectory(outputDir, error))
        return false;
    request->outputDir = QDir(outputDir).absolutePath();
    if (command == CliCommand::Prism)
        return true;
    if (command == CliCommand::Export)
        return locateExport(request, error);

    if (command == CliCommand::Verify)
        return checkVerifyInputs(*request, error);
    if ((command == CliCommand::Design || command == CliCommand::Run)
        && !checkResultFiles(request->outputDir, designFiles(), error))
        return false;
    if (request->calibrate) {
        if (request->calibrationSource != QLatin1String("design")) {
            if (command == CliCommand::Calibrate && !parseCalibrationOrder(parser, request, error))
                return false;
            if (command == CliCommand::Run) {
                const bool prism = request->calibrationSource == QLatin1String("prism");
                if (request->allOrders || prism != (request->fitModel == CliFitModel::Prism)) {
                    *error = QStringLiteral("--calibrate --source %1 needs a single --order of the run's %1 fit")
                                 .arg(request->calibrationSource);
                    return false;
                }
                request->calibrationOrder = request->orders.first();
            }
        } else if (command == CliCommand::Calibrate && parser.isSet(QStringLiteral("order"))) {
            *error = QStringLiteral("--order applies to --source fit or prism only") + hint;
            return false;
        }
        if (!checkResultFiles(request->outputDir, {QString::fromLatin1(calibration::stereoCalibrationFileName)}, error))
            return false;
    }
    if (command == CliCommand::Fit) {
        const QString inputPath = QDir(request->outputDir).filePath(QString::fromLatin1(designPointsFileName));
        const PathKind kind = classifyPath(inputPath);
        if (kind != PathKind::Regular || !QFileInfo(inputPath).isReadable()) {
            *error = kind == PathKind::Missing || kind == PathKind::Regular
                         ? QStringLiteral("no readable %1 in %2; run 'harvenlotek-cli design' first")
                               .arg(QString::fromLatin1(designPointsFileName), quoted(request->outputDir))
                         : QStringLiteral("%1 is %2, not a regular file")
                               .arg(quoted(inputPath), describePathKind(kind));
            return false;
        }
    }
    for (int order : request->orders) {
        if (!checkFitDirectory(*request, order, error))
            return false;
    }
    return true;
}

// The options of a command as its help lists them.
QString optionsHelp(CliCommand command)
{
    QString text;
    for (const OptionRule& rule : optionRules()) {
        if (!accepts(rule.commands, command))
            continue;
        const bool prismOrder = command == CliCommand::Prism && rule.name == QLatin1String("order");
        QString head = QStringLiteral("  --") + rule.name;
        if (!rule.valueName.isEmpty())
            head += QLatin1Char(' ') + (prismOrder ? QStringLiteral("N|best") : rule.valueName);
        const QStringList lines = prismOrder ? QStringList{QStringLiteral("order of the prism fit, 3 to 10 (default 8), or 'best':"),
                                                           QStringLiteral("the smallest traced direction error of orders 6 to 10")}
                                             : rule.help.split(QLatin1Char('\n'));
        text += head.leftJustified(21) + lines.first() + QLatin1Char('\n');
        for (int i = 1; i < lines.size(); ++i)
            text += QString(21, QLatin1Char(' ')) + lines.at(i) + QLatin1Char('\n');
    }
    return text;
}

}  // namespace

QString cliCommandName(CliCommand command)
{
    switch (command) {
    case CliCommand::Design: return QStringLiteral("design");
    case CliCommand::Fit: return QStringLiteral("fit");
    case CliCommand::Run: return QStringLiteral("run");
    case CliCommand::Export: return QStringLiteral("export");
    case CliCommand::Calibrate: return QStringLiteral("calibrate");
    case CliCommand::Verify: return QStringLiteral("verify");
    case CliCommand::Prism: return QStringLiteral("prism");
    case CliCommand::Help: break;
    }
    return QStringLiteral("help");
}

QString fitOutputDirectory(const CliRequest& request, int order)
{
    if (!request.allOrders)
        return request.outputDir;
    return QDir(request.outputDir).filePath(QStringLiteral("order-%1").arg(order));
}

bool parseCliArguments(const QStringList& arguments, CliRequest* request, QString* error)
{
    *request = CliRequest();
    if (arguments.isEmpty()) {
        *error = QStringLiteral("no command given (prism, design, fit, run, verify, export or calibrate); see 'harvenlotek-cli --help'");
        return false;
    }
    const QString& first = arguments.first();
    CliCommand command = CliCommand::Help;
    if (first == QLatin1String("--help") || first == QLatin1String("-h") || first == QLatin1String("help")) {
        request->command = CliCommand::Help;
        if (arguments.size() > 2) {
            *error = QStringLiteral("unexpected argument %1 after the help topic").arg(quoted(arguments.at(2)));
            return false;
        }
        if (arguments.size() == 2) {
            if (!parseCommand(arguments.at(1), &command)) {
                *error = QStringLiteral("no help for %1; the commands are prism, design, fit, run, verify, export and calibrate")
                             .arg(quoted(arguments.at(1)));
                return false;
            }
            request->helpTopic = arguments.at(1);
        }
        return true;
    }
    if (!parseCommand(first, &command)) {
        *error = first.startsWith(QLatin1Char('-'))
                     ? QStringLiteral("expected a command (prism, design, fit, run, verify, export or calibrate) before %1").arg(quoted(first))
                     : QStringLiteral("unknown command %1; the commands are prism, design, fit, run, verify, export and calibrate").arg(quoted(first));
        return false;
    }
    return parseCommandOptions(command, arguments.mid(1), request, error);
}

QString cliHelpText(const QString& topic)
{
    const QString exitCodes = QStringLiteral(
        "\nExit codes: 0 done, 1 a result file could not be written (the previous one\n"
        "is kept), 2 bad input or a malformed outputall.txt (nothing written), 3 another\n"
        "run is writing in the output directory (nothing written).\n");
    const PanelParameters start;
    CliCommand command = CliCommand::Help;
    if (!parseCommand(topic, &command)) {
        return QStringLiteral(
                   "Usage: harvenlotek-cli COMMAND [options]\n\n"
                   "Designs a prism with two freeform surfaces for single-camera stereo and fits\n"
                   "the surfaces with polynomials, without a display.\n\n"
                   "Commands:\n"
                   "  prism     the whole sound path in one go: refraction design, prism fit\n"
                   "            of order 8 optimised on the rays, verification, predicted\n"
                   "            calibration of that prism, exports and report.html, in a new\n"
                   "            result folder\n"
                   "  design    design both surfaces; writes %1 and %2\n"
                   "  fit       fit the surfaces of %2; writes the fit files and report\n"
                   "  run       design, then fit\n"
                   "  verify    trace the pixels through the design and fitted surfaces and\n"
                   "            report their stereo errors\n"
                   "  export    turn a prism fit into grid sag, STL, PLY and STEP files and a drawing\n"
                   "  calibrate predict the stereo calibration of the prism; writes %3\n"
                   "  simulate  image a scene through the prism, match it with OpenCV's\n"
                   "            StereoSGBM and report the depth error; writes PNG pictures\n\n"
                   "'harvenlotek-cli COMMAND --help' lists the options of a command.\n")
                   .arg(QString::fromLatin1(designProfileFileName), QString::fromLatin1(designPointsFileName),
                    QString::fromLatin1(calibration::stereoCalibrationFileName))
               + exitCodes;
    }
    QString head;
    switch (command) {
    case CliCommand::Design:
        head = QStringLiteral("Usage: harvenlotek-cli design [options]\n\n"
                              "Designs both freeform surfaces for the camera (resolution %1 x %2,\n"
                              "pixel %3 mm) and prism given, and writes \"%4\" (row profile)\n"
                              "and \"%5\" (every tenth grid point) to the output directory.\n\n")
                   .arg(designResolutionX).arg(designResolutionY).arg(QString::number(pixelPitch))
                   .arg(QString::fromLatin1(designProfileFileName), QString::fromLatin1(designPointsFileName));
        break;
    case CliCommand::Fit:
        head = QStringLiteral("Usage: harvenlotek-cli fit --order N|all [options]\n\n"
                              "Fits both surfaces of the \"%1\" in the output directory with\n"
                              "polynomials of the order given and writes \"%2\",\n"
                              "\"%3\" and the report \"%4\"; with --fit-model prism,\n"
                              "\"%5\" instead.\n\n")
                   .arg(QString::fromLatin1(designPointsFileName), QString::fromLatin1(surface1FitFileName),
                        QString::fromLatin1(surface2FitFileName), QString::fromLatin1(fitReportFileName),
                        QString::fromLatin1(prismFileName));
        break;
    case CliCommand::Export:
        head = QStringLiteral("Usage: harvenlotek-cli export --format gridsag|stl|ply|step|drawing|all [options]\n\n"
                              "Turns the prism fit (\"%1\", from 'fit --fit-model prism') of the\n"
                              "output directory into grid sag files of each surface and half, a closed\n"
                              "STL solid of the prism (within 1 micrometre of the surfaces), a PLY\n"
                              "point cloud of the design points with normals, a STEP solid with the\n"
                              "exact surfaces and a dimensioned drawing (PDF); \"frame.txt\" states\n"
                              "the frame of them all.\n\n")
                   .arg(QString::fromLatin1(prismFileName));
        break;
    case CliCommand::Verify:
        head = QStringLiteral("Usage: harvenlotek-cli verify [--order N|all] [options]\n\n"
                              "Traces the camera ray of every S-th pixel through the design surfaces\n"
                              "of the output directory (\"%1\", with the geometry of \"design.json\"\n"
                              "or, without it, of the panel options) and through the fitted surfaces\n"
                              "(\"result_para_fit.json\" there, or in order-N/ with --order all), and\n"
                              "reports per half of the sensor the direction error and the reprojection\n"
                              "error in pixels and the distance from the virtual pinhole in mm.\n\n")
                   .arg(QString::fromLatin1(designPointsFileName));
        break;
    case CliCommand::Calibrate:
        head = QStringLiteral("Usage: harvenlotek-cli calibrate [--depth Z]... [--model standard|rational|thinprism|tilted]\n"
                              "                           [--source design|fit|prism] [--order N] [options]\n\n"
                              "Designs the prism in memory (and fits it with --source fit), images a\n"
                              "planar grid target at each depth (fronto-parallel and tilted 30 degrees\n"
                              "about x and y) through both sensor halves, calibrates each half and the\n"
                              "pair with OpenCV as a user would, prints the residuals, the baseline and\n"
                              "the depth error, and writes \"%1\" (OpenCV's YAML:\n"
                              "camera matrices, distortion, R, T and the rectification).\n"
                              "The design and fit files of the output directory are not touched.\n\n")
                   .arg(QString::fromLatin1(calibration::stereoCalibrationFileName));
        break;
    case CliCommand::Prism:
        head = QStringLiteral("Usage: harvenlotek-cli prism [panel options] [--order N|best] [--output-dir D]\n\n"
                              "Designs the prism with the refraction model, fits it with the prism\n"
                              "polynomials of the order given and optimises them on the traced rays,\n"
                              "verifies it, predicts the stereo calibration of that same prism and\n"
                              "exports it. Everything goes into a new result folder inside D\n"
                              "(\"prism-YYYY-MM-DDTHH-MM-SS\"; never an earlier run's): the design\n"
                              "files, \"%1\", the grid sag, STL and PLY exports, \"%2\",\n"
                              "\"verification.json\", \"verification_map.png\" and \"report.html\",\n"
                              "a page with the figures, the error maps and the list of files.\n"
                              "Nothing is written unless every stage succeeds.\n\n")
                   .arg(QString::fromLatin1(prismFileName),
                        QString::fromLatin1(calibration::stereoCalibrationFileName));
        break;
    default:
        head = QStringLiteral("Usage: harvenlotek-cli run --order N|all [options]\n\n"
                              "Runs design, then fit, on the same output directory.\n\n");
        break;
    }
    return head + QStringLiteral("Options:\n") + optionsHelp(command) + exitCodes;
}
