// Matrix record, the fixed-size inverses and the two surface models, each
// against values computed here rather than by the code under test.
#include "fit/matrix_inverse.h"
#include "fit/matrix_record.h"
#include "fit/surface_models.h"

#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#include <numeric>
#include <random>
#include <vector>

using Column = std::vector<double>;
Q_DECLARE_METATYPE(Column)

// A record with `length` attached elements and the given capacity, grown
// from oldCount to extents; newCapacity -1 means std::bad_alloc.
struct Growth {
    int length;
    bool owned;
    int capacity, oldCount;
    QVector<int> extents;
    int newCapacity, kept;
};

Q_DECLARE_METATYPE(Growth)

#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
#include <malloc.h>
// Bytes the heap holds in separately mapped blocks; a 64 MiB block always is one.
static long long mappedBytes() { return static_cast<long long>(mallinfo2().hblkhd); }
#else
static long long mappedBytes() { return 0; }
#endif

namespace {

const double Inf = HUGE_VAL, NaN = std::nan("");

using Inverse = void (*)(const double*, double*);
const QMap<int, Inverse> inverses = {{3, invertMatrix3},   {6, invertMatrix6},   {9, invertMatrix9},
                                     {10, invertMatrix10}, {12, invertMatrix12}, {15, invertMatrix15},
                                     {16, invertMatrix16}, {20, invertMatrix20}, {25, invertMatrix25}};

using Model = void (*)(MatrixRecord*, MatrixRecord*, MatrixRecord*, int, double*, MatrixRecord*);
const Model models[] = {fitSurface1Terms3, fitSurface1Terms6,  fitSurface1Terms10, fitSurface1Terms15,
                        fitSurface2Terms6, fitSurface2Terms9,  fitSurface2Terms12, fitSurface2Terms16,
                        fitSurface2Terms20, fitSurface2Terms25};
const int termCounts[] = {3, 6, 10, 15, 6, 9, 12, 16, 20, 25};

// Largest deviation of the column-major product a * b from I, summed in long double.
double distanceFromIdentity(int n, const Column& a, const Column& b)
{
    double worst = 0.0;
    for (int e = 0; e < n * n; ++e) {
        long double sum = e % n == e / n ? -1.0L : 0.0L;
        for (int t = 0; t < n; ++t)
            sum += static_cast<long double>(a[e % n + n * t]) * b[t + n * (e / n)];
        worst = std::max(worst, std::fabs(static_cast<double>(sum)));
    }
    return worst;
}

// Points of a low-discrepancy sequence in [-1, 1]^2: no low-degree curve holds them all.
double sequenceX(int p) { return -1.0 + 2.0 * std::fmod(0.5 + p * 0.7548776662466927, 1.0); }
double sequenceY(int p) { return -1.0 + 2.0 * std::fmod(0.5 + p * 0.5698402909980532, 1.0); }

struct FitResult {
    Column coefficients;  // k values and one sentinel behind them
    Column heights;
    QVector<int> extents;  // of x, y, z and the fitted heights afterwards
};

// Each record gets a malloc'ed copy of its values and the given extent; -1:
// extent and capacity 0, as the fitting run hands its points over.
FitResult runFit(int model, const Column& x, const Column& y, const Column& z, int extent, int pointCount)
{
    FitResult result;
    MatrixRecord* records[4];
    const Column* values[4] = {&x, &y, &z, &result.heights};
    result.heights.assign(7, 5.0);
    for (int r = 0; r < 4; ++r) {
        matrixCreate(&records[r], 1);
        records[r]->elements = static_cast<double*>(std::malloc(sizeof(double) * values[r]->size()));
        std::copy(values[r]->begin(), values[r]->end(), records[r]->elements);
        records[r]->extents[0] = r == 3 ? 7 : std::max(extent, 0);
        records[r]->capacity = extent < 0 && r < 3 ? 0 : static_cast<int>(values[r]->size());
    }
    result.coefficients.assign(termCounts[model] + 1, 7.0);
    models[model](records[0], records[1], records[2], pointCount, result.coefficients.data(), records[3]);
    result.heights.assign(records[3]->elements, records[3]->elements + records[3]->extents[0]);
    for (MatrixRecord*& record : records) {
        result.extents.append(record->extents[0]);
        matrixRelease(&record);
    }
    return result;
}

} // namespace

class TestFitNumerics : public QObject {
    Q_OBJECT

private slots:
    // The record starts with `length` attached elements 1, 2, ... in a block
    // the heap maps on its own, so that freeing it shows in the mapped bytes.
    void growth_data()
    {
        QTest::addColumn<Growth>("g");
        QTest::newRow("0 to 1 gives 16") << Growth{0, true, 0, 0, {1}, 16, 0};
        QTest::newRow("16 to 17 gives 32") << Growth{16, true, 16, 16, {17}, 32, 16};
        QTest::newRow("20 to 50 gives 80") << Growth{20, true, 20, 20, {50}, 80, 20};
        QTest::newRow("3 to 5 in place") << Growth{16, true, 16, 3, {5}, 16, 16};
        QTest::newRow("matrix 4x4 to 5x4") << Growth{16, true, 16, 16, {5, 4}, 32, 16};
        QTest::newRow("attached at extent 0") << Growth{10, true, 0, 0, {10}, 16, 0};
        QTest::newRow("kept count beyond new storage") << Growth{100, true, 0, 100, {20}, 32, 32};
        QTest::newRow("not owned, grown") << Growth{16, false, 16, 16, {17}, 32, 16};
        QTest::newRow("not owned, in place") << Growth{16, false, 16, 3, {5}, 16, 16};
        QTest::newRow("count beyond int") << Growth{16, true, 16, 16, {65536, 65536}, -1, 16};
    }

    void growth()
    {
        QFETCH(Growth, g);
        MatrixRecord* record = nullptr;
        matrixCreate(&record, g.extents.size());
        const long long withoutBuffer = mappedBytes();
        double* const buffer = g.length > 0 ? static_cast<double*>(std::malloc(64 << 20)) : nullptr;
        const long long withBuffer = mappedBytes();
        std::iota(buffer, buffer + g.length, 1.0);
        record->elements = buffer;
        record->ownsElements = g.owned;
        record->capacity = g.capacity;
        std::copy(g.extents.begin(), g.extents.end(), record->extents);
        if (g.newCapacity < 0)
            QVERIFY_EXCEPTION_THROWN(matrixGrow(record, g.oldCount, 8), std::bad_alloc);
        else
            matrixGrow(record, g.oldCount, 8);
        const int newCapacity = g.newCapacity < 0 ? g.capacity : g.newCapacity;
        QCOMPARE(record->capacity, newCapacity);
        QCOMPARE(record->elements == buffer, newCapacity == g.capacity);
        QCOMPARE(record->ownsElements, g.owned || newCapacity != g.capacity);
        for (int e = 0; e < newCapacity; ++e)
            QCOMPARE(record->elements[e], e < g.kept ? e + 1.0 : 0.0);
        matrixRelease(&record);
        QVERIFY(record == nullptr);
        matrixRelease(&record);  // a null handle is a no-op
        // Storage taken over is freed, on growth or on release; other storage is left.
        QCOMPARE(mappedBytes(), g.owned ? withoutBuffer : withBuffer);
        if (!g.owned)
            std::free(buffer);
    }

    void safePowerTable_data()
    {
        QTest::addColumn<double>("base");
        QTest::addColumn<double>("exponent");
        QTest::addColumn<double>("expected");
        QTest::newRow("3^4") << 3.0 << 4.0 << 81.0;
        QTest::newRow("1.1^2 is 1.1*1.1") << 1.1 << 2.0 << 1.1 * 1.1;
        QTest::newRow("4^0.5") << 4.0 << 0.5 << 2.0;
        QTest::newRow("-4^0.5") << -4.0 << 0.5 << NaN;
        QTest::newRow("-8^3") << -8.0 << 3.0 << -512.0;
        QTest::newRow("5^0") << 5.0 << 0.0 << 1.0;
        QTest::newRow("0^-1") << 0.0 << -1.0 << Inf;
        QTest::newRow("2^inf") << 2.0 << Inf << Inf;
        QTest::newRow("-2^-inf") << -2.0 << -Inf << 0.0;
        QTest::newRow("0.5^inf") << 0.5 << Inf << 0.0;
        QTest::newRow("0.5^-inf") << 0.5 << -Inf << Inf;
        QTest::newRow("-1^inf") << -1.0 << Inf << NaN;
        QTest::newRow("NaN^0, unlike pow") << NaN << 0.0 << NaN;
        QTest::newRow("1^NaN") << 1.0 << NaN << NaN;
    }

    void safePowerTable()
    {
        QFETCH(double, base);
        QFETCH(double, exponent);
        QFETCH(double, expected);
        const double result = safePower(base, exponent);
        QCOMPARE(valueIsNaN(result), std::isnan(expected));
        QCOMPARE(valueIsInfinite(result), std::isinf(expected));
        QVERIFY2(std::isnan(expected) || result == expected, qPrintable(QString::number(result, 'g', 17)));
    }

    // Inverses known to the last bit, stored column by column. The pivot rows
    // are integer matrices with inverse adj / det, which the elimination
    // reproduces exactly only when it pivots on the right row. An all-zero
    // matrix returns: zero right-hand sides are skipped, so the elimination
    // leaves NaN above the diagonal, +inf on it and 0 below (3x3: all NaN).
    // Random matrices with a dominant scattered permutation are well
    // conditioned and need row exchanges; there A * inv(A) = I both ways.
    void inverse_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<Column>("a");
        QTest::addColumn<Column>("expected");  // empty: check A * inv(A) = I
        const auto divided = [](Column adjugate, double det) {
            for (double& v : adjugate)
                v /= det;  // correctly rounded
            return adjugate;
        };
        std::mt19937 generator(1);
        std::uniform_real_distribution<double> entry(-1.0, 1.0);
        for (int n : inverses.keys()) {
            Column identity(n * n), diagonal(n * n), inverseDiagonal(n * n), swap(n * n), zero(n * n);
            for (int e = 0; e < n * n; ++e)
                zero[e] = n == 3 || e % n < e / n ? NaN : (e % n == e / n ? Inf : 0.0);
            for (int i = 0; i < n; ++i) {
                identity[i * n + i] = 1.0;
                diagonal[i * n + i] = (i % 2 ? -0.5 : 3.0) * (i + 1);
                inverseDiagonal[i * n + i] = 1.0 / diagonal[i * n + i];
                swap[i * n + (i == 0 ? n - 1 : (i == n - 1 ? 0 : i))] = 1.0;
            }
            QTest::addRow("identity %d", n) << n << identity << identity;
            QTest::addRow("diagonal %d", n) << n << diagonal << inverseDiagonal;
            QTest::addRow("swap first and last row %d", n) << n << swap << swap;
            QTest::addRow("zero %d", n) << n << Column(n * n) << zero;
            for (int seed = 1; seed <= 3; ++seed) {
                Column a(n * n);
                for (double& value : a)
                    value = entry(generator);
                for (int i = 0; i < n; ++i)  // 7 is prime to every size: a permutation
                    a[i + n * ((7 * i + seed) % n)] += (entry(generator) < 0 ? -1.0 : 1.0) * n;
                QTest::addRow("random %d, %d", n, seed) << n << a << Column();
            }
        }
        QTest::newRow("3x3 first column 1,3,3 pivots on row 2")
            << 3 << Column{1, 3, 3, -5, 0, 0, -5, 2, 1} << divided({0, 3, 0, 5, 16, -15, -10, -17, 15}, -15);
        QTest::newRow("3x3 first column 1,3,2 pivots on row 1")
            << 3 << Column{1, 3, 2, 1, -2, 4, 3, -1, 4} << divided({-4, -14, 16, 8, -2, -2, 5, 10, -5}, 30);
        QTest::newRow("3x3 first column 1,0,-1 keeps row 1")
            << 3 << Column{1, 0, -1, 1, -3, -5, 0, 0, 3} << divided({-9, 0, -3, -3, 3, 4, 0, 0, -3}, -9);
        QTest::newRow("6x6 ties go to the topmost row")
            << 6
            << Column{2, 0, 0, -2, 1, 1, 0, 4, -2, -1, -2, 4, 4, 4, 2, 0, 4, -2,
                      4, -2, -1, 2, -1, 4, 2, 4, -4, 1, -2, 1, 0, -3, 0, -2, 1, -2}
            << divided({1046, -660, -327, -246, 228, -848, 200, -112, -52, -72, 48, -192,
                        1560, -976, -508, -408, 272, -1344, -704, 384, 224, 192, -128, 512,
                        -2432, 1536, 832, 640, -512, 2048, -812, 552, 270, 236, -200, 672}, 256);
    }

    void inverse()
    {
        QFETCH(int, n);
        QFETCH(Column, a);
        QFETCH(Column, expected);
        Column inverse(n * n, -99.0);
        inverses[n](a.data(), inverse.data());
        for (std::size_t e = 0; e < expected.size(); ++e)
            QVERIFY2(inverse[e] == expected[e] || (std::isnan(inverse[e]) && std::isnan(expected[e])),
                     qPrintable(QString("element %1: %2").arg(e).arg(inverse[e], 0, 'g', 17)));
        if (expected.empty()) {
            QVERIFY2(distanceFromIdentity(n, a, inverse) < 1e-13, "A * inv(A) is not I");
            QVERIFY2(distanceFromIdentity(n, inverse, a) < 1e-13, "inv(A) * A is not I");
        }
    }

    // Heights from a polynomial with every term of the model give back its
    // coefficients and the heights. The terms come from their defining rule
    // here: monomials of the surface's kind, rising total degree, falling
    // power of x. Only the first pointCount of the 400 stored points lie on
    // it, and only they count, whatever the extent and whoever allocated the
    // storage; a count below 1 gives +0 coefficients. The points come as
    // mirror images (x, y), (-x, y), (x, -y), (-x, -y): surface 1 has even
    // powers only, so all four get one fitted height to the bit; surface 2
    // has odd powers of x, so only (x, -y) shares that of (x, y).
    void reproducesPolynomial_data()
    {
        QTest::addColumn<int>("model");
        QTest::addColumn<int>("extent");  // -1: extent and capacity 0, attached storage
        QTest::addColumn<int>("pointCount");
        for (int m = 0; m < 10; ++m)
            for (const QPoint& row : {QPoint(400, 400), QPoint(-1, 400), QPoint(400, 90), QPoint(40, 90),
                                      QPoint(-1, 90), QPoint(400, 0), QPoint(400, -3)})
                QTest::addRow("fitSurface%dTerms%d, extent %d, pointCount %d", m < 4 ? 1 : 2, termCounts[m],
                              row.x(), row.y()) << m << row.x() << row.y();
    }

    void reproducesPolynomial()
    {
        QFETCH(int, model);
        QFETCH(int, extent);
        QFETCH(int, pointCount);
        const int k = termCounts[model], n = std::max(pointCount, 0);
        QVector<QPair<int, int>> terms;
        for (int degree = 0; terms.size() < k; ++degree)
            for (int px = degree; px >= 0 && terms.size() < k; --px)
                if ((degree - px) % 2 == 0 && (model >= 4 || px % 2 == 0))
                    terms.append({px, degree - px});
        Column coefficients, x, y, z;
        for (int j = 0; j < k; ++j)
            coefficients.push_back((j % 3 == 1 ? -1.0 : 1.0) * (1.0 + 0.25 * j));
        for (int p = 0; p < 400; ++p) {
            x.push_back((p % 2 ? -1.0 : 1.0) * (0.1 + 0.45 * (1.0 + sequenceX(p / 4))));
            y.push_back((p % 4 > 1 ? -1.0 : 1.0) * (0.1 + 0.45 * (1.0 + sequenceY(p / 4))));
            z.push_back(p < n ? 0.0 : 1e3);  // points past pointCount lie off the surface
            for (int j = 0; p < n && j < k; ++j)
                z[p] += coefficients[j] * std::pow(x[p], terms[j].first) * std::pow(y[p], terms[j].second);
        }
        const FitResult result = runFit(model, x, y, z, extent, pointCount);
        QCOMPARE(result.extents, (QVector<int>{n, n, n, n}));
        QCOMPARE(result.coefficients[k], 7.0);
        // Observed worst errors: below 1e-9 (coefficients and heights).
        for (int j = 0; j < k; ++j)
            QVERIFY2(n > 0 ? std::fabs(result.coefficients[j] - coefficients[j]) < 1e-7
                           : result.coefficients[j] == 0.0 && !std::signbit(result.coefficients[j]),
                     qPrintable(QString::number(j)));
        for (int p = 0; p < n; ++p)
            QVERIFY2(std::fabs(result.heights[p] - z[p]) < 1e-8, qPrintable(QString::number(p)));
        for (const double* h = result.heights.data(); h + 4 <= result.heights.data() + n; h += 4) {
            QCOMPARE(h[2], h[0]);
            QCOMPARE(h[3], h[1]);
            QCOMPARE(h[1] == h[0], model < 4);
        }
    }
};

QTEST_APPLESS_MAIN(TestFitNumerics)
#include "tst_fit_numerics.moc"
