#include "app/cli/cli_commands.h"

#include "design/design_files.h"
#include "design/design_run.h"
#include "fit/fit_run.h"
#include "parameters/panel_parameters.h"

#include <QDir>
#include <QElapsedTimer>

#include <limits>
#include <memory>
#include <utility>
#include <vector>

namespace {

double elapsedSeconds(const QElapsedTimer& timer)
{
    return static_cast<double>(timer.nsecsElapsed()) * 1e-9;
}

// The design of a run also keeps "outputall.txt" as the fit will read it, so
// that the fit starts from memory. Only a run that verifies keeps the whole
// grid (in *record); any other design holds just what it writes.
bool runDesignStage(const CliRequest& request, CliDesignReport* report, std::vector<double>* fileValues,
                    QString* error, std::unique_ptr<ScopedDesignRecord>* record)
{
    QElapsedTimer timer;
    timer.start();
    const PanelParameters& panel = request.panel;
    report->panelAngleDeg = panel.angleDeg;
    report->designAngleDeg = panel.designAngleDeg;
    // A central ray parallel to the face has no hit point; the window would
    // keep the point of an earlier state, here the design gets NaN and says so.
    CentralRayHit hit = centralRayHit(panel);
    report->centralRayHitDefined = hit.defined;
    if (!hit.defined)
        hit.x = hit.y = std::numeric_limits<double>::quiet_NaN();
    report->centralRayHitX = hit.x;
    report->centralRayHitY = hit.y;

    DesignRunOptions runOptions;
    runOptions.outputDirectory = request.outputDir;
    runOptions.threadCount = request.threads;
    runOptions.panel = &panel;
    runOptions.keepFileValues = fileValues != nullptr;
    DesignRunResult result;
    if (request.verify) {
        // The record stays for the verification of its full-precision grid.
        *record = std::make_unique<ScopedDesignRecord>(2, designQuarterSteps, designHalfSteps);
        fillDesignRecord(***record, toDesignParameters(panel, hit));
        result = traceDesign(***record, runOptions);
    } else {
        result = runDesign(toDesignParameters(panel, hit), runOptions);
    }
    if (fileValues)
        *fileValues = std::move(result.gridFileValues);
    report->profilePoints = 4 * designQuarterSteps;
    report->gridPoints = 8 * designQuarterSteps * designHalfSteps / 10;
    report->nonFinitePoints = result.nonFiniteGridLines;
    report->threads = result.threadCount;
    report->seconds = elapsedSeconds(timer);
    if (!result.profileWritten || !result.gridWritten) {
        *error = QStringLiteral("%1 could not be written in '%2'")
                     .arg(QString::fromLatin1(result.profileWritten ? designPointsFileName : designProfileFileName),
                          request.outputDir);
        return false;
    }
    return true;
}

// Every order of the request on the same points (split once, from memory
// when the design has just run), the orders side by side.
bool runFitStages(const CliRequest& request, std::vector<double>* designValues, CliReport* report,
                  QString* error)
{
    QElapsedTimer timer;
    timer.start();
    for (int order : request.orders) {
        const QString directory = fitOutputDirectory(request, order);
        if (!QDir().mkpath(directory)) {
            *error = QStringLiteral("directory '%1' could not be created").arg(directory);
            return false;
        }
    }
    const FitPoints points = designValues ? splitFitPoints(designValues->data(), designValues->size())
                                          : loadFitPoints(request.outputDir);
    if (designValues)
        std::vector<double>().swap(*designValues);  // split off: the design's numbers are no longer needed
    if (!points.designFileFound) {
        *error = QStringLiteral("the fit could not read %1 in '%2'")
                     .arg(QString::fromLatin1(designPointsFileName), request.outputDir);
        return false;
    }
    const double splitSeconds = elapsedSeconds(timer);
    const std::vector<int> orders(request.orders.begin(), request.orders.end());
    const std::vector<FitRunSummary> summaries = fitOrders(
        orders, points, [&request](int order) { return fitOutputDirectory(request, order); }, true, request.threads);
    for (const FitRunSummary& summary : summaries) {
        CliFitReport fit;
        fit.order = summary.order;
        fit.directory = fitOutputDirectory(request, summary.order);
        // The split is shared; each order is charged its share of it.
        fit.seconds = summary.totalSeconds + splitSeconds / static_cast<double>(summaries.size());
        if (!summary.fitFilesWritten || !summary.reportWritten || !summary.jsonWritten) {
            *error = QStringLiteral("the fit of order %1 could not write its files in '%2'")
                         .arg(summary.order)
                         .arg(fit.directory);
            return false;
        }
        fit.surface1Points = summary.surface1Count;
        fit.surface2Points = summary.surface2Count;
        // Each result array holds the coefficients followed by the residual.
        fit.coefficients1 = QVector<double>(summary.surface1Results.begin(), summary.surface1Results.end() - 1);
        fit.coefficients2 = QVector<double>(summary.surface2Results.begin(), summary.surface2Results.end() - 1);
        fit.res1 = summary.surface1Results.back();
        fit.res2 = summary.surface2Results.back();
        report->fits.append(fit);
    }
    return true;
}

}  // namespace

int runCliRequest(const CliRequest& request, CliReport* report, QString* error)
{
    QElapsedTimer total;
    total.start();
    report->request = request;
    if (request.command == CliCommand::Verify) {
        report->hasVerification = true;
        return runVerifyCommand(request, &report->verification, error);
    }
    std::unique_ptr<ScopedDesignRecord> record;
    std::vector<double> designValues;
    const bool designs = request.command == CliCommand::Design || request.command == CliCommand::Run;
    const bool fits = !request.orders.isEmpty();
    if (designs) {
        report->hasDesign = true;
        if (!runDesignStage(request, &report->design, fits ? &designValues : nullptr, error, &record))
            return CliExitFailure;
    }
    if (fits && !runFitStages(request, designs ? &designValues : nullptr, report, error))
        return CliExitFailure;
    if (request.verify && record) {
        report->hasVerification = true;
        const int code = runVerifyAfterRun(request, **record, report->fits, &report->verification, error);
        if (code != CliExitOk)
            return code;
    }
    report->totalSeconds = elapsedSeconds(total);
    return CliExitOk;
}
