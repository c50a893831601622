#pragma once

#include "fit/fit_files.h"

// The windows of the split: low < coordinate < high, all strict.
struct SplitWindow {
    double xLow, xHigh, yLow, yHigh;
};
inline constexpr SplitWindow surface1Window = {-28.0, 28.0, -18.0, 18.0};
inline constexpr SplitWindow surface2Window = {0.0, 28.0, -18.0, 18.0};

// Splits the design points of "outputall.txt" into one point file per surface:
// rows with -28 < c1 < 28 and -18 < c2 < 18 give (c1, c2, c3) to
// "outputall_fig1.txt", rows with 0 < c4 < 28 and -18 < c5 < 18 give
// (c4, c5, c6) to "outputall_fig2.txt" (NaN fails every test), both in the
// point row format, in input order. Rows are the complete groups of six
// numbers read; a missing design file prints the GBK message and counts as a
// file without rows. The two counts leave through the out-parameters.
void splitDesignPoints(int* surface1Count, int* surface2Count);
// The same with the design file read from where.inputDirectory and the point
// files written to where.outputDirectory; *designFileFound (if given) tells
// whether "outputall.txt" could be opened.
void splitDesignPoints(int* surface1Count, int* surface2Count, const FitRunLocation& where,
                       bool* designFileFound = nullptr);
