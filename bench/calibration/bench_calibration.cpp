// One predicted stereo calibration of the start panel (design in memory,
// every target point imaged through the traced prism, OpenCV calibration of
// both halves and the pair), for the design surfaces and for a fit; the
// figures of each run are printed with its time.
//   bench_calibration [fit order, default 3] [threads, default all] [fix: principal point held]

#include "calibration/prism_calibration.h"
#include "parameters/panel_parameters.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace calibration;

namespace {

void printHalf(const char* name, const HalfCalibration& h)
{
    std::printf("  %-5s rms %.4f px  max %.4f px  (%d views, %d points)  f %.3f %.3f  c %.3f %.3f\n", name, h.rmsPx,
                h.maxPx, h.views, h.points, h.cameraMatrix[0], h.cameraMatrix[4], h.cameraMatrix[2],
                h.cameraMatrix[5]);
    for (const DepthResidual& d : h.perDepth)
        std::printf("        depth %6.0f mm  rms %.4f px  max %.4f px  (%d points)\n", d.depthMm, d.rmsPx, d.maxPx,
                    d.points);
}

void run(PrismSource source, int order, int threads, bool fixPrincipalPoint)
{
    const PanelParameters panel;
    const DesignParameters parameters = toDesignParameters(panel, centralRayHit(panel));
    CalibrationOptions options;
    options.threadCount = threads;
    options.fixPrincipalPoint = fixPrincipalPoint;
    StereoCalibration c;
    QString error;
    PrismCalibrationTimes times;
    const bool ok = calibratePrism(parameters, source, order, options, &c, &error, &times);
    std::printf("%s%s: design %.3f s, calibration %.3f s\n", qPrintable(prismSourceName(source)),
                source == PrismSource::Fit ? qPrintable(QStringLiteral(" order %1").arg(order)) : "",
                times.designSeconds, times.calibrationSeconds);
    if (!ok) {
        std::printf("  failed: %s\n", qPrintable(error));
        return;
    }
    printHalf("left", c.left);
    printHalf("right", c.right);
    std::printf("  baseline %.4f mm (ideal %.4f mm)  rotation %.5f deg  stereo rms %.4f px  imaging miss <= %.2g px\n",
                c.baselineMm, c.idealBaselineMm, c.rotationDeg, c.stereoRmsPx, c.maxImagingMissPx);
    for (const DepthError& d : c.depthError)
        std::printf("        depth %6.0f mm  error rms %.4f mm (%.4f %%)  max %.4f mm (%.4f %%)  (%d points)\n",
                    d.depthMm, d.rmsMm, d.rmsPercent, d.maxMm, d.maxPercent, d.points);
}

}  // namespace

int main(int argc, char** argv)
{
    const int order = argc > 1 ? std::atoi(argv[1]) : 3;
    const int threads = argc > 2 ? std::atoi(argv[2]) : 0;
    const bool fix = argc > 3 && std::string(argv[3]) == "fix";
    run(PrismSource::Design, 0, threads, fix);
    run(PrismSource::Fit, order, threads, fix);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak memory (ru_maxrss) %.1f MB\n", double(usage.ru_maxrss) / 1024.0);
    return 0;
}
