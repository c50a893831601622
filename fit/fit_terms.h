#pragma once

// The polynomial terms of the two surface models, in coefficient order, and
// everything derived from them: the term values of a point, the equation text
// of the fit report and the integer powers the terms need.

#include <cstddef>
#include <string>

// One term x^xPower * y^yPower. A factor of power 1 is the coordinate itself,
// power 2 a plain product (v * v), any higher power safePower(v, power); a
// term with two factors is (y factor) * (x factor), formed after both.
// `separator` follows the term in the report's equation when more terms
// follow, `ending` when it is the last term of the model.
struct SurfaceTerm {
    int xPower;
    int yPower;
    const char* separator;
    const char* ending;
};

struct SurfaceTermList {
    const SurfaceTerm* terms;
    int count;              // the longest model's term count
    char coefficientName;   // 'a' for surface 1, 'b' for surface 2
    int paddedNamesFrom;    // names from this index on are padded to 5 columns
};

// Surface 1 (exit surface, even powers of x and y) or 2 (entrance surface,
// every power of x, even powers of y); any other number gives surface 1.
const SurfaceTermList& surfaceTermList(int surface);

// The report's equation lines of the first termCount terms, blank line
// included ("z = a(0) + a(1)*x^2 + ...").
std::string surfaceEquationText(int surface, int termCount);

// safePower(base, exponent) for the integer exponents 3 to 8, bit for bit:
// the power is formed in double-double arithmetic, and where that does not
// settle the rounding beyond doubt (or base is zero, huge, tiny or not
// finite) std::pow is asked, as safePower does.
double integerPower(double base, int exponent);
// integerPower(base, e) into powers[e] for every e from 3 to 8 with needed[e].
void integerPowers(double base, const bool* needed, double* powers);

// Term values of `count` points, point by point: row p holds the first
// `width` terms of point p at rows[p * width .. p * width + width - 1].
void fillTermRows(int surface, int width, const double* x, const double* y, std::size_t count, double* rows);
