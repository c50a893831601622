#include "mainwindow/background_task.h"

#include <QtConcurrent/QtConcurrentRun>

#include <exception>

#ifdef __linux__
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

// Lowers the calling thread's priority (and that of the threads it starts).
void lowerThreadPriority()
{
#ifdef __linux__
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
#endif
}

} // namespace

BackgroundTask::BackgroundTask(QObject* parent) : QObject(parent)
{
    // One thread, ended after each run: its lowered priority goes with it.
    pool_.setMaxThreadCount(1);
    pool_.setExpiryTimeout(0);
    // Four times a second: each change of the bar repaints at once, and in a
    // window with OpenGL views every repaint composes the whole window.
    poller_.setInterval(250);
    connect(&poller_, &QTimer::timeout, this, &BackgroundTask::poll);
    connect(&watcher_, &QFutureWatcher<void>::finished, this, &BackgroundTask::finished);
}

BackgroundTask::~BackgroundTask()
{
    cancel();
    waitForFinished();
}

bool BackgroundTask::start(const QString& name, Work work, Done done)
{
    if (running_)
        return false;
    running_ = true;
    name_ = name;
    done_ = std::move(done);
    progress_ = std::make_shared<core::Progress>();
    outcome_ = std::make_shared<Outcome>(Outcome::Finished);
    message_ = std::make_shared<QString>();
    shownStep_ = 0;
    shownStage_.clear();
    emit runningChanged(true);
    emit progressed(0.0, name);
    auto progress = progress_;
    auto outcome = outcome_;
    auto message = message_;
    watcher_.setFuture(QtConcurrent::run(&pool_, [work = std::move(work), progress, outcome, message] {
        lowerThreadPriority();
        try {
            work(*progress);
        } catch (const core::OperationCancelled&) {
            *outcome = Outcome::Cancelled;
        } catch (const std::exception& e) {
            *outcome = Outcome::Failed;
            *message = QString::fromLocal8Bit(e.what());
        } catch (...) {
            *outcome = Outcome::Failed;
            *message = QStringLiteral("unexpected failure");
        }
    }));
    poller_.start();
    return true;
}

void BackgroundTask::cancel()
{
    if (running_ && progress_)
        progress_->cancel();
}

void BackgroundTask::waitForFinished()
{
    watcher_.waitForFinished();
}

void BackgroundTask::poll()
{
    if (!progress_)
        return;
    // Only what a user could see change: a step of the bar's 1000, or the stage.
    const std::string stage = progress_->stage();
    const double fraction = progress_->fraction();
    const int step = int(fraction * 1000.0);
    if (step == shownStep_ && stage == shownStage_)
        return;
    shownStep_ = step;
    shownStage_ = stage;
    emit progressed(fraction, stage.empty() ? name_ : QString::fromStdString(stage));
}

void BackgroundTask::finished()
{
    poller_.stop();
    // A run that ended before it saw the request to stop has finished all
    // the same: its results are whole.
    const Outcome outcome = *outcome_;
    const QString message = *message_;
    if (outcome == Outcome::Finished)
        emit progressed(1.0, name_);
    running_ = false;
    Done done = std::move(done_);
    done_ = nullptr;
    emit runningChanged(false);
    if (done)
        done(outcome, message);
}
