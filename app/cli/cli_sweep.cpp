#include "app/cli/cli_sweep.h"

#include "app/cli/cli_options.h"
#include "app/cli/cli_study.h"
#include "io/atomic_file_set.h"
#include "tolerance/sweep.h"
#include "tolerance_plots/sweep_plots.h"

#include <QDir>

#include <cstdio>

namespace {

const char sweepHelp[] =
    "harvenlotek-cli sweep --param NAME=LOW:HIGH:COUNT [--param ...] [--shard i/K] [--output-dir D]\n"
    "                      [--order N] [--verify-step S] [--target-points N] [--threads N]\n"
    "  runs the one-shot prism path (design, prism fit, verification, calibration; in memory)\n"
    "  at every point of the grid and writes sweep_points.csv, sweep_summary.json and the\n"
    "  plots sweep_<figure>.png to D (default: .). NAME is one of angle, index, distance,\n"
    "  focal-length, size (the panel's ranges) or order (of the prism fit, 3 to 10);\n"
    "  NAME=VALUE holds a quantity at one value. The rest keep the panel's start values.\n"
    "  --order N: prism fit order where the grid does not set it (default 8);\n"
    "  --verify-step S: verify every S-th pixel (default 8); --target-points N: calibration\n"
    "  target points across a half (default the calibration's). Shards merge with\n"
    "  harvenlotek-cli merge --output-dir D SHARD_DIR...\n";

bool parseBounded(const QString& text, int low, int high, int* value)
{
    bool ok = false;
    *value = text.toInt(&ok, 10);
    return ok && *value >= low && *value <= high;
}

QList<QPair<QString, QByteArray>> sweepFiles(const QByteArray& csv, const QByteArray& json)
{
    return {{QString::fromLatin1(tolerance::sweepPointsFileName), csv},
            {QString::fromLatin1(tolerance::sweepSummaryFileName), json}};
}

int runSweep(const QStringList& args)
{
    QString outputDir = QStringLiteral("."), error, value;
    int threads = 0;
    tolerance::Shard shard;
    bool sharded = false;
    tolerance::SweepIdentity identity;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--help")) {
            std::fputs(sweepHelp, stdout);
            return CliExitOk;
        }
        if (!a.startsWith(QLatin1String("--")))
            return failWith(CliExitUsage, QStringLiteral("sweep: unexpected argument '%1'").arg(a));
        if (!takeOptionValue(args, &i, &value, &error))
            return failWith(CliExitUsage, error);
        bool ok = true;
        if (a == QLatin1String("--param")) {
            tolerance::SweepAxis axis;
            if (!tolerance::parseSweepAxis(value, &axis, &error))
                return failWith(CliExitUsage, error);
            identity.axes.push_back(axis);
        } else if (a == QLatin1String("--output-dir")) {
            outputDir = value;
        } else if (a == QLatin1String("--order")) {
            ok = parseBounded(value, 3, 10, &identity.settings.order);
        } else if (a == QLatin1String("--verify-step")) {
            ok = parseBounded(value, 1, 64, &identity.settings.verifyStep);
        } else if (a == QLatin1String("--target-points")) {
            ok = parseBounded(value, 4, 40, &identity.settings.targetPointsAcrossHalf);
        } else if (a == QLatin1String("--threads")) {
            ok = parseBounded(value, 0, 1024, &threads);
        } else if (a == QLatin1String("--shard")) {
            if (!tolerance::parseShard(value, &shard, &error))
                return failWith(CliExitUsage, error);
            sharded = true;
        } else {
            return failWith(CliExitUsage, QStringLiteral("sweep: unknown option %1").arg(a));
        }
        if (!ok)
            return failWith(CliExitUsage, QStringLiteral("sweep: bad value '%1' for %2").arg(value, a));
    }
    const QString axes = tolerance::checkSweepAxes(identity.axes);
    if (!axes.isEmpty())
        return failWith(CliExitUsage, axes);
    for (const char* name : {tolerance::sweepPointsFileName, tolerance::sweepSummaryFileName}) {
        const QString target = QDir(outputDir).filePath(QString::fromLatin1(name));
        const QString refused = QDir(outputDir).exists() ? checkOutputTarget(target) : QString();
        if (!refused.isEmpty())
            return failWith(CliExitUsage, refused);
    }

    core::Progress progress;
    const std::int64_t first = shard.first(identity.points()), end = shard.end(identity.points());
    ProgressLine line(end - first, "points");
    progress.setListener([&line](double fraction, const std::string&) { line.update(fraction); });
    std::vector<tolerance::SweepRow> rows;
    try {
        InterruptCancels interrupt(&progress);
        rows = tolerance::runSweepPoints(identity, first, end, threads, &progress);
        progress.throwIfCancelled();
    } catch (const core::OperationCancelled&) {
        line.finish();
        return failWith(130, QStringLiteral("sweep: interrupted; nothing written"));
    }
    line.finish();

    QByteArray csv = tolerance::sweepCsvHeader(identity);
    for (const tolerance::SweepRow& row : rows)
        csv.append(tolerance::sweepCsvLine(row));
    auto files = sweepFiles(csv, tolerance::sweepSummaryJson(identity, sharded ? &shard : nullptr, rows));
    if (!sharded)  // a shard's plots would show a part of the grid: the merge draws them
        files += tolerance::sweepPlots(identity, rows);
    if (!tolerance::writeRunFiles(outputDir, files, &error, QStringLiteral("sweep")))
        return failWith(CliExitFailure, error);
    int ok = 0;
    for (const tolerance::SweepRow& row : rows)
        ok += row.figures.status == tolerance::PointStatus::Ok;
    std::printf("%lld points: %d ok, %lld failed\n", static_cast<long long>(rows.size()), ok,
                static_cast<long long>(rows.size()) - ok);
    const int best = tolerance::bestSweepPoint(rows, 4);  // the left half's calibrated residual
    if (best >= 0) {
        const tolerance::SweepRow& r = rows[std::size_t(best)];
        QStringList at;
        for (std::size_t a = 0; a < identity.axes.size(); ++a)
            at << QStringLiteral("%1 %2").arg(QLatin1String(tolerance::sweepQuantityName(identity.axes[a].quantity)))
                      .arg(r.values[a], 0, 'g', 10);
        std::printf("smallest calibrated residual (left) %.4g px at %s\n", r.figures.value[4],
                    at.join(QStringLiteral(", ")).toLocal8Bit().constData());
    }
    return CliExitOk;
}

}  // namespace

bool isSweepCommand(const QString& command)
{
    return command == QLatin1String("sweep");
}

int runSweepCommand(const QStringList& arguments)
{
    return runSweep(arguments);
}

int mergeSweepFolders(const QString& outputDir, const QStringList& shardDirectories)
{
    QString error;
    tolerance::MergedSweep merged;
    if (!tolerance::mergeSweepShards(shardDirectories, &merged, &error))
        return failWith(CliExitUsage, error);
    auto files = sweepFiles(merged.pointsCsv, merged.summaryJson);
    files += tolerance::sweepPlots(merged.identity, merged.rows);
    if (!tolerance::writeRunFiles(outputDir, files, &error, QStringLiteral("sweep")))
        return failWith(CliExitFailure, error);
    return CliExitOk;
}
