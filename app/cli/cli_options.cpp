#include "app/cli/cli_options.h"

#include "design/prism_angle.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cmath>

namespace {

// The panel's ranges (focal length, distance and size are integer spin boxes,
// angle and index two-decimal ones, the fit order an integer spin box).
struct IntRange { int low; int high; };
struct RealRange { double low; double high; };
constexpr IntRange focalLengthRange{4, 40};
constexpr IntRange distanceRange{100, 300};
constexpr IntRange sizeRange{50, 150};
constexpr RealRange angleRange{cliAngleLow, cliAngleHigh};
constexpr RealRange indexRange{1.40, 1.55};
constexpr IntRange orderRange{3, 8};
constexpr int maxThreads = 256;

enum OptionId {
    OptFocalLength, OptDistance, OptSize, OptAngle, OptIndex, OptFixAngle,
    OptOrder, OptOutputDir, OptJson, OptThreads, OptHelp
};

struct OptionRule {
    const char* name;
    OptionId id;
    bool takesValue;
    bool design;  // accepted by design and run
    bool fit;     // accepted by fit and run
};

const OptionRule optionRules[] = {
    {"--focal-length", OptFocalLength, true, true, false},
    {"--distance", OptDistance, true, true, false},
    {"--size", OptSize, true, true, false},
    {"--angle", OptAngle, true, true, false},
    {"--index", OptIndex, true, true, false},
    {"--fix-angle", OptFixAngle, false, true, false},
    {"--threads", OptThreads, true, true, false},
    {"--order", OptOrder, true, false, true},
    {"--output-dir", OptOutputDir, true, true, true},
    {"--json", OptJson, false, true, true},
    {"--help", OptHelp, false, true, true},
};

const OptionRule* findOption(const QString& name)
{
    for (const OptionRule& rule : optionRules) {
        if (name == QLatin1String(rule.name))
            return &rule;
    }
    return nullptr;
}

bool acceptedBy(const OptionRule& rule, CliCommand command)
{
    switch (command) {
    case CliCommand::Design: return rule.design;
    case CliCommand::Fit: return rule.fit;
    case CliCommand::Run: return rule.design || rule.fit;
    case CliCommand::Help: return false;
    }
    return false;
}

QString quoted(const QString& text)
{
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

bool parseInteger(const QString& option, const QString& text, IntRange range, int* value,
                  QString* error)
{
    bool ok = false;
    const int parsed = text.toInt(&ok, 10);
    if (!ok) {
        *error = QStringLiteral("%1 needs a whole number from %2 to %3, got %4")
                     .arg(option).arg(range.low).arg(range.high).arg(quoted(text));
        return false;
    }
    if (parsed < range.low || parsed > range.high) {
        *error = QStringLiteral("%1 must be from %2 to %3, got %4")
                     .arg(option).arg(range.low).arg(range.high).arg(text);
        return false;
    }
    *value = parsed;
    return true;
}

// The value is checked as given and then rounded to the spin box's two
// decimals; both ends of each range are two-decimal values, so the rounded
// value stays inside.
bool parseTwoDecimals(const QString& option, const QString& text, RealRange range,
                      double* value, QString* error)
{
    bool ok = false;
    const double parsed = text.toDouble(&ok);
    const QString low = QString::number(range.low, 'f', 2);
    const QString high = QString::number(range.high, 'f', 2);
    if (!ok || !std::isfinite(parsed)) {
        *error = QStringLiteral("%1 needs a number from %2 to %3, got %4")
                     .arg(option, low, high, quoted(text));
        return false;
    }
    if (!(parsed >= range.low && parsed <= range.high)) {
        *error = QStringLiteral("%1 must be from %2 to %3, got %4").arg(option, low, high, text);
        return false;
    }
    *value = roundToSpinBoxDecimals(parsed, 2);
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

// A result file that exists as a directory (or cannot be replaced) would only
// fail half-way through a run.
bool checkResultFiles(const QString& directory, const QStringList& names, QString* error)
{
    for (const QString& name : names) {
        const QFileInfo info(QDir(directory).filePath(name));
        if (info.exists() && (!info.isFile() || !info.isWritable())) {
            *error = QStringLiteral("%1 exists and cannot be replaced")
                         .arg(quoted(info.filePath()));
            return false;
        }
    }
    return true;
}

const QStringList designFiles{QStringLiteral("output.txt"), QStringLiteral("outputall.txt")};
const QStringList fitFiles{QStringLiteral("output_fit_fig1.txt"),
                           QStringLiteral("output_fit_fig2.txt"),
                           QStringLiteral("result_para_fit.txt"),
                           QStringLiteral("outputall_fig1.txt"),
                           QStringLiteral("outputall_fig2.txt")};

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
    return checkResultFiles(directory, fitFiles, error);
}

}  // namespace

QString cliCommandName(CliCommand command)
{
    switch (command) {
    case CliCommand::Design: return QStringLiteral("design");
    case CliCommand::Fit: return QStringLiteral("fit");
    case CliCommand::Run: return QStringLiteral("run");
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
        *error = QStringLiteral("no command given (design, fit or run); see 'harvenlotek-cli --help'");
        return false;
    }
    const QString& first = arguments.first();
    if (first == QLatin1String("--help") || first == QLatin1String("-h")
        || first == QLatin1String("help")) {
        request->command = CliCommand::Help;
        if (arguments.size() > 1) {
            const QString topic = arguments.at(1);
            if (topic != QLatin1String("design") && topic != QLatin1String("fit")
                && topic != QLatin1String("run")) {
                *error = QStringLiteral("no help for %1; the commands are design, fit and run")
                             .arg(quoted(topic));
                return false;
            }
            request->helpTopic = topic;
        }
        return true;
    }

    CliCommand command;
    if (first == QLatin1String("design"))
        command = CliCommand::Design;
    else if (first == QLatin1String("fit"))
        command = CliCommand::Fit;
    else if (first == QLatin1String("run"))
        command = CliCommand::Run;
    else if (first.startsWith(QLatin1Char('-'))) {
        *error = QStringLiteral("expected a command (design, fit or run) before %1").arg(quoted(first));
        return false;
    } else {
        *error = QStringLiteral("unknown command %1; the commands are design, fit and run")
                     .arg(quoted(first));
        return false;
    }
    const QString name = cliCommandName(command);
    const QString hint = QStringLiteral(" (see 'harvenlotek-cli %1 --help')").arg(name);

    // "--help" anywhere wins over everything else, like in most tools.
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--help") || arguments.at(i) == QLatin1String("-h")) {
            request->command = CliCommand::Help;
            request->helpTopic = name;
            return true;
        }
    }

    request->command = command;
    QString orderText;
    QString outputDir = QStringLiteral(".");
    QVector<OptionId> seen;
    for (int i = 1; i < arguments.size(); ++i) {
        QString option = arguments.at(i);
        QString value;
        bool hasInlineValue = false;
        const int equals = option.indexOf(QLatin1Char('='));
        if (option.startsWith(QLatin1String("--")) && equals > 0) {
            value = option.mid(equals + 1);
            option = option.left(equals);
            hasInlineValue = true;
        }
        const OptionRule* rule = findOption(option);
        if (!rule) {
            *error = option.startsWith(QLatin1Char('-'))
                         ? QStringLiteral("unknown option %1").arg(quoted(option)) + hint
                         : QStringLiteral("unexpected argument %1").arg(quoted(option)) + hint;
            return false;
        }
        if (!acceptedBy(*rule, command)) {
            *error = QStringLiteral("option %1 does not apply to %2").arg(option, name) + hint;
            return false;
        }
        if (seen.contains(rule->id)) {
            *error = QStringLiteral("option %1 given twice").arg(option);
            return false;
        }
        seen.append(rule->id);
        if (!rule->takesValue) {
            if (hasInlineValue) {
                *error = QStringLiteral("option %1 takes no value").arg(option);
                return false;
            }
        } else if (!hasInlineValue) {
            if (i + 1 >= arguments.size()) {
                *error = QStringLiteral("option %1 needs a value").arg(option) + hint;
                return false;
            }
            value = arguments.at(++i);
        }

        CliDesignOptions& design = request->design;
        bool ok = true;
        switch (rule->id) {
        case OptFocalLength: ok = parseInteger(option, value, focalLengthRange, &design.focalLength, error); break;
        case OptDistance: ok = parseInteger(option, value, distanceRange, &design.prismDistance, error); break;
        case OptSize: ok = parseInteger(option, value, sizeRange, &design.prismSize, error); break;
        case OptAngle: ok = parseTwoDecimals(option, value, angleRange, &design.angleDeg, error); break;
        case OptIndex: ok = parseTwoDecimals(option, value, indexRange, &design.refractiveIndex, error); break;
        case OptFixAngle: design.fixAngle = true; break;
        case OptThreads: ok = parseInteger(option, value, IntRange{1, maxThreads}, &request->threads, error); break;
        case OptOrder: orderText = value; break;
        case OptOutputDir:
            if (value.isEmpty()) {
                *error = QStringLiteral("option --output-dir needs a directory");
                return false;
            }
            outputDir = value;
            break;
        case OptJson: request->json = true; break;
        case OptHelp: break;
        }
        if (!ok)
            return false;
    }

    if (command != CliCommand::Design) {
        if (!seen.contains(OptOrder)) {
            *error = QStringLiteral("%1 needs --order N (3 to 8) or --order all").arg(name) + hint;
            return false;
        }
        if (orderText == QLatin1String("all")) {
            request->allOrders = true;
            for (int order = orderRange.low; order <= orderRange.high; ++order)
                request->orders.append(order);
        } else {
            int order = 0;
            bool ok = false;
            order = orderText.toInt(&ok, 10);
            if (!ok || order < orderRange.low || order > orderRange.high) {
                *error = QStringLiteral("--order must be a whole number from 3 to 8 or 'all', got %1")
                             .arg(quoted(orderText));
                return false;
            }
            request->orders.append(order);
        }
    }

    if (!checkOutputDirectory(outputDir, error))
        return false;
    request->outputDir = QDir(outputDir).absolutePath();

    if (command != CliCommand::Fit && !checkResultFiles(request->outputDir, designFiles, error))
        return false;
    if (command == CliCommand::Fit) {
        const QFileInfo input(QDir(request->outputDir).filePath(QStringLiteral("outputall.txt")));
        if (!input.isFile() || !input.isReadable()) {
            *error = QStringLiteral("no readable outputall.txt in %1; run 'harvenlotek-cli design' first")
                         .arg(quoted(request->outputDir));
            return false;
        }
    }
    for (int order : request->orders) {
        if (!checkFitDirectory(*request, order, error))
            return false;
    }
    return true;
}

QString cliHelpText(const QString& topic)
{
    const QString designOptions = QStringLiteral(
        "  --focal-length N   camera focal length in mm, 4 to 40 (default 35)\n"
        "  --distance N       prism base to image plane in mm, 100 to 300 (default 175)\n"
        "  --size N           width of the prism base in mm, 50 to 150 (default 100)\n"
        "  --angle A          prism base angle in degrees, 0 to 80, two decimals (default 20)\n"
        "  --index R          refractive index, 1.40 to 1.55, two decimals (default 1.48)\n"
        "  --fix-angle        replace the angle by the \"fix angle\" rule of the window\n"
        "                     (the angle at which the central ray of each half image\n"
        "                     leaves the prism along the axis)\n"
        "  --threads N        threads for the design (default: all processors)\n");
    const QString commonOptions = QStringLiteral(
        "  --output-dir D     directory of the result files (default: the current one);\n"
        "                     it must exist and be writable\n"
        "  --json             print the summary as JSON instead of text\n"
        "  --help             show this help\n");
    const QString orderOption = QStringLiteral(
        "  --order N|all      polynomial order of the fit, 3 to 8, or all six in turn;\n"
        "                     with 'all' each order writes to D/order-N/\n");
    const QString exitCodes = QStringLiteral(
        "\nExit codes: 0 done, 1 a result file could not be written, 2 bad input\n"
        "(nothing written).\n");

    if (topic == QLatin1String("design")) {
        return QStringLiteral(
                   "Usage: harvenlotek-cli design [options]\n\n"
                   "Designs both freeform surfaces for the camera (resolution 1920 x 1080,\n"
                   "pixel 0.0055 mm) and prism given, and writes \"output.txt\" (row profile)\n"
                   "and \"outputall.txt\" (every tenth grid point) to the output directory.\n\n"
                   "Options:\n")
               + designOptions + commonOptions + exitCodes;
    }
    if (topic == QLatin1String("fit")) {
        return QStringLiteral(
                   "Usage: harvenlotek-cli fit --order N|all [options]\n\n"
                   "Fits both surfaces of the \"outputall.txt\" in the output directory with\n"
                   "polynomials of the order given and writes \"output_fit_fig1.txt\",\n"
                   "\"output_fit_fig2.txt\" and the report \"result_para_fit.txt\".\n\n"
                   "Options:\n")
               + orderOption + commonOptions + exitCodes;
    }
    if (topic == QLatin1String("run")) {
        return QStringLiteral(
                   "Usage: harvenlotek-cli run --order N|all [options]\n\n"
                   "Runs design, then fit, on the same output directory.\n\n"
                   "Options:\n")
               + orderOption + designOptions + commonOptions + exitCodes;
    }
    return QStringLiteral(
               "Usage: harvenlotek-cli COMMAND [options]\n\n"
               "Designs a prism with two freeform surfaces for single-camera stereo and fits\n"
               "the surfaces with polynomials, without a display.\n\n"
               "Commands:\n"
               "  design    design both surfaces; writes output.txt and outputall.txt\n"
               "  fit       fit the surfaces of outputall.txt; writes the fit files and report\n"
               "  run       design, then fit\n\n"
               "'harvenlotek-cli COMMAND --help' lists the options of a command.\n")
           + exitCodes;
}
