#pragma once

// The least-squares procedure both surface models share: the normal matrix
// A^T A summed over the points in index order (full square, each entry from
// 0.0), its explicit inverse by the routine of its size, the coefficients as
// (M^-1 A^T) z in that association, and the fitted heights accumulated term
// by term. The design matrix A is given point by point (term rows).

#include <cstddef>

// True for the sizes that have an inverse routine: 3, 6, 9, 10, 12, 15, 16,
// 20 and 25.
bool leastSquaresSizeSupported(int termCount);

// Fits `count` points whose first termCount term values are at
// rows[p * stride ...] and whose heights are z[p]. Writes termCount
// coefficients and, when `fitted` is not null, count fitted heights. No
// points give all-zero coefficients. Throws std::invalid_argument for an
// unsupported termCount or a stride below it.
void fitTermRows(int termCount, const double* rows, std::size_t stride, const double* z, std::size_t count,
                 double* coefficients, double* fitted);
