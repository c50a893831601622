// Export times and file sizes of the prism fits of orders 4, 8 and 10 of the
// default design: each format on its own (grid sag per half, STL, STEP,
// drawing), into a temporary directory.
#include "design/design_run.h"
#include "export/prism_drawing.h"
#include "export/prism_export.h"
#include "export/prism_step.h"
#include "fit/prism_file.h"
#include "parameters/panel_parameters.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");  // fonts for the drawing, no display
    QGuiApplication application(argc, argv);
    QTemporaryDir dir;
    const PanelParameters panelValues;
    const DesignParameters parameters = toDesignParameters(panelValues, centralRayHit(panelValues));
    DesignRunOptions run;
    run.outputDirectory = dir.path();
    runDesign(parameters, run);
    PrismDesignPoints points;
    QString error;
    if (!readPrismDesignPoints(dir.filePath("outputall.txt"), &points, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const std::pair<const char*, unsigned> formats[] = {
        {"gridsag", ExportGridSag}, {"stl", ExportStl}, {"step", ExportStep}, {"drawing", ExportDrawing}};
    std::printf("%-6s %-8s %9s %12s  files\n", "order", "format", "time s", "bytes");
    for (int order : {4, 8, 10}) {
        const QString orderDir = dir.filePath(QStringLiteral("order-%1").arg(order));
        QDir().mkpath(orderDir);
        PrismFit fit;
        if (!runPrismFit(points, order, parameters, orderDir, &fit, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        for (const auto& [name, format] : formats) {
            ExportOptions options;
            options.formats = format;
            options.stepMaker = prismStepMaker();
            options.drawingMaker = prismDrawingMaker();
            ExportSummary summary;
            QElapsedTimer timer;
            timer.start();
            if (!exportPrism(QDir(orderDir).filePath(QString::fromLatin1(prismFileName)), QString(), orderDir, options,
                             &summary, &error)) {
                std::fprintf(stderr, "order %d, %s: %s\n", order, name, qPrintable(error));
                return 1;
            }
            const double seconds = timer.nsecsElapsed() * 1e-9;
            qint64 bytes = 0;
            QStringList names;
            for (const QString& path : summary.written) {
                if (QFileInfo(path).fileName() == QLatin1String(frameFileName))
                    continue;
                bytes += QFileInfo(path).size();
                names << QStringLiteral("%1 (%2)").arg(QFileInfo(path).fileName()).arg(QFileInfo(path).size());
            }
            std::printf("%-6d %-8s %9.3f %12lld  %s\n", order, name, seconds, static_cast<long long>(bytes),
                        qPrintable(names.join(QStringLiteral(", "))));
        }
    }
    return 0;
}
