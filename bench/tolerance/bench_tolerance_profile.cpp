// Where a tolerance trial's time goes, and what coarser calibration targets
// change: trials of the order-8 prism fit of the refraction design (default
// tolerances, seed 1) on one thread, timed in their parts (the made camera's
// rays, the target imaged through it, OpenCV's calibration), for the
// sampling of the runs and coarser ones; with the percentiles of the figures
// each gives, so that a cheaper sampling can be judged by what it changes.
//   bench_tolerance_profile [TRIALS]   (default 40)

#include "tolerance/tolerance_run.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

using namespace tolerance;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int trials = argc > 1 ? std::atoi(argv[1]) : 40;
    QTemporaryDir dir;
    const QString prism = dir.filePath("prism");
    QDir().mkpath(prism);
    QProcess made;
    made.start(QStringLiteral(HARVENLOTEK_CLI),
               {"run", "--fit-model", "prism", "--order", "8", "--design-model", "refraction", "--output-dir", prism});
    if (!made.waitForFinished(-1) || made.exitCode() != 0) {
        std::fprintf(stderr, "bench_tolerance_profile: the prism fit failed\n");
        return 1;
    }
    struct Variant {
        const char* name;
        TrialSampling sampling;
    };
    std::vector<Variant> variants(5);
    variants[0].name = "runs' sampling: 8 points, 15 views";
    variants[4].name = "the same started from ideal intrinsics";
    variants[4].sampling.startFromNominal = false;
    variants[1].name = "6 points, 15 views";
    variants[1].sampling.targetPointsAcrossHalf = 6;
    variants[2].name = "8 points, 3 views (no tilt)";
    variants[2].sampling.targetTiltDeg = 0.0;
    variants[3].name = "5 points, 15 views";
    variants[3].sampling.targetPointsAcrossHalf = 5;
    // Only the starting guess differs: figures that agree to 1e-6 show the
    // solver reaches the same minimum.
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    std::printf("%d trials each on 1 thread; load average %.2f %.2f %.2f\n", trials, load[0], load[1], load[2]);
    std::printf("%-36s %8s %6s %6s %6s  %s\n", "sampling", "s/trial", "rays", "trace", "calib",
                "yield, p50/p90 of residualLeftPx, depthError1000mmPercent, baselineChangeMm");
    for (const Variant& v : variants) {
        ToleranceModel model;
        QString error;
        if (!model.load(prism, v.sampling, &error)) {
            std::fprintf(stderr, "bench_tolerance_profile: %s\n", qPrintable(error));
            return 1;
        }
        ToleranceFile file;
        ToleranceModel::Timing timing;
        std::vector<TrialFigures> figures;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < trials; ++i)
            figures.push_back(model.run(drawPerturbation(file.tolerances, 1, i), file.criteria, &timing));
        const double seconds = double(clock.nsecsElapsed()) * 1e-9;
        const RunSummary s = summarise(figures);
        const double parts = timing.rays + timing.imaging + timing.calibration;
        std::printf("%-36s %8.3f %5.0f%% %5.0f%% %5.0f%%  %.3f, %.3g/%.3g px, %.3g/%.3g %%, %.3g/%.3g mm\n", v.name,
                    seconds / trials, 100 * timing.rays / parts, 100 * timing.imaging / parts,
                    100 * timing.calibration / parts, s.yield, s.percentiles[0].p50, s.percentiles[0].p90,
                    s.percentiles[5].p50, s.percentiles[5].p90, s.percentiles[7].p50, s.percentiles[7].p90);
        std::fflush(stdout);
    }
    getloadavg(load, 3);
    std::printf("load average after: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    return 0;
}
