// The optics kernel against closed forms worked out here: the lateral shift
// of a flat plate, t sin(i - r) / cos r; the deviation of a wedge in its plane
// of symmetry; total internal reflection; the meeting point of a ray with a
// paraboloid (a quadratic in t). Each in double and in ceres::Jet, whose
// derivative part must match the central difference of the closed form.
#include "core/optics.h"

#include <ceres/jet.h>

#include <QtTest>

#include <cmath>

using optics::Vec3T;

namespace {

using Jet = ceres::Jet<double, 1>;

// The unknown the derivatives are taken with respect to.
Jet variable(double value) { return Jet(value, 0); }

double derivativeOf(const Jet& x) { return x.v[0]; }

// A plane z = c + slope * x as a height field.
template <typename T>
auto planeHeight(T c, T slope)
{
    return [c, slope](const T& x, const T&, T* sx, T* sy) {
        *sx = slope;
        *sy = T(0.0);
        return T(c + slope * x);
    };
}

// Lateral shift of a ray through a plate of thickness `thickness` between
// z = thickness and z = 0, incidence i in the x-z plane, index n.
template <typename T>
T plateShift(const T& incidence, double thickness, double n, bool* ok)
{
    using std::cos;
    using std::sin;
    const Vec3T<T> o(T(0.0), T(0.0), T(thickness + 50.0));
    const Vec3T<T> d(sin(incidence), T(0.0), -cos(incidence));
    const auto top = optics::intersectHeightField<T>(o, d, planeHeight<T>(T(thickness), T(0.0)));
    Vec3T<T> inside;
    *ok = top.status == optics::HeightFieldStatus::Hit
          && optics::refract<T>(d, optics::heightFieldNormal(top.slopeX, top.slopeY), T(1.0 / n), &inside);
    if (!*ok)
        return T(0.0);
    const auto bottom = optics::intersectHeightField<T>(top.point, inside, planeHeight<T>(T(0.0), T(0.0)));
    Vec3T<T> out;
    *ok = bottom.status == optics::HeightFieldStatus::Hit
          && optics::refract<T>(inside, optics::heightFieldNormal(bottom.slopeX, bottom.slopeY), T(n), &out);
    if (!*ok)
        return T(0.0);
    *ok = (out - d).norm() < T(1e-13);
    return (bottom.point - o).cross(d).norm();
}

double plateShiftClosed(double i, double t, double n)
{
    const double r = std::asin(std::sin(i) / n);
    return t * std::sin(i - r) / std::cos(r);
}

// Deviation of a ray in the x-z plane through a wedge: entrance face z = 30 +
// tan(A) x, exit face z = 0; phi the ray's angle from -z towards +x.
template <typename T>
T wedgeDeviation(const T& phi, double wedge, double n, int* status)
{
    using std::atan2;
    using std::cos;
    using std::sin;
    const Vec3T<T> o(T(0.0), T(0.0), T(200.0));
    const Vec3T<T> d(sin(phi), T(0.0), -cos(phi));
    const auto entrance = optics::intersectHeightField<T>(o, d, planeHeight<T>(T(30.0), T(std::tan(wedge))));
    Vec3T<T> inside;
    if (entrance.status != optics::HeightFieldStatus::Hit
        || !optics::refract<T>(d, optics::heightFieldNormal(entrance.slopeX, entrance.slopeY), T(1.0 / n), &inside)) {
        *status = 1;
        return T(0.0);
    }
    const auto exit = optics::intersectHeightField<T>(entrance.point, inside, planeHeight<T>(T(0.0), T(0.0)));
    Vec3T<T> out;
    if (exit.status != optics::HeightFieldStatus::Hit) {
        *status = 1;
        return T(0.0);
    }
    if (!optics::refract<T>(inside, optics::heightFieldNormal(exit.slopeX, exit.slopeY), T(n), &out)) {
        *status = 2;  // total internal reflection
        return T(0.0);
    }
    *status = 0;
    return atan2(out.x(), -out.z()) - phi;
}

// -1: total reflection.
double wedgeDeviationClosed(double phi, double wedge, double n)
{
    const double inside = wedge + std::asin(std::sin(phi - wedge) / n);
    const double sine = n * std::sin(inside);
    return std::fabs(sine) >= 1.0 ? -1.0 : std::asin(sine) - phi;
}

// Ray from (x0, 0, 100) downwards with slope k in x meets z = c + a (x^2 + y^2).
template <typename T>
T paraboloidHeight(const T& c, double a, const T& x0, double k, bool* ok)
{
    using std::sqrt;
    const Vec3T<T> o(x0, T(0.3), T(100.0));
    const Vec3T<T> d = Vec3T<T>(T(k), T(0.0), T(-1.0)).normalized();
    const auto hit = optics::intersectHeightField<T>(o, d, [&](const T& x, const T& y, T* sx, T* sy) {
        *sx = 2.0 * a * x;
        *sy = 2.0 * a * y;
        return T(c + a * (x * x + y * y));
    });
    *ok = hit.status == optics::HeightFieldStatus::Hit;
    return hit.point.z();
}

double paraboloidClosed(double c, double a, double x0, double k)
{
    // With s = 100 - z the ray is at x = x0 + k s, y = 0.3, and meets the
    // surface where a k^2 s^2 + (2 a k x0 + 1) s + (a x0^2 + 0.09 a + c - 100) = 0;
    // the constant term is negative, so one root is positive: the hit.
    const double A = a * k * k;
    const double b = 2.0 * a * k * x0 + 1.0;
    const double C = a * x0 * x0 + 0.09 * a + c - 100.0;
    const double s = (-b + std::sqrt(b * b - 4.0 * A * C)) / (2.0 * A);
    return 100.0 - s;
}

}  // namespace

class TestOptics : public QObject {
    Q_OBJECT

private slots:
    void flatPlateShift_data()
    {
        QTest::addColumn<double>("incidenceDeg");
        QTest::addColumn<double>("thickness");
        QTest::addColumn<double>("n");
        QTest::newRow("small angle") << 3.0 << 12.0 << 1.48;
        QTest::newRow("30 degrees") << 30.0 << 20.0 << 1.52;
        QTest::newRow("grazing, dense") << 75.0 << 5.0 << 1.9;
        QTest::newRow("negative") << -20.0 << 8.0 << 1.5;
    }
    void flatPlateShift()
    {
        QFETCH(double, incidenceDeg);
        QFETCH(double, thickness);
        QFETCH(double, n);
        const double i = incidenceDeg * M_PI / 180.0;
        const double expected = std::fabs(plateShiftClosed(i, thickness, n));
        bool ok = false;
        const double shift = plateShift<double>(i, thickness, n, &ok);
        QVERIFY(ok);
        QVERIFY2(std::fabs(shift - expected) < 1e-12, qPrintable(QString::number(shift - expected)));
        const Jet dual = plateShift<Jet>(variable(i), thickness, n, &ok);
        QVERIFY(ok);
        QVERIFY(std::fabs(dual.a - expected) < 1e-12);
        const double h = 1e-6;
        const double slope = (std::fabs(plateShiftClosed(i + h, thickness, n))
                              - std::fabs(plateShiftClosed(i - h, thickness, n))) / (2.0 * h);
        QVERIFY2(std::fabs(derivativeOf(dual) - slope) < 1e-7 * std::max(1.0, std::fabs(slope)),
                 qPrintable(QStringLiteral("%1 vs %2").arg(derivativeOf(dual)).arg(slope)));
    }

    void wedge_data()
    {
        QTest::addColumn<double>("phiDeg");
        QTest::addColumn<double>("wedgeDeg");
        QTest::addColumn<double>("n");
        QTest::newRow("thin wedge") << -1.0 << 5.0 << 1.48;
        QTest::newRow("20 degrees") << 0.5 << 20.0 << 1.48;
        QTest::newRow("dense, 30 degrees") << -2.0 << 30.0 << 1.8;
        QTest::newRow("negative wedge") << 1.5 << -25.0 << 1.5;
        QTest::newRow("total reflection") << 0.3 << 60.0 << 1.48;
    }
    void wedge()
    {
        QFETCH(double, phiDeg);
        QFETCH(double, wedgeDeg);
        QFETCH(double, n);
        const double phi = phiDeg * M_PI / 180.0;
        const double a = wedgeDeg * M_PI / 180.0;
        const double expected = wedgeDeviationClosed(phi, a, n);
        int status = -1;
        const double deviation = wedgeDeviation<double>(phi, a, n, &status);
        int dualStatus = -1;
        const Jet dual = wedgeDeviation<Jet>(variable(phi), a, n, &dualStatus);
        QCOMPARE(dualStatus, status);
        if (expected == -1.0) {
            QCOMPARE(status, 2);
            return;
        }
        QCOMPARE(status, 0);
        QVERIFY2(std::fabs(deviation - expected) < 1e-12, qPrintable(QString::number(deviation - expected)));
        QVERIFY(std::fabs(dual.a - expected) < 1e-12);
        const double h = 1e-6;
        const double slope = (wedgeDeviationClosed(phi + h, a, n) - wedgeDeviationClosed(phi - h, a, n)) / (2.0 * h);
        QVERIFY2(std::fabs(derivativeOf(dual) - slope) < 1e-7,
                 qPrintable(QStringLiteral("%1 vs %2").arg(derivativeOf(dual)).arg(slope)));
    }

    // Snell's law in its scalar form on an oblique normal: sin i = n sin r,
    // coplanar, and the refracted ray goes on through the surface.
    void snellScalarForm()
    {
        const Vec3T<double> normal = Vec3T<double>(0.2, -0.35, 1.0).normalized();
        const Vec3T<double> w = Vec3T<double>(0.4, 0.1, -1.0).normalized();
        for (const double n : {1.33, 1.48, 1.9}) {
            Vec3T<double> t;
            QVERIFY(optics::refract<double>(w, normal, 1.0 / n, &t));
            QVERIFY(std::fabs(w.cross(normal).norm() - n * t.cross(normal).norm()) < 1e-15);
            QVERIFY(std::fabs(w.cross(normal).dot(t)) < 1e-15);
            QVERIFY(t.dot(normal) < 0.0);
            Vec3T<Jet> tj;
            QVERIFY(optics::refract<Jet>(w.cast<Jet>(), (-normal).cast<Jet>(), Jet(1.0 / n), &tj));
            QVERIFY((Vec3T<double>(tj.x().a, tj.y().a, tj.z().a) - t).norm() < 1e-15);
        }
    }

    // The Newton search, started from a given distance with one step taken,
    // carries the derivative of the meeting point (the implicit function
    // theorem): against the closed form's central difference.
    void paraboloid_data()
    {
        QTest::addColumn<double>("a");
        QTest::addColumn<double>("x0");
        QTest::addColumn<double>("k");
        QTest::newRow("gentle") << 0.01 << -3.0 << 0.05;
        QTest::newRow("steep") << 0.2 << 4.0 << -0.3;
        QTest::newRow("far off axis") << 0.05 << 20.0 << 0.1;
    }
    void paraboloid()
    {
        QFETCH(double, a);
        QFETCH(double, x0);
        QFETCH(double, k);
        const double c = 10.0;
        const double expected = paraboloidClosed(c, a, x0, k);
        bool ok = false;
        const double z = paraboloidHeight<double>(c, a, x0, k, &ok);
        QVERIFY(ok);
        QVERIFY2(std::fabs(z - expected) < 1e-11, qPrintable(QString::number(z - expected)));
        // Derivative with respect to the ray's start x0.
        const Jet dual = paraboloidHeight<Jet>(Jet(c), a, variable(x0), k, &ok);
        QVERIFY(ok);
        const double h = 1e-5;
        const double slope = (paraboloidClosed(c, a, x0 + h, k) - paraboloidClosed(c, a, x0 - h, k)) / (2.0 * h);
        QVERIFY2(std::fabs(derivativeOf(dual) - slope) < 1e-7 * std::max(1.0, std::fabs(slope)),
                 qPrintable(QStringLiteral("%1 vs %2").arg(derivativeOf(dual)).arg(slope)));

        // Started at the double solution and made to take one step.
        const double t0 = (Vec3T<double>(x0, 0.3, 100.0) - Vec3T<double>(x0 + k * (100.0 - z), 0.3, z)).norm();
        optics::HeightFieldSearch search;
        search.startDistance = &t0;
        search.minimumSteps = 1;
        const Vec3T<Jet> o(variable(x0), Jet(0.3), Jet(100.0));
        const Vec3T<Jet> d = Vec3T<Jet>(Jet(k), Jet(0.0), Jet(-1.0)).normalized();
        const auto hit = optics::intersectHeightField<Jet>(
            o, d,
            [&](const Jet& x, const Jet& y, Jet* sx, Jet* sy) {
                *sx = 2.0 * a * x;
                *sy = 2.0 * a * y;
                return Jet(c + a * (x * x + y * y));
            },
            search);
        QVERIFY(hit.status == optics::HeightFieldStatus::Hit);
        QVERIFY(std::fabs(hit.point.z().v[0] - slope) < 1e-7 * std::max(1.0, std::fabs(slope)));
    }

    void missBehindTheOrigin()
    {
        // The plane lies above the ray's origin: no meeting point ahead.
        const auto hit = optics::intersectHeightField<double>(Vec3T<double>(0.0, 0.0, 5.0),
                                                              Vec3T<double>(0.0, 0.0, -1.0),
                                                              planeHeight<double>(10.0, 0.0));
        QVERIFY(hit.status == optics::HeightFieldStatus::Miss);
    }
};

QTEST_APPLESS_MAIN(TestOptics)
#include "tst_optics.moc"
