#pragma once

#include "fit/fit_files.h"

#include <QStringList>

#include <vector>

// What one fitting run did, for a caller that wants to print it.
struct FitRunSummary {
    int order = 3;                        // the order run (3 to 8)
    int surface1Count = 0;                // m1: surface-1 points split off and fitted
    int surface2Count = 0;                // m2: surface-2 points split off and fitted
    std::vector<double> surface1Results;  // a(0) .. a(k1 - 1), then Res1
    std::vector<double> surface2Results;  // b(0) .. b(k2 - 1), then Res2
    bool designFileFound = false;         // "outputall.txt" could be opened
    bool pointFilesRead = false;          // both per-surface point files were read back
    bool fitFilesWritten = false;         // both fitted-point files were written
    bool reportWritten = false;           // "result_para_fit.txt" was written (fitAndReportOrder only)
    bool inputValid = false;              // "outputall.txt" read strictly, enough points on both surfaces
    QString error;                        // why no result file was replaced (empty after a good run)
    QStringList notReplaced;              // result files that kept their previous contents
    bool jsonWritten = false;             // "result_para_fit.json" was written (fitAndReportOrder only)
    double splitSeconds = 0.0;            // the split, both point files written
    double fitSeconds = 0.0;              // point files read back, both models, residuals
    double writeSeconds = 0.0;            // fitted-point files, clean-up and report
    double totalSeconds = 0.0;
};

// The fitting run of an order from 3 to 8 (any other order runs as 3): reads
// "outputall.txt" strictly (io/design_points_reader.h), splits it into
// "outputall_fig1.txt" and "outputall_fig2.txt", reads them back, fits both
// surfaces with the models of the order, takes Res1 and Res2 as mean absolute
// height differences, writes "output_fit_fig1.txt" and "output_fit_fig2.txt"
// (mirrored half first) and deletes the two per-surface files. No report is
// written. A malformed design file, or a surface left with fewer points in
// its window than its model has terms, ends the run with `error` set before
// any result file is touched; the result files of a run are replaced together
// (io/atomic_file_set.h) or not at all.
FitRunSummary runFit(int order, const FitRunLocation& where = {});
// runFit followed by the report "result_para_fit.txt" of the order; the two
// fitted-point files and the report replace the old ones as one set.
FitRunSummary fitAndReportOrder(int order, const FitRunLocation& where = {});

// Res1/Res2: (|z[0] - fitted[0]| + ... + |z[n-1] - fitted[n-1]|) / n, summed
// in point order from 0; no points give 0/0, a NaN.
double meanAbsoluteDifference(const double* z, const double* fitted, int count);

// The runs of each order in the working directory: surface1Results receives
// k1 + 1 values (coefficients, then Res1), surface2Results k2 + 1 values.
void runFitOrder3(double* surface1Results, double* surface2Results);
void runFitOrder4(double* surface1Results, double* surface2Results);
void runFitOrder5(double* surface1Results, double* surface2Results);
void runFitOrder6(double* surface1Results, double* surface2Results);
void runFitOrder7(double* surface1Results, double* surface2Results);
void runFitOrder8(double* surface1Results, double* surface2Results);

// The report writers of each order in the working directory: the run of the
// order, then "result_para_fit.txt".
void fitAndReportOrder3();
void fitAndReportOrder4();
void fitAndReportOrder5();
void fitAndReportOrder6();
void fitAndReportOrder7();
void fitAndReportOrder8();
