#pragma once

// The progress and cancel token every long stage takes. The stage reports
// the fraction of its work done and its name; whoever started it (the
// command-line tool's progress line, the window's progress bar) reads them,
// and may ask it to stop. A stage polls cancelled() at its natural steps
// (a column, an iteration, a trial) and, when asked, leaves by throwing
// OperationCancelled before it writes anything.
//
// Thread-safe: the stage reports from its worker threads, the reader polls
// or is called back from them. The fraction only rises: a report below the
// last one is raised to it, one above 1 is clamped. A sub-range lets a
// pipeline give each stage its share of the whole (see ProgressRange).

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>

namespace core {

struct OperationCancelled : std::runtime_error {
    OperationCancelled() : std::runtime_error("cancelled") {}
};

class Progress {
public:
    // Called on the reporting thread with the whole run's fraction and the
    // stage's name; it must be cheap and must not touch widgets.
    using Listener = std::function<void(double fraction, const std::string& stage)>;

    Progress() = default;
    explicit Progress(Listener listener) : listener_(std::move(listener)) {}
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void setListener(Listener listener)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        listener_ = std::move(listener);
    }

    // The fraction of the whole run, 0..1, and the stage now running.
    void report(double fraction, const std::string& stage)
    {
        Listener listener;
        double value = 0.0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!(fraction >= 0.0)) fraction = 0.0;  // NaN as well
            if (fraction > 1.0) fraction = 1.0;
            if (fraction < fraction_) fraction = fraction_;
            fraction_ = fraction;
            stage_ = stage;
            value = fraction_;
            listener = listener_;
        }
        if (listener) listener(value, stage);
    }

    double fraction() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return fraction_;
    }
    std::string stage() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return stage_;
    }

    void cancel() { cancelled_.store(true); }
    bool cancelled() const { return cancelled_.load(); }
    // Throws OperationCancelled when cancel() was called.
    void throwIfCancelled() const
    {
        if (cancelled()) throw OperationCancelled();
    }

private:
    mutable std::mutex mutex_;
    Listener listener_;
    double fraction_ = 0.0;
    std::string stage_;
    std::atomic<bool> cancelled_{false};
};

// One stage's share [begin, end] of a Progress: the stage reports 0..1 of
// its own work. A null token is allowed: nothing is reported, and nothing
// is ever cancelled.
class ProgressRange {
public:
    ProgressRange(Progress* progress, double begin, double end, std::string stage)
        : progress_(progress), begin_(begin), end_(end), stage_(std::move(stage)) {}

    void report(double fraction) const
    {
        if (!progress_) return;
        if (!(fraction >= 0.0)) fraction = 0.0;
        if (fraction > 1.0) fraction = 1.0;
        progress_->report(begin_ + (end_ - begin_) * fraction, stage_);
    }
    bool cancelled() const { return progress_ && progress_->cancelled(); }
    void throwIfCancelled() const
    {
        if (progress_) progress_->throwIfCancelled();
    }
    // A part [a, b] of this range (fractions of it), for a sub-stage.
    ProgressRange part(double a, double b, std::string stage = {}) const
    {
        return ProgressRange(progress_, begin_ + (end_ - begin_) * a, begin_ + (end_ - begin_) * b,
                             stage.empty() ? stage_ : std::move(stage));
    }
    Progress* token() const { return progress_; }

private:
    Progress* progress_;
    double begin_;
    double end_;
    std::string stage_;
};

// The items of a loop that runs on several threads, counted into `range`:
// each item first polls the cancel flag (one atomic load), and every
// `every`-th finished item, and the last, reports the fraction done. A null
// range counts nothing and is never cancelled.
class ProgressCounter {
public:
    ProgressCounter(const ProgressRange* range, int total, int every)
        : range_(range), total_(total > 0 ? total : 1), every_(every > 0 ? every : 1) {}
    void throwIfCancelled() const
    {
        if (range_) range_->throwIfCancelled();
    }
    void itemDone()
    {
        const int done = ++done_;
        if (range_ && (done % every_ == 0 || done == total_)) range_->report(double(done) / double(total_));
    }

private:
    const ProgressRange* range_;
    int total_;
    int every_;
    std::atomic<int> done_{0};
};

}  // namespace core
