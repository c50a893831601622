#include "fit/fit_files.h"

#include "io/atomic_file_set.h"

#include <QByteArray>
#include <QDir>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <utility>

QString fitFilePath(const QString& directory, const char* fileName)
{
    return QDir(directory).filePath(QString::fromLatin1(fileName));
}

namespace {

__extension__ typedef unsigned __int128 Wide;

}  // namespace

namespace {

// Room for one "%16.8f" field: the widest double in fixed notation.
constexpr std::size_t fieldRoom = 400;

// The value rounded to 8 decimals as an integer count of 1e-8 (exact
// fixed-point rounding of the binary value, ties to even, as glibc's printf
// does). False from 2^37 on and for inf and nan, where printf is asked.
bool scaledToEightDecimals(double value, std::uint64_t* scaled, bool* negative)
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    *negative = (bits >> 63) != 0;
    const int biasedExponent = static_cast<int>((bits >> 52) & 0x7FF);
    std::uint64_t mantissa = bits & ((std::uint64_t(1) << 52) - 1);
    if (biasedExponent >= 1023 + 37)  // 2^37 > 9e10, inf and nan included
        return false;
    int shift = 1074;  // value = mantissa / 2^shift
    if (biasedExponent != 0) {
        mantissa |= std::uint64_t(1) << 52;
        shift = 1075 - biasedExponent;
    }
    *scaled = 0;
    if (shift < 128) {  // otherwise below half of the last decimal
        const Wide product = static_cast<Wide>(mantissa) * 100000000u;
        Wide quotient = product >> shift;
        const Wide remainder = product - (quotient << shift);
        const Wide half = static_cast<Wide>(1) << (shift - 1);
        if (remainder > half || (remainder == half && (quotient & 1u) != 0))
            ++quotient;
        *scaled = static_cast<std::uint64_t>(quotient);
    }
    return true;
}

// Writes value in "%16.8f" form at out and returns the end.
char* formatFixed16_8(char* out, double value)
{
    std::uint64_t scaled = 0;
    bool negative = false;
    if (!scaledToEightDecimals(value, &scaled, &negative)) {
        CNumericLocale c;
        return out + std::snprintf(out, fieldRoom, "%16.8f", value);
    }
    static constexpr char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    char digits[24];
    char* const digitsEnd = digits + sizeof digits;
    char* p = digitsEnd;
    std::uint32_t fraction = static_cast<std::uint32_t>(scaled % 100000000u);
    std::uint64_t integerPart = scaled / 100000000u;
    for (int i = 0; i < 4; ++i) {
        p -= 2;
        std::memcpy(p, pairs + 2 * (fraction % 100u), 2);
        fraction /= 100u;
    }
    *--p = '.';
    while (integerPart >= 100u) {
        p -= 2;
        std::memcpy(p, pairs + 2 * (integerPart % 100u), 2);
        integerPart /= 100u;
    }
    if (integerPart >= 10u) {
        p -= 2;
        std::memcpy(p, pairs + 2 * integerPart, 2);
    } else {
        *--p = static_cast<char>('0' + integerPart);
    }
    if (negative)
        *--p = '-';
    const std::size_t width = static_cast<std::size_t>(digitsEnd - p);
    if (width < 16) {
        std::memset(out, ' ', 16 - width);
        out += 16 - width;
    }
    std::memcpy(out, p, width);
    return out + width;
}

}  // namespace

double pointRowValue(double value)
{
    std::uint64_t scaled = 0;
    bool negative = false;
    if (scaledToEightDecimals(value, &scaled, &negative) && scaled < (std::uint64_t(1) << 53)) {
        // Both operands are exact, so the quotient is the correctly rounded
        // value of the decimal text, which is what strtod returns.
        const double magnitude = static_cast<double>(scaled) / 100000000.0;
        return negative ? -magnitude : magnitude;
    }
    char field[fieldRoom + 1];
    *formatFixed16_8(field, value) = '\0';
    CNumericLocale c;
    return std::strtod(field, nullptr);
}

void appendPointRow(std::string* out, double x, double y, double z)
{
    char row[3 * fieldRoom + 8];
    char* p = formatFixed16_8(row, x);
    *p++ = ' ';
    *p++ = ' ';
    p = formatFixed16_8(p, y);
    *p++ = ' ';
    *p++ = ' ';
    p = formatFixed16_8(p, z);
    *p++ = '\n';
    out->append(row, static_cast<std::size_t>(p - row));
}

PointRowPrefixes pointRowPrefixes(const double* x, const double* y, int count, bool negateX)
{
    PointRowPrefixes prefixes;
    const std::size_t n = static_cast<std::size_t>(std::max(count, 0));
    prefixes.text.reserve(n * 36);
    prefixes.ends.reserve(n);
    char field[2 * fieldRoom + 4];
    for (std::size_t i = 0; i < n; ++i) {
        char* p = formatFixed16_8(field, negateX ? -x[i] : x[i]);
        *p++ = ' ';
        *p++ = ' ';
        p = formatFixed16_8(p, y[i]);
        *p++ = ' ';
        *p++ = ' ';
        prefixes.text.append(field, static_cast<std::size_t>(p - field));
        prefixes.ends.push_back(prefixes.text.size());
    }
    return prefixes;
}

namespace {

// Rows gathered in a block and handed to the text a block at a time.
class RowText {
public:
    RowText(std::string* text, std::size_t expectedSize) : text_(*text)
    {
        text_.clear();
        text_.reserve(expectedSize);
    }
    ~RowText() { flush(); }
    RowText(const RowText&) = delete;
    RowText& operator=(const RowText&) = delete;

    void add(const PointRowPrefixes& prefixes, std::size_t i, double z)
    {
        const std::size_t begin = i == 0 ? 0 : prefixes.ends[i - 1];
        const std::size_t length = prefixes.ends[i] - begin;
        if (used_ + length + fieldRoom + 1 > sizeof block_)
            flush();
        char* out = block_ + used_;
        if (length == 36)  // the usual prefix: two 16-character fields
            std::memcpy(out, prefixes.text.data() + begin, 36);
        else
            std::memcpy(out, prefixes.text.data() + begin, length);
        out = formatFixed16_8(out + length, z);
        *out++ = '\n';
        used_ = static_cast<std::size_t>(out - block_);
    }

private:
    void flush()
    {
        text_.append(block_, used_);
        used_ = 0;
    }

    std::string& text_;
    char block_[65536];
    std::size_t used_ = 0;
};

}  // namespace

void surface1FitText(std::string* text, const PointRowPrefixes& prefixes, const double* fitted)
{
    const std::size_t n = prefixes.ends.size();
    RowText rows(text, prefixes.text.size() + n * 17);
    for (std::size_t i = 0; i < n; ++i)
        rows.add(prefixes, i, fitted[i]);
}

void surface2FitText(std::string* text, const PointRowPrefixes& prefixes, const PointRowPrefixes& mirrored,
                     const double* fitted)
{
    const std::size_t n = prefixes.ends.size();
    RowText rows(text, prefixes.text.size() + mirrored.text.size() + n * 34);
    // Surface 2 was fitted on its x > 0 half only; the view needs the whole
    // prism face, so the mirror image comes first, in reverse order.
    for (std::size_t i = n; i-- > 0;)
        rows.add(mirrored, i, fitted[i]);
    for (std::size_t i = 0; i < n; ++i)
        rows.add(prefixes, i, fitted[i]);
}

bool writeSurface1FitFile(const QString& path, const double* x, const double* y, const double* fitted,
                          int count)
{
    std::string rows;
    surface1FitText(&rows, pointRowPrefixes(x, y, count, false), fitted);
    return writeFileBytes(path, rows.data(), rows.size());
}

bool writeSurface2FitFile(const QString& path, const double* x, const double* y, const double* fitted,
                          int count)
{
    std::string rows;
    surface2FitText(&rows, pointRowPrefixes(x, y, count, false), pointRowPrefixes(x, y, count, true), fitted);
    return writeFileBytes(path, rows.data(), rows.size());
}

bool writeFileBytes(const QString& path, const char* data, std::size_t size)
{
    return writeFileAtomically(path, data, size);
}

void printMissingFileMessage()
{
    static const char message[] = "\xB2\xBB\xC4\xDC\xD5\xD2\xB5\xBD\xCE\xC4\xBC\xFE";
    std::fwrite(message, 1, sizeof message - 1, stdout);
    std::fflush(stdout);
}
