#pragma once

// One long piece of work at a time, on a worker thread, with the shared
// progress and cancel token. The window's progress bar and Cancel button
// follow it; the controls that would start another run follow running().
//
//     task.start("design", [](core::Progress& p) { ...; p.report(...); },
//                [](BackgroundTask::Outcome o, const QString& why) { ... GUI thread ... });
//
// The work runs on a fresh thread of the task's own pool (QtConcurrent), at
// a lower scheduling priority (nice 10 on Linux; the threads it starts
// inherit it), so that on a busy machine the GUI thread is served first. Its
// progress is read by a timer on the GUI thread, so a stage that reports
// often costs the event loop nothing. The completion callback runs on the GUI thread after
// the work has returned or thrown.

#include "core/progress.h"

#include <QFutureWatcher>
#include <QThreadPool>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>

class BackgroundTask : public QObject
{
    Q_OBJECT

public:
    enum class Outcome { Finished, Cancelled, Failed };
    using Work = std::function<void(core::Progress& progress)>;
    using Done = std::function<void(Outcome outcome, const QString& message)>;

    explicit BackgroundTask(QObject* parent = nullptr);
    ~BackgroundTask() override;

    // Starts `work` unless a run is going (then false, nothing started). The
    // work throws core::OperationCancelled when cancelled, std::exception
    // with a one-line what() when it fails.
    bool start(const QString& name, Work work, Done done);
    bool isRunning() const { return running_; }
    QString name() const { return name_; }
    // Asks the running work to stop at its next check.
    void cancel();
    // Waits for the running work (used when the window closes).
    void waitForFinished();

signals:
    void runningChanged(bool running);
    // On the GUI thread: the fraction 0..1 and the stage now running.
    void progressed(double fraction, const QString& stage);

private:
    void poll();
    void finished();

    QThreadPool pool_;
    QFutureWatcher<void> watcher_;
    QTimer poller_;
    std::shared_ptr<core::Progress> progress_;
    std::shared_ptr<Outcome> outcome_;
    std::shared_ptr<QString> message_;
    Done done_;
    QString name_;
    bool running_ = false;
    int shownStep_ = 0;       // the last fraction and stage handed on, in 1000ths
    std::string shownStage_;
};
