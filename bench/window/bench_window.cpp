// The event loop while "Design prism" runs: a 10 ms timer on the GUI thread
// ticks through the whole run (the design, prism fit, optimiser,
// verification, calibration and exports on the worker), and the longest gap
// between two ticks is how long the window could not answer. Goal: under
// 50 ms. Runs the whole window (panel and both 3D views) in a scratch
// directory; needs an X server (bench.sh provides a virtual one).
//
//     bench_window [RUNS] [achromat] [SHOT.png]
//
// (default 1 run of one glass; achromat: the cemented N-BK7 / F2 prism;
// SHOT.png: a screenshot of the whole screen after the last run)

#include "app/application_window.h"
#include "mainwindow/background_task.h"
#include "mainwindow/shared_state.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QPixmap>
#include <QElapsedTimer>
#include <QEvent>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <array>
#include <clocale>
#include <ctime>
#include <cstdio>
#include <map>
#include <vector>

namespace {

double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

// Times every event the GUI thread delivers (the outermost only): the long
// ones say what kept the event loop busy.
class TimedApplication : public QApplication
{
public:
    using QApplication::QApplication;
    struct Slow {
        double atS;
        double ms;
        QString what;
    };
    std::vector<Slow> slow;
    QElapsedTimer* clock = nullptr;

    bool notify(QObject* receiver, QEvent* event) override
    {
        if (depth_++ > 0 || !clock) {
            const bool handled = QApplication::notify(receiver, event);
            --depth_;
            return handled;
        }
        QElapsedTimer timer;
        timer.start();
        const int type = event->type();
        const bool handled = QApplication::notify(receiver, event);
        const double ms = double(timer.nsecsElapsed()) * 1e-6;
        if (ms > 15.0)
            slow.push_back({double(clock->nsecsElapsed()) * 1e-9 - ms * 1e-3, ms,
                            QStringLiteral("%1 \"%2\" event %3")
                                .arg(QLatin1String(receiver->metaObject()->className()), receiver->objectName())
                                .arg(type)});
        --depth_;
        return handled;
    }

private:
    int depth_ = 0;
};

} // namespace

int main(int argc, char* argv[])
{
    TimedApplication application(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 1;
    bool achromat = false;
    QString shot;  // a screenshot of the whole screen after the last run
    for (int i = 2; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == QLatin1String("achromat"))
            achromat = true;
        else if (arg.endsWith(QLatin1String(".png")))
            shot = QFileInfo(arg).absoluteFilePath();
    }
    screenWidth = QGuiApplication::primaryScreen()->availableGeometry().width();
    screenHeight = QGuiApplication::primaryScreen()->availableGeometry().height();
    QTemporaryDir scratch;
    if (!scratch.isValid() || !QDir::setCurrent(scratch.path())) {
        std::fprintf(stderr, "bench_window: no scratch directory\n");
        return 1;
    }
    ApplicationWindow windows;
    windows.show();
    MainWindow& panel = windows.mainWindow();
    auto* button = panel.findChild<QPushButton*>(QStringLiteral("pushButton_designPrism"));
    if (achromat)
        panel.findChild<QCheckBox*>(QStringLiteral("checkBox_achromat"))->setChecked(true);
    BackgroundTask* task = panel.task();

    for (int run = 0; run < runs; ++run) {
        // Let the window settle (first paints, GL set-up) before measuring.
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 500)
            application.processEvents(QEventLoop::AllEvents, 50);

        // The same ticks with nothing running: what the machine's load alone gives.
        {
            std::vector<qint64> idle;
            QElapsedTimer idleClock;
            qint64 idleLast = 0;
            QTimer idleTicker;
            idleTicker.setTimerType(Qt::PreciseTimer);
            QObject::connect(&idleTicker, &QTimer::timeout, [&] {
                const qint64 now = idleClock.nsecsElapsed();
                idle.push_back(now - idleLast);
                idleLast = now;
            });
            idleClock.start();
            idleTicker.start(10);
            while (idleClock.elapsed() < 5000)
                application.processEvents(QEventLoop::WaitForMoreEvents, 50);
            idleTicker.stop();
            std::sort(idle.begin(), idle.end());
            if (!idle.empty())
                std::printf("idle 5 s: %zu ticks, gap median %.1f ms, 99th percentile %.1f ms, longest %.1f ms\n",
                            idle.size(), double(idle[idle.size() / 2]) * 1e-6,
                            double(idle[idle.size() * 99 / 100]) * 1e-6, double(idle.back()) * 1e-6);
        }

        std::vector<qint64> gaps;
        QElapsedTimer clock;
        qint64 last = 0;
        // Where the long gaps fall: the stage running at each.
        QString stage;
        std::map<QString, std::pair<int, qint64>> longGaps;  // stage: count over 50 ms, longest
        // start of each gap over 50 ms (s), its length (ms), the GUI thread's CPU time in it (ms)
        std::vector<std::array<double, 3>> longAt;
        double lastCpu = threadCpuMs();
        const auto stageConnection = QObject::connect(task, &BackgroundTask::progressed,
                                                      [&](double, const QString& name) { stage = name; });
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            const double cpu = threadCpuMs();
            gaps.push_back(now - last);
            if (now - last > 50000000) {
                longAt.push_back({double(last) * 1e-9, double(now - last) * 1e-6, cpu - lastCpu});
                auto& entry = longGaps[stage];
                ++entry.first;
                entry.second = std::max(entry.second, now - last);
            }
            last = now;
            lastCpu = cpu;
        });
        bool ended = false;
        double runSeconds = 0.0;
        // Measured on for a while after the run: the result's hand-back to
        // the window (figures, analysis pages, views) counts too.
        const auto connection = QObject::connect(task, &BackgroundTask::runningChanged, [&](bool running) {
            if (!running) {
                ended = true;
                runSeconds = double(clock.nsecsElapsed()) * 1e-9;
                QTimer::singleShot(500, &application, &QApplication::quit);
            }
        });
        application.slow.clear();
        application.clock = &clock;
        clock.start();
        ticker.start(10);
        button->click();
        if (!task->isRunning()) {
            std::fprintf(stderr, "bench_window: Design prism did not start\n");
            return 1;
        }
        application.exec();
        ticker.stop();
        QObject::disconnect(connection);
        QObject::disconnect(stageConnection);
        if (!ended)
            return 1;
        application.clock = nullptr;
        const double seconds = runSeconds;
        std::sort(gaps.begin(), gaps.end());
        const double longest = gaps.empty() ? 0.0 : double(gaps.back()) * 1e-6;
        const double median = gaps.empty() ? 0.0 : double(gaps[gaps.size() / 2]) * 1e-6;
        const double p99 = gaps.empty() ? 0.0 : double(gaps[gaps.size() * 99 / 100]) * 1e-6;
        std::printf("Design prism %d: %.2f s on the worker; %zu ticks of 10 ms on the GUI thread, gap median %.1f ms, "
                    "99th percentile %.1f ms, longest %.1f ms (goal under 50 ms)\n",
                    run + 1, seconds, gaps.size(), median, p99, longest);
        for (const auto& [name, entry] : longGaps)
            std::printf("  gaps over 50 ms while \"%s\" ran: %d, longest %.1f ms\n", qPrintable(name), entry.first,
                        double(entry.second) * 1e-6);
        for (const auto& [at, ms, cpu] : longAt)
            std::printf("  %.1f ms gap from %.2f s (GUI thread busy %.1f ms of it)\n", ms, at, cpu);
        for (const auto& e : application.slow)
            std::printf("  event over 15 ms at %.2f s: %.1f ms, %s\n", e.atS, e.ms, qPrintable(e.what));
        std::fflush(stdout);
    }
    if (!shot.isEmpty() && !QGuiApplication::primaryScreen()->grabWindow(0).save(shot)) {
        std::fprintf(stderr, "bench_window: %s not saved\n", qPrintable(shot));
        return 1;
    }
    return 0;
}
