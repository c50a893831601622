#include "design/design_files.h"

#include "core/parallel_for.h"
#include "io/atomic_file_set.h"
#include "io/points_digest.h"
#include "textio/number_text.h"


#include <algorithm>
#include <atomic>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
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

// Lines [first, last) of "outputall.txt": element 10 L of the grid on line L.
char* writeGridLines(const DesignRecord& r, int first, int last, char* out, int* nonFiniteLines)
{
    const std::size_t stride = std::size_t(r.gridStride > 1 ? r.gridStride : 1);
    for (int line = first; line < last; ++line) {
        const std::size_t e = std::size_t(10) * std::size_t(line) / stride;
        const double values[6] = {r.gridX[0][e], r.gridY[0][e], r.gridZ[0][e],
                                  r.gridX[1][e], r.gridY[1][e], r.gridZ[1][e]};
        for (double value : values) {
            if (!std::isfinite(value)) {
                ++*nonFiniteLines;
                break;
            }
        }
        out = writeLine(out, values, 6);
    }
    return out;
}

constexpr int gridChunkLines = 4096;
constexpr std::size_t gridMaxLineLength = 6 * (designNumberMaxLength + 1) + 1;

constexpr char designSetName[] = "design";

} // namespace

namespace {

__extension__ typedef unsigned __int128 Wide;

constexpr std::uint64_t exactPowerOfTen[] = {1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull,
                                            10000000ull, 100000000ull, 1000000000ull, 10000000000ull};

// The fixed-notation form for 1e-4 <= |value| < 1e6, the range of nearly
// every design number: the six significant digits by exact integer
// arithmetic on the binary value, rounded to nearest with halfway cases away
// from zero, trailing zeros dropped. Null where the rounded number takes the
// exponent form (999999.5 and up), so the caller formats it the long way.
char* formatFixedSixDigits(char* out, double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const int biased = int((bits >> 52) & 0x7FF);
    const std::uint64_t mantissa = (bits & ((std::uint64_t(1) << 52) - 1)) | (std::uint64_t(1) << 52);
    const int shift = 1075 - biased;  // |value| = mantissa / 2^shift, 33 <= shift <= 67 here
    // Decimal exponent estimate from the binary one, then corrected: the
    // scaled value |value| 10^(5 - exponent) has six integer digits.
    // floor(e log10 2) within one for the binary exponents here.
    const int binaryExponent = 52 - shift;
    int exponent = binaryExponent >= 0 ? (binaryExponent * 1233) >> 12 : -((-binaryExponent * 1233 + 4095) >> 12);
    Wide scaled = 0;
    std::uint64_t whole = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int k = 5 - exponent;
        if (k < 0 || k > 10)
            return nullptr;
        scaled = Wide(mantissa) * exactPowerOfTen[k];
        whole = std::uint64_t(scaled >> shift);
        if (whole < 100000)
            --exponent;
        else if (whole >= 1000000)
            ++exponent;
        else
            break;
    }
    if (whole < 100000 || whole >= 1000000)
        return nullptr;
    const Wide remainder = scaled - (Wide(whole) << shift);
    std::uint64_t digits = whole + (remainder >= (Wide(1) << (shift - 1)) ? 1 : 0);
    if (digits == 1000000) {
        digits = 100000;
        ++exponent;
    }
    if (exponent < -4 || exponent > 5)
        return nullptr;
    static constexpr char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    char text[6];
    const unsigned high = unsigned(digits / 10000);
    const unsigned low = unsigned(digits % 10000);
    std::memcpy(text, pairs + 2 * high, 2);
    std::memcpy(text + 2, pairs + 2 * (low / 100), 2);
    std::memcpy(text + 4, pairs + 2 * (low % 100), 2);
    int last = 5;
    while (last > 0 && text[last] == '0')
        --last;
    if (value < 0)
        *out++ = '-';
    if (exponent >= 0) {
        for (int i = 0; i <= exponent; ++i)
            *out++ = text[i];
        if (last > exponent) {
            *out++ = '.';
            for (int i = exponent + 1; i <= last; ++i)
                *out++ = text[i];
        }
    } else {
        *out++ = '0';
        *out++ = '.';
        for (int i = exponent; i < -1; ++i)
            *out++ = '0';
        for (int i = 0; i <= last; ++i)
            *out++ = text[i];
    }
    return out;
}

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
    const double magnitude = std::fabs(value);
    if (magnitude >= 1e-4 && magnitude < 1e6) {
        if (char* end = formatFixedSixDigits(out, value))
            return end;
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

std::string profileFileText(DesignRecord& r)
{
    computeRowX(r);
    const int lines = 4 * r.quarterSteps;
    std::string text(std::size_t(lines) * (4 * (designNumberMaxLength + 1) + 1), '\0');
    char* const begin = &text[0];
    char* out = begin;
    for (int i = 0; i < lines; ++i) {
        const double values[4] = {r.rowX[0][i], r.rowHeights[0][i], r.rowX[1][i], r.rowHeights[1][i]};
        out = writeLine(out, values, 4);
    }
    text.resize(std::size_t(out - begin));
    return text;
}

bool writeProfileFile(DesignRecord& r, AtomicFileSet& set)
{
    const std::string text = profileFileText(r);
    return set.stage(QString::fromLatin1(designProfileFileName), text.data(), text.size());
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

GridFileResult writeGridFile(const DesignRecord& r, AtomicFileSet& set, int threadCount, bool keepFileValues)
{
    constexpr int chunkLines = gridChunkLines;
    constexpr std::size_t maxLineLength = gridMaxLineLength;
    const int lines = gridFileLineCount(r);
    const int chunks = (lines + chunkLines - 1) / chunkLines;
    const int workers = std::max(1, std::min(threadCount, chunks));

    // The chunks are formatted in parallel, a batch of them at a time, each in
    // its worker's scratch and then into a text of its own length; a batch is
    // written in order while the next is not yet made, so the file's text is
    // never held whole. The file's numbers are read back from that text when
    // asked for.
    const int batchChunks = 2 * workers;
    std::vector<std::vector<char>> scratch(std::size_t(workers), std::vector<char>(chunkLines * maxLineLength));
    std::vector<std::string> texts(static_cast<std::size_t>(batchChunks));
    std::vector<int> nonFinite(static_cast<std::size_t>(chunks), 0);
    GridFileResult result;
    if (keepFileValues)
        result.fileValues.resize(std::size_t(lines) * 6);
    std::atomic<bool> failed{false};
    int madeChunks = 0;  // chunks formatted so far, all batches before the current one included
    const auto makeBatch = [&](int firstChunk) {
        const int count = std::min(batchChunks, chunks - firstChunk);
        parallelFor(count, workers, [&](int worker, int index) {
            try {
                const int chunk = firstChunk + index;
                const int first = chunk * chunkLines;
                const int last = std::min(lines, first + chunkLines);
                char* const begin = scratch[std::size_t(worker)].data();
                int nonFiniteLines = 0;
                char* const out = writeGridLines(r, first, last, begin, &nonFiniteLines);
                std::string& text = texts[std::size_t(index)];
                text.assign(begin, out);
                nonFinite[std::size_t(chunk)] = nonFiniteLines;
                if (keepFileValues) {
                    std::vector<double> numbers;
                    numbers.reserve(std::size_t(last - first) * 6);
                    readNumbers(text.c_str(), text.size(), &numbers);
                    if (numbers.size() != std::size_t(last - first) * 6)
                        failed = true;
                    else
                        std::copy(numbers.begin(), numbers.end(),
                                  result.fileValues.begin() + std::ptrdiff_t(first) * 6);
                }
            } catch (...) {
                failed = true;
            }
        });
        madeChunks = firstChunk + count;
    };
    PointsDigest digest;
    const ByteSource source{std::size_t(chunks), [&](std::size_t chunk) {
                                if (int(chunk) == madeChunks)
                                    makeBatch(int(chunk));
                                if (failed)
                                    return ByteSpan{nullptr, 1};
                                const std::string& text = texts[chunk % std::size_t(batchChunks)];
                                digest.add(text.data(), text.size());
                                return ByteSpan{text.data(), text.size()};
                            }};
    result.written = set.stage(QString::fromLatin1(designPointsFileName), source);
    if (result.written)
        result.digest = digest.hex();
    // A file that could not be written still has its lines counted.
    while (madeChunks < chunks && !failed)
        makeBatch(madeChunks);
    if (failed)
        throw std::bad_alloc();
    for (int count : nonFinite)
        result.nonFiniteLines += count;
    return result;
}

std::string gridFileText(const DesignRecord& r, int threadCount, int* nonFiniteLines)
{
    const int lines = gridFileLineCount(r);
    const int chunks = (lines + gridChunkLines - 1) / gridChunkLines;
    std::vector<std::string> texts(std::size_t(std::max(chunks, 0)));
    std::vector<int> nonFinite(texts.size(), 0);
    parallelFor(chunks, std::max(1, std::min(threadCount, chunks)), [&](int, int chunk) {
        const int first = chunk * gridChunkLines;
        const int last = std::min(lines, first + gridChunkLines);
        std::string& text = texts[std::size_t(chunk)];
        text.resize(std::size_t(last - first) * gridMaxLineLength);
        char* const begin = &text[0];
        text.resize(std::size_t(writeGridLines(r, first, last, begin, &nonFinite[std::size_t(chunk)]) - begin));
    });
    std::size_t size = 0;
    for (const std::string& text : texts)
        size += text.size();
    std::string whole;
    whole.reserve(size);
    for (std::string& text : texts) {
        whole += text;
        std::string().swap(text);
    }
    if (nonFiniteLines) {
        *nonFiniteLines = 0;
        for (int count : nonFinite)
            *nonFiniteLines += count;
    }
    return whole;
}
