#include "simulate/stereo_match.h"

#include "core/parallel_for.h"
#include "io/safe_input.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace simulate {

namespace {

double seconds(const QElapsedTimer& timer) { return double(timer.nsecsElapsed()) * 1e-9; }

// Nearest-rank quantile of a copy.
double quantile(std::vector<double> values, double q)
{
    if (values.empty())
        return std::numeric_limits<double>::quiet_NaN();
    const size_t k = std::min(values.size() - 1, size_t(std::ceil(q * double(values.size()))) - (q > 0 ? 1 : 0));
    std::nth_element(values.begin(), values.begin() + long(k), values.end());
    return values[k];
}

double rootMeanSquare(const std::vector<double>& values)
{
    double sum = 0.0;
    for (double v : values)
        sum += v * v;
    return values.empty() ? std::numeric_limits<double>::quiet_NaN() : std::sqrt(sum / double(values.size()));
}

bool readNode(const cv::FileStorage& fs, const char* name, cv::Mat* m, int rows, int cols, QString* missing)
{
    fs[name] >> *m;
    if (m->empty() || (rows > 0 && m->rows != rows) || (cols > 0 && m->cols != cols)) {
        *missing = QString::fromLatin1(name);
        return false;
    }
    m->convertTo(*m, CV_64F);
    if (!cv::checkRange(*m)) {
        *missing = QString::fromLatin1(name);
        return false;
    }
    return true;
}

}  // namespace

bool readStereoModel(const QString& path, StereoModel* model, QString* error)
{
    QByteArray bytes;
    if (!readRegularFile(path, &bytes, error)) {
        *error = QStringLiteral("cannot read the calibration file: %1").arg(*error);
        return false;
    }
    return readStereoModelText(bytes.toStdString(), path, model, error);
}

bool readStereoModelText(const std::string& text, const QString& name, StereoModel* model, QString* error)
{
    try {
        cv::FileStorage fs(text, cv::FileStorage::READ | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
        if (!fs.isOpened()) {
            *error = QStringLiteral("cannot read the calibration file %1").arg(name);
            return false;
        }
        StereoModel m;
        std::vector<int> size;
        fs["image_size_left"] >> size;
        QString missing;
        if (size.size() != 2 || size[0] <= 0 || size[1] <= 0)
            missing = QStringLiteral("image_size_left");
        else if (!readNode(fs, "camera_matrix_left", &m.K1, 3, 3, &missing)
                 || !readNode(fs, "distortion_left", &m.D1, 1, -1, &missing)
                 || !readNode(fs, "camera_matrix_right", &m.K2, 3, 3, &missing)
                 || !readNode(fs, "distortion_right", &m.D2, 1, -1, &missing)
                 || !readNode(fs, "R1", &m.R1, 3, 3, &missing) || !readNode(fs, "R2", &m.R2, 3, 3, &missing)
                 || !readNode(fs, "P1", &m.P1, 3, 4, &missing) || !readNode(fs, "P2", &m.P2, 3, 4, &missing)
                 || !readNode(fs, "Q", &m.Q, 4, 4, &missing)) {
        }
        if (!missing.isEmpty()) {
            *error = QStringLiteral("the calibration file %1 has no valid %2").arg(name, missing);
            return false;
        }
        m.halfSize = cv::Size(size[0], size[1]);
        std::string digest;
        if (!fs["prism_digest"].empty())
            fs["prism_digest"] >> digest;
        m.prismDigest = QString::fromStdString(digest);
        *model = m;
    } catch (const cv::Exception& e) {
        *error = QStringLiteral("cannot read the calibration file %1: %2")
                     .arg(name, QString::fromStdString(e.msg).simplified());
        return false;
    }
    return true;
}

StereoModel idealStereoModel(const calibration::StereoRig& rig)
{
    StereoModel m;
    m.halfSize = cv::Size(rig.halfWidth(), rig.resolutionY);
    const double f = rig.focalLength / rig.pixelPitch;
    m.K1 = (cv::Mat_<double>(3, 3) << f, 0, rig.halfWidth() / 2.0, 0, f, rig.resolutionY / 2.0, 0, 0, 1);
    m.K2 = m.K1.clone();
    m.D1 = cv::Mat::zeros(1, 5, CV_64F);
    m.D2 = cv::Mat::zeros(1, 5, CV_64F);
    const cv::Mat R = cv::Mat::eye(3, 3, CV_64F);
    const cv::Mat T = (cv::Mat_<double>(3, 1) << 2.0 * rig.virtualPinholeX, 0, 0);
    cv::stereoRectify(m.K1, m.D1, m.K2, m.D2, m.halfSize, R, T, m.R1, m.R2, m.P1, m.P2, m.Q,
                      cv::CALIB_ZERO_DISPARITY, -1.0, m.halfSize);
    return m;
}

MatchResult matchAndCompare(const Capture& capture, const StereoModel& model, const calibration::StereoRig& rig,
                            const MatcherOptions& matcherOptions, int geometryStep, int threads)
{
    MatchResult result;
    result.matcher = matcherOptions;
    QElapsedTimer timer;
    timer.start();
    const int width = model.halfSize.width, height = model.halfSize.height;
    const cv::Rect leftRect(0, 0, width, height), rightRect(width, 0, width, height);

    // As a user would: the two halves, rectified by the file's numbers.
    cv::Mat map1[2], map2[2];
    cv::initUndistortRectifyMap(model.K1, model.D1, model.R1, model.P1, model.halfSize, CV_32FC1, map1[0], map2[0]);
    cv::initUndistortRectifyMap(model.K2, model.D2, model.R2, model.P2, model.halfSize, CV_32FC1, map1[1], map2[1]);
    cv::remap(capture.image(leftRect), result.rectifiedLeft, map1[0], map2[0], cv::INTER_LINEAR,
              cv::BORDER_CONSTANT, cv::Scalar(0));
    cv::remap(capture.image(rightRect), result.rectifiedRight, map1[1], map2[1], cv::INTER_LINEAR,
              cv::BORDER_CONSTANT, cv::Scalar(0));
    // The truth behind each rectified left pixel: the scene point of the
    // left image at the position the rectification takes it from.
    cv::Mat truth;
    cv::remap(capture.points(leftRect), truth, map1[0], map2[0], cv::INTER_LINEAR, cv::BORDER_CONSTANT,
              cv::Scalar::all(std::numeric_limits<double>::quiet_NaN()));
    result.rectifySeconds = seconds(timer);
    timer.restart();

    const Vec3 pinhole(rig.virtualPinholeX, 0.0, rig.pinholeHeight);
    // Disparity of a distance along the optical axis, by Q: d = (f / Z - Q33) / Q32.
    const double qf = model.Q.at<double>(2, 3), q32 = model.Q.at<double>(3, 2), q33 = model.Q.at<double>(3, 3);
    MatcherOptions& m = result.matcher;
    if (m.numDisparities <= 0) {
        double nearest = std::numeric_limits<double>::infinity(), farthest = 0.0;
        for (int v = 0; v < height; ++v) {
            const cv::Vec3f* t = truth.ptr<cv::Vec3f>(v);
            for (int u = 0; u < width; ++u) {
                if (std::isnan(t[u][0]))
                    continue;
                const double distance = (Vec3(t[u][0], t[u][1], t[u][2]) - pinhole).norm();
                nearest = std::min(nearest, distance);
                farthest = std::max(farthest, distance);
            }
        }
        double dLow = 0.0, dHigh = 64.0;
        if (farthest > 0.0) {
            const double a = (qf / farthest - q33) / q32, b = (qf / nearest - q33) / q32;
            dLow = std::min(a, b);
            dHigh = std::max(a, b);
        }
        m.minDisparity = int(std::floor(dLow - 0.1 * std::abs(dLow) - 16.0));
        m.numDisparities = 16 * int(std::ceil((dHigh + 0.1 * std::abs(dHigh) + 16.0 - m.minDisparity) / 16.0));
    }
    if (m.p1 <= 0)
        m.p1 = 8 * m.blockSize * m.blockSize;
    if (m.p2 <= 0)
        m.p2 = 32 * m.blockSize * m.blockSize;
    cv::Ptr<cv::StereoSGBM> sgbm =
        cv::StereoSGBM::create(m.minDisparity, m.numDisparities, m.blockSize, m.p1, m.p2, m.disp12MaxDiff, 0,
                               m.uniquenessRatio, m.speckleWindowSize, m.speckleRange, m.mode);
    // Matched over the rows that show the scene (all of them, unless only a
    // band of rows was captured), with a block's margin.
    int firstRow = height, lastRow = -1;
    for (int v = 0; v < height; ++v) {
        const cv::Vec3f* t = truth.ptr<cv::Vec3f>(v);
        for (int u = 0; u < width; ++u)
            if (!std::isnan(t[u][0])) {
                firstRow = std::min(firstRow, v);
                lastRow = v;
                break;
            }
    }
    if (lastRow < 0)
        firstRow = 0, lastRow = height - 1;
    const int margin = m.blockSize + 8;
    const cv::Range rows(std::max(0, firstRow - margin), std::min(height, lastRow + 1 + margin));
    cv::Mat fixed;
    sgbm->compute(result.rectifiedLeft.rowRange(rows), result.rectifiedRight.rowRange(rows), fixed);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    result.disparity.create(height, width, CV_32F);
    result.disparity.setTo(nan);
    for (int v = rows.start; v < rows.end; ++v) {
        const short* in = fixed.ptr<short>(v - rows.start);
        float* out = result.disparity.ptr<float>(v);
        for (int u = 0; u < width; ++u)
            out[u] = in[u] < m.minDisparity * 16 ? nan : float(in[u]) / 16.0f;
    }
    result.matchSeconds = seconds(timer);
    timer.restart();

    // Depth: reprojected with Q, against the truth.
    cv::Mat xyz;
    cv::reprojectImageTo3D(result.disparity, xyz, model.Q, false, CV_32F);
    result.errorPercent.create(height, width, CV_32F);
    std::vector<double> errorsMm, errorsPercent, errorsPercentOffSeam;
    double distanceSum = 0.0;
    int truthPixels = 0, sharedPixels = 0;
    // A rectified left pixel is in the seam when it comes from the left
    // half's seam columns or its true partner from the right half's: the
    // partner's rectified column is u minus the true disparity (its depth
    // along the rectified axis by the pixel's direction), its source column
    // the right map's there.
    const double fx = model.P1.at<double>(0, 0), cx = model.P1.at<double>(0, 2), cy = model.P1.at<double>(1, 2);
    const auto inSeam = [&](int u, int v, double distance) {
        if (map1[0].at<float>(v, u) >= float(width - seamColumns))
            return true;
        const double x = (u - cx) / fx, y = (v - cy) / fx;
        const double depth = distance / std::sqrt(1.0 + x * x + y * y);
        const int partner = int(std::lround(u - (qf / depth - q33) / q32));
        return partner >= 0 && partner < width && map1[1].at<float>(v, partner) < float(seamColumns);
    };
    for (int v = 0; v < height; ++v) {
        const cv::Vec3f* t = truth.ptr<cv::Vec3f>(v);
        const cv::Vec3f* p = xyz.ptr<cv::Vec3f>(v);
        const float* d = result.disparity.ptr<float>(v);
        float* e = result.errorPercent.ptr<float>(v);
        for (int u = 0; u < width; ++u) {
            e[u] = nan;
            if (std::isnan(t[u][0]))
                continue;
            ++truthPixels;
            const double trueDistance = (Vec3(t[u][0], t[u][1], t[u][2]) - pinhole).norm();
            distanceSum += trueDistance;
            if (u >= (qf / trueDistance - q33) / q32)
                ++sharedPixels;
            if (std::isnan(d[u]) || !std::isfinite(p[u][2]))
                continue;
            const double error = std::sqrt(double(p[u][0]) * p[u][0] + double(p[u][1]) * p[u][1]
                                           + double(p[u][2]) * p[u][2]) - trueDistance;
            errorsMm.push_back(error);
            errorsPercent.push_back(100.0 * error / trueDistance);
            if (!inSeam(u, v, trueDistance))
                errorsPercentOffSeam.push_back(errorsPercent.back());
            e[u] = float(100.0 * error / trueDistance);
        }
    }
    DepthStatistics& s = result.depth;
    s.truthPixels = truthPixels;
    s.validPixels = int(errorsMm.size());
    s.sharedPixels = sharedPixels;
    s.validPercent = sharedPixels ? std::min(100.0, 100.0 * s.validPixels / sharedPixels) : 0.0;
    s.meanDistanceMm = truthPixels ? distanceSum / truthPixels : 0.0;
    s.medianMm = quantile(errorsMm, 0.5);
    s.medianPercent = quantile(errorsPercent, 0.5);
    s.rmsMm = rootMeanSquare(errorsMm);
    s.rmsPercent = rootMeanSquare(errorsPercent);
    s.validPixelsOffSeam = int(errorsPercentOffSeam.size());
    s.rmsPercentOffSeam = rootMeanSquare(errorsPercentOffSeam);
    for (double& v : errorsMm)
        v = std::abs(v);
    for (double& v : errorsPercent)
        v = std::abs(v);
    s.p95Mm = quantile(errorsMm, 0.95);
    s.p95Percent = quantile(errorsPercent, 0.95);

    // Geometry: the true point of sampled left pixels imaged in the right
    // half through the rig, both rectified by the file's numbers.
    std::vector<cv::Point2f> left, right;
    std::vector<calibration::Vec3> points, imagedPoints;
    {
        std::vector<cv::Point2f> candidates;
        const int step = std::max(1, geometryStep);
        for (int v = step / 2; v < height; v += step)
            for (int u = step / 2; u < width; u += step) {
                const cv::Vec3f& p = capture.points.at<cv::Vec3f>(v, u);
                if (std::isnan(p[0]))
                    continue;
                candidates.emplace_back(float(u), float(v));
                points.push_back({p[0], p[1], p[2]});
            }
        std::vector<calibration::ImagedPoint> imaged(points.size());
        parallelFor(int(points.size()), resolveThreadCount(threads), [&](int, int i) {
            imaged[size_t(i)] = calibration::imageWorldPoint(rig, calibration::SensorHalf::Right, points[size_t(i)]);
        });
        for (size_t i = 0; i < points.size(); ++i)
            if (imaged[i].imaged) {
                left.push_back(candidates[i]);
                right.emplace_back(float(imaged[i].u), float(imaged[i].v));
                imagedPoints.push_back(points[i]);
            }
    }
    GeometryDisparity& g = result.geometry;
    if (!left.empty()) {
        std::vector<cv::Point2f> rectLeft, rectRight;
        // Inverted to convergence: OpenCV's default of five iterations leaves
        // tenths of a pixel where the distortion is strong.
        const cv::TermCriteria converged(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 200, 1e-12);
        cv::undistortPoints(left, rectLeft, model.K1, model.D1, model.R1, model.P1, converged);
        cv::undistortPoints(right, rectRight, model.K2, model.D2, model.R2, model.P2, converged);
        std::vector<double> vertical, verticalOffSeam, match, depth, depthOffSeam;
        const cv::Matx44d Q(model.Q);
        for (size_t i = 0; i < rectLeft.size(); ++i) {
            const double trueDisparity = double(rectLeft[i].x) - rectRight[i].x;
            const cv::Vec4d h = Q * cv::Vec4d(rectLeft[i].x, rectLeft[i].y, trueDisparity, 1.0);
            const calibration::Vec3& p = imagedPoints[i];
            const double trueDistance = (Vec3(p[0], p[1], p[2]) - pinhole).norm();
            const double distance = std::sqrt(h[0] * h[0] + h[1] * h[1] + h[2] * h[2]) / std::abs(h[3]);
            depth.push_back(100.0 * (distance - trueDistance) / trueDistance);
            g.depthMaxPercent = std::max(g.depthMaxPercent, std::abs(depth.back()));
            const double dy = double(rectRight[i].y) - rectLeft[i].y;
            vertical.push_back(dy);
            g.verticalMaxPx = std::max(g.verticalMaxPx, std::abs(dy));
            g.correspondences.emplace_back(left[i].x, left[i].y, right[i].x, right[i].y);
            if (left[i].x < width - seamColumns && right[i].x >= seamColumns) {
                depthOffSeam.push_back(depth.back());
                verticalOffSeam.push_back(dy);
                g.verticalMaxPxOffSeam = std::max(g.verticalMaxPxOffSeam, std::abs(dy));
            }
            const int u = int(std::lround(rectLeft[i].x)), v = int(std::lround(rectLeft[i].y));
            if (u >= 0 && u < width && v >= 0 && v < height) {
                const float d = result.disparity.at<float>(v, u);
                if (!std::isnan(d))
                    match.push_back(double(d) - trueDisparity);
            }
        }
        g.points = int(vertical.size());
        g.verticalRmsPx = rootMeanSquare(vertical);
        g.pointsOffSeam = int(verticalOffSeam.size());
        g.verticalRmsPxOffSeam = rootMeanSquare(verticalOffSeam);
        g.matchRmsPx = rootMeanSquare(match);
        g.matchMedianPx = quantile(match, 0.5);
        g.depthRmsPercent = rootMeanSquare(depth);
        g.depthRmsPercentOffSeam = rootMeanSquare(depthOffSeam);
        g.depthMedianPercent = quantile(depth, 0.5);
    }
    result.compareSeconds = seconds(timer);
    return result;
}

}  // namespace simulate
