#include "fit/fit_terms.h"

#include "fit/matrix_record.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

// By rising total degree and, within one degree, falling power of x. A model
// with k terms uses the first k.
constexpr SurfaceTerm surface1Terms[] = {
    {0, 0, " + ", ""},         {2, 0, " + ", ""},
    {0, 2, "    + ", " \n\n"}, {4, 0, " + \n    ", ""},
    {2, 2, " + ", ""},         {0, 4, "     + ", " \n\n"},
    {6, 0, " +  \n    ", ""},  {4, 2, " + ", ""},
    {2, 4, " + ", ""},         {0, 6, " + \n    ", " \n\n"},
    {8, 0, "     + ", ""},     {6, 2, " + ", ""},
    {4, 4, " + \n    ", ""},   {2, 6, " + ", ""},
    {0, 8, "", "  \n\n"},
};

constexpr SurfaceTerm surface2Terms[] = {
    {0, 0, " + ", ""},         {1, 0, " + ", ""},
    {2, 0, "     + ", ""},     {0, 2, " + \n    ", ""},
    {3, 0, "     + ", ""},     {1, 2, "   + ", " \n\n"},
    {4, 0, " + \n    ", ""},   {2, 2, " + ", ""},
    {0, 4, "     + ", " \n\n"}, {5, 0, " + \n    ", ""},
    {3, 2, " + ", ""},         {1, 4, "   + ", " \n\n"},
    {6, 0, " + \n    ", ""},   {4, 2, " + ", ""},
    {2, 4, " + ", ""},         {0, 6, " + \n    ", " \n\n"},
    {7, 0, "     + ", ""},     {5, 2, " + ", ""},
    {3, 4, " + \n    ", ""},   {1, 6, "   + ", " \n\n"},
    {8, 0, "     + ", ""},     {6, 2, " + \n    ", ""},
    {4, 4, " + ", ""},         {2, 6, " + ", ""},
    {0, 8, "", " \n\n"},
};

constexpr SurfaceTermList surface1List{surface1Terms, 15, 'a', 3};
constexpr SurfaceTermList surface2List{surface2Terms, 25, 'b', 2};

constexpr int maxPower = 8;

void appendFactor(std::string* text, char variable, int power)
{
    if (power == 0)
        return;
    if (!text->empty())
        text->push_back('*');
    text->push_back(variable);
    if (power > 1) {
        text->push_back('^');
        text->push_back(static_cast<char>('0' + power));
    }
}

// Double-double arithmetic without fused multiply-adds: a value is hi + lo
// with |lo| at most half an ulp of hi.
struct Wide {
    double hi;
    double lo;
};

// a * b exactly as hi + lo (Dekker), for |a|, |b| far from overflow.
Wide exactProduct(double a, double b)
{
    constexpr double splitter = 134217729.0;  // 2^27 + 1
    const double ca = splitter * a;
    const double aHigh = ca - (ca - a);
    const double aLow = a - aHigh;
    const double cb = splitter * b;
    const double bHigh = cb - (cb - b);
    const double bLow = b - bHigh;
    const double p = a * b;
    const double error = ((aHigh * bHigh - p) + aHigh * bLow + aLow * bHigh) + aLow * bLow;
    return {p, error};
}

Wide normalised(double hi, double lo)
{
    const double s = hi + lo;
    return {s, lo - (s - hi)};
}

Wide times(const Wide& a, const Wide& b)
{
    Wide p = exactProduct(a.hi, b.hi);
    p.lo += a.hi * b.lo + a.lo * b.hi;
    return normalised(p.hi, p.lo);
}

std::uint64_t bitsOf(double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

double fromBits(std::uint64_t bits)
{
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace

const SurfaceTermList& surfaceTermList(int surface)
{
    return surface == 2 ? surface2List : surface1List;
}

std::string surfaceEquationText(int surface, int termCount)
{
    const SurfaceTermList& list = surfaceTermList(surface);
    if (termCount > list.count)
        termCount = list.count;
    std::string text = "z = ";
    for (int i = 0; i < termCount; ++i) {
        const SurfaceTerm& term = list.terms[i];
        std::string name = std::string(1, list.coefficientName) + "(" + std::to_string(i) + ")";
        if (i >= list.paddedNamesFrom)
            name.resize(5, ' ');
        std::string monomial;
        appendFactor(&monomial, 'x', term.xPower);
        appendFactor(&monomial, 'y', term.yPower);
        text += name;
        if (!monomial.empty())
            text += "*" + monomial;
        text += i + 1 < termCount ? term.separator : term.ending;
    }
    return text;
}

void integerPowers(double base, const bool* needed, double* powers)
{
    const double magnitude = std::fabs(base);
    // 2^-60 .. 2^60: no power up to the 8th leaves the normal range and the
    // splitting in exactProduct cannot overflow.
    if (!(magnitude >= 0x1p-60 && magnitude <= 0x1p60)) {
        for (int e = 3; e <= maxPower; ++e)
            if (needed[e])
                powers[e] = safePower(base, static_cast<double>(e));
        return;
    }
    // magnitude^e with a relative error far below 2^-90.
    Wide wide[maxPower + 1];
    const Wide one{magnitude, 0.0};
    wide[2] = exactProduct(magnitude, magnitude);
    wide[3] = times(wide[2], one);
    wide[4] = times(wide[2], wide[2]);
    wide[5] = times(wide[4], one);
    wide[6] = times(wide[4], wide[2]);
    wide[7] = times(wide[6], one);
    wide[8] = times(wide[4], wide[4]);
    for (int e = 3; e <= maxPower; ++e) {
        if (!needed[e])
            continue;
        // hi is the correctly rounded power unless lo comes near half the
        // gap to the neighbour on its side. std::pow is within 0.54 ulp of
        // the exact power, so where lo stays within 0.4 of the gap it
        // returns hi as well; elsewhere std::pow is asked.
        const Wide& power = wide[e];
        const std::uint64_t bits = bitsOf(power.hi);
        const double gap = power.lo >= 0.0 ? fromBits(bits + 1) - power.hi : power.hi - fromBits(bits - 1);
        if (std::fabs(power.lo) < 0.4 * gap)
            powers[e] = base < 0.0 && (e & 1) != 0 ? -power.hi : power.hi;
        else
            powers[e] = safePower(base, static_cast<double>(e));
    }
}

double integerPower(double base, int exponent)
{
    if (exponent < 3 || exponent > maxPower)
        return safePower(base, static_cast<double>(exponent));
    bool needed[maxPower + 1] = {};
    needed[exponent] = true;
    double powers[maxPower + 1] = {};
    integerPowers(base, needed, powers);
    return powers[exponent];
}

void fillTermRows(int surface, int width, const double* x, const double* y, std::size_t count, double* rows)
{
    const SurfaceTermList& list = surfaceTermList(surface);
    if (width > list.count)
        width = list.count;
    std::array<bool, maxPower + 1> xNeeded{};
    std::array<bool, maxPower + 1> yNeeded{};
    for (int j = 0; j < width; ++j) {
        xNeeded[list.terms[j].xPower] = true;
        yNeeded[list.terms[j].yPower] = true;
    }
    for (std::size_t p = 0; p < count; ++p) {
        // Each power once per point: the powers are pure functions of x or y.
        std::array<double, maxPower + 1> xPowers{};
        std::array<double, maxPower + 1> yPowers{};
        xPowers[1] = x[p];
        xPowers[2] = x[p] * x[p];
        yPowers[1] = y[p];
        yPowers[2] = y[p] * y[p];
        integerPowers(x[p], xNeeded.data(), xPowers.data());
        integerPowers(y[p], yNeeded.data(), yPowers.data());
        double* row = rows + p * static_cast<std::size_t>(width);
        for (int j = 0; j < width; ++j) {
            const SurfaceTerm& term = list.terms[j];
            double value;
            if (term.xPower == 0 && term.yPower == 0)
                value = 1.0;
            else if (term.yPower == 0)
                value = xPowers[term.xPower];
            else if (term.xPower == 0)
                value = yPowers[term.yPower];
            else
                value = yPowers[term.yPower] * xPowers[term.xPower];
            row[j] = value;
        }
    }
}
