// The fitting run of every order on a design output of the default size:
// 207,360 rows of six numbers, 108 of them NaN (the central sensor column).
// Without "outputall.txt" in the working directory a synthetic one is made.
// Each order runs in a child process of its own, so that its peak memory is
// its own.
#include "fit/fit_files.h"
#include "fit/fit_run.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTextStream>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sys/resource.h>

namespace {

// Like the design: 1920 sensor columns of 108 points, written as the design
// writes them (the text stream's default number format, single blanks).
void writeSyntheticDesign(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return;
    QTextStream out(&file);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int b = 0; b < 1920; ++b) {
        for (int r = 0; r < 1080; r += 10) {
            const double pixelY = r < 540 ? -0.0055 * r : 0.0055 * (r - 540);
            if (b == 960) {
                out << nan << ' ' << nan << ' ' << nan << ' ' << nan << ' ' << nan << ' ' << nan << '\n';
                continue;
            }
            const double u = (b - 960) / 960.0;  // -1 .. 1 across the sensor
            const double x1 = 21.0 * u + 0.3 * u * pixelY * pixelY;
            const double y1 = 1.02 * pixelY * (1.0 + 0.01 * u * u);
            const double z1 = 32.0 - 0.021 * x1 * x1 - 0.013 * y1 * y1 + 2.0e-6 * std::pow(x1, 4) +
                              1.0e-5 * x1 * x1 * y1 * y1;
            const double x2 = 21.0 * std::fabs(u) + 0.05 * pixelY * pixelY;
            const double y2 = 0.98 * pixelY;
            const double z2 = 4.0 + 0.35 * x2 + 0.012 * x2 * x2 - 0.02 * y2 * y2 - 3.0e-4 * std::pow(x2, 3) +
                              2.0e-4 * x2 * y2 * y2;
            out << x1 << ' ' << y1 << ' ' << z1 << ' ' << x2 << ' ' << y2 << ' ' << z2 << '\n';
        }
    }
}

double peakMegabytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

int runOneOrder(int order)
{
    const auto start = std::chrono::steady_clock::now();
    const FitRunSummary s = fitAndReportOrder(order);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("order %d: %.3f s (reading and split %.3f, fit %.3f, files and report %.3f), "
                "peak memory %.1f MB; m1 %d, m2 %d, Res1 %.6f, Res2 %.6f%s\n",
                s.order, wall, s.splitSeconds, s.fitSeconds, s.writeSeconds, peakMegabytes(), s.surface1Count,
                s.surface2Count, s.surface1Results.back(), s.surface2Results.back(),
                s.designFileFound ? "" : " (no outputall.txt)");
    return s.designFileFound && s.reportWritten ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3 && args[1] == QLatin1String("--order"))
        return runOneOrder(args[2].toInt());

    bool made = false;
    if (!QFile::exists(QString::fromLatin1(designPointsFileName))) {
        writeSyntheticDesign(QString::fromLatin1(designPointsFileName));
        made = true;
    }
    std::printf("bench_fit_run: fit run of orders 3 to 8 on %s \"outputall.txt\" (%.1f MB)\n",
                made ? "a synthetic" : "the existing", QFile(QString::fromLatin1(designPointsFileName)).size() / 1e6);
    std::fflush(stdout);
    int failures = 0;
    for (int order = 3; order <= 8; ++order) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(app.applicationFilePath(), {QStringLiteral("--order"), QString::number(order)});
        child.waitForFinished(-1);
        failures += child.exitCode() != 0;
    }
    if (made)
        QFile::remove(QString::fromLatin1(designPointsFileName));
    return failures == 0 ? 0 : 1;
}
