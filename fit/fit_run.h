#pragma once

#include "fit/design_origin.h"
#include "fit/fit_files.h"

#include <QStringList>

#include <functional>
#include <string>
#include <utility>
#include <vector>

// The points of one surface as the fit takes them: x, y and z of each point
// rounded to 8 decimals exactly as a point row ("%16.8f") hands them on.
struct SurfacePointSet {
    std::vector<double> x;
    std::vector<double> y;
    std::vector<double> z;
    int count() const { return static_cast<int>(z.size()); }
};

// The design points of a fitting run, split per surface in memory: rows with
// -28 < c1 < 28 and -18 < c2 < 18 give (c1, c2, c3) to surface 1, rows with
// 0 < c4 < 28 and -18 < c5 < 18 give (c4, c5, c6) to surface 2 (NaN fails
// every test), both in row order.
struct FitPoints {
    bool designFileFound = false;  // "outputall.txt" could be opened (true for points given in memory)
    QString error;                 // why "outputall.txt" was refused (empty when it was read)
    DesignOrigin origin;           // the design the points are (fit/design_origin.h); set by the caller for points in memory
    SurfacePointSet surface1;
    SurfacePointSet surface2;
};

// Splits complete rows of six numbers (a trailing part row is ignored).
FitPoints splitFitPoints(const double* numbers, std::size_t count);
// Reads "outputall.txt" in directory once, strictly, and splits it. A missing
// file prints the GBK message; a missing or malformed file gives no points
// and sets `error` (with the line and the reason). expectedLines > 0 also
// demands that many lines.
FitPoints loadFitPoints(const QString& directory = QStringLiteral("."), int expectedLines = 0);

// What one fitting run did, for a caller that wants to print it.
struct FitRunSummary {
    int order = 3;                        // the order run (3 to 8)
    int surface1Count = 0;                // m1: surface-1 points split off and fitted
    int surface2Count = 0;                // m2: surface-2 points split off and fitted
    std::vector<double> surface1Results;  // a(0) .. a(k1 - 1), then Res1
    std::vector<double> surface2Results;  // b(0) .. b(k2 - 1), then Res2
    std::vector<double> surface1Fitted;   // fitted height of each surface-1 point
    std::vector<double> surface2Fitted;   // fitted height of each surface-2 point
    bool designFileFound = false;         // "outputall.txt" could be opened
    bool fitFilesWritten = false;         // both fitted-point files were written
    bool reportWritten = false;           // "result_para_fit.txt" was written (when asked for)
    bool jsonWritten = false;             // "result_para_fit.json" was written (with the report)
    bool inputValid = false;              // "outputall.txt" read strictly, enough points on both surfaces
    QString error;                        // why no result file was replaced (empty after a good run)
    QStringList notReplaced;              // result files that kept their previous contents
    DesignOrigin origin;                  // the design fitted, recorded in "result_para_fit.json"
    double splitSeconds = 0.0;            // reading and splitting "outputall.txt"
    double fitSeconds = 0.0;              // both models and the residuals
    double writeSeconds = 0.0;            // fitted-point files and report
    double totalSeconds = 0.0;
};

// The fitting run of an order from 3 to 8 (any other order runs as 3): reads
// and splits "outputall.txt" strictly (io/design_points_reader.h), fits both
// surfaces with the models of the order, takes Res1 and Res2 as mean absolute
// height differences and writes "output_fit_fig1.txt" and
// "output_fit_fig2.txt" (mirrored half first). No report is written. A
// malformed design file, or a surface left with fewer points in its window
// than its model has terms, ends the run with `error` set before any result
// file is touched; the result files of a run are replaced together
// (io/atomic_file_set.h) or not at all.
FitRunSummary runFit(int order, const FitRunLocation& where = {});
// runFit followed by the report "result_para_fit.txt" of the order; the two
// fitted-point files and the report replace the old ones as one set.
FitRunSummary fitAndReportOrder(int order, const FitRunLocation& where = {});

// The fitting runs of several orders on points already split, on up to
// threadCount threads (0: every hardware thread): the orders and the two
// surfaces of each are fitted side by side. The files of an order go to
// outputDirectory(order), the report and "result_para_fit.json" too when
// writeReports is set; orders run side by side, so each needs a directory
// of its own. The summaries follow `orders`; their splitSeconds are 0.
// A null outputDirectory fits in memory and writes nothing (the summaries'
// *Written flags stay false); FitResultFiles then makes the files' bytes.
std::vector<FitRunSummary> fitOrders(const std::vector<int>& orders, const FitPoints& points,
                                     const std::function<QString(int order)>& outputDirectory,
                                     bool writeReports = true, int threadCount = 0);

// The result files of orders fitted in memory (fitOrders without a
// directory) on `points`, made one order at a time from the point rows'
// x and y text, which is formatted once for every order.
class FitResultFiles {
public:
    explicit FitResultFiles(const FitPoints& points, int threadCount = 0);
    // "output_fit_fig1.txt", "output_fit_fig2.txt", "result_para_fit.txt"
    // and "result_para_fit.json" of a summary without error, in the order a
    // set replaces them.
    std::vector<std::pair<QString, std::string>> filesOf(const FitRunSummary& summary) const;

private:
    PointRowPrefixes surface1_;
    PointRowPrefixes surface2_;
    PointRowPrefixes surface2Mirrored_;
    int threads_ = 1;
};

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
