#include "design/design_run.h"

#include "design/design_files.h"
#include "design/design_json.h"
#include "design/parallel_for.h"
#include "design/ray_trace.h"

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
    computeDesignConstants(record);
    traceRows(record);
    const Clock::time_point rowsDone = Clock::now();
    result.profileWritten = writeProfileFile(record, options.outputDirectory);
    const Clock::time_point profileDone = Clock::now();
    traceColumns(record, result.threadCount);
    const Clock::time_point columnsDone = Clock::now();
    const GridFileResult grid = writeGridFile(record, options.outputDirectory, result.threadCount);
    result.designJsonWritten = writeDesignJson(options.outputDirectory, designJsonFromRecord(record, options.panel));
    const Clock::time_point gridDone = Clock::now();

    result.gridWritten = grid.written;
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
