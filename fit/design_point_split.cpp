#include "fit/design_point_split.h"

#include "io/atomic_file_set.h"

#include <cstddef>
#include <string>
#include <vector>

void splitDesignPoints(int* surface1Count, int* surface2Count)
{
    splitDesignPoints(surface1Count, surface2Count, FitRunLocation());
}

void splitDesignPoints(int* surface1Count, int* surface2Count, const FitRunLocation& where,
                       bool* designFileFound)
{
    std::vector<double> numbers;
    const bool found = readNumberFile(fitFilePath(where.inputDirectory, designPointsFileName), &numbers);
    if (!found)
        printMissingFileMessage();
    if (designFileFound)
        *designFileFound = found;
    splitDesignValues(numbers, surface1Count, surface2Count, where.outputDirectory);
}

bool splitDesignValues(const std::vector<double>& numbers, int* surface1Count, int* surface2Count,
                       const QString& outputDirectory, QString* error)
{
    // A row counts only when all six of its numbers were read: a last line
    // without a line break is kept, a cut-off row is not.
    const std::size_t rows = numbers.size() / 6;
    std::string surface1;
    std::string surface2;
    surface1.reserve(rows * 54);
    surface2.reserve(rows * 54);
    int count1 = 0;
    int count2 = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        const double* c = numbers.data() + 6 * r;
        const SplitWindow& w1 = surface1Window;
        const SplitWindow& w2 = surface2Window;
        if (w1.xLow < c[0] && c[0] < w1.xHigh && w1.yLow < c[1] && c[1] < w1.yHigh) {
            appendPointRow(&surface1, c[0], c[1], c[2]);
            ++count1;
        }
        if (w2.xLow < c[3] && c[3] < w2.xHigh && w2.yLow < c[4] && c[4] < w2.yHigh) {
            appendPointRow(&surface2, c[3], c[4], c[5]);
            ++count2;
        }
    }
    // Scratch files of one run: atomic, but not flushed to the disk.
    const bool wrote1 = writeFileAtomically(fitFilePath(outputDirectory, surface1PointsFileName), surface1.data(),
                                            surface1.size(), error, Durability::Unsynced);
    const bool wrote2 = wrote1 && writeFileAtomically(fitFilePath(outputDirectory, surface2PointsFileName),
                                                      surface2.data(), surface2.size(), error, Durability::Unsynced);
    *surface1Count = count1;
    *surface2Count = count2;
    return wrote1 && wrote2;
}
