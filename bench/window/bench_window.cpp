// The event loop while "Design prism" runs: a 10 ms timer on the GUI thread
// ticks through the whole run (the design, prism fit, optimiser,
// verification, calibration and exports on the worker), and the longest gap
// between two ticks is how long the window could not answer. Goal: under
// 50 ms. Runs the whole window (panel and both 3D views) in a scratch
// directory; needs an X server (bench.sh provides a virtual one).
//
//     bench_window [RUNS]     (default 1)

#include "app/application_window.h"
#include "mainwindow/background_task.h"
#include "mainwindow/shared_state.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <map>
#include <vector>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 1;
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
        std::vector<std::pair<double, double>> longAt;  // start of each gap over 50 ms (s), its length (ms)
        const auto stageConnection = QObject::connect(task, &BackgroundTask::progressed,
                                                      [&](double, const QString& name) { stage = name; });
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            gaps.push_back(now - last);
            if (now - last > 50000000) {
                longAt.push_back({double(last) * 1e-9, double(now - last) * 1e-6});
                auto& entry = longGaps[stage];
                ++entry.first;
                entry.second = std::max(entry.second, now - last);
            }
            last = now;
        });
        bool ended = false;
        const auto connection = QObject::connect(task, &BackgroundTask::runningChanged, [&](bool running) {
            if (!running) {
                ended = true;
                application.quit();
            }
        });
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
        const double seconds = double(clock.nsecsElapsed()) * 1e-9;
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
        for (const auto& [at, ms] : longAt)
            std::printf("  %.1f ms gap from %.2f s\n", ms, at);
        std::fflush(stdout);
    }
    return 0;
}
