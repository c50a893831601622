// The one-shot prism run of the start panel ("harvenlotek-cli prism --order
// 8"): wall time of each stage and of the whole, peak memory, and the longest
// gap between the ticks of a 5 ms timer on the thread that started the run
// (the window's event loop stays responsive while the run works on a worker
// thread). Then the calibration of the same prism with fewer target views:
// the figures must not change for the default to take fewer.
//   bench_pipeline [order, default 8] [threads, default all]

#include "verify/prism_trace.h"
#include "report/prism_report.h"

#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

void printCalibration(const char* label, const calibration::StereoCalibration& c, double seconds)
{
    double depthAt1m = 0.0;
    for (const calibration::DepthError& d : c.depthError)
        if (d.depthMm == 1000.0)
            depthAt1m = d.rmsPercent;
    std::printf("  %-34s %2d views  residual L %.4f px R %.4f px  stereo %.4f px  depth error at 1 m %.4f %%  "
                "%.3f s\n",
                label, c.left.views, c.left.rmsPx, c.right.rmsPx, c.stereoRmsPx, depthAt1m, seconds);
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    const int order = argc > 1 ? std::atoi(argv[1]) : 8;
    const int threads = argc > 2 ? std::atoi(argv[2]) : 0;

    QTemporaryDir dir;
    report::OneShotOptions options;
    options.settings.fit.order = order;
    options.settings.design.threads = options.settings.fit.threads = options.settings.verify.threads =
        options.settings.calibration.threads = threads;
    options.outputDir = dir.path();

    // The run on a worker thread, a 5 ms timer on this one.
    std::atomic<bool> finished{false};
    report::OneShotResult result;
    QString error;
    bool ok = false;
    QElapsedTimer wall;
    wall.start();
    std::thread worker([&] {
        ok = report::runPrismOneShot(options, nullptr, &result, &error);
        finished = true;
    });
    QElapsedTimer tick;
    tick.start();
    qint64 longestGapMs = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        longestGapMs = std::max(longestGapMs, tick.restart());
        if (finished)
            application.quit();
    });
    timer.start(5);
    application.exec();
    worker.join();
    const double seconds = double(wall.nsecsElapsed()) * 1e-9;
    if (!ok) {
        std::printf("prism failed: %s\n", qPrintable(error));
        return 1;
    }
    const pipeline::Pipeline& run = result.run;
    std::printf("prism --order %d (threads %s): %.3f s wall\n", order, threads > 0 ? argv[2] : "all", seconds);
    const double simulation = run.simulation() ? run.simulation()->seconds : 0.0;
    std::printf("  design %.3f s, fit and optimiser %.3f s, verification %.3f s, calibration %.3f s, "
                "simulated capture %.3f s, exports and files %.3f s\n",
                run.design()->seconds, run.fit()->seconds, run.verification()->seconds, run.calibration()->seconds,
                simulation,
                seconds - run.design()->seconds - run.fit()->seconds - run.verification()->seconds
                    - run.calibration()->seconds - simulation);
    std::printf("  direction error RMS %.4f px max %.4f px\n", result.figures.directionRmsPx,
                result.figures.directionMaxPx);
    std::printf("  longest gap between 5 ms timer ticks during the run: %lld ms\n",
                static_cast<long long>(longestGapMs));
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("  peak memory (ru_maxrss) %.1f MB\n", double(usage.ru_maxrss) / 1024.0);

    // The same prism, calibrated on other target sets.
    std::printf("calibration of the same prism:\n");
    const verify::PrismSurfaces surfaces = verify::prismFitSurfaces(run.fit()->fit);
    struct Variant {
        const char* label;
        std::vector<double> depths;
        int points;
    };
    const std::vector<double> all{300.0, 600.0, 1000.0, 2000.0};
    const Variant variants[] = {
        {"default", run.settings().calibration.depthsMm, run.settings().calibration.pointsAcrossHalf},
        {"4 depths, 14 points across", all, 14},
        {"4 depths, 10 points across", all, 10},
        {"4 depths, 7 points across", all, 7},
        {"600, 1000, 2000 mm, 14 points", {600.0, 1000.0, 2000.0}, 14},
        {"600, 1000 mm, 14 points", {600.0, 1000.0}, 14},
    };
    for (const Variant& v : variants) {
        pipeline::CalibrationInput input = run.settings().calibration;
        input.depthsMm = v.depths;
        input.pointsAcrossHalf = v.points;
        QElapsedTimer t;
        t.start();
        try {
            const pipeline::CalibrationStageResult c = pipeline::runCalibrationStage(
                run.design()->geometry, surfaces, input, core::ProgressRange(nullptr, 0, 1, "calibrate"));
            printCalibration(v.label, c.calibration, double(t.nsecsElapsed()) * 1e-9);
        } catch (const std::exception& e) {
            std::printf("  %-34s failed: %s\n", v.label, e.what());
        }
    }
    return 0;
}
