#pragma once

// One design run: the row passes, "output.txt", the column passes and
// "outputall.txt". Headless: the caller tells the user that the work is done.

#include "design/design_record.h"
#include "design/refraction_design.h"

#include <QString>
#include <QStringList>

#include <vector>

#include <functional>

struct PanelParameters;

struct DesignRunOptions {
    QString outputDirectory = QStringLiteral(".");  // where "output.txt" and "outputall.txt" go
    int threadCount = 0;                             // column and file workers; 0: every hardware thread
    DesignModel model = DesignModel::Classic;        // which equations the surfaces are solved from
    const PanelParameters* panel = nullptr;          // the panel's values, for "design.json"
    // Results kept in memory besides the files (all off by default, so that
    // the run holds only what it writes):
    bool keepProfile = false;      // DesignRunResult::profile
    bool keepGridPoints = false;   // DesignRunResult::gridPoints
    bool keepFileValues = false;   // DesignRunResult::gridFileValues
    bool keepNodeHeights = false;  // DesignRunResult::exitHeights and entranceHeights
    // Called after the columns, before either file is written; it may change
    // the row heights and the grid (whole-surface refinement).
    std::function<void(DesignRecord&)> beforeFiles = nullptr;
    // Polled before each group of columns: a cancel leaves by
    // core::OperationCancelled before any file is replaced (none is staged
    // for good). The columns' fraction is reported as stage "design".
    core::Progress* progress = nullptr;
};

struct DesignRunResult {
    bool profileWritten = false;    // "output.txt" opened and written in full
    bool gridWritten = false;       // "outputall.txt" opened and written in full
    bool designJsonWritten = false; // "design.json" written
    QString pointsDigest;           // digest of "outputall.txt" (io/points_digest.h), also in "design.json"
    int nonFiniteGridLines = 0;     // lines of "outputall.txt" holding an infinity or not-a-number
    int threadCount = 0;            // workers used
    double integrationSeconds = 0.0;  // row and column passes
    double writingSeconds = 0.0;      // both files
    QString error;                    // why the files were not replaced (empty when they were)
    QStringList notReplaced;          // files that kept their previous contents
    // Kept when the options ask for them:
    std::vector<double> profile;         // "output.txt" at full precision: x, z (exit), x, z (entrance) per line
    std::vector<double> gridPoints;      // "outputall.txt" at full precision: six values per line
    std::vector<double> gridFileValues;  // "outputall.txt" as a reader gets it back (six per line)
    std::vector<double> exitHeights;     // exit-surface height at every grid node, element b * 2h + r
    std::vector<double> entranceHeights; // entrance-surface height at every grid node
};

// The whole computation on a created and filled record (componentCount 2):
// constants, the row passes of the chosen model, writeProfileFile, every
// column, then writeGridFile. Both files are staged as one set and replace
// the old ones together at the end (io/atomic_file_set.h): when either cannot
// be written (a refused target, a full disk) neither is replaced, the result
// says which files kept their old contents, and the computation still runs to
// its end. The files do not depend on the thread count.
DesignRunResult traceDesign(DesignRecord& record, const DesignRunOptions& options = {});

// The row and column passes of `model` on a created and filled record, in
// memory: nothing is written. The record then holds what traceDesign writes
// (profileFileText, gridFileText and designJsonFromRecord make the bytes).
// With a progress range, the columns poll its cancel flag and report into it.
void computeDesignSurfaces(DesignRecord& record, DesignModel model, int threadCount = 0,
                           const core::ProgressRange* progress = nullptr);

// Creates a record with the counts 2, 480 and 540 that keeps only the grid
// points "outputall.txt" holds, fills it, traces it and releases it (also
// when something throws). The files are those of a whole-grid record.
DesignRunResult runDesign(const DesignParameters& parameters, const DesignRunOptions& options = {});
