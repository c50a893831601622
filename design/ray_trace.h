#pragma once

// Ray tracing through the prism: the law of refraction at the exit and the
// entrance surface as differential equations for their heights, integrated
// with the classical fourth-order Runge-Kutta method, first along the central
// sensor row, then from the row along every sensor column.
//
// Notation: F pinholeHeight, f focalLength, n refractiveIndex, q quarterWidth,
// T apexHeight, theta prismAngle, dz = prismDistance - F. Cp is the x of the
// virtual pinhole and S the sine of the half's reference face; both are chosen
// by the caller, while the half shift of the virtual ray follows the sign of
// the x a function is evaluated at (x = 0 belongs to the right half).

#include "core/progress.h"
#include "core/runge_kutta.h"
#include "design/design_record.h"

// quarterWidth, minusSinAngle, cosAngle and apexHeight, in this order.
void computeDesignConstants(DesignRecord& record);

// x of the virtual camera's pixel: x + q left of the centre, x - q otherwise.
inline double halfShiftedX(double x, double quarterWidth)
{
    return x < 0 ? x + quarterWidth : x - quarterWidth;
}

// dh0/dx and dh1/dx along the central row (y = 0) into derivative[0..1].
void rowDerivative(const DesignRecord& record, double x, const double* state, double* derivative,
                   double pinholeX, double sine);

// dh0/dy and dh1/dy along the column at x into derivative[0..1].
void columnDerivative(const DesignRecord& record, double x, double y, const double* state,
                      double* derivative, double pinholeX, double sine);

// Right-hand sides in the (state, derivative, parameter) form of the stepper.
struct RowSystem {
    const DesignRecord& record;
    double pinholeX;
    double sine;
    void operator()(const double* state, double* derivative, double x) const
    {
        rowDerivative(record, x, state, derivative, pinholeX, sine);
    }
};

struct ColumnSystem {
    const DesignRecord& record;
    double x;
    double pinholeX;
    double sine;
    void operator()(const double* state, double* derivative, double y) const
    {
        columnDerivative(record, x, y, state, derivative, pinholeX, sine);
    }
};

// The record's stepper: core::RungeKutta4 on the record's solution vector,
// with the record's scratch (derivative, accumulator, stepStart), allocated
// once with the record.
inline core::RungeKutta4<double> recordStepper(DesignRecord& record)
{
    return core::RungeKutta4<double>(record.componentCount, record.derivative, record.accumulator,
                                     record.stepStart);
}

// Row pass i (0..3): 0 and 1 start at the left half's centre -q, 2 and 3 at
// +q; even passes step -0.0055, odd ones +0.0055. Fills rowPass and places it
// into rowHeights in ascending x.
void traceRowPass(DesignRecord& record, int pass);

// The four row passes in order.
void traceRows(DesignRecord& record);

// x, y of both surface points of step j of the current column pass from the
// heights in columnPass[.][j], into passX[.][j] and passY[.][j].
void columnPoint(DesignRecord& record, double x, double y, int j, double pinholeX);

// Both passes of the column at sensor x from the given row heights; fills
// columnPass, passX, passY and then columnZ, columnX, columnY (entries
// 0..halfSteps-1 towards -y, then halfSteps.. towards +y).
void traceColumn(DesignRecord& record, double x, double startExitHeight, double startEntranceHeight);

// Sensor x of column b: b * 0.0055 - 2 quarterWidth.
double columnSensorX(const DesignRecord& record, int b);

// traceColumn for column b from rowHeights[.][b], then storeGridColumn.
void traceGridColumn(DesignRecord& record, int b);

// The points of column b (columnZ, columnX, columnY) into the grid buffers,
// as many as the record's gridStride keeps, and its heights into
// nodeHeights when set.
void storeGridColumn(DesignRecord& record, int b);

// Columns b and b + 1 at once, one per SSE2 lane, bit for bit as traceColumn
// leaves them: the column buffers (columnZ, columnX, columnY) of `first` get
// column b, those of `second` column b + 1. Both records share the constants
// and row heights of the run.
void traceColumnPair(DesignRecord& first, int b, DesignRecord& second);
// Columns b to b + 3 likewise, column b + l into records[l].
void traceColumnQuad(DesignRecord* const* records, int b);

// Every column of the grid, four at a time, on up to threadCount threads. Each extra thread
// integrates in its own scratch; the grid is the record's. The results do not
// depend on the thread count. With a progress range, each group of columns
// first polls its cancel flag (leaving by core::OperationCancelled, the grid
// then half done) and the fraction of columns done is reported.
void traceColumns(DesignRecord& record, int threadCount, const core::ProgressRange* progress = nullptr);
