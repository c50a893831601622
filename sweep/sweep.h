#pragma once

// A design sweep: the one-shot prism run (design, order-N prism fit with the
// optimiser, verification, calibration; in memory, no exports) at every
// point of a grid of panel values, and the stereo figures of each point.
//
// The grid: one axis per swept quantity ("angle=15:25:11": 11 values from 15
// to 25, both included; "index=1.5": one value), the other quantities at the
// panel's start values. Points are numbered like nested loops over the axes
// in the order given, the last axis running fastest; each point's figures
// depend on its values alone, so shards ("i/K", points [i N / K, (i + 1) N / K))
// merge into the unsharded run's files byte for byte.
//
// Files of a sweep (or of one shard of it) in its output folder:
//   "sweep_points.csv"    one row per point, in point order
//   "sweep_summary.json"  the sweep's identity, counts, the best point of
//                         each figure and the failed points with their reasons

#include "core/progress.h"
#include "parameters/panel_parameters.h"
#include "tolerance/shards.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <vector>

namespace pipeline {
struct PipelineSettings;
}

namespace tolerance {

inline constexpr char sweepPointsFileName[] = "sweep_points.csv";
inline constexpr char sweepSummaryFileName[] = "sweep_summary.json";

// What a sweep can vary: the panel's values and the prism fit's order.
enum class SweepQuantity { Angle, Index, Distance, FocalLength, Size, Order };
inline constexpr int sweepQuantityCount = 6;

// "angle", "index", "distance", "focal-length", "size", "order" (the panel's
// values the command line sets; the design always works on 1920 x 1080
// pixels).
const char* sweepQuantityName(SweepQuantity quantity);
// The accepted values: the panel's range (the prism fit's orders 3 to 10),
// and whether only whole numbers are.
struct SweepRange {
    double low = 0.0;
    double high = 0.0;
    bool whole = false;
};
SweepRange sweepRange(SweepQuantity quantity);

inline constexpr int maximumSweepCount = 10000;    // values on one axis
inline constexpr std::int64_t maximumSweepPoints = 1000000;

struct SweepAxis {
    SweepQuantity quantity = SweepQuantity::Angle;
    double low = 0.0;
    double high = 0.0;
    int count = 1;
    // Value i of count, low and high exact.
    double value(int i) const;
};

// "NAME=LOW:HIGH:COUNT" or "NAME=VALUE"; false with a one-line message for
// an unknown name, a malformed text, a count below 1 (or a count of 1 with
// LOW and HIGH apart), LOW above HIGH, a value outside the range, or values
// that are not whole where the quantity takes whole numbers.
bool parseSweepAxis(const QString& text, SweepAxis* axis, QString* error);

// How finely each point is computed.
struct SweepSettings {
    int order = 8;            // prism fit order where the grid does not set it
    int verifyStep = 8;       // verification: every S-th pixel
    int targetPointsAcrossHalf = 0;  // calibration target; 0: the calibration's default
};

// Everything that makes points of one sweep the same points.
struct SweepIdentity {
    std::vector<SweepAxis> axes;
    SweepSettings settings;
    std::int64_t points() const;
    // The axes' value indices of point `index`.
    std::vector<int> indices(std::int64_t index) const;
};

// Checks the axes together: at least one, no quantity twice, at most
// maximumSweepPoints points. Null when sound, else the one-line reason.
QString checkSweepAxes(const std::vector<SweepAxis>& axes);

// The one-shot settings of a point (exports off).
pipeline::PipelineSettings sweepPointSettings(const SweepIdentity& identity, std::int64_t index, int threads);

enum class PointStatus { Ok, DesignFailed, FitFailed, VerifyFailed, CalibrationFailed };
const char* pointStatusName(PointStatus status);  // "ok", "design-failed", ...
bool parsePointStatus(const QString& name, PointStatus* status);
inline constexpr int pointStatusCount = 5;

// The stereo figures of one point (NaN where its run failed).
inline constexpr int sweepFigureCount = 8;
const char* sweepFigureName(int figure);  // "directionRmsPx", ...
struct PointFigures {
    PointStatus status = PointStatus::Ok;
    std::array<double, sweepFigureCount> value{};
};

struct SweepRow {
    std::int64_t index = 0;
    std::vector<double> values;  // one per axis
    PointFigures figures;
    QString failure;  // the stage's one-line reason when it failed
};

// One point, on `threads` threads; throws core::OperationCancelled.
SweepRow runSweepPoint(const SweepIdentity& identity, std::int64_t index, int threads,
                       const core::ProgressRange& progress);
// Points [first, end): side by side on `threads` workers, one thread each
// (0: every processor). Reports after each point ("sweep points").
std::vector<SweepRow> runSweepPoints(const SweepIdentity& identity, std::int64_t first, std::int64_t end,
                                     int threads, core::Progress* progress);

QByteArray sweepCsvHeader(const SweepIdentity& identity);
QByteArray sweepCsvLine(const SweepRow& row);

// The summary file's text; `shard` null for a whole (or merged) sweep.
QByteArray sweepSummaryJson(const SweepIdentity& identity, const Shard* shard, const std::vector<SweepRow>& rows);

// The best point of a figure: the smallest (the baseline: the largest)
// value over the points that ran; -1 when none did.
int bestSweepPoint(const std::vector<SweepRow>& rows, int figure);
bool sweepFigureLargerIsBetter(int figure);

// A folder holds a sweep's (or shard's) summary.
bool isSweepFolder(const QString& directory);

struct MergedSweep {
    QByteArray pointsCsv;
    QByteArray summaryJson;
    SweepIdentity identity;
    std::vector<SweepRow> rows;
};
// Reads shard folders of one sweep: each shard once and none missing.
bool mergeSweepShards(const QStringList& shardDirectories, MergedSweep* merged, QString* error);

}  // namespace tolerance
