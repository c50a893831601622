// Each design model on three panel settings: the design time (in memory and
// as a whole run with both files) and what the verifier measures when it
// traces the design's own grid: direction error (RMS and max per half, and
// along the central row), pinhole offset, reprojection at 1 m and 0.3 m.
//
// bench_design_models [verify step, default 4] [threads, default 0 = all]

#include "design/design_record.h"
#include "design/design_run.h"
#include "design/parallel_for.h"
#include "design/ray_trace.h"
#include "design/refraction_design.h"
#include "parameters/panel_parameters.h"
#include "verify/verify.h"

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

// The design's sheets; the refraction model has points at x = 0 too (column
// 960 is the right half's), so its right sheets start there.
verify::PrismSurfaces sheetsOf(const DesignRecord& record, DesignModel model)
{
    verify::PrismSurfaces surfaces = verify::designSurfacesFromRecord(record);
    if (model != DesignModel::Refraction)
        return surfaces;
    const int h = record.halfSteps;
    const int first = 2 * record.quarterSteps;
    const int columns = 2 * record.quarterSteps;
    for (int c = 0; c < 2; ++c) {
        std::vector<verify::Vec3> samples;
        samples.reserve(std::size_t(columns) * std::size_t(2 * h - 1));
        for (int i = 0; i < columns; ++i) {
            const std::size_t base = std::size_t(first + i) * std::size_t(2 * h);
            for (int k = -(h - 1); k <= h - 1; ++k) {
                const std::size_t e = base + (k < 0 ? std::size_t(-k) : std::size_t(h + k));
                samples.emplace_back(record.gridX[c][e], record.gridY[c][e], record.gridZ[c][e]);
            }
        }
        auto sheet = std::make_shared<verify::GridSheetSurface>(first, columns, -(h - 1), 2 * h - 1, std::move(samples));
        if (c == 0)
            surfaces.exit[1] = sheet;
        else
            surfaces.entrance[1] = sheet;
    }
    return surfaces;
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
            verify::PrismGeometry geometry;
            geometry.focalLength = record->focalLength;
            geometry.prismDistance = record->prismDistance;
            geometry.refractiveIndex = record->refractiveIndex;
            geometry.virtualPinholeX = record->virtualPinholeX;
            verify::VerifyOptions options;
            options.step = step;
            options.threadCount = threads;
            options.keepPixels = true;
            const Clock::time_point verifyStart = Clock::now();
            const verify::VerifyResult result = verify::verifyPrism(geometry, sheetsOf(*record, model), options);
            std::printf("  %-10s design in memory %.3f s, verified at step %d in %.3f s\n", designModelName(model),
                        designSeconds, step, secondsSince(verifyStart));
            printVerification(result);
        }
        first = false;
    }
    return 0;
}
