// What a stereo user gets: the optimiser's automatic Jacobian against
// central differences; the common point of a bundle of lines and the
// verifier's non-centrality against bundles of known offset; mirrored rows
// with only even powers of y; the command line's refusal of a near depth
// outside the working range and of unknown objectives and models; the
// calibrated residual growing in proportion to the form error.
#include "fit/prism_fit.h"
#include "refine/prism_optimize.h"
#include "report/form_sensitivity.h"
#include "verify/prism_trace.h"
#include "core/optics_lines.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

// A smooth solid of known coefficients (even in w): an entrance face rising
// towards the centre over a flat-ish exit face, the default panel's size.
PrismFit knownPrism(int order)
{
    const std::size_t terms = static_cast<std::size_t>((order + 1) * (order + 2) / 2);
    PrismFit known;
    known.order = order;
    known.exit.surface = {order, -15.0, 17.5, std::vector<double>(terms, 0.0)};
    known.entrance.surface = {order, -15.0, 17.0, std::vector<double>(terms, 0.0)};
    known.exit.surface.coefficients[0] = 0.5;
    known.exit.surface.coefficients[3] = 0.3;   // u^2
    known.exit.surface.coefficients[5] = 0.2;   // w^2
    known.entrance.surface.coefficients[0] = 13.0;
    known.entrance.surface.coefficients[1] = 2.5;  // u
    known.entrance.surface.coefficients[5] = 0.4;  // w^2
    known.exit.domain = known.entrance.domain = {-31.0, -0.5, -18.0, 18.0};
    return known;
}

}  // namespace

class TestStereo : public QObject {
    Q_OBJECT

private slots:
    void jacobianAgainstCentralDifferences_data()
    {
        QTest::addColumn<int>("model");
        QTest::addColumn<double>("x");
        QTest::addColumn<double>("y");
        QTest::newRow("standard, corner") << int(optics::DistortionModel::Standard) << -4.9 << 2.7;
        QTest::newRow("rational, middle") << int(optics::DistortionModel::Rational) << -2.6 << -0.4;
        QTest::newRow("thin prism, edge") << int(optics::DistortionModel::ThinPrism) << -0.6 << -2.9;
        QTest::newRow("tilted, row") << int(optics::DistortionModel::Tilted) << -3.3 << 0.0;
    }
    void jacobianAgainstCentralDifferences()
    {
        QFETCH(int, model);
        QFETCH(double, x);
        QFETCH(double, y);
        PrismFit fit = knownPrism(6);
        // Some shape in every even-w term, so that each derivative is exercised.
        const std::vector<PrismTerm>& terms = prismTermTable(6);
        for (std::size_t k = 6; k < terms.size(); ++k)
            if (terms[k].wPower % 2 == 0) {
                fit.exit.surface.coefficients[k] = 0.01 / double(k);
                fit.entrance.surface.coefficients[k] = -0.015 / double(k);
            }
        verify::PrismGeometry g;
        g.virtualPinholeX = -14.9;
        PrismOptimizeOptions options;
        options.cameraModel = static_cast<optics::DistortionModel>(model);
        std::vector<double> camera(static_cast<std::size_t>(optics::cameraParameterCount(options.cameraModel)), 0.0);
        camera[0] = 6360.0;
        camera[1] = 6370.0;
        camera[2] = 481.0;
        camera[3] = 539.0;
        for (std::size_t k = 4; k < camera.size(); ++k)
            camera[k] = 0.01 * double(k % 5) - 0.015;
        const std::array<double, 3> point = {-14.85, 0.01, 209.7};
        const std::array<double, 3> rotation = {0.002, -0.003, 0.001};
        std::vector<double> r1, j1;
        options.jacobian = PrismJacobian::Automatic;
        QVERIFY(prismStereoResidualJacobian(g, fit, options, camera, point, rotation, x, y, &r1, &j1));

        // The unknowns in the Jacobian's order, and the residuals at a shifted set.
        std::vector<double*> unknowns;
        for (PrismSurface* surface : {&fit.exit.surface, &fit.entrance.surface})
            for (std::size_t k = 0; k < terms.size(); ++k)
                if (terms[k].wPower % 2 == 0)
                    unknowns.push_back(&surface->coefficients[k]);
        std::array<double, 3> p = point, a = rotation;
        for (double& c : camera)
            unknowns.push_back(&c);
        for (double& c : p)
            unknowns.push_back(&c);
        for (double& c : a)
            unknowns.push_back(&c);
        const std::size_t columns = j1.size() / r1.size();
        QCOMPARE(columns, unknowns.size());
        const auto residualsAt = [&](std::size_t c, double shift) {
            const double kept = *unknowns[c];
            *unknowns[c] += shift;
            std::vector<double> r, j;
            options.jacobian = PrismJacobian::Automatic;
            const bool ok = prismStereoResidualJacobian(g, fit, options, camera, p, a, x, y, &r, &j);
            *unknowns[c] = kept;
            return ok ? r : std::vector<double>();
        };
        for (std::size_t c = 0; c < columns; ++c) {
            // Fourth-order central differences (Richardson) with a step
            // well above the trace's 1e-12 mm convergence.
            const double h = 1e-3 * std::max(1.0, std::fabs(*unknowns[c]));
            const std::vector<double> f1 = residualsAt(c, h), b1 = residualsAt(c, -h);
            const std::vector<double> f2 = residualsAt(c, 2 * h), b2 = residualsAt(c, -2 * h);
            QVERIFY(!f1.empty() && !b1.empty() && !f2.empty() && !b2.empty());
            double norm = 0.0;
            for (std::size_t r = 0; r < r1.size(); ++r)
                norm = std::max(norm, std::fabs(j1[r * columns + c]));
            for (std::size_t r = 0; r < r1.size(); ++r) {
                const double numeric = (8.0 * (f1[r] - b1[r]) - (f2[r] - b2[r])) / (12.0 * h);
                const double automatic = j1[r * columns + c];
                QVERIFY2(std::fabs(automatic - numeric) <= 1e-6 * std::max(norm, 1e-3),
                         qPrintable(QStringLiteral("residual %1, unknown %2: %3 vs %4")
                                        .arg(r).arg(c).arg(automatic, 0, 'g', 12).arg(numeric, 0, 'g', 12)));
            }
        }
        // Ceres' own central differences agree with the same residuals.
        std::vector<double> r2, j2;
        options.jacobian = PrismJacobian::CentralDifferences;
        QVERIFY(prismStereoResidualJacobian(g, fit, options, camera, point, rotation, x, y, &r2, &j2));
        QCOMPARE(j2.size(), j1.size());
        for (std::size_t r = 0; r < r1.size(); ++r)
            QVERIFY(std::fabs(r2[r] - r1[r]) < 1e-9);
    }

    // Rays of a central camera meet in one point; rays offset from it by a
    // known distance (in pairs on either side, so the point stays) report
    // that distance.
    void commonPointOfLines_data()
    {
        QTest::addColumn<double>("offset");
        QTest::newRow("central") << 0.0;
        QTest::newRow("one micrometre") << 0.001;
        QTest::newRow("0.05 mm") << 0.05;
    }
    void commonPointOfLines()
    {
        QFETCH(double, offset);
        const optics::Vec3 centre(-14.9, 0.3, 210.0);
        std::vector<optics::Vec3> points, directions;
        for (int i = -6; i <= 6; ++i)
            for (int j = -4; j <= 4; ++j) {
                const optics::Vec3 d = optics::Vec3(0.01 * i, 0.012 * j, -1.0).normalized();
                const optics::Vec3 across = d.cross(optics::Vec3(0.3, 1.0, 0.1)).normalized();
                for (const double side : {1.0, -1.0}) {
                    // A point of the line 190 mm down, as the exit points lie.
                    points.push_back(centre + side * offset * across + 190.0 * d);
                    directions.push_back(d);
                }
            }
        const optics::CommonPoint c = optics::commonPointOfLines(points, directions);
        QVERIFY2(std::fabs(c.rms - offset) < 1e-12, qPrintable(QString::number(c.rms - offset)));
        QVERIFY(std::fabs(c.max - offset) < 1e-12);
        QVERIFY((c.point - centre).norm() < 1e-9);
    }

    // Through the verifier: a plate of (almost) no thickness leaves the
    // camera ray as it is, so each half is the camera itself: non-centrality
    // 0 at the camera's pinhole, mirrored rows alike.
    void verifiedCentralCamera()
    {
        const std::size_t terms = prismTerms(4).size();
        PrismFit fit;
        fit.order = 4;
        fit.exit.surface = {4, -15.0, 17.0, std::vector<double>(terms, 0.0)};
        fit.exit.surface.coefficients[0] = 5.0;
        fit.exit.surface.coefficients[5] = 0.4;  // curved in y; no ridge at x = 0
        fit.entrance.surface = fit.exit.surface;
        fit.exit.surface.coefficients[0] -= 1e-6;  // a plate one nanometre thick
        fit.exit.domain = fit.entrance.domain = {-31.0, 0.0, -18.0, 18.0};
        verify::PrismGeometry g;
        g.virtualPinholeX = -14.9;
        verify::VerifyOptions options;
        options.step = 16;
        const verify::VerifyResult r = verify::verifyPrism(g, verify::prismFitSurfaces(fit), options);
        for (const verify::HalfStatistics& h : r.halves) {
            QVERIFY(h.traced > 1000);
            QVERIFY2(h.nonCentrality.rmsMm < 1e-7, qPrintable(QString::number(h.nonCentrality.rmsMm)));
            QVERIFY(h.nonCentrality.maxPx < 1e-5);
            QVERIFY((h.nonCentrality.commonPoint - verify::Vec3(0.0, 0.0, g.pinholeHeight())).norm() < 1e-4);
            QVERIFY(h.mirrorAsymmetryPx.pairs > 500);
            QVERIFY(h.mirrorAsymmetryPx.max < 1e-9);
        }
    }

    void badOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("named");
        const QStringList run = {"run", "--fit-model", "prism", "--order", "4", "--optimize"};
        QTest::newRow("near depth too near") << (run + QStringList{"--near-depth", "50"}) << "--near-depth";
        QTest::newRow("near depth too far") << (run + QStringList{"--near-depth", "20000"}) << "--near-depth";
        QTest::newRow("near depth not a number") << (run + QStringList{"--near-depth", "near"}) << "--near-depth";
        QTest::newRow("unknown objective") << (run + QStringList{"--objective", "beauty"}) << "--objective";
        QTest::newRow("unknown camera model") << (run + QStringList{"--camera-model", "fisheye"}) << "--camera-model";
        QTest::newRow("objective without the optimiser")
            << QStringList{"run", "--fit-model", "prism", "--order", "4", "--objective", "mapping"} << "--optimize";
        QTest::newRow("unknown calibration model") << QStringList{"calibrate", "--model", "fisheye"} << "--model";
    }
    void badOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, named);
        QTemporaryDir dir;
        QProcess cli;
        cli.setWorkingDirectory(dir.path());
        cli.start(QStringLiteral(HARVENLOTEK_CLI), arguments + QStringList{"--output-dir", dir.path()});
        QVERIFY(cli.waitForFinished(60000));
        QCOMPARE(cli.exitCode(), 2);
        const QString error = QString::fromUtf8(cli.readAllStandardError()).trimmed();
        QVERIFY2(!error.contains(QLatin1Char('\n')) && error.contains(named), qPrintable(error));
        QVERIFY(QDir(dir.path()).entryList(QDir::Files).isEmpty());  // nothing written
    }

    // Form error on a surface of the delivered prism: with none, the
    // recalibrated residual is the prism's own (nothing added); a small
    // smooth error moves every ray in proportion to its amplitude, and what
    // the calibration cannot take out with it, so the added residual per
    // micrometre is the same at 0.5 and at 2 micrometres.
    void formErrorSensitivityIsLinear()
    {
        QTemporaryDir dir;
        QProcess cli;
        cli.start(QStringLiteral(HARVENLOTEK_CLI),
                  {"prism", "--order", "6", "--folder", "p", "--threads", "2", "--output-dir", dir.path()});
        QVERIFY(cli.waitForFinished(900000));
        QVERIFY2(cli.exitCode() == 0, cli.readAllStandardError().constData());
        report::FormSensitivityOptions options;
        options.seeds = {1, 2};
        options.amplitudesUm = {0.0, 0.5, 2.0};
        options.threadCount = 2;
        report::FormSensitivity s;
        QString error;
        QVERIFY2(report::formSensitivity(dir.filePath("p"), options, &s, &error), qPrintable(error));
        QCOMPARE(int(s.rows.size()), 6);
        for (int surface = 0; surface < 2; ++surface) {
            const report::FormSensitivityRow& none = s.rows[std::size_t(3 * surface)];
            const report::FormSensitivityRow& small = s.rows[std::size_t(3 * surface + 1)];
            const report::FormSensitivityRow& large = s.rows[std::size_t(3 * surface + 2)];
            QCOMPARE(none.surface, surface == 0 ? QStringLiteral("entrance") : QStringLiteral("exit"));
            QCOMPARE(none.residualLeftPx, s.nominalLeftPx);
            QCOMPARE(none.residualRightPx, s.nominalRightPx);
            QCOMPARE(none.addedPxPerUm, 0.0);
            QCOMPARE(small.failedTrials + large.failedTrials, 0);
            QVERIFY(large.residualLeftPx > small.residualLeftPx && small.residualLeftPx > s.nominalLeftPx);
            const double ratio = large.addedPxPerUm / small.addedPxPerUm;
            QVERIFY2(small.addedPxPerUm > 0.0 && ratio > 0.8 && ratio < 1.25,
                     qPrintable(QStringLiteral("%1 and %2 px per um").arg(small.addedPxPerUm).arg(large.addedPxPerUm)));
        }
    }

    // Only even powers of w: the rows mirrored about the central row give
    // mirrored rays, to rounding; a fit with every term of points that are
    // not symmetric in y does not (so the check can fail).
    void mirroredRowsAgree()
    {
        // Points of z = s(x, y) with an odd part in y.
        SurfacePoints exitPoints, entrancePoints;
        for (int i = 0; i < 60; ++i)
            for (int j = 0; j < 41; ++j) {
                const double x = -30.0 + 29.5 * i / 59.0, y = -18.0 + 36.0 * j / 40.0;
                exitPoints.x.push_back(x);
                exitPoints.y.push_back(y);
                exitPoints.z.push_back(0.5 + 0.001 * (x + 15) * (x + 15) + 0.0005 * y * y + 0.0004 * y);
                entrancePoints.x.push_back(x);
                entrancePoints.y.push_back(y);
                entrancePoints.z.push_back(13.0 + 0.15 * (x + 15) + 0.0012 * y * y - 0.0003 * y * y * y / 18.0);
            }
        PrismDesignPoints points;
        points.exitLeft = exitPoints;
        points.entranceLeft = entrancePoints;
        verify::PrismGeometry g;
        g.virtualPinholeX = -14.9;
        for (const bool even : {true, false}) {
            const PrismFit fit = fitPrism(points, 6, even);
            const verify::PrismSurfaces surfaces = verify::prismFitSurfaces(fit);
            double worst = 0.0;
            for (int row = 1; row < 540; row += 37)
                for (int column = 3; column < 1920; column += 101) {
                    const verify::TracedRay a = verify::traceCameraRay(g, surfaces, verify::Pixel{column, 540 + row});
                    const verify::TracedRay b = verify::traceCameraRay(g, surfaces, verify::Pixel{column, 540 - row});
                    QVERIFY(a.traced() && b.traced());
                    // Images of the two directions in the virtual camera, px.
                    const double ax = g.dz() * a.direction.x() / a.direction.z() / verify::pixelPitch;
                    const double ay = g.dz() * a.direction.y() / a.direction.z() / verify::pixelPitch;
                    const double bx = g.dz() * b.direction.x() / b.direction.z() / verify::pixelPitch;
                    const double by = g.dz() * b.direction.y() / b.direction.z() / verify::pixelPitch;
                    worst = std::max(worst, std::hypot(ax - bx, ay + by));
                }
            if (even)
                QVERIFY2(worst < 1e-9, qPrintable(QString::number(worst)));
            else
                QVERIFY2(worst > 1e-3, qPrintable(QString::number(worst)));
        }
    }
};

QTEST_APPLESS_MAIN(TestStereo)
#include "tst_stereo.moc"
