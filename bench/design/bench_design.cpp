// The whole design run (row and column integration, "output.txt" and
// "outputall.txt" in the working directory) on the start values, with one
// thread and with every hardware thread.

#include "design/design_run.h"
#include "core/parallel_for.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

void runAndReport(const char* label, int threadCount)
{
    DesignParameters parameters;
    parameters.centralRayHitX = 14.876;
    parameters.centralRayHitY = 12.784;
    DesignRunOptions options;
    options.threadCount = threadCount;

    double best = 1e300;
    for (int run = 0; run < 3; ++run) {
        const auto start = std::chrono::steady_clock::now();
        const DesignRunResult result = runDesign(parameters, options);
        const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::min(best, total);
        std::printf("%-12s threads %d  run %d  total %.3f s  integration %.3f s  writing %.3f s"
                    "  files %s  non-finite lines %d\n",
                    label, result.threadCount, run + 1, total, result.integrationSeconds, result.writingSeconds,
                    result.profileWritten && result.gridWritten ? "written" : "NOT WRITTEN",
                    result.nonFiniteGridLines);
    }
    std::printf("%-12s best total %.3f s\n", label, best);
}

} // namespace

int main()
{
    runAndReport("one thread", 1);
    runAndReport("all cores", 0);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak memory (ru_maxrss) %.1f MB\n", double(usage.ru_maxrss) / 1024.0);
    return 0;
}
