// Times "harvenlotek-cli run --order all" end to end (design, then the six
// fits) in the working directory, and reports the tool's peak memory.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <sys/resource.h>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments{QStringLiteral("run"), QStringLiteral("--order"),
                                QStringLiteral("all")};
    QProcess cli;
    cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer timer;
    timer.start();
    cli.start(QStringLiteral(HARVENLOTEK_CLI), arguments);
    if (!cli.waitForFinished(-1) || cli.exitStatus() != QProcess::NormalExit || cli.exitCode() != 0) {
        std::fprintf(stderr, "bench_cli_run: harvenlotek-cli failed (exit code %d)\n", cli.exitCode());
        return 1;
    }
    const double seconds = static_cast<double>(timer.nsecsElapsed()) * 1e-9;
    const QByteArray summary = cli.readAllStandardOutput();
    std::fwrite(summary.constData(), 1, static_cast<size_t>(summary.size()), stdout);

    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    std::printf("harvenlotek-cli run --order all: %.3f s wall, peak memory %ld KiB\n", seconds,
                usage.ru_maxrss);
    return 0;
}
