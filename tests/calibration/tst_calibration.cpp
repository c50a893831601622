// Predicted stereo calibration checked against cameras whose answer is known:
// an ideal pinhole pair, synthetic cameras with OpenCV-model distortion and a
// rotated right half. The synthetic cameras are written here from the camera
// model's closed form, independently of the module. And harvenlotek-cli
// calibrate and run --calibrate, driven as a separate process.

#include "calibration/calibration_file.h"
#include "calibration/stereo_calibration.h"
#include "../verify/test_support.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <map>

using namespace calibration;

namespace {

constexpr double kPi = 3.14159265358979323846;

// A camera with OpenCV's distortion model (k1 k2 p1 p2 k3 [k4 k5 k6]).
struct SyntheticCamera {
    double fx, fy, cx, cy;
    std::vector<double> d;  // 5 or 8
    Vec3 pinhole;           // design coordinates
    double tiltDeg = 0.0;   // rotation of the camera about the design's x axis
};

// Normalised camera-frame point to distorted normalised point.
void distort(const SyntheticCamera& c, double x, double y, double* xd, double* yd)
{
    const double r2 = x * x + y * y;
    const double k4 = c.d.size() > 5 ? c.d[5] : 0.0, k5 = c.d.size() > 5 ? c.d[6] : 0.0,
                 k6 = c.d.size() > 5 ? c.d[7] : 0.0;
    const double radial = (1 + c.d[0] * r2 + c.d[1] * r2 * r2 + c.d[4] * r2 * r2 * r2)
                          / (1 + k4 * r2 + k5 * r2 * r2 + k6 * r2 * r2 * r2);
    *xd = x * radial + 2 * c.d[2] * x * y + c.d[3] * (r2 + 2 * x * x);
    *yd = y * radial + c.d[2] * (r2 + 2 * y * y) + 2 * c.d[3] * x * y;
}

void project(const SyntheticCamera& c, double x, double y, double* u, double* v)
{
    double xd, yd;
    distort(c, x, y, &xd, &yd);
    *u = c.fx * xd + c.cx;
    *v = c.fy * yd + c.cy;
}

// Pixel to normalised camera-frame direction: Newton on the closed form.
void unproject(const SyntheticCamera& c, double u, double v, double* x, double* y)
{
    const double tu = (u - c.cx) / c.fx, tv = (v - c.cy) / c.fy;
    *x = tu;
    *y = tv;
    for (int i = 0; i < 50; ++i) {
        double a, b, ax, ay, bx, by;
        distort(c, *x, *y, &a, &b);
        const double h = 1e-7;
        distort(c, *x + h, *y, &ax, &ay);
        distort(c, *x, *y + h, &bx, &by);
        const double j00 = (ax - a) / h, j10 = (ay - b) / h, j01 = (bx - a) / h, j11 = (by - b) / h;
        const double det = j00 * j11 - j01 * j10;
        const double dx = ((tu - a) * j11 - (tv - b) * j01) / det;
        const double dy = (j00 * (tv - b) - j10 * (tu - a)) / det;
        *x += dx;
        *y += dy;
        if (std::hypot(dx, dy) < 1e-14)
            break;
    }
}

// Camera frame (X right, Y down, Z to the scene) to design coordinates
// (x, -y, -z), then the camera's tilt about x.
Vec3 cameraToDesign(const SyntheticCamera& c, const Vec3& p)
{
    const double a = c.tiltDeg * kPi / 180.0;
    const Vec3 q{p[0], -p[1], -p[2]};
    return {q[0], std::cos(a) * q[1] - std::sin(a) * q[2], std::sin(a) * q[1] + std::cos(a) * q[2]};
}

Vec3 designToCamera(const SyntheticCamera& c, const Vec3& p)
{
    const double a = -c.tiltDeg * kPi / 180.0;
    const Vec3 q{p[0], std::cos(a) * p[1] - std::sin(a) * p[2], std::sin(a) * p[1] + std::cos(a) * p[2]};
    return {q[0], -q[1], -q[2]};
}

StereoRig makeRig(double focal, int resolutionX, int resolutionY, double pinholeX)
{
    StereoRig rig;
    rig.focalLength = focal;
    rig.pixelPitch = 0.0055;
    rig.resolutionX = resolutionX;
    rig.resolutionY = resolutionY;
    rig.pinholeHeight = 175.0 + focal;
    rig.virtualPinholeX = pinholeX;
    return rig;
}

// Half pixel of a sensor point, as the rig's documented convention says.
void halfPixel(const StereoRig& rig, SensorHalf half, double x, double y, double* u, double* v)
{
    const double centre = (half == SensorHalf::Left ? -0.25 : 0.25) * rig.resolutionX * rig.pixelPitch;
    *u = (x - centre) / rig.pixelPitch + rig.resolutionX / 4.0;
    *v = -y / rig.pixelPitch + rig.resolutionY / 2.0;
}

RayMapping syntheticMapping(const StereoRig& rig, SensorHalf half, const SyntheticCamera& camera)
{
    return [rig, half, camera](double x, double y) {
        double u, v, xn, yn;
        halfPixel(rig, half, x, y, &u, &v);
        unproject(camera, u, v, &xn, &yn);
        OutgoingRay ray;
        ray.origin = camera.pinhole;
        ray.direction = cameraToDesign(camera, {xn, yn, 1.0});
        ray.valid = true;
        return ray;
    };
}

SyntheticCamera idealCamera(const StereoRig& rig, double pinholeX)
{
    const double f = rig.focalLength / rig.pixelPitch;
    return {f, f, rig.resolutionX / 4.0, rig.resolutionY / 2.0, {0, 0, 0, 0, 0}, {pinholeX, 0, rig.pinholeHeight}};
}

// Dot target on the plane z = -750: dots 10 mm apart, Gaussian of 0.3 mm.
constexpr double dotPlaneZ = -750.0, dotSpacing = 10.0, dotSigma = 0.3;

// Where the ray of pixel (u, v) meets the dot plane, and the nearest dot.
Vec3 dotPlanePoint(const SyntheticCamera& c, double u, double v, std::pair<int, int>* dot)
{
    double x, y;
    unproject(c, u, v, &x, &y);
    const Vec3 d = cameraToDesign(c, {x, y, 1.0});
    const double t = (dotPlaneZ - c.pinhole[2]) / d[2];
    const Vec3 p{c.pinhole[0] + t * d[0], c.pinhole[1] + t * d[1], dotPlaneZ};
    *dot = {int(std::lround(p[0] / dotSpacing)), int(std::lround(p[1] / dotSpacing))};
    return p;
}

// Renders the dots through the camera, resamples the image through the
// rectification map (bilinear) and returns the intensity-weighted centre of
// every dot wholly inside, by the dot it shows.
std::map<std::pair<int, int>, cv::Point2d> rectifiedDots(const SyntheticCamera& c, const cv::Mat& mapX,
                                                         const cv::Mat& mapY)
{
    const int w = mapX.cols, h = mapX.rows;
    std::vector<float> image(size_t(w * h));
    for (int v = 0; v < h; ++v) {
        for (int u = 0; u < w; ++u) {
            std::pair<int, int> dot;
            const Vec3 p = dotPlanePoint(c, u, v, &dot);
            const double dx = p[0] - dot.first * dotSpacing, dy = p[1] - dot.second * dotSpacing;
            image[size_t(v * w + u)] = float(std::exp(-(dx * dx + dy * dy) / (2 * dotSigma * dotSigma)));
        }
    }
    std::vector<float> rectified(size_t(w * h), -1.0f);  // -1: no source pixel
    for (int v = 0; v < h; ++v) {
        for (int u = 0; u < w; ++u) {
            const double x = mapX.at<float>(v, u), y = mapY.at<float>(v, u);
            const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
            if (x0 < 0 || y0 < 0 || x0 + 1 >= w || y0 + 1 >= h)
                continue;
            const double fx = x - x0, fy = y - y0;
            auto at = [&](int xx, int yy) { return double(image[size_t(yy * w + xx)]); };
            rectified[size_t(v * w + u)] = float((1 - fy) * ((1 - fx) * at(x0, y0) + fx * at(x0 + 1, y0))
                                                 + fy * ((1 - fx) * at(x0, y0 + 1) + fx * at(x0 + 1, y0 + 1)));
        }
    }
    std::map<std::pair<int, int>, cv::Point2d> dots;
    std::vector<char> seen(size_t(w * h), 0);
    for (int start = 0; start < w * h; ++start) {
        if (seen[size_t(start)] || rectified[size_t(start)] < 0.05f)
            continue;
        double sum = 0, su = 0, sv = 0;
        bool border = false;
        std::vector<int> stack{start};
        seen[size_t(start)] = 1;
        while (!stack.empty()) {
            const int i = stack.back();
            stack.pop_back();
            const int u = i % w, v = i / w;
            const double value = rectified[size_t(i)];
            sum += value;
            su += value * u;
            sv += value * v;
            border = border || u == 0 || v == 0 || u == w - 1 || v == h - 1;
            for (int n : {i - 1, i + 1, i - w, i + w}) {
                if (n < 0 || n >= w * h || std::abs(n % w - u) > 1)
                    continue;
                border = border || rectified[size_t(n)] < 0.0f;  // cut by the edge of the source image
                if (!seen[size_t(n)] && rectified[size_t(n)] >= 0.05f) {
                    seen[size_t(n)] = 1;
                    stack.push_back(n);
                }
            }
        }
        if (border || sum < 1.0)
            continue;
        const cv::Point2d centre(su / sum, sv / sum);
        std::pair<int, int> dot;
        dotPlanePoint(c, mapX.at<float>(int(centre.y), int(centre.x)), mapY.at<float>(int(centre.y), int(centre.x)), &dot);
        dots[dot] = centre;
    }
    return dots;
}

std::vector<double> flat(const cv::Mat& m)
{
    cv::Mat d;
    m.convertTo(d, CV_64F);
    return std::vector<double>(d.begin<double>(), d.end<double>());
}

template <typename C>
std::vector<double> flat(const C& c)
{
    return std::vector<double>(c.begin(), c.end());
}

QStringList keys(const QJsonObject& object)
{
    return sorted(object.keys());
}

}  // namespace

Q_DECLARE_METATYPE(std::vector<double>)

class TestCalibration : public QObject {
    Q_OBJECT

private slots:
    void idealPair_data()
    {
        QTest::addColumn<double>("focal");
        QTest::addColumn<int>("resolutionX");
        QTest::addColumn<int>("resolutionY");
        QTest::addColumn<double>("pinholeX");
        QTest::addColumn<bool>("rational");
        QTest::newRow("35 mm, 1920x1080, 40 mm apart") << 35.0 << 1920 << 1080 << -20.0 << false;
        QTest::newRow("35 mm, rational model") << 35.0 << 1920 << 1080 << -20.0 << true;
        QTest::newRow("12 mm, 1280x720, 64 mm apart") << 12.0 << 1280 << 720 << -32.0 << false;
        QTest::newRow("50 mm, pinholes crossed") << 50.0 << 1920 << 1080 << 15.0 << false;
    }

    // A prism-free pair of ideal pinholes is calibrated exactly: no residual,
    // the true focal length and principal point, the baseline between the
    // pinholes, no rotation and no depth error.
    void idealPair()
    {
        QFETCH(double, focal);
        QFETCH(int, resolutionX);
        QFETCH(int, resolutionY);
        QFETCH(double, pinholeX);
        QFETCH(bool, rational);
        StereoRig rig = makeRig(focal, resolutionX, resolutionY, pinholeX);
        rig.left = idealPinholeMapping(rig, SensorHalf::Left);
        rig.right = idealPinholeMapping(rig, SensorHalf::Right);
        CalibrationOptions options;
        options.model = rational ? DistortionModel::Rational : DistortionModel::Standard;
        const StereoCalibration c = calibrateStereoRig(rig, options);
        QVERIFY2(c.ok, qPrintable(c.error));

        const double focalPx = focal / 0.0055;
        for (const HalfCalibration* h : {&c.left, &c.right}) {
            QVERIFY(h->points > 1000);
            QVERIFY2(h->rmsPx < 1e-4 && h->maxPx < 1e-4, qPrintable(QString::number(h->maxPx)));
            QCOMPARE(int(h->perDepth.size()), 4);
            QCOMPARE(int(h->distortion.size()), rational ? 8 : 5);
            QVERIFY(std::fabs(h->cameraMatrix[0] - focalPx) < 1e-3 * focalPx / 6000);
            QVERIFY(std::fabs(h->cameraMatrix[4] - focalPx) < 1e-3 * focalPx / 6000);
            QVERIFY(std::fabs(h->cameraMatrix[2] - resolutionX / 4.0) < 1e-3);
            QVERIFY(std::fabs(h->cameraMatrix[5] - resolutionY / 2.0) < 1e-3);
        }
        // right frame = left frame + (left pinhole - right pinhole) along x
        QVERIFY(std::fabs(c.idealBaselineMm - 2 * std::fabs(pinholeX)) < 1e-12);
        QVERIFY2(std::fabs(c.baselineMm - 2 * std::fabs(pinholeX)) < 1e-4, qPrintable(QString::number(c.baselineMm, 'g', 12)));
        QVERIFY(std::fabs(c.T[0] - 2 * pinholeX) < 1e-4);
        QVERIFY(std::fabs(c.T[1]) < 1e-4 && std::fabs(c.T[2]) < 1e-4);
        QVERIFY(c.rotationDeg < 1e-5);
        QCOMPARE(int(c.depthError.size()), 4);
        for (const DepthError& d : c.depthError) {
            QVERIFY(d.points > 0);
            QVERIFY2(d.maxPercent < 1e-4, qPrintable(QString::number(d.maxPercent)));
        }
        QVERIFY(c.maxImagingMissPx < 1e-6);
    }

    void knownDistortion_data()
    {
        QTest::addColumn<std::vector<double>>("left");
        QTest::addColumn<std::vector<double>>("right");
        QTest::addColumn<bool>("rational");
        QTest::newRow("barrel and pincushion")
            << std::vector<double>{-0.6, 0.9, 0, 0, 0} << std::vector<double>{0.5, -0.4, 0, 0, 0} << false;
        QTest::newRow("radial and tangential")
            << std::vector<double>{-0.4, 1.5, 2e-3, -1e-3, -20} << std::vector<double>{0.3, 0, -1.5e-3, 2.5e-3, 10} << false;
        QTest::newRow("rational")
            << std::vector<double>{-0.4, 0.5, 1e-3, 0, 2, 0.3, -0.2, 1}
            << std::vector<double>{0.2, -0.3, 0, 1e-3, 0, -0.5, 0.4, 0} << true;
    }

    // A synthetic camera with known distortion per half is recovered: the
    // calibrated model maps every ray of the whole half to its pixel within
    // 1e-3 px.
    void knownDistortion()
    {
        QFETCH(std::vector<double>, left);
        QFETCH(std::vector<double>, right);
        QFETCH(bool, rational);
        StereoRig rig = makeRig(35.0, 1920, 1080, -22.0);
        SyntheticCamera cl = idealCamera(rig, -22.0), cr = idealCamera(rig, 22.0);
        cl.fx *= 1.01;
        cl.cx += 3.5;
        cl.cy -= 2.0;
        cl.d = left;
        cr.fy *= 0.995;
        cr.cx -= 1.0;
        cr.d = right;
        rig.left = syntheticMapping(rig, SensorHalf::Left, cl);
        rig.right = syntheticMapping(rig, SensorHalf::Right, cr);
        CalibrationOptions options;
        options.model = rational ? DistortionModel::Rational : DistortionModel::Standard;
        const StereoCalibration c = calibrateStereoRig(rig, options);
        QVERIFY2(c.ok, qPrintable(c.error));

        const std::pair<const HalfCalibration*, const SyntheticCamera*> halves[] = {{&c.left, &cl}, {&c.right, &cr}};
        for (const auto& [h, truth] : halves) {
            QVERIFY2(h->rmsPx < 1e-4, qPrintable(QString::number(h->rmsPx)));
            SyntheticCamera found{h->cameraMatrix[0], h->cameraMatrix[4], h->cameraMatrix[2], h->cameraMatrix[5],
                                  h->distortion, {}};
            QCOMPARE(found.d.size(), truth->d.size());
            double worst = 0.0;
            for (int j = 0; j <= 54; ++j) {
                for (int i = 0; i <= 48; ++i) {
                    const double pu = -0.5 + i * 20.0, pv = -0.5 + j * 20.0;  // corner to corner
                    double x, y, qu, qv;
                    unproject(*truth, pu, pv, &x, &y);
                    project(found, x, y, &qu, &qv);
                    worst = std::max(worst, std::hypot(qu - pu, qv - pv));
                }
            }
            QVERIFY2(worst < 1e-3, qPrintable(QString::number(worst)));
        }
        QVERIFY(std::fabs(c.baselineMm - 44.0) < 1e-3);
    }

    void calibrationFile_data()
    {
        QTest::addColumn<bool>("rational");
        QTest::newRow("standard model") << false;
        QTest::newRow("rational model") << true;
    }

    // The file read back by OpenCV here and by Python's OpenCV gives the
    // calibration's matrices; it is written in one piece, no temporary left.
    void calibrationFile()
    {
        QFETCH(bool, rational);
        StereoRig rig = makeRig(35.0, 1920, 1080, -20.0);
        SyntheticCamera cl = idealCamera(rig, -20.0), cr = idealCamera(rig, 20.0);
        cl.d = {-0.3, 0.2, 1e-3, 0, 0};
        cr.d = {0.2, 0, 0, -1e-3, 0};
        cr.tiltDeg = 0.3;
        rig.left = syntheticMapping(rig, SensorHalf::Left, cl);
        rig.right = syntheticMapping(rig, SensorHalf::Right, cr);
        CalibrationOptions options;
        options.target.depthsMm = {400.0, 900.0};
        options.model = rational ? DistortionModel::Rational : DistortionModel::Standard;
        const StereoCalibration c = calibrateStereoRig(rig, options);
        QVERIFY2(c.ok, qPrintable(c.error));

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QString::fromLatin1(stereoCalibrationFileName));
        QString error;
        QVERIFY2(writeStereoCalibrationFile(c, path, &error), qPrintable(error));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QString::fromLatin1(stereoCalibrationFileName)});

        const std::vector<std::pair<const char*, std::vector<double>>> expected{
            {"camera_matrix_left", flat(c.left.cameraMatrix)}, {"distortion_left", c.left.distortion},
            {"camera_matrix_right", flat(c.right.cameraMatrix)}, {"distortion_right", c.right.distortion},
            {"R", flat(c.R)}, {"T", flat(c.T)}, {"R1", flat(c.R1)}, {"R2", flat(c.R2)},
            {"P1", flat(c.P1)}, {"P2", flat(c.P2)}, {"Q", flat(c.Q)},
            {"image_size_left", {960, 1080}}, {"image_size_right", {960, 1080}}};

        cv::FileStorage fs(QFile::encodeName(path).toStdString(), cv::FileStorage::READ);
        QVERIFY(fs.isOpened());
        QCOMPARE(QString::fromStdString(std::string(fs["distortion_model"])), rational ? QStringLiteral("rational") : QStringLiteral("standard"));
        for (const auto& [name, values] : expected) {
            std::vector<double> read;
            if (QByteArray(name).startsWith("image_size")) {
                cv::Size s;
                fs[name] >> s;
                read = {double(s.width), double(s.height)};
            } else {
                cv::Mat m;
                fs[name] >> m;
                read = flat(m);
            }
            QVERIFY2(read == values, name);
        }
        fs.release();

        // Python's OpenCV as a second reader; it prints the nodes as JSON.
        QProcess python;
        python.start(QStringLiteral(PYTHON_WITH_OPENCV),
                     {QStringLiteral(CALIBRATION_TEST_DIR "/read_calibration.py"), path});
        QVERIFY2(python.waitForFinished(60000), "python did not finish");
        QVERIFY2(python.exitCode() == 0, python.readAllStandardError().constData());
        const QJsonObject nodes = QJsonDocument::fromJson(python.readAllStandardOutput()).object();
        QCOMPARE(nodes.value(QStringLiteral("distortion_model")).toString(), distortionModelName(options.model));
        for (const auto& [name, values] : expected) {
            const QJsonArray array = nodes.value(QLatin1String(name)).toArray();
            QCOMPARE(array.size(), int(values.size()));
            for (int i = 0; i < array.size(); ++i)
                QVERIFY2(array[i].toDouble() == values[size_t(i)], name);
        }
    }

    void rectifiedRows_data()
    {
        QTest::addColumn<double>("tiltDeg");
        QTest::addColumn<double>("verticalShiftPx");
        QTest::newRow("right half tilted 0.5 degrees") << 0.5 << 0.0;
        QTest::newRow("right principal point 6 px lower") << 0.0 << 6.0;
        QTest::newRow("both") << -0.3 << -4.0;
    }

    // Target points on a new plane, imaged by the synthetic pair and rectified
    // with the calibration, lie on equal rows in both halves: as points and as
    // dots in rectified images.
    void rectifiedRows()
    {
        QFETCH(double, tiltDeg);
        QFETCH(double, verticalShiftPx);
        StereoRig rig = makeRig(35.0, 1920, 1080, -25.0);
        SyntheticCamera cl = idealCamera(rig, -25.0), cr = idealCamera(rig, 25.0);
        cl.d = {-0.5, 0.3, 0, 0, 0};
        cr.d = {0.4, 0, 1e-3, 0, 0};
        cr.tiltDeg = tiltDeg;
        cr.cy += verticalShiftPx;
        rig.left = syntheticMapping(rig, SensorHalf::Left, cl);
        rig.right = syntheticMapping(rig, SensorHalf::Right, cr);
        const StereoCalibration c = calibrateStereoRig(rig, CalibrationOptions{});
        QVERIFY2(c.ok, qPrintable(c.error));

        const cv::Mat K1(3, 3, CV_64F, const_cast<double*>(c.left.cameraMatrix.data()));
        const cv::Mat K2(3, 3, CV_64F, const_cast<double*>(c.right.cameraMatrix.data()));
        const cv::Mat D1(1, int(c.left.distortion.size()), CV_64F, const_cast<double*>(c.left.distortion.data()));
        const cv::Mat D2(1, int(c.right.distortion.size()), CV_64F, const_cast<double*>(c.right.distortion.data()));
        const cv::Mat R1(3, 3, CV_64F, const_cast<double*>(c.R1.data())), R2(3, 3, CV_64F, const_cast<double*>(c.R2.data()));
        const cv::Mat P1(3, 4, CV_64F, const_cast<double*>(c.P1.data())), P2(3, 4, CV_64F, const_cast<double*>(c.P2.data()));

        // A grid on the plane z = -750, projected by the closed-form cameras.
        std::vector<cv::Point2d> left, right;
        for (double y = -200; y <= 200; y += 10) {
            for (double x = -150; x <= 150; x += 10) {
                double ul, vl, ur, vr;
                const Vec3 pl = designToCamera(cl, {x - cl.pinhole[0], y, -750 - cl.pinhole[2]});
                const Vec3 pr = designToCamera(cr, {x - cr.pinhole[0], y, -750 - cr.pinhole[2]});
                project(cl, pl[0] / pl[2], pl[1] / pl[2], &ul, &vl);
                project(cr, pr[0] / pr[2], pr[1] / pr[2], &ur, &vr);
                if (ul < 0 || ul > 959 || ur < 0 || ur > 959 || vl < 0 || vl > 1079 || vr < 0 || vr > 1079)
                    continue;
                left.emplace_back(ul, vl);
                right.emplace_back(ur, vr);
            }
        }
        QVERIFY(left.size() > 50);
        double rawWorst = 0.0;
        for (size_t i = 0; i < left.size(); ++i)
            rawWorst = std::max(rawWorst, std::fabs(left[i].y - right[i].y));
        QVERIFY2(rawWorst > 2.0, "the raw pair is already row-aligned: nothing to check");

        std::vector<cv::Point2d> leftRect, rightRect;
        const cv::TermCriteria criteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-12);
        cv::undistortPoints(left, leftRect, K1, D1, R1, P1, criteria);
        cv::undistortPoints(right, rightRect, K2, D2, R2, P2, criteria);
        double worst = 0.0;
        for (size_t i = 0; i < left.size(); ++i)
            worst = std::max(worst, std::fabs(leftRect[i].y - rightRect[i].y));
        QVERIFY2(worst < 0.5, qPrintable(QString::number(worst)));

        // The same with images: dots on the plane rendered through each camera,
        // rectified with OpenCV's maps, dot centres found in the rectified images
        // and named by the target point they show.
        const cv::Size size(960, 1080);
        cv::Mat map1x, map1y, map2x, map2y;
        cv::initUndistortRectifyMap(K1, D1, R1, P1, size, CV_32FC1, map1x, map1y);
        cv::initUndistortRectifyMap(K2, D2, R2, P2, size, CV_32FC1, map2x, map2y);
        const std::map<std::pair<int, int>, cv::Point2d> dotsLeft = rectifiedDots(cl, map1x, map1y);
        const std::map<std::pair<int, int>, cv::Point2d> dotsRight = rectifiedDots(cr, map2x, map2y);
        int pairs = 0;
        double worstImage = 0.0;
        for (const auto& [point, l] : dotsLeft) {
            const auto r = dotsRight.find(point);
            if (r == dotsRight.end())
                continue;
            ++pairs;
            worstImage = std::max(worstImage, std::fabs(l.y - r->second.y));
        }
        QVERIFY2(pairs > 30, qPrintable(QString::number(pairs)));
        QVERIFY2(worstImage < 0.5, qPrintable(QString::number(worstImage)));
    }

    void refusesBadInput_data()
    {
        QTest::addColumn<std::vector<double>>("depths");
        QTest::addColumn<int>("resolutionX");
        QTest::addColumn<bool>("withMappings");
        QTest::addColumn<bool>("raysValid");
        QTest::addColumn<QString>("message");
        QTest::newRow("no depth") << std::vector<double>{} << 1920 << true << true << "no target depth";
        QTest::newRow("negative depth") << std::vector<double>{300, -5} << 1920 << true << true << "not a positive";
        QTest::newRow("NaN depth") << std::vector<double>{std::nan("")} << 1920 << true << true << "not a positive";
        QTest::newRow("odd resolution") << std::vector<double>{300} << 1921 << true << true << "not valid";
        QTest::newRow("no mapping") << std::vector<double>{300} << 1920 << false << true << "no ray mapping";
        QTest::newRow("no ray leaves") << std::vector<double>{300, 600} << 1920 << true << false << "too few target views";
    }

    void refusesBadInput()
    {
        QFETCH(std::vector<double>, depths);
        QFETCH(int, resolutionX);
        QFETCH(bool, withMappings);
        QFETCH(bool, raysValid);
        QFETCH(QString, message);
        StereoRig rig = makeRig(35.0, resolutionX, 1080, -20.0);
        if (withMappings) {
            rig.left = idealPinholeMapping(rig, SensorHalf::Left);
            rig.right = raysValid ? idealPinholeMapping(rig, SensorHalf::Right) : RayMapping([](double, double) {
                return OutgoingRay{};
            });
        }
        CalibrationOptions options;
        options.target.depthsMm = depths;
        const StereoCalibration c = calibrateStereoRig(rig, options);
        QVERIFY(!c.ok);
        QVERIFY2(c.error.contains(message), qPrintable(c.error));
    }

    // A failed calibration is not written and an earlier file stays as it was;
    // a missing directory is an error.
    void refusesBadFile()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QString::fromLatin1(stereoCalibrationFileName));
        QVERIFY(putFile(path, "earlier\n"));
        StereoCalibration failed;
        failed.error = QStringLiteral("no views");
        QString error;
        QVERIFY(!writeStereoCalibrationFile(failed, path, &error));
        QVERIFY(error.contains(QStringLiteral("no views")));
        QFile earlier(path);
        QVERIFY(earlier.open(QIODevice::ReadOnly));
        QCOMPARE(earlier.readAll(), QByteArray("earlier\n"));

        StereoRig rig = makeRig(35.0, 1920, 1080, -20.0);
        rig.left = idealPinholeMapping(rig, SensorHalf::Left);
        rig.right = idealPinholeMapping(rig, SensorHalf::Right);
        CalibrationOptions options;
        options.target.depthsMm = {500.0};
        StereoCalibration c = calibrateStereoRig(rig, options);
        QVERIFY2(c.ok, qPrintable(c.error));
        QVERIFY(!writeStereoCalibrationFile(c, dir.filePath(QStringLiteral("missing/x.yml")), &error));
        QVERIFY(error.contains(QStringLiteral("does not exist")));
        c.Q[3] = std::nan("");
        QVERIFY(!writeStereoCalibrationFile(c, path, &error));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QString::fromLatin1(stereoCalibrationFileName)});
    }

    void commandLineRefusals_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("negative depth") << QStringList{"calibrate", "--depth", "-300"} << "--depth";
        QTest::newRow("depth not a number") << QStringList{"calibrate", "--depth", "far"} << "--depth";
        QTest::newRow("infinite depth") << QStringList{"calibrate", "--depth", "inf"} << "--depth";
        QTest::newRow("same depth twice") << QStringList{"calibrate", "--depth", "500", "--depth", "500"} << "given twice";
        QTest::newRow("unknown model") << QStringList{"calibrate", "--model", "fisheye"} << "--model must be";
        QTest::newRow("unknown source") << QStringList{"calibrate", "--source", "file"} << "--source must be";
        QTest::newRow("fit without order") << QStringList{"calibrate", "--source", "fit"} << "needs --order N";
        QTest::newRow("fit of order all") << QStringList{"calibrate", "--source", "fit", "--order", "all"} << "needs --order N";
        QTest::newRow("order for the design") << QStringList{"calibrate", "--order", "4"} << "--source fit or prism only";
        QTest::newRow("prism fit of order 11") << QStringList{"calibrate", "--source", "prism", "--order", "11"} << "from 3 to 10";
        QTest::newRow("classic fit of order 9") << QStringList{"calibrate", "--source", "fit", "--order", "9"} << "from 3 to 8";
        QTest::newRow("run's classic fit, prism source")
            << QStringList{"run", "--order", "3", "--calibrate", "--source", "prism"} << "run's prism fit";
        QTest::newRow("depth for design") << QStringList{"design", "--depth", "300"} << "does not apply";
        QTest::newRow("run depth without calibrate") << QStringList{"run", "--order", "3", "--depth", "300"} << "need --calibrate";
        QTest::newRow("run all orders, fit source")
            << QStringList{"run", "--order", "all", "--calibrate", "--source", "fit"} << "a single --order";
        QTest::newRow("verify, no design") << QStringList{"verify"} << "no design";
        QTest::newRow("verify, step 0") << QStringList{"verify", "--step", "0"} << "--step";
        QTest::newRow("verify, negative depth") << QStringList{"verify", "--depth", "-5"} << "--depth";
        QTest::newRow("verify, map not png") << QStringList{"verify", "--map", "x.jpg"} << "--map";
        QTest::newRow("verify, order 2") << QStringList{"verify", "--order", "2"} << "--order";
    }

    // harvenlotek-cli calibrate, run, design and verify refuse bad input: exit 2, one line naming the problem, no output, nothing written.
    void commandLineRefusals()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const CliResult o = runCli(arguments + QStringList{"--output-dir", dir.path()});
        QCOMPARE(o.code, 2);
        QVERIFY2(QString::fromLocal8Bit(o.err).contains(message), o.err.constData());
        QCOMPARE(o.err.count('\n'), 1);
        QVERIFY(o.out.isEmpty());
        QVERIFY(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
    }

    void commandLineCalibrate_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("order");
        QTest::addColumn<QString>("model");
        QTest::addColumn<QVector<double>>("depths");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<double>("rmsBelow");  // px, each half
        const QString yml = QStringLiteral("stereo_calibration.yml");
        QTest::newRow("calibrate, fit of order 3")
            << QStringList{"calibrate", "--source", "fit", "--order", "3", "--depth", "1500", "--depth", "600"} << "fit" << 3
            << "standard" << QVector<double>{1500, 600} << QStringList{yml} << 1e9;
        QTest::newRow("calibrate, rational model")
            << QStringList{"calibrate", "--source", "fit", "--order", "3", "--model", "rational", "--depth", "800"} << "fit"
            << 3 << "rational" << QVector<double>{800} << QStringList{yml} << 1e9;
        QTest::newRow("run --calibrate, the design")
            << QStringList{"run", "--order", "3", "--calibrate", "--depth", "700"} << "design" << 0 << "standard"
            << QVector<double>{700}
            << QStringList{"output.txt", "outputall.txt", "design.json", "output_fit_fig1.txt", "output_fit_fig2.txt",
                           "result_para_fit.txt", "result_para_fit.json", yml}
            << 1e9;
        // The refraction design's rays nearly pass through one point: a residual
        // far below the classic design's 0.8 px at this depth.
        QTest::newRow("calibrate, refraction design")
            << QStringList{"calibrate", "--design-model", "refraction", "--depth", "1000"} << "design" << 0 << "standard"
            << QVector<double>{1000} << QStringList{yml} << 0.5;
    }

    // The JSON holds the keys the calibration promises, the depths asked for,
    // the ideal baseline of the design's own central-ray hit, and the matrices
    // of the file; only the command's own files are written.
    void commandLineCalibrate()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, source);
        QFETCH(int, order);
        QFETCH(QString, model);
        QFETCH(QVector<double>, depths);
        QFETCH(QStringList, files);
        QFETCH(double, rmsBelow);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const CliResult o = runCli(arguments + QStringList{"--json", "--output-dir", dir.path()});
        QVERIFY2(o.code == 0, o.err.constData());
        QStringList written = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);  // no temporary file left
        written.removeAll(QStringLiteral(".hvl.lock"));  // the run's directory lock stays
        QCOMPARE(sorted(written), sorted(files));

        const QJsonObject c = QJsonDocument::fromJson(o.out).object().value(QStringLiteral("calibration")).toObject();
        QCOMPARE(keys(c), sorted({"source", "order", "model", "left", "right", "stereo", "file"}));
        QCOMPARE(c.value("source").toString(), source);
        QCOMPARE(c.value("order").isNull(), order == 0);
        if (order)
            QCOMPARE(c.value("order").toInt(), order);
        QCOMPARE(c.value("model").toString(), model);
        QCOMPARE(c.value("file").toString(), QDir(dir.path()).filePath(QStringLiteral("stereo_calibration.yml")));

        // The design's sketch point, from a separate design command.
        QTemporaryDir designDir;
        const CliResult d = runCli({"design", "--json", "--output-dir", designDir.path()});
        QCOMPARE(d.code, 0);
        const double hitX = QJsonDocument::fromJson(d.out).object()["design"].toObject()["centralRayHit"].toObject()["x"].toDouble();
        const QJsonObject stereo = c.value("stereo").toObject();
        QCOMPARE(keys(stereo), sorted({"baselineMm", "idealBaselineMm", "rotationDeg", "depthError"}));
        QCOMPARE(stereo["idealBaselineMm"].toDouble(), 2 * std::fabs(hitX));
        QVERIFY(stereo["baselineMm"].toDouble() > 0.0);
        const QJsonArray depthError = stereo["depthError"].toArray();
        QCOMPARE(depthError.size(), depths.size());
        for (int i = 0; i < depths.size(); ++i) {
            const QJsonObject e = depthError[i].toObject();
            QCOMPARE(keys(e), sorted({"depthMm", "rmsMm", "maxMm", "rmsPercent"}));
            QCOMPARE(e["depthMm"].toDouble(), depths[i]);
            QVERIFY(e["maxMm"].toDouble() >= e["rmsMm"].toDouble());
        }

        cv::FileStorage fs(QFile::encodeName(c.value("file").toString()).toStdString(), cv::FileStorage::READ);
        QVERIFY(fs.isOpened());
        for (const char* half : {"left", "right"}) {
            const QJsonObject h = c.value(QLatin1String(half)).toObject();
            QCOMPARE(keys(h), sorted({"rmsPx", "maxPx", "perDepth", "cameraMatrix", "distortion", "condition"}));
            // The solution's condition: OpenCV's deviations of fx fy cx cy and
            // each coefficient, and a verdict that names its reason.
            const QJsonObject condition = h["condition"].toObject();
            QCOMPARE(condition["standardDeviations"].toArray().size(), 4 + h["distortion"].toArray().size());
            QCOMPARE(condition["illConditioned"].toBool(), !condition["reason"].toString().isEmpty());
            QVERIFY(h["maxPx"].toDouble() >= h["rmsPx"].toDouble());
            QVERIFY2(h["rmsPx"].toDouble() < rmsBelow, half);
            const QJsonArray perDepth = h["perDepth"].toArray();
            QCOMPARE(perDepth.size(), depths.size());
            for (int i = 0; i < depths.size(); ++i)
                QCOMPARE(perDepth[i].toObject()["depthMm"].toDouble(), depths[i]);
            cv::Mat K, D;
            fs[std::string("camera_matrix_") + half] >> K;
            fs[std::string("distortion_") + half] >> D;
            const QJsonArray rows = h["cameraMatrix"].toArray();
            QCOMPARE(rows.size(), 3);
            for (int r = 0; r < 3; ++r)
                for (int k = 0; k < 3; ++k)
                    QCOMPARE(rows[r].toArray()[k].toDouble(), K.at<double>(r, k));
            const QJsonArray distortion = h["distortion"].toArray();
            QCOMPARE(distortion.size(), model == QLatin1String("rational") ? 8 : 5);
            QCOMPARE(int(D.total()), distortion.size());
            for (int i = 0; i < distortion.size(); ++i)
                QCOMPARE(distortion[i].toDouble(), D.at<double>(i));
        }
    }
};

QTEST_GUILESS_MAIN(TestCalibration)
#include "tst_calibration.moc"
