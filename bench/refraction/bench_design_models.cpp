// Each design model on three panel settings, the refraction model also
// refined: the design time (in memory and as a whole run with both files)
// and what the verifier measures when it traces the design's own grid: direction error (RMS and max per half, and
// along the central row), pinhole offset, reprojection at 1 m and 0.3 m.
//
// bench_design_models [verify step, default 4] [threads, default 0 = all]

#include "design/design_record.h"
#include "design/design_run.h"
#include "core/parallel_for.h"
#include "design/ray_trace.h"
#include "design/refraction_design.h"
#include "parameters/panel_parameters.h"
#include "refine/surface_refinement.h"
#include "verify/verify.h"
#include "verify/verify_sources.h"

#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Setting {
    const char* name;
    PanelParameters panel;
};

std::vector<Setting> settings()
{
    std::vector<Setting> list;
    list.push_back({"default (f35 a20 d175 s100 n1.48)", PanelParameters()});
    PanelParameters b;
    b.focalLength = 50;
    b.setAngle(25.0);
    b.prismDistance = 160;
    b.prismSize = 120;
    b.refractiveIndex = 1.52;
    list.push_back({"f50 a25 d160 s120 n1.52", b});
    PanelParameters c;
    c.focalLength = 30;
    c.setAngle(18.0);
    c.prismDistance = 180;
    c.prismSize = 110;
    c.refractiveIndex = 1.55;
    list.push_back({"f30 a18 d180 s110 n1.55", c});
    return list;
}

// In memory: constants, rows and columns of the model.
void computeDesign(DesignRecord& record, DesignModel model, int threads)
{
    if (model == DesignModel::Refraction) {
        computeRefractionDesign(record, threads);
        return;
    }
    computeDesignConstants(record);
    traceRows(record);
    traceColumns(record, threads);
}

void printVerification(const verify::VerifyResult& r)
{
    for (int half = 0; half < 2; ++half) {
        const verify::HalfStatistics& s = r.halves[std::size_t(half)];
        // The central row: every column of it is sampled.
        double rowSum = 0, rowMax = 0, jointMax = 0;
        int rowCount = 0;
        for (const verify::PixelResult& p : r.pixels) {
            if (p.pixel.row != verify::centralRow || (p.pixel.column < 960) != (half == 0) || p.flags & verify::rayFailureFlags)
                continue;
            const double e = p.errors.directionPx;
            rowSum += e * e;
            rowMax = std::max(rowMax, e);
            ++rowCount;
            for (int joint : {479, 959, 1439})
                if (std::abs(p.pixel.column - joint) <= 3)
                    jointMax = std::max(jointMax, e);
        }
        std::printf("    %s traced %d/%d | direction rms %.4g max %.4g px | central row rms %.4g max %.4g px,"
                    " by centre/joints max %.4g px | pinhole rms %.4g max %.4g mm | reproj 1 m rms %.4g max %.4g px,"
                    " 0.3 m rms %.4g max %.4g px\n",
                    half == 0 ? "left " : "right", s.traced, s.sampled, s.directionPx.rms, s.directionPx.max,
                    std::sqrt(rowSum / std::max(1, rowCount)), rowMax, jointMax, s.pinholeMm.rms, s.pinholeMm.max,
                    s.reprojectionPx[0].rms, s.reprojectionPx[0].max, s.reprojectionPx[1].rms,
                    s.reprojectionPx[1].max);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const int step = argc > 1 ? std::max(1, std::atoi(argv[1])) : 4;
    const int threads = argc > 2 ? std::atoi(argv[2]) : 0;
    const int workers = resolveThreadCount(threads);
    bool first = true;
    for (const Setting& setting : settings()) {
        const DesignParameters parameters = toDesignParameters(setting.panel, centralRayHit(setting.panel));
        std::printf("%s\n", setting.name);
        for (DesignModel model : {DesignModel::Classic, DesignModel::Refraction}) {
            if (first) {
                // Whole runs with both files, best of three.
                QTemporaryDir dir;
                DesignRunOptions options;
                options.outputDirectory = dir.path();
                options.threadCount = threads;
                options.model = model;
                double best = 1e300, integration = 0;
                for (int run = 0; run < 3; ++run) {
                    const Clock::time_point start = Clock::now();
                    const DesignRunResult result = runDesign(parameters, options);
                    const double total = secondsSince(start);
                    if (total < best) {
                        best = total;
                        integration = result.integrationSeconds;
                    }
                }
                std::printf("  %-10s whole run %.3f s (integration %.3f s), %d threads\n", designModelName(model),
                            best, integration, workers);
            }
            ScopedDesignRecord record;
            fillDesignRecord(*record, parameters);
            const Clock::time_point start = Clock::now();
            computeDesign(*record, model, threads);
            const double designSeconds = secondsSince(start);
            verify::VerifyOptions options;
            options.step = step;
            options.threadCount = threads;
            options.keepPixels = true;
            const auto sheets = [&] {
                return model == DesignModel::Refraction ? refractionDesignSheets(*record)
                                                        : verify::designSurfacesFromRecord(*record);
            };
            Clock::time_point verifyStart = Clock::now();
            verify::VerifyResult result = verify::verifyPrism(verify::geometryOfRecord(*record), sheets(), options);
            std::printf("  %-10s design in memory %.3f s, verified at step %d in %.3f s\n", designModelName(model),
                        designSeconds, step, secondsSince(verifyStart));
            printVerification(result);
            if (model != DesignModel::Refraction)
                continue;
            RefineOptions refine;
            refine.threadCount = threads;
            refine.progress = [](const QString& line) { std::fprintf(stderr, "%s\n", qPrintable(line)); };
            const RefineResult refined = refineDesign(*record, refine);
            std::printf("  refined    %.3f s: %s\n", refined.seconds, qPrintable(refined.message));
            verifyStart = Clock::now();
            result = verify::verifyPrism(verify::geometryOfRecord(*record), sheets(), options);
            std::printf("  refined    verified at step %d in %.3f s\n", step, secondsSince(verifyStart));
            printVerification(result);
        }
        first = false;
    }
    return 0;
}
