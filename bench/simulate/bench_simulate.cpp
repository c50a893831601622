// bench_simulate [DIR [THREADS [N]]] (DIR "": the ideal pair; N x N rays per pixel, default 2): one simulated capture of the fronto plane at
// 1 m with matching, timed stage by stage: the prism of DIR/prism.json
// rectified with DIR/stereo_calibration.yml, or, without DIR, the ideal
// pinhole pair of the start panel with its exact calibration. The rays are
// traced once per camera (the cache); a capture with matching is what each
// further scene or depth costs.

#include "core/parallel_for.h"
#include "simulate/simulation.h"
#include "verify/verify_sources.h"

#include <opencv2/imgcodecs.hpp>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <cstdio>
#include <ctime>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int threads = args.size() > 2 ? args[2].toInt() : 0;
    simulate::SimulatedCamera camera;
    simulate::StereoModel model;
    QString error;
    if (args.size() > 1 && !args[1].isEmpty()) {
        const QDir dir(args[1]);
        if (!simulate::loadPrismCamera(dir.filePath("prism.json"), &camera, &error)
            || !simulate::readStereoModel(dir.filePath("stereo_calibration.yml"), &model, &error)) {
            std::fprintf(stderr, "bench_simulate: %s\n", qPrintable(error));
            return 2;
        }
    } else {
        camera = simulate::idealPinholeCamera(verify::geometryOfPanel(PanelParameters()));
        model = simulate::idealStereoModel(camera.rig);
    }
    QElapsedTimer timer;
    timer.start();
    const std::clock_t traceCpuStart = std::clock();
    const simulate::RayField field = simulate::RayField::trace(camera.rig, threads);
    const double traceSeconds = double(timer.nsecsElapsed()) * 1e-9;
    const double traceCpuSeconds = double(std::clock() - traceCpuStart) / CLOCKS_PER_SEC;
    simulate::SceneOptions sceneOptions;
    sceneOptions.depthMm = 1000.0;
    const simulate::Scene scene = simulate::makeScene(sceneOptions, camera.rig, cv::Mat(), 1);
    simulate::CaptureOptions capture;
    capture.threads = threads;
    if (args.size() > 3)
        capture.supersample = args[3].toInt();
    timer.restart();
    const std::clock_t cpuStart = std::clock();
    const simulate::CameraRun run = simulate::runCamera(field, camera, scene, model, capture, {});
    const double runSeconds = double(timer.nsecsElapsed()) * 1e-9;
    const double runCpuSeconds = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const simulate::MatchResult& m = run.match;
    std::printf("camera %s, %dx%d sensor, %d x %d rays per pixel, threads %d\n", qPrintable(camera.name),
                field.columns(), field.rows(), capture.supersample, capture.supersample, resolveThreadCount(threads));
    std::printf("trace every pixel centre (once per camera)  %.3f s (CPU %.3f s)\n", traceSeconds, traceCpuSeconds);
    std::printf("capture (%.1f M rays)                        %.3f s\n",
                field.columns() * double(field.rows()) * capture.supersample * capture.supersample * 1e-6,
                run.captureSeconds);
    std::printf("rectify                                     %.3f s\n", m.rectifySeconds);
    std::printf("StereoSGBM (%d disparities from %d)        %.3f s\n", m.matcher.numDisparities,
                m.matcher.minDisparity, m.matchSeconds);
    std::printf("reproject and compare                       %.3f s\n", m.compareSeconds);
    std::printf("capture with matching                       %.3f s (CPU %.3f s); with the trace %.3f s\n",
                runSeconds, runCpuSeconds, runSeconds + traceSeconds);
    std::printf("depth error at 1 m: median %.3f mm, RMS %.3f mm (%.4f %%), p95 %.3f mm, valid %.1f %%; "
                "vertical disparity RMS %.4f px, max %.4f px; matched minus true disparity median %.3f px, "
                "RMS %.3f px; exact correspondences: depth error RMS %.4f %%\n",
                m.depth.medianMm, m.depth.rmsMm, m.depth.rmsPercent, m.depth.p95Mm, m.depth.validPercent,
                m.geometry.verticalRmsPx, m.geometry.verticalMaxPx, m.geometry.matchMedianPx, m.geometry.matchRmsPx,
                m.geometry.depthRmsPercent);
    if (qEnvironmentVariableIsSet("BENCH_SIMULATE_PICTURES")) {
        const QDir out(qEnvironmentVariable("BENCH_SIMULATE_PICTURES"));
        cv::imwrite(out.filePath("left.png").toStdString(), m.rectifiedLeft);
        cv::imwrite(out.filePath("right.png").toStdString(), m.rectifiedRight);
        cv::imwrite(out.filePath("sensor.png").toStdString(), run.capture.image);
    }
    return 0;
}
