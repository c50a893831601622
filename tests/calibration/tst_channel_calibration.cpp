// A calibration per colour channel takes up the sideways shift each colour
// gets from a prism: a pair of wedges shifts the two halves' images by a few
// pixels between F and C (lateral colour, verify/lateral_colour.h), and each
// channel's own calibration keeps only a small part of a pixel of it.

#include "calibration/channel_calibration.h"
#include "materials/material.h"
#include "verify/lateral_colour.h"

#include <QtTest>

#include <cmath>
#include <memory>

using namespace verify;

class TestChannelCalibration : public QObject {
    Q_OBJECT

private slots:
    void removesEachHalfsMeanShift()
    {
        // Entrance faces z = 10 - tan(8 deg) |x|, a flat exit face: each half
        // bends its rays inwards by about (n - 1) 8 deg, near the 4.3 deg
        // that makes the halves' views meet.
        const double slope = -std::tan(8.0 * 3.14159265358979323846 / 180.0);
        const auto entrance = std::make_shared<PolynomialSurface>(std::vector<PolynomialTerm>{{0, 0}, {1, 0}},
                                                                  std::vector<double>{10.0, slope}, true, FitWindow{});
        const auto exit = std::make_shared<PolynomialSurface>(std::vector<PolynomialTerm>{{0, 0}},
                                                              std::vector<double>{0.0}, false, FitWindow{});
        PrismSurfaces surfaces;
        surfaces.entrance = {entrance, entrance};
        surfaces.exit = {exit, exit};
        PrismGeometry g;
        g.virtualPinholeX = -14.0;
        const materials::Material* glass = materials::Catalogue::builtIn().find(QStringLiteral("N-BK7"));
        const double nF = glass->index(materials::lineF);
        const double nC = glass->index(materials::lineC);

        LateralColourOptions colourOptions;
        colourOptions.step = 40;
        const LateralColour colour = measureLateralColour(g, surfaces, nF, nC, colourOptions);
        const double shift = std::min(colour.halves[0].meanPx, colour.halves[1].meanPx);
        QVERIFY2(shift > 2.0, qPrintable(QString::number(shift)));

        const std::vector<calibration::ChannelCalibration> channels = calibration::calibrateChannels(
            g, surfaces, {{QStringLiteral("B"), materials::lineF, nF}, {QStringLiteral("R"), materials::lineC, nC}},
            calibration::CalibrationOptions());
        QCOMPARE(channels.size(), std::size_t(2));
        for (const calibration::ChannelCalibration& k : channels) {
            QVERIFY2(k.calibration.ok, qPrintable(k.calibration.error));
            // What a channel keeps: far below the shift between the colours.
            QVERIFY2(k.calibration.left.rmsPx < 0.1 * shift && k.calibration.right.rmsPx < 0.1 * shift,
                     qPrintable(QStringLiteral("%1: %2 / %3 px against a shift of %4 px")
                                    .arg(k.channel.name)
                                    .arg(k.calibration.left.rmsPx)
                                    .arg(k.calibration.right.rmsPx)
                                    .arg(shift)));
        }
        // The channels' cameras differ: each took up its own colour's shift
        // (as a principal point, a pose or the pair's geometry).
        const calibration::StereoCalibration& b = channels[0].calibration;
        const calibration::StereoCalibration& r = channels[1].calibration;
        const double moved = std::fabs(b.left.cameraMatrix[2] - r.left.cameraMatrix[2])
                             + std::fabs(b.right.cameraMatrix[2] - r.right.cameraMatrix[2])
                             + std::fabs(b.rotationDeg - r.rotationDeg) + std::fabs(b.baselineMm - r.baselineMm);
        QVERIFY2(moved > 0.1, qPrintable(QString::number(moved)));
    }
};

QTEST_GUILESS_MAIN(TestChannelCalibration)
#include "tst_channel_calibration.moc"
