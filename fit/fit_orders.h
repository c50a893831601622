#pragma once

#include "fit/matrix_record.h"

// One least-squares surface model (fit/surface_models.h).
using SurfaceModel = void (*)(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount,
                              double* coefficients, MatrixRecord* fittedHeights);

// What one fit order uses: the named model and the number of coefficients of
// each surface (the first k terms of the surface's term list,
// fit/fit_terms.h, which also gives the report's equation text).
struct FitOrder {
    int order;
    SurfaceModel surface1Model;
    int surface1Terms;  // k1
    SurfaceModel surface2Model;
    int surface2Terms;  // k2
    const char* residualIndent;    // before "Res1=" and "Res2="
};

inline constexpr int lowestFitOrder = 3;
inline constexpr int highestFitOrder = 8;
inline constexpr int largestTermCount = 25;

// The entry of an order from 3 to 8; any other order is served as order 3.
const FitOrder& fitOrderEntry(int order);
