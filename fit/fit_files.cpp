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

// Writes value in "%16.8f" form at out and returns the end. Exact
// fixed-point rounding of the binary value to 8 decimals, ties to even, as
// glibc's printf does; from 2^37 on, and for inf and nan, printf itself.
char* formatFixed16_8(char* out, double value)
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    const bool negative = (bits >> 63) != 0;
    const int biasedExponent = static_cast<int>((bits >> 52) & 0x7FF);
    std::uint64_t mantissa = bits & ((std::uint64_t(1) << 52) - 1);
    if (biasedExponent >= 1023 + 37) {  // 2^37 > 9e10, inf and nan included
        CNumericLocale c;
        return out + std::snprintf(out, fieldRoom, "%16.8f", value);
    }
    int shift = 1074;  // value = mantissa / 2^shift
    if (biasedExponent != 0) {
        mantissa |= std::uint64_t(1) << 52;
        shift = 1075 - biasedExponent;
    }
    std::uint64_t scaled = 0;
    if (shift < 128) {  // otherwise below half of the last decimal
        const Wide product = static_cast<Wide>(mantissa) * 100000000u;
        Wide quotient = product >> shift;
        const Wide remainder = product - (quotient << shift);
        const Wide half = static_cast<Wide>(1) << (shift - 1);
        if (remainder > half || (remainder == half && (quotient & 1u) != 0))
            ++quotient;
        scaled = static_cast<std::uint64_t>(quotient);
    }
    char digits[24];
    char* const digitsEnd = digits + sizeof digits;
    char* p = digitsEnd;
    std::uint64_t fraction = scaled % 100000000u;
    std::uint64_t integerPart = scaled / 100000000u;
    for (int i = 0; i < 8; ++i) {
        *--p = static_cast<char>('0' + fraction % 10u);
        fraction /= 10u;
    }
    *--p = '.';
    do {
        *--p = static_cast<char>('0' + integerPart % 10u);
        integerPart /= 10u;
    } while (integerPart != 0);
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

std::string surface1FitFileBytes(const double* x, const double* y, const double* fitted, int count)
{
    std::string rows;
    rows.reserve(static_cast<std::size_t>(std::max(count, 0)) * 54);
    for (int i = 0; i < count; ++i)
        appendPointRow(&rows, x[i], y[i], fitted[i]);
    return rows;
}

bool writeSurface1FitFile(const QString& path, const double* x, const double* y, const double* fitted,
                          int count)
{
    const std::string rows = surface1FitFileBytes(x, y, fitted, count);
    return writeFileBytes(path, rows.data(), rows.size());
}

bool writeSurface2FitFile(const QString& path, const double* x, const double* y, const double* fitted,
                          int count)
{
    const std::string rows = surface2FitFileBytes(x, y, fitted, count);
    return writeFileBytes(path, rows.data(), rows.size());
}

std::string surface2FitFileBytes(const double* x, const double* y, const double* fitted, int count)
{
    std::string rows;
    rows.reserve(static_cast<std::size_t>(std::max(count, 0)) * 108);
    // Surface 2 was fitted on its x > 0 half only; the view needs the whole
    // prism face, so the mirror image comes first, in reverse order.
    for (int i = count - 1; i >= 0; --i)
        appendPointRow(&rows, -x[i], y[i], fitted[i]);
    for (int i = 0; i < count; ++i)
        appendPointRow(&rows, x[i], y[i], fitted[i]);
    return rows;
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
