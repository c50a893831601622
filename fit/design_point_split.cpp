#include "fit/design_point_split.h"

#include "fit/fit_run.h"

#include <string>

namespace {

// A surface's points in the point row format; the rounded values print as
// the design values did.
void writePointFile(const QString& path, const SurfacePointSet& set)
{
    std::string rows;
    rows.reserve(set.z.size() * 54);
    for (std::size_t i = 0; i < set.z.size(); ++i)
        appendPointRow(&rows, set.x[i], set.y[i], set.z[i]);
    writeFileBytes(path, rows.data(), rows.size());
}

}  // namespace

void splitDesignPoints(int* surface1Count, int* surface2Count)
{
    splitDesignPoints(surface1Count, surface2Count, FitRunLocation());
}

void splitDesignPoints(int* surface1Count, int* surface2Count, const FitRunLocation& where,
                       bool* designFileFound)
{
    const FitPoints points = loadFitPoints(where.inputDirectory);
    if (designFileFound)
        *designFileFound = points.designFileFound;
    writePointFile(fitFilePath(where.outputDirectory, surface1PointsFileName), points.surface1);
    writePointFile(fitFilePath(where.outputDirectory, surface2PointsFileName), points.surface2);
    *surface1Count = points.surface1.count();
    *surface2Count = points.surface2.count();
}
