#include "app/cli/cli_options.h"

#include "app/cli/cli_option_table.h"
#include "calibration/calibration_file.h"
#include "calibration/prism_calibration.h"
#include "design/design_files.h"
#include "export/prism_export.h"
#include "fit/fit_files.h"
#include "fit/prism_file.h"
#include "fit/prism_fit.h"
#include "io/atomic_file_set.h"
#include "io/safe_input.h"
#include "materials/achromat.h"
#include "materials/material.h"
#include "refine/prism_optimize.h"
#include "verify/verify_sources.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include <algorithm>
#include <utility>

namespace {

QString quoted(const QString& text)
{
    return QLatin1Char('\'') + text + QLatin1Char('\'');
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
    if (!info.exists())
        *error = QStringLiteral("output directory %1 does not exist").arg(quoted(path));
    else if (!info.isDir())
        *error = QStringLiteral("output directory %1 is not a directory").arg(quoted(path));
    else if (!directoryIsWritable(path))
        *error = QStringLiteral("output directory %1 cannot be written").arg(quoted(path));
    else
        return true;
    return false;
}

// A result file that is a directory, a FIFO, a device or a dangling or
// looping link would only fail half-way through a run: refused up front.
bool checkResultFiles(const QString& directory, const QStringList& names, QString* error)
{
    if (classifyPath(directory) == PathKind::Missing)
        return true;  // an order's directory, made when the run gets there
    for (const QString& name : names) {
        *error = checkOutputTarget(QDir(directory).filePath(name));
        if (!error->isEmpty())
            return false;
    }
    return true;
}

QStringList names(std::initializer_list<const char*> list)
{
    QStringList out;
    for (const char* name : list)
        out << QString::fromLatin1(name);
    return out;
}

bool checkFitDirectory(const CliRequest& request, int order, QString* error)
{
    const QString directory = fitOutputDirectory(request, order);
    const QFileInfo info(directory);
    if (request.allOrders && info.exists() && !info.isDir()) {
        *error = QStringLiteral("%1 exists and is not a directory").arg(quoted(directory));
        return false;
    }
    if (request.allOrders && info.exists() && !directoryIsWritable(directory)) {
        *error = QStringLiteral("directory %1 cannot be written").arg(quoted(directory));
        return false;
    }
    const QStringList files = request.fitModel == CliFitModel::Prism
                                  ? names({prismFileName})
                                  : names({surface1FitFileName, surface2FitFileName, fitReportFileName,
                                           surface1PointsFileName, surface2PointsFileName});
    return checkResultFiles(directory, files, error);
}

// One order from 3 to `high`, or `word` (0); `what` names the option in the refusal.
bool parseOneOrder(const QString& text, int high, const QString& word, const QString& what, int* order, QString* error)
{
    bool ok = false;
    *order = text == word && !word.isEmpty() ? 0 : text.toInt(&ok, 10);
    if ((text == word && !word.isEmpty()) || (ok && *order >= lowestPrismOrder && *order <= high))
        return true;
    *error = QStringLiteral("%1 must be a whole number from %2 to %3%4, got %5")
                 .arg(what).arg(lowestPrismOrder).arg(high)
                 .arg(word.isEmpty() ? QString() : QStringLiteral(" or '%1'").arg(word), quoted(text));
    return false;
}

// The fit orders of "--order N|all": 3 to 8, 3 to 10 for the prism fit.
bool parseOrders(const QString& text, CliRequest* request, QString* error)
{
    const int high = request->fitModel == CliFitModel::Prism
                         ? highestPrismOrder
                         : static_cast<int>(panelFieldRange(PanelField::FitOrder).high);
    int order = 0;
    if (!parseOneOrder(text, high, QStringLiteral("all"), QStringLiteral("--order"), &order, error))
        return false;
    request->allOrders = order == 0;
    for (int o = request->allOrders ? lowestPrismOrder : order; o <= (request->allOrders ? high : order); ++o)
        request->orders.append(o);
    return true;
}

// The panel options into the panel model, rounded as its spin boxes round.
void applyPanelOptions(const CliArguments& a, PanelParameters* panel)
{
    const auto value = [&a](PanelField field, double fallback) {
        const PanelFieldRange& r = panelFieldRange(field);
        const double v = a.number(r.option, fallback);
        return r.decimals == 0 ? v : roundToSpinBoxDecimals(v, r.decimals);
    };
    panel->focalLength = static_cast<int>(value(PanelField::FocalLength, panel->focalLength));
    panel->prismDistance = static_cast<int>(value(PanelField::PrismDistance, panel->prismDistance));
    panel->prismSize = static_cast<int>(value(PanelField::PrismSize, panel->prismSize));
    panel->setAngle(value(PanelField::Angle, panel->angleDeg));
    panel->refractiveIndex = value(PanelField::RefractiveIndex, panel->refractiveIndex);
    // The window's virtual camera scroll bar starts at distance + focal length.
    panel->virtualCameraPos = panel->prismDistance + panel->focalLength;
}

// --material, --wavelength, --band, --catalogue and --channel-calibration of
// the one-shot: the panel's index becomes the material's at the wavelength.
bool parseColourOptions(const CliArguments& a, CliRequest* r, QString* error)
{
    pipeline::ColourChoice& c = r->colourChoice;
    for (const char* name : {"material", "wavelength", "band", "catalogue", "channel-calibration"})
        c.given = c.given || a.isSet(name);
    if (!c.given)
        return true;
    if (a.isSet("material"))
        c.material = a.text("material");
    if (c.material != QLatin1String("custom") && a.isSet(panelFieldRange(PanelField::RefractiveIndex).option)) {
        *error = QStringLiteral("--index is the custom material's; %1 brings its own index").arg(quoted(c.material));
        return false;
    }
    c.wavelengthNm = a.number("wavelength", c.wavelengthNm);
    if (a.isSet("band"))
        c.band = a.text("band");
    c.catalogueFile = a.text("catalogue");
    c.perChannel = a.isSet("channel-calibration");
    return pipeline::resolveColour(c, &r->panel, &r->colour, error);
}

// --achromat, --crown and --flint of the one-shot.
bool parseAchromatOptions(const CliArguments& a, CliRequest* r, QString* error)
{
    r->achromat = a.isSet("achromat");
    const materials::Catalogue& catalogue = materials::Catalogue::builtIn();
    for (const auto& [option, glass] : {std::pair<const char*, QString*>{"crown", &r->crown},
                                        std::pair<const char*, QString*>{"flint", &r->flint}}) {
        if (!a.isSet(option))
            continue;
        if (!r->achromat) {
            *error = QStringLiteral("--%1 needs --achromat").arg(QLatin1String(option));
            return false;
        }
        *glass = a.text(option);
        if (!catalogue.find(*glass)) {
            *error = QStringLiteral("--%1: unknown material %2 (known: %3)")
                         .arg(QLatin1String(option), quoted(*glass), catalogue.names().join(QStringLiteral(", ")));
            return false;
        }
    }
    return !r->achromat
           || materials::canCorrectColour(*catalogue.find(r->crown), *catalogue.find(r->flint),
                                          materials::visibleBand(), materials::lineD, error);
}

// What no single option's range can say: options that need another one.
QString missingCompanion(const CliArguments& a, const CliRequest& r)
{
    if (a.isSet("optimize") && r.fitModel != CliFitModel::Prism)
        return QStringLiteral("--optimize needs --fit-model prism");
    const bool optimizerOption = a.isSet("objective") || a.isSet("near-depth") || a.isSet("camera-model");
    if (optimizerOption && !a.isSet("optimize"))
        return QStringLiteral("--objective, --near-depth and --camera-model need --optimize");
    if ((a.isSet("near-depth") || a.isSet("camera-model")) && r.objective != QLatin1String("stereo"))
        return QStringLiteral("--near-depth and --camera-model need --objective stereo");
    if (r.refine && r.panel.designModel != DesignModel::Refraction)
        return QStringLiteral("--refine needs --design-model refraction");
    if (!r.calibrate && ((a.isSet("depth") && !r.verify) || a.isSet("model") || a.isSet("source")))
        return QStringLiteral("--depth, --model and --source need --calibrate");
    if (r.command == CliCommand::Fit && r.fitModel == CliFitModel::Classic) {
        // A fit on its own records the panel values only in a prism file.
        for (const PanelFieldRange& field : panelFieldRanges)
            if (*field.option && a.isSet(field.option) && QLatin1String(field.option) != QLatin1String("order"))
                return QStringLiteral("option --%1 applies to fit only with --fit-model prism").arg(field.option);
        if (a.isSet("fix-angle"))
            return QStringLiteral("option --fix-angle applies to fit only with --fit-model prism");
    }
    return QString();
}

// --map: a PNG file in an existing directory.
bool parseMap(const CliArguments& a, CliRequest* r, QString* error)
{
    if (!a.isSet("map"))
        return true;
    const QFileInfo map(a.text("map"));
    if (map.fileName().isEmpty() || map.suffix().compare(QLatin1String("png"), Qt::CaseInsensitive) != 0)
        *error = QStringLiteral("--map needs a file name ending in .png, got %1").arg(quoted(map.filePath()));
    else if (!map.absoluteDir().exists() || (map.exists() && !map.isFile()))
        *error = QStringLiteral("the map %1 cannot be written there").arg(quoted(map.filePath()));
    else
        r->mapPath = map.absoluteFilePath();
    return r->mapPath.size() > 0;
}

// The values of the options into the request; the ranges are checked already.
bool fillRequest(const CliArguments& a, CliRequest* r, QString* error)
{
    r->fitModel = a.text("fit-model") == QLatin1String("prism") ? CliFitModel::Prism : CliFitModel::Classic;
    r->optimize = a.isSet("optimize");
    if (a.isSet("objective"))
        r->objective = a.text("objective");
    if (a.isSet("camera-model"))
        r->cameraModel = a.text("camera-model");
    r->nearDepth = a.number("near-depth", r->nearDepth);
    applyPanelOptions(a, &r->panel);
    // The colour sets the index, which "fix angle" reads.
    if (!parseColourOptions(a, r, error) || !parseAchromatOptions(a, r, error))
        return false;
    if (a.isSet("fix-angle"))
        r->panel.applyFixAngle();
    r->sensitivity = a.isSet("sensitivity");
    r->threads = a.whole("threads", 0);
    if (a.isSet("design-model"))
        parseDesignModel(a.text("design-model"), &r->panel.designModel);
    r->refine = a.isSet("refine");
    r->json = a.isSet("json");
    r->verify = r->command == CliCommand::Verify || a.isSet("verify");
    r->verifyStep = a.whole("step", r->verifyStep);
    r->calibrate = r->command == CliCommand::Calibrate || a.isSet("calibrate");
    if (a.isSet("model"))
        r->calibrationModel = a.text("model");
    if (a.isSet("source"))
        r->calibrationSource = a.text("source");
    for (const QString& text : a.texts("depth")) {
        if (r->calibrate && r->calibrationDepths.contains(text.toDouble())) {
            *error = QStringLiteral("--depth %1 given twice").arg(text);
            return false;
        }
        r->calibrationDepths.append(text.toDouble());
    }
    if (a.isSet("depth"))
        r->verifyDepths = r->calibrationDepths;
    if (!r->calibrate)
        r->calibrationDepths.clear();
    *error = missingCompanion(a, *r);
    if (!error->isEmpty())
        return false;
    if (r->optimize && r->objective == QLatin1String("stereo")) {
        const verify::DepthRange range = verify::stereoWorkingRange(verify::geometryOfPanel(r->panel));
        if (r->nearDepth < range.nearMm || r->nearDepth > range.farMm) {
            *error = QStringLiteral("--near-depth %1 mm is outside the working range of this prism, %2 to %3 mm")
                         .arg(QString::number(r->nearDepth), QString::number(range.nearMm, 'f', 0),
                              QString::number(range.farMm, 'f', 0));
            return false;
        }
    }
    return parseMap(a, r, error);
}

// --order of each command.
bool parseCommandOrder(const CliArguments& a, CliRequest* r, const QString& hint, QString* error)
{
    const QString name = cliCommandName(r->command);
    const QString order = a.text("order");
    switch (r->command) {
    case CliCommand::Prism:
        return parseOneOrder(a.isSet("order") ? order : QString::number(r->prismOrder), highestPrismOrder,
                             QStringLiteral("best"), QStringLiteral("--order"), &r->prismOrder, error);
    case CliCommand::Export:
        return !a.isSet("order") || parseOneOrder(order, highestPrismOrder, QString(),
                                                  QStringLiteral("export --order"), &r->exportOrder, error);
    case CliCommand::Fit:
    case CliCommand::Run:
        if (!a.isSet("order")) {
            *error = QStringLiteral("%1 needs --order N (3 to %2) or --order all")
                         .arg(name).arg(r->fitModel == CliFitModel::Prism ? highestPrismOrder : 8) + hint;
            return false;
        }
        return parseOrders(order, r, error);
    case CliCommand::Verify:
        return !a.isSet("order") || parseOrders(order, r, error);
    default:
        return true;
    }
}

// The calibration's source and order: calibrate --source fit|prism --order N,
// or the single order of the run's own fit.
bool parseCalibrationSource(const CliArguments& a, CliRequest* r, const QString& hint, QString* error)
{
    const QString source = r->calibrationSource;
    if (source == QLatin1String("design")) {
        if (r->command == CliCommand::Calibrate && a.isSet("order")) {
            *error = QStringLiteral("--order applies to --source fit or prism only") + hint;
            return false;
        }
        return true;
    }
    const bool prism = source == QLatin1String("prism");
    if (r->command == CliCommand::Calibrate) {
        QString ignored;
        if (a.isSet("order") && parseOneOrder(a.text("order"), prism ? highestPrismOrder : 8, QString(), QString(),
                                              &r->calibrationOrder, &ignored))
            return true;
        *error = QStringLiteral("calibrate --source %1 needs --order N, a whole number from 3 to %2")
                     .arg(source).arg(prism ? highestPrismOrder : 8);
        return false;
    }
    if (r->allOrders || prism != (r->fitModel == CliFitModel::Prism)) {
        *error = QStringLiteral("--calibrate --source %1 needs a single --order of the run's %1 fit").arg(source);
        return false;
    }
    r->calibrationOrder = r->orders.first();
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
    if (!checkResultFiles(request->exportDirectory, exportFileNames(), error))
        return false;
    const QFileInfo input(QDir(request->outputDir).filePath(QString::fromLatin1(designPointsFileName)));
    if ((request->exportFormats & ExportPly) && (!input.isFile() || !input.isReadable())) {
        *error = QStringLiteral("the PLY export needs the design points %1").arg(quoted(input.absoluteFilePath()));
        return false;
    }
    return true;
}

// The input files and result files of the output directory, before anything runs.
bool checkDirectoryFiles(const CliArguments& a, CliRequest* r, const QString& hint, QString* error)
{
    const QDir dir(r->outputDir);
    const QString points = QString::fromLatin1(designPointsFileName);
    if (r->command == CliCommand::Export)
        return locateExport(r, error);
    if (r->command == CliCommand::Verify) {
        const QFileInfo design(dir.filePath(points));
        if (design.isFile() && design.isReadable())
            return true;
        *error = QStringLiteral("no design in %1 (no readable %2); run 'harvenlotek-cli design' first")
                     .arg(quoted(r->outputDir), points);
        return false;
    }
    if ((r->command == CliCommand::Design || r->command == CliCommand::Run)
        && !checkResultFiles(r->outputDir, names({designProfileFileName, designPointsFileName}), error))
        return false;
    if (r->calibrate
        && (!parseCalibrationSource(a, r, hint, error)
            || !checkResultFiles(r->outputDir, names({calibration::stereoCalibrationFileName}), error)))
        return false;
    if (r->command == CliCommand::Fit) {
        const QString input = dir.filePath(points);
        const PathKind kind = classifyPath(input);
        if (kind != PathKind::Regular || !QFileInfo(input).isReadable()) {
            *error = kind == PathKind::Missing || kind == PathKind::Regular
                         ? QStringLiteral("no readable %1 in %2; run 'harvenlotek-cli design' first")
                               .arg(points, quoted(r->outputDir))
                         : QStringLiteral("%1 is %2, not a regular file").arg(quoted(input), describePathKind(kind));
            return false;
        }
    }
    for (int order : r->orders)
        if (!checkFitDirectory(*r, order, error))
            return false;
    return true;
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

bool parseCommandOptions(CliCommand command, const QStringList& arguments, CliRequest* r, QString* error)
{
    const QString name = cliCommandName(command);
    const QString hint = QStringLiteral(" (see 'harvenlotek-cli %1 --help')").arg(name);
    CliArguments a;
    if (!parseCliOptions(name, arguments, false, &a, error))
        return false;
    if (a.help()) {
        r->helpTopic = name;
        return true;
    }
    r->command = command;
    if (!fillRequest(a, r, error) || !parseCommandOrder(a, r, hint, error))
        return false;
    if (command == CliCommand::Prism && a.isSet("folder")) {
        r->folderName = a.text("folder");
        if (r->folderName.isEmpty() || r->folderName.contains(QLatin1Char('/')) || r->folderName == QLatin1String(".")
            || r->folderName == QLatin1String("..")) {
            *error = QStringLiteral("--folder needs a folder name without '/', got %1").arg(quoted(r->folderName));
            return false;
        }
    }
    if (command == CliCommand::Export) {
        r->exportFormats = exportFormatFromName(a.text("format"));
        if (!a.isSet("format")) {
            *error = QStringLiteral("export needs --format gridsag, stl, ply, step, drawing or all");
            return false;
        }
    }
    const QString outputDir = a.isSet("output-dir") ? a.text("output-dir") : QStringLiteral(".");
    if (outputDir.isEmpty()) {
        *error = QStringLiteral("option --output-dir needs a directory");
        return false;
    }
    if (!checkOutputDirectory(outputDir, error))
        return false;
    r->outputDir = QDir(outputDir).absolutePath();
    return command == CliCommand::Prism || checkDirectoryFiles(a, r, hint, error);
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
    const QString list = cliCommandList(QStringLiteral(" or "));
    if (arguments.isEmpty()) {
        *error = QStringLiteral("no command given (%1); see 'harvenlotek-cli --help'").arg(list);
        return false;
    }
    const QString& first = arguments.first();
    CliCommand command = CliCommand::Help;
    if (first == QLatin1String("--help") || first == QLatin1String("-h") || first == QLatin1String("help")) {
        if (arguments.size() > 2) {
            *error = QStringLiteral("unexpected argument %1 after the help topic").arg(quoted(arguments.at(2)));
            return false;
        }
        request->helpTopic = arguments.value(1);
        const auto& commands = cliCommandTable();
        const bool known = std::any_of(commands.begin(), commands.end(), [request](const CliCommandInfo& c) {
            return request->helpTopic == QLatin1String(c.name);
        });
        if (arguments.size() == 2 && !known) {
            *error = QStringLiteral("no help for %1; the commands are %2")
                         .arg(quoted(request->helpTopic), cliCommandList(QStringLiteral(" and ")));
            return false;
        }
        return true;
    }
    if (!parseCommand(first, &command)) {
        *error = first.startsWith(QLatin1Char('-'))
                     ? QStringLiteral("expected a command (%1) before %2").arg(list, quoted(first))
                     : QStringLiteral("unknown command %1; the commands are %2")
                           .arg(quoted(first), cliCommandList(QStringLiteral(" and ")));
        return false;
    }
    return parseCommandOptions(command, arguments.mid(1), request, error);
}
