// The prism fit of every order 3 to 10 on the design of the default panel
// (designed first into a temporary directory), with its residuals and
// condition numbers, then the exports of order 8. Times are wall-clock
// seconds of one run on this machine.
#include "design/design_run.h"
#include "export/prism_export.h"
#include "fit/prism_file.h"
#include "fit/prism_fit.h"
#include "refine/prism_optimize.h"
#include "verify/prism_trace.h"
#include "verify/verify_sources.h"
#include "parameters/panel_parameters.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

double seconds(const QElapsedTimer& timer)
{
    return static_cast<double>(timer.nsecsElapsed()) * 1e-9;
}

}  // namespace

int main(int argc, char** argv)
{
    QTemporaryDir dir;
    const PanelParameters panelValues;  // the panel's start values
    const DesignParameters parameters = toDesignParameters(panelValues, centralRayHit(panelValues));
    const QString designFile = argc > 1 ? QString::fromLocal8Bit(argv[1]) : dir.filePath("outputall.txt");
    if (argc <= 1) {
        DesignRunOptions options;
        options.outputDirectory = dir.path();
        runDesign(parameters, options);
    }

    QElapsedTimer timer;
    timer.start();
    PrismDesignPoints points;
    QString error;
    if (!readPrismDesignPoints(designFile, &points, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::printf("read and split %s: %.3f s (exit %d + %d, entrance %d + %d points)\n", qPrintable(designFile),
                seconds(timer), points.exitLeft.size(), points.exitRight.size(), points.entranceLeft.size(),
                points.entranceRight.size());
    std::printf("order terms  surface   x0        R        rms_mm     max_mm     mirror_max  cond       rank  fit_s  max_at\n");
    const DesignParameters panel = parameters;
    const verify::PrismGeometry geometry = verify::geometryOfPanel(panelValues);
    std::vector<std::pair<int, PrismFit>> fits;
    for (int order = lowestPrismOrder; order <= highestPrismOrder; ++order) {
        timer.restart();
        PrismFit fit;
        if (!runPrismFit(points, order, panel, dir.path(), &fit, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        const double s = seconds(timer);
        for (const auto& [name, f] : {std::pair<const char*, const PrismSurfaceFit*>{"exit", &fit.exit},
                                      {"entrance", &fit.entrance}}) {
            std::printf("%5d %5zu  %-8s %9.4f %8.4f  %.3e  %.3e  %.3e  %.3e %4d  %.3f  (%.3f, %.3f)\n", order,
                        f->surface.coefficients.size(), name, f->surface.x0, f->surface.radius, f->rmsResidual,
                        f->maxResidual, f->mirrorMaxResidual, f->conditionNumber, f->rank, s, f->maxResidualX, f->maxResidualY);
        }
        if (order == 8)
            QDir().rename(dir.filePath("prism.json"), dir.filePath("prism8.json"));
        fits.emplace_back(order, fit);
    }
    // Verified errors of each order's solid (every 8th pixel, both halves),
    // and of the design's own surfaces smoothed from the design file.
    std::printf("verified (step 8): order  direction_rms_px  direction_max_px  pinhole_rms_mm  pinhole_max_mm  "
                "reproj1m_rms_px  reproj1m_max_px  untraced  verify_s\n");
    const auto line = [](const char* label, int order, const verify::VerifyResult& r, double s) {
        const PrismVerifiedSummary v = verify::prismVerifiedSummary(r);
        std::printf("%-8s %5d  %14.4f  %16.4f  %14.5f  %14.5f  %15.4f  %15.4f  %8d  %.2f\n", label, order,
                    v.directionRmsPx, v.directionMaxPx, v.pinholeRmsMm, v.pinholeMaxMm, v.reprojectionRmsPx,
                    v.reprojectionMaxPx, v.untracedPixels, s);
    };
    verify::PrismSurfaces design;
    if (verify::designSurfacesFromFile(designFile, &design, &error)) {
        timer.restart();
        const verify::VerifyResult r = verify::verifyPrism(geometry, design);
        line("design", 0, r, seconds(timer));
    }
    for (const auto& [order, fit] : fits) {
        timer.restart();
        const verify::VerifyResult r = verify::verifyPrism(geometry, verify::prismFitSurfaces(fit));
        line("prism", order, r, seconds(timer));
        line("sheets", order, verify::verifyPrism(geometry, verify::prismFitHalfSheets(fit)), 0.0);
    }
    // The optimiser on the rays of every 40th pixel (and the central row),
    // anchored to the design points, from the least-squares fits of orders 4
    // and 8 (BENCH_OPT_STEP, BENCH_OPT_ITER, BENCH_ANCHOR change the sample
    // step, the iteration limit and the anchor weight in px/mm).
    const int optimizeStep = std::getenv("BENCH_OPT_STEP") ? std::atoi(std::getenv("BENCH_OPT_STEP")) : 40;
    const int iterations = std::getenv("BENCH_OPT_ITER") ? std::atoi(std::getenv("BENCH_OPT_ITER")) : 20;
    const std::vector<PrismRayTarget> targets = idealRayTargets(geometry, verify::samplePixels(optimizeStep));
    for (const auto& [order, fit] : fits) {
        if (order != 4 && order != 8)
            continue;
        PrismOptimizeOptions options;
        options.maxIterations = iterations;
        options.anchor = &points;
        if (std::getenv("BENCH_ANCHOR"))
            options.anchorWeightPxPerMm = std::atof(std::getenv("BENCH_ANCHOR"));
        options.progress = [order = order](const PrismOptimizeProgress& p) {
            std::printf("optimise order %d: iteration %d, direction RMS %.4f px, pinhole RMS %.5f mm, lambda %.3g\n",
                        order, p.iteration, p.directionRmsPx, p.pinholeRmsMm, p.damping);
            std::fflush(stdout);
        };
        timer.restart();
        const PrismOptimizeResult optimized = optimizePrismFit(geometry, fit, targets, options);
        const double s = seconds(timer);
        std::printf("optimise order %d: %zu pixels, %d iterations, %.2f s; %s\n", order, targets.size(),
                    optimized.iterations, s, qPrintable(optimized.stopReason));
        line("optimised", order, verify::verifyPrism(geometry, verify::prismFitSurfaces(optimized.fit)), 0.0);
    }

    timer.restart();
    ExportSummary summary;
    ExportOptions exportOptions;
    exportOptions.formats = ExportGridSag | ExportStl | ExportPly;  // STEP and drawing: bench_export_step
    if (!exportPrism(dir.filePath("prism8.json"), designFile, dir.path(), exportOptions, &summary, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::printf("exports of order 8: %.3f s; grid sag per half %dx%d and %dx%d nodes, STL %d triangles, sag error %.3g mm, "
                "aperture +-%.4f x +-%.4f mm, PLY %d + %d points\n",
                seconds(timer), summary.grids[0].nx, summary.grids[0].ny, summary.grids[2].nx,
                summary.grids[2].ny, summary.triangleCount, summary.sagErrorMm, summary.solidAperture.halfWidthX,
                summary.solidAperture.halfWidthY, summary.exitPointCount, summary.entrancePointCount);
    if (argc > 2)
        for (const QString& f : summary.written)
            QFile::copy(f, QDir(QString::fromLocal8Bit(argv[2])).filePath(QFileInfo(f).fileName()));
    return 0;
}
