#include "design/design_run.h"

#include "design/design_files.h"
#include "design/design_json.h"
#include "core/parallel_for.h"
#include "design/ray_trace.h"
#include "io/atomic_file_set.h"

#include <chrono>
#include <cstddef>
#include <utility>

namespace {

double secondsBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

} // namespace

DesignRunResult traceDesign(DesignRecord& record, const DesignRunOptions& options)
{
    DesignRunResult result;
    if (record.componentCount != 2 || !record.gridZ)
        return result;  // not a created design record: nothing to trace
    result.threadCount = resolveThreadCount(options.threadCount);

    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    AtomicFileSet files(options.outputDirectory, QStringLiteral("design"));
    files.checkTargets({QString::fromLatin1(designProfileFileName), QString::fromLatin1(designPointsFileName),
                        QString::fromLatin1(designJsonFileName)});
    computeDesignConstants(record);
    const bool refraction = options.model == DesignModel::Refraction;
    if (refraction)
        traceRefractionRows(record);
    else
        traceRows(record);
    const Clock::time_point rowsDone = Clock::now();
    bool profileStaged = false;
    if (!options.beforeFiles)
        profileStaged = writeProfileFile(record, files);
    const Clock::time_point profileDone = Clock::now();
    if (options.keepNodeHeights) {
        const std::size_t nodes = std::size_t(8) * std::size_t(record.quarterSteps) * std::size_t(record.halfSteps);
        result.exitHeights.resize(nodes);
        result.entranceHeights.resize(nodes);
        record.nodeHeights[0] = result.exitHeights.data();
        record.nodeHeights[1] = result.entranceHeights.data();
    }
    const core::ProgressRange columns(options.progress, 0.0, 1.0, "design");
    if (refraction)
        traceRefractionColumns(record, result.threadCount, &columns);
    else
        traceColumns(record, result.threadCount, &columns);
    record.nodeHeights[0] = record.nodeHeights[1] = nullptr;
    if (options.beforeFiles) {
        options.beforeFiles(record);
        profileStaged = writeProfileFile(record, files);
    }
    if (options.keepProfile) {
        const int lines = 4 * record.quarterSteps;
        result.profile.reserve(std::size_t(lines) * 4);
        for (int i = 0; i < lines; ++i) {
            for (double value : {record.rowX[0][i], record.rowHeights[0][i], record.rowX[1][i],
                                 record.rowHeights[1][i]})
                result.profile.push_back(value);
        }
    }
    const Clock::time_point columnsDone = Clock::now();
    GridFileResult grid = writeGridFile(record, files, result.threadCount, options.keepFileValues);
    DesignJson designJson = designJsonFromRecord(record, options.panel);
    designJson.designModel = QString::fromLatin1(designModelName(options.model));
    designJson.pointsDigest = grid.digest;
    const QByteArray json = designJsonBytes(designJson);
    const bool jsonStaged =
        files.stage(QString::fromLatin1(designJsonFileName), json.constData(), std::size_t(json.size()));
    const bool committed = files.commit();
    result.designJsonWritten = jsonStaged && committed;
    const Clock::time_point gridDone = Clock::now();
    if (options.keepGridPoints) {
        const int lines = gridFileLineCount(record);
        const std::size_t stride = std::size_t(record.gridStride);
        result.gridPoints.reserve(std::size_t(lines) * 6);
        for (int line = 0; line < lines; ++line) {
            const std::size_t e = std::size_t(10) * std::size_t(line) / stride;
            for (double value : {record.gridX[0][e], record.gridY[0][e], record.gridZ[0][e], record.gridX[1][e],
                                 record.gridY[1][e], record.gridZ[1][e]})
                result.gridPoints.push_back(value);
        }
    }
    result.gridFileValues = std::move(grid.fileValues);

    result.profileWritten = profileStaged && committed;
    result.gridWritten = grid.written && committed;
    result.error = files.errorString();
    result.notReplaced = files.notReplaced();
    result.nonFiniteGridLines = grid.nonFiniteLines;
    if (committed)
        result.pointsDigest = grid.digest;
    result.integrationSeconds = secondsBetween(start, rowsDone) + secondsBetween(profileDone, columnsDone);
    result.writingSeconds = secondsBetween(rowsDone, profileDone) + secondsBetween(columnsDone, gridDone);
    return result;
}

void computeDesignSurfaces(DesignRecord& record, DesignModel model, int threadCount,
                           const core::ProgressRange* progress)
{
    computeDesignConstants(record);
    const int threads = resolveThreadCount(threadCount);
    if (model == DesignModel::Refraction) {
        traceRefractionRows(record);
        traceRefractionColumns(record, threads, progress);
    } else {
        traceRows(record);
        traceColumns(record, threads, progress);
    }
}

DesignRunResult runDesign(const DesignParameters& parameters, const DesignRunOptions& options)
{
    ScopedDesignRecord record(2, 480, 540, designGridFileStride);
    fillDesignRecord(*record, parameters);
    return traceDesign(*record, options);
}
