#include "fit/least_squares.h"

#include "fit/matrix_inverse.h"

#include <emmintrin.h>

#include <stdexcept>

namespace {

using InverseRoutine = void (*)(const double*, double*);

// target[i] += source[i] * factor for i < count, two lanes at a time. Each
// lane does exactly the scalar multiply and add (SSE2 rounds them alike).
inline void addScaled(double* target, const double* source, double factor, int count)
{
    const __m128d f = _mm_set1_pd(factor);
    int i = 0;
    for (; i + 1 < count; i += 2)
        _mm_storeu_pd(target + i, _mm_add_pd(_mm_loadu_pd(target + i), _mm_mul_pd(_mm_loadu_pd(source + i), f)));
    for (; i < count; ++i)
        target[i] += source[i] * factor;
}

template <int K>
void fitRows(InverseRoutine invert, const double* rows, std::size_t stride, const double* z, std::size_t count,
             double* coefficients, double* fitted)
{
    // M(i, j) = sum over p of A(p, i) A(p, j): the upper triangle, then the
    // lower one mirrored, which holds the same products in the same order.
    double normal[K * K] = {};
    for (std::size_t p = 0; p < count; ++p) {
        const double* row = rows + p * stride;
        for (int j = 0; j < K; ++j)
            addScaled(normal + K * j, row, row[j], j + 1);
    }
    for (int j = 0; j < K; ++j)
        for (int i = j + 1; i < K; ++i)
            normal[i + K * j] = normal[j + K * i];

    double normalCopy[K * K];
    for (int e = 0; e < K * K; ++e)
        normalCopy[e] = normal[e];
    invert(normalCopy, normal);

    // P(., p) = M^-1 A(p, .)^T summed over t in order, then a += P(., p) z(p).
    double solution[K] = {};
    for (std::size_t p = 0; p < count; ++p) {
        const double* row = rows + p * stride;
        double projection[K] = {};
        for (int t = 0; t < K; ++t)
            addScaled(projection, normal + K * t, row[t], K);
        addScaled(solution, projection, z[p], K);
    }
    for (int i = 0; i < K; ++i)
        coefficients[i] = solution[i];

    if (!fitted)
        return;
    for (std::size_t p = 0; p < count; ++p) {
        const double* row = rows + p * stride;
        double height = 0.0;
        for (int j = 0; j < K; ++j)
            height += row[j] * solution[j];
        fitted[p] = height;
    }
}

}  // namespace

bool leastSquaresSizeSupported(int termCount)
{
    switch (termCount) {
    case 3: case 6: case 9: case 10: case 12: case 15: case 16: case 20: case 25:
        return true;
    default:
        return false;
    }
}

void fitTermRows(int termCount, const double* rows, std::size_t stride, const double* z, std::size_t count,
                 double* coefficients, double* fitted)
{
    if (!leastSquaresSizeSupported(termCount) || stride < static_cast<std::size_t>(termCount))
        throw std::invalid_argument("fitTermRows: no least-squares model of this size");
    switch (termCount) {
    case 3: fitRows<3>(invertMatrix3, rows, stride, z, count, coefficients, fitted); break;
    case 6: fitRows<6>(invertMatrix6, rows, stride, z, count, coefficients, fitted); break;
    case 9: fitRows<9>(invertMatrix9, rows, stride, z, count, coefficients, fitted); break;
    case 10: fitRows<10>(invertMatrix10, rows, stride, z, count, coefficients, fitted); break;
    case 12: fitRows<12>(invertMatrix12, rows, stride, z, count, coefficients, fitted); break;
    case 15: fitRows<15>(invertMatrix15, rows, stride, z, count, coefficients, fitted); break;
    case 16: fitRows<16>(invertMatrix16, rows, stride, z, count, coefficients, fitted); break;
    case 20: fitRows<20>(invertMatrix20, rows, stride, z, count, coefficients, fitted); break;
    default: fitRows<25>(invertMatrix25, rows, stride, z, count, coefficients, fitted); break;
    }
}
