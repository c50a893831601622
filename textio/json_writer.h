#pragma once

// The system's JSON output: numbers in their shortest round-trip form
// (std::to_chars), non-finite numbers as null, keys in the order written.

#include <QByteArray>
#include <QString>

#include <vector>

// Appends `value` as a JSON number, or null when it is not finite.
void appendJsonNumber(QByteArray* out, double value);

class JsonWriter {
public:
    // Pretty: one member per line, two spaces per level; otherwise one line.
    explicit JsonWriter(bool pretty = true) : pretty_(pretty) {}

    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    // An array kept on one line, also in a pretty document.
    JsonWriter& beginInlineArray();
    JsonWriter& endArray();
    // The key of the next value inside an object.
    JsonWriter& key(const char* name);
    JsonWriter& number(double value);
    JsonWriter& integer(long long value);
    JsonWriter& boolean(bool value);
    JsonWriter& string(const QString& value);
    JsonWriter& null();

    // The text so far; a finished document ends in a line break when pretty.
    QByteArray bytes() const;

private:
    void beforeValue();
    void appendQuoted(const QString& value);
    void open(char bracket);
    void close(char bracket);
    bool pretty_;
    bool afterKey_ = false;
    std::vector<int> counts_;  // members written per open level
    int inlineLevels_ = 0;     // open inline arrays
    QByteArray out_;
};
