#include "app/cli/cli_commands.h"

#include "design/design_record.h"
#include "design/design_run.h"
#include "design/prism_angle.h"
#include "fit/fit_run.h"
#include "sketch/prism_geometry.h"

#include <QDir>
#include <QElapsedTimer>

#include <algorithm>
#include <limits>

namespace {

// The window's design runs with the counts 2, 480 and 540.
constexpr int quarterSteps = 480;
constexpr int halfSteps = 540;

double elapsedSeconds(const QElapsedTimer& timer)
{
    return static_cast<double>(timer.nsecsElapsed()) * 1e-9;
}

// The window's angle after its panel is set: the spin box's value, and the
// sketch's float copy that the design takes. "fix angle" stores the rule's
// float in the sketch and hands it to the spin box, which rounds it to two
// decimals; only when that changes the spin box's value does its slot
// overwrite the sketch's copy with the rounded value.
void panelAngle(const CliDesignOptions& options, double* spinBoxValue, float* sketchValue)
{
    *spinBoxValue = options.angleDeg;
    *sketchValue = static_cast<float>(options.angleDeg);
    if (!options.fixAngle)
        return;
    const float fixed = fixedPrismAngleDegrees(cliResolutionX, options.focalLength,
                                               static_cast<float>(options.refractiveIndex));
    *sketchValue = fixed;
    const double shown = std::clamp(roundToSpinBoxDecimals(static_cast<double>(fixed), 2),
                                    cliAngleLow, cliAngleHigh);
    if (shown != *spinBoxValue) {
        *spinBoxValue = shown;
        *sketchValue = static_cast<float>(shown);
    }
}

bool runDesignStage(const CliRequest& request, CliDesignReport* report, QString* error)
{
    QElapsedTimer timer;
    timer.start();
    const CliDesignOptions& options = request.design;
    panelAngle(options, &report->panelAngleDeg, &report->designAngleDeg);

    // The sketch's copies, as the window's value slots leave them.
    PrismSketchParameters sketch;
    sketch.focalLength = static_cast<float>(options.focalLength);
    sketch.resolutionX = cliResolutionX;
    sketch.angleDeg = report->designAngleDeg;
    sketch.prismDistance = static_cast<float>(options.prismDistance);
    sketch.prismSize = static_cast<float>(options.prismSize);
    sketch.refractiveIndex = static_cast<float>(options.refractiveIndex);
    sketch.virtualCameraPos = static_cast<float>(options.prismDistance + options.focalLength);
    // A central ray parallel to the face has no hit point; the window would
    // keep the point of an earlier paint, here the design gets NaN and says so.
    report->centralRayHitDefined =
        centralRayHit(sketch, &report->centralRayHitX, &report->centralRayHitY);
    if (!report->centralRayHitDefined) {
        report->centralRayHitX = std::numeric_limits<double>::quiet_NaN();
        report->centralRayHitY = std::numeric_limits<double>::quiet_NaN();
    }

    DesignParameters parameters;
    parameters.focalLength = options.focalLength;
    parameters.resolutionX = cliResolutionX;
    parameters.angleDeg = report->designAngleDeg;
    parameters.prismDistance = options.prismDistance;
    parameters.prismSize = options.prismSize;
    parameters.refractiveIndex = static_cast<float>(options.refractiveIndex);
    parameters.centralRayHitX = report->centralRayHitX;
    parameters.centralRayHitY = report->centralRayHitY;

    DesignRunOptions runOptions;
    runOptions.outputDirectory = request.outputDir;
    runOptions.threadCount = request.threads;
    const DesignRunResult result = runDesign(parameters, runOptions);
    report->profilePoints = 4 * quarterSteps;
    report->gridPoints = 8 * quarterSteps * halfSteps / 10;
    report->nonFinitePoints = result.nonFiniteGridLines;
    report->threads = result.threadCount;
    report->seconds = elapsedSeconds(timer);
    if (!result.profileWritten || !result.gridWritten) {
        *error = QStringLiteral("%1 could not be written in '%2'")
                     .arg(result.profileWritten ? QStringLiteral("outputall.txt")
                                                : QStringLiteral("output.txt"),
                          request.outputDir);
        return false;
    }
    return true;
}

bool runFitStage(const CliRequest& request, int order, CliFitReport* report, QString* error)
{
    QElapsedTimer timer;
    timer.start();
    report->order = order;
    report->directory = fitOutputDirectory(request, order);
    if (!QDir().mkpath(report->directory)) {
        *error = QStringLiteral("directory '%1' could not be created").arg(report->directory);
        return false;
    }
    FitRunLocation where;
    where.inputDirectory = request.outputDir;
    where.outputDirectory = report->directory;
    const FitRunSummary summary = fitAndReportOrder(order, where);
    report->seconds = elapsedSeconds(timer);
    if (!summary.designFileFound || !summary.pointFilesRead || !summary.fitFilesWritten
        || !summary.reportWritten || summary.surface1Results.empty()
        || summary.surface2Results.empty()) {
        *error = QStringLiteral("the fit of order %1 could not %2 in '%3'")
                     .arg(order)
                     .arg(!summary.designFileFound ? QStringLiteral("read outputall.txt")
                                                   : QStringLiteral("write its files"))
                     .arg(report->directory);
        return false;
    }
    report->surface1Points = summary.surface1Count;
    report->surface2Points = summary.surface2Count;
    // Each result array holds the coefficients followed by the residual.
    report->coefficients1 = QVector<double>(summary.surface1Results.begin(),
                                            summary.surface1Results.end() - 1);
    report->coefficients2 = QVector<double>(summary.surface2Results.begin(),
                                            summary.surface2Results.end() - 1);
    report->res1 = summary.surface1Results.back();
    report->res2 = summary.surface2Results.back();
    return true;
}

}  // namespace

int runCliRequest(const CliRequest& request, CliReport* report, QString* error)
{
    QElapsedTimer total;
    total.start();
    report->request = request;
    if (request.command == CliCommand::Design || request.command == CliCommand::Run) {
        report->hasDesign = true;
        if (!runDesignStage(request, &report->design, error))
            return CliExitFailure;
    }
    for (int order : request.orders) {
        CliFitReport fit;
        if (!runFitStage(request, order, &fit, error))
            return CliExitFailure;
        report->fits.append(fit);
    }
    report->totalSeconds = elapsedSeconds(total);
    return CliExitOk;
}
