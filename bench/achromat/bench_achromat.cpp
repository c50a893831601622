// Lateral colour between F and C of the default panel's prism (refraction
// design, order 8 prism fit optimised with the stereo objective): the single
// glass (the panel's index with N-BK7's dispersion, Abbe number 64.2) against
// the cemented achromat of a crown and a flint. Per half: RMS and largest
// F-C image shift, the mean shift and what remains after it; the direction
// error at d; the calibrated residual at d (the one-shot's calibration); the
// glass thicknesses; wall and CPU time of the fit with its optimiser.
//
//   bench_achromat [ORDER=8] [CROWN=N-BK7] [FLINT=F2] [STEP=8]
//
// Threads: BENCH_THREADS (default 2).
#include "pipeline/stages.h"
#include "verify/prism_trace.h"

#include <QElapsedTimer>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

void printColour(const char* name, const verify::LateralColour& c, const verify::VerifyResult& v)
{
    std::printf("%-30s F-C RMS %7.3f px  max %7.3f px; outside the centre band %7.3f / %7.3f px", name, c.rmsPx(),
                c.maxPx(), c.outsideCentreRmsPx(), c.outsideCentreMaxPx());
    for (int half = 0; half < 2; ++half) {
        const verify::HalfLateralColour& h = c.halves[static_cast<std::size_t>(half)];
        std::printf("  | %s mean (%+.3f, %+.3f) px, rest RMS %.3f max %.3f (outside the band %.3f / %.3f)",
                    half == 0 ? "left" : "right", h.meanXPx, h.meanYPx, h.demeanedRmsPx, h.demeanedMaxPx,
                    h.outsideCentreDemeanedRmsPx, h.outsideCentreDemeanedMaxPx);
    }
    // Without the centre band's columns too.
    double outside[2];
    for (int half = 0; half < 2; ++half) {
        const verify::HalfStatistics& h = v.halves[static_cast<std::size_t>(half)];
        const double all = h.directionPx.rms * h.directionPx.rms * h.directionPx.count;
        const double band = h.centreBand.directionRmsPx * h.centreBand.directionRmsPx * h.centreBand.traced;
        outside[half] = std::sqrt((all - band) / (h.directionPx.count - h.centreBand.traced));
    }
    std::printf("  | direction at d RMS %.3f / %.3f px, outside the centre band %.3f / %.3f px\n",
                v.halves[0].directionPx.rms, v.halves[1].directionPx.rms, outside[0], outside[1]);
}

void printCalibrated(const verify::PrismGeometry& geometry, const verify::PrismSurfaces& surfaces, int threads)
{
    pipeline::CalibrationInput input;
    input.threads = threads;
    try {
        const pipeline::CalibrationStageResult c =
            pipeline::runCalibrationStage(geometry, surfaces, input, core::ProgressRange(nullptr, 0.0, 1.0, ""));
        std::printf("  calibrated residual at d RMS %.4f / %.4f px\n", c.calibration.left.rmsPx,
                    c.calibration.right.rmsPx);
    } catch (const std::exception& e) {
        std::printf("  calibration failed: %s\n", e.what());
    }
}

double cpuSeconds()
{
    return double(std::clock()) / CLOCKS_PER_SEC;
}

}  // namespace

int main(int argc, char** argv)
{
    const int order = argc > 1 ? std::atoi(argv[1]) : 8;
    const QString crownName = QString::fromLocal8Bit(argc > 2 ? argv[2] : "N-BK7");
    const QString flintName = QString::fromLocal8Bit(argc > 3 ? argv[3] : "F2");
    const int step = argc > 4 ? std::atoi(argv[4]) : 8;
    const int threads = std::getenv("BENCH_THREADS") ? std::atoi(std::getenv("BENCH_THREADS")) : 2;

    pipeline::DesignInput designInput;
    designInput.panel.designModel = DesignModel::Refraction;
    designInput.threads = threads;
    const pipeline::DesignResult design = pipeline::runDesignStage(designInput, core::ProgressRange(nullptr, 0.0, 1.0, ""));
    pipeline::PrismFitInput fitInput;
    fitInput.order = order;
    fitInput.threads = threads;
    verify::VerifyOptions verifyOptions;
    verifyOptions.step = step;
    verifyOptions.threadCount = threads;

    QElapsedTimer timer;
    timer.start();
    double cpu = cpuSeconds();
    const pipeline::PrismFitResult single = pipeline::runPrismFitStage(design, fitInput, core::ProgressRange(nullptr, 0.0, 1.0, ""));
    const double singleSeconds = double(timer.nsecsElapsed()) * 1e-9;
    const double singleCpu = cpuSeconds() - cpu;
    const materials::Material& bk7 = *materials::Catalogue::builtIn().find(QStringLiteral("N-BK7"));
    // The panel's index at d, N-BK7's dispersion about it.
    const auto singleGlass = [&](double nm) {
        verify::PrismGeometry g = design.geometry;
        g.refractiveIndex += bk7.index(nm) - bk7.index(materials::lineD);
        return g;
    };
    const verify::PrismSurfaces singleSurfaces = verify::prismFitSurfaces(single.fit);
    const verify::VerifyResult singleVerified = verify::verifyPrism(design.geometry, singleSurfaces, verifyOptions);
    verify::LateralColourOptions colourOptions;
    colourOptions.step = step;
    colourOptions.threadCount = threads;
    printColour("single (N-BK7 Abbe)",
                verify::measureLateralColour(singleGlass(materials::lineF), singleGlass(materials::lineC),
                                             singleSurfaces, colourOptions),
                singleVerified);
    printCalibrated(design.geometry, singleSurfaces, threads);
    std::printf("%-22s %.1f s wall, %.1f s CPU\n", "  fit and optimiser", singleSeconds, singleCpu);

    fitInput.achromat = {true, crownName, flintName};
    timer.restart();
    cpu = cpuSeconds();
    pipeline::PrismFitResult cemented;
    try {
        cemented = pipeline::runPrismFitStage(design, fitInput, core::ProgressRange(nullptr, 0.0, 1.0, ""));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "no achromat: %s\n", e.what());
        return 2;
    }
    const double cementedSeconds = double(timer.nsecsElapsed()) * 1e-9;
    const double cementedCpu = cpuSeconds() - cpu;
    const materials::Material& crown = *materials::Catalogue::builtIn().find(crownName);
    const materials::Material& flint = *materials::Catalogue::builtIn().find(flintName);
    const verify::PrismSurfaces surfaces = verify::prismFitSurfaces(cemented.fit);
    const QByteArray label = (QStringLiteral("achromat ") + crownName + QLatin1Char('/') + flintName).toLatin1();
    const verify::VerifyResult verified =
        verify::verifyPrism(verify::prismFitGeometry(design.geometry, cemented.fit), surfaces, verifyOptions);
    printColour(label.constData(),
                verify::measureLateralColour(cementedGeometry(design.geometry, crown, flint, materials::lineF),
                                             cementedGeometry(design.geometry, crown, flint, materials::lineC),
                                             surfaces, colourOptions),
                verified);
    printCalibrated(verify::prismFitGeometry(design.geometry, cemented.fit), surfaces, threads);
    const pipeline::AchromatSummary& a = *cemented.achromat;
    std::printf("%-22s %.1f s wall, %.1f s CPU (with the single glass's fit it starts from); thin-prism wedges "
                "%.3f / %.3f deg for %.3f deg; mean F-C at the end %.2e px\n",
                "  design and optimiser", cementedSeconds, cementedCpu, a.thin.crownAngle * 57.29577951308232,
                a.thin.flintAngle * 57.29577951308232, a.singleDeviationRad * 57.29577951308232, a.centreColourPx);
    for (int half = 0; half < 2; ++half) {
        const GlassThickness& t = a.thickness[static_cast<std::size_t>(half)];
        std::printf("  %s half: %s %.3f to %.3f mm, %s %.3f to %.3f mm\n", half == 0 ? "left" : "right",
                    qPrintable(crownName), t.crownMinMm, t.crownMaxMm, qPrintable(flintName), t.flintMinMm,
                    t.flintMaxMm);
    }
    return 0;
}
