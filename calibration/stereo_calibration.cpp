#include "calibration/stereo_calibration.h"

#include "core/parallel_for.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>

#include <QStringList>

namespace calibration {

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Accumulator {
    double sumSquares = 0.0;
    double max = 0.0;
    int count = 0;
    void add(double e)
    {
        sumSquares += e * e;
        max = std::max(max, std::fabs(e));
        ++count;
    }
    double rms() const { return count > 0 ? std::sqrt(sumSquares / count) : 0.0; }
};

// Distinct nominal depths in the order of the views.
std::vector<double> viewDepths(const std::vector<TargetView>& views)
{
    std::vector<double> depths;
    for (const TargetView& view : views)
        if (std::find(depths.begin(), depths.end(), view.depthMm) == depths.end())
            depths.push_back(view.depthMm);
    return depths;
}

size_t depthIndex(const std::vector<double>& depths, double depth)
{
    return size_t(std::find(depths.begin(), depths.end(), depth) - depths.begin());
}

cv::Mat idealCameraMatrix(const StereoRig& rig)
{
    const double focalPx = rig.focalLength / rig.pixelPitch;
    return (cv::Mat_<double>(3, 3) << focalPx, 0.0, 0.5 * rig.halfWidth(), 0.0, focalPx,
            0.5 * rig.resolutionY, 0.0, 0.0, 1.0);
}

int coefficientCount(DistortionModel model)
{
    return optics::distortionCount(model);
}

int modelFlags(DistortionModel model)
{
    switch (model) {
    case DistortionModel::Standard: return 0;
    case DistortionModel::Rational: return cv::CALIB_RATIONAL_MODEL;
    case DistortionModel::ThinPrism: return cv::CALIB_RATIONAL_MODEL | cv::CALIB_THIN_PRISM_MODEL;
    case DistortionModel::Tilted:
        return cv::CALIB_RATIONAL_MODEL | cv::CALIB_THIN_PRISM_MODEL | cv::CALIB_TILTED_MODEL;
    }
    return 0;
}

template <size_t N>
void copyMat(const cv::Mat& m, std::array<double, N>* out)
{
    cv::Mat d;
    m.convertTo(d, CV_64F);
    for (size_t i = 0; i < N; ++i)
        (*out)[i] = d.at<double>(int(i / size_t(d.cols)), int(i % size_t(d.cols)));
}

const char* const coefficientNames[] = {"k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6",
                                        "s1", "s2", "s3", "s4", "tauX", "tauY"};

SolutionCondition solutionCondition(const StereoRig& rig, const HalfCalibration& f, const cv::Mat& deviations)
{
    SolutionCondition c;
    for (int i = 0; i < deviations.rows * deviations.cols && i < 4 + int(f.distortion.size()); ++i)
        c.standardDeviations.push_back(deviations.at<double>(i));
    QStringList reasons;
    for (std::size_t i = 0; i < f.distortion.size() && i < 14; ++i) {
        const double value = f.distortion[i];
        const double deviation = 4 + i < c.standardDeviations.size() ? c.standardDeviations[4 + i] : 0.0;
        if (std::fabs(value) > 10.0)
            reasons << QStringLiteral("%1 = %2 blows up").arg(QLatin1String(coefficientNames[i])).arg(value, 0, 'g', 4);
        else if (std::fabs(value) > 1.0 && deviation > std::fabs(value))
            reasons << QStringLiteral("%1 = %2 +- %3 is not determined")
                           .arg(QLatin1String(coefficientNames[i]))
                           .arg(value, 0, 'g', 4)
                           .arg(deviation, 0, 'g', 3);
    }
    const double offX = f.cameraMatrix[2] - 0.5 * rig.halfWidth();
    const double offY = f.cameraMatrix[5] - 0.5 * rig.resolutionY;
    if (std::fabs(offX) > 0.25 * rig.halfWidth() || std::fabs(offY) > 0.25 * rig.resolutionY)
        reasons << QStringLiteral("principal point (%1, %2) far from the half's centre")
                       .arg(f.cameraMatrix[2], 0, 'f', 1)
                       .arg(f.cameraMatrix[5], 0, 'f', 1);
    c.illConditioned = !reasons.isEmpty();
    c.reason = reasons.join(QStringLiteral("; "));
    return c;
}

// One half calibrated on its own; the poses of the views it used.
struct HalfRun {
    HalfCalibration figures;
    cv::Mat K, D;
    std::vector<int> viewIndex;  // calibrated view -> target view
    std::vector<cv::Mat> rvecs, tvecs;
};

bool calibrateHalf(const StereoRig& rig, SensorHalf half, const std::vector<TargetView>& views,
                   const HalfObservations& obs, const CalibrationOptions& options, HalfRun* run, QString* error)
{
    // OpenCV draws from its per-thread generator: seeded here, the result
    // does not depend on the thread the half runs on, nor on what ran before.
    cv::theRNG() = cv::RNG();
    std::vector<std::vector<cv::Point3f>> objectPoints;
    std::vector<std::vector<cv::Point2f>> imagePoints;
    for (size_t i = 0; i < views.size(); ++i) {
        std::vector<cv::Point3f> object;
        std::vector<cv::Point2f> image;
        for (size_t j = 0; j < obs[i].size(); ++j) {
            if (!obs[i][j].imaged)
                continue;
            const Vec3& p = views[i].targetPoints[j];
            object.emplace_back(float(p[0]), float(p[1]), float(p[2]));
            image.emplace_back(float(obs[i][j].u), float(obs[i][j].v));
        }
        if (int(object.size()) < options.minimumViewPoints)
            continue;
        objectPoints.push_back(std::move(object));
        imagePoints.push_back(std::move(image));
        run->viewIndex.push_back(int(i));
    }
    if (objectPoints.size() < 3) {
        *error = QStringLiteral("too few target views are imaged (%1 of %2 with at least %3 points)")
                     .arg(objectPoints.size())
                     .arg(views.size())
                     .arg(options.minimumViewPoints);
        return false;
    }
    run->K = idealCameraMatrix(rig);
    run->D = cv::Mat::zeros(1, coefficientCount(options.model), CV_64F);
    const HalfCalibration* guess =
        options.start ? (half == SensorHalf::Left ? &options.start->left : &options.start->right) : nullptr;
    // OpenCV takes no guess whose principal point lies outside the image:
    // then the ideal intrinsics.
    if (guess && (!(guess->cameraMatrix[2] > 0.0 && guess->cameraMatrix[2] < rig.halfWidth())
                  || !(guess->cameraMatrix[5] > 0.0 && guess->cameraMatrix[5] < rig.resolutionY)))
        guess = nullptr;
    if (guess) {
        for (int i = 0; i < 9; ++i)
            run->K.at<double>(i / 3, i % 3) = guess->cameraMatrix[static_cast<std::size_t>(i)];
        for (std::size_t i = 0; i < guess->distortion.size() && int(i) < run->D.cols; ++i)
            run->D.at<double>(0, int(i)) = guess->distortion[i];
    }
    cv::Mat deviations, extrinsicDeviations, perViewErrors;
    try {
        cv::calibrateCamera(objectPoints, imagePoints, cv::Size(rig.halfWidth(), rig.resolutionY), run->K,
                            run->D, run->rvecs, run->tvecs, deviations, extrinsicDeviations, perViewErrors,
                            cv::CALIB_USE_INTRINSIC_GUESS | modelFlags(options.model)
                                | (options.fixPrincipalPoint ? cv::CALIB_FIX_PRINCIPAL_POINT : 0),
                            cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-12));
    } catch (const cv::Exception& e) {
        *error = QStringLiteral("calibration of a half failed: %1").arg(QString::fromStdString(e.msg));
        return false;
    }

    // Reprojection errors against the exact (double precision) image points.
    const std::vector<double> depths = viewDepths(views);
    Accumulator all;
    std::vector<Accumulator> perDepth(depths.size());
    for (size_t k = 0; k < run->viewIndex.size(); ++k) {
        const size_t i = size_t(run->viewIndex[k]);
        std::vector<cv::Point3d> object;
        std::vector<size_t> which;
        for (size_t j = 0; j < obs[i].size(); ++j) {
            if (!obs[i][j].imaged)
                continue;
            const Vec3& p = views[i].targetPoints[j];
            object.emplace_back(p[0], p[1], p[2]);
            which.push_back(j);
        }
        std::vector<cv::Point2d> projected;
        cv::projectPoints(object, run->rvecs[k], run->tvecs[k], run->K, run->D, projected);
        Accumulator& depth = perDepth[depthIndex(depths, views[i].depthMm)];
        for (size_t m = 0; m < which.size(); ++m) {
            const ImagedPoint& o = obs[i][which[m]];
            const double e = std::hypot(projected[m].x - o.u, projected[m].y - o.v);
            all.add(e);
            depth.add(e);
        }
    }
    HalfCalibration& f = run->figures;
    f.rmsPx = all.rms();
    f.maxPx = all.max;
    f.points = all.count;
    f.views = int(run->viewIndex.size());
    for (size_t d = 0; d < depths.size(); ++d)
        f.perDepth.push_back({depths[d], perDepth[d].rms(), perDepth[d].max, perDepth[d].count});
    copyMat(run->K, &f.cameraMatrix);
    // OpenCV may hand back a longer vector (zeros beyond the model's terms).
    cv::Mat D;
    run->D.reshape(1, 1).colRange(0, coefficientCount(options.model)).convertTo(D, CV_64F);
    run->D = D;
    f.distortion.assign(D.begin<double>(), D.end<double>());
    deviations.convertTo(deviations, CV_64F);
    f.condition = solutionCondition(rig, f, deviations);
    return true;
}

cv::Vec3d matVec(const cv::Mat& m, const cv::Vec3d& v)
{
    cv::Vec3d r;
    for (int i = 0; i < 3; ++i)
        r[i] = m.at<double>(i, 0) * v[0] + m.at<double>(i, 1) * v[1] + m.at<double>(i, 2) * v[2];
    return r;
}

// Midpoint of the shortest segment between the rays o1 + s d1 and o2 + t d2.
cv::Vec3d closestPoint(const cv::Vec3d& o1, const cv::Vec3d& d1, const cv::Vec3d& o2, const cv::Vec3d& d2)
{
    const cv::Vec3d w = o1 - o2;
    const double a = d1.dot(d1), b = d1.dot(d2), c = d2.dot(d2), d = d1.dot(w), e = d2.dot(w);
    const double den = a * c - b * b;
    const double s = (b * e - c * d) / den;
    const double t = (a * e - b * d) / den;
    return 0.5 * ((o1 + s * d1) + (o2 + t * d2));
}

}  // namespace

QString distortionModelName(DistortionModel model)
{
    return QString::fromLatin1(optics::distortionModelKey(model));
}

bool parseDistortionModel(const QString& name, DistortionModel* model)
{
    for (DistortionModel m : {DistortionModel::Standard, DistortionModel::Rational, DistortionModel::ThinPrism,
                              DistortionModel::Tilted}) {
        if (name == QLatin1String(optics::distortionModelKey(m))) {
            *model = m;
            return true;
        }
    }
    return false;
}

QString calibrationFiguresText(const StereoCalibration& c)
{
    auto number = [](double value, int decimals) { return QString::number(value, 'f', decimals); };
    auto label = [](const QString& text) { return text.leftJustified(18); };
    QString text;
    const std::pair<const char*, const HalfCalibration*> halves[] = {{"left half", &c.left},
                                                                                  {"right half", &c.right}};
    for (const auto& [name, h] : halves) {
        text += label(QString::fromLatin1(name))
                + QStringLiteral("rms %1 px, max %2 px; f %3 / %4 px, centre %5, %6\n")
                      .arg(number(h->rmsPx, 4), number(h->maxPx, 4), number(h->cameraMatrix[0], 2),
                           number(h->cameraMatrix[4], 2), number(h->cameraMatrix[2], 2), number(h->cameraMatrix[5], 2));
        if (h->condition.illConditioned)
            text += label(QString()) + QStringLiteral("ill-conditioned: %1\n").arg(h->condition.reason);
        for (const DepthResidual& d : h->perDepth)
            text += label(QString()) + QStringLiteral("at %1 mm: rms %2 px, max %3 px\n")
                                           .arg(QString::number(d.depthMm), number(d.rmsPx, 4), number(d.maxPx, 4));
    }
    text += label(QStringLiteral("stereo pair"))
            + QStringLiteral("baseline %1 mm (ideal %2 mm), rotation %3 deg\n")
                  .arg(number(c.baselineMm, 4), number(c.idealBaselineMm, 4), number(c.rotationDeg, 4));
    for (const DepthError& d : c.depthError)
        text += label(QString()) + QStringLiteral("depth error at %1 mm: rms %2 mm (%3 %), max %4 mm\n")
                                       .arg(QString::number(d.depthMm), number(d.rmsMm, 4), number(d.rmsPercent, 4),
                                            number(d.maxMm, 4));
    return text;
}

// Refuses a rig without mappings or with a bad size, and bad target options.
static bool checkRig(const StereoRig& rig, const CalibrationOptions& options, QString* error)
{
    if (!rig.left || !rig.right) {
        *error = QStringLiteral("the rig has no ray mapping for a half");
        return false;
    }
    if (options.target.depthsMm.empty()) {
        *error = QStringLiteral("no target depth given");
        return false;
    }
    for (double depth : options.target.depthsMm) {
        if (!(depth > 0.0) || !std::isfinite(depth)) {
            *error = QStringLiteral("target depth %1 mm is not a positive finite number").arg(depth);
            return false;
        }
    }
    if (!(std::fabs(options.target.tiltDeg) < 80.0) || options.target.pointsAcrossHalf < 2
        || options.target.pointsAcrossHalf > 200) {
        *error = QStringLiteral("target tilt must be below 80 degrees and 2 to 200 points across a half");
        return false;
    }
    if (!(rig.focalLength > 0.0) || !(rig.pixelPitch > 0.0) || rig.resolutionX < 4 || rig.resolutionX % 2 != 0
        || rig.resolutionY < 2 || !std::isfinite(rig.virtualPinholeX) || !std::isfinite(rig.pinholeHeight)) {
        *error = QStringLiteral("camera of the rig is not valid (focal length, pitch, resolution, pinholes)");
        return false;
    }
    return true;
}

StereoCalibration calibrateStereoRig(const StereoRig& rig, const CalibrationOptions& options)
{
    StereoCalibration result;
    result.model = options.model;
    if (!checkRig(rig, options, &result.error))
        return result;
    const std::vector<TargetView> views = makeTargetViews(rig, options.target);
    const HalfObservations left = imageTargetViews(rig, SensorHalf::Left, views, options.threadCount);
    const HalfObservations right = imageTargetViews(rig, SensorHalf::Right, views, options.threadCount);
    return calibrateObservations(rig, views, left, right, options);
}

std::vector<StereoCalibration> calibrateStereoRigModels(const StereoRig& rig, const CalibrationOptions& options)
{
    std::vector<StereoCalibration> results;
    CalibrationOptions o = options;
    o.model = DistortionModel::Standard;
    o.start = nullptr;
    StereoCalibration refused;
    if (!checkRig(rig, options, &refused.error))
        return {refused};
    const std::vector<TargetView> views = makeTargetViews(rig, options.target);
    const HalfObservations left = imageTargetViews(rig, SensorHalf::Left, views, options.threadCount);
    const HalfObservations right = imageTargetViews(rig, SensorHalf::Right, views, options.threadCount);
    results.push_back(calibrateObservations(rig, views, left, right, o));
    if (!results.front().ok)
        return results;
    const StereoCalibration standard = results.front();
    for (DistortionModel model : {DistortionModel::Rational, DistortionModel::ThinPrism, DistortionModel::Tilted}) {
        o.model = model;
        o.start = &standard;
        results.push_back(calibrateObservations(rig, views, left, right, o));
    }
    return results;
}

StereoCalibration calibrateObservations(const StereoRig& rig, const std::vector<TargetView>& views,
                                        const HalfObservations& left, const HalfObservations& right,
                                        const CalibrationOptions& options)
{
    StereoCalibration result;
    result.model = options.model;
    result.imageWidth = rig.halfWidth();
    result.imageHeight = rig.resolutionY;
    result.idealBaselineMm = 2.0 * std::fabs(rig.virtualPinholeX);
    if (left.size() != views.size() || right.size() != views.size()) {
        result.error = QStringLiteral("observations do not match the target views");
        return result;
    }
    for (size_t i = 0; i < views.size(); ++i) {
        if (left[i].size() != views[i].targetPoints.size() || right[i].size() != views[i].targetPoints.size()
            || views[i].worldPoints.size() != views[i].targetPoints.size()) {
            result.error = QStringLiteral("observations do not match the target views");
            return result;
        }
        for (size_t j = 0; j < left[i].size(); ++j) {
            if (left[i][j].imaged)
                result.maxImagingMissPx = std::max(result.maxImagingMissPx, left[i][j].missPx);
            if (right[i][j].imaged)
                result.maxImagingMissPx = std::max(result.maxImagingMissPx, right[i][j].missPx);
        }
    }

    // The halves are independent: calibrated side by side.
    HalfRun runs[2];
    QString errors[2];
    bool done[2] = {false, false};
    parallelFor(2, resolveThreadCount(options.threadCount), [&](int, int h) {
        done[h] = calibrateHalf(rig, h == 0 ? SensorHalf::Left : SensorHalf::Right, views, h == 0 ? left : right, options, &runs[h], &errors[h]);
    });
    if (!done[0] || !done[1]) {
        result.error = done[0] ? errors[1] : errors[0];
        return result;
    }
    HalfRun& leftRun = runs[0];  // not const: OpenCV treats a const Mat as of fixed size
    HalfRun& rightRun = runs[1];
    result.left = leftRun.figures;
    result.right = rightRun.figures;

    // The pair: points seen by both halves, in views the left half calibrated.
    std::vector<std::vector<cv::Point3f>> objectPoints;
    std::vector<std::vector<cv::Point2f>> leftPoints, rightPoints;
    std::vector<std::vector<size_t>> pointIndex;
    std::vector<int> stereoView;  // -> index into leftRun's views
    for (size_t k = 0; k < leftRun.viewIndex.size(); ++k) {
        const size_t i = size_t(leftRun.viewIndex[k]);
        std::vector<cv::Point3f> object;
        std::vector<cv::Point2f> l, r;
        std::vector<size_t> which;
        for (size_t j = 0; j < views[i].targetPoints.size(); ++j) {
            if (!left[i][j].imaged || !right[i][j].imaged)
                continue;
            const Vec3& p = views[i].targetPoints[j];
            object.emplace_back(float(p[0]), float(p[1]), float(p[2]));
            l.emplace_back(float(left[i][j].u), float(left[i][j].v));
            r.emplace_back(float(right[i][j].u), float(right[i][j].v));
            which.push_back(j);
        }
        if (int(object.size()) < options.minimumViewPoints)
            continue;
        objectPoints.push_back(std::move(object));
        leftPoints.push_back(std::move(l));
        rightPoints.push_back(std::move(r));
        pointIndex.push_back(std::move(which));
        stereoView.push_back(int(k));
    }
    if (objectPoints.empty()) {
        result.error = QStringLiteral("no target view is seen by both halves with at least %1 points")
                           .arg(options.minimumViewPoints);
        return result;
    }
    const cv::Size size(rig.halfWidth(), rig.resolutionY);
    cv::Mat R, T, E, F;
    try {
        cv::theRNG() = cv::RNG();
        result.stereoRmsPx = cv::stereoCalibrate(
            objectPoints, leftPoints, rightPoints, leftRun.K, leftRun.D, rightRun.K, rightRun.D, size, R, T, E, F,
            cv::CALIB_FIX_INTRINSIC | modelFlags(options.model),
            cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-12));
    } catch (const cv::Exception& e) {
        result.error = QStringLiteral("stereo calibration failed: %1").arg(QString::fromStdString(e.msg));
        return result;
    }
    R.convertTo(R, CV_64F);
    T.convertTo(T, CV_64F);
    copyMat(R, &result.R);
    copyMat(T, &result.T);
    result.baselineMm = cv::norm(T);
    cv::Mat rotation;
    cv::Rodrigues(R, rotation);
    result.rotationDeg = cv::norm(rotation) * 180.0 / kPi;
    result.stereoViews = int(objectPoints.size());

    // Depth of the triangulated target points against the target's pose that
    // the left half's calibration found, in the left camera's frame.
    const std::vector<double> depths = viewDepths(views);
    std::vector<Accumulator> mm(depths.size()), percent(depths.size());
    const cv::TermCriteria undistortCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-12);
    const cv::Vec3d rightCentre = -matVec(R.t(), cv::Vec3d(T.at<double>(0), T.at<double>(1), T.at<double>(2)));
    const cv::Mat Rt = R.t();
    for (size_t s = 0; s < objectPoints.size(); ++s) {
        const size_t k = size_t(stereoView[s]);
        const size_t i = size_t(leftRun.viewIndex[k]);
        std::vector<cv::Point2d> l, r, ln, rn;
        for (size_t j : pointIndex[s]) {
            l.emplace_back(left[i][j].u, left[i][j].v);
            r.emplace_back(right[i][j].u, right[i][j].v);
        }
        cv::undistortPoints(l, ln, leftRun.K, leftRun.D, cv::noArray(), cv::noArray(), undistortCriteria);
        cv::undistortPoints(r, rn, rightRun.K, rightRun.D, cv::noArray(), cv::noArray(), undistortCriteria);
        cv::Mat pose;
        cv::Rodrigues(leftRun.rvecs[k], pose);
        pose.convertTo(pose, CV_64F);
        cv::Mat tvec;
        leftRun.tvecs[k].convertTo(tvec, CV_64F);
        const cv::Vec3d t(tvec.at<double>(0), tvec.at<double>(1), tvec.at<double>(2));
        const size_t d = depthIndex(depths, views[i].depthMm);
        for (size_t m = 0; m < pointIndex[s].size(); ++m) {
            const Vec3& p = views[i].targetPoints[pointIndex[s][m]];
            const cv::Vec3d truth = matVec(pose, cv::Vec3d(p[0], p[1], p[2])) + t;
            const cv::Vec3d point = closestPoint(cv::Vec3d(0, 0, 0), cv::Vec3d(ln[m].x, ln[m].y, 1.0), rightCentre,
                                                 matVec(Rt, cv::Vec3d(rn[m].x, rn[m].y, 1.0)));
            const double error = point[2] - truth[2];
            mm[d].add(error);
            percent[d].add(100.0 * error / truth[2]);
            ++result.stereoPoints;
        }
    }
    for (size_t d = 0; d < depths.size(); ++d) {
        if (mm[d].count == 0)
            continue;
        result.depthError.push_back(
            {depths[d], mm[d].rms(), mm[d].max, percent[d].rms(), percent[d].max, mm[d].count});
    }

    cv::Mat R1, R2, P1, P2, Q;
    cv::stereoRectify(leftRun.K, leftRun.D, rightRun.K, rightRun.D, size, R, T, R1, R2, P1, P2, Q,
                      cv::CALIB_ZERO_DISPARITY, -1.0, size);
    copyMat(R1, &result.R1);
    copyMat(R2, &result.R2);
    copyMat(P1, &result.P1);
    copyMat(P2, &result.P2);
    copyMat(Q, &result.Q);
    result.ok = true;
    return result;
}

}  // namespace calibration
