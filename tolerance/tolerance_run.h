#pragma once

// A Monte Carlo tolerance run: trials [first, end) of a run of `count`
// trials, each made camera drawn from the run's seed and its own index, run
// side by side on the worker threads; the per-trial table, the summary
// (percentiles and yield) and the sensitivity table; and the merge of the
// shards of one run.
//
// Files of a run (or of one shard of it) in its output folder:
//   "tolerance_trials.csv"    one row per trial, in trial order
//   "tolerance_summary.json"  the run's identity, the nominal figures, counts,
//                             yield, percentiles, the sensitivity table
// A shard's rows are trials [i N / K, (i + 1) N / K); merging the shards'
// rows in shard order gives the unsharded run's file byte for byte.

#include "core/progress.h"
#include "tolerance/shards.h"
#include "tolerance/tolerance_trial.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace tolerance {

inline constexpr char trialsFileName[] = "tolerance_trials.csv";
inline constexpr char summaryFileName[] = "tolerance_summary.json";

// Everything that makes trials of one run the same trials.
struct RunIdentity {
    QByteArray prismDigest;  // SHA-256 of the prism file's bytes, hex
    ToleranceFile file;
    TrialSampling sampling;
    std::uint64_t seed = 0;
    std::int64_t trials = 0;
};

struct TrialRow {
    std::int64_t index = 0;
    Perturbation perturbation;
    TrialFigures figures;
};

// Trials [first, end) on `threads` workers (0: every processor). Reports to
// `progress` after each trial ("tolerance trials") and throws
// core::OperationCancelled when it is cancelled.
std::vector<TrialRow> runTrials(const ToleranceModel& model, const RunIdentity& identity, std::int64_t first,
                                std::int64_t end, int threads, core::Progress* progress);

// Each tolerance alone at its limit: the figure it moves most against that
// figure's criterion, worst first.
struct SensitivityRow {
    ToleranceKind kind = ToleranceKind::DecentreX;
    double limit = 0.0;
    TrialFigures figures;
    int figure = -1;            // the figure moved most (-1: the trial failed)
    double change = 0.0;        // that figure's change from the nominal
    double ofCriterion = 0.0;   // |change| / criterion; infinite for a failed trial
};
std::vector<SensitivityRow> sensitivity(const ToleranceModel& model, const ToleranceFile& file, int threads);

// The table's text: a header line, then one line per row.
QByteArray trialsCsvHeader();
QByteArray trialCsvLine(const TrialRow& row);

struct Percentiles {
    double p50 = 0.0, p90 = 0.0, p99 = 0.0;
    int count = 0;
};
struct RunSummary {
    std::int64_t trials = 0, ok = 0, traceFailed = 0, calibrationFailed = 0, passed = 0;
    double yield = 0.0;  // passed / trials (failed trials do not pass)
    std::vector<Percentiles> percentiles;  // per figure, of |value| over the trials that calibrated
};
RunSummary summarise(const std::vector<TrialFigures>& figures);
// Nearest-rank percentile of sorted values.
double percentile(const std::vector<double>& sorted, double p);

// The summary file's text. `shard` null for a whole (or merged) run;
// `sensitivityRows` null where it was not computed (shards other than 0).
QByteArray summaryJson(const RunIdentity& identity, const Shard* shard, const TrialFigures& nominal,
                       const RunSummary& summary, const std::vector<SensitivityRow>* sensitivityRows);

// The shards of one run put together: the run's table and summary, and
// what its plots are drawn from.
struct MergedRun {
    QByteArray trialsCsv;
    QByteArray summaryJson;
    RunIdentity identity;
    std::vector<TrialFigures> figures;
    std::vector<SensitivityRow> sensitivity;
};
// Reads shard folders: checks that they are shards of one run, each shard
// once and none missing. False with a one-line message otherwise.
bool mergeShards(const QStringList& shardDirectories, MergedRun* merged, QString* error);

// The per-figure values of trials that calibrated (for plots).
std::vector<double> figureValues(const std::vector<TrialFigures>& figures, int figure);

}  // namespace tolerance
