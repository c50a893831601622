// The design record, the Runge-Kutta step and the number format of the
// design files.

#include "design/design_files.h"
#include "design/design_record.h"
#include "design/ray_trace.h"

#include <QByteArray>
#include <QTextStream>
#include <QtTest>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <vector>

namespace {

bool allBuffersNull(const DesignRecord& r)
{
    for (const void* p : {static_cast<const void*>(r.state), static_cast<const void*>(r.derivative),
                          static_cast<const void*>(r.accumulator), static_cast<const void*>(r.stepStart)})
        if (p)
            return false;
    for (double** set : {r.rowPass, r.columnPass, r.rowHeights, r.rowX, r.columnZ, r.columnX, r.columnY,
                         r.gridZ, r.gridX, r.gridY, r.passX, r.passY})
        if (set)
            return false;
    return true;
}

} // namespace

class TestDesignNumerics : public QObject {
    Q_OBJECT
private slots:
    void recordCreateAndRelease_data();
    void recordCreateAndRelease();
    void fillFromStartValues_data();
    void fillFromStartValues();
    void rungeKuttaStep_data();
    void rungeKuttaStep();
    void numbersAsQTextStreamWritesThem();
};

void TestDesignNumerics::recordCreateAndRelease_data()
{
    QTest::addColumn<int>("components");
    QTest::addColumn<int>("quarterSteps");
    QTest::addColumn<int>("halfSteps");
    QTest::addColumn<bool>("fits");
    QTest::newRow("design counts") << 2 << 480 << 540 << true;
    QTest::newRow("negative count") << 2 << -1 << 540 << false;
    QTest::newRow("grid beyond memory") << 2 << (1 << 20) << (1 << 20) << false;
    QTest::newRow("grid beyond address space") << 2 << INT_MAX << INT_MAX << false;
    QTest::newRow("negative components") << -2 << 480 << 540 << false;
}

void TestDesignNumerics::recordCreateAndRelease()
{
    QFETCH(int, components);
    QFETCH(int, quarterSteps);
    QFETCH(int, halfSteps);
    QFETCH(bool, fits);

    DesignRecord record;
    if (fits) {
        designRecordCreate(&record, components, quarterSteps, halfSteps);
        QCOMPARE(record.componentCount, components);
        QVERIFY(record.gridY && record.gridY[1] && record.passY[1] && record.stepStart);
        // Every row is usable over its full length.
        record.gridZ[1][std::size_t(8) * quarterSteps * halfSteps - 1] = 1.0;
        record.rowX[1][4 * quarterSteps - 1] = 1.0;
        record.columnY[1][2 * halfSteps - 1] = 1.0;
    } else {
        QVERIFY_EXCEPTION_THROWN(designRecordCreate(&record, components, quarterSteps, halfSteps), std::bad_alloc);
        QVERIFY_EXCEPTION_THROWN(ScopedDesignRecord(components, quarterSteps, halfSteps), std::bad_alloc);
    }
    designRecordRelease(&record);
    QVERIFY(allBuffersNull(record));
    designRecordRelease(&record);  // a second release finds nothing to free
    designRecordRelease(nullptr);
}

void TestDesignNumerics::fillFromStartValues_data()
{
    DesignParameters parameters;
    parameters.centralRayHitX = 14.876;
    parameters.centralRayHitY = 12.784;
    ScopedDesignRecord holder;
    DesignRecord& r = *holder;
    fillDesignRecord(r, parameters);

    QTest::addColumn<double>("actual");
    QTest::addColumn<double>("expected");
    QTest::newRow("focalLength") << r.focalLength << 35.0;
    QTest::newRow("pixelSize") << r.pixelSize << 0.0055;
    QTest::newRow("resolutionX") << r.resolutionX << 1920.0;
    QTest::newRow("prismAngle") << r.prismAngle << 20.0 * 3.1415926535898 / 180;
    QTest::newRow("prismDistance") << r.prismDistance << 175.0;
    QTest::newRow("prismSize") << r.prismSize << 100.0;
    QTest::newRow("refractiveIndex") << r.refractiveIndex << double(1.48f);
    QTest::newRow("virtualPinholeX") << r.virtualPinholeX << -14.876;
    QTest::newRow("pinholeHeight") << r.pinholeHeight << 210.0;
    QTest::newRow("step") << r.step << 0.0055;
    QTest::newRow("startExitHeight") << r.startExitHeight << 0.0;
    QTest::newRow("startEntranceHeight") << r.startEntranceHeight << 12.784;
}

void TestDesignNumerics::fillFromStartValues()
{
    QFETCH(double, actual);
    QFETCH(double, expected);
    QCOMPARE(actual, expected);  // bit for bit, not fuzzy
}

void TestDesignNumerics::rungeKuttaStep_data()
{
    QTest::addColumn<double>("h");
    QTest::newRow("forward") << 0.1;
    QTest::newRow("backward") << -0.0055;
}

void TestDesignNumerics::rungeKuttaStep()
{
    QFETCH(double, h);
    ScopedDesignRecord holder(2, 1, 1);
    DesignRecord& r = *holder;
    r.step = h;
    RungeKuttaStepper stepper(r);

    // y' = (3t^2, 4t^3): fourth order is exact for it (Simpson's rule).
    const auto polynomial = [](const double*, double* d, double t) {
        d[0] = 3 * t * t;
        d[1] = 4 * t * t * t;
    };
    double t = 0.3;
    r.state[0] = t * t * t;
    r.state[1] = t * t * t * t;
    for (int i = 0; i < 20; ++i) {
        stepper.doStep(polynomial, t, h);
        t = t + h;
    }
    QVERIFY(std::fabs(r.state[0] - t * t * t) < 1e-13);
    QVERIFY(std::fabs(r.state[1] - t * t * t * t) < 1e-13);

    // y' = A y with A a rotation generator: one step is the Taylor
    // polynomial of exp(hA) to fourth order.
    const auto rotation = [](const double* y, double* d, double) {
        d[0] = y[1];
        d[1] = -y[0];
    };
    r.state[0] = 0.6;
    r.state[1] = -0.8;
    stepper.doStep(rotation, 0.0, h);
    const double c = 1 - h * h / 2 + h * h * h * h / 24;  // even terms
    const double s = h - h * h * h / 6;                   // odd terms
    QVERIFY(std::fabs(r.state[0] - (c * 0.6 + s * -0.8)) < 1e-15);
    QVERIFY(std::fabs(r.state[1] - (-s * 0.6 + c * -0.8)) < 1e-15);
}

void TestDesignNumerics::numbersAsQTextStreamWritesThem()
{
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> values = {0.0, -0.0, inf, -inf, std::nan(""), -std::nan(""), 1.0, -1.0,
                                  std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::min(),
                                  std::numeric_limits<double>::max(), 1e-5, 9.999995e-5, 0.0001, 999999.5,
                                  123456.0, 1234567.0, 1e15, -1e16, 1e21, 1.0 / 3, 2.0 / 3, 0.1, 15.4538};
    std::mt19937_64 random(20240601);
    // Exact halfway cases d / 10^k = t / 2^k (d = t 5^k, 7 digits, odd) and
    // d * 10^k, with their neighbours on both sides.
    for (int k = 0; k <= 9; ++k) {
        const long long fivePower = std::llround(std::pow(5.0, k));
        for (int i = 0; i < 300; ++i) {
            const long long lowest = ((1000000 + fivePower - 1) / fivePower) | 1;
            const long long t = lowest + 2 * static_cast<long long>(random() % std::uint64_t((10000000 / fivePower - lowest) / 2));
            const double halfway = std::ldexp(double(t), -k);
            const double scaled = double((random() % 900000) * 10 + 1000005) * std::pow(10.0, k);
            for (double v : {halfway, std::nextafter(halfway, 0.0), std::nextafter(halfway, inf), scaled}) {
                values.push_back(v);
                values.push_back(-v);
            }
        }
    }
    // Arbitrary bit patterns, and design-like magnitudes.
    for (int i = 0; i < 200000; ++i) {
        const std::uint64_t bits = random();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        values.push_back(v);
    }
    std::uniform_real_distribution<double> mantissa(-50.0, 50.0);
    std::uniform_int_distribution<int> exponent(-12, 12);
    for (int i = 0; i < 200000; ++i)
        values.push_back(mantissa(random) * std::pow(10.0, exponent(random)));

    QByteArray expected;
    {
        QTextStream stream(&expected);
        for (double v : values)
            stream << v << '\n';
    }
    QByteArray actual;
    actual.reserve(expected.size());
    char text[designNumberMaxLength];
    for (double v : values) {
        actual.append(text, int(formatDesignNumber(text, v) - text));
        actual.append('\n');
    }
    if (actual != expected) {
        const QList<QByteArray> want = expected.split('\n');
        const QList<QByteArray> got = actual.split('\n');
        for (int i = 0; i < std::min(want.size(), got.size()); ++i)
            QVERIFY2(want[i] == got[i], qPrintable(QString::asprintf("%.17g: Qt \"%s\", formatted \"%s\"", values[std::size_t(i)],
                                                                 want[i].constData(), got[i].constData())));
    }
    QCOMPARE(actual, expected);
}

QTEST_APPLESS_MAIN(TestDesignNumerics)
#include "test_design_numerics.moc"
