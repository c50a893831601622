#include "app/cli/cli_tolerance.h"

#include "app/cli/cli_options.h"
#include "app/cli/cli_study.h"
#include "app/cli/cli_sweep.h"
#include "io/atomic_file_set.h"
#include "tolerance/tolerance_run.h"
#include "tolerance/sweep.h"
#include "tolerance_plots/tolerance_plots.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

const char toleranceHelp[] =
    "harvenlotek-cli tolerance --prism PATH [--tolerances FILE] --trials N [--seed S] [--shard i/K]\n"
    "                          [--threads N] [--target-points N] [--output-dir D]\n"
    "  Monte Carlo tolerancing of a prism fit (PATH: a prism.json or a folder holding one):\n"
    "  each trial perturbs the prism and its mounting, traces it and calibrates it again;\n"
    "  writes tolerance_trials.csv and tolerance_summary.json to D (default: .).\n"
    "harvenlotek-cli merge --output-dir D SHARD_DIR...\n"
    "  merges the shard folders of one tolerance run or of one sweep into D.\n";

int runTolerance(const QStringList& args)
{
    QString prismPath, tolerancePath, outputDir = QStringLiteral("."), error, value;
    std::int64_t trials = -1;
    std::uint64_t seed = 1;
    int threads = 0;
    tolerance::Shard shard;
    bool sharded = false;
    tolerance::TrialSampling sampling;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--help")) {
            std::fputs(toleranceHelp, stdout);
            return CliExitOk;
        }
        if (!a.startsWith(QLatin1String("--")))
            return failWith(CliExitUsage, QStringLiteral("tolerance: unexpected argument '%1'").arg(a));
        if (!takeOptionValue(args, &i, &value, &error))
            return failWith(CliExitUsage, error);
        bool ok = true;
        if (a == QLatin1String("--prism")) {
            prismPath = value;
        } else if (a == QLatin1String("--tolerances")) {
            tolerancePath = value;
        } else if (a == QLatin1String("--output-dir")) {
            outputDir = value;
        } else if (a == QLatin1String("--trials")) {
            trials = value.toLongLong(&ok);
            ok = ok && trials >= 1 && trials <= 100000000;
        } else if (a == QLatin1String("--seed")) {
            seed = value.toULongLong(&ok);
        } else if (a == QLatin1String("--threads")) {
            threads = value.toInt(&ok);
            ok = ok && threads >= 0;
        } else if (a == QLatin1String("--target-points")) {
            sampling.targetPointsAcrossHalf = value.toInt(&ok);
            ok = ok && sampling.targetPointsAcrossHalf >= 4 && sampling.targetPointsAcrossHalf <= 40;
        } else if (a == QLatin1String("--shard")) {
            if (!tolerance::parseShard(value, &shard, &error))
                return failWith(CliExitUsage, error);
            sharded = true;
        } else {
            return failWith(CliExitUsage, QStringLiteral("tolerance: unknown option %1").arg(a));
        }
        if (!ok)
            return failWith(CliExitUsage, QStringLiteral("tolerance: bad value '%1' for %2").arg(value, a));
    }
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
    QString outputDir, error;
    QStringList shards;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--help")) {
            std::fputs(toleranceHelp, stdout);
            return CliExitOk;
        }
        if (args[i] == QLatin1String("--output-dir")) {
            if (!takeOptionValue(args, &i, &outputDir, &error))
                return failWith(CliExitUsage, error);
        } else if (args[i].startsWith(QLatin1String("--"))) {
            return failWith(CliExitUsage, QStringLiteral("merge: unknown option %1").arg(args[i]));
        } else {
            shards << args[i];
        }
    }
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
