#include "app/cli/cli_tolerance.h"

#include "app/cli/cli_option_table.h"
#include "app/cli/cli_options.h"
#include "io/atomic_file_set.h"
#include "tolerance/tolerance_run.h"
#include "tolerance_plots/tolerance_plots.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

core::Progress* interruptible = nullptr;

extern "C" void onInterrupt(int)
{
    if (interruptible)
        interruptible->cancel();
}

int fail(int code, const QString& message)
{
    std::fprintf(stderr, "harvenlotek-cli: %s\n", message.toLocal8Bit().constData());
    return code;
}

// "12/1000 trials, 3.1 trials/s, 5m12s left" on one terminal line.
class ProgressLine {
public:
    explicit ProgressLine(std::int64_t trials) : trials_(trials), terminal_(isatty(2) != 0) { timer_.start(); }
    void update(double fraction)
    {
        const qint64 now = timer_.elapsed();
        const auto done = std::int64_t(fraction * double(trials_) + 0.5);
        const bool finished = done >= trials_;
        const int tenth = int(fraction * 10.0);
        if (terminal_ ? (now - shown_ < 200 && !finished) : (tenth == lastTenth_ && !finished))
            return;
        shown_ = now;
        lastTenth_ = tenth;
        const double seconds = double(now) / 1000.0;
        const double rate = seconds > 0.0 ? double(done) / seconds : 0.0;
        const double left = rate > 0.0 ? double(trials_ - done) / rate : 0.0;
        std::fprintf(stderr, "%s%lld/%lld trials, %.2f trials/s, %dm%02ds left%s", terminal_ ? "\r" : "",
                     static_cast<long long>(done), static_cast<long long>(trials_), rate, int(left) / 60,
                     int(left) % 60, terminal_ ? "   " : "\n");
        std::fflush(stderr);
    }
    void finish()
    {
        if (terminal_)
            std::fputc('\n', stderr);
    }

private:
    std::int64_t trials_;
    bool terminal_;
    QElapsedTimer timer_;
    qint64 shown_ = -1000;
    int lastTenth_ = -1;
};

// The options of `command` (app/cli/cli_option_table.cpp); false with the
// exit code in *code when the run stops here (help or bad input).
bool parseOptions(const QStringList& args, bool positional, CliArguments* a, int* code)
{
    QString error;
    if (!parseCliOptions(args.value(0), args.mid(1), positional, a, &error)) {
        *code = fail(CliExitUsage, error);
        return false;
    }
    if (a->help()) {
        std::fputs(cliHelpText(args.value(0)).toLocal8Bit().constData(), stdout);
        *code = CliExitOk;
        return false;
    }
    return true;
}

int runTolerance(const QStringList& args)
{
    CliArguments a;
    int code = CliExitOk;
    if (!parseOptions(args, false, &a, &code))
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
        return fail(CliExitUsage, QStringLiteral("tolerance: bad value '%1' for --seed").arg(a.text("seed")));
    tolerance::Shard shard;
    const bool sharded = a.isSet("shard");
    if (sharded && !tolerance::parseShard(a.text("shard"), &shard, &error))
        return fail(CliExitUsage, error);
    if (prismPath.isEmpty())
        return fail(CliExitUsage, QStringLiteral("tolerance needs --prism PATH"));
    if (trials < 1)
        return fail(CliExitUsage, QStringLiteral("tolerance needs --trials N (1 or more)"));

    tolerance::RunIdentity identity;
    identity.seed = seed;
    identity.trials = trials;
    identity.sampling = sampling;
    if (!tolerancePath.isEmpty()) {
        QFile file(tolerancePath);
        if (!file.open(QIODevice::ReadOnly))
            return fail(CliExitUsage, QStringLiteral("cannot read the tolerance file %1").arg(tolerancePath));
        if (!tolerance::parseToleranceFile(file.readAll(), &identity.file, &error))
            return fail(CliExitUsage, error);
    }
    for (const char* name : {tolerance::trialsFileName, tolerance::summaryFileName}) {
        const QString target = QDir(outputDir).filePath(QString::fromLatin1(name));
        const QString refused = QDir(outputDir).exists() ? checkOutputTarget(target) : QString();
        if (!refused.isEmpty())
            return fail(CliExitUsage, refused);
    }
    tolerance::ToleranceModel model;
    if (!model.load(prismPath, sampling, &error))
        return fail(CliExitUsage, error);
    const QString limits = tolerance::checkLimits(identity.file.tolerances, model.prismHalfWidthMm());
    if (!limits.isEmpty())
        return fail(CliExitUsage, limits);
    identity.prismDigest = QCryptographicHash::hash(model.prismBytes(), QCryptographicHash::Sha256).toHex();

    core::Progress progress;
    const std::int64_t first = shard.first(trials), end = shard.end(trials);
    ProgressLine line(end - first);
    progress.setListener([&line](double fraction, const std::string&) { line.update(fraction); });
    interruptible = &progress;
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    std::vector<tolerance::TrialRow> rows;
    std::vector<tolerance::SensitivityRow> table;
    try {
        rows = tolerance::runTrials(model, identity, first, end, threads, &progress);
        if (shard.index == 0) {
            progress.throwIfCancelled();
            table = tolerance::sensitivity(model, identity.file, threads);
        }
        progress.throwIfCancelled();
    } catch (const core::OperationCancelled&) {
        line.finish();
        interruptible = nullptr;
        return fail(130, QStringLiteral("tolerance: interrupted; nothing written"));
    }
    line.finish();
    interruptible = nullptr;
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);

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
        return fail(CliExitFailure, error);
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
    if (!parseOptions(args, true, &a, &code))
        return code;
    const QString outputDir = a.text("output-dir");
    const QStringList shards = a.positional();
    QString error;
    if (outputDir.isEmpty())
        return fail(CliExitUsage, QStringLiteral("merge needs --output-dir D"));
    tolerance::MergedRun merged;
    if (!tolerance::mergeShards(shards, &merged, &error))
        return fail(CliExitUsage, error);
    QList<QPair<QString, QByteArray>> files{{QString::fromLatin1(tolerance::trialsFileName), merged.trialsCsv},
                                            {QString::fromLatin1(tolerance::summaryFileName), merged.summaryJson}};
    files += tolerance::tolerancePlots(merged.figures, merged.identity.file.criteria,
                                       merged.sensitivity.empty() ? nullptr : &merged.sensitivity);
    if (!tolerance::writeRunFiles(outputDir, files, &error))
        return fail(CliExitFailure, error);
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
