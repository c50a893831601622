#include "design/design_files.h"

#include "design/parallel_for.h"
#include "io/atomic_file_set.h"


#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace {

constexpr double exactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// True when |value| lies exactly halfway between two 6-digit decimals, i.e.
// is exactly D * 10^k for a 7-digit D ending in 5. printf-style formatting
// rounds such a value to even, Qt away from zero.
bool isHalfwayAtSixDigits(double value)
{
    const double a = std::fabs(value);
    if (a < 1e6) {
        // Then k < 0 and 5^-k divides D < 10^7, so the significand has at
        // most 24 bits: most values are ruled out by their low bits alone.
        std::uint64_t bits;
        std::memcpy(&bits, &a, sizeof bits);
        if ((bits & ((std::uint64_t(1) << 29) - 1)) != 0)
            return false;
    }
    char text[32];
    const char* const end = std::to_chars(text, text + sizeof text, a, std::chars_format::scientific, 6).ptr;
    // d.dddddde+XX
    if (text[7] != '5')
        return false;
    long long digits = text[0] - '0';
    for (int i = 2; i <= 7; ++i)
        digits = digits * 10 + (text[i] - '0');
    int exponent = 0;
    std::from_chars(text + (text[9] == '+' ? 10 : 9), end, exponent);
    const int k = exponent - 6;
    const double d = static_cast<double>(digits);
    if (k >= 0) {
        // D 5^k must fit in 53 bits, so k <= 22 and 10^k is exact.
        if (k > 22)
            return false;
        const double p = exactPowersOfTen[k];
        const double product = d * p;
        return product == a && std::fma(d, p, -product) == 0.0;
    }
    if (-k > 22)
        return false;
    const double p = exactPowersOfTen[-k];
    const double product = a * p;
    return product == d && std::fma(a, p, -product) == 0.0;
}

// One line: the values separated by single spaces, then "\n".
char* writeLine(char* out, const double* values, int count)
{
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            *out++ = ' ';
        out = formatDesignNumber(out, values[i]);
    }
    *out++ = '\n';
    return out;
}

constexpr char designSetName[] = "design";

} // namespace

char* formatDesignNumber(char* out, double value)
{
    if (std::isnan(value)) {
        std::memcpy(out, "nan", 3);
        return out + 3;
    }
    if (value == 0.0) {
        *out = '0';
        return out + 1;
    }
    if (std::isfinite(value) && isHalfwayAtSixDigits(value))
        value = std::nextafter(value, std::copysign(std::numeric_limits<double>::infinity(), value));
    return std::to_chars(out, out + designNumberMaxLength, value, std::chars_format::general, 6).ptr;
}

void computeRowX(DesignRecord& r)
{
    const double s = r.step;
    const double f = r.focalLength;
    const double q = r.quarterWidth;
    const double F = r.pinholeHeight;
    const double Cp = r.virtualPinholeX;
    const double rightAngle = 1.5707963267949;
    const int steps = r.quarterSteps;
    for (int i = 0; i < 4 * steps; ++i) {
        const int range = i / steps;
        const double t = (i - range * steps) * s;
        double alpha = 0.0;
        double beta = 0.0;
        switch (range) {
        case 0:
            alpha = std::atan((q - t) / f) + rightAngle;
            beta = std::atan((2 * q - t) / f) + rightAngle;
            break;
        case 1:
            alpha = rightAngle - std::atan(t / f);
            beta = std::atan((q - t) / f) + rightAngle;
            break;
        case 2:
            alpha = std::atan((q - t) / f) + rightAngle;
            beta = rightAngle - std::atan(t / f);
            break;
        default:
            alpha = rightAngle - std::atan(t / f);
            beta = rightAngle - std::atan((t + q) / f);
            break;
        }
        const double exitX = (r.rowHeights[0][i] - F) * std::cos(alpha) / (-std::sin(alpha));
        r.rowX[0][i] = range < 2 ? exitX + Cp : exitX - Cp;
        r.rowX[1][i] = (r.rowHeights[1][i] - F) * std::cos(beta) / (-std::sin(beta));
    }
}

bool writeProfileFile(DesignRecord& r, const QString& directory)
{
    AtomicFileSet set(directory, QString::fromLatin1(designSetName));
    return writeProfileFile(r, set) && set.commit();
}

bool writeProfileFile(DesignRecord& r, AtomicFileSet& set)
{
    computeRowX(r);
    const int lines = 4 * r.quarterSteps;
    std::vector<char> text(std::size_t(lines) * (4 * (designNumberMaxLength + 1) + 1));
    char* out = text.data();
    for (int i = 0; i < lines; ++i) {
        const double values[4] = {r.rowX[0][i], r.rowHeights[0][i], r.rowX[1][i], r.rowHeights[1][i]};
        out = writeLine(out, values, 4);
    }
    return set.stage(QString::fromLatin1(designProfileFileName), text.data(), std::size_t(out - text.data()));
}

int gridFileLineCount(const DesignRecord& r)
{
    const std::int64_t elements = std::int64_t(8) * r.quarterSteps * r.halfSteps;
    return int(std::clamp<std::int64_t>(elements, 0, INT_MAX) / 10);
}

GridFileResult writeGridFile(const DesignRecord& r, const QString& directory, int threadCount)
{
    AtomicFileSet set(directory, QString::fromLatin1(designSetName));
    GridFileResult result = writeGridFile(r, set, threadCount);
    result.written = result.written && set.commit();
    return result;
}

GridFileResult writeGridFile(const DesignRecord& r, AtomicFileSet& set, int threadCount)
{
    constexpr int chunkLines = 4096;
    constexpr std::size_t maxLineLength = 6 * (designNumberMaxLength + 1) + 1;
    const int lines = gridFileLineCount(r);
    const int chunks = (lines + chunkLines - 1) / chunkLines;

    // One buffer with a fixed slot per chunk, allocated before the threads
    // start; the chunks are formatted in parallel and written in order.
    std::unique_ptr<char[]> text(new char[std::size_t(lines) * maxLineLength + 1]);
    std::vector<ByteSpan> pieces(static_cast<std::size_t>(chunks));
    std::vector<int> nonFinite(static_cast<std::size_t>(chunks), 0);
    parallelFor(chunks, threadCount, [&](int, int chunk) {
        const int first = chunk * chunkLines;
        const int last = std::min(lines, first + chunkLines);
        char* const begin = text.get() + std::size_t(first) * maxLineLength;
        char* out = begin;
        int count = 0;
        for (int line = first; line < last; ++line) {
            const std::size_t e = std::size_t(10) * std::size_t(line);
            const double values[6] = {r.gridX[0][e], r.gridY[0][e], r.gridZ[0][e],
                                      r.gridX[1][e], r.gridY[1][e], r.gridZ[1][e]};
            for (double value : values) {
                if (!std::isfinite(value)) {
                    ++count;
                    break;
                }
            }
            out = writeLine(out, values, 6);
        }
        pieces[std::size_t(chunk)] = {begin, std::size_t(out - begin)};
        nonFinite[std::size_t(chunk)] = count;
    });

    GridFileResult result;
    for (int count : nonFinite)
        result.nonFiniteLines += count;
    result.written = set.stage(QString::fromLatin1(designPointsFileName), pieces);
    return result;
}
