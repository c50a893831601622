// The prism optimiser on the refraction design of the default panel
// (designed first into a temporary directory, or read from the design file
// given), from the least-squares prism fit of each order: wall time,
// iterations and the figures of its sample, for each objective and each
// Jacobian (automatic differentiation, central differences).
//
//   bench_optimize [outputall.txt] [ORDERS=4,6,8,10] [OBJECTIVES=stereo,mapping] [JACOBIANS=automatic,central]
//
// Threads: BENCH_THREADS (default 2).
#include "calibration/prism_calibration.h"
#include "calibration/stereo_calibration.h"
#include "design/design_run.h"
#include "verify/prism_trace.h"
#include "fit/prism_fit.h"
#include "refine/prism_optimize.h"
#include "parameters/panel_parameters.h"
#include "verify/verify_sources.h"

#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <ctime>

int main(int argc, char** argv)
{
    QTemporaryDir dir;
    PanelParameters panelValues;  // the panel's start values
    panelValues.designModel = DesignModel::Refraction;
    const QString designFile = argc > 1 && argv[1][0] != '-' ? QString::fromLocal8Bit(argv[1])
                                                             : dir.filePath(QStringLiteral("outputall.txt"));
    if (!(argc > 1 && argv[1][0] != '-')) {
        DesignRunOptions options;
        options.outputDirectory = dir.path();
        options.model = DesignModel::Refraction;
        runDesign(toDesignParameters(panelValues, centralRayHit(panelValues)), options);
    }
    const auto list = [&](int i, const char* fallback) {
        return (argc > i ? QString::fromLocal8Bit(argv[i]) : QString::fromLatin1(fallback)).split(QLatin1Char(','));
    };
    const QStringList orders = list(2, "4,6,8,10");
    const QStringList objectives = list(3, "stereo,mapping");
    const QStringList jacobians = list(4, "automatic,central");
    const int threads = std::getenv("BENCH_THREADS") ? std::atoi(std::getenv("BENCH_THREADS")) : 2;

    PrismDesignPoints points;
    QString error;
    if (!readPrismDesignPoints(designFile, &points, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const verify::PrismGeometry geometry = verify::geometryOfPanel(panelValues);
    const std::vector<PrismRayTarget> targets = idealRayTargets(geometry, verify::samplePixels(40));
    std::printf("objective jacobian  order  pixels  left_out  iterations  wall_s  cpu_s  start: direction_px  calibrated_px  "
                "noncentral_mm  end: direction_px  calibrated_px  noncentral_mm  stop\n");
    for (const QString& objectiveName : objectives) {
        PrismObjective objective;
        if (!parsePrismObjective(objectiveName, &objective)) {
            std::fprintf(stderr, "unknown objective %s\n", qPrintable(objectiveName));
            return 2;
        }
        for (const QString& orderText : orders) {
            const int order = orderText.toInt();
            const PrismFit start = fitPrism(points, order, objective == PrismObjective::Stereo);
            for (const QString& jacobian : jacobians) {
                PrismOptimizeOptions options;
                options.objective = objective;
                options.centralRowStride = 40;
                options.threadCount = threads;
                options.jacobian =
                    jacobian == QLatin1String("central") ? PrismJacobian::CentralDifferences : PrismJacobian::Automatic;
                if (objective == PrismObjective::Mapping)
                    options.anchor = &points;
                if (std::getenv("BENCH_ITER"))
                    options.maxIterations = std::atoi(std::getenv("BENCH_ITER"));
                if (std::getenv("BENCH_TOL"))
                    options.relativeTolerance = std::atof(std::getenv("BENCH_TOL"));
                if (std::getenv("BENCH_NOTHICK"))
                    options.bounds.keepThickness = false;
                if (std::getenv("BENCH_WIDE")) {
                    options.bounds.baselineRelative = 0.05;
                    options.bounds.focalRelative = 0.05;
                    options.bounds.surfaceOffsetMm = 5;
                }
                if (std::getenv("BENCH_VERBOSE"))
                    options.progress = [](const PrismOptimizeProgress& p) {
                        std::printf("  iteration %d: cost %.6g, damping %.3g, direction %.4f px, calibrated %.5f px, "
                                    "non-centrality %.6f mm\n",
                                    p.iteration, p.cost, p.damping, p.directionRmsPx, p.calibratedRmsPx,
                                    p.nonCentralityRmsMm);
                    };
                const std::clock_t cpu = std::clock();
                const PrismOptimizeResult r = optimizePrismFit(geometry, start, targets, options);
                const double cpuSeconds = double(std::clock() - cpu) / CLOCKS_PER_SEC;
                std::printf("%-9s %-9s %5d  %6d  %8d  %10d  %7.3f %7.3f  %19.4f  %13.5f  %13.6f  %17.4f  %13.5f  %13.6f  %s\n",
                            qPrintable(objectiveName), qPrintable(jacobian), order, r.pixelsUsed,
                            r.centrePixelsLeftOut, r.iterations, r.seconds, cpuSeconds, r.start.directionRmsPx,
                            r.start.calibratedRmsPx, r.start.nonCentralityRmsMm, r.end.directionRmsPx,
                            r.end.calibratedRmsPx, r.end.nonCentralityRmsMm, qPrintable(r.stopReason));
                if (std::getenv("BENCH_VERBOSE")) {
                    std::printf("  camera");
                    for (double c : r.camera)
                        std::printf(" %.6g", c);
                    std::printf("; point %.6f %.6f %.6f\n", r.commonPoint[0], r.commonPoint[1], r.commonPoint[2]);
                }
                std::fflush(stdout);
                if (!std::getenv("BENCH_FIGURES"))
                    continue;
                // The optimised prism as a user gets it: verified at every
                // 8th pixel, then calibrated with each OpenCV model.
                const verify::PrismSurfaces surfaces = verify::prismFitSurfaces(r.fit);
                verify::VerifyOptions verifyOptions;
                verifyOptions.threadCount = threads;
                const verify::VerifyResult v = verify::verifyPrism(geometry, surfaces, verifyOptions);
                const verify::HalfStatistics& h = v.halves[0];
                std::printf("  verified left half: direction %.4f / %.4f px rms/max; non-centrality %.5f / %.5f mm "
                            "(%.4f / %.4f px at 300 mm); mirrored rows %.2e px; centre band columns %d-%d, direction "
                            "%.3f / %.3f px\n",
                            h.directionPx.rms, h.directionPx.max, h.nonCentrality.rmsMm, h.nonCentrality.maxMm,
                            h.nonCentrality.rmsPx, h.nonCentrality.maxPx, h.mirrorAsymmetryPx.max,
                            h.centreBand.firstColumn, h.centreBand.lastColumn, h.centreBand.directionRmsPx,
                            h.centreBand.directionMaxPx);
                const verify::OutsideCentreBand& o = h.outsideCentreBand;
                std::printf("  without the centre band: direction %.4f / %.4f px; non-centrality %.5f / %.5f mm "
                            "(%.4f / %.4f px at 300 mm)\n",
                            o.directionRmsPx, o.directionMaxPx, o.nonCentrality.rmsMm, o.nonCentrality.maxMm,
                            o.nonCentrality.rmsPx, o.nonCentrality.maxPx);
                calibration::CalibrationOptions calibrationOptions;
                calibrationOptions.threadCount = threads;
                for (const calibration::StereoCalibration& c : calibration::calibrateStereoRigModels(
                         calibration::prismRig(geometry, surfaces), calibrationOptions)) {
                    if (!c.ok) {
                        std::printf("  calibration failed: %s\n", qPrintable(c.error));
                        continue;
                    }
                    std::printf("  %-9s left %.4f / %.4f px%s; baseline %.4f (ideal %.4f) mm; depth error",
                                qPrintable(calibration::distortionModelName(c.model)), c.left.rmsPx, c.left.maxPx,
                                c.left.condition.illConditioned ? " (ill-conditioned)" : "", c.baselineMm,
                                c.idealBaselineMm);
                    for (const calibration::DepthError& d : c.depthError)
                        std::printf(" %.0f: %.4f %%", d.depthMm, d.rmsPercent);
                    std::printf("\n");
                }
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
