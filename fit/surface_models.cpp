#include "fit/surface_models.h"

#include "fit/fit_terms.h"
#include "fit/least_squares.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace {

// Releases a working record however the fit is left (bad_alloc included).
class WorkingRecord {
public:
    explicit WorkingRecord(int dimensionCount) { matrixCreate(&record_, dimensionCount); }
    ~WorkingRecord() { matrixRelease(&record_); }
    WorkingRecord(const WorkingRecord&) = delete;
    WorkingRecord& operator=(const WorkingRecord&) = delete;

    MatrixRecord* get() const { return record_; }
    double* data() const { return record_->elements; }

private:
    MatrixRecord* record_ = nullptr;
};

int elementCount(const MatrixRecord* record)
{
    int count = 1;
    for (int d = 0; d < record->dimensionCount; ++d)
        count *= record->extents[d];
    return count;
}

// The resize idiom: old count from the current extents, new extents, grow.
void resizeVector(MatrixRecord* record, int length)
{
    const int oldCount = elementCount(record);
    record->extents[0] = length;
    matrixGrow(record, oldCount, 8);
}

// Cuts a caller's vector to its first n stored values. They are read from
// the storage whatever the extent says (attached point buffers come with
// extent 0), parked in a temporary while the record grows (growth keeps only
// the old extent's prefix), and copied back.
void cutToFirst(MatrixRecord* record, int n)
{
    WorkingRecord kept(1);
    resizeVector(kept.get(), n);
    for (int p = 0; p < n; ++p)
        kept.data()[p] = record->elements[p];
    const int previousExtent = record->extents[0];
    record->extents[0] = n;
    matrixGrow(record, previousExtent, 8);
    for (int p = 0; p < n; ++p)
        record->elements[p] = kept.data()[p];
}

// The shared least-squares procedure on the first K terms of a surface's
// term list (fit/least_squares.h), with the caller's records cut to n values.
template <int K>
void fitLeastSquares(int surface, MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount,
                     double* coefficients, MatrixRecord* fittedHeights)
{
    const int n = pointCount >= 1 ? pointCount : 0;
    const std::size_t count = static_cast<std::size_t>(n);

    cutToFirst(x, n);
    cutToFirst(y, n);
    cutToFirst(z, n);

    std::vector<double> rows(count * K);
    fillTermRows(surface, K, x->elements, y->elements, count, rows.data());
    resizeVector(fittedHeights, n);
    fitTermRows(K, rows.data(), K, z->elements, count, coefficients, fittedHeights->elements);
}

} // namespace

void fitSurface1Terms3(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                       MatrixRecord* fittedHeights)
{
    fitLeastSquares<3>(1, x, y, z, pointCount, coefficients, fittedHeights);
}

void fitSurface1Terms6(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                       MatrixRecord* fittedHeights)
{
    fitLeastSquares<6>(1, x, y, z, pointCount, coefficients, fittedHeights);
}

void fitSurface1Terms10(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                        MatrixRecord* fittedHeights)
{
    fitLeastSquares<10>(1, x, y, z, pointCount, coefficients, fittedHeights);
}

void fitSurface1Terms15(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                        MatrixRecord* fittedHeights)
{
    fitLeastSquares<15>(1, x, y, z, pointCount, coefficients, fittedHeights);
}

void fitSurface2Terms6(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                       MatrixRecord* fittedHeights)
{
    fitLeastSquares<6>(2, x, y, z, pointCount, coefficients, fittedHeights);
}

void fitSurface2Terms9(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                       MatrixRecord* fittedHeights)
{
    fitLeastSquares<9>(2, x, y, z, pointCount, coefficients, fittedHeights);
}

void fitSurface2Terms12(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                        MatrixRecord* fittedHeights)
{
    fitLeastSquares<12>(2, x, y, z, pointCount, coefficients, fittedHeights);
}

void fitSurface2Terms16(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                        MatrixRecord* fittedHeights)
{
    fitLeastSquares<16>(2, x, y, z, pointCount, coefficients, fittedHeights);
}

void fitSurface2Terms20(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                        MatrixRecord* fittedHeights)
{
    fitLeastSquares<20>(2, x, y, z, pointCount, coefficients, fittedHeights);
}

void fitSurface2Terms25(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                        MatrixRecord* fittedHeights)
{
    fitLeastSquares<25>(2, x, y, z, pointCount, coefficients, fittedHeights);
}

std::vector<SurfaceTermPowers> surfaceTermPowers(int surface, int termCount)
{
    std::vector<SurfaceTermPowers> powers;
    const SurfaceTermList& list = surfaceTermList(surface == 1 ? 1 : 2);
    for (int i = 0; i < std::min(termCount, list.count); ++i)
        powers.push_back({list.terms[i].xPower, list.terms[i].yPower});
    return powers;
}
