#include "app/cli/cli_tolerance.h"

#include "app/cli/cli_option_table.h"
#include "app/cli/cli_options.h"
#include "app/cli/cli_study.h"
#include "app/cli/cli_sweep.h"
#include "io/atomic_file_set.h"
#include "tolerance/tolerance_run.h"
#include "sweep/sweep.h"
#include "tolerance_plots/tolerance_plots.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

int runTolerance(const QStringList& args)
{
    CliArguments a;
    int code = CliExitOk;
    if (!parseStudyOptions(args, false, &a, &code))
        return code;
    QString error;
    const QString prismPath = a.text("prism"), tolerancePath = a.text("tolerances");
    const QString outputDir = a.isSet("output-dir") ? a.text("output-dir") : QStringLiteral(".");
    const std::int64_t trials = a.whole("trials", -1);
    const int threads = a.whole("threads", 0);
    tolerance::TrialSampling sampling;
    sampling.targetPointsAcrossHalf = a.whole("target-points", sampling.targetPointsAcrossHalf);
    bool ok = true;
    const std::uint64_t seed = a.isSet("seed") ? a.text("seed").toULongLong(&ok) : 1;
    if (!ok)
        return failWith(CliExitUsage, QStringLiteral("tolerance: bad value '%1' for --seed").arg(a.text("seed")));
    tolerance::Shard shard;
    const bool sharded = a.isSet("shard");
    if (sharded && !tolerance::parseShard(a.text("shard"), &shard, &error))
        return failWith(CliExitUsage, error);
    if (prismPath.isEmpty())
        return failWith(CliExitUsage, QStringLiteral("tolerance needs --prism PATH"));
    if (trials < 1)
        return failWith(CliExitUsage, QStringLiteral("tolerance needs --trials N (1 or more)"));

    tolerance::RunIdentity identity;
    identity.seed = seed;
    identity.trials = trials;
    identity.sampling = sampling;
    if (!tolerancePath.isEmpty()) {
        QFile file(tolerancePath);
        if (!file.open(QIODevice::ReadOnly))
            return failWith(CliExitUsage, QStringLiteral("cannot read the tolerance file %1").arg(tolerancePath));
        if (!tolerance::parseToleranceFile(file.readAll(), &identity.file, &error))
            return failWith(CliExitUsage, error);
    }
    for (const char* name : {tolerance::trialsFileName, tolerance::summaryFileName}) {
        const QString target = QDir(outputDir).filePath(QString::fromLatin1(name));
        const QString refused = QDir(outputDir).exists() ? checkOutputTarget(target) : QString();
        if (!refused.isEmpty())
            return failWith(CliExitUsage, refused);
    }
    tolerance::ToleranceModel model;
    if (!model.load(prismPath, sampling, &error))
        return failWith(CliExitUsage, error);
    const QString limits = tolerance::checkLimits(identity.file.tolerances, model.prismHalfWidthMm());
    if (!limits.isEmpty())
        return failWith(CliExitUsage, limits);
    identity.prismDigest = QCryptographicHash::hash(model.prismBytes(), QCryptographicHash::Sha256).toHex();

    core::Progress progress;
    const std::int64_t first = shard.first(trials), end = shard.end(trials);
    ProgressLine line(end - first, "trials");
    progress.setListener([&line](double fraction, const std::string&) { line.update(fraction); });
    std::vector<tolerance::TrialRow> rows;
    std::vector<tolerance::SensitivityRow> table;
    try {
        InterruptCancels interrupt(&progress);
        rows = tolerance::runTrials(model, identity, first, end, threads, &progress);
        if (shard.index == 0) {
            progress.throwIfCancelled();
            table = tolerance::sensitivity(model, identity.file, threads);
        }
        progress.throwIfCancelled();
    } catch (const core::OperationCancelled&) {
        line.finish();
        return failWith(130, QStringLiteral("tolerance: interrupted; nothing written"));
    }
    line.finish();

    QByteArray csv = tolerance::trialsCsvHeader();
    std::vector<tolerance::TrialFigures> figures;
    for (const tolerance::TrialRow& row : rows) {
        csv.append(tolerance::trialCsvLine(row));
        figures.push_back(row.figures);
    }
    const tolerance::RunSummary summary = tolerance::summarise(figures);
    const QByteArray json = tolerance::summaryJson(identity, sharded ? &shard : nullptr, model.nominal(), summary,
                                                   shard.index == 0 ? &table : nullptr);
    QList<QPair<QString, QByteArray>> files{{QString::fromLatin1(tolerance::trialsFileName), csv},
                                            {QString::fromLatin1(tolerance::summaryFileName), json}};
    if (!sharded)  // a shard's plots would show a part of the run: the merge draws them
        files += tolerance::tolerancePlots(figures, identity.file.criteria, &table);
    if (!tolerance::writeRunFiles(outputDir, files, &error))
        return failWith(CliExitFailure, error);
    std::printf("%lld trials: %lld ok, %lld trace failed, %lld calibration failed; yield %.4g (%lld passed)\n",
                static_cast<long long>(summary.trials), static_cast<long long>(summary.ok),
                static_cast<long long>(summary.traceFailed), static_cast<long long>(summary.calibrationFailed),
                summary.yield, static_cast<long long>(summary.passed));
    return CliExitOk;
}

int runMerge(const QStringList& args)
{
    CliArguments a;
    int code = CliExitOk;
    if (!parseStudyOptions(args, true, &a, &code))
        return code;
    const QString outputDir = a.text("output-dir");
    const QStringList shards = a.positional();
    QString error;
    if (outputDir.isEmpty())
        return failWith(CliExitUsage, QStringLiteral("merge needs --output-dir D"));
    if (!shards.isEmpty() && tolerance::isSweepFolder(shards.first()))
        return mergeSweepFolders(outputDir, shards);
    tolerance::MergedRun merged;
    if (!tolerance::mergeShards(shards, &merged, &error))
        return failWith(CliExitUsage, error);
    QList<QPair<QString, QByteArray>> files{{QString::fromLatin1(tolerance::trialsFileName), merged.trialsCsv},
                                            {QString::fromLatin1(tolerance::summaryFileName), merged.summaryJson}};
    files += tolerance::tolerancePlots(merged.figures, merged.identity.file.criteria,
                                       merged.sensitivity.empty() ? nullptr : &merged.sensitivity);
    if (!tolerance::writeRunFiles(outputDir, files, &error))
        return failWith(CliExitFailure, error);
    return CliExitOk;
}

}  // namespace

bool isToleranceCommand(const QString& command)
{
    return command == QLatin1String("tolerance") || command == QLatin1String("merge");
}

int runToleranceCommand(const QStringList& arguments)
{
    return arguments.value(0) == QLatin1String("merge") ? runMerge(arguments) : runTolerance(arguments);
}
