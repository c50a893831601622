#include "io/design_points_reader.h"

#include "io/points_digest.h"

#include "io/safe_input.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace {

// A token as the message shows it: at most 24 characters, bytes outside
// printable ASCII as \xNN.
QString quoted(const char* begin, const char* end)
{
    QString text;
    for (const char* p = begin; p != end && text.size() < 24; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c < 0x7f)
            text += QLatin1Char(char(c));
        else
            text += QStringLiteral("\\x%1").arg(unsigned(c), 2, 16, QLatin1Char('0'));
    }
    if (end - begin > 24)
        text += QStringLiteral("...");
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

bool fail(DesignPointsError* error, int line, const QString& reason)
{
    if (error) {
        error->line = line;
        error->reason = reason;
    }
    return false;
}

} // namespace

QString DesignPointsError::message() const
{
    return line > 0 ? QStringLiteral("line %1: %2").arg(line).arg(reason) : reason;
}

bool parseDesignPoints(const char* text, std::size_t length, std::vector<double>* values,
                       DesignPointsError* error, int expectedLines)
{
    if (length == 0)
        return fail(error, 0, QStringLiteral("the file is empty"));
    std::vector<double> parsed;
    parsed.reserve(expectedLines > 0 ? std::size_t(expectedLines) * 6 : length / 8);
    const char* p = text;
    const char* const end = text + length;
    int line = 0;
    while (p != end) {
        ++line;
        if (line > designPointsMaxLines)
            return fail(error, line, QStringLiteral("more than %1 lines").arg(designPointsMaxLines));
        const char* lineEnd = p;
        while (lineEnd != end && *lineEnd != '\n' && lineEnd - p <= designPointsMaxLineLength)
            ++lineEnd;
        if (lineEnd - p > designPointsMaxLineLength)
            return fail(error, line, QStringLiteral("longer than %1 bytes").arg(designPointsMaxLineLength));
        // A last line without its line end is read whole when it holds six
        // numbers; with fewer it is a cut file.
        const bool unterminated = lineEnd == end;
        const char* contentEnd = lineEnd;
        if (contentEnd != p && contentEnd[-1] == '\r')
            --contentEnd;
        int count = 0;
        const char* q = p;
        for (;;) {
            while (q != contentEnd && (*q == ' ' || *q == '\t'))
                ++q;
            if (q == contentEnd)
                break;
            const char* tokenEnd = q;
            while (tokenEnd != contentEnd && *tokenEnd != ' ' && *tokenEnd != '\t')
                ++tokenEnd;
            double value = 0.0;
            const auto [stop, code] = std::from_chars(q, tokenEnd, value, std::chars_format::general);
            if (code == std::errc::result_out_of_range)
                return fail(error, line, QStringLiteral("%1 is out of range").arg(quoted(q, tokenEnd)));
            if (code != std::errc() || stop != tokenEnd)
                return fail(error, line, QStringLiteral("%1 is not a number").arg(quoted(q, tokenEnd)));
            if (std::isinf(value))
                return fail(error, line, QStringLiteral("%1 is infinite").arg(quoted(q, tokenEnd)));
            if (std::fabs(value) > designPointsValueLimit)
                return fail(error, line, QStringLiteral("%1 is beyond %2 mm").arg(quoted(q, tokenEnd)).arg(designPointsValueLimit));
            ++count;
            if (count > 6)
                return fail(error, line, QStringLiteral("more than 6 numbers"));
            parsed.push_back(value);
            q = tokenEnd;
        }
        if (count != 6 && unterminated)
            return fail(error, line,
                        QStringLiteral("%1 numbers, expected 6; the last line has no line end (the file is cut short)")
                            .arg(count));
        if (count != 6)
            return fail(error, line, QStringLiteral("%1 numbers, expected 6").arg(count));
        p = unterminated ? end : lineEnd + 1;
    }
    if (expectedLines > 0 && line != expectedLines)
        return fail(error, 0, QStringLiteral("%1 lines, expected %2").arg(line).arg(expectedLines));
    values->insert(values->end(), parsed.begin(), parsed.end());
    return true;
}

bool readDesignPoints(const QString& path, std::vector<double>* values, DesignPointsError* error,
                      int expectedLines, QString* digest)
{
    QByteArray bytes;
    QString reason;
    const qint64 limit = qint64(designPointsMaxLines) * (designPointsMaxLineLength + 1);
    if (!readRegularFile(path, &bytes, &reason, limit))
        return fail(error, 0, reason);
    if (digest)
        *digest = pointsDigestOf(bytes.constData(), std::size_t(bytes.size()));
    return parseDesignPoints(bytes.constData(), std::size_t(bytes.size()), values, error, expectedLines);
}
