#include "tolerance/shards.h"

#include "io/atomic_file_set.h"
#include "textio/json_writer.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QStringList>

#include <charconv>
#include <cmath>
#include <limits>

namespace tolerance {

bool parseShard(const QString& text, Shard* shard, QString* error)
{
    const QStringList parts = text.split(QLatin1Char('/'));
    bool okIndex = false, okCount = false;
    const int index = parts.size() == 2 ? parts[0].toInt(&okIndex) : -1;
    const int count = parts.size() == 2 ? parts[1].toInt(&okCount) : 0;
    if (!okIndex || !okCount || count < 1 || index < 0 || index >= count) {
        *error = QStringLiteral("--shard takes i/K with K at least 1 and i from 0 to K-1, got '%1'").arg(text);
        return false;
    }
    shard->index = index;
    shard->count = count;
    return true;
}

bool orderShards(const std::vector<ShardEntry>& entries, std::vector<std::size_t>* order, QString* error)
{
    if (entries.empty()) {
        *error = QStringLiteral("merge needs the shard folders");
        return false;
    }
    std::map<int, std::size_t> byIndex;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const ShardEntry& s = entries[i];
        if (s.shard.index < 0 || s.shard.index >= s.shard.count) {
            *error = QStringLiteral("%1 names shard %2 of %3").arg(s.directory).arg(s.shard.index).arg(s.shard.count);
            return false;
        }
        const auto found = byIndex.find(s.shard.index);
        if (found != byIndex.end()) {
            *error = QStringLiteral("shard %1/%2 is given twice: %3 and %4")
                         .arg(s.shard.index)
                         .arg(s.shard.count)
                         .arg(entries[found->second].directory, s.directory);
            return false;
        }
        byIndex[s.shard.index] = i;
    }
    const int count = entries.front().shard.count;
    QStringList missing;
    for (int i = 0; i < count; ++i)
        if (!byIndex.count(i))
            missing << QStringLiteral("%1/%2").arg(i).arg(count);
    if (!missing.isEmpty()) {
        *error = QStringLiteral("missing shard%1: %2").arg(missing.size() > 1 ? "s" : "", missing.join(QStringLiteral(", ")));
        return false;
    }
    order->clear();
    for (const auto& entry : byIndex)
        order->push_back(entry.second);
    return true;
}

void appendCsvNumber(QByteArray* out, double value)
{
    if (std::isfinite(value))
        appendJsonNumber(out, value);
}

bool parseCsvNumber(const QByteArray& text, double* value)
{
    if (text.isEmpty()) {
        *value = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    const std::from_chars_result r = std::from_chars(text.constData(), text.constData() + text.size(), *value);
    return r.ec == std::errc() && r.ptr == text.constData() + text.size();
}

bool tableRows(const QByteArray& text, const QByteArray& header, QList<QByteArray>* rows)
{
    if (!text.startsWith(header) || !text.endsWith('\n'))
        return false;
    int start = header.size();
    while (start < text.size()) {
        const int stop = text.indexOf('\n', start);
        rows->append(text.mid(start, stop - start + 1));
        start = stop + 1;
    }
    return true;
}

bool readShardSummary(const QString& directory, const char* fileName, QJsonObject* summary, Shard* shard,
                      QString* error)
{
    QFile file(QDir(directory).filePath(QString::fromLatin1(fileName)));
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1 holds no %2").arg(directory, QLatin1String(fileName));
        return false;
    }
    *summary = QJsonDocument::fromJson(file.readAll()).object();
    const QJsonObject named = summary->value(QStringLiteral("shard")).toObject();
    shard->index = named.isEmpty() ? -1 : named.value(QStringLiteral("index")).toInt(-1);
    shard->count = named.value(QStringLiteral("count")).toInt(0);
    return true;
}

QString malformedRowMessage(const QString& directory, int row, const char* fileName)
{
    return QStringLiteral("%1: row %2 of %3 is malformed").arg(directory).arg(row).arg(QLatin1String(fileName));
}

QString shardRowCountMessage(const QString& directory, const Shard& shard, std::int64_t rows, std::int64_t items,
                             const char* unit)
{
    const std::int64_t share = shard.end(items) - shard.first(items);
    if (rows == share)
        return QString();
    return QStringLiteral("%1: shard %2/%3 holds %4 %5, not %6")
        .arg(directory)
        .arg(shard.index)
        .arg(shard.count)
        .arg(rows)
        .arg(QLatin1String(unit))
        .arg(share);
}

bool writeRunFiles(const QString& directory, const QList<QPair<QString, QByteArray>>& files, QString* error,
                   const QString& setName)
{
    if (!QDir().mkpath(directory)) {
        *error = QStringLiteral("cannot create the output folder %1").arg(directory);
        return false;
    }
    AtomicFileSet set(directory, setName);
    QStringList names;
    for (const auto& f : files)
        names << f.first;
    bool ok = set.checkTargets(names);
    for (const auto& f : files)
        ok = ok && set.stage(f.first, f.second.constData(), std::size_t(f.second.size()));
    ok = ok && set.commit();
    if (!ok)
        *error = set.errorString();
    return ok;
}

}  // namespace tolerance
