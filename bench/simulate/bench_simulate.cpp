// bench_simulate [DIR [THREADS [N [DEPTH [ROWS]]]]]: one simulated capture of
// the fronto plane at DEPTH mm (default 1000) with N x N rays per pixel
// (default 2) over the central fraction ROWS of the rows (default 1; the
// one-shot run takes 0.25 and N = 1), timed stage by stage in wall time (and
// CPU time), with the process's
// peak memory: the prism of DIR/prism.json rectified with
// DIR/stereo_calibration.yml, or, without DIR (or DIR ""), the ideal pinhole
// pair of the start panel with its exact calibration. The rays are traced
// once per camera (the cache); a capture with matching is what each further
// scene or depth costs; "the case" is what the one-shot run and the window
// pay: the prism, the ideal pair beside it and the four pictures.
//
// Then the geometric vertical disparity after rectification, taken apart:
// by band of left columns (the seam is the last band), by band of rows, and
// with OpenCV's default five-iteration undistortPoints against the converged
// inversion the tool uses.

#include "core/parallel_for.h"
#include "simulate/simulation.h"
#include "verify/verify_sources.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

double peakMegabytes()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

struct Clock {
    QElapsedTimer wall;
    std::clock_t cpu = std::clock();
    Clock() { wall.start(); }
    double wallSeconds() const { return double(wall.nsecsElapsed()) * 1e-9; }
    double cpuSeconds() const { return double(std::clock() - cpu) / CLOCKS_PER_SEC; }
};

// Vertical disparity RMS (px) of the correspondences whose left column lies
// in [columnLow, columnHigh) and row in [rowLow, rowHigh).
struct Band {
    double sum = 0.0;
    int count = 0;
    void add(double dy)
    {
        sum += dy * dy;
        ++count;
    }
    double rms() const { return count ? std::sqrt(sum / count) : std::nan(""); }
};

void verticalDisparityBreakdown(const simulate::GeometryDisparity& g, const simulate::StereoModel& model)
{
    std::vector<cv::Point2f> left, right;
    for (const cv::Vec4f& c : g.correspondences) {
        left.emplace_back(c[0], c[1]);
        right.emplace_back(c[2], c[3]);
    }
    if (left.empty())
        return;
    std::vector<cv::Point2f> l5, r5, lc, rc;
    cv::undistortPoints(left, l5, model.K1, model.D1, model.R1, model.P1);
    cv::undistortPoints(right, r5, model.K2, model.D2, model.R2, model.P2);
    const cv::TermCriteria converged(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 200, 1e-12);
    cv::undistortPoints(left, lc, model.K1, model.D1, model.R1, model.P1, converged);
    cv::undistortPoints(right, rc, model.K2, model.D2, model.R2, model.P2, converged);
    const int width = model.halfSize.width, height = model.halfSize.height;
    const int columnBands = 8, rowBands = 6;
    std::vector<Band> byColumn(columnBands), byRow(rowBands);
    Band all5, allConverged, offSeam, seam, rightSeam;
    for (size_t i = 0; i < left.size(); ++i) {
        const double dy = double(rc[i].y) - lc[i].y;
        all5.add(double(r5[i].y) - l5[i].y);
        allConverged.add(dy);
        const bool inSeam = left[i].x >= width - simulate::seamColumns || right[i].x < simulate::seamColumns;
        (inSeam ? seam : offSeam).add(dy);
        if (right[i].x < simulate::seamColumns)
            rightSeam.add(dy);
        byColumn[std::min(columnBands - 1, int(left[i].x) * columnBands / width)].add(dy);
        byRow[std::min(rowBands - 1, int(left[i].y) * rowBands / height)].add(dy);
    }
    std::printf("vertical disparity RMS, %d exact correspondences:\n", allConverged.count);
    std::printf("  undistortPoints, 5 iterations (OpenCV default)  %.4f px\n", all5.rms());
    std::printf("  undistortPoints, converged                      %.4f px\n", allConverged.rms());
    std::printf("  off the seam (%d columns each side), %d points   %.4f px\n", simulate::seamColumns, offSeam.count,
                offSeam.rms());
    std::printf("  in the seam, %d points (%d imaged in the right seam)   %.4f px\n", seam.count, rightSeam.count,
                seam.rms());
    std::printf("  by left column band:");
    for (int b = 0; b < columnBands; ++b)
        std::printf(" [%d,%d) %.3f", b * width / columnBands, (b + 1) * width / columnBands, byColumn[b].rms());
    std::printf("\n  by row band:");
    for (int b = 0; b < rowBands; ++b)
        std::printf(" [%d,%d) %.3f", b * height / rowBands, (b + 1) * height / rowBands, byRow[b].rms());
    std::printf("\n");
}

}  // namespace

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
    simulate::CaseOptions options;
    options.capture.threads = threads;
    if (args.size() > 3)
        options.capture.supersample = args[3].toInt();
    if (args.size() > 4)
        options.scene.depthMm = args[4].toDouble();
    const double rows = args.size() > 5 ? args[5].toDouble() : 1.0;

    Clock trace;
    const simulate::PreparedCamera prism = simulate::prepareCamera(camera, model, threads, nullptr, rows);
    const double traceWall = trace.wallSeconds(), traceCpu = trace.cpuSeconds();
    Clock traceIdeal;
    const simulate::PreparedCamera ideal = simulate::prepareIdealCamera(camera.geometry, threads, nullptr, rows);
    const double traceIdealWall = traceIdeal.wallSeconds(), traceIdealCpu = traceIdeal.cpuSeconds();

    const simulate::Scene scene =
        simulate::makeScene(options.scene, prism.camera.rig, cv::Mat(), options.capture.seed);
    Clock one;
    const simulate::CameraRun run =
        simulate::runCamera(prism.field, prism.camera, scene, prism.model, options.capture, options.matcher);
    const double oneWall = one.wallSeconds(), oneCpu = one.cpuSeconds();
    Clock whole;
    const simulate::SimulationCase c = simulate::runCase(prism, &ideal, options);
    const double caseWall = whole.wallSeconds(), caseCpu = whole.cpuSeconds();

    const simulate::MatchResult& m = run.match;
    std::printf("camera %s, %dx%d sensor, %d x %d rays per pixel, %g of the rows, plane at %g mm, threads %d\n",
                qPrintable(camera.name), prism.field.columns(), prism.field.rows(), options.capture.supersample,
                options.capture.supersample, rows, options.scene.depthMm, resolveThreadCount(threads));
    std::printf("trace every pixel centre (once per camera)  %.3f s wall (CPU %.3f s); the ideal pair %.3f s "
                "(CPU %.3f s)\n",
                traceWall, traceCpu, traceIdealWall, traceIdealCpu);
    std::printf("capture (%.1f M rays)                        %.3f s\n",
                prism.field.columns() * double(prism.field.rows()) * options.capture.supersample
                    * options.capture.supersample * rows * 1e-6,
                run.captureSeconds);
    std::printf("rectify                                     %.3f s\n", m.rectifySeconds);
    std::printf("StereoSGBM (%d disparities from %d)        %.3f s\n", m.matcher.numDisparities,
                m.matcher.minDisparity, m.matchSeconds);
    std::printf("reproject and compare                       %.3f s\n", m.compareSeconds);
    std::printf("capture with matching                       %.3f s wall (CPU %.3f s); with the trace %.3f s\n",
                oneWall, oneCpu, oneWall + traceWall);
    std::printf("the case (prism, ideal pair, 4 pictures)    %.3f s wall (CPU %.3f s); with both traces %.3f s "
                "(CPU %.3f s)\n",
                caseWall, caseCpu, caseWall + traceWall + traceIdealWall, caseCpu + traceCpu + traceIdealCpu);
    std::printf("peak memory                                 %.0f MB\n", peakMegabytes());
    std::printf("depth error: median %.3f mm, RMS %.3f mm (%.4f %%), p95 %.3f mm, valid %.1f %%; floor RMS %.4f %% "
                "(prism %.2fx); matched minus true disparity median %.3f px, RMS %.3f px; exact correspondences: "
                "depth error RMS %.4f %%\n",
                m.depth.medianMm, m.depth.rmsMm, m.depth.rmsPercent, m.depth.p95Mm, m.depth.validPercent,
                c.ideal.depth.rmsPercent, c.rmsRatio(), m.geometry.matchMedianPx, m.geometry.matchRmsPx,
                m.geometry.depthRmsPercent);
    verticalDisparityBreakdown(m.geometry, model);
    if (qEnvironmentVariableIsSet("BENCH_SIMULATE_PICTURES")) {
        const QDir out(qEnvironmentVariable("BENCH_SIMULATE_PICTURES"));
        cv::imwrite(out.filePath("left.png").toStdString(), m.rectifiedLeft);
        cv::imwrite(out.filePath("right.png").toStdString(), m.rectifiedRight);
        cv::imwrite(out.filePath("sensor.png").toStdString(), run.capture.image);
    }
    return 0;
}
