#include "textio/json_writer.h"

#include <charconv>
#include <cmath>

void appendJsonNumber(QByteArray* out, double value)
{
    if (!std::isfinite(value)) {
        out->append("null");
        return;
    }
    char text[32];
    const std::to_chars_result r = std::to_chars(text, text + sizeof text, value);
    out->append(text, static_cast<int>(r.ptr - text));
}

void JsonWriter::beforeValue()
{
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (counts_.empty())
        return;
    if (counts_.back()++ > 0)
        out_.append(inlineLevels_ > 0 && pretty_ ? ", " : ",");
    if (pretty_ && inlineLevels_ == 0)
        out_.append('\n').append(QByteArray(2 * static_cast<int>(counts_.size()), ' '));
}

void JsonWriter::open(char bracket)
{
    beforeValue();
    out_.append(bracket);
    counts_.push_back(0);
}

void JsonWriter::close(char bracket)
{
    const bool hadMembers = !counts_.empty() && counts_.back() > 0;
    if (!counts_.empty())
        counts_.pop_back();
    if (inlineLevels_ > 0)
        --inlineLevels_;
    else if (pretty_ && hadMembers)
        out_.append('\n').append(QByteArray(2 * static_cast<int>(counts_.size()), ' '));
    out_.append(bracket);
    if (pretty_ && counts_.empty())
        out_.append('\n');
}

JsonWriter& JsonWriter::beginObject()
{
    open('{');
    return *this;
}

JsonWriter& JsonWriter::endObject()
{
    close('}');
    return *this;
}

JsonWriter& JsonWriter::beginArray()
{
    open('[');
    return *this;
}

JsonWriter& JsonWriter::beginInlineArray()
{
    open('[');
    ++inlineLevels_;
    return *this;
}

JsonWriter& JsonWriter::endArray()
{
    close(']');
    return *this;
}

void JsonWriter::appendQuoted(const QString& value)
{
    out_.append('"');
    for (const QChar c : value) {
        const ushort u = c.unicode();
        if (u == '"' || u == '\\')
            out_.append('\\').append(char(u));
        else if (u < 0x20)
            out_.append(QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0')).toLatin1());
        else
            out_.append(QString(c).toUtf8());
    }
    out_.append('"');
}

JsonWriter& JsonWriter::key(const char* name)
{
    beforeValue();
    appendQuoted(QString::fromUtf8(name));
    out_.append(pretty_ ? ": " : ":");
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::number(double value)
{
    beforeValue();
    appendJsonNumber(&out_, value);
    return *this;
}

JsonWriter& JsonWriter::integer(long long value)
{
    beforeValue();
    out_.append(QByteArray::number(value));
    return *this;
}

JsonWriter& JsonWriter::boolean(bool value)
{
    beforeValue();
    out_.append(value ? "true" : "false");
    return *this;
}

JsonWriter& JsonWriter::string(const QString& value)
{
    beforeValue();
    appendQuoted(value);
    return *this;
}

JsonWriter& JsonWriter::null()
{
    beforeValue();
    out_.append("null");
    return *this;
}

QByteArray JsonWriter::bytes() const
{
    return out_;
}
