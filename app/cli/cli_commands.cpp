#include "app/cli/cli_commands.h"

#include "design/design_record.h"
#include "design/prism_angle.h"
#include "fit/fit_run.h"
#include "sketch/prism_sketch_geometry.h"

#include <QDir>
#include <QElapsedTimer>

#include <algorithm>

namespace {

// The window's design and "fix angle" rule always work with 1920 pixels.
constexpr int designResolutionX = 1920;
constexpr double panelAngleLow = 0.0;
constexpr double panelAngleHigh = 80.0;

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
    const float fixed = fixedPrismAngleDegrees(designResolutionX, options.focalLength,
                                               static_cast<float>(options.refractiveIndex));
    *sketchValue = fixed;
    const double shown = std::clamp(roundToSpinBoxDecimals(static_cast<double>(fixed), 2),
                                    panelAngleLow, panelAngleHigh);
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
    sketch.resolutionX = designResolutionX;
    sketch.angleDeg = report->designAngleDeg;
    sketch.prismDistance = static_cast<float>(options.prismDistance);
    sketch.prismSize = static_cast<float>(options.prismSize);
    sketch.refractiveIndex = static_cast<float>(options.refractiveIndex);
    sketch.virtualCameraPos = static_cast<float>(options.prismDistance + options.focalLength);
    centralRayHit(sketch, &report->centralRayHitX, &report->centralRayHitY);

    DesignParameters parameters;
    parameters.focalLength = options.focalLength;
    parameters.resolutionX = designResolutionX;
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
    report->profilePoints = result.profileRows;
    report->gridPoints = result.gridRows;
    report->nonFinitePoints = result.nonFiniteRows;
    report->seconds = elapsedSeconds(timer);
    if (!result.filesWritten) {
        *error = QStringLiteral("the design files could not be written to '%1'").arg(request.outputDir);
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
    report->surface1Points = summary.surface1Count;
    report->surface2Points = summary.surface2Count;
    report->coefficients1 = QVector<double>(summary.surface1Coefficients.begin(),
                                            summary.surface1Coefficients.end());
    report->coefficients2 = QVector<double>(summary.surface2Coefficients.begin(),
                                            summary.surface2Coefficients.end());
    report->res1 = summary.res1;
    report->res2 = summary.res2;
    report->seconds = elapsedSeconds(timer);
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
