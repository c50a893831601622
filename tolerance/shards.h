#pragma once

// What the sharded studies (the tolerance run, the design sweep) share: the
// shard "i/K" of a run of N items (items [i N / K, (i + 1) N / K)), the check
// that a set of shard folders holds each shard of one run once, the table
// cells of the per-item CSV files, and the atomic write of a run's files.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

#include <cstdint>
#include <map>
#include <vector>

namespace tolerance {

struct Shard {
    int index = 0;
    int count = 1;
    std::int64_t first(std::int64_t items) const { return items * index / count; }
    std::int64_t end(std::int64_t items) const { return items * (index + 1) / count; }
};
// "i/K" with 0 <= i < K; false with a one-line message otherwise.
bool parseShard(const QString& text, Shard* shard, QString* error);

// One shard folder of a run, as read back.
struct ShardEntry {
    QString directory;
    Shard shard;
};
// Orders the shards of one run (their counts already found equal) by index:
// false with a one-line message naming a shard outside 0..K-1, a shard given
// twice or the shards missing. `order` gets positions into `entries`.
bool orderShards(const std::vector<ShardEntry>& entries, std::vector<std::size_t>* order, QString* error);

// A number in a table cell: its shortest round-trip form, empty when not
// finite; and back (an empty cell reads as NaN).
void appendCsvNumber(QByteArray* out, double value);
bool parseCsvNumber(const QByteArray& text, double* value);

// The rows of a table file after its header, each with its line break;
// false when the text does not start with the header or does not end a line.
bool tableRows(const QByteArray& text, const QByteArray& header, QList<QByteArray>* rows);

// Reads the summary file `fileName` of a shard folder: its JSON object and
// the shard it names ("shard": index and count; index -1 where it names
// none). False with a one-line message when the file cannot be read.
bool readShardSummary(const QString& directory, const char* fileName, QJsonObject* summary, Shard* shard,
                      QString* error);

// The one-line messages of a shard's table read back: row `row` (from 1)
// malformed, or a row count other than the shard's share.
QString malformedRowMessage(const QString& directory, int row, const char* fileName);
// Null when the shard holds `rows` of its share of `items`, else the message.
QString shardRowCountMessage(const QString& directory, const Shard& shard, std::int64_t rows, std::int64_t items,
                             const char* unit);

// Writes the files of a run or shard atomically (as one set named
// `setName`), making the folder first.
bool writeRunFiles(const QString& directory, const QList<QPair<QString, QByteArray>>& files, QString* error,
                   const QString& setName = QStringLiteral("tolerance"));

}  // namespace tolerance
