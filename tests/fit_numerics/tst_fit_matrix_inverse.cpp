#include "fit/matrix_inverse.h"

#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

Q_DECLARE_METATYPE(std::vector<double>)

namespace {

using Inverse = void (*)(const double*, double*);

Inverse inverseOfSize(int n)
{
    switch (n) {
    case 3: return invertMatrix3;
    case 6: return invertMatrix6;
    case 9: return invertMatrix9;
    case 10: return invertMatrix10;
    case 12: return invertMatrix12;
    case 15: return invertMatrix15;
    case 16: return invertMatrix16;
    case 20: return invertMatrix20;
    case 25: return invertMatrix25;
    default: return nullptr;
    }
}

const int sizes[] = {3, 6, 9, 10, 12, 15, 16, 20, 25};

// Column-major matrix from rows written out as in the source.
std::vector<double> fromRows(int n, const std::vector<double>& rows)
{
    std::vector<double> m(n * n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            m[i + n * j] = rows[n * i + j];
    return m;
}

// Runs the inverse on a copy and checks that the input is left as it was.
std::vector<double> invert(int n, const std::vector<double>& input)
{
    const std::vector<double> before = input;
    std::vector<double> output(n * n, -99.0);
    inverseOfSize(n)(input.data(), output.data());
    if (std::memcmp(before.data(), input.data(), sizeof(double) * n * n) != 0)
        qFatal("inverse changed its input");
    return output;
}

double distanceFromIdentity(int n, const std::vector<double>& a, const std::vector<double>& b)
{
    double worst = 0.0;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            long double sum = 0.0L;
            for (int t = 0; t < n; ++t)
                sum += static_cast<long double>(a[i + n * t]) * b[t + n * j];
            worst = std::max(worst, std::fabs(static_cast<double>(sum) - (i == j ? 1.0 : 0.0)));
        }
    return worst;
}

} // namespace

class TestMatrixInverse : public QObject {
    Q_OBJECT

private slots:
    void exactInverses_data();
    void exactInverses();
    void pivotChoice_data();
    void pivotChoice();
    void wellConditioned_data();
    void wellConditioned();
    void allZero_data();
    void allZero();
};

void TestMatrixInverse::exactInverses_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("kind");
    for (int n : sizes)
        for (const char* kind : {"identity", "diagonal", "swap first and last row"})
            QTest::newRow(qPrintable(QString("%1 %2").arg(kind).arg(n))) << n << QString(kind);
}

void TestMatrixInverse::exactInverses()
{
    QFETCH(int, n);
    QFETCH(QString, kind);

    std::vector<double> a(n * n, 0.0);
    std::vector<double> expected(n * n, 0.0);
    for (int i = 0; i < n; ++i) {
        if (kind == "identity") {
            a[i + n * i] = expected[i + n * i] = 1.0;
        } else if (kind == "diagonal") {
            const double d = (i % 2 ? -0.5 : 3.0) * (i + 1);
            a[i + n * i] = d;
            expected[i + n * i] = 1.0 / d;
        } else {
            const int j = i == 0 ? n - 1 : (i == n - 1 ? 0 : i);
            a[i + n * j] = expected[i + n * j] = 1.0;
        }
    }
    const std::vector<double> inverse = invert(n, a);
    for (int e = 0; e < n * n; ++e)
        QVERIFY2(inverse[e] == expected[e], qPrintable(QString("element %1: %2").arg(e).arg(inverse[e], 0, 'g', 17)));
}

// Integer matrices whose exact inverse adj / det the elimination reproduces to
// the last bit only when it pivots on the right row; any other choice of pivot
// rounds differently. adj and det are checked here before use.
void TestMatrixInverse::pivotChoice_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<std::vector<double>>("rows");
    QTest::addColumn<std::vector<double>>("adjugateRows");
    QTest::addColumn<double>("determinant");

    QTest::newRow("3x3 first column 1,3,3 pivots on row 2")
        << 3 << std::vector<double>{1, -5, -5, 3, 0, 2, 3, 0, 1}
        << std::vector<double>{0, 5, -10, 3, 16, -17, 0, -15, 15} << -15.0;
    QTest::newRow("3x3 first column 1,3,2 pivots on row 1")
        << 3 << std::vector<double>{1, 1, 3, 3, -2, -1, 2, 4, 4}
        << std::vector<double>{-4, 8, 5, -14, -2, 10, 16, -2, -5} << 30.0;
    QTest::newRow("6x6 ties go to the topmost row")
        << 6
        << std::vector<double>{2, 0, 4, 4, 2, 0, 0, 4, 4, -2, 4, -3, 0, -2, 2, -1, -4, 0,
                               -2, -1, 0, 2, 1, -2, 1, -2, 4, -1, -2, 1, 1, 4, -2, 4, 1, -2}
        << std::vector<double>{1046, 200, 1560, -704, -2432, -812, -660, -112, -976, 384, 1536, 552,
                               -327, -52, -508, 224, 832, 270, -246, -72, -408, 192, 640, 236,
                               228, 48, 272, -128, -512, -200, -848, -192, -1344, 512, 2048, 672}
        << 256.0;
}

void TestMatrixInverse::pivotChoice()
{
    QFETCH(int, n);
    QFETCH(std::vector<double>, rows);
    QFETCH(std::vector<double>, adjugateRows);
    QFETCH(double, determinant);

    const std::vector<double> a = fromRows(n, rows);
    const std::vector<double> adjugate = fromRows(n, adjugateRows);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            double sum = 0.0;  // small integers: exact
            for (int t = 0; t < n; ++t)
                sum += a[i + n * t] * adjugate[t + n * j];
            QCOMPARE(sum, i == j ? determinant : 0.0);
        }

    const std::vector<double> inverse = invert(n, a);
    for (int e = 0; e < n * n; ++e) {
        const double expected = adjugate[e] / determinant;  // correctly rounded
        QVERIFY2(inverse[e] == expected, qPrintable(QString("element %1: %2 instead of %3")
                                                        .arg(e)
                                                        .arg(inverse[e], 0, 'g', 17)
                                                        .arg(expected, 0, 'g', 17)));
    }
}

void TestMatrixInverse::wellConditioned_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("seed");
    for (int n : sizes)
        for (int seed : {1, 2, 3})
            QTest::newRow(qPrintable(QString("size %1 seed %2").arg(n).arg(seed))) << n << seed;
}

// Random entries plus a dominant scattered permutation: well conditioned, and
// every column needs a row exchange most of the time.
void TestMatrixInverse::wellConditioned()
{
    QFETCH(int, n);
    QFETCH(int, seed);

    std::mt19937 generator(static_cast<unsigned>(seed * 100 + n));
    std::uniform_real_distribution<double> entry(-1.0, 1.0);
    std::vector<int> order(n);
    for (int i = 0; i < n; ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), generator);
    std::vector<double> a(n * n);
    for (double& value : a)
        value = entry(generator);
    for (int i = 0; i < n; ++i)
        a[i + n * order[i]] += (entry(generator) < 0 ? -1.0 : 1.0) * n;

    const std::vector<double> inverse = invert(n, a);
    QVERIFY2(distanceFromIdentity(n, a, inverse) < 1e-13, "A * inv(A) is not I");
    QVERIFY2(distanceFromIdentity(n, inverse, a) < 1e-13, "inv(A) * A is not I");
}

void TestMatrixInverse::allZero_data()
{
    QTest::addColumn<int>("n");
    for (int n : sizes)
        QTest::newRow(qPrintable(QString("size %1").arg(n))) << n;
}

// Without a usable pivot every division is by zero. In the elimination, zero
// right-hand sides are skipped, not divided: column c of the result is NaN
// above the diagonal, +inf on it and 0 below it.
void TestMatrixInverse::allZero()
{
    QFETCH(int, n);
    const std::vector<double> inverse = invert(n, std::vector<double>(n * n, 0.0));
    if (n == 3) {
        QVERIFY(std::none_of(inverse.begin(), inverse.end(), [](double v) { return std::isfinite(v); }));
        return;
    }
    for (int c = 0; c < n; ++c)
        for (int i = 0; i < n; ++i) {
            const double v = inverse[i + n * c];
            if (i < c)
                QVERIFY(std::isnan(v));
            else if (i == c)
                QCOMPARE(v, std::numeric_limits<double>::infinity());
            else
                QCOMPARE(v, 0.0);
        }
}

QTEST_APPLESS_MAIN(TestMatrixInverse)
#include "tst_fit_matrix_inverse.moc"
