#include "design/design_run.h"

#include "design/design_files.h"
#include "design/design_json.h"
#include "design/parallel_for.h"
#include "design/ray_trace.h"
#include "io/atomic_file_set.h"

#include <chrono>

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
    traceRows(record);
    const Clock::time_point rowsDone = Clock::now();
    const bool profileStaged = writeProfileFile(record, files);
    const Clock::time_point profileDone = Clock::now();
    traceColumns(record, result.threadCount);
    const Clock::time_point columnsDone = Clock::now();
    const GridFileResult grid = writeGridFile(record, files, result.threadCount);
    const QByteArray json = designJsonBytes(designJsonFromRecord(record, options.panel));
    const bool jsonStaged =
        files.stage(QString::fromLatin1(designJsonFileName), json.constData(), std::size_t(json.size()));
    const bool committed = files.commit();
    result.designJsonWritten = jsonStaged && committed;
    const Clock::time_point gridDone = Clock::now();

    result.profileWritten = profileStaged && committed;
    result.gridWritten = grid.written && committed;
    result.error = files.errorString();
    result.notReplaced = files.notReplaced();
    result.nonFiniteGridLines = grid.nonFiniteLines;
    result.integrationSeconds = secondsBetween(start, rowsDone) + secondsBetween(profileDone, columnsDone);
    result.writingSeconds = secondsBetween(rowsDone, profileDone) + secondsBetween(columnsDone, gridDone);
    return result;
}

DesignRunResult runDesign(const DesignParameters& parameters, const DesignRunOptions& options)
{
    ScopedDesignRecord record(2, 480, 540);
    fillDesignRecord(*record, parameters);
    return traceDesign(*record, options);
}
