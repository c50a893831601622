#include "fit/surface_models.h"

#include <QtTest>

#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

using Model = void (*)(MatrixRecord*, MatrixRecord*, MatrixRecord*, int, double*, MatrixRecord*);

struct ModelCase {
    const char* name;
    Model fit;
    int surface;
    int terms;
};

const ModelCase models[] = {
    {"fitSurface1Terms3", fitSurface1Terms3, 1, 3},    {"fitSurface1Terms6", fitSurface1Terms6, 1, 6},
    {"fitSurface1Terms10", fitSurface1Terms10, 1, 10}, {"fitSurface1Terms15", fitSurface1Terms15, 1, 15},
    {"fitSurface2Terms6", fitSurface2Terms6, 2, 6},    {"fitSurface2Terms9", fitSurface2Terms9, 2, 9},
    {"fitSurface2Terms12", fitSurface2Terms12, 2, 12}, {"fitSurface2Terms16", fitSurface2Terms16, 2, 16},
    {"fitSurface2Terms20", fitSurface2Terms20, 2, 20}, {"fitSurface2Terms25", fitSurface2Terms25, 2, 25},
};

using Column = std::vector<double>;

// Point p of a low-discrepancy sequence in [-1, 1]^2: no two points share a
// coordinate, and no low-degree curve holds them all.
double sequenceX(int p) { return -1.0 + 2.0 * std::fmod(0.5 + p * 0.7548776662466927, 1.0); }
double sequenceY(int p) { return -1.0 + 2.0 * std::fmod(0.5 + p * 0.5698402909980532, 1.0); }

MatrixRecord* vectorRecord(const Column& values, int extent)
{
    MatrixRecord* record = nullptr;
    matrixCreate(&record, 1);
    record->extents[0] = static_cast<int>(values.size());
    matrixGrow(record, 0, 8);
    std::copy(values.begin(), values.end(), record->elements);
    record->extents[0] = extent;
    return record;
}

// Extent 0 and a malloc'd buffer, as the fitting run passes its points.
MatrixRecord* attachedRecord(const Column& values)
{
    MatrixRecord* record = nullptr;
    matrixCreate(&record, 1);
    record->elements = static_cast<double*>(std::malloc(sizeof(double) * values.size()));
    std::copy(values.begin(), values.end(), record->elements);
    return record;
}

struct FitResult {
    Column coefficients;  // k values and one sentinel behind them
    Column heights;
    QVector<int> extents;  // of x, y, z and the fitted heights afterwards
    Column x;
};

// Fits and releases the records handed in.
FitResult runFit(const ModelCase& model, MatrixRecord* x, MatrixRecord* y, MatrixRecord* z, int pointCount)
{
    MatrixRecord* fitted = vectorRecord(Column(7, 5.0), 7);
    FitResult result;
    result.coefficients.assign(model.terms + 1, 7.0);
    model.fit(x, y, z, pointCount, result.coefficients.data(), fitted);
    result.heights.assign(fitted->elements, fitted->elements + fitted->extents[0]);
    result.extents = {x->extents[0], y->extents[0], z->extents[0], fitted->extents[0]};
    result.x.assign(x->elements, x->elements + x->extents[0]);
    for (MatrixRecord* record : {x, y, z, fitted})
        matrixRelease(&record);
    return result;
}

FitResult runFit(const ModelCase& model, const Column& x, const Column& y, const Column& z, int extent, int pointCount)
{
    return runFit(model, vectorRecord(x, extent), vectorRecord(y, extent), vectorRecord(z, extent), pointCount);
}

} // namespace

class TestSurfaceModels : public QObject {
    Q_OBJECT

private:
    static void perModel_data();

private slots:
    void reproducesPolynomial_data() { perModel_data(); }
    void reproducesPolynomial();
    void mirrorImages_data() { perModel_data(); }
    void mirrorImages();
    void noPoints_data();
    void noPoints();
    void storageLayouts_data();
    void storageLayouts();
};

void TestSurfaceModels::perModel_data()
{
    QTest::addColumn<int>("model");
    for (int m = 0; m < 10; ++m)
        QTest::newRow(models[m].name) << m;
}

// Heights from a polynomial with every term of the model: the fit returns its
// coefficients and the heights. The terms come from their defining rule here
// (monomials of the surface's kind, rising total degree, falling power of x).
void TestSurfaceModels::reproducesPolynomial()
{
    QFETCH(int, model);
    const ModelCase& m = models[model];

    QVector<QPair<int, int>> terms;
    for (int degree = 0; terms.size() < m.terms; ++degree)
        for (int px = degree; px >= 0 && terms.size() < m.terms; --px)
            if ((degree - px) % 2 == 0 && (m.surface == 2 || px % 2 == 0))
                terms.append({px, degree - px});
    Column coefficients, x, y, z;
    for (int j = 0; j < m.terms; ++j)
        coefficients.push_back((j % 3 == 1 ? -1.0 : 1.0) * (1.0 + 0.25 * j));
    const int count = 400;
    for (int p = 0; p < count; ++p) {
        x.push_back(sequenceX(p));
        y.push_back(sequenceY(p));
        z.push_back(0.0);
        for (int j = 0; j < m.terms; ++j)
            z.back() += coefficients[j] * std::pow(x[p], terms[j].first) * std::pow(y[p], terms[j].second);
    }

    const FitResult result = runFit(m, x, y, z, 0, count);
    // Observed worst errors for 25 terms: 2e-10 (coefficients), 1e-10 (heights).
    for (int j = 0; j < m.terms; ++j)
        QVERIFY2(std::fabs(result.coefficients[j] - coefficients[j]) < 1e-7, qPrintable(QString::number(j)));
    QCOMPARE(result.coefficients[m.terms], 7.0);
    for (int p = 0; p < count; ++p)
        QVERIFY2(std::fabs(result.heights[p] - z[p]) < 1e-8, qPrintable(QString::number(p)));
    QCOMPARE(result.extents, (QVector<int>{count, count, count, count}));
}

// Surface 1 has even powers only: the four mirror images of a point share a
// design row and so a fitted height. Surface 2 has odd powers of x: only
// (x, -y) shares the row of (x, y).
void TestSurfaceModels::mirrorImages()
{
    QFETCH(int, model);
    const ModelCase& m = models[model];

    Column x, y, z;
    const int bases = 60;
    for (int b = 0; b < bases; ++b)
        for (int s = 0; s < 4; ++s) {
            x.push_back((s % 2 ? -1.0 : 1.0) * (0.1 + 0.45 * (1.0 + sequenceX(b))));
            y.push_back((s / 2 ? -1.0 : 1.0) * (0.1 + 0.45 * (1.0 + sequenceY(b))));
            z.push_back(std::sin(3.0 * b + s));  // unrelated heights
        }
    const FitResult result = runFit(m, x, y, z, 4 * bases, 4 * bases);
    for (int b = 0; b < bases; ++b) {
        const double* h = result.heights.data() + 4 * b;  // (x, y), (-x, y), (x, -y), (-x, -y)
        QCOMPARE(h[2], h[0]);
        QCOMPARE(h[3], h[1]);
        QCOMPARE(h[1] == h[0], m.surface == 1);
    }
}

void TestSurfaceModels::noPoints_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("pointCount");
    for (int m = 0; m < 10; ++m) {
        QTest::newRow(qPrintable(QString("%1, count 0").arg(models[m].name))) << m << 0;
        QTest::newRow(qPrintable(QString("%1, count -3").arg(models[m].name))) << m << -3;
    }
}

void TestSurfaceModels::noPoints()
{
    QFETCH(int, model);
    QFETCH(int, pointCount);
    const ModelCase& m = models[model];

    const Column values{0.5, -0.25, 0.75, 0.125, 1.0};
    const FitResult result = runFit(m, values, values, values, 5, pointCount);
    for (int j = 0; j < m.terms; ++j)
        QVERIFY(result.coefficients[j] == 0.0 && !std::signbit(result.coefficients[j]));
    QCOMPARE(result.extents, (QVector<int>{0, 0, 0, 0}));
}

void TestSurfaceModels::storageLayouts_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("extent");  // -1: extent 0 with attached storage
    for (int m : {2, 7})
        for (int extent : {150, 40, -1})
            QTest::newRow(qPrintable(QString("%1, extent %2").arg(models[m].name).arg(extent))) << m << extent;
}

// Only the first pointCount stored values count, whatever the extent and
// whoever allocated the storage: the fit equals that of exact-size records.
void TestSurfaceModels::storageLayouts()
{
    QFETCH(int, model);
    QFETCH(int, extent);
    const ModelCase& m = models[model];

    const int count = 90;
    Column x, y, z;
    for (int p = 0; p < 150; ++p) {
        x.push_back(sequenceX(p));
        y.push_back(sequenceY(p));
        z.push_back(std::cos(x.back() + 2.0 * y.back()));
    }
    const Column firstX(x.begin(), x.begin() + count);
    const FitResult reference = runFit(m, firstX, Column(y.begin(), y.begin() + count),
                                       Column(z.begin(), z.begin() + count), count, count);
    const FitResult result = extent < 0
        ? runFit(m, attachedRecord(x), attachedRecord(y), attachedRecord(z), count)
        : runFit(m, x, y, z, extent, count);
    QCOMPARE(result.extents, (QVector<int>{count, count, count, count}));
    QCOMPARE(result.x, firstX);
    QCOMPARE(result.coefficients, reference.coefficients);
    QCOMPARE(result.heights, reference.heights);
}

QTEST_APPLESS_MAIN(TestSurfaceModels)
#include "tst_fit_surface_models.moc"
