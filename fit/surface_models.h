#pragma once

#include "fit/matrix_record.h"

#include <vector>

// Least-squares polynomial models of the two prism surfaces, one operation per
// number of terms. Each reads the first pointCount values of x, y and z (from
// the records' storage, whatever their extents), leaves x, y, z cut to that
// many values, writes the k coefficients and one fitted height per point.
// A pointCount below 1 gives all-zero coefficients and extent 0 everywhere.

// Surface 1 (exit surface): even powers of x and y.
void fitSurface1Terms3(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount,
                       double* coefficients, MatrixRecord* fittedHeights);
void fitSurface1Terms6(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount,
                       double* coefficients, MatrixRecord* fittedHeights);
void fitSurface1Terms10(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount,
                        double* coefficients, MatrixRecord* fittedHeights);
void fitSurface1Terms15(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount,
                        double* coefficients, MatrixRecord* fittedHeights);

// Surface 2 (entrance surface): every power of x, even powers of y.
void fitSurface2Terms6(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount,
                       double* coefficients, MatrixRecord* fittedHeights);
void fitSurface2Terms9(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount,
                       double* coefficients, MatrixRecord* fittedHeights);
void fitSurface2Terms12(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount,
                        double* coefficients, MatrixRecord* fittedHeights);
void fitSurface2Terms16(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount,
                        double* coefficients, MatrixRecord* fittedHeights);
void fitSurface2Terms20(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount,
                        double* coefficients, MatrixRecord* fittedHeights);
void fitSurface2Terms25(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount,
                        double* coefficients, MatrixRecord* fittedHeights);

// The (x power, y power) of the first termCount terms of surface 1 or 2, in
// coefficient order (the terms the models above fit).
struct SurfaceTermPowers {
    int xPower;
    int yPower;
};
std::vector<SurfaceTermPowers> surfaceTermPowers(int surface, int termCount);
