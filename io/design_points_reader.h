#pragma once

// The strict reader of "outputall.txt", the design points the fit works on.
// A good file is lines of exactly six numbers separated by single blanks (or
// tabs) and ended by "\n" (a "\r" before it is allowed), each number finite
// or not-a-number ("nan", "-nan") in plain decimal or exponent notation; the
// values are exactly those from_chars/strtod give, bit for bit the doubles
// the lenient reader of fit/fit_files.h reads from such a file. Anything else
// is refused with the number of the first bad line and the reason: an empty
// file, a line with more or fewer numbers, a word or stray bytes (random data,
// UTF-16), an infinity, a magnitude beyond designPointsValueLimit, a line
// longer than designPointsMaxLineLength, a last line without its line end and
// with fewer than six numbers (a cut file; six complete numbers are read
// whole), more lines than designPointsMaxLines, or another line count than
// the one the caller expects.

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <vector>

// No coordinate of a prism in millimetres comes near this; beyond it powers
// of the coordinates would overflow the fit's normal equations.
inline constexpr double designPointsValueLimit = 1e9;
// Six numbers of at most 16 characters, blanks and line end: far below this.
inline constexpr int designPointsMaxLineLength = 512;
// The most rows the fit's buffers hold.
inline constexpr int designPointsMaxLines = 2591249;

struct DesignPointsError {
    int line = 0;     // 1-based number of the first bad line; 0 for the file as a whole
    QString reason;   // what is wrong, e.g. "5 numbers, expected 6"
    // "line 17: 5 numbers, expected 6" (or the reason alone when line is 0).
    QString message() const;
};

// Parses `length` bytes; `expectedLines` > 0 demands exactly that many lines.
// On success appends 6 values per line to *values and returns true.
bool parseDesignPoints(const char* text, std::size_t length, std::vector<double>* values,
                       DesignPointsError* error, int expectedLines = 0);
// Reads and parses a file, opened only if it is a regular file (io/safe_input.h);
// a file that cannot be read gives line 0 and the reason.
// *digest (if given) receives the file's digest (io/points_digest.h) when
// it could be read.
bool readDesignPoints(const QString& path, std::vector<double>* values, DesignPointsError* error,
                      int expectedLines = 0, QString* digest = nullptr);
