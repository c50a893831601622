#include "app/cli/cli_option_table.h"

#include "parameters/panel_parameters.h"

#include <algorithm>
#include <climits>
#include <deque>
#include <cmath>

namespace {

constexpr auto Switch = CliValue::Switch;
constexpr auto Text = CliValue::Text;
constexpr auto Whole = CliValue::Whole;
constexpr auto Number = CliValue::Number;
constexpr auto Positive = CliValue::Positive;
constexpr auto Choice = CliValue::Choice;
constexpr double none = 0.0;
constexpr double anyCount = INT_MAX;

// Commands that share options.
#define ALL "design fit run verify export calibrate prism"
#define PANEL "design fit run verify calibrate prism"
#define DESIGNING "design run calibrate prism"

// A panel quantity as an option: range, start value, description and unit
// from parameters/panel_parameters.h, as the window shows them.
CliOption panelOption(PanelField field)
{
    const PanelFieldRange& r = panelFieldRange(field);
    static std::deque<QByteArray> texts;  // the rows keep pointers into these
    texts.push_back(QByteArray::number(r.start, 'g', 10));
    const char* start = texts.back().constData();
    texts.push_back(QByteArray(r.description) + (*r.unit ? QByteArray(", ") + r.unit : QByteArray()));
    return {r.option, r.valueName, r.decimals == 0 ? Whole : Number, r.low, r.high, start, PANEL,
            texts.back().constData()};
}

}  // namespace

// To add an option: one row below (name, value name, kind, range, default,
// the commands that take it, one sentence with the unit), then read it where
// the command builds its request: arguments.isSet("name"), .text("name"),
// .whole("name", fallback) or .number("name", fallback); parsing, the range
// check, the refusal by other commands and the help line follow from the row.
// A value name ending in "..." lets the option repeat; a Choice's value name
// lists its words.
const std::vector<CliOption>& cliOptionTable()
{
    // clang-format off
    static const std::vector<CliOption> table = [] {
        std::vector<CliOption> t = {
        // name         value                   kind      low    high      default  commands
        {"order",       "N|all",                Text,     none,  none,     "",      "fit run verify export calibrate",
         "polynomial order of the fit, 3 to 8 (prism: 3 to 10), or all of them in turn, each written to "
         "D/order-N/; export: the prism fit of order N (from D/order-N/ after an 'all' run), without it the best one"},
        {"order",       "N|best",               Text,     none,  none,     "8",     "prism",
         "order of the prism fit, 3 to 10, or 'best': the smallest traced direction error of orders 6 to 10"},
        {"fit-model",   "classic|prism",        Choice,   none,  none,     "classic", "fit run",
         "classic: the fit report of orders 3 to 8; prism: each half's own exit and entrance surfaces, the right "
         "half the mirror image, written to prism.json (on fit, the panel options record the design's values there)"},
        {"optimize",    "",                     Switch,   none,  none,     "",      "fit run",
         "prism fit: then adjust both surfaces so that the traced rays of every 40th pixel (and the central row) "
         "leave along the virtual cameras' rays (Levenberg-Marquardt), and verify the result"},
        {"objective",   "stereo|mapping",       Choice,   none,  none,     "stereo", "fit run",
         "what --optimize minimises: stereo (per half the rays' distance from one common point and the residual "
         "after the best camera of --camera-model; only even powers of y) or mapping (direction and pinhole offset)"},
        {"near-depth",  "Z",                    Positive, none,  1e6,      "300",   "fit run",
         "stereo objective: the nearest working depth below the prism base, mm, at which the non-centrality is "
         "weighted (within the working range of the prism)"},
        {"camera-model", "standard|rational|thinprism|tilted", Choice, none, none, "standard", "fit run",
         "stereo objective: OpenCV distortion model of the camera solved with the prism"},
        {"format",      "gridsag|stl|ply|step|drawing|all", Choice, none, none, "", "export",
         "gridsag (surface_entrance_left.dat and _right, the same for surface_exit), stl (prism.stl), ply "
         "(design_surfaces.ply), step (prism.step, surfaces.step), drawing (prism_drawing.pdf) or all; "
         "frame.txt always"},
        panelOption(PanelField::FocalLength),
        panelOption(PanelField::PrismDistance),
        panelOption(PanelField::PrismSize),
        panelOption(PanelField::Angle),
        panelOption(PanelField::RefractiveIndex),
        {"fix-angle",   "",                     Switch,   none,  none,     "",      PANEL,
         "replace the angle by the \"fix angle\" rule of the window (the angle at which the central ray of each "
         "half image leaves the prism along the axis)"},
        {"design-model", "refraction|classic",  Choice,   none,  none,     "refraction", DESIGNING,
         "refraction: both surfaces obey the law of refraction at every stored point; classic: the surfaces as "
         "they have always been designed"},
        {"refine",      "",                     Switch,   none,  none,     "",      DESIGNING,
         "refine both surfaces over the whole sensor after the columns (refraction model only); kept only when "
         "the verifier finds it no worse"},
        {"threads",     "N",                    Whole,    1,     256,      "all processors", DESIGNING " verify",
         "threads for the design and the verification"},
        {"verify",      "",                     Switch,   none,  none,     "",      "run",
         "after the run, trace the pixels through the surfaces and report their stereo errors (as verify)"},
        {"step",        "S",                    Whole,    1,     anyCount, "8",     "verify run",
         "verify every S-th pixel across and down (1 traces all 2,073,600 pixels)"},
        {"depth",       "Z...",                 Positive, none,  1e6,      "",      "verify run calibrate",
         "scene depth below the prism base, mm, for the reprojection error, by default 1000 and 300; for the "
         "calibration a target depth, by default 300, 600, 1000 and 2000"},
        {"calibrate",   "",                     Switch,   none,  none,     "",      "run",
         "after the run, predict the stereo calibration (see 'calibrate')"},
        {"model",       "standard|rational|thinprism|tilted", Choice, none, none, "standard", "run calibrate",
         "OpenCV distortion model of the calibration: k1 k2 p1 p2 k3; rational adds k4 .. k6, thinprism "
         "also s1 .. s4, tilted also tauX tauY"},
        {"source",      "design|fit|prism",     Choice,   none,  none,     "design", "run calibrate",
         "prism to calibrate: the design surfaces, the classic fit of --order or the prism fit of --order "
         "(computed in memory)"},
        {"map",         "FILE.png",             Text,     none,  none,     "",      "verify run",
         "write an error map of every verified source as a PNG"},
        {"folder",      "NAME",                 Text,     none,  none,     "prism-DATE-TIME", "prism",
         "name of the result folder inside D (numbered when the date and time are taken); a folder that exists "
         "already is refused"},
        {"sensitivity", "",                     Switch,   none,  none,     "",      "verify prism",
         "also recalibrate the prism with 0.5 and 2 um RMS of smooth form error on each surface (3 seeds) and "
         "report the residual added per um (\"sensitivity\" in verification.json)"},
        {"material",    "NAME",                 Text,     none,  none,     "custom", "prism",
         "the prism's material: custom (the constant --index), N-BK7, F2, N-K5, N-SF2, fused silica, PMMA, "
         "polycarbonate, Zeonex E48R or one of --catalogue; sets the index to the material's at --wavelength"},
        {"wavelength",  "NM",                   Positive, none,  1e5,      "587.56", "prism",
         "design wavelength, nm (587.56: the d line)"},
        {"band",        "B",                    Text,     none,  none,     "visible", "prism",
         "band verified and calibrated in: visible (F to C, 486.13 to 656.27 nm), nir850 (825-875), nir940 "
         "(915-965) or W1-W2 in nm; weighed at its edges and centre"},
        {"catalogue",   "FILE",                 Text,     none,  none,     "",      "prism",
         "a material catalogue whose entries add to or replace the built-in ones"},
        {"channel-calibration", "",             Switch,   none,  none,     "",      "prism",
         "also calibrate once per colour channel: R, G, B at 610, 550, 465 nm (visible band), else the band's "
         "edges and centre"},
        {"achromat",    "",                     Switch,   none,  none,     "",      "prism",
         "cement each half from a crown and a flint whose interface makes the band's edges leave each half "
         "parallel on average"},
        {"crown",       "NAME",                 Text,     none,  none,     "N-BK7", "prism",
         "the achromat's crown, behind the entrance"},
        {"flint",       "NAME",                 Text,     none,  none,     "F2",    "prism",
         "the achromat's flint, in front of the exit"},

        // simulate
        {"scene",       "S",                    Text,     none,  none,     "plane", "simulate",
         "plane, tilted, steps, or an image FILE (a fronto plane textured with it)"},
        {"depth",       "Z...",                 Number,   -1e6,  1e6,      "1000",  "simulate",
         "depth of the scene below the prism base, mm, in front of the prism"},
        {"tilt",        "DEG",                  Number,   -60,   60,       "30",    "simulate",
         "tilt of the tilted plane about y, degrees"},
        {"texture",     "FILE",                 Text,     none,  none,     "",      "simulate",
         "an image as texture instead of band-limited noise"},
        {"supersample", "N",                    Whole,    1,     8,        "2",     "simulate",
         "N x N rays per pixel"},
        {"rows",        "F",                    Positive, none,  1,        "1",     "simulate",
         "capture only the central fraction F of the sensor rows (1: all)"},
        {"noise",       "SIGMA",                Number,   0,     1e9,      "0",     "simulate",
         "read noise in electrons, with photon noise; 0: none"},
        {"full-well",   "E",                    Number,   1,     1e12,     "10000", "simulate",
         "electrons of a white pixel"},
        {"seed",        "N",                    Whole,    0,     INT_MAX,  "1",     "simulate",
         "seed of the texture and the noise"},
        {"prism",       "FILE",                 Text,     none,  none,     "D/prism.json", "simulate",
         "the prism"},
        {"calibration", "FILE",                 Text,     none,  none,     "D/stereo_calibration.yml", "simulate",
         "the calibration"},
        {"calibrate",   "",                     Switch,   none,  none,     "",      "simulate",
         "predict the calibration of this prism first and write it to D/stereo_calibration.yml"},
        {"model",       "standard|rational|thinprism|tilted", Choice, none, none, "standard", "simulate",
         "OpenCV distortion model of --calibrate"},
        {"min-disparity", "N",                  Whole,    -4096, 4096,     "from the scene", "simulate",
         "StereoSGBM's smallest disparity, px"},
        {"num-disparities", "N",                Whole,    16,    4096,     "from the scene", "simulate",
         "StereoSGBM's disparity range, px, a multiple of 16"},
        {"block-size",  "N",                    Whole,    1,     51,       "5",     "simulate",
         "StereoSGBM's block size, px, odd"},
        {"p1",          "N",                    Whole,    1,     1 << 20,  "8 block size squared", "simulate",
         "StereoSGBM's penalty of a disparity change by 1"},
        {"p2",          "N",                    Whole,    1,     1 << 20,  "32 block size squared", "simulate",
         "StereoSGBM's penalty of a larger disparity change, above --p1"},
        {"uniqueness",  "N",                    Whole,    0,     100,      "10",    "simulate",
         "StereoSGBM's uniqueness ratio, percent"},
        {"sgbm-mode",   "sgbm|3way|hh",         Choice,   none,  none,     "3way",  "simulate",
         "StereoSGBM's mode"},
        {"no-ideal",    "",                     Switch,   none,  none,     "",      "simulate",
         "skip the ideal pinhole pair"},
        {"threads",     "N",                    Whole,    1,     1024,     "all processors", "simulate",
         "threads"},

        // tolerance
        {"prism",       "PATH",                 Text,     none,  none,     "",      "tolerance",
         "the prism fit, a prism.json or a folder holding one, needed"},
        {"tolerances",  "FILE",                 Text,     none,  none,     "built-in", "tolerance",
         "the tolerances and pass criteria"},
        {"trials",      "N",                    Whole,    1,     1e8,      "",      "tolerance",
         "Monte Carlo trials of the whole run, needed"},
        {"seed",        "S",                    Text,     none,  none,     "1",     "tolerance",
         "seed of the trials, a whole number of 0 or more"},
        {"shard",       "i/K",                  Text,     none,  none,     "",      "tolerance sweep",
         "run only the i-th of K equal parts of the trials or grid points (0 <= i < K); 'merge' joins them"},
        {"threads",     "N",                    Whole,    0,     1024,     "0: all processors", "tolerance sweep",
         "threads"},
        {"target-points", "N",                  Whole,    4,     40,       "", "tolerance sweep",
         "target grid points across a half in each calibration"},

        // sweep
        {"param",       "NAME=LOW:HIGH:COUNT...", Text,   none,  none,     "",      "sweep",
         "a swept quantity: angle, index, distance, focal-length, size (the panel's ranges) or order (of the "
         "prism fit, 3 to 10), COUNT values from LOW to HIGH; NAME=VALUE holds it at one value"},
        {"order",       "N",                    Whole,    3,     10,       "8",     "sweep",
         "prism fit order where the grid does not set it"},
        {"verify-step", "S",                    Whole,    1,     64,       "8",     "sweep",
         "verify every S-th pixel across and down"},

        {"output-dir",  "D",                    Text,     none,  none,     ".",     ALL " simulate tolerance sweep merge",
         "directory of the result files, which must exist and be writable"},
        {"json",        "",                     Switch,   none,  none,     "",      ALL " simulate",
         "print the summary as JSON instead of text"},
        {"help",        "",                     Switch,   none,  none,     "",      ALL " simulate tolerance sweep merge",
         "show this help"},
        };
        return t;
    }();
    // clang-format on
    return table;
}

const std::vector<CliCommandInfo>& cliCommandTable()
{
    static const std::vector<CliCommandInfo> table = {
        {"prism", "[panel options] [--order N|best] [--output-dir D]",
         "the whole sound path in one go: refraction design, prism fit of order 8 optimised on the rays, "
         "verification, predicted calibration of that prism, exports and report.html, in a new result folder",
         "Designs the prism with the refraction model, fits it with the prism polynomials of the order given and "
         "optimises them on the traced rays, verifies it, predicts the stereo calibration of that same prism and "
         "exports it. Everything goes into a new result folder inside D (\"prism-YYYY-MM-DDTHH-MM-SS\"; never an "
         "earlier run's): the design files, \"prism.json\", the grid sag, STL and PLY exports, "
         "\"stereo_calibration.yml\", \"verification.json\", \"verification_map.png\" and \"report.html\", a page "
         "with the figures, the error maps and the list of files. Nothing is written unless every stage succeeds."},
        {"design", "[options]", "design both surfaces; writes output.txt and outputall.txt",
         "Designs both freeform surfaces for the camera (resolution 1920 x 1080, pixel 0.0055 mm) and prism given, "
         "and writes \"output.txt\" (row profile), \"outputall.txt\" (every tenth grid point) and \"design.json\" "
         "to the output directory."},
        {"fit", "--order N|all [options]", "fit the surfaces of outputall.txt; writes the fit files and report",
         "Fits both surfaces of the \"outputall.txt\" in the output directory with polynomials of the order given "
         "and writes \"output_fit_fig1.txt\", \"output_fit_fig2.txt\" and the report \"result_para_fit.txt\"; with "
         "--fit-model prism, \"prism.json\" instead."},
        {"run", "--order N|all [options]", "design, then fit",
         "Runs design, then fit, on the same output directory."},
        {"verify", "[--order N|all] [options]",
         "trace the pixels through the design and fitted surfaces and report their stereo errors",
         "Traces the camera ray of every S-th pixel through the design surfaces of the output directory "
         "(\"outputall.txt\", with the geometry of \"design.json\" or, without it, of the panel options) and "
         "through the fitted surfaces (\"result_para_fit.json\" there, or in order-N/ with --order all), and "
         "reports per half of the sensor the direction error and the reprojection error in pixels and the "
         "distance from the virtual pinhole in mm."},
        {"export", "--format gridsag|stl|ply|step|drawing|all [options]",
         "turn a prism fit into grid sag, STL, PLY and STEP files and a drawing",
         "Turns the prism fit (\"prism.json\", from 'fit --fit-model prism') of the output directory into grid sag "
         "files of each surface and half, a closed STL solid of the prism (within 1 micrometre of the surfaces), a "
         "PLY point cloud of the design points with normals, a STEP solid with the exact surfaces and a "
         "dimensioned drawing (PDF); \"frame.txt\" states the frame of them all."},
        {"calibrate", "[--depth Z]... [--model M] [--source design|fit|prism] [--order N] [options]",
         "predict the stereo calibration of the prism; writes stereo_calibration.yml",
         "Designs the prism in memory (and fits it with --source fit or prism), images a planar grid target at "
         "each depth (fronto-parallel and tilted 30 degrees about x and y) through both sensor halves, calibrates "
         "each half and the pair with OpenCV as a user would, prints the residuals, the baseline and the depth "
         "error, and writes \"stereo_calibration.yml\" (OpenCV's YAML: camera matrices, distortion, R, T and the "
         "rectification). The design and fit files of the output directory are not touched."},
        {"simulate", "[options]",
         "image a scene through the prism, match it with OpenCV's StereoSGBM and report the depth error; writes "
         "PNG pictures",
         "The sensor image of a scene through the prism of a result directory (prism.json), rectified with its "
         "stereo_calibration.yml alone, matched by OpenCV's StereoSGBM and reprojected with Q; the depth error "
         "against the scene, beside the ideal pinhole pair with its exact calibration (the matcher's own floor). "
         "Writes four PNG pictures per scene and depth."},
        {"tolerance", "--prism PATH --trials N [options]",
         "Monte Carlo tolerancing of a prism fit; writes tolerance_trials.csv and tolerance_summary.json",
         "Each trial perturbs the prism and its mounting, traces it and calibrates it again; writes "
         "tolerance_trials.csv, tolerance_summary.json and the plots to D. An option given twice takes its "
         "last value. Exit code 130: interrupted, nothing written.",
         true},
        {"sweep", "--param NAME=LOW:HIGH:COUNT [--param ...] [options]",
         "run the one-shot path over a grid of panel values; writes sweep_points.csv and sweep_summary.json",
         "Runs the one-shot prism path (design, prism fit, verification, calibration; in memory) at every point "
         "of the grid and writes sweep_points.csv, sweep_summary.json and the plots sweep_<figure>.png to D. The "
         "quantities not swept keep the panel's start values. Exit code 130: interrupted, nothing written."},
        {"merge", "--output-dir D SHARD_DIR...", "merge the shard folders of one tolerance run or of one sweep",
         "Merges the shard folders of one tolerance run or of one sweep (--shard) into D, with the plots of the "
         "whole run."},
    };
    return table;
}

QString cliCommandList(const QString& lastJoin)
{
    QStringList names;
    for (const CliCommandInfo& c : cliCommandTable())
        if (c.name != QLatin1String("simulate") && c.name != QLatin1String("tolerance")
            && c.name != QLatin1String("sweep") && c.name != QLatin1String("merge"))
            names << QString::fromLatin1(c.name);
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + lastJoin + last;
}

namespace {

bool takes(const CliOption& option, const QString& command)
{
    return QString::fromLatin1(option.commands).split(QLatin1Char(' ')).contains(command);
}

const CliOption* findOption(const QString& name, const QString& command)
{
    for (const CliOption& option : cliOptionTable())
        if (name == QLatin1String(option.name) && takes(option, command))
            return &option;
    return nullptr;
}

QString numberText(double value)
{
    return QString::number(value, 'g', 10);
}

QString rangeText(const CliOption& o)
{
    if (o.kind == CliValue::Positive)
        return QStringLiteral("above 0 and up to %1").arg(numberText(o.high));
    if (o.high >= anyCount)
        return QStringLiteral("%1 or more").arg(numberText(o.low));
    return QStringLiteral("from %1 to %2").arg(numberText(o.low), numberText(o.high));
}

QStringList choices(const CliOption& o)
{
    return QString::fromLatin1(o.value).split(QLatin1Char('|'));
}

// One given value against its row; the refusal names the option and the value.
bool checkValue(const CliOption& o, const QString& text, QString* error)
{
    bool ok = true;
    double value = 0.0;
    switch (o.kind) {
    case CliValue::Switch:
    case CliValue::Text:
        return true;
    case CliValue::Choice: {
        if (choices(o).contains(text))
            return true;
        QStringList words = choices(o);
        const QString last = words.takeLast();
        *error = QStringLiteral("--%1 must be %2 or %3, got '%4'")
                     .arg(QLatin1String(o.name), words.join(QStringLiteral(", ")), last, text);
        return false;
    }
    case CliValue::Whole:
        value = text.toInt(&ok, 10);
        break;
    case CliValue::Number:
    case CliValue::Positive:
        value = text.toDouble(&ok);
        ok = ok && std::isfinite(value);
        break;
    }
    const bool inside = o.kind == CliValue::Positive ? value > 0.0 && value <= o.high
                                                    : value >= o.low && value <= o.high;
    if (ok && inside)
        return true;
    *error = QStringLiteral("--%1 must be %2 %3, got '%4'")
                 .arg(QLatin1String(o.name),
                      o.kind == CliValue::Whole ? QStringLiteral("a whole number") : QStringLiteral("a number"),
                      rangeText(o), text);
    return false;
}

// `text` broken into lines of at most `width` characters, each after
// `indent` blanks; the first line starts with `head`, or follows it on a line
// of its own when `head` is too long.
QString wrapped(const QString& head, const QString& text, int indent, int width = 79)
{
    QString out;
    QString line = head;
    if (!head.isEmpty() && head.size() >= indent) {
        out = head + QLatin1Char('\n');
        line.clear();
    }
    line = line.leftJustified(indent);
    bool empty = true;  // no word on the line yet
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!empty && line.size() + 1 + word.size() > width) {
            out += line + QLatin1Char('\n');
            line = QString(indent, QLatin1Char(' '));
            empty = true;
        }
        line += (empty ? QString() : QStringLiteral(" ")) + word;
        empty = false;
    }
    return out + line + QLatin1Char('\n');
}

QString optionHelp(const CliOption& o)
{
    QString head = QStringLiteral("  --") + QLatin1String(o.name);
    if (o.kind != CliValue::Switch)
        head += QLatin1Char(' ') + QLatin1String(o.value);
    QString text = QString::fromLatin1(o.help);
    const bool ranged = o.kind == CliValue::Whole || o.kind == CliValue::Number || o.kind == CliValue::Positive;
    QStringList notes;
    if (ranged)
        notes << rangeText(o);
    if (*o.start)
        notes << QStringLiteral("default %1").arg(QLatin1String(o.start));
    if (!notes.isEmpty())
        text += QStringLiteral(" (%1)").arg(notes.join(QStringLiteral(", ")));
    return wrapped(head, text, 21);
}

const char exitCodes[] =
    "Exit codes: 0 done, 1 a result file could not be written (the previous one is kept), 2 bad input or a "
    "malformed outputall.txt (nothing written), 3 another run is writing in the output directory (nothing "
    "written).";

}  // namespace

bool parseCliOptions(const QString& command, const QStringList& arguments, bool positional, CliArguments* parsed,
                     QString* error)
{
    const QString hint = QStringLiteral(" (see 'harvenlotek-cli %1 --help')").arg(command);
    QCommandLineParser& parser = parsed->parser_;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    QStringList names;
    for (const CliOption& o : cliOptionTable()) {
        if (names.contains(QLatin1String(o.name)))
            continue;
        names << QString::fromLatin1(o.name);
        QCommandLineOption option(names.last());
        if (o.kind != CliValue::Switch)
            option.setValueName(QString::fromLatin1(o.value));
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
    parsed->help_ = parser.isSet(QStringLiteral("help"));
    if (parsed->help_)
        return true;
    parsed->positional_ = parser.positionalArguments();
    if (!positional && !parsed->positional_.isEmpty()) {
        *error = QStringLiteral("unexpected argument '%1'").arg(parsed->positional_.first()) + hint;
        return false;
    }
    const auto& commands = cliCommandTable();
    const bool lastWins = std::any_of(commands.begin(), commands.end(), [&command](const CliCommandInfo& c) {
        return c.lastWins && command == QLatin1String(c.name);
    });
    QStringList seen;
    for (const QString& given : parser.optionNames()) {
        const CliOption* option = findOption(given, command);
        if (!option) {
            *error = QStringLiteral("option --%1 does not apply to %2").arg(given, command) + hint;
            return false;
        }
        if (seen.contains(given) && !lastWins && !QString::fromLatin1(option->value).endsWith(QLatin1String("..."))) {
            *error = QStringLiteral("option --%1 given twice").arg(given);
            return false;
        }
        seen << given;
    }
    seen.removeDuplicates();
    for (const QString& given : seen) {
        const CliOption* option = findOption(given, command);
        for (const QString& value : parser.values(given))
            if (!checkValue(*option, value, error))
                return false;
    }
    return true;
}

QString cliHelpText(const QString& command)
{
    for (const CliCommandInfo& c : cliCommandTable()) {
        if (command != QLatin1String(c.name))
            continue;
        const QString usage = QStringLiteral("Usage: harvenlotek-cli ") + QLatin1String(c.name);
        QString text = wrapped(usage, QString::fromLatin1(c.usage), usage.size() + 1) + QLatin1Char('\n');
        text += wrapped(QString(), QString::fromLatin1(c.about), 0) + QStringLiteral("\nOptions:\n");
        for (const CliOption& o : cliOptionTable())
            if (takes(o, command))
                text += optionHelp(o);
        return text + QLatin1Char('\n') + wrapped(QString(), QString::fromLatin1(exitCodes), 0);
    }
    QString text = QStringLiteral(
        "Usage: harvenlotek-cli COMMAND [options]\n\n"
        "Designs a prism with two freeform surfaces for single-camera stereo and fits\n"
        "the surfaces with polynomials, without a display.\n\nCommands:\n");
    for (const CliCommandInfo& c : cliCommandTable())
        text += wrapped(QStringLiteral("  ") + QLatin1String(c.name), QString::fromLatin1(c.summary), 12);
    text += QStringLiteral("\n'harvenlotek-cli COMMAND --help' lists the options of a command.\n\n");
    return text + wrapped(QString(), QString::fromLatin1(exitCodes), 0);
}
