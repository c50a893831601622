#include "fit/matrix_inverse.h"

#include <array>
#include <cmath>
#include <utility>

namespace {

// LU factorisation with row pivoting, then forward and back substitution
// against the permuted identity. Everything is sized at compile time, so a
// call touches no heap. Entries that are exactly zero are skipped; that is
// part of the result (a skipped 0 * inf never becomes a NaN).
template <int N>
void invertMatrixGeneric(const double* input, double* output)
{
    std::array<double, N * N> a;
    std::array<int, N> pivot;  // row numbers counted from 1
    std::array<int, N> perm;

    for (int e = 0; e < N * N; ++e) {
        output[e] = 0.0;
        a[e] = input[e];
    }
    for (int k = 0; k < N; ++k)
        pivot[k] = k + 1;

    for (int j = 0; j < N - 1; ++j) {
        const int diagonal = j + N * j;
        int offset = 0;
        double best = std::fabs(a[diagonal]);
        for (int i = j + 1; i < N; ++i) {
            const double magnitude = std::fabs(a[i + N * j]);
            if (magnitude > best) {
                offset = i - j;
                best = magnitude;
            }
        }
        if (a[diagonal + offset] != 0.0) {
            if (offset != 0) {
                pivot[j] = j + offset + 1;
                for (int c = 0; c < N; ++c)
                    std::swap(a[j + N * c], a[j + offset + N * c]);
            }
            for (int i = j + 1; i < N; ++i)
                a[i + N * j] /= a[diagonal];
        }
        for (int c = j + 1; c < N; ++c) {
            const double head = a[j + N * c];
            if (head != 0.0) {
                for (int i = j + 1; i < N; ++i)
                    a[i + N * c] -= head * a[i + N * j];
            }
        }
    }

    for (int k = 0; k < N; ++k)
        perm[k] = k + 1;
    for (int k = 0; k < N - 1; ++k) {
        if (pivot[k] > k + 1)
            std::swap(perm[k], perm[pivot[k] - 1]);
    }

    for (int k = 0; k < N; ++k) {
        const int c = perm[k] - 1;
        double* y = output + N * c;
        y[k] = 1.0;
        for (int j = k; j < N; ++j) {
            if (y[j] != 0.0) {
                for (int i = j + 1; i < N; ++i)
                    y[i] -= y[j] * a[i + N * j];
            }
        }
    }

    for (int c = 0; c < N; ++c) {
        double* y = output + N * c;
        for (int k = N - 1; k >= 0; --k) {
            if (y[k] != 0.0) {
                y[k] /= a[k + N * k];
                for (int i = 0; i < k; ++i)
                    y[i] -= y[k] * a[i + N * k];
            }
        }
    }
}

} // namespace

void invertMatrix3(const double* input, double* output)
{
    std::array<double, 9> b;
    for (int e = 0; e < 9; ++e)
        b[e] = input[e];
    int r1 = 0;
    int r2 = 3;
    int r3 = 6;

    const double abs0 = std::fabs(input[0]);
    const double abs1 = std::fabs(input[1]);
    const double abs2 = std::fabs(input[2]);
    if (abs1 > abs0 && abs1 > abs2) {
        std::swap(b[0], b[1]);
        std::swap(b[3], b[4]);
        std::swap(b[6], b[7]);
        std::swap(r1, r2);
    } else if (abs2 > abs0) {
        std::swap(b[0], b[2]);
        std::swap(b[3], b[5]);
        std::swap(b[6], b[8]);
        std::swap(r1, r3);
    }

    b[1] = b[1] / b[0];
    b[2] = b[2] / b[0];
    b[4] = b[4] - b[1] * b[3];
    b[5] = b[5] - b[2] * b[3];
    b[7] = b[7] - b[1] * b[6];
    b[8] = b[8] - b[2] * b[6];

    if (std::fabs(b[5]) > std::fabs(b[4])) {
        std::swap(r2, r3);
        std::swap(b[1], b[2]);
        std::swap(b[4], b[5]);
        std::swap(b[7], b[8]);
    }

    b[5] = b[5] / b[4];
    b[8] = b[8] - b[5] * b[7];

    double t3 = (b[5] * b[1] - b[2]) / b[8];
    double t2 = -(b[1] + b[7] * t3) / b[4];
    output[r1] = ((1.0 - b[3] * t2) - b[6] * t3) / b[0];
    output[r1 + 1] = t2;
    output[r1 + 2] = t3;

    t3 = -b[5] / b[8];
    t2 = (1.0 - b[7] * t3) / b[4];
    output[r2] = -(b[3] * t2 + b[6] * t3) / b[0];
    output[r2 + 1] = t2;
    output[r2 + 2] = t3;

    t3 = 1.0 / b[8];
    t2 = -(b[7] * t3) / b[4];
    output[r3] = -(b[3] * t2 + b[6] * t3) / b[0];
    output[r3 + 1] = t2;
    output[r3 + 2] = t3;
}

void invertMatrix6(const double* input, double* output) { invertMatrixGeneric<6>(input, output); }
void invertMatrix9(const double* input, double* output) { invertMatrixGeneric<9>(input, output); }
void invertMatrix10(const double* input, double* output) { invertMatrixGeneric<10>(input, output); }
void invertMatrix12(const double* input, double* output) { invertMatrixGeneric<12>(input, output); }
void invertMatrix15(const double* input, double* output) { invertMatrixGeneric<15>(input, output); }
void invertMatrix16(const double* input, double* output) { invertMatrixGeneric<16>(input, output); }
void invertMatrix20(const double* input, double* output) { invertMatrixGeneric<20>(input, output); }
void invertMatrix25(const double* input, double* output) { invertMatrixGeneric<25>(input, output); }
