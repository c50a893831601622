// Trials per second of harvenlotek-cli tolerance on the order-8 prism fit of
// the refraction design (default tolerances): one process on 2 threads, then
// the run split into 2 shards of 1 thread each under GNU parallel at -j 1
// and -j 2 (with the merge). Each line gives the wall time, the rate, the
// largest resident memory of a process so far and the load average (1 min)
// before and after: on a shared machine the rate means little without it.
//   bench_tolerance [TRIALS]   (default 200)

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>


namespace {

double loadAverage()
{
    double load[3] = {0, 0, 0};
    return getloadavg(load, 3) > 0 ? load[0] : -1.0;
}

// The largest resident set, MB, of the processes that GNU time
// ("/usr/bin/time -o FILE -f %M") recorded in the files.
double peakMegabytes(const QStringList& files)
{
    double peak = 0.0;
    for (const QString& name : files) {
        QFile f(name);
        if (f.open(QIODevice::ReadOnly))
            peak = std::max(peak, f.readAll().trimmed().toDouble() / 1024.0);
    }
    return peak;
}

double timed(const QString& program, const QStringList& args, const QString& dir)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer t;
    t.start();
    p.start(program, args);
    if (!p.waitForFinished(-1) || p.exitCode() != 0) {
        std::fprintf(stderr, "bench_tolerance: %s failed\n", qPrintable(program + ' ' + args.join(' ')));
        std::exit(1);
    }
    return double(t.nsecsElapsed()) * 1e-9;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int trials = argc > 1 ? std::atoi(argv[1]) : 200;
    const QString cli = QStringLiteral(HARVENLOTEK_CLI);
    QTemporaryDir dir;
    const QString prism = dir.filePath("prism");
    QDir().mkpath(prism);
    timed(cli, {"run", "--fit-model", "prism", "--order", "8", "--design-model", "refraction", "--output-dir", prism},
          dir.path());
    const QStringList common{"--prism", prism, "--trials", QString::number(trials), "--seed", "1"};

    // Peak memory through GNU time where it is installed.
    const QString time = QStandardPaths::findExecutable("time", {"/usr/bin"});
    const auto measured = [&time](const QString& file) {
        return time.isEmpty() ? QStringList() : QStringList{time, "-o", file, "-f", "%M"};
    };
    QStringList command = measured(dir.filePath("whole.mem")) + QStringList{cli};
    double before = loadAverage();
    const double whole = timed(command.first(),
                               command.mid(1) + QStringList{"tolerance", "--threads", "2", "--output-dir", "whole"} + common,
                               dir.path());
    std::printf("one process, 2 threads: %d trials in %.1f s, %.2f trials/s (1000 trials: %.0f s); "
                "peak %.0f MB; load %.1f -> %.1f\n",
                trials, whole, trials / whole, 1000.0 * whole / trials, peakMegabytes({dir.filePath("whole.mem")}), before,
                loadAverage());
    std::fflush(stdout);
    const QString parallel = QStandardPaths::findExecutable("parallel");
    if (parallel.isEmpty()) {
        std::printf("GNU parallel not installed: shards not timed\n");
        return 0;
    }
    for (const char* jobs : {"1", "2"}) {
        const QString out = QStringLiteral("j%1").arg(jobs);
        before = loadAverage();
        const double seconds =
            timed(parallel, QStringList{"-j", jobs} + measured(dir.filePath(out + "-{}.mem")) + QStringList{cli, "tolerance", "--threads", "1"} + common
                                + QStringList{"--shard", "{}/2", "--output-dir", out + "/shard-{}", ":::", "0", "1"},
                  dir.path())
            + timed(cli, {"merge", "--output-dir", out, out + "/shard-0", out + "/shard-1"}, dir.path());
        std::printf("GNU parallel -j %s, 2 shards of 1 thread: %.1f s, %.2f trials/s; peak %.0f MB; load %.1f -> %.1f\n",
                    jobs, seconds, trials / seconds,
                    peakMegabytes({dir.filePath(out + "-0.mem"), dir.filePath(out + "-1.mem")}), before, loadAverage());
        std::fflush(stdout);
    }
    return 0;
}
