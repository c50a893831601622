// The verifier against closed forms worked out here: a parallel plate, a
// wedge in its plane of symmetry, the law of refraction on a curved surface,
// total internal reflection, misses, the smoothed file surface and the
// independence of the thread count. The files the verifier reads
// ("design.json", "result_para_fit.json") read back exactly as written;
// malformed ones, and malformed "prism.json" and grid sag files, refused with
// a message; the command-line verification: its JSON and the same numbers
// from the fit in memory and from its file (its refusals of bad input are
// tested with the calibration's).
#include "design/design_files.h"
#include "design/design_json.h"
#include "export/prism_export.h"
#include "fit/fit_json.h"
#include "fit/prism_file.h"
#include "textio/json_writer.h"
#include "verify/prism_trace.h"
#include "verify/verify.h"
#include "test_support.h"
#include "wedge_prism.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

using namespace verify;

namespace {

constexpr double degree = 3.14159265358979323846 / 180.0;

std::shared_ptr<PolynomialSurface> plane(double height, double slopeX)
{
    return std::make_shared<PolynomialSurface>(std::vector<PolynomialTerm>{{0, 0}, {1, 0}},
                                               std::vector<double>{height, slopeX}, false, FitWindow{});
}

PrismSurfaces pair(std::shared_ptr<const Surface> entrance, std::shared_ptr<const Surface> exit)
{
    PrismSurfaces s;
    s.entrance = {entrance, entrance};
    s.exit = {exit, exit};
    return s;
}

PrismGeometry geometry(double n)
{
    PrismGeometry g;
    g.refractiveIndex = n;
    g.virtualPinholeX = -14.0;
    return g;
}

Vec3 cameraDirection(const PrismGeometry& g, double x, double y)
{
    return Vec3(x, y, g.dz()).normalized();
}

bool sameDouble(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

}  // namespace

class TestVerify : public QObject {
    Q_OBJECT

private slots:
    void parallelPlate_data()
    {
        QTest::addColumn<double>("n");
        QTest::addColumn<double>("top");
        QTest::addColumn<double>("slope");  // both faces z = c + slope x
        QTest::addColumn<double>("x");
        QTest::addColumn<double>("y");
        QTest::newRow("flat, centre-left") << 1.48 << 12.0 << 0.0 << -2.6 << 0.0;
        QTest::newRow("flat, corner") << 1.48 << 12.0 << 0.0 << 5.2 << -2.9;
        QTest::newRow("tilted, dense glass") << 1.9 << 20.0 << 0.3 << -4.0 << 1.5;
        QTest::newRow("tilted the other way") << 1.5 << 8.0 << -0.4 << 3.3 << 2.2;
    }

    void parallelPlate()
    {
        QFETCH(double, n);
        QFETCH(double, top);
        QFETCH(double, slope);
        QFETCH(double, x);
        QFETCH(double, y);
        const PrismGeometry g = geometry(n);
        const TracedRay ray = traceCameraRay(g, pair(plane(top, slope), plane(0.0, slope)), x, y);
        QVERIFY(ray.traced());
        const Vec3 w = cameraDirection(g, x, y);
        QVERIFY((ray.direction - w).norm() < 1e-12);

        // Lateral shift: thickness along the normal t, incidence i, refraction r:
        // t sin(i - r) / cos r.
        const double thickness = top / std::sqrt(1.0 + slope * slope);
        const Vec3 normal = Vec3(-slope, 0.0, 1.0).normalized();
        const double i = std::acos(std::fabs(normal.dot(w)));
        const double r = std::asin(std::sin(i) / n);
        const double expected = thickness * std::sin(i - r) / std::cos(r);
        const Vec3 camera(0.0, 0.0, g.pinholeHeight());
        const double shift = (ray.exitPoint - camera).cross(w).norm();
        QVERIFY2(std::fabs(shift - expected) < 1e-11, qPrintable(QString::number(shift - expected)));
    }

    void wedgeDeviation_data()
    {
        QTest::addColumn<double>("n");
        QTest::addColumn<double>("wedgeDeg");  // entrance face z = c + tan(A) x, exit face z = 0
        QTest::addColumn<double>("x");         // pixel on the central row
        QTest::newRow("thin wedge") << 1.48 << 5.0 << -3.0;
        QTest::newRow("20 degrees") << 1.48 << 20.0 << 2.0;
        QTest::newRow("dense, 30 degrees") << 1.8 << 30.0 << -5.0;
        QTest::newRow("negative wedge") << 1.5 << -25.0 << 4.5;
        QTest::newRow("total reflection") << 1.48 << 60.0 << 1.0;
        QTest::newRow("just below reflection") << 1.48 << 40.0 << 0.0;
        QTest::newRow("just above reflection") << 1.48 << 43.0 << 0.0;
    }

    void wedgeDeviation()
    {
        QFETCH(double, n);
        QFETCH(double, wedgeDeg);
        QFETCH(double, x);
        const PrismGeometry g = geometry(n);
        const double a = wedgeDeg * degree;
        const TracedRay ray = traceCameraRay(g, pair(plane(30.0, std::tan(a)), plane(0.0, 0.0)), x, 0.0);

        // Angles in the x-z plane, measured from the downward axis towards +x.
        const double phi = std::atan2(x, -g.dz());
        const double inside = a + std::asin(std::sin(phi - a) / n);
        const double sine = n * std::sin(inside);
        if (std::fabs(sine) >= 1.0) {
            QCOMPARE(ray.flags & rayFailureFlags, unsigned(RayTotalReflection));
            return;
        }
        QVERIFY(ray.traced());
        const double deviation = std::asin(sine) - phi;
        const double traced = std::atan2(ray.direction.x(), -ray.direction.z()) - phi;
        QVERIFY2(std::fabs(traced - deviation) < 1e-12, qPrintable(QString::number(traced - deviation)));
        QVERIFY(std::fabs(ray.direction.y()) < 1e-15);
    }

    void snellOnCurvedSurface_data()
    {
        QTest::addColumn<double>("x");
        QTest::addColumn<double>("y");
        QTest::addColumn<bool>("mirrored");
        QTest::newRow("left, mirrored") << -4.1 << 2.3 << true;
        QTest::newRow("right, mirrored") << 3.7 << -1.9 << true;
        QTest::newRow("left, plain") << -1.2 << -2.8 << false;
        QTest::newRow("near the axis") << 0.05 << 0.4 << true;
    }

    void snellOnCurvedSurface()
    {
        QFETCH(double, x);
        QFETCH(double, y);
        QFETCH(bool, mirrored);
        // s(x, y) = 14 + 0.3 x + 0.02 x^2 - 0.015 y^2 + 0.004 x y^2 (x -> |x| when mirrored)
        const std::vector<PolynomialTerm> terms = {{0, 0}, {1, 0}, {2, 0}, {0, 2}, {1, 2}};
        const std::vector<double> c = {14.0, 0.3, 0.02, -0.015, 0.004};
        auto entrance = std::make_shared<PolynomialSurface>(terms, c, mirrored, FitWindow{});
        const double n = 1.52;
        const PrismGeometry g = geometry(n);
        const TracedRay ray = traceCameraRay(g, pair(entrance, plane(0.0, 0.0)), x, y);
        QVERIFY(ray.traced());

        const Vec3 p = ray.entrancePoint;
        const double sign = mirrored && p.x() < 0 ? -1.0 : 1.0;
        const double px = sign * p.x();
        const double height = 14.0 + 0.3 * px + 0.02 * px * px - 0.015 * p.y() * p.y() + 0.004 * px * p.y() * p.y();
        QVERIFY(std::fabs(p.z() - height) < 1e-12);
        const Vec3 w = cameraDirection(g, x, y);
        const Vec3 camera(0.0, 0.0, g.pinholeHeight());
        QVERIFY((p - camera).cross(w).norm() < 1e-12);  // on the camera ray

        const double sx = sign * (0.3 + 0.04 * px + 0.004 * p.y() * p.y());
        const double sy = -0.03 * p.y() + 0.008 * px * p.y();
        const Vec3 normal = Vec3(-sx, -sy, 1.0).normalized();
        const Vec3 t = ray.glassDirection;
        const double sinI = w.cross(normal).norm();
        const double sinT = t.cross(normal).norm();
        QVERIFY2(std::fabs(sinI - n * sinT) < 1e-13, qPrintable(QString::number(sinI - n * sinT)));
        QVERIFY(std::fabs(w.cross(normal).dot(t)) < 1e-13);  // coplanar
        QVERIFY(t.z() < 0.0);                                  // onwards into the glass
    }

    void missOutsideSheet_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("row");
        QTest::addColumn<bool>("inside");
        QTest::newRow("inside") << 150 << 540 << true;
        QTest::newRow("corner inside") << 101 << 589 << true;
        QTest::newRow("left of it") << 40 << 540 << false;
        QTest::newRow("below it") << 150 << 300 << false;
        QTest::newRow("other side of the sensor") << 1500 << 540 << false;
    }

    void missOutsideSheet()
    {
        QFETCH(int, column);
        QFETCH(int, row);
        QFETCH(bool, inside);
        // The tilted plane z = 12 + 0.2 x sampled where the camera rays of
        // columns 100..199 and row offsets -50..50 meet it.
        const PrismGeometry g = geometry(1.5);
        const double F = g.pinholeHeight();
        std::vector<Vec3> samples;
        for (int c = 100; c < 200; ++c) {
            for (int k = -50; k <= 50; ++k) {
                const Vec3 w = cameraDirection(g, pixelX(c), k * verify::pixelPitch);
                const double t = (12.0 - F) / (w.z() - 0.2 * w.x());
                samples.push_back(Vec3(0.0, 0.0, F) + t * w);
            }
        }
        auto sheet = std::make_shared<GridSheetSurface>(100, 100, -50, 101, samples);
        const TracedRay ray = traceCameraRay(g, pair(sheet, plane(0.0, 0.0)), Pixel{column, row});
        QCOMPARE(bool(ray.flags & RayMissedEntrance), !inside);
        if (inside) {
            QVERIFY(ray.traced());
            // A sheet through points of a plane is that plane.
            QVERIFY(std::fabs(ray.entrancePoint.z() - (12.0 + 0.2 * ray.entrancePoint.x())) < 1e-11);
        }
    }

    void pixelErrorsClosedForm_data()
    {
        QTest::addColumn<int>("half");    // 0 left, 1 right
        QTest::addColumn<double>("shift");  // of the outgoing line along x, mm
        QTest::addColumn<double>("tilt");   // of the outgoing direction about y, rad
        QTest::newRow("ideal") << 0 << 0.0 << 0.0;
        QTest::newRow("shifted left half") << 0 << 0.3 << 0.0;
        QTest::newRow("shifted right half") << 1 << -0.2 << 0.0;
        QTest::newRow("tilted") << 1 << 0.0 << 2e-4;
    }

    void pixelErrorsClosedForm()
    {
        QFETCH(int, half);
        QFETCH(double, shift);
        QFETCH(double, tilt);
        // The centre pixel of a half: its ideal ray is the vertical through V.
        const PrismGeometry g = geometry(1.5);
        const double q = PrismGeometry::quarterWidth;
        const double x = half == 0 ? -q : q;
        const double cp = half == 0 ? g.virtualPinholeX : -g.virtualPinholeX;
        TracedRay ray;
        ray.exitPoint = Vec3(cp + shift, 0.0, 0.5);
        ray.direction = Vec3(std::sin(tilt), 0.0, -std::cos(tilt));
        const PixelErrors e = pixelErrors(g, x, 0.0, ray, {1000.0, 300.0});
        const double f = g.focalLength;
        QVERIFY(std::fabs(e.directionPx - f * std::tan(tilt) / verify::pixelPitch) < 1e-9);
        // Distance of the tilted line through (cp + shift, 0.5) from V = (cp, F).
        const double F = g.pinholeHeight();
        const double d = std::fabs(shift * std::cos(tilt) + (F - 0.5) * std::sin(tilt));
        QVERIFY(std::fabs(e.pinholeMm - d) < 1e-12);
        const double depths[] = {1000.0, 300.0};
        for (int k = 0; k < 2; ++k) {
            const double sceneX = shift + (0.5 + depths[k]) * std::tan(tilt);  // relative to cp
            const double expected = f * std::fabs(sceneX) / (F + depths[k]) / verify::pixelPitch;
            QVERIFY2(std::fabs(e.reprojectionPx[std::size_t(k)] - expected) < 1e-9,
                     qPrintable(QString::number(e.reprojectionPx[std::size_t(k)] - expected)));
        }
    }

    // The rays of the columns next to the centre cross x = 0 inside a roof
    // prism: in the x-z plane (central row) the camera ray at angle phi from
    // the downward axis meets the face z = top + tan(a) x at t = (F - top) /
    // (cos phi + tan(a) sin phi), runs on inside at a + asin(sin(phi - a) /
    // n) and meets the base at x = xe + ze tan(inside). A left pixel whose
    // base point has x >= 0 crosses; the band holds exactly those columns on
    // the central row, the half without the band none of them, and the right
    // half is the mirror image.
    void roofCentreBand_data()
    {
        QTest::addColumn<double>("n");
        QTest::addColumn<double>("top");
        QTest::addColumn<double>("roofDeg");
        QTest::newRow("10 degrees") << 1.48 << 18.0 << 10.0;
        QTest::newRow("20 degrees") << 1.48 << 18.0 << 20.0;
        QTest::newRow("dense glass, low roof") << 1.8 << 12.0 << 15.0;
        QTest::newRow("flat plate: no band") << 1.48 << 18.0 << 0.0;
    }

    void roofCentreBand()
    {
        QFETCH(double, n);
        QFETCH(double, top);
        QFETCH(double, roofDeg);
        const PrismGeometry g = geometry(n);
        const double a = roofDeg * degree;
        VerifyOptions options;
        options.keepPixels = true;
        options.threadCount = 2;
        const VerifyResult result = verifyPrism(g, prismFitSurfaces(wedgePrismFit(top, std::tan(a))), options);

        int crossingOnRow = 0, firstCrossing = centralColumn;
        for (const PixelResult& p : result.pixels) {
            if (p.pixel.row != centralRow || p.pixel.column >= centralColumn)
                continue;
            const double phi = std::atan2(pixelX(p.pixel.column), -g.dz());
            const double t = (g.pinholeHeight() - top) / (std::cos(phi) + std::tan(a) * std::sin(phi));
            const double inside = a + std::asin(std::sin(phi - a) / n);
            const double baseX = t * std::sin(phi) + (g.pinholeHeight() - t * std::cos(phi)) * std::tan(inside);
            QVERIFY(!(p.flags & rayFailureFlags));
            if (std::fabs(baseX) < 1e-9)
                continue;  // on the centre line itself: either answer
            const bool crosses = baseX >= 0.0;
            QCOMPARE(bool(p.flags & RayCrossedCentre), crosses);
            if (crosses) {
                ++crossingOnRow;
                firstCrossing = std::min(firstCrossing, p.pixel.column);
            }
        }
        const HalfStatistics& left = result.halves[0];
        const HalfStatistics& right = result.halves[1];
        QVERIFY(left.centreBand.firstColumn <= firstCrossing);
        QCOMPARE(left.centreBand.lastColumn, centralColumn - 1);
        if (roofDeg == 0.0) {
            QCOMPARE(crossingOnRow, 0);
            QCOMPARE(left.centreBand.traced, 0);
            QCOMPARE(left.centreBand.firstColumn, centralColumn);
        } else {
            QVERIFY(crossingOnRow > 0);
            QVERIFY(left.centreBand.crossing >= crossingOnRow);
        }
        for (const HalfStatistics* h : {&left, &right}) {
            QCOMPARE(h->centreBand.traced + h->outsideCentreBand.traced, h->traced);
            QCOMPARE(h->outsideCentreBand.nonCentrality.count, h->outsideCentreBand.traced);
        }
        // The right half: the mirror image, and column 960 (x = 0, straight
        // down onto the ridge, bent by the right face towards -x) besides.
        const int leftWidth = left.centreBand.lastColumn - left.centreBand.firstColumn + 1;
        QCOMPARE(right.centreBand.firstColumn, centralColumn);
        QCOMPARE(right.centreBand.lastColumn - right.centreBand.firstColumn + 1, leftWidth > 0 ? leftWidth + 1 : 0);
    }

    void sampling_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<int>("expected");
        // Rows at offsets m * step in -540..539 besides the central row, each
        // with the columns step/2, step/2 + step, ..; the central row whole.
        QTest::newRow("every pixel") << 1 << 1920 * 1080;
        QTest::newRow("8") << 8 << (2 * 67) * 240 + 1920;
        QTest::newRow("7") << 7 << (77 + 77) * 274 + 1920;
        QTest::newRow("500") << 500 << 2 * 4 + 1920;
        QTest::newRow("below 1") << 0 << 0;
    }

    void sampling()
    {
        QFETCH(int, step);
        QFETCH(int, expected);
        const std::vector<Pixel> pixels = samplePixels(step);
        QCOMPARE(int(pixels.size()), expected);
        std::vector<char> seen(std::size_t(sensorColumns) * sensorRows, 0);
        int belowCentre = 0;
        int aboveCentre = 0;
        for (const Pixel& p : pixels) {
            QVERIFY(p.column >= 0 && p.column < sensorColumns && p.row >= 0 && p.row < sensorRows);
            char& s = seen[std::size_t(p.row) * sensorColumns + p.column];
            QVERIFY(!s);
            s = 1;
            if (p.row != centralRow) {
                QCOMPARE((p.row - centralRow) % step, 0);
                QCOMPARE(p.column % step, (step / 2) % step);
                (p.row < centralRow ? belowCentre : aboveCentre) += 1;
            }
        }
        if (step > 1)
            QCOMPARE(belowCentre, aboveCentre);
    }

    void smoothedFileSurface()
    {
        // A design-like pair of sheets over the sensor's pixels, written as the
        // design writes "outputall.txt" (6 significant digits, every tenth row of
        // every column), read back and smoothed; compared with the exact sheets.
        auto exact = [](int surface, double u, double v, Vec3* du, Vec3* dv) {
            const double x = (u - 960.0) * verify::pixelPitch;
            const double y = v * verify::pixelPitch;
            const double F = 210.0;
            const double dz = -35.0;
            const double s = x < 0 ? -1.0 : 1.0;
            const double xv = x - s * 2.64;
            // Height of the sheet point and the pixel direction it lies along.
            const double h = surface == 0 ? 0.02 * xv * xv + 0.04 * y * y - 0.003 * xv * xv * xv * s
                                          : 15.4 - 0.55 * s * x - 0.02 * x * x + 0.03 * y * y;
            const double hx = surface == 0 ? 0.04 * xv - 0.009 * xv * xv * s : -0.55 * s - 0.04 * x;
            const double hy = surface == 0 ? 0.08 * y : 0.06 * y;
            const double ax = surface == 0 ? xv : x;
            const double cp = surface == 0 ? -s * 14.9 : 0.0;
            const Vec3 p(cp + (h - F) * ax / dz, (h - F) * y / dz, h);
            *du = Vec3((hx * ax + (h - F)) / dz, hx * y / dz, hx) * verify::pixelPitch;
            *dv = Vec3(hy * ax / dz, (hy * y + (h - F)) / dz, hy) * verify::pixelPitch;
            return p;
        };
        QTemporaryDir dir;
        const QString path = dir.filePath("outputall.txt");
        QByteArray text;
        char number[designNumberMaxLength];
        Vec3 du, dv;
        for (int b = 0; b < 1920; ++b) {
            for (int r = 0; r < 1080; r += 10) {
                const double v = r < 540 ? -r : r - 540;
                for (int surface = 0; surface < 2; ++surface) {
                    const Vec3 p = exact(surface, b, v, &du, &dv);
                    for (int k = 0; k < 3; ++k) {
                        const double value = b == 960 ? std::nan("") : p[k];
                        text.append(number, int(formatDesignNumber(number, value) - number));
                        text.append(surface == 1 && k == 2 ? '\n' : ' ');
                    }
                }
            }
        }
        QVERIFY(putFile(path, text));
        PrismSurfaces sheets;
        QString error;
        QVERIFY2(designSurfacesFromFile(path, &sheets, &error), qPrintable(error));

        double worstPoint = 0.0;
        double worstNormal = 0.0;
        std::mt19937 random(7);
        std::uniform_real_distribution<double> leftU(2.0, 957.0);
        std::uniform_real_distribution<double> anyV(-535.0, 535.0);
        for (int i = 0; i < 4000; ++i) {
            const int half = i % 2;
            const int surface = (i / 2) % 2;
            const double u = half == 0 ? leftU(random) : 1919.0 - leftU(random);
            const double v = anyV(random);
            Vec3 du, dv;
            const Vec3 p = exact(surface, u, v, &du, &dv);
            const Surface& sheet = surface == 0 ? *sheets.exit[half] : *sheets.entrance[half];
            const SurfacePoint s = sheet.evaluate(u, v);
            worstPoint = std::max(worstPoint, (s.point - p).norm());
            const Vec3 n0 = du.cross(dv).normalized();
            const Vec3 n1 = s.du.cross(s.dv).normalized();
            worstNormal = std::max(worstNormal, n0.cross(n1).norm());
        }
        qInfo("smoothed file sheets: largest point error %.3g mm, largest normal error %.3g rad", worstPoint,
              worstNormal);
        QVERIFY(worstPoint < 2e-5);
        QVERIFY(worstNormal < 1e-5);
    }

    void threadCountDoesNotMatter()
    {
        const std::vector<PolynomialTerm> terms = {{0, 0}, {1, 0}, {2, 0}, {0, 2}, {3, 0}, {1, 2}};
        auto entrance = std::make_shared<PolynomialSurface>(
            terms, std::vector<double>{15.4, -0.2, 0.004, 0.001, -2e-5, 1e-5}, true, FitWindow{0.0, 28.0, -18.0, 18.0});
        auto exit = std::make_shared<PolynomialSurface>(
            std::vector<PolynomialTerm>{{0, 0}, {2, 0}, {0, 2}}, std::vector<double>{0.0, 0.002, 0.001}, false,
            FitWindow{-20.0, 20.0, -18.0, 18.0});
        const PrismGeometry g = geometry(1.48);
        VerifyOptions options;
        options.step = 5;
        options.threadCount = 1;
        const VerifyResult one = verifyPrism(g, pair(entrance, exit), options);
        for (int threads : {2, 3, 7}) {
            options.threadCount = threads;
            const VerifyResult many = verifyPrism(g, pair(entrance, exit), options);
            for (int h = 0; h < 2; ++h) {
                const HalfStatistics& a = one.halves[std::size_t(h)];
                const HalfStatistics& b = many.halves[std::size_t(h)];
                QCOMPARE(b.traced, a.traced);
                QCOMPARE(b.outsideWindow, a.outsideWindow);
                QVERIFY(a.traced > 0 && a.outsideWindow > 0);  // the window cuts through the sensor
                for (auto m : {&HalfStatistics::directionPx, &HalfStatistics::pinholeMm}) {
                    QCOMPARE(std::memcmp(&(b.*m).rms, &(a.*m).rms, sizeof(double)), 0);
                    QCOMPARE(std::memcmp(&(b.*m).p95, &(a.*m).p95, sizeof(double)), 0);
                    QCOMPARE((b.*m).maxAt.column, (a.*m).maxAt.column);
                    QCOMPARE((b.*m).maxAt.row, (a.*m).maxAt.row);
                }
                QCOMPARE(std::memcmp(&b.reprojectionPx[1].rms, &a.reprojectionPx[1].rms, sizeof(double)), 0);
            }
        }
    }

    void jsonNumbers_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("tenth") << 0.1 << QByteArray("0.1");
        QTest::newRow("float index") << double(1.48f) << QByteArray("1.4800000190734863");
        QTest::newRow("large") << 1e21 << QByteArray("1e+21");
        QTest::newRow("smallest") << 5e-324 << QByteArray("5e-324");
        QTest::newRow("integer") << -35.0 << QByteArray("-35");
        QTest::newRow("infinity") << std::numeric_limits<double>::infinity() << QByteArray("null");
        QTest::newRow("nan") << std::nan("") << QByteArray("null");
    }

    void jsonNumbers()
    {
        QFETCH(double, value);
        QFETCH(QByteArray, text);
        QByteArray out;
        appendJsonNumber(&out, value);
        QCOMPARE(out, text);
        if (std::isfinite(value))
            QVERIFY(sameDouble(std::strtod(out.constData(), nullptr), value));
    }

    void designJsonRoundTrip_data()
    {
        QTest::addColumn<bool>("withPanel");
        QTest::addColumn<double>("hitX");
        QTest::newRow("panel") << true << 14.875704765319824;
        QTest::newRow("no panel") << false << 3.0000000000000004;
        QTest::newRow("no hit point") << true << std::nan("");
    }

    void designJsonRoundTrip()
    {
        QFETCH(bool, withPanel);
        QFETCH(double, hitX);
        PanelParameters panel;
        panel.focalLength = 40;
        panel.setAngle(12.5);
        panel.refractiveIndex = 1.52;
        DesignParameters p = toDesignParameters(panel, CentralRayHit{true, hitX, 12.784213687271404});
        DesignRecord record;
        fillDesignRecord(record, p);
        const DesignJson written = designJsonFromRecord(record, withPanel ? &panel : nullptr);
        QTemporaryDir dir;
        QVERIFY(writeDesignJson(dir.path(), written));
        DesignJson read;
        QString error;
        QVERIFY2(readDesignJson(dir.filePath("design.json"), &read, &error), qPrintable(error));
        QCOMPARE(read.panelKnown, withPanel);
        QCOMPARE(read.designModel, QStringLiteral("classic"));
        const double DesignJson::*members[] = {&DesignJson::angleDeg,        &DesignJson::angleRad,
                                               &DesignJson::focalLength,     &DesignJson::prismDistance,
                                               &DesignJson::prismSize,       &DesignJson::refractiveIndex,
                                               &DesignJson::pinholeHeight,   &DesignJson::virtualPinholeX,
                                               &DesignJson::centralRayHitX,  &DesignJson::centralRayHitY};
        for (auto m : members)
            QVERIFY(sameDouble(read.*m, written.*m));
        QVERIFY(sameDouble(read.refractiveIndex, double(1.52f)));
        QVERIFY(sameDouble(read.virtualPinholeX, -hitX));
        if (withPanel) {
            QCOMPARE(read.panel.focalLength, 40);
            QCOMPARE(read.panel.angleDeg, 12.5);
        }
    }

    void fitJsonRoundTrip_data()
    {
        QTest::addColumn<int>("order");
        for (int order = 3; order <= 8; ++order)
            QTest::newRow(qPrintable(QString::number(order))) << order;
    }

    void fitJsonRoundTrip()
    {
        QFETCH(int, order);
        FitRunSummary summary;
        summary.order = order;
        summary.surface1Count = 1234;
        summary.surface2Count = 567;
        // Values the report's 13 decimals would lose or cannot print.
        const double awkward[] = {1e-300, -3.3e-17, 0.1, 1.0 / 3.0, -2.5e-12, 4.424191891829528e-06, 7e22};
        for (int i = 0; i < 25; ++i) {
            summary.surface1Results.push_back(awkward[i % 7] * (i + 1));
            summary.surface2Results.push_back(-awkward[(i + 3) % 7] / (i + 1));
        }
        const FitJson fit = fitJsonFromSummary(summary);
        summary.surface1Results.resize(fit.surface1.coefficients.size());
        summary.surface1Results.push_back(std::nan(""));  // Res1 not finite
        summary.surface2Results.resize(fit.surface2.coefficients.size());
        summary.surface2Results.push_back(0.000439466);
        const FitJson written = fitJsonFromSummary(summary);
        QTemporaryDir dir;
        QVERIFY(writeFitJson(dir.path(), written));
        FitJson read;
        QString error;
        QVERIFY2(readFitJson(dir.filePath("result_para_fit.json"), &read, &error), qPrintable(error));
        QCOMPARE(read.order, order);
        const int k1[] = {3, 6, 6, 10, 10, 15};
        const int k2[] = {6, 9, 12, 16, 20, 25};
        QCOMPARE(int(read.surface1.coefficients.size()), k1[order - 3]);
        QCOMPARE(int(read.surface2.coefficients.size()), k2[order - 3]);
        for (std::size_t i = 0; i < read.surface1.coefficients.size(); ++i)
            QVERIFY(sameDouble(read.surface1.coefficients[i], summary.surface1Results[i]));
        for (std::size_t i = 0; i < read.surface2.coefficients.size(); ++i)
            QVERIFY(sameDouble(read.surface2.coefficients[i], summary.surface2Results[i]));
        QVERIFY(std::isnan(read.surface1.residual));
        QCOMPARE(read.surface2.residual, 0.000439466);
        QCOMPARE(read.surface1.points, 1234);
        // Surface 1 holds even powers only; surface 2 odd powers of x, even of y.
        for (std::size_t i = 0; i < read.surface1.xPowers.size(); ++i)
            QVERIFY(read.surface1.xPowers[i] % 2 == 0 && read.surface1.yPowers[i] % 2 == 0);
        QCOMPARE(read.surface2.xPowers[1], 1);
        QVERIFY(read.surface2.mirrored && !read.surface1.mirrored);
        QCOMPARE(read.surface2.xLow, 0.0);
        QCOMPARE(read.surface1.yHigh, 18.0);
    }

    // The design's sheets ("outputall.txt"), the fit's "result_para_fit.json",
    // the prism fit's "prism.json" and a grid sag file, missing or malformed:
    // refused with a one-line message (naming the problem where given).
    void badFile_data()
    {
        const QByteArray good = [] {
            FitRunSummary s;
            s.order = 3;
            s.surface1Results = {1, 2, 3, 0.5};
            s.surface2Results = {1, 2, 3, 4, 5, 6, 0.5};
            return fitJsonBytes(fitJsonFromSummary(s));
        }();
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("message");
        QTest::newRow("design missing") << "outputall.txt" << QByteArray() << "cannot read";
        QTest::newRow("design too short") << "outputall.txt" << QByteArray("1 2 3 4 5 6\n") << "not the";
        QTest::newRow("design not numbers") << "outputall.txt" << QByteArray("a b c\n") << "not the";
        QTest::newRow("fit missing") << "result_para_fit.json" << QByteArray() << "cannot read";
        QTest::newRow("cut off") << "result_para_fit.json" << good.left(good.size() / 2) << "not valid JSON";
        QTest::newRow("order 9") << "result_para_fit.json" << QByteArray(good).replace("\"order\": 3", "\"order\": 9") << "order";
        QTest::newRow("term not the model's") << "result_para_fit.json" << QByteArray(good).replace("[2, 0]", "[2, 1]") << "term 1 of surface 1";
        QTest::newRow("coefficient a word") << "result_para_fit.json" << QByteArray(good).replace("\n      2,", "\n      \"two\",") << "coefficient";
        QTest::newRow("no window") << "result_para_fit.json" << QByteArray(good).replace("\"window\"", "\"pane\"") << "window";
        QTest::newRow("too few coefficients") << "result_para_fit.json" << QByteArray(good).replace(",\n      3\n", "\n") << "needs 3";
        const QByteArray prism = "{\"format\": \"harvenlotek-prism\", \"surfaces\": ";
        QTest::newRow("prism missing") << "prism.json" << QByteArray() << "";
        QTest::newRow("prism not JSON") << "prism.json" << QByteArray("{ \"format\": ") << "";
        QTest::newRow("prism other format") << "prism.json" << QByteArray("{\"format\": \"something\"}") << "";
        QTest::newRow("prism no surfaces") << "prism.json" << prism + "{}}" << "";
        QTest::newRow("prism term count off")
            << "prism.json"
            << prism + "{\"exit\": {\"order\": 3, \"normalisation\": {\"x0\": 0, \"R\": 1}, \"terms\": [[0, 0]], "
                       "\"coefficients\": [1], \"domain\": {\"xMin\": -1, \"xMax\": 0, \"yMin\": -1, \"yMax\": 1}}}}"
            << "";
        const QString sag = QStringLiteral("surface_exit.dat");
        QTest::newRow("grid sag, even nx") << sag << QByteArray("2 1 1 1 0 0 0\n1 0 0 0 0\n1 0 0 0 0\n") << "";
        QTest::newRow("grid sag, a value short") << sag << QByteArray("1 1 1 1 0 0 0\n1 0 0 0\n") << "";
        QTest::newRow("grid sag, a word") << sag << QByteArray("1 1 1 1 0 0 0\n1 0 zero 0 0\n") << "";
        QTest::newRow("grid sag, empty") << sag << QByteArray("") << "";  // an empty file
    }

    void badFile()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString path = dir.filePath(file);
        QVERIFY(putFile(path, content));
        QString error;
        PrismSurfaces sheets;
        FitJson fit;
        PrismFileContent prism;
        GridSag sag;
        QVERIFY(file == "outputall.txt"      ? !designSurfacesFromFile(path, &sheets, &error)
                : file == "prism.json"       ? !readPrismFile(path, &prism, &error)
                : file == "surface_exit.dat" ? !readGridSagFile(path, &sag, &error)
                                             : !readFitJson(path, &fit, &error));
        QVERIFY2(!error.isEmpty() && !error.contains('\n') && error.contains(message), qPrintable(error));
        QVERIFY(!sheets.entrance[0] && !sheets.exit[1]);
    }

    void commandLineVerification()
    {
        QTemporaryDir dir;
        const CliResult run = runCli({"run", "--order", "4", "--verify", "--step", "64", "--depth", "800", "--json",
                                      "--output-dir", dir.path()});
        QCOMPARE(run.code, 0);
        const QJsonObject summary = QJsonDocument::fromJson(run.out).object();
        QVERIFY(summary.contains("design"));
        const QJsonArray inMemory = summary.value("verification").toArray();
        QCOMPARE(inMemory.size(), 2);

        const CliResult verify = runCli({"verify", "--step", "64", "--depth", "800", "--json", "--output-dir", dir.path()});
        QCOMPARE(verify.code, 0);
        const QJsonObject root = QJsonDocument::fromJson(verify.out).object();
        QCOMPARE(root.keys(), (QStringList{"schemaVersion", "verification"}));
        QCOMPARE(root.value("schemaVersion").toInt(), 1);
        const QJsonArray fromFiles = root.value("verification").toArray();
        QCOMPARE(fromFiles.size(), 2);
        const QJsonObject design = fromFiles[0].toObject();
        QCOMPARE(design.value("source").toString(), QStringLiteral("design"));
        QVERIFY(design.value("order").isNull());
        const QJsonObject left = design.value("left").toObject();
        QCOMPARE(left.keys(), (QStringList{"centreBand", "directionPx", "mirrorAsymmetryPx", "missed", "nonCentrality", "outsideCentreBand",
                                           "outsideWindow", "pinholeMm", "reprojectionPx", "totalReflection", "traced"}));
        const QJsonObject central = left.value("nonCentrality").toObject();
        QCOMPARE(central.keys(), (QStringList{"commonPoint", "maxMm", "maxPx", "rmsMm", "rmsPx"}));
        // The classic design's rays miss one point by about a millimetre (the
        // px figure is the mm figure seen at the near depth of 300 mm).
        QVERIFY(central.value("rmsMm").toDouble() > 0.0 && central.value("rmsMm").toDouble() < 10.0);
        QVERIFY(std::fabs(central.value("rmsPx").toDouble()
                          - central.value("rmsMm").toDouble() * 35.0 / (0.0055 * 300.0)) < 1e-9);
        QCOMPARE(left.value("mirrorAsymmetryPx").toObject().keys(), (QStringList{"max", "pairs", "rms"}));
        const QJsonObject direction = left.value("directionPx").toObject();
        QCOMPARE(direction.keys(), (QStringList{"max", "maxAt", "p95", "rms"}));
        QVERIFY(direction.value("rms").toDouble() <= direction.value("p95").toDouble() * 1.5);
        QVERIFY(direction.value("p95").toDouble() <= direction.value("max").toDouble());
        QCOMPARE(left.value("reprojectionPx").toObject().keys(), QStringList{"800"});
        // The fit read back from its file gives the numbers of the fit in memory.
        QCOMPARE(fromFiles[1].toObject().value("order").toInt(), 4);
        QCOMPARE(fromFiles[1], inMemory[1]);
    }
};

QTEST_GUILESS_MAIN(TestVerify)
#include "tst_verify.moc"
