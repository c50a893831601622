#include "tolerance/tolerance_run.h"

#include "core/parallel_for.h"
#include "textio/json_writer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

namespace tolerance {

namespace {

constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();

void writeFigures(JsonWriter& json, const TrialFigures& f)
{
    json.beginObject().key("status").string(QLatin1String(trialStatusName(f.status)));
    for (int k = 0; k < figureCount; ++k)
        json.key(figureName(k)).number(figureValue(f, k));
    json.key("baselineMm").number(f.baselineMm);
    json.endObject();
}

bool readFigures(const QJsonObject& o, TrialFigures* f)
{
    if (!parseTrialStatus(o.value(QStringLiteral("status")).toString(), &f->status))
        return false;
    auto number = [&o](const char* name) {
        const QJsonValue v = o.value(QLatin1String(name));
        return v.isDouble() ? v.toDouble() : notANumber;
    };
    f->residualPx = {number("residualLeftPx"), number("residualRightPx")};
    f->nonCentralityMm = {number("nonCentralityLeftMm"), number("nonCentralityRightMm")};
    f->depthErrorPercent = {number("depthError300mmPercent"), number("depthError1000mmPercent"),
                            number("depthError2000mmPercent")};
    f->baselineChangeMm = number("baselineChangeMm");
    f->baselineMm = number("baselineMm");
    return true;
}

void writeIdentity(JsonWriter& json, const RunIdentity& id)
{
    json.beginObject();
    json.key("prismDigest").string(QString::fromLatin1(id.prismDigest));
    json.key("seed").string(QString::number(id.seed));  // a string: 64-bit seeds exceed a double
    json.key("trials").integer(id.trials);
    json.key("sampling").beginObject();
    json.key("targetPointsAcrossHalf").integer(id.sampling.targetPointsAcrossHalf);
    json.key("targetTiltDeg").number(id.sampling.targetTiltDeg);
    json.key("raysAcrossHalf").integer(id.sampling.raysAcrossHalf);
    json.key("startFromNominal").boolean(id.sampling.startFromNominal);
    json.endObject();
    json.key("tolerances").beginObject();
    for (int k = 0; k < toleranceKindCount; ++k)
        json.key(toleranceName(static_cast<ToleranceKind>(k))).number(id.file.tolerances.limit[std::size_t(k)]);
    json.endObject();
    json.key("criteria").beginObject();
    json.key("maxResidualPx").number(id.file.criteria.maxResidualPx);
    json.key("maxNonCentralityMm").number(id.file.criteria.maxNonCentralityMm);
    json.key("maxDepthErrorPercent").number(id.file.criteria.maxDepthErrorPercent);
    json.key("maxBaselineChangeMm").number(id.file.criteria.maxBaselineChangeMm);
    json.endObject();
    json.endObject();
}

bool readIdentity(const QJsonObject& o, RunIdentity* id)
{
    id->prismDigest = o.value(QStringLiteral("prismDigest")).toString().toLatin1();
    bool ok = false;
    id->seed = o.value(QStringLiteral("seed")).toString().toULongLong(&ok);
    if (!ok || !o.value(QStringLiteral("trials")).isDouble())
        return false;
    id->trials = static_cast<std::int64_t>(o.value(QStringLiteral("trials")).toDouble());
    const QJsonObject s = o.value(QStringLiteral("sampling")).toObject();
    id->sampling.targetPointsAcrossHalf = s.value(QStringLiteral("targetPointsAcrossHalf")).toInt();
    id->sampling.targetTiltDeg = s.value(QStringLiteral("targetTiltDeg")).toDouble();
    id->sampling.raysAcrossHalf = s.value(QStringLiteral("raysAcrossHalf")).toInt();
    id->sampling.startFromNominal = s.value(QStringLiteral("startFromNominal")).toBool(false);
    QJsonObject file;
    file.insert(QStringLiteral("tolerances"), o.value(QStringLiteral("tolerances")));
    file.insert(QStringLiteral("criteria"), o.value(QStringLiteral("criteria")));
    QString ignored;
    return parseToleranceFile(QJsonDocument(file).toJson(QJsonDocument::Compact), &id->file, &ignored);
}

}  // namespace

std::vector<TrialRow> runTrials(const ToleranceModel& model, const RunIdentity& identity, std::int64_t first,
                                std::int64_t end, int threads, core::Progress* progress)
{
    const int count = int(std::max<std::int64_t>(0, end - first));
    std::vector<TrialRow> rows(static_cast<std::size_t>(count));
    std::atomic<int> done{0};
    core::ProgressRange range(progress, 0.0, 1.0, "tolerance trials");
    range.report(0.0);
    parallelFor(count, resolveThreadCount(threads), [&](int, int i) {
        range.throwIfCancelled();
        TrialRow& row = rows[std::size_t(i)];
        row.index = first + i;
        row.perturbation = drawPerturbation(identity.file.tolerances, identity.seed, row.index);
        row.figures = model.run(row.perturbation, identity.file.criteria);
        range.report(double(done.fetch_add(1) + 1) / count);
    });
    return rows;
}

std::vector<SensitivityRow> sensitivity(const ToleranceModel& model, const ToleranceFile& file, int threads)
{
    std::vector<SensitivityRow> rows(toleranceKindCount);
    parallelFor(toleranceKindCount, resolveThreadCount(threads), [&](int, int k) {
        SensitivityRow& row = rows[std::size_t(k)];
        row.kind = static_cast<ToleranceKind>(k);
        row.limit = file.tolerances[row.kind];
        row.figures = model.run(singleTolerance(file.tolerances, row.kind), file.criteria);
        if (row.figures.status != TrialStatus::Ok) {
            row.ofCriterion = std::numeric_limits<double>::infinity();
            return;
        }
        double worst = -1.0;
        for (int f = 0; f < figureCount; ++f) {
            const double change = figureValue(row.figures, f) - figureValue(model.nominal(), f);
            const double of = std::fabs(change) / figureCriterion(file.criteria, f);
            if (of > worst) {
                worst = of;
                row.figure = f;
                row.change = change;
                row.ofCriterion = of;
            }
        }
    });
    std::stable_sort(rows.begin(), rows.end(),
                     [](const SensitivityRow& a, const SensitivityRow& b) { return a.ofCriterion > b.ofCriterion; });
    return rows;
}

QByteArray trialsCsvHeader()
{
    QByteArray out("trial,status,pass");
    for (int k = 0; k < figureCount; ++k)
        out.append(',').append(figureName(k));
    for (int k = 0; k < toleranceKindCount; ++k)
        out.append(',').append(toleranceName(static_cast<ToleranceKind>(k)));
    out.append('\n');
    return out;
}

QByteArray trialCsvLine(const TrialRow& row)
{
    QByteArray out = QByteArray::number(qlonglong(row.index));
    out.append(',').append(trialStatusName(row.figures.status)).append(row.figures.pass ? ",1" : ",0");
    for (int k = 0; k < figureCount; ++k) {
        out.append(',');
        appendCsvNumber(&out, figureValue(row.figures, k));
    }
    for (int k = 0; k < toleranceKindCount; ++k) {
        out.append(',');
        appendCsvNumber(&out, row.perturbation.value[std::size_t(k)]);
    }
    out.append('\n');
    return out;
}

double percentile(const std::vector<double>& sorted, double p)
{
    if (sorted.empty())
        return notANumber;
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * double(sorted.size())));
    return sorted[std::min(sorted.size(), std::max<std::size_t>(rank, 1)) - 1];
}

std::vector<double> figureValues(const std::vector<TrialFigures>& figures, int figure)
{
    std::vector<double> values;
    for (const TrialFigures& f : figures)
        if (f.status == TrialStatus::Ok)
            values.push_back(std::fabs(figureValue(f, figure)));
    std::sort(values.begin(), values.end());
    return values;
}

RunSummary summarise(const std::vector<TrialFigures>& figures)
{
    RunSummary s;
    s.trials = std::int64_t(figures.size());
    for (const TrialFigures& f : figures) {
        s.ok += f.status == TrialStatus::Ok;
        s.traceFailed += f.status == TrialStatus::TraceFailed;
        s.calibrationFailed += f.status == TrialStatus::CalibrationFailed;
        s.passed += f.pass;
    }
    s.yield = s.trials > 0 ? double(s.passed) / double(s.trials) : notANumber;
    for (int k = 0; k < figureCount; ++k) {
        const std::vector<double> values = figureValues(figures, k);
        s.percentiles.push_back({percentile(values, 50), percentile(values, 90), percentile(values, 99),
                                 int(values.size())});
    }
    return s;
}

QByteArray summaryJson(const RunIdentity& identity, const Shard* shard, const TrialFigures& nominal,
                       const RunSummary& s, const std::vector<SensitivityRow>* rows)
{
    JsonWriter json;
    json.beginObject();
    json.key("format").string(QStringLiteral("harvenlotek-tolerance"));
    json.key("version").integer(1);
    json.key("run");
    writeIdentity(json, identity);
    json.key("shard");
    if (shard) {
        json.beginObject().key("index").integer(shard->index).key("count").integer(shard->count);
        json.key("firstTrial").integer(shard->first(identity.trials)).key("endTrial").integer(shard->end(identity.trials));
        json.endObject();
    } else {
        json.null();
    }
    json.key("nominal");
    writeFigures(json, nominal);
    json.key("counts").beginObject();
    json.key("trials").integer(s.trials).key("ok").integer(s.ok).key("traceFailed").integer(s.traceFailed);
    json.key("calibrationFailed").integer(s.calibrationFailed).key("passed").integer(s.passed);
    json.endObject();
    json.key("yield").number(s.yield);
    json.key("percentiles").beginObject();
    for (int k = 0; k < figureCount; ++k) {
        const Percentiles& p = s.percentiles[std::size_t(k)];
        json.key(figureName(k)).beginObject().key("p50").number(p.p50).key("p90").number(p.p90);
        json.key("p99").number(p.p99).key("trials").integer(p.count).endObject();
    }
    json.endObject();
    json.key("sensitivity");
    if (rows) {
        json.beginArray();
        for (const SensitivityRow& r : *rows) {
            json.beginObject().key("tolerance").string(QLatin1String(toleranceName(r.kind)));
            json.key("limit").number(r.limit);
            json.key("figure");
            if (r.figure >= 0)
                json.string(QLatin1String(figureName(r.figure)));
            else
                json.null();
            json.key("change").number(r.change).key("ofCriterion").number(r.ofCriterion);
            json.key("figures");
            writeFigures(json, r.figures);
            json.endObject();
        }
        json.endArray();
    } else {
        json.null();
    }
    json.endObject();
    return json.bytes();
}

namespace {

struct ShardFiles {
    QString directory;
    RunIdentity identity;
    QJsonObject identityJson;
    Shard shard;
    QJsonObject summary;
    QList<QByteArray> lines;           // the trial rows, each with its line break
    std::vector<TrialFigures> figures;
};

bool readShard(const QString& directory, ShardFiles* out, QString* error)
{
    out->directory = directory;
    const QDir dir(directory);
    if (!readShardSummary(directory, summaryFileName, &out->summary, &out->shard, error))
        return false;
    out->identityJson = out->summary.value(QStringLiteral("run")).toObject();
    if (out->summary.value(QStringLiteral("format")).toString() != QLatin1String("harvenlotek-tolerance")
        || out->shard.index < 0 || !readIdentity(out->identityJson, &out->identity)) {
        *error = QStringLiteral("%1 is not a shard of a tolerance run").arg(directory);
        return false;
    }
    QFile csv(dir.filePath(QString::fromLatin1(trialsFileName)));
    if (!csv.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1 holds no %2").arg(directory, QLatin1String(trialsFileName));
        return false;
    }
    QList<QByteArray> rows;
    if (!tableRows(csv.readAll(), trialsCsvHeader(), &rows)) {
        *error = QStringLiteral("%1: %2 is not a trial table").arg(directory, QLatin1String(trialsFileName));
        return false;
    }
    const std::int64_t first = out->shard.first(out->identity.trials);
    for (const QByteArray& line : rows) {
        const QList<QByteArray> cells = line.trimmed().split(',');
        TrialFigures f;
        bool ok = cells.size() == 3 + figureCount + toleranceKindCount
                  && cells[0] == QByteArray::number(qlonglong(first + out->lines.size()))
                  && parseTrialStatus(QString::fromLatin1(cells[1]), &f.status) && (cells[2] == "0" || cells[2] == "1");
        double values[figureCount];
        for (int k = 0; ok && k < figureCount; ++k)
            ok = parseCsvNumber(cells[3 + k], &values[k]);
        if (!ok) {
            *error = malformedRowMessage(directory, out->lines.size() + 1, trialsFileName);
            return false;
        }
        f.pass = cells[2] == "1";
        f.residualPx = {values[0], values[1]};
        f.nonCentralityMm = {values[2], values[3]};
        f.depthErrorPercent = {values[4], values[5], values[6]};
        f.baselineChangeMm = values[7];
        out->lines.append(line);
        out->figures.push_back(f);
    }
    *error = shardRowCountMessage(directory, out->shard, out->lines.size(), out->identity.trials, "trials");
    return error->isEmpty();
}

}  // namespace

bool mergeShards(const QStringList& directories, MergedRun* merged, QString* error)
{
    if (directories.isEmpty()) {
        *error = QStringLiteral("merge needs the shard folders");
        return false;
    }
    std::vector<ShardFiles> shards(std::size_t(directories.size()));
    for (int i = 0; i < directories.size(); ++i)
        if (!readShard(directories[i], &shards[std::size_t(i)], error))
            return false;
    const ShardFiles& reference = shards.front();
    std::vector<ShardEntry> entries;
    for (const ShardFiles& s : shards) {
        if (s.identityJson != reference.identityJson || s.shard.count != reference.shard.count) {
            const char* what = s.identity.prismDigest != reference.identity.prismDigest ? "prism"
                               : s.identity.seed != reference.identity.seed             ? "seed"
                               : s.identity.trials != reference.identity.trials         ? "trial count"
                               : s.shard.count != reference.shard.count                 ? "shard count"
                                                                                         : "tolerances";
            *error = QStringLiteral("%1 is a shard of another run than %2 (its %3 differs)")
                         .arg(s.directory, reference.directory, QLatin1String(what));
            return false;
        }
        entries.push_back({s.directory, s.shard});
    }
    std::vector<std::size_t> order;
    if (!orderShards(entries, &order, error))
        return false;
    QByteArray csv = trialsCsvHeader();
    std::vector<TrialFigures> figures;
    for (std::size_t i : order) {
        for (const QByteArray& line : shards[i].lines)
            csv.append(line);
        figures.insert(figures.end(), shards[i].figures.begin(), shards[i].figures.end());
    }
    const QJsonObject first = shards[order.front()].summary;
    TrialFigures nominal;
    readFigures(first.value(QStringLiteral("nominal")).toObject(), &nominal);
    std::vector<SensitivityRow> rows;
    const QJsonArray table = first.value(QStringLiteral("sensitivity")).toArray();
    for (const QJsonValue& v : table) {
        const QJsonObject o = v.toObject();
        SensitivityRow r;
        for (int k = 0; k < toleranceKindCount; ++k)
            if (o.value(QStringLiteral("tolerance")).toString() == QLatin1String(toleranceName(static_cast<ToleranceKind>(k))))
                r.kind = static_cast<ToleranceKind>(k);
        r.limit = o.value(QStringLiteral("limit")).toDouble();
        const QString figure = o.value(QStringLiteral("figure")).toString();
        for (int f = 0; f < figureCount; ++f)
            if (figure == QLatin1String(figureName(f)))
                r.figure = f;
        r.change = o.value(QStringLiteral("change")).toDouble();
        const QJsonValue of = o.value(QStringLiteral("ofCriterion"));
        r.ofCriterion = of.isDouble() ? of.toDouble() : std::numeric_limits<double>::infinity();
        readFigures(o.value(QStringLiteral("figures")).toObject(), &r.figures);
        rows.push_back(r);
    }
    merged->summaryJson =
        summaryJson(reference.identity, nullptr, nominal, summarise(figures), table.isEmpty() ? nullptr : &rows);
    merged->trialsCsv = csv;
    merged->identity = reference.identity;
    merged->figures = std::move(figures);
    merged->sensitivity = std::move(rows);
    return true;
}

}  // namespace tolerance
