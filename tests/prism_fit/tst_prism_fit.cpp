// The per-half polynomial fit and its file "prism.json", against heights and
// normalisations computed here from the definition of the model.
#include "fit/prism_file.h"
#include "fit/prism_fit.h"
#include "refine/prism_optimize.h"
#include "verify/prism_trace.h"
#include "../verify/test_support.h"

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

// A smooth surface of the solid, no polynomial: f(min(x, -x), y).
class SmoothSolidSurface final : public verify::HeightFieldSurface {
public:
    SmoothSolidSurface(double base, double tilt, double bend) : base_(base), tilt_(tilt), bend_(bend) {}
    double height(double x, double y, double* slopeX, double* slopeY) const override
    {
        const double s = x < 0.0 ? 1.0 : -1.0;
        const double xl = s * x;
        const double z = base_ + tilt_ * xl + bend_ * std::cos(0.06 * xl) * std::exp(0.0004 * y * y);
        if (slopeX)
            *slopeX = s * (tilt_ - 0.06 * bend_ * std::sin(0.06 * xl) * std::exp(0.0004 * y * y));
        if (slopeY)
            *slopeY = bend_ * std::cos(0.06 * xl) * 0.0008 * y * std::exp(0.0004 * y * y);
        return z;
    }

private:
    double base_, tilt_, bend_;
};

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
        QByteArray text("");  // not null: with no lines, an empty file
        for (int l = 0; l < lines; ++l) {
            const double side = l < 103680 ? -1.0 : 1.0;
            for (double v : {side * (1 + l % 97), 0.01 * (l % 108), l == nanLine ? NAN : 0.5, side * 2, 0.0, 12.0})
                text += QByteArray::number(v, 'g', 17) + ' ';
        }
        QTemporaryDir dir;
        QVERIFY(putFile(dir.filePath("outputall.txt"), text));
        PrismDesignPoints points;
        QString error;
        QCOMPARE(readPrismDesignPoints(dir.filePath("outputall.txt"), &points, &error), accepted);
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

    // The optimiser on the rays: the traced rays of a known prism are the
    // targets; started from that prism with some coefficients disturbed, it
    // comes back to it, rays and coefficients.
    void optimiserFindsKnownPrism_data()
    {
        QTest::addColumn<int>("order");
        QTest::addColumn<int>("exitTerm");
        QTest::addColumn<double>("exitShift");
        QTest::addColumn<int>("entranceTerm");
        QTest::addColumn<double>("entranceShift");
        QTest::newRow("order 3, heights") << 3 << 0 << 0.5 << 0 << -0.5;
        QTest::newRow("order 3, tilt and curvature") << 3 << 3 << 0.02 << 1 << 0.03;
        QTest::newRow("order 4, quartic terms") << 4 << 12 << 0.01 << 10 << -0.01;
    }
    void optimiserFindsKnownPrism()
    {
        QFETCH(int, order);
        QFETCH(int, exitTerm);
        QFETCH(double, exitShift);
        QFETCH(int, entranceTerm);
        QFETCH(double, entranceShift);
        const std::size_t terms = static_cast<std::size_t>((order + 1) * (order + 2) / 2);
        PrismFit known;
        known.order = order;
        known.exit.surface = {order, -15.0, 17.5, std::vector<double>(terms, 0.0)};
        known.entrance.surface = {order, -15.0, 17.0, std::vector<double>(terms, 0.0)};
        known.exit.surface.coefficients[0] = 0.5;
        known.exit.surface.coefficients[3] = 0.3;   // u^2
        known.exit.surface.coefficients[5] = 0.2;   // w^2
        known.entrance.surface.coefficients[0] = 13.0;
        known.entrance.surface.coefficients[1] = 2.5;  // u: the face rises towards the centre
        known.entrance.surface.coefficients[5] = 0.4;
        known.exit.domain = known.entrance.domain = {-31.0, 1.0, -18.0, 18.0};
        const verify::PrismGeometry geometry;
        const verify::PrismSurfaces surfaces = verify::prismFitSurfaces(known);
        std::vector<PrismRayTarget> targets;
        for (int column = 25; column < 1920; column += 130)
            for (int row = 40; row < 1080; row += 125) {
                PrismRayTarget t;
                t.x = verify::pixelX(column);
                t.y = verify::pixelY(row);
                const verify::TracedRay ray = verify::traceCameraRay(geometry, surfaces, t.x, t.y);
                QVERIFY(ray.traced());
                t.direction = ray.direction;
                t.pinhole = ray.exitPoint + 50.0 * ray.direction;  // any point of the line
                targets.push_back(t);
            }
        PrismFit start = known;
        start.exit.surface.coefficients[static_cast<std::size_t>(exitTerm)] += exitShift;
        start.entrance.surface.coefficients[static_cast<std::size_t>(entranceTerm)] += entranceShift;
        PrismOptimizeOptions options;
        options.objective = PrismObjective::Mapping;
        options.maxIterations = 30;
        options.relativeTolerance = 1e-12;
        int calls = 0, lastIteration = -1;
        options.progress = [&](const PrismOptimizeProgress& p) {
            QVERIFY(p.iteration > lastIteration);
            lastIteration = p.iteration;
            ++calls;
        };
        const PrismOptimizeResult result = optimizePrismFit(geometry, start, targets, options);
        QVERIFY2(result.start.directionRmsPx > 1.0 || result.start.pinholeRmsMm > 0.01,
                 qPrintable(QStringLiteral("%1 px, %2 mm").arg(result.start.directionRmsPx).arg(result.start.pinholeRmsMm)));
        QVERIFY2(result.end.directionRmsPx < 1e-3 && result.end.pinholeRmsMm < 1e-4,
                 qPrintable(QStringLiteral("%1 px, %2 mm").arg(result.end.directionRmsPx).arg(result.end.pinholeRmsMm)));
        QCOMPARE(calls, result.iterations + 1);
        QVERIFY(!result.stopReason.isEmpty() && !result.stopReason.contains(QLatin1Char('\n')));
        for (std::size_t k = 0; k < terms; ++k) {
            QVERIFY(std::abs(result.fit.exit.surface.coefficients[k] - known.exit.surface.coefficients[k]) < 1e-4);
            QVERIFY(std::abs(result.fit.entrance.surface.coefficients[k] - known.entrance.surface.coefficients[k]) < 1e-4);
        }
    }

    // A known smooth surface pair, fitted from its points, traces like the
    // surfaces themselves: the verified errors of each pixel agree within
    // what the fit residual allows.
    void fittedSurfacesTraceLikeTheSurfaces_data()
    {
        QTest::addColumn<int>("order");
        QTest::newRow("order 6") << 6;
        QTest::newRow("order 8") << 8;
        QTest::newRow("order 10") << 10;
    }
    void fittedSurfacesTraceLikeTheSurfaces()
    {
        QFETCH(int, order);
        const auto exit = std::make_shared<SmoothSolidSurface>(0.6, 0.01, -0.4);
        const auto entrance = std::make_shared<SmoothSolidSurface>(15.0, 0.15, 0.8);
        PrismFit fit;
        fit.order = order;
        for (const auto& [surface, target] : {std::pair<const SmoothSolidSurface*, PrismSurfaceFit*>{exit.get(), &fit.exit},
                                              {entrance.get(), &fit.entrance}}) {
            SurfacePoints left = gridPoints(-31.0, -0.01, 18.0, 120, 60, 4);
            for (int p = 0; p < left.size(); ++p)
                left.z[p] = surface->height(left.x[p], left.y[p], nullptr, nullptr);
            *target = fitPrismSurface(left, SurfacePoints(), order);
        }
        verify::PrismSurfaces truth;
        truth.exit = {exit, exit};
        truth.entrance = {entrance, entrance};
        const verify::PrismSurfaces fitted = verify::prismFitSurfaces(fit);
        verify::PrismGeometry geometry;
        geometry.virtualPinholeX = -14.8757;
        double worst = 0.0, worstPinhole = 0.0, largest = 0.0;
        for (int column = 10; column < 1920; column += 97)
            for (int row = 20; row < 1080; row += 131) {
                const double x = verify::pixelX(column), y = verify::pixelY(row);
                const verify::TracedRay a = verify::traceCameraRay(geometry, truth, x, y);
                const verify::TracedRay b = verify::traceCameraRay(geometry, fitted, x, y);
                QVERIFY(a.traced() && b.traced());
                const verify::PixelErrors ea = verify::pixelErrors(geometry, x, y, a, {1000.0});
                const verify::PixelErrors eb = verify::pixelErrors(geometry, x, y, b, {1000.0});
                worst = std::max(worst, std::abs(ea.directionPx - eb.directionPx));
                worstPinhole = std::max(worstPinhole, std::abs(ea.pinholeMm - eb.pinholeMm));
                largest = std::max(largest, ea.directionPx);
            }
        QVERIFY(largest > 10.0);  // the surfaces are no good prism: the errors are large, and compared
        // A height error e of a polynomial of degree N on a half width R
        // tilts its slope by at most about e N^2 / R (Markov); a slope error
        // s turns the outgoing ray by (n - 1) s, seen f / pitch pixels per
        // radian, and moves the line by about that angle times F at the
        // pinhole. Twice that is allowed.
        const double slope = std::max(fit.exit.maxResidual, fit.entrance.maxResidual) * order * order / 17.0;
        const double angle = 2.0 * (geometry.refractiveIndex - 1.0) * slope;
        const double tolerancePx = angle * geometry.focalLength / verify::pixelPitch;
        const double toleranceMm = angle * geometry.pinholeHeight();
        QVERIFY2(worst < tolerancePx && worstPinhole < toleranceMm,
                 qPrintable(QStringLiteral("%1 px, %2 mm; allowed %3 px, %4 mm")
                                .arg(worst).arg(worstPinhole).arg(tolerancePx).arg(toleranceMm)));
    }

    // "prism.json" gives back the very same doubles (broken files are refused
    // in tst_verify's badFile).
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
};

QTEST_GUILESS_MAIN(PrismFitTest)
#include "tst_prism_fit.moc"
