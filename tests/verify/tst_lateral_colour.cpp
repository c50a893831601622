// Lateral colour against closed forms: a flat plate shows none; a thin
// prism of angle A deviates the band's edges by (n_short - n_long) A; a
// mirrored pair of wedges shifts the halves' images in opposite directions,
// and the disparity moves by their difference.

#include "materials/material.h"
#include "verify/lateral_colour.h"
#include "verify/verify.h"

#include <QtTest>

#include <cmath>
#include <memory>

using namespace verify;

namespace {

constexpr double degree = 3.14159265358979323846 / 180.0;

// z = height + slopeX x, or + slopeX |x| when mirrored (the two halves'
// faces tilted against each other).
std::shared_ptr<PolynomialSurface> plane(double height, double slopeX, bool mirrored = false)
{
    return std::make_shared<PolynomialSurface>(std::vector<PolynomialTerm>{{0, 0}, {1, 0}},
                                               std::vector<double>{height, slopeX}, mirrored, FitWindow{});
}

PrismSurfaces pair(std::shared_ptr<const Surface> entrance, std::shared_ptr<const Surface> exit)
{
    PrismSurfaces s;
    s.entrance = {entrance, entrance};
    s.exit = {exit, exit};
    return s;
}

PrismGeometry geometry()
{
    PrismGeometry g;
    g.virtualPinholeX = -14.0;
    return g;
}

double indexOf(const char* name, double wavelengthNm)
{
    return materials::Catalogue::builtIn().find(QString::fromLatin1(name))->index(wavelengthNm);
}

}  // namespace

class TestLateralColour : public QObject {
    Q_OBJECT

private slots:
    void flatPlateShowsNone_data()
    {
        QTest::addColumn<double>("slope");
        QTest::newRow("faces across the axis") << 0.0;
        QTest::newRow("faces tilted") << 0.25;
    }

    void flatPlateShowsNone()
    {
        QFETCH(double, slope);
        LateralColourOptions options;
        options.step = 40;
        const LateralColour c = measureLateralColour(geometry(), pair(plane(15.0, slope), plane(0.0, slope)),
                                                     indexOf("N-BK7", materials::lineF),
                                                     indexOf("N-BK7", materials::lineC), options);
        for (const HalfLateralColour& h : c.halves) {
            QVERIFY(h.traced > 500);
            QVERIFY2(h.maxPx < 1e-9, qPrintable(QString::number(h.maxPx)));
            QVERIFY(h.demeanedMaxPx < 1e-9);
        }
    }

    void thinPrismDeviation_data()
    {
        QTest::addColumn<QString>("material");
        QTest::addColumn<double>("angleDeg");
        QTest::newRow("N-BK7, 1 degree") << "N-BK7" << 1.0;
        QTest::newRow("N-BK7, 3 degrees") << "N-BK7" << 3.0;
        QTest::newRow("PMMA, 2 degrees") << "PMMA" << 2.0;
        QTest::newRow("polycarbonate, 2 degrees") << "polycarbonate" << 2.0;
        QTest::newRow("N-SF2, 2 degrees") << "N-SF2" << 2.0;
    }

    void thinPrismDeviation()
    {
        QFETCH(QString, material);
        QFETCH(double, angleDeg);
        const double nF = indexOf(material.toLatin1().constData(), materials::lineF);
        const double nC = indexOf(material.toLatin1().constData(), materials::lineC);
        const double a = angleDeg * degree;
        const double expected = (nF - nC) * a;
        // A ray along the axis through a flat entrance face and an exit
        // face tilted by A.
        const PrismSurfaces s = pair(plane(10.0, 0.0), plane(0.0, std::tan(a)));
        const Ray camera{Vec3(0.0, 0.0, 50.0), Vec3(0.0, 0.0, -1.0)};
        const auto deviation = [&](double n) {
            const TracedRay ray = traceRay(s, n, 0, camera, 0.0, 0.0);
            return std::acos(-ray.direction.z());
        };
        const double measured = deviation(nF) - deviation(nC);
        QVERIFY2(std::fabs(measured / expected - 1.0) < 0.01,
                 qPrintable(QStringLiteral("%1 against %2").arg(measured).arg(expected)));

        // Through the camera: every pixel's image moves by about f (n_F -
        // n_C) A / pitch, the same way in both halves; a little more away
        // from the axis (an image height goes with tan, and oblique rays
        // are deviated more), up to 15 degrees off the axis here.
        LateralColourOptions options;
        options.step = 40;
        const PrismGeometry g = geometry();
        const LateralColour c = measureLateralColour(g, s, nF, nC, options);
        const double closedPx = g.focalLength * expected / pixelPitch;
        for (const HalfLateralColour& h : c.halves) {
            QVERIFY2(std::fabs(h.meanXPx) > closedPx && std::fabs(h.meanXPx) < 1.04 * closedPx,
                     qPrintable(QStringLiteral("%1 px against %2 px").arg(h.meanXPx).arg(closedPx)));
            QVERIFY(h.demeanedRmsPx < 0.05 * h.meanPx);
        }
        QVERIFY(c.halves[0].meanXPx * c.halves[1].meanXPx > 0.0);

        // Outside a wide centre band the shift is larger than the half's
        // mean; what is left there after that region's own mean obeys
        // rms^2 about the mean = mean square - |mean|^2.
        options.centreBandColumns = 300;
        const LateralColour outer = measureLateralColour(g, s, nF, nC, options);
        for (const HalfLateralColour& h : outer.halves) {
            QVERIFY(h.outsideCentreTraced > 100 && h.outsideCentreTraced < h.traced);
            QVERIFY(h.outsideCentreMeanPx > std::fabs(h.meanXPx));
            const double expectedSquare = h.outsideCentreRmsPx * h.outsideCentreRmsPx
                                          - h.outsideCentreMeanPx * h.outsideCentreMeanPx;
            QVERIFY2(std::fabs(h.outsideCentreDemeanedRmsPx * h.outsideCentreDemeanedRmsPx - expectedSquare)
                         < 1e-9 * h.outsideCentreRmsPx * h.outsideCentreRmsPx,
                     qPrintable(QStringLiteral("%1 against %2").arg(h.outsideCentreDemeanedRmsPx)
                                    .arg(std::sqrt(std::max(0.0, expectedSquare)))));
        }
    }

    void mirroredWedgesShiftTheDisparity()
    {
        // Entrance faces rising towards the outside edges: each half bends
        // its rays outwards, the two halves in opposite directions.
        const double a = 3.0 * degree;
        const PrismSurfaces s = pair(plane(10.0, std::tan(a), true), plane(0.0, 0.0));
        const double nF = indexOf("N-BK7", materials::lineF);
        const double nC = indexOf("N-BK7", materials::lineC);
        LateralColourOptions options;
        options.step = 40;
        options.depths = {300.0, 1000.0};
        const PrismGeometry g = geometry();
        const LateralColour c = measureLateralColour(g, s, nF, nC, options);
        QVERIFY(c.halves[0].meanXPx * c.halves[1].meanXPx < 0.0);
        // The halves mirror each other but for the central row's one extra
        // column at the left edge.
        QVERIFY2(std::fabs(c.halves[0].meanXPx + c.halves[1].meanXPx) < 1e-3 * std::fabs(c.halves[0].meanXPx),
                 qPrintable(QStringLiteral("%1 %2").arg(c.halves[0].meanXPx).arg(c.halves[1].meanXPx)));
        QCOMPARE(c.depths.size(), std::size_t(2));
        for (const DepthColour& d : c.depths) {
            // The rays turn at the exit face (z = 0); seen from the
            // pinholes, F above it, a turn moves the scene point's image by
            // Z / (Z + F) of the direction's: the disparity by that much of
            // the two halves' difference.
            const double expected = (c.halves[1].meanXPx - c.halves[0].meanXPx) * d.depthMm
                                    / (d.depthMm + g.pinholeHeight());
            QVERIFY2(std::fabs(d.disparityDifferencePx / expected - 1.0) < 0.02,
                     qPrintable(QStringLiteral("%1 against %2").arg(d.disparityDifferencePx).arg(expected)));
            const double distance = d.depthMm + g.pinholeHeight();
            QCOMPARE(d.disparityPx, g.focalLength * 28.0 / (distance * pixelPitch));
            // Triangulation: D' = f B / ((d + dd) pitch).
            const double triangulated = g.focalLength * 28.0 / ((d.disparityPx + d.disparityDifferencePx) * pixelPitch);
            QVERIFY(std::fabs(d.depthErrorMm - (triangulated - distance)) < 1e-9 * distance);
        }
    }
};

QTEST_GUILESS_MAIN(TestLateralColour)
#include "tst_lateral_colour.moc"
