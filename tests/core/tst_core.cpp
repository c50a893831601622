// The shared pieces of every stage: the Runge-Kutta stepper against closed
// forms, lanes against the scalar stepper bit for bit, and the progress and
// cancel token.

#include "core/progress.h"
#include "core/runge_kutta.h"

#include <QtTest>

#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

// Two integrations side by side, each lane doing the scalar operations.
struct TwoLanes {
    double a = 0.0;
    double b = 0.0;
};
TwoLanes operator+(TwoLanes x, TwoLanes y) { return {x.a + y.a, x.b + y.b}; }
TwoLanes operator*(TwoLanes x, TwoLanes y) { return {x.a * y.a, x.b * y.b}; }
TwoLanes operator/(TwoLanes x, TwoLanes y) { return {x.a / y.a, x.b / y.b}; }

}  // namespace

template <>
struct core::StepperValue<TwoLanes> {
    static TwoLanes of(double x) { return {x, x}; }
};

class CoreTest : public QObject {
    Q_OBJECT

private slots:
    void rungeKuttaStep_data()
    {
        QTest::addColumn<double>("h");
        QTest::newRow("forward") << 0.1;
        QTest::newRow("backward") << -0.0055;
        QTest::newRow("long") << 0.7;
    }

    void rungeKuttaStep()
    {
        QFETCH(double, h);
        core::RungeKutta4<double> stepper(2);
        // y' = (3t^2, 4t^3): the step is Simpson's rule, exact for it.
        const double t = 0.3, e = t + h;
        double y[2] = {t * t * t, t * t * t * t};
        stepper.doStep([](const double*, double* d, double u) { d[0] = 3 * u * u, d[1] = 4 * u * u * u; }, y, t, h);
        QVERIFY(std::fabs(y[0] - e * e * e) < 1e-15 && std::fabs(y[1] - e * e * e * e) < 1e-15);
        // y' = A y, A a rotation generator: the step is exp(hA) to fourth order.
        y[0] = 0.6;
        y[1] = -0.8;
        stepper.doStep([](const double* s, double* d, double) { d[0] = s[1], d[1] = -s[0]; }, y, 0.0, h);
        const double c = 1 - h * h / 2 + h * h * h * h / 24, s = h - h * h * h / 6;
        QVERIFY(std::fabs(y[0] - (c * 0.6 + s * -0.8)) < 1e-15);
        QVERIFY(std::fabs(y[1] - (-s * 0.6 + c * -0.8)) < 1e-15);
    }

    // Global error of a fourth-order method: halving the step divides it by 16.
    void rungeKuttaOrder()
    {
        const auto error = [](int steps) {
            core::RungeKutta4<double> stepper(1);
            double y = 1.0, t = 0.0;
            const double h = 1.0 / steps;
            for (int i = 0; i < steps; ++i, t += h)
                stepper.doStep([](const double* s, double* d, double u) { d[0] = s[0] * std::cos(u); }, &y, t, h);
            return std::fabs(y - std::exp(std::sin(1.0)));
        };
        const double ratio = error(20) / error(40);
        QVERIFY2(ratio > 14 && ratio < 18, qPrintable(QString::number(ratio)));
    }

    // Lanes of a nonlinear system come out with the scalar stepper's bits.
    void lanesMatchTheScalarStepper()
    {
        std::mt19937_64 random(7);
        std::uniform_real_distribution<double> start(-2.0, 2.0);
        for (int trial = 0; trial < 200; ++trial) {
            const double y0[2] = {start(random), start(random)};
            const double y1[2] = {start(random), start(random)};
            const double h = trial % 2 ? 0.0055 : -0.013;
            const auto scalarSystem = [](const double* s, double* d, double t) {
                d[0] = s[1] / (1.0 + s[0] * s[0]) + t;
                d[1] = s[0] * s[1] / 3.0 + 0.5;
            };
            const auto laneSystem = [](const TwoLanes* s, TwoLanes* d, double t) {
                const TwoLanes one{1.0, 1.0}, three{3.0, 3.0}, half{0.5, 0.5}, time{t, t};
                d[0] = s[1] / (one + s[0] * s[0]) + time;
                d[1] = s[0] * s[1] / three + half;
            };
            core::RungeKutta4<double> scalar(2);
            TwoLanes k[2], acc[2], y0s[2];
            core::RungeKutta4<TwoLanes> lanes(2, k, acc, y0s);
            double a[2] = {y0[0], y0[1]}, b[2] = {y1[0], y1[1]};
            TwoLanes both[2] = {{y0[0], y1[0]}, {y0[1], y1[1]}};
            for (int step = 0; step < 5; ++step) {
                scalar.doStep(scalarSystem, a, step * h, h);
                scalar.doStep(scalarSystem, b, step * h, h);
                lanes.doStep(laneSystem, both, step * h, h);
            }
            for (int c = 0; c < 2; ++c) {
                QVERIFY(std::memcmp(&both[c].a, &a[c], sizeof(double)) == 0);
                QVERIFY(std::memcmp(&both[c].b, &b[c], sizeof(double)) == 0);
            }
        }
    }

    // Reports out of order, out of range or not a number never lower the
    // fraction; a stage's range maps its own 0..1 into the whole.
    void progressOnlyRises()
    {
        std::vector<double> seen;
        core::Progress progress([&seen](double f, const std::string&) { seen.push_back(f); });
        const core::ProgressRange second(&progress, 0.5, 1.0, "fit");
        progress.report(0.2, "design");
        progress.report(0.1, "design");
        progress.report(std::nan(""), "design");
        second.report(0.5);
        second.report(-3.0);
        second.part(0.5, 1.0).report(1.0);
        second.report(7.0);
        const std::vector<double> expected = {0.2, 0.2, 0.2, 0.75, 0.75, 1.0, 1.0};
        QCOMPARE(seen, expected);
        QCOMPARE(progress.stage(), std::string("fit"));
    }

    void cancelReachesTheStage()
    {
        core::Progress progress;
        const core::ProgressRange range(&progress, 0.0, 1.0, "optimise");
        std::atomic<int> steps{0};
        bool cancelled = false;
        std::thread worker([&] {
            try {
                for (;;) {
                    range.throwIfCancelled();
                    range.report(std::min(1.0, ++steps * 1e-6));
                    std::this_thread::yield();
                }
            } catch (const core::OperationCancelled&) {
                cancelled = true;
            }
        });
        while (steps < 10) std::this_thread::yield();
        progress.cancel();
        worker.join();
        QVERIFY(cancelled);
        QVERIFY(progress.fraction() > 0.0 && progress.fraction() < 1.0);
        // A range without a token reports nothing and is never cancelled.
        const core::ProgressRange none(nullptr, 0.0, 1.0, "none");
        none.report(0.5);
        QVERIFY(!none.cancelled());
    }
};

QTEST_APPLESS_MAIN(CoreTest)
#include "tst_core.moc"
