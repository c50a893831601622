#include "fit/surface_models.h"

#include "fit/matrix_inverse.h"

#include <array>
#include <algorithm>
#include <cstddef>

namespace {

// One polynomial term x^xPower * y^yPower. A factor of power 1 is the
// coordinate itself, power 2 a plain product (v * v), any higher power goes
// through safePower; a term with two factors is their product, formed after
// both are known.
struct Term {
    int xPower;
    int yPower;
};

constexpr int maxPower = 8;

// Surface 1: even powers of x and y, by rising total degree and, within one
// degree, falling power of x. A model with k terms uses the first k.
constexpr std::array<Term, 15> surface1Terms = {{
    {0, 0}, {2, 0}, {0, 2},
    {4, 0}, {2, 2}, {0, 4},
    {6, 0}, {4, 2}, {2, 4}, {0, 6},
    {8, 0}, {6, 2}, {4, 4}, {2, 6}, {0, 8},
}};

// Surface 2: every power of x, even powers of y, same ordering.
constexpr std::array<Term, 25> surface2Terms = {{
    {0, 0}, {1, 0},
    {2, 0}, {0, 2},
    {3, 0}, {1, 2},
    {4, 0}, {2, 2}, {0, 4},
    {5, 0}, {3, 2}, {1, 4},
    {6, 0}, {4, 2}, {2, 4}, {0, 6},
    {7, 0}, {5, 2}, {3, 4}, {1, 6},
    {8, 0}, {6, 2}, {4, 4}, {2, 6}, {0, 8},
}};

using InverseRoutine = void (*)(const double*, double*);

// Releases a working record however the fit is left (bad_alloc included).
class WorkingRecord {
public:
    explicit WorkingRecord(int dimensionCount) { matrixCreate(&record_, dimensionCount); }
    ~WorkingRecord() { matrixRelease(&record_); }
    WorkingRecord(const WorkingRecord&) = delete;
    WorkingRecord& operator=(const WorkingRecord&) = delete;

    MatrixRecord* get() const { return record_; }
    double* data() const { return record_->elements; }
    void release() { matrixRelease(&record_); }

    // Attaches the other record's storage, with its capacity, to this one.
    void adoptStorageOf(WorkingRecord& other)
    {
        record_->elements = other.record_->elements;
        record_->capacity = other.record_->capacity;
        record_->ownsElements = other.record_->ownsElements;
        other.record_->elements = nullptr;
        other.record_->capacity = 0;
    }

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

void resizeMatrix(MatrixRecord* record, int rows, int columns)
{
    const int oldCount = elementCount(record);
    record->extents[0] = rows;
    record->extents[1] = columns;
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

// Ordinary least squares through the normal equations with an explicit
// inverse, applied as (M^-1 A^T) z. Every sum runs in a fixed order (points
// in index order, terms in ascending order, each from 0.0); the loops are
// nested for locality, but each accumulator receives its terms in that order.
// Working records are released as soon as they are no longer read: the
// point table once A is filled, A^T once P has taken its storage. At the
// peak the target heights, A and A^T (or P) are live, (2k + 1) n doubles.
template <int K, std::size_t TermCount>
void fitLeastSquares(const std::array<Term, TermCount>& termList, InverseRoutine invert, MatrixRecord* x,
                     MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                     MatrixRecord* fittedHeights)
{
    static_assert(K <= static_cast<int>(TermCount), "term list too short");
    const int n = pointCount >= 1 ? pointCount : 0;
    const std::size_t count = static_cast<std::size_t>(n);

    cutToFirst(x, n);
    cutToFirst(y, n);
    cutToFirst(z, n);

    WorkingRecord pointTable(2);
    resizeMatrix(pointTable.get(), n, 3);
    const double* xs = pointTable.data();
    const double* ys = pointTable.data() + count;
    const double* zs = pointTable.data() + 2 * count;
    for (std::size_t p = 0; p < count; ++p) {
        pointTable.data()[p] = x->elements[p];
        pointTable.data()[count + p] = y->elements[p];
        pointTable.data()[2 * count + p] = z->elements[p];
    }
    WorkingRecord targets(1);
    resizeVector(targets.get(), n);
    for (std::size_t p = 0; p < count; ++p)
        targets.data()[p] = zs[p];

    // Design matrix, n x K, column by column. Each power a term needs is
    // computed once per point; safePower is a pure function, so the value is
    // the same as forming it afresh for every term.
    std::array<bool, maxPower + 1> xNeeded{};
    std::array<bool, maxPower + 1> yNeeded{};
    for (int j = 0; j < K; ++j) {
        xNeeded[termList[j].xPower] = true;
        yNeeded[termList[j].yPower] = true;
    }
    WorkingRecord design(2);
    resizeMatrix(design.get(), n, K);
    double* a = design.data();
    for (std::size_t e = 0; e < count * K; ++e)
        a[e] = 0.0;
    for (std::size_t p = 0; p < count; ++p) {
        std::array<double, maxPower + 1> xPowers{};
        std::array<double, maxPower + 1> yPowers{};
        xPowers[1] = xs[p];
        xPowers[2] = xs[p] * xs[p];
        yPowers[1] = ys[p];
        yPowers[2] = ys[p] * ys[p];
        for (int e = 3; e <= maxPower; ++e) {
            if (xNeeded[e])
                xPowers[e] = safePower(xs[p], e);
            if (yNeeded[e])
                yPowers[e] = safePower(ys[p], e);
        }
        for (int j = 0; j < K; ++j) {
            const Term term = termList[j];
            double value;
            if (term.xPower == 0 && term.yPower == 0)
                value = 1.0;
            else if (term.yPower == 0)
                value = xPowers[term.xPower];
            else if (term.xPower == 0)
                value = yPowers[term.yPower];
            else
                value = yPowers[term.yPower] * xPowers[term.xPower];
            a[p + count * j] = value;
        }
    }
    pointTable.release();

    // A^T, K x n: the K term values of one point lie together.
    WorkingRecord transposed(2);
    resizeMatrix(transposed.get(), K, n);
    double* at = transposed.data();
    for (std::size_t p = 0; p < count; ++p)
        for (int j = 0; j < K; ++j)
            at[j + K * p] = a[p + count * j];

    // M = A^T A, full square; M(i, j) gathers its products for p = 0 .. n-1.
    std::array<double, K * K> normal{};
    for (std::size_t p = 0; p < count; ++p) {
        const double* row = at + K * p;
        for (int j = 0; j < K; ++j) {
            const double apj = row[j];
            double* column = normal.data() + K * j;
            for (int i = 0; i < K; ++i)
                column[i] += row[i] * apj;
        }
    }

    std::array<double, K * K> normalCopy = normal;
    invert(normalCopy.data(), normal.data());

    // P = M^-1 A^T, K x n; P(i, p) gathers M^-1(i, t) A^T(t, p) for t = 0 .. K-1.
    // Column p of P needs column p of A^T only, read in full before it is
    // written, so P takes over the storage of A^T: one K x n block fewer.
    WorkingRecord projection(2);
    projection.adoptStorageOf(transposed);
    transposed.release();
    resizeMatrix(projection.get(), K, n);
    double* proj = projection.data();
    for (std::size_t p = 0; p < count; ++p) {
        double* column = proj + K * p;
        std::array<double, K> sum{};
        for (int t = 0; t < K; ++t) {
            const double att = column[t];
            const double* inverseColumn = normal.data() + K * t;
            for (int i = 0; i < K; ++i)
                sum[i] += inverseColumn[i] * att;
        }
        for (int i = 0; i < K; ++i)
            column[i] = sum[i];
    }

    // a = P z, each a(i) over the points in index order.
    std::array<double, K> solution{};
    const double* target = targets.data();
    for (std::size_t p = 0; p < count; ++p) {
        const double* column = proj + K * p;
        const double zp = target[p];
        for (int i = 0; i < K; ++i)
            solution[i] += column[i] * zp;
    }
    for (int i = 0; i < K; ++i)
        coefficients[i] = solution[i];
    projection.release();
    targets.release();

    // Fitted heights, accumulated term by term.
    resizeVector(fittedHeights, n);
    double* fitted = fittedHeights->elements;
    for (std::size_t p = 0; p < count; ++p)
        fitted[p] = 0.0;
    for (int j = 0; j < K; ++j) {
        const double* column = a + count * j;
        const double aj = solution[j];
        for (std::size_t p = 0; p < count; ++p)
            fitted[p] += column[p] * aj;
    }
}

} // namespace

void fitSurface1Terms3(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                       MatrixRecord* fittedHeights)
{
    fitLeastSquares<3>(surface1Terms, invertMatrix3, x, y, z, pointCount, coefficients, fittedHeights);
}

void fitSurface1Terms6(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                       MatrixRecord* fittedHeights)
{
    fitLeastSquares<6>(surface1Terms, invertMatrix6, x, y, z, pointCount, coefficients, fittedHeights);
}

void fitSurface1Terms10(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                        MatrixRecord* fittedHeights)
{
    fitLeastSquares<10>(surface1Terms, invertMatrix10, x, y, z, pointCount, coefficients, fittedHeights);
}

void fitSurface1Terms15(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                        MatrixRecord* fittedHeights)
{
    fitLeastSquares<15>(surface1Terms, invertMatrix15, x, y, z, pointCount, coefficients, fittedHeights);
}

void fitSurface2Terms6(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                       MatrixRecord* fittedHeights)
{
    fitLeastSquares<6>(surface2Terms, invertMatrix6, x, y, z, pointCount, coefficients, fittedHeights);
}

void fitSurface2Terms9(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                       MatrixRecord* fittedHeights)
{
    fitLeastSquares<9>(surface2Terms, invertMatrix9, x, y, z, pointCount, coefficients, fittedHeights);
}

void fitSurface2Terms12(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                        MatrixRecord* fittedHeights)
{
    fitLeastSquares<12>(surface2Terms, invertMatrix12, x, y, z, pointCount, coefficients, fittedHeights);
}

void fitSurface2Terms16(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                        MatrixRecord* fittedHeights)
{
    fitLeastSquares<16>(surface2Terms, invertMatrix16, x, y, z, pointCount, coefficients, fittedHeights);
}

void fitSurface2Terms20(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                        MatrixRecord* fittedHeights)
{
    fitLeastSquares<20>(surface2Terms, invertMatrix20, x, y, z, pointCount, coefficients, fittedHeights);
}

void fitSurface2Terms25(MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount, double* coefficients,
                        MatrixRecord* fittedHeights)
{
    fitLeastSquares<25>(surface2Terms, invertMatrix25, x, y, z, pointCount, coefficients, fittedHeights);
}

std::vector<SurfaceTermPowers> surfaceTermPowers(int surface, int termCount)
{
    std::vector<SurfaceTermPowers> powers;
    const Term* terms = surface == 1 ? surface1Terms.data() : surface2Terms.data();
    const int available = surface == 1 ? int(surface1Terms.size()) : int(surface2Terms.size());
    for (int i = 0; i < std::min(termCount, available); ++i)
        powers.push_back({terms[i].xPower, terms[i].yPower});
    return powers;
}
