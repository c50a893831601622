#include "fit/design_point_split.h"

#include "fit/fit_run.h"
#include "io/atomic_file_set.h"

#include <string>
#include <vector>

namespace {

// A surface's points in the point row format; the rounded values print as
// the design values did.
void writePointFile(const QString& path, const SurfacePointSet& set)
{
    std::string rows;
    rows.reserve(set.z.size() * 54);
    for (std::size_t i = 0; i < set.z.size(); ++i)
        appendPointRow(&rows, set.x[i], set.y[i], set.z[i]);
    // Files of one run for whoever reads them: atomic, not flushed to the disk.
    writeFileAtomically(path, rows.data(), rows.size(), nullptr, Durability::Unsynced);
}

}  // namespace

void splitDesignPoints(int* surface1Count, int* surface2Count)
{
    splitDesignPoints(surface1Count, surface2Count, FitRunLocation());
}

void splitDesignPoints(int* surface1Count, int* surface2Count, const FitRunLocation& where,
                       bool* designFileFound)
{
    // The split on its own reads as "%lf" does: complete rows up to the first
    // token that is not a number (the fit runs read strictly, loadFitPoints).
    std::vector<double> numbers;
    const bool found = readNumberFile(fitFilePath(where.inputDirectory, designPointsFileName), &numbers);
    if (!found)
        printMissingFileMessage();
    if (designFileFound)
        *designFileFound = found;
    const FitPoints points = splitFitPoints(numbers.data(), numbers.size());
    writePointFile(fitFilePath(where.outputDirectory, surface1PointsFileName), points.surface1);
    writePointFile(fitFilePath(where.outputDirectory, surface2PointsFileName), points.surface2);
    *surface1Count = points.surface1.count();
    *surface2Count = points.surface2.count();
}
