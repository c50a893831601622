#include "app/cli/cli_verify.h"

#include "app/cli/cli_report.h"
#include "fit/prism_file.h"
#include "verify/prism_trace.h"
#include "refine/surface_refinement.h"
#include "verify_map/verify_map.h"

#include <QDir>
#include <QElapsedTimer>

namespace {

verify::VerifyOptions optionsOf(const CliRequest& request)
{
    verify::VerifyOptions options;
    options.step = request.verifyStep;
    options.depths.assign(request.verifyDepths.begin(), request.verifyDepths.end());
    options.threadCount = request.threads;
    options.keepPixels = !request.mapPath.isEmpty();
    return options;
}

int traceAll(const CliRequest& request, CliVerification* v, QString* error, const QElapsedTimer& timer)
{
    const verify::VerifyOptions options = optionsOf(request);
    for (const verify::VerifySource& source : v->sources)
        v->results.push_back(verify::verifyPrism(source.geometry, source.surfaces, options));
    if (!request.mapPath.isEmpty() && !verify::writeVerificationMap(request.mapPath, v->sources, v->results, error))
        return CliExitFailure;
    v->seconds = static_cast<double>(timer.nsecsElapsed()) * 1e-9;
    return CliExitOk;
}

}  // namespace

int runVerifyCommand(const CliRequest& request, CliVerification* v, QString* error)
{
    QElapsedTimer timer;
    timer.start();
    verify::VerifySource design;
    if (!verify::loadDesignSource(request.outputDir, request.panel, &design, &v->geometryFromOptions, error))
        return CliExitUsage;
    v->sources.push_back(design);
    const QDir dir(request.outputDir);
    QStringList fitDirectories;
    if (request.allOrders) {
        for (int order : request.orders) {
            const QString sub = dir.filePath(QStringLiteral("order-%1").arg(order));
            if (QFileInfo::exists(QDir(sub).filePath(QStringLiteral("result_para_fit.json"))))
                fitDirectories.append(sub);
        }
        bool prismThere = false;
        for (int order = lowestPrismOrder; order <= highestPrismOrder; ++order)
            prismThere = prismThere
                         || QFileInfo::exists(dir.filePath(QStringLiteral("order-%1/%2").arg(order).arg(prismFileName)));
        if (fitDirectories.isEmpty() && !prismThere) {
            *error = QStringLiteral("no fit found in %1/order-3 .. order-8 (result_para_fit.json)").arg(request.outputDir);
            return CliExitUsage;
        }
    } else if (!request.orders.isEmpty() || QFileInfo::exists(dir.filePath(QStringLiteral("result_para_fit.json")))) {
        fitDirectories.append(request.outputDir);
    }
    for (const QString& directory : fitDirectories) {
        *error = foreignFitMessage(directory, request.outputDir);
        if (!error->isEmpty())
            return CliExitUsage;
        verify::VerifySource fit;
        int order = 0;
        if (!verify::loadFitSource(directory, design.geometry, &fit, &order, error))
            return CliExitUsage;
        if (!request.orders.isEmpty() && !request.orders.contains(order)) {
            *error = QStringLiteral("the fit in %1 is of order %2, not %3").arg(directory).arg(order).arg(request.orders.first());
            return CliExitUsage;
        }
        v->sources.push_back(fit);
    }
    // Prism fits ("prism.json") of the directory, or of D/order-3 .. order-10.
    QStringList prismFiles;
    if (request.allOrders) {
        for (int order = lowestPrismOrder; order <= highestPrismOrder; ++order)
            prismFiles.append(dir.filePath(QStringLiteral("order-%1/%2").arg(order).arg(prismFileName)));
    } else {
        prismFiles.append(dir.filePath(QString::fromLatin1(prismFileName)));
    }
    for (const QString& path : prismFiles) {
        if (!QFileInfo::exists(path))
            continue;
        PrismFileContent prism;
        if (!readPrismFile(path, &prism, error))
            return CliExitUsage;
        *error = foreignPrismMessage(path, request.outputDir);
        if (!error->isEmpty())
            return CliExitUsage;
        verify::VerifySource source;
        source.source = QStringLiteral("prism");
        source.order = prism.fit.order;
        source.geometry = verify::prismFitGeometry(design.geometry, prism.fit);
        source.surfaces = verify::prismFitSurfaces(prism.fit);
        v->sources.push_back(source);
    }
    const QString prismPath = dir.filePath(QString::fromLatin1(prismFileName));
    if (request.sensitivity && (request.allOrders || !QFileInfo::exists(prismPath))) {
        *error = QStringLiteral("--sensitivity needs a prism fit, %1").arg(prismPath);
        return CliExitUsage;
    }
    const int code = traceAll(request, v, error, timer);
    if (code != CliExitOk || !request.sensitivity)
        return code;
    report::FormSensitivityOptions options;
    options.threadCount = request.threads;
    if (!report::formSensitivity(prismPath, options, &v->sensitivity, error))
        return CliExitUsage;
    v->hasSensitivity = true;
    return CliExitOk;
}

int runVerifyAfterRun(const CliRequest& request, const DesignRecord& record, const QVector<CliFitReport>& fits,
                      CliVerification* v, QString* error)
{
    QElapsedTimer timer;
    timer.start();
    verify::VerifySource design;
    design.source = QStringLiteral("design");
    design.geometry = verify::geometryOfRecord(record);
    // The refraction model designs column 960 (x = 0) too, as the right half's.
    design.surfaces = request.panel.designModel == DesignModel::Refraction ? refractionDesignSheets(record)
                                                                     : verify::designSurfacesFromRecord(record);
    v->sources.push_back(design);
    for (const CliFitReport& fit : fits) {
        verify::VerifySource source;
        source.source = QStringLiteral("fit");
        source.order = fit.order;
        source.geometry = design.geometry;
        if (fit.prism) {
            source.source = QStringLiteral("prism");
            source.surfaces = verify::prismFitSurfaces(fit.prismFit);
        } else {
            source.surfaces = verify::fittedSurfacesOfOrder(
                fit.order, std::vector<double>(fit.coefficients1.begin(), fit.coefficients1.end()),
                std::vector<double>(fit.coefficients2.begin(), fit.coefficients2.end()));
        }
        v->sources.push_back(source);
    }
    return traceAll(request, v, error, timer);
}

QString formatVerificationText(const CliVerification& v)
{
    QString text = verify::verificationTable(v.sources, v.results);
    if (v.hasSensitivity)
        text += report::formSensitivityText(v.sensitivity);
    if (v.geometryFromOptions)
        text += QStringLiteral("no design.json: the geometry comes from the panel options (their defaults are the "
                               "panel's start values)\n");
    text += QStringLiteral("verified in %1 s\n").arg(v.seconds, 0, 'f', 2);
    return text;
}
