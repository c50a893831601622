// Verification of one fitted surface pair of the default design at step 8
// and at step 1 (every pixel), and of the design's own grid sheets. The
// design and the fit run first in a temporary directory.
#include "design/design_record.h"
#include "design/design_run.h"
#include "fit/fit_run.h"
#include "parameters/panel_parameters.h"
#include "verify/verify.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>

namespace {

double cpuSeconds()
{
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void printRow(const char* name, const verify::VerifyResult& r, double seconds)
{
    std::printf("%-8s step %d  %.3f s", name, r.step, seconds);
    for (int h = 0; h < 2; ++h) {
        const verify::HalfStatistics& s = r.halves[h];
        std::printf("  | %s traced %d missed %d dir rms %.4g max %.4g px, pinhole rms %.4g mm, reproj@%g rms %.4g px",
                    h == 0 ? "L" : "R", s.traced, s.missed, s.directionPx.rms, s.directionPx.max, s.pinholeMm.rms,
                    r.depths[0], s.reprojectionPx[0].rms);
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int order = argc > 1 ? std::atoi(argv[1]) : 6;
    const int threads = argc > 2 ? std::atoi(argv[2]) : 0;
    QTemporaryDir dir;

    const PanelParameters panel;  // the panel's start values
    const DesignParameters parameters = toDesignParameters(panel, centralRayHit(panel));

    ScopedDesignRecord record;
    fillDesignRecord(*record, parameters);
    DesignRunOptions designOptions;
    designOptions.outputDirectory = dir.path();
    traceDesign(*record, designOptions);

    FitRunLocation where;
    where.inputDirectory = dir.path();
    where.outputDirectory = dir.path();
    const FitRunSummary fit = fitAndReportOrder(order, where);
    std::vector<double> a(fit.surface1Results.begin(), fit.surface1Results.end() - 1);
    std::vector<double> b(fit.surface2Results.begin(), fit.surface2Results.end() - 1);

    verify::PrismGeometry geometry;
    geometry.focalLength = record->focalLength;
    geometry.prismDistance = record->prismDistance;
    geometry.refractiveIndex = record->refractiveIndex;
    geometry.virtualPinholeX = record->virtualPinholeX;

    const verify::PrismSurfaces fitted = verify::fittedSurfacesOfOrder(order, a, b);
    verify::VerifyOptions options;
    options.threadCount = threads;
    for (int step : {8, 1}) {
        options.step = step;
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = cpuSeconds();
        const verify::VerifyResult r = verify::verifyPrism(geometry, fitted, options);
        printRow("fit", r, secondsSince(start));
        std::printf("         cpu %.3f s on %d threads\n", cpuSeconds() - cpuStart, threads);
    }
    options.step = 8;
    auto start = std::chrono::steady_clock::now();
    const verify::PrismSurfaces design = verify::designSurfacesFromRecord(*record);
    const verify::VerifyResult rd = verify::verifyPrism(geometry, design, options);
    printRow("design", rd, secondsSince(start));
    start = std::chrono::steady_clock::now();
    verify::PrismSurfaces fromFile;
    QString error;
    if (!verify::designSurfacesFromFile(dir.filePath("outputall.txt"), &fromFile, &error)) {
        std::printf("file: %s\n", qPrintable(error));
        return 1;
    }
    const verify::VerifyResult rf = verify::verifyPrism(geometry, fromFile, options);
    printRow("file", rf, secondsSince(start));
    return 0;
}
