// The per-half polynomial fit and its file "prism.json", against heights and
// normalisations computed here from the definition of the model.
#include "fit/prism_file.h"
#include "fit/prism_fit.h"

#include <QtTest>

#include <cmath>
#include <random>

namespace {

// Design-like points of one half: a jittered grid over x in [xLow, xHigh],
// y in [-yReach, yReach].
SurfacePoints gridPoints(double xLow, double xHigh, double yReach, int nx, int ny, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> jitter(-0.3, 0.3);
    SurfacePoints p;
    for (int i = 0; i < nx; ++i)
        for (int j = 0; j < ny; ++j) {
            const double fx = std::clamp((i + jitter(random)) / (nx - 1), 0.0, 1.0);
            const double fy = std::clamp((j + jitter(random)) / (ny - 1), 0.0, 1.0);
            p.x.push_back(xLow + (xHigh - xLow) * fx);
            p.y.push_back(yReach * (2.0 * fy - 1.0));
            p.z.push_back(0.0);
        }
    return p;
}

// sum c_k u^a w^b over every (a, b) with a + b <= order, listed by rising
// total degree and falling power of u, with std::pow.
double polynomial(const std::vector<double>& c, int order, double u, double w)
{
    double z = 0.0;
    std::size_t k = 0;
    for (int degree = 0; degree <= order; ++degree)
        for (int a = degree; a >= 0; --a)
            z += c[k++] * std::pow(u, a) * std::pow(w, degree - a);
    return z;
}

std::vector<double> randomCoefficients(int order, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::vector<double> c(static_cast<std::size_t>((order + 1) * (order + 2) / 2));
    for (double& v : c)
        v = value(random);
    return c;
}

}  // namespace

class PrismFitTest : public QObject {
    Q_OBJECT

private slots:
    // Heights from a known polynomial of the model's terms come back as its
    // coefficients at every order, 10 included, where the normal matrix of
    // these points would have a condition number of the square of the
    // reported one.
    void exactPolynomial_data()
    {
        QTest::addColumn<int>("order");
        QTest::addColumn<double>("xLow");
        QTest::addColumn<double>("xHigh");
        for (int order = lowestPrismOrder; order <= highestPrismOrder; ++order)
            QTest::addRow("order %d, exit-like", order) << order << -30.7 << 0.9;
        QTest::newRow("order 10, entrance-like") << 10 << -30.1 << -0.03;
        QTest::newRow("order 10, x range shorter than y") << 10 << -25.0 << -5.0;
    }
    void exactPolynomial()
    {
        QFETCH(int, order);
        QFETCH(double, xLow);
        QFETCH(double, xHigh);
        const double yReach = 17.4;
        SurfacePoints left = gridPoints(xLow, xHigh, yReach, 90, 50, 11u * order);
        // The normalisation the model states: x0 the middle of the x range,
        // R the largest of the half x range and |y|.
        const double x0 = 0.5 * (*std::min_element(left.x.begin(), left.x.end())
                                 + *std::max_element(left.x.begin(), left.x.end()));
        double R = 0.0;
        for (int p = 0; p < left.size(); ++p)
            R = std::max({R, std::abs(left.x[p] - x0), std::abs(left.y[p])});
        const std::vector<double> c = randomCoefficients(order, 5u + order);
        for (int p = 0; p < left.size(); ++p)
            left.z[p] = polynomial(c, order, (left.x[p] - x0) / R, left.y[p] / R);

        const PrismSurfaceFit fit = fitPrismSurface(left, SurfacePoints(), order);
        QCOMPARE(fit.surface.x0, x0);
        QCOMPARE(fit.surface.radius, R);
        QCOMPARE(fit.rank, static_cast<int>(c.size()));
        QCOMPARE(fit.surface.coefficients.size(), c.size());
        for (std::size_t k = 0; k < c.size(); ++k)
            QVERIFY2(std::abs(fit.surface.coefficients[k] - c[k]) < 1e-9,
                     qPrintable(QStringLiteral("coefficient %1: %2 vs %3").arg(k).arg(fit.surface.coefficients[k]).arg(c[k])));
        QVERIFY(fit.maxResidual < 1e-11 && fit.rmsResidual <= fit.maxResidual);
        QVERIFY(fit.conditionNumber > 1.0 && fit.conditionNumber < 1e6);
        // The surface's own evaluation agrees with the definition.
        for (int p = 0; p < left.size(); p += 97)
            QVERIFY(std::abs(fit.surface.leftSag(left.x[p], left.y[p]).z - left.z[p]) < 1e-11);
    }

    // The right half is the mirror image of the left: fitted on the left
    // points only, the surface meets mirrored right points exactly, its
    // solid heights are even in x and its x slope odd, and fitting the
    // mirrored right half gives the same coefficients.
    void mirrorSymmetry_data()
    {
        QTest::addColumn<int>("order");
        QTest::addColumn<double>("tilt");
        QTest::newRow("order 4, flat") << 4 << 0.0;
        QTest::newRow("order 7, tilted") << 7 << 0.35;
        QTest::newRow("order 10, tilted") << 10 << -0.2;
    }
    void mirrorSymmetry()
    {
        QFETCH(int, order);
        QFETCH(double, tilt);
        // A smooth surface that is no polynomial: the fit is approximate.
        const auto f = [tilt](double x, double y) { return 12.0 + tilt * x + 0.3 * std::cos(0.08 * x) * std::exp(0.0005 * y * y); };
        SurfacePoints left = gridPoints(-30.0, -0.1, 16.5, 80, 40, 3);
        SurfacePoints right;
        for (int p = 0; p < left.size(); ++p) {
            left.z[p] = f(left.x[p], left.y[p]);
            right.x.push_back(-left.x[p]);
            right.y.push_back(left.y[p]);
            right.z.push_back(left.z[p]);
        }
        const PrismSurfaceFit fit = fitPrismSurface(left, right, order);
        QCOMPARE(fit.mirrorPointCount, right.size());
        QVERIFY(std::abs(fit.mirrorMaxResidual - fit.maxResidual) < 1e-12);
        QVERIFY(std::abs(fit.mirrorRmsResidual - fit.rmsResidual) < 1e-12);
        QVERIFY2(fit.maxResidual < 1e-2, qPrintable(QString::number(fit.maxResidual)));
        for (double x : {0.0, 1e-9, 3.0, 17.5, 29.0})
            for (double y : {-15.0, 0.0, 8.0}) {
                const SurfaceSag l = fit.surface.sag(-x, y), r = fit.surface.sag(x, y);
                QCOMPARE(r.z, x == 0.0 ? fit.surface.leftSag(0.0, y).z : l.z);
                QVERIFY(std::abs(r.dzdx + l.dzdx) < 1e-12 || x == 0.0);
                QCOMPARE(r.dzdy, l.dzdy);
                QVERIFY(std::abs(fit.surface.height(x, y) - r.z) < 1e-14);
            }
        SurfacePoints mirroredRight = right;
        for (double& x : mirroredRight.x)
            x = -x;
        const PrismSurfaceFit again = fitPrismSurface(mirroredRight, SurfacePoints(), order);
        for (std::size_t k = 0; k < fit.surface.coefficients.size(); ++k)
            QVERIFY(std::abs(again.surface.coefficients[k] - fit.surface.coefficients[k]) < 1e-12);
    }

    // The split of a design file: first 960 columns left, non-finite points
    // dropped per surface, anything but 1920 x 108 lines refused.
    void splitDesignFile_data()
    {
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("nanLine");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("full, a NaN exit point on the left") << 207360 << 5 << true;
        QTest::newRow("full, a NaN exit point on the right") << 207360 << 103680 << true;
        QTest::newRow("one line short") << 207359 << -1 << false;
        QTest::newRow("empty") << 0 << -1 << false;
    }
    void splitDesignFile()
    {
        QFETCH(int, lines);
        QFETCH(int, nanLine);
        QFETCH(bool, accepted);
        std::vector<double> numbers;
        for (int l = 0; l < lines; ++l) {
            const double side = l < 103680 ? -1.0 : 1.0;
            const double row[6] = {side * (1 + l % 97), 0.01 * (l % 108), l == nanLine ? NAN : 0.5,
                                   side * 2, 0.0, 12.0};
            numbers.insert(numbers.end(), row, row + 6);
        }
        QTemporaryDir dir;
        QString text;
        for (double v : numbers)
            text += QString::number(v, 'g', 17) + QLatin1Char(' ');
        QFile file(dir.filePath("outputall.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text.toLatin1());
        file.close();
        PrismDesignPoints points;
        QString error;
        QCOMPARE(readPrismDesignPoints(file.fileName(), &points, &error), accepted);
        QCOMPARE(error.isEmpty(), accepted);
        if (!accepted)
            return;
        QCOMPARE(points.exitLeft.size(), nanLine < 103680 ? 103679 : 103680);
        QCOMPARE(points.exitRight.size(), nanLine < 103680 ? 103680 : 103679);
        QCOMPARE(points.entranceLeft.size() + points.entranceRight.size(), 207360);
        for (double x : points.exitLeft.x)
            QVERIFY(x < 0.0);
        for (double x : points.entranceRight.x)
            QVERIFY(x > 0.0);
    }

    // Fewer points than terms: no crash, the rank says so.
    void rankDeficient()
    {
        SurfacePoints few = gridPoints(-20.0, -1.0, 10.0, 4, 3, 9);
        for (int p = 0; p < few.size(); ++p)
            few.z[p] = 1.0 + few.x[p];
        const PrismSurfaceFit fit = fitPrismSurface(few, SurfacePoints(), 6);
        QVERIFY(fit.rank <= 12 && fit.rank < 28);
        QVERIFY(std::isinf(fit.conditionNumber));
        QVERIFY(fit.maxResidual < 1e-9);  // a plane is still met
        QVERIFY(std::isinf(fitPrismSurface(SurfacePoints(), SurfacePoints(), 3).conditionNumber));
    }

    // "prism.json" gives back the very same doubles; broken files are refused.
    void prismFileRoundTrip()
    {
        PrismFileContent content;
        content.panel.centralRayHitX = 14.875705432101234;
        content.panel.refractiveIndex = static_cast<double>(1.48f);
        content.fit.order = 9;
        for (PrismSurfaceFit* f : {&content.fit.exit, &content.fit.entrance}) {
            f->surface.order = 9;
            f->surface.x0 = -14.895612345678901;
            f->surface.radius = 17.429399999999998;
            f->surface.coefficients = randomCoefficients(9, 17);
            f->surface.coefficients[3] = 5e-324;
            f->surface.coefficients[4] = -1.0 / 3.0;
            f->domain = {-30.7004, 0.909267, -17.4294, 17.4294};
            f->conditionNumber = INFINITY;
        }
        QTemporaryDir dir;
        QString error;
        QVERIFY(writePrismFile(dir.path(), content, &error));
        PrismFileContent back;
        QVERIFY2(readPrismFile(dir.filePath("prism.json"), &back, &error), qPrintable(error));
        QCOMPARE(back.fit.exit.surface.coefficients, content.fit.exit.surface.coefficients);
        QCOMPARE(back.fit.entrance.surface.x0, content.fit.entrance.surface.x0);
        QCOMPARE(back.panel.centralRayHitX, content.panel.centralRayHitX);
        QCOMPARE(back.panel.refractiveIndex, content.panel.refractiveIndex);
        QVERIFY(std::isnan(back.fit.exit.conditionNumber));  // written as null
        QVERIFY(!back.verified.present);
        QVERIFY(QByteArray::fromStdString(prismFileText(content)).contains("\"conditionNumber\": null"));
    }

    void badPrismFile_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("missing") << QByteArray();
        QTest::newRow("not JSON") << QByteArray("{ \"format\": ");
        QTest::newRow("other format") << QByteArray("{\"format\": \"something\"}");
        QTest::newRow("no surfaces") << QByteArray("{\"format\": \"harvenlotek-prism\", \"surfaces\": {}}");
        QTest::newRow("term count off") << QByteArray(
            "{\"format\": \"harvenlotek-prism\", \"surfaces\": {\"exit\": {\"order\": 3, \"normalisation\": "
            "{\"x0\": 0, \"R\": 1}, \"terms\": [[0, 0]], \"coefficients\": [1], \"domain\": {\"xMin\": -1, "
            "\"xMax\": 0, \"yMin\": -1, \"yMax\": 1}}}}");
    }
    void badPrismFile()
    {
        QFETCH(QByteArray, text);
        QTemporaryDir dir;
        const QString path = dir.filePath("prism.json");
        if (!text.isEmpty()) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(text);
        }
        PrismFileContent content;
        QString error;
        QVERIFY(!readPrismFile(path, &content, &error));
        QVERIFY(!error.isEmpty() && !error.contains(QLatin1Char('\n')));
    }
};

QTEST_GUILESS_MAIN(PrismFitTest)
#include "tst_prism_fit.moc"
