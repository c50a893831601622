#include "app/cli/cli_sweep.h"

#include "app/cli/cli_option_table.h"
#include "app/cli/cli_options.h"
#include "app/cli/cli_study.h"
#include "io/atomic_file_set.h"
#include "sweep/sweep.h"
#include "tolerance_plots/sweep_plots.h"

#include <QDir>

#include <cstdio>

namespace {

QList<QPair<QString, QByteArray>> sweepFiles(const QByteArray& csv, const QByteArray& json)
{
    return {{QString::fromLatin1(tolerance::sweepPointsFileName), csv},
            {QString::fromLatin1(tolerance::sweepSummaryFileName), json}};
}

int runSweep(const QStringList& args)
{
    CliArguments a;
    int code = CliExitOk;
    if (!parseStudyOptions(args, false, &a, &code))
        return code;
    QString error;
    const QString outputDir = a.isSet("output-dir") ? a.text("output-dir") : QStringLiteral(".");
    const int threads = a.whole("threads", 0);
    tolerance::SweepIdentity identity;
    identity.settings.order = a.whole("order", identity.settings.order);
    identity.settings.verifyStep = a.whole("verify-step", identity.settings.verifyStep);
    identity.settings.targetPointsAcrossHalf = a.whole("target-points", identity.settings.targetPointsAcrossHalf);
    for (const QString& text : a.texts("param")) {
        tolerance::SweepAxis axis;
        if (!tolerance::parseSweepAxis(text, &axis, &error))
            return failWith(CliExitUsage, error);
        identity.axes.push_back(axis);
    }
    tolerance::Shard shard;
    const bool sharded = a.isSet("shard");
    if (sharded && !tolerance::parseShard(a.text("shard"), &shard, &error))
        return failWith(CliExitUsage, error);
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
