// The simulated capture and its end-to-end depth check: the ideal pinhole
// pair with its exact calibration gives the plane's depth back within the
// matcher's sub-pixel bias; a flat plate images a plane without distortion,
// at the closed-form scale; a texture point lands where the verifier's trace
// images it; calibrations of another prism and bad input are refused with
// nothing written.

#include "calibration/calibration_file.h"
#include "design/design_run.h"
#include "fit/prism_file.h"
#include "fit/prism_fit.h"
#include "parameters/panel_parameters.h"
#include "materials/material.h"
#include "simulate/simulation.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

struct Dot {
    double x, y;  // world, mm
};

// Gaussian dots of `sigmaMm` on a black plane.
simulate::Texture dotTexture(std::vector<Dot> dots, double sigmaMm)
{
    return simulate::Texture::function([dots, sigmaMm](double s, double t) {
        float sum = 0.0f;
        for (const Dot& d : dots) {
            const double r2 = (s - d.x) * (s - d.x) + (t - d.y) * (t - d.y);
            if (r2 < 36.0 * sigmaMm * sigmaMm)
                sum += float(std::exp(-0.5 * r2 / (sigmaMm * sigmaMm)));
        }
        return sum;
    });
}

// Intensity centroid of the image in a (2r+1)^2 window around (u, v); false
// when the window leaves the half the point lies in.
bool centroid(const cv::Mat& image, double u, double v, int r, double* cu, double* cv_)
{
    const int u0 = int(std::lround(u)), v0 = int(std::lround(v));
    const int half = image.cols / 2;
    if (v0 - r < 0 || v0 + r >= image.rows || u0 - r < 0 || u0 + r >= image.cols || ((u0 - r < half) != (u0 + r < half)))
        return false;
    double s = 0, su = 0, sv = 0;
    for (int j = v0 - r; j <= v0 + r; ++j)
        for (int i = u0 - r; i <= u0 + r; ++i) {
            const double w = image.at<unsigned char>(j, i);
            s += w;
            su += w * i;
            sv += w * j;
        }
    if (s <= 0)
        return false;
    *cu = su / s;
    *cv_ = sv / s;
    return true;
}

int runCli(const QStringList& arguments, QByteArray* out = nullptr, QByteArray* err = nullptr)
{
    QProcess process;
    process.start(QStringLiteral(HARVENLOTEK_CLI), arguments);
    if (!process.waitForFinished(300000))
        return -1;
    if (out) *out = process.readAllStandardOutput();
    if (err) *err = process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// A calibration file with the rectification of `model` and, when given, the digest.
void writeCalibrationYaml(const QString& path, const simulate::StereoModel& model, const QString& digest)
{
    cv::FileStorage fs(QFile::encodeName(path).toStdString(), cv::FileStorage::WRITE);
    fs << "distortion_model" << "standard";
    fs << "image_size_left" << model.halfSize << "image_size_right" << model.halfSize;
    fs << "camera_matrix_left" << model.K1 << "distortion_left" << model.D1;
    fs << "camera_matrix_right" << model.K2 << "distortion_right" << model.D2;
    fs << "R" << cv::Mat::eye(3, 3, CV_64F) << "T" << (cv::Mat_<double>(3, 1) << -29.75, 0, 0);
    fs << "R1" << model.R1 << "R2" << model.R2 << "P1" << model.P1 << "P2" << model.P2 << "Q" << model.Q;
    if (!digest.isEmpty())
        fs << "prism_digest" << digest.toStdString();
}

// A flat-faced surface z = height + slope x for x < 0, mirrored for x >= 0.
PrismSurfaceFit planeFit(double height, double slope)
{
    PrismSurfaceFit f;
    f.surface.order = 3;
    f.surface.x0 = -20.0;
    f.surface.radius = 25.0;
    f.surface.coefficients.assign(prismTerms(3).size(), 0.0);
    f.surface.coefficients[0] = height + slope * f.surface.x0;
    f.surface.coefficients[1] = slope * f.surface.radius;
    f.domain = {-45.0, 0.0, -30.0, 30.0};
    return f;
}

const materials::Material& glass(const char* name)
{
    const materials::Material* m = materials::Catalogue::builtIn().find(QString::fromLatin1(name));
    if (!m)
        qFatal("no %s in the catalogue", name);
    return *m;
}

// The mean over a half's traced pixels (of the traced band of rows) of the
// outgoing direction at one wavelength minus that at another, as an angle
// in x and y (rad); the count of pixels compared.
struct ColourShift {
    double x = 0.0, y = 0.0;
    int count = 0;
};
ColourShift meanShift(const simulate::RayField& a, const simulate::RayField& b, bool left)
{
    ColourShift s;
    for (int v = 0; v < a.rows(); ++v)
        for (int column = left ? 0 : a.columns() / 2; column < (left ? a.columns() / 2 : a.columns()); ++column) {
            verify::Vec3 oa, da, ob, db;
            if (!a.pixelRay(column, v, &oa, &da) || !b.pixelRay(column, v, &ob, &db))
                continue;
            s.x += std::atan(da.x()) - std::atan(db.x());
            s.y += std::atan(da.y()) - std::atan(db.y());
            ++s.count;
        }
    if (s.count > 0) {
        s.x /= s.count;
        s.y /= s.count;
    }
    return s;
}

}  // namespace

class TestSimulate : public QObject {
    Q_OBJECT

    QTemporaryDir prismDir_;  // a refraction design's prism fit of order 4: prism.json
    simulate::SimulatedCamera prism_;

private slots:
    void initTestCase()
    {
        QVERIFY(prismDir_.isValid());
        const PanelParameters panel;
        const CentralRayHit hit = centralRayHit(panel);
        QVERIFY(hit.defined);
        const DesignParameters parameters = toDesignParameters(panel, hit);
        DesignRunOptions run;
        run.outputDirectory = prismDir_.path();
        run.model = DesignModel::Refraction;
        QVERIFY(runDesign(parameters, run).gridWritten);
        PrismDesignPoints points;
        QString error;
        QVERIFY2(readPrismDesignPoints(prismDir_.filePath("outputall.txt"), &points, &error), qPrintable(error));
        PrismFit fit;
        QVERIFY2(runPrismFit(points, 4, parameters, prismDir_.path(), &fit, &error), qPrintable(error));
        QVERIFY2(simulate::loadPrismCamera(prismDir_.filePath("prism.json"), &prism_, &error), qPrintable(error));
        // The digest is the prism's, not the file's: the fit in memory has the same.
        QCOMPARE(prism_.digest, calibration::prismDigest(parameters, fit));
        fit.exit.surface.coefficients[3] = std::nextafter(fit.exit.surface.coefficients[3], 1e300);
        QVERIFY(prism_.digest != calibration::prismDigest(parameters, fit));
    }

    // The ideal pair rectified with its exact calibration. Its exact
    // correspondences, reprojected by Q, give the true distances; StereoSGBM's
    // disparities are off by its sub-pixel bias only (pixel locking towards
    // whole disparities: under 0.35 px, well within half a pixel), and the
    // median depth error is that bias turned into depth at the plane's
    // disparity f B / Z (the closed form); no vertical disparity; nearly
    // every pixel matched.
    // On the tilted plane and the staircase the disparity changes over the
    // image: the exact correspondences still give the true distances, and
    // the matcher's error stays within its sub-pixel bias at the nearest
    // point's disparity.
    void idealPairReproducesDepth_data()
    {
        QTest::addColumn<double>("depth");
        QTest::addColumn<int>("kind");
        QTest::newRow("plane 0.5 m") << 500.0 << int(simulate::SceneKind::Plane);
        QTest::newRow("plane 1 m") << 1000.0 << int(simulate::SceneKind::Plane);
        QTest::newRow("tilted 1 m") << 1000.0 << int(simulate::SceneKind::Tilted);
        QTest::newRow("steps 1 m") << 1000.0 << int(simulate::SceneKind::Steps);
    }
    void idealPairReproducesDepth()
    {
        QFETCH(double, depth);
        QFETCH(int, kind);
        const simulate::SimulatedCamera ideal = simulate::idealPinholeCamera(prism_.geometry);
        const simulate::RayField field = simulate::RayField::trace(ideal.rig, 0);
        simulate::SceneOptions options;
        options.depthMm = depth;
        options.kind = simulate::SceneKind(kind);
        const simulate::Scene scene = simulate::makeScene(options, ideal.rig, cv::Mat(), 7);
        simulate::CaptureOptions capture;
        capture.supersample = 1;
        const simulate::CameraRun run =
            simulate::runCamera(field, ideal, scene, simulate::idealStereoModel(ideal.rig), capture, {});
        const double distance = depth + prism_.geometry.pinholeHeight();
        const double disparity = prism_.geometry.focalLength / 0.0055 * 2 * std::abs(prism_.geometry.virtualPinholeX)
                                 / distance;
        const simulate::DepthStatistics& s = run.match.depth;
        const simulate::GeometryDisparity& g = run.match.geometry;
        QVERIFY2(g.depthRmsPercent < 1e-4, qPrintable(QString::number(g.depthRmsPercent)));
        QVERIFY2(std::abs(g.matchMedianPx) < 0.35, qPrintable(QString::number(g.matchMedianPx)));
        if (options.kind != simulate::SceneKind::Plane) {
            // Nearest point of the scene: a third nearer than the centre at most.
            QVERIFY2(s.rmsPercent < 100.0 * 0.5 / (disparity / 1.5), qPrintable(QString::number(s.rmsPercent)));
            QVERIFY2(s.validPercent > 75.0, qPrintable(QString::number(s.validPercent)));
            QVERIFY2(g.verticalRmsPx < 1e-3, qPrintable(QString::number(g.verticalRmsPx)));
            return;
        }
        const double expected = -100.0 * g.matchMedianPx / disparity;  // percent: nearer when the disparity is larger
        QVERIFY2(std::abs(s.medianPercent - expected) < 100.0 * 0.03 / disparity,
                 qPrintable(QStringLiteral("%1 %2").arg(s.medianPercent).arg(expected)));
        QVERIFY2(std::abs(s.medianPercent) < 100.0 * 0.35 / disparity, qPrintable(QString::number(s.medianPercent)));
        QVERIFY2(s.rmsPercent < 100.0 * 0.5 / disparity, qPrintable(QString::number(s.rmsPercent)));
        QVERIFY2(s.validPercent > 80.0, qPrintable(QString::number(s.validPercent)));
        QVERIFY(run.match.geometry.points > 1000);
        QVERIFY2(run.match.geometry.verticalRmsPx < 1e-3, qPrintable(QString::number(run.match.geometry.verticalRmsPx)));
    }

    // Photon and read noise: the difference to the clean image has, pixel by
    // pixel, the variance (level * full well + read^2) / full well^2 in grey
    // levels squared, plus the rounding's 1/12; the same seed gives the same
    // image.
    void noiseOfTheStatedElectrons()
    {
        const simulate::SimulatedCamera ideal = simulate::idealPinholeCamera(prism_.geometry);
        const simulate::RayField field = simulate::RayField::trace(ideal.rig, 0);
        simulate::SceneOptions options;
        const simulate::Scene scene = simulate::makeScene(options, ideal.rig, cv::Mat(), 3);
        simulate::CaptureOptions capture;
        capture.supersample = 1;
        const simulate::Capture clean = simulate::captureScene(field, scene, capture);
        capture.noiseElectrons = 20.0;
        capture.fullWellElectrons = 2000.0;
        const simulate::Capture noisy = simulate::captureScene(field, scene, capture);
        QCOMPARE(cv::norm(noisy.image, simulate::captureScene(field, scene, capture).image, cv::NORM_INF), 0.0);
        double expected = 0.0, measured = 0.0;
        int n = 0;
        for (int v = 0; v < clean.image.rows; v += 3)
            for (int u = 0; u < clean.image.cols; u += 3) {
                const double level = clean.image.at<unsigned char>(v, u) / 255.0;
                if (level < 0.1 || level > 0.9)
                    continue;  // away from the clipping at 0 and 255
                const double sigma = std::sqrt(level * 2000.0 + 400.0) / 2000.0 * 255.0;
                expected += sigma * sigma + 1.0 / 12.0;
                const double d = double(noisy.image.at<unsigned char>(v, u)) - clean.image.at<unsigned char>(v, u);
                measured += d * d;
                ++n;
            }
        QVERIFY(n > 100000);
        QVERIFY2(std::abs(measured / expected - 1.0) < 0.03, qPrintable(QString::number(measured / expected)));
    }

    // A plate of parallel faces deflects no ray: a fronto plane's dots are
    // imaged at one scale, f / (Zc - t (1 - 1/n)) pixels per mm to first
    // order, centred on the sensor centre, with no distortion left over.
    void flatPlateImagesWithoutDistortion()
    {
        verify::PrismGeometry geometry = prism_.geometry;
        geometry.refractiveIndex = 1.5;
        const double thickness = 20.0;
        const simulate::SimulatedCamera plate = simulate::flatPlateCamera(geometry, thickness);
        const simulate::RayField field = simulate::RayField::trace(plate.rig, 0);
        const double depth = 1000.0;
        const double distance = depth + geometry.pinholeHeight();
        const double scale = geometry.focalLength / 0.0055 / (distance - thickness * (1.0 - 1.0 / 1.5));  // px/mm
        std::vector<Dot> dots;
        for (int i = -7; i <= 7; ++i)
            for (int j = -4; j <= 4; ++j)
                if (i != 0)
                    dots.push_back({i * 20.0 + 0.37 * j, j * 20.0 + 0.21 * i});
        simulate::SceneOptions options;
        options.depthMm = depth;
        const simulate::Scene scene(options, dotTexture(dots, 1.8 / scale));
        simulate::CaptureOptions capture;
        capture.supersample = 4;
        const simulate::Capture image = simulate::captureScene(field, scene, capture);
        // Least squares b = a x + c per axis.
        double sx = 0, sxx = 0, sb = 0, sxb = 0, sy = 0, syy = 0, sv = 0, syv = 0;
        std::vector<std::array<double, 4>> found;
        for (const Dot& d : dots) {
            double b, v;
            if (!centroid(image.image, 960 + scale * d.x, 540 - scale * d.y, 9, &b, &v))
                continue;
            found.push_back({d.x, d.y, b, v});
            sx += d.x; sxx += d.x * d.x; sb += b; sxb += d.x * b;
            sy += d.y; syy += d.y * d.y; sv += v; syv += d.y * v;
        }
        const double n = double(found.size());
        QVERIFY(n > 80);
        const double ax = (n * sxb - sx * sb) / (n * sxx - sx * sx), cx = (sb - ax * sx) / n;
        const double ay = (n * syv - sy * sv) / (n * syy - sy * sy), cy = (sv - ay * sy) / n;
        QVERIFY2(std::abs(ax / scale - 1.0) < 2e-4, qPrintable(QString::number(ax / scale - 1.0)));
        QVERIFY2(std::abs(-ay / scale - 1.0) < 2e-4, qPrintable(QString::number(-ay / scale - 1.0)));
        QVERIFY2(std::abs(cx - 960.0) < 0.02 && std::abs(cy - 540.0) < 0.02,
                 qPrintable(QStringLiteral("%1 %2").arg(cx).arg(cy)));
        double worst = 0.0;
        for (const auto& f : found)
            worst = std::max(worst, std::hypot(f[2] - (ax * f[0] + cx), f[3] - (ay * f[1] + cy)));
        QVERIFY2(worst < 0.05, qPrintable(QString::number(worst)));
    }

    // Dots on a plane through the prism: each lands, in each half, on the
    // pixel the verifier's trace images its centre to (Newton on the traced
    // rays, calibration::imageWorldPoint).
    void texturePointLandsWhereTheTraceSays_data()
    {
        QTest::addColumn<double>("depth");
        QTest::newRow("0.6 m") << 600.0;
        QTest::newRow("1.5 m") << 1500.0;
    }
    void texturePointLandsWhereTheTraceSays()
    {
        QFETCH(double, depth);
        const simulate::RayField field = simulate::RayField::trace(prism_.rig, 0);
        const double scale = prism_.geometry.focalLength / 0.0055 / (depth + prism_.geometry.pinholeHeight());
        std::vector<Dot> dots;
        for (int i = -6; i <= 6; ++i)
            for (int j = -3; j <= 3; ++j)
                dots.push_back({i * 90.0 / scale, j * 120.0 / scale});
        simulate::SceneOptions options;
        options.depthMm = depth;
        const simulate::Scene scene(options, dotTexture(dots, 1.6 / scale));
        simulate::CaptureOptions capture;
        capture.supersample = 4;
        const simulate::Capture image = simulate::captureScene(field, scene, capture);
        int compared = 0;
        double worst = 0.0;
        for (const Dot& d : dots)
            for (calibration::SensorHalf half : {calibration::SensorHalf::Left, calibration::SensorHalf::Right}) {
                const calibration::ImagedPoint p =
                    calibration::imageWorldPoint(prism_.rig, half, {d.x, d.y, -depth});
                if (!p.imaged || p.u < 30 || p.u > 930)
                    continue;
                const double column = p.u + (half == calibration::SensorHalf::Right ? 960 : 0);
                double b, v;
                if (!centroid(image.image, column, p.v, 9, &b, &v))
                    continue;
                ++compared;
                worst = std::max(worst, std::hypot(b - column, v - p.v));
            }
        QVERIFY2(compared > 60, qPrintable(QString::number(compared)));
        QVERIFY2(worst < 0.05, qPrintable(QString::number(worst)));
    }

    // A cemented prism of the same glass on both sides of its interface is
    // the single glass (no surface where the index does not change): every
    // pixel's ray and the capture of a plane are those of the prism without
    // the interface. The file read back traces with both glasses.
    void sameGlassCementedCapturesAsSingle()
    {
        PrismFileContent content;
        QString error;
        QVERIFY2(readPrismFile(prismDir_.filePath("prism.json"), &content, &error), qPrintable(error));
        PrismInterface& i = content.fit.interface;
        i.present = true;
        i.crown = i.flint = QStringLiteral("custom");
        i.designWavelengthNm = 587.5618;
        i.crownIndex = i.flintIndex = double(content.panel.refractiveIndex);
        i.fit = content.fit.entrance;  // its shape, halfway down: a curved interface
        i.fit.surface.coefficients[0] -=
            0.5 * (content.fit.entrance.surface.height(0, 0) - content.fit.exit.surface.height(0, 0));
        QTemporaryDir dir;
        QVERIFY2(writePrismFile(dir.path(), content, &error), qPrintable(error));
        simulate::SimulatedCamera cemented;
        QVERIFY2(simulate::loadPrismCamera(dir.filePath("prism.json"), &cemented, &error), qPrintable(error));
        QCOMPARE(cemented.geometry.secondIndex, i.flintIndex);
        const double band = 0.1;
        const simulate::RayField single = simulate::RayField::trace(prism_.rig, 0, nullptr, band);
        const simulate::RayField through = simulate::RayField::trace(cemented.rig, 0, nullptr, band);
        int traced = 0;
        double worstOrigin = 0.0, worstSlope = 0.0;
        for (int v = 0; v < single.rows(); ++v)
            for (int b = 0; b < single.columns(); ++b) {
                verify::Vec3 o1, d1, o2, d2;
                const bool t1 = single.pixelRay(b, v, &o1, &d1), t2 = through.pixelRay(b, v, &o2, &d2);
                QCOMPARE(t1, t2);
                if (!t1)
                    continue;
                ++traced;
                worstOrigin = std::max(worstOrigin, (o1 - o2).norm());
                worstSlope = std::max(worstSlope, (d1 - d2).norm());
            }
        QVERIFY2(traced > 0.9 * 1920 * 108, qPrintable(QString::number(traced)));
        qInfo("%d pixels, largest difference %.3g mm, %.3g", traced, worstOrigin, worstSlope);
        QVERIFY2(worstOrigin < 1e-5 && worstSlope < 1e-6,
                 qPrintable(QStringLiteral("%1 mm, %2").arg(worstOrigin).arg(worstSlope)));
        simulate::SceneOptions options;
        options.depthMm = 1000.0;
        const simulate::Scene scene = simulate::makeScene(options, prism_.rig, cv::Mat(), 3);
        simulate::CaptureOptions capture;
        capture.supersample = 2;
        const cv::Mat a = simulate::captureScene(single, scene, capture).image;
        const cv::Mat c = simulate::captureScene(through, scene, capture).image;
        cv::Mat difference;
        cv::absdiff(a, c, difference);
        double largest = 0.0;
        cv::minMaxLoc(difference, nullptr, &largest);
        QVERIFY2(largest <= 1.0, qPrintable(QString::number(largest)));
        QVERIFY(cv::countNonZero(difference) < 0.001 * a.total());
    }

    // A thin cemented pair of N-BK7 and F2 whose wedges meet the achromat's
    // closed form (nF - nC)1 A1 + (nF - nC)2 A2 = 0, captured at F and at C:
    // each half's mean F-C turn of the outgoing rays stays under 1 % of
    // that of the N-BK7 wedge A1 alone (measured 0.4 %), which itself meets
    // the thin prism's (nF - nC) A1 (5.6e-4 rad, 3.6 px at the focal
    // length) within 2 % (0.7 %, the obliquity of the field's rays).
    void achromatPairCapturesWithoutColourShift()
    {
        const materials::Material& crown = glass("N-BK7");
        const materials::Material& flint = glass("F2");
        const double a1 = 4.0 * 3.14159265358979323846 / 180.0;
        const double crownSpread = crown.index(materials::lineF) - crown.index(materials::lineC);
        const double flintSpread = flint.index(materials::lineF) - flint.index(materials::lineC);
        const double a2 = -a1 * crownSpread / flintSpread;
        PrismFit pair;
        pair.order = 3;
        pair.entrance = planeFit(10.0, std::tan(a1 + a2));
        pair.exit = planeFit(0.0, 0.0);
        pair.interface.present = true;
        pair.interface.fit = planeFit(4.0, std::tan(a2));
        pair.interface.crown = QStringLiteral("N-BK7");
        pair.interface.flint = QStringLiteral("F2");
        pair.interface.designWavelengthNm = materials::lineD;
        pair.interface.crownIndex = crown.index(materials::lineD);
        pair.interface.flintIndex = flint.index(materials::lineD);
        PrismFit wedge = pair;
        wedge.interface = PrismInterface();
        wedge.entrance = planeFit(10.0, std::tan(a1));
        const double band = 0.06;
        simulate::RayField pairField[2], wedgeField[2];
        QString error;
        for (int k = 0; k < 2; ++k) {
            const double nm = k == 0 ? materials::lineF : materials::lineC;
            simulate::SimulatedCamera camera;
            QVERIFY2(simulate::cementedPrismCameraAt(prism_.geometry, pair, QString(), nm, &camera, &error),
                     qPrintable(error));
            QCOMPARE(camera.geometry.secondIndex, flint.index(nm));
            pairField[k] = simulate::RayField::trace(camera.rig, 0, nullptr, band);
            verify::PrismGeometry g = prism_.geometry;
            g.refractiveIndex = crown.index(nm);
            wedgeField[k] = simulate::RayField::trace(simulate::prismCamera(g, wedge, QString()).rig, 0, nullptr, band);
        }
        const double closedForm = crownSpread * a1;
        for (const bool left : {true, false}) {
            const ColourShift single = meanShift(wedgeField[0], wedgeField[1], left);
            const ColourShift achromat = meanShift(pairField[0], pairField[1], left);
            qInfo("%s half, mean F-C turn: wedge %.3g rad, pair %.3g / %.3g rad, closed form %.3g rad",
                  left ? "left" : "right", single.x, achromat.x, achromat.y, closedForm);
            QVERIFY(single.count > 0.9 * 960 * 65 && achromat.count > 0.9 * 960 * 65);
            QVERIFY2(std::abs(std::abs(single.x) - closedForm) < 0.02 * closedForm,
                     qPrintable(QStringLiteral("wedge F-C %1 rad, (nF - nC) A = %2").arg(single.x).arg(closedForm)));
            QVERIFY2(std::hypot(achromat.x, achromat.y) < 0.01 * closedForm,
                     qPrintable(QStringLiteral("achromat F-C %1, %2 rad against %3")
                                    .arg(achromat.x).arg(achromat.y).arg(closedForm)));
        }
        // Refused: a wavelength outside a glass's range, a prism of one glass.
        simulate::SimulatedCamera camera;
        QVERIFY(!simulate::cementedPrismCameraAt(prism_.geometry, pair, QString(), 100.0, &camera, &error));
        QVERIFY(!simulate::cementedPrismCameraAt(prism_.geometry, wedge, QString(), 550.0, &camera, &error));
    }

    // The calibration file carries the prism's digest beside OpenCV's nodes,
    // and reads back with them.
    void calibrationFileKeepsTheDigest()
    {
        QTemporaryDir dir;
        calibration::StereoCalibration c;
        c.ok = true;
        c.imageWidth = 960;
        c.imageHeight = 1080;
        const simulate::StereoModel ideal = simulate::idealStereoModel(simulate::idealPinholeCamera(prism_.geometry).rig);
        c.left.cameraMatrix = {6363.6, 0, 480, 0, 6363.6, 540, 0, 0, 1};
        c.right.cameraMatrix = c.left.cameraMatrix;
        c.left.distortion = c.right.distortion = {0, 0, 0, 0, 0};
        c.R = {1, 0, 0, 0, 1, 0, 0, 0, 1};
        c.T = {-29.75, 0, 0};
        for (int i = 0; i < 9; ++i) {
            c.R1[size_t(i)] = ideal.R1.at<double>(i / 3, i % 3);
            c.R2[size_t(i)] = ideal.R2.at<double>(i / 3, i % 3);
        }
        for (int i = 0; i < 12; ++i) {
            c.P1[size_t(i)] = ideal.P1.at<double>(i / 4, i % 4);
            c.P2[size_t(i)] = ideal.P2.at<double>(i / 4, i % 4);
        }
        for (int i = 0; i < 16; ++i)
            c.Q[size_t(i)] = ideal.Q.at<double>(i / 4, i % 4);
        c.prismDigest = prism_.digest;
        const QString path = dir.filePath("stereo_calibration.yml");
        QString error;
        QVERIFY2(calibration::writeStereoCalibrationFile(c, path, &error), qPrintable(error));
        simulate::StereoModel back;
        QVERIFY2(simulate::readStereoModel(path, &back, &error), qPrintable(error));
        QCOMPARE(back.prismDigest, prism_.digest);
        QCOMPARE(back.Q.at<double>(2, 3), ideal.Q.at<double>(2, 3));
        cv::FileStorage fs(QFile::encodeName(path).toStdString(), cv::FileStorage::READ);
        for (const char* node : {"distortion_model", "image_size_left", "image_size_right", "camera_matrix_left",
                                 "distortion_left", "camera_matrix_right", "distortion_right", "R", "T", "R1", "R2",
                                 "P1", "P2", "Q", "prism_digest"})
            QVERIFY2(!fs[node].empty(), node);
    }

    // The command end to end with a calibration that names this prism: four
    // pictures of the sensor's size and of the halves', the figures as JSON.
    void commandWritesPictures()
    {
        QTemporaryDir dir;
        QVERIFY(QFile::copy(prismDir_.filePath("prism.json"), dir.filePath("prism.json")));
        const simulate::StereoModel ideal = simulate::idealStereoModel(simulate::idealPinholeCamera(prism_.geometry).rig);
        writeCalibrationYaml(dir.filePath("stereo_calibration.yml"), ideal, prism_.digest);
        QByteArray out, err;
        QCOMPARE(runCli({"simulate", "--output-dir", dir.path(), "--supersample", "1", "--no-ideal", "--json"}, &out,
                        &err),
                 0);
        const QJsonObject simulation = QJsonDocument::fromJson(out).object().value("simulation").toObject();
        QCOMPARE(simulation.value("prismDigest").toString(), prism_.digest);
        const QJsonObject first = simulation.value("cases").toArray().at(0).toObject();
        QCOMPARE(first.value("depthMm").toDouble(), 1000.0);
        QVERIFY(first.value("prism").toObject().value("validPercent").toDouble() > 10.0);
        const QString stem = dir.filePath("simulate-plane-1000mm-");
        QCOMPARE(cv::imread((stem + "sensor.png").toStdString(), cv::IMREAD_UNCHANGED).size(), cv::Size(1920, 1080));
        QCOMPARE(cv::imread((stem + "rectified.png").toStdString()).size(), cv::Size(1920, 1080));
        QCOMPARE(cv::imread((stem + "disparity.png").toStdString()).size(), cv::Size(960, 1080));
        QCOMPARE(cv::imread((stem + "depth-error.png").toStdString()).size(), cv::Size(960, 1080));
    }

    // Bad input: exit 2, one line, nothing written.
    void badInputRefused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("calibration");  // "same", "other", "none" (no digest), "missing"
        QTest::addColumn<QString>("message");
        QTest::newRow("calibration of another prism") << QStringList() << "other" << "another prism";
        QTest::newRow("calibration naming no prism") << QStringList() << "none" << "names no prism";
        QTest::newRow("no calibration file") << QStringList() << "missing" << "cannot read the calibration";
        QTest::newRow("supersample 0") << QStringList{"--supersample", "0"} << "same" << "--supersample";
        QTest::newRow("supersample 9") << QStringList{"--supersample", "9"} << "same" << "--supersample";
        QTest::newRow("depth behind the prism") << QStringList{"--depth", "-100"} << "same" << "not in front";
        QTest::newRow("depth zero") << QStringList{"--depth", "1000", "--depth", "0"} << "same" << "not in front";
        QTest::newRow("depth too near to share the view") << QStringList{"--depth", "5"} << "same" << "share";
        QTest::newRow("depth not a number") << QStringList{"--depth", "far"} << "same" << "--depth";
        QTest::newRow("scene file not an image") << QStringList{"--scene", "@garbage"} << "same" << "cannot be read";
        QTest::newRow("scene file missing") << QStringList{"--scene", "nowhere.png"} << "same" << "--scene";
        QTest::newRow("scene is a directory") << QStringList{"--scene", "@dir"} << "same" << "";
        QTest::newRow("unknown option") << QStringList{"--colour"} << "same" << "colour";
        QTest::newRow("even block size") << QStringList{"--block-size", "4"} << "same" << "odd";
    }
    void badInputRefused()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, calibration);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QTemporaryDir other;
        QVERIFY(QFile::copy(prismDir_.filePath("prism.json"), dir.filePath("prism.json")));
        const simulate::StereoModel ideal = simulate::idealStereoModel(simulate::idealPinholeCamera(prism_.geometry).rig);
        if (calibration != "missing")
            writeCalibrationYaml(dir.filePath("stereo_calibration.yml"), ideal,
                                 calibration == "same"    ? prism_.digest
                                 : calibration == "other" ? calibration::standInDigest("another prism")
                                                          : QString());
        QFile garbage(other.filePath("garbage.png"));
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write("\x89PNG but not really an image");
        garbage.close();
        for (QString& a : arguments) {
            if (a == "@garbage") a = garbage.fileName();
            if (a == "@dir") a = other.path();
        }
        const QStringList before = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
        QByteArray out, err;
        QCOMPARE(runCli(QStringList{"simulate", "--output-dir", dir.path()} + arguments, &out, &err), 2);
        QCOMPARE(err.count('\n'), 1);
        QVERIFY2(err.contains(message.toUtf8()), err.constData());
        QVERIFY(out.isEmpty());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), before);
    }
};

QTEST_GUILESS_MAIN(TestSimulate)
#include "tst_simulate.moc"
