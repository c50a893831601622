#include "sweep/sweep.h"

#include "core/parallel_for.h"
#include "fit/prism_fit.h"
#include "pipeline/pipeline.h"
#include "report/prism_report.h"
#include "textio/json_writer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

#include <opencv2/core/utility.hpp>

#include <atomic>
#include <cmath>
#include <limits>

namespace tolerance {

namespace {

constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();

QString numberText(double value) { return QString::number(value, 'g', 10); }

void writeIdentity(JsonWriter& json, const SweepIdentity& id)
{
    json.beginObject();
    json.key("parameters").beginArray();
    for (const SweepAxis& a : id.axes) {
        json.beginObject().key("name").string(QLatin1String(sweepQuantityName(a.quantity)));
        json.key("low").number(a.low).key("high").number(a.high).key("count").integer(a.count).endObject();
    }
    json.endArray();
    json.key("order").integer(id.settings.order);
    json.key("verifyStep").integer(id.settings.verifyStep);
    json.key("targetPointsAcrossHalf").integer(id.settings.targetPointsAcrossHalf);
    json.key("points").integer(id.points());
    json.endObject();
}

bool readIdentity(const QJsonObject& o, SweepIdentity* id)
{
    for (const QJsonValue& v : o.value(QStringLiteral("parameters")).toArray()) {
        const QJsonObject a = v.toObject();
        SweepAxis axis;
        bool known = false;
        for (int q = 0; q < sweepQuantityCount; ++q)
            if (a.value(QStringLiteral("name")).toString() == QLatin1String(sweepQuantityName(SweepQuantity(q)))) {
                axis.quantity = SweepQuantity(q);
                known = true;
            }
        axis.low = a.value(QStringLiteral("low")).toDouble(notANumber);
        axis.high = a.value(QStringLiteral("high")).toDouble(notANumber);
        axis.count = a.value(QStringLiteral("count")).toInt(0);
        if (!known || !(axis.low <= axis.high) || axis.count < 1)
            return false;
        id->axes.push_back(axis);
    }
    id->settings.order = o.value(QStringLiteral("order")).toInt(0);
    id->settings.verifyStep = o.value(QStringLiteral("verifyStep")).toInt(0);
    id->settings.targetPointsAcrossHalf = o.value(QStringLiteral("targetPointsAcrossHalf")).toInt(0);
    return !id->axes.empty() && checkSweepAxes(id->axes).isEmpty()
           && o.value(QStringLiteral("points")).toDouble() == double(id->points());
}

// The first stage of the run without an up-to-date result: the one that failed.
PointStatus failedStage(const pipeline::Pipeline& run)
{
    const std::pair<pipeline::Stage, PointStatus> stages[] = {
        {pipeline::Stage::Design, PointStatus::DesignFailed},
        {pipeline::Stage::Fit, PointStatus::FitFailed},
        {pipeline::Stage::Verify, PointStatus::VerifyFailed},
        {pipeline::Stage::Calibrate, PointStatus::CalibrationFailed}};
    for (const auto& s : stages)
        if (!run.hasResult(s.first) || run.isStale(s.first))
            return s.second;
    return PointStatus::CalibrationFailed;
}

}  // namespace

const char* sweepQuantityName(SweepQuantity quantity)
{
    static const char* const names[sweepQuantityCount] = {"angle", "index", "distance", "focal-length", "size", "order"};
    return names[int(quantity)];
}

SweepRange sweepRange(SweepQuantity quantity)
{
    auto panel = [](PanelField field) {
        const PanelFieldRange& r = panelFieldRange(field);
        return SweepRange{r.low, r.high, r.decimals == 0};
    };
    switch (quantity) {
    case SweepQuantity::Angle: return panel(PanelField::Angle);
    case SweepQuantity::Index: return panel(PanelField::RefractiveIndex);
    case SweepQuantity::Distance: return panel(PanelField::PrismDistance);
    case SweepQuantity::FocalLength: return panel(PanelField::FocalLength);
    case SweepQuantity::Size: return panel(PanelField::PrismSize);
    case SweepQuantity::Order: return SweepRange{double(lowestPrismOrder), double(highestPrismOrder), true};
    }
    return {};
}

double SweepAxis::value(int i) const
{
    if (count <= 1 || i <= 0)
        return low;
    if (i >= count - 1)
        return high;
    return low + (high - low) * double(i) / double(count - 1);
}

bool parseSweepAxis(const QString& text, SweepAxis* axis, QString* error)
{
    const int equals = text.indexOf(QLatin1Char('='));
    const QString name = text.left(equals);
    const QStringList parts = text.mid(equals + 1).split(QLatin1Char(':'));
    if (equals <= 0 || (parts.size() != 1 && parts.size() != 3)) {
        *error = QStringLiteral("--param takes NAME=LOW:HIGH:COUNT or NAME=VALUE, got '%1'").arg(text);
        return false;
    }
    bool known = false;
    for (int q = 0; q < sweepQuantityCount && !known; ++q)
        if (name == QLatin1String(sweepQuantityName(SweepQuantity(q)))) {
            axis->quantity = SweepQuantity(q);
            known = true;
        }
    if (!known) {
        QStringList names;
        for (int q = 0; q < sweepQuantityCount; ++q)
            names << QLatin1String(sweepQuantityName(SweepQuantity(q)));
        *error = QStringLiteral("--param: unknown quantity '%1' (one of %2)").arg(name, names.join(QStringLiteral(", ")));
        return false;
    }
    bool okLow = false, okHigh = true, okCount = true;
    axis->low = parts[0].toDouble(&okLow);
    axis->high = parts.size() == 3 ? parts[1].toDouble(&okHigh) : axis->low;
    axis->count = parts.size() == 3 ? parts[2].toInt(&okCount, 10) : 1;
    if (!okLow || !okHigh || !std::isfinite(axis->low) || !std::isfinite(axis->high)) {
        *error = QStringLiteral("--param %1: LOW and HIGH must be numbers, got '%2'").arg(name, text.mid(equals + 1));
        return false;
    }
    if (!okCount || axis->count < 1 || axis->count > maximumSweepCount) {
        *error = QStringLiteral("--param %1: COUNT must be a whole number from 1 to %2, got '%3'")
                     .arg(name)
                     .arg(maximumSweepCount)
                     .arg(parts.value(2));
        return false;
    }
    if (axis->low > axis->high) {
        *error = QStringLiteral("--param %1: LOW %2 is above HIGH %3").arg(name, parts[0], parts[1]);
        return false;
    }
    if (axis->count == 1 && axis->low != axis->high) {
        *error = QStringLiteral("--param %1: a COUNT of 1 needs LOW = HIGH, got '%2'").arg(name, text.mid(equals + 1));
        return false;
    }
    if (axis->count > 1 && axis->low == axis->high) {
        *error = QStringLiteral("--param %1: %2 values from %3 to %3 are one value").arg(name).arg(axis->count).arg(parts[0]);
        return false;
    }
    const SweepRange range = sweepRange(axis->quantity);
    if (axis->low < range.low || axis->high > range.high) {
        *error = QStringLiteral("--param %1: %2 is outside the range %3 to %4")
                     .arg(name, numberText(axis->low < range.low ? axis->low : axis->high), numberText(range.low),
                          numberText(range.high));
        return false;
    }
    if (range.whole)
        for (int i = 0; i < axis->count; ++i) {
            const double v = axis->value(i);
            if (v != std::round(v)) {
                *error = QStringLiteral("--param %1 takes whole numbers: %2 gives %3")
                             .arg(name, text.mid(equals + 1), numberText(v));
                return false;
            }
        }
    return true;
}

QString checkSweepAxes(const std::vector<SweepAxis>& axes)
{
    if (axes.empty())
        return QStringLiteral("sweep needs at least one --param NAME=LOW:HIGH:COUNT");
    double points = 1.0;
    for (std::size_t i = 0; i < axes.size(); ++i) {
        points *= axes[i].count;
        for (std::size_t j = 0; j < i; ++j)
            if (axes[j].quantity == axes[i].quantity)
                return QStringLiteral("--param %1 is given twice").arg(QLatin1String(sweepQuantityName(axes[i].quantity)));
    }
    if (points > double(maximumSweepPoints))
        return QStringLiteral("the grid has %1 points, more than %2").arg(points, 0, 'f', 0).arg(maximumSweepPoints);
    return QString();
}

std::int64_t SweepIdentity::points() const
{
    std::int64_t n = 1;
    for (const SweepAxis& a : axes)
        n *= a.count;
    return n;
}

std::vector<int> SweepIdentity::indices(std::int64_t index) const
{
    std::vector<int> out(axes.size());
    for (std::size_t a = axes.size(); a-- > 0;) {
        out[a] = int(index % axes[a].count);
        index /= axes[a].count;
    }
    return out;
}

pipeline::PipelineSettings sweepPointSettings(const SweepIdentity& identity, std::int64_t index, int threads)
{
    pipeline::PipelineSettings s;
    PanelParameters& panel = s.design.panel;
    s.fit.order = identity.settings.order;
    const std::vector<int> at = identity.indices(index);
    for (std::size_t a = 0; a < identity.axes.size(); ++a) {
        const double v = identity.axes[a].value(at[a]);
        switch (identity.axes[a].quantity) {
        case SweepQuantity::Angle: panel.setAngle(v); break;
        case SweepQuantity::Index: panel.refractiveIndex = v; break;
        case SweepQuantity::Distance: panel.prismDistance = int(v); break;
        case SweepQuantity::FocalLength: panel.focalLength = int(v); break;
        case SweepQuantity::Size: panel.prismSize = int(v); break;
        case SweepQuantity::Order: s.fit.order = int(v); break;
        }
    }
    panel.virtualCameraPos = panel.prismDistance + panel.focalLength;
    s.runExports = false;
    s.verify.step = identity.settings.verifyStep;
    s.verify.keepPixels = false;
    if (identity.settings.targetPointsAcrossHalf > 0)
        s.calibration.pointsAcrossHalf = identity.settings.targetPointsAcrossHalf;
    s.design.threads = s.fit.threads = s.verify.threads = s.calibration.threads = threads;
    return s;
}

const char* pointStatusName(PointStatus status)
{
    static const char* const names[pointStatusCount] = {"ok", "design-failed", "fit-failed", "verify-failed",
                                                        "calibration-failed"};
    return names[int(status)];
}

bool parsePointStatus(const QString& name, PointStatus* status)
{
    for (int s = 0; s < pointStatusCount; ++s)
        if (name == QLatin1String(pointStatusName(PointStatus(s)))) {
            *status = PointStatus(s);
            return true;
        }
    return false;
}

const char* sweepFigureName(int figure)
{
    static const char* const names[sweepFigureCount] = {
        "directionRmsPx",        "directionMaxPx",         "nonCentralityLeftMm",     "nonCentralityRightMm",
        "residualLeftPx",        "residualRightPx",        "depthError1000mmPercent", "baselineMm"};
    return names[figure];
}

bool sweepFigureLargerIsBetter(int figure) { return figure == sweepFigureCount - 1; }

SweepRow runSweepPoint(const SweepIdentity& identity, std::int64_t index, int threads,
                       const core::ProgressRange& progress)
{
    SweepRow row;
    row.index = index;
    const std::vector<int> at = identity.indices(index);
    for (std::size_t a = 0; a < identity.axes.size(); ++a)
        row.values.push_back(identity.axes[a].value(at[a]));
    row.figures.value.fill(notANumber);
    pipeline::Pipeline run(sweepPointSettings(identity, index, threads));
    // OpenCV's random numbers are per thread: each point starts them afresh.
    cv::theRNG() = cv::RNG();
    try {
        run.run(progress);
    } catch (const core::OperationCancelled&) {
        throw;
    } catch (const std::exception& e) {
        row.figures.status = failedStage(run);
        row.failure = QString::fromUtf8(e.what()).simplified();
        return row;
    }
    const report::HeadlineFigures head = report::headlineFigures(run, 0.0);
    const verify::VerifyResult& prism = run.verification()->results.back();
    row.figures.value = {head.directionRmsPx,
                         head.directionMaxPx,
                         prism.halves[0].nonCentrality.rmsMm,
                         prism.halves[1].nonCentrality.rmsMm,
                         head.calibratedLeftRmsPx,
                         head.calibratedRightRmsPx,
                         head.depthErrorPercentAt1m,
                         head.baselineMm};
    return row;
}

std::vector<SweepRow> runSweepPoints(const SweepIdentity& identity, std::int64_t first, std::int64_t end,
                                     int threads, core::Progress* progress)
{
    // The points run side by side, each on one thread: OpenCV's and the
    // solver's own threads would split sums differently from run to run.
    cv::setNumThreads(0);
    const int count = int(std::max<std::int64_t>(0, end - first));
    std::vector<SweepRow> rows(static_cast<std::size_t>(count));
    std::atomic<int> done{0};
    core::ProgressRange range(progress, 0.0, 1.0, "sweep points");
    range.report(0.0);
    parallelFor(count, resolveThreadCount(threads), [&](int, int i) {
        range.throwIfCancelled();
        // A point's own stages only pass the cancel on: the fraction is the points done.
        rows[std::size_t(i)] = runSweepPoint(identity, first + i, 1, core::ProgressRange(progress, 0.0, 0.0, "sweep points"));
        range.report(double(done.fetch_add(1) + 1) / count);
    });
    return rows;
}

QByteArray sweepCsvHeader(const SweepIdentity& identity)
{
    QByteArray out("point,status");
    for (const SweepAxis& a : identity.axes)
        out.append(',').append(sweepQuantityName(a.quantity));
    for (int k = 0; k < sweepFigureCount; ++k)
        out.append(',').append(sweepFigureName(k));
    out.append('\n');
    return out;
}

QByteArray sweepCsvLine(const SweepRow& row)
{
    QByteArray out = QByteArray::number(qlonglong(row.index));
    out.append(',').append(pointStatusName(row.figures.status));
    for (double v : row.values) {
        out.append(',');
        appendCsvNumber(&out, v);
    }
    for (double v : row.figures.value) {
        out.append(',');
        appendCsvNumber(&out, v);
    }
    out.append('\n');
    return out;
}

int bestSweepPoint(const std::vector<SweepRow>& rows, int figure)
{
    int best = -1;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const double v = rows[i].figures.value[std::size_t(figure)];
        if (rows[i].figures.status != PointStatus::Ok || !std::isfinite(v))
            continue;
        const double b = best < 0 ? 0.0 : rows[std::size_t(best)].figures.value[std::size_t(figure)];
        if (best < 0 || (sweepFigureLargerIsBetter(figure) ? v > b : v < b))
            best = int(i);
    }
    return best;
}

QByteArray sweepSummaryJson(const SweepIdentity& identity, const Shard* shard, const std::vector<SweepRow>& rows)
{
    JsonWriter json;
    json.beginObject();
    json.key("format").string(QStringLiteral("harvenlotek-sweep"));
    json.key("version").integer(1);
    json.key("run");
    writeIdentity(json, identity);
    json.key("shard");
    if (shard) {
        json.beginObject().key("index").integer(shard->index).key("count").integer(shard->count);
        json.key("firstPoint").integer(shard->first(identity.points()));
        json.key("endPoint").integer(shard->end(identity.points()));
        json.endObject();
    } else {
        json.null();
    }
    std::array<std::int64_t, pointStatusCount> counts{};
    for (const SweepRow& r : rows)
        ++counts[std::size_t(r.figures.status)];
    json.key("counts").beginObject().key("points").integer(std::int64_t(rows.size()));
    const char* countNames[pointStatusCount] = {"ok", "designFailed", "fitFailed", "verifyFailed",
                                                "calibrationFailed"};
    for (int s = 0; s < pointStatusCount; ++s)
        json.key(countNames[s]).integer(counts[std::size_t(s)]);
    json.endObject();
    json.key("best").beginObject();
    for (int k = 0; k < sweepFigureCount; ++k) {
        json.key(sweepFigureName(k));
        const int best = bestSweepPoint(rows, k);
        if (best < 0) {
            json.null();
            continue;
        }
        const SweepRow& r = rows[std::size_t(best)];
        json.beginObject().key("point").integer(r.index).key("value").number(r.figures.value[std::size_t(k)]);
        for (std::size_t a = 0; a < identity.axes.size(); ++a)
            json.key(sweepQuantityName(identity.axes[a].quantity)).number(r.values[a]);
        json.endObject();
    }
    json.endObject();
    json.key("failures").beginArray();
    for (const SweepRow& r : rows)
        if (r.figures.status != PointStatus::Ok) {
            json.beginObject().key("point").integer(r.index);
            json.key("status").string(QLatin1String(pointStatusName(r.figures.status)));
            json.key("reason").string(r.failure).endObject();
        }
    json.endArray();
    json.endObject();
    return json.bytes();
}

bool isSweepFolder(const QString& directory)
{
    QFile file(QDir(directory).filePath(QString::fromLatin1(sweepSummaryFileName)));
    return file.exists();
}

namespace {

struct SweepShardFiles {
    QString directory;
    QJsonObject identityJson;
    SweepIdentity identity;
    Shard shard;
    QList<QByteArray> lines;
    std::vector<SweepRow> rows;
};

bool readSweepShard(const QString& directory, SweepShardFiles* out, QString* error)
{
    out->directory = directory;
    const QDir dir(directory);
    QJsonObject summary;
    if (!readShardSummary(directory, sweepSummaryFileName, &summary, &out->shard, error))
        return false;
    out->identityJson = summary.value(QStringLiteral("run")).toObject();
    if (summary.value(QStringLiteral("format")).toString() != QLatin1String("harvenlotek-sweep")
        || out->shard.index < 0 || !readIdentity(out->identityJson, &out->identity)) {
        *error = QStringLiteral("%1 is not a shard of a sweep").arg(directory);
        return false;
    }
    QFile csv(dir.filePath(QString::fromLatin1(sweepPointsFileName)));
    QList<QByteArray> rows;
    if (!csv.open(QIODevice::ReadOnly) || !tableRows(csv.readAll(), sweepCsvHeader(out->identity), &rows)) {
        *error = QStringLiteral("%1: %2 is missing or not the table of this sweep")
                     .arg(directory, QLatin1String(sweepPointsFileName));
        return false;
    }
    QMap<qint64, QString> reasons;
    for (const QJsonValue& v : summary.value(QStringLiteral("failures")).toArray())
        reasons.insert(qint64(v.toObject().value(QStringLiteral("point")).toDouble()),
                       v.toObject().value(QStringLiteral("reason")).toString());
    const std::int64_t first = out->shard.first(out->identity.points());
    const int axes = int(out->identity.axes.size());
    for (const QByteArray& line : rows) {
        const QList<QByteArray> cells = line.trimmed().split(',');
        SweepRow row;
        row.index = first + out->lines.size();
        bool ok = cells.size() == 2 + axes + sweepFigureCount && cells[0] == QByteArray::number(qlonglong(row.index))
                  && parsePointStatus(QString::fromLatin1(cells[1]), &row.figures.status);
        row.values.resize(std::size_t(axes));
        for (int a = 0; ok && a < axes; ++a)
            ok = parseCsvNumber(cells[2 + a], &row.values[std::size_t(a)]);
        for (int k = 0; ok && k < sweepFigureCount; ++k)
            ok = parseCsvNumber(cells[2 + axes + k], &row.figures.value[std::size_t(k)]);
        if (!ok) {
            *error = malformedRowMessage(directory, out->lines.size() + 1, sweepPointsFileName);
            return false;
        }
        row.failure = reasons.value(row.index);
        out->lines.append(line);
        out->rows.push_back(row);
    }
    *error = shardRowCountMessage(directory, out->shard, out->lines.size(), out->identity.points(), "points");
    return error->isEmpty();
}

}  // namespace

bool mergeSweepShards(const QStringList& directories, MergedSweep* merged, QString* error)
{
    std::vector<SweepShardFiles> shards(std::size_t(directories.size()));
    for (int i = 0; i < directories.size(); ++i)
        if (!readSweepShard(directories[i], &shards[std::size_t(i)], error))
            return false;
    std::vector<ShardEntry> entries;
    for (const SweepShardFiles& s : shards) {
        const SweepShardFiles& reference = shards.front();
        if (s.identityJson != reference.identityJson || s.shard.count != reference.shard.count) {
            *error = QStringLiteral("%1 is a shard of another sweep than %2 (its %3 differs)")
                         .arg(s.directory, reference.directory,
                              s.shard.count != reference.shard.count ? QStringLiteral("shard count")
                                                                     : QStringLiteral("grid or settings"));
            return false;
        }
        entries.push_back({s.directory, s.shard});
    }
    std::vector<std::size_t> order;
    if (!orderShards(entries, &order, error))
        return false;
    merged->identity = shards.front().identity;
    merged->pointsCsv = sweepCsvHeader(merged->identity);
    merged->rows.clear();
    for (std::size_t i : order) {
        for (const QByteArray& line : shards[i].lines)
            merged->pointsCsv.append(line);
        merged->rows.insert(merged->rows.end(), shards[i].rows.begin(), shards[i].rows.end());
    }
    merged->summaryJson = sweepSummaryJson(merged->identity, nullptr, merged->rows);
    return true;
}

}  // namespace tolerance
