#pragma once

#include "fit/matrix_record.h"

// One least-squares surface model (fit/surface_models.h).
using SurfaceModel = void (*)(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount,
                              double* coefficients, MatrixRecord* fittedHeights);

// What one fit order uses: the model and number of coefficients of each
// surface and the equation lines its report prints.
struct FitOrder {
    int order;
    SurfaceModel surface1Model;
    int surface1Terms;  // k1
    SurfaceModel surface2Model;
    int surface2Terms;  // k2
    const char* surface1Equation;  // every equation line, blank line included
    const char* surface2Equation;
    const char* residualIndent;    // before "Res1=" and "Res2="
};

inline constexpr int lowestFitOrder = 3;
inline constexpr int highestFitOrder = 8;
inline constexpr int largestTermCount = 25;

// The entry of an order from 3 to 8; any other order is served as order 3.
const FitOrder& fitOrderEntry(int order);
