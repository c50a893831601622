// Trials per second of harvenlotek-cli tolerance on the order-8 prism fit of
// the refraction design (default tolerances): one process on 2 threads, then
// the run split into 2 shards of 1 thread each under GNU parallel at -j 1
// and -j 2 (with the merge).
//   bench_tolerance [TRIALS]   (default 200)

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>

namespace {

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

    const double whole = timed(cli, QStringList{"tolerance", "--threads", "2", "--output-dir", "whole"} + common,
                               dir.path());
    std::printf("one process, 2 threads: %d trials in %.1f s, %.2f trials/s (1000 trials: %.0f s)\n", trials, whole,
                trials / whole, 1000.0 * whole / trials);
    const QString parallel = QStandardPaths::findExecutable("parallel");
    if (parallel.isEmpty()) {
        std::printf("GNU parallel not installed: shards not timed\n");
        return 0;
    }
    for (const char* jobs : {"1", "2"}) {
        const QString out = QStringLiteral("j%1").arg(jobs);
        const double seconds =
            timed(parallel, QStringList{"-j", jobs, cli, "tolerance", "--threads", "1"} + common
                                + QStringList{"--shard", "{}/2", "--output-dir", out + "/shard-{}", ":::", "0", "1"},
                  dir.path())
            + timed(cli, {"merge", "--output-dir", out, out + "/shard-0", out + "/shard-1"}, dir.path());
        std::printf("GNU parallel -j %s, 2 shards of 1 thread: %.1f s, %.2f trials/s\n", jobs, seconds,
                    trials / seconds);
    }
    return 0;
}
