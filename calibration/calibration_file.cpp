#include "calibration/calibration_file.h"

#include <opencv2/core.hpp>

#include "io/atomic_file_set.h"

#include <cmath>
#include <string>

namespace calibration {

namespace {

template <size_t N>
cv::Mat toMat(const std::array<double, N>& values, int rows, int cols)
{
    cv::Mat m(rows, cols, CV_64F);
    for (int i = 0; i < rows * cols; ++i)
        m.at<double>(i / cols, i % cols) = values[size_t(i)];
    return m;
}

cv::Mat toMat(const std::vector<double>& values)
{
    cv::Mat m(1, int(values.size()), CV_64F);
    for (size_t i = 0; i < values.size(); ++i)
        m.at<double>(0, int(i)) = values[i];
    return m;
}

template <typename Container>
bool allFinite(const Container& values)
{
    for (double v : values)
        if (!std::isfinite(v))
            return false;
    return true;
}

}  // namespace

bool stereoCalibrationText(const StereoCalibration& c, std::string* out, QString* error)
{
    if (!c.ok) {
        *error = QStringLiteral("no calibration to write: %1").arg(c.error);
        return false;
    }
    if (c.imageWidth <= 0 || c.imageHeight <= 0 || c.left.distortion.empty() || c.right.distortion.empty()
        || !allFinite(c.left.cameraMatrix) || !allFinite(c.right.cameraMatrix) || !allFinite(c.left.distortion)
        || !allFinite(c.right.distortion) || !allFinite(c.R) || !allFinite(c.T) || !allFinite(c.R1)
        || !allFinite(c.R2) || !allFinite(c.P1) || !allFinite(c.P2) || !allFinite(c.Q)) {
        *error = QStringLiteral("the calibration holds non-finite or missing values; nothing written");
        return false;
    }
    std::string text;
    try {
        cv::FileStorage fs(".yml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
        const cv::Size size(c.imageWidth, c.imageHeight);
        fs << "distortion_model" << distortionModelName(c.model).toStdString();
        fs << "image_size_left" << size;
        fs << "image_size_right" << size;
        fs << "camera_matrix_left" << toMat(c.left.cameraMatrix, 3, 3);
        fs << "distortion_left" << toMat(c.left.distortion);
        fs << "camera_matrix_right" << toMat(c.right.cameraMatrix, 3, 3);
        fs << "distortion_right" << toMat(c.right.distortion);
        fs << "R" << toMat(c.R, 3, 3);
        fs << "T" << toMat(c.T, 3, 1);
        fs << "R1" << toMat(c.R1, 3, 3);
        fs << "R2" << toMat(c.R2, 3, 3);
        fs << "P1" << toMat(c.P1, 3, 4);
        fs << "P2" << toMat(c.P2, 3, 4);
        fs << "Q" << toMat(c.Q, 4, 4);
        text = fs.releaseAndGetString();
    } catch (const cv::Exception& e) {
        *error = QStringLiteral("cannot form %1: %2")
                     .arg(QString::fromLatin1(stereoCalibrationFileName), QString::fromStdString(e.msg));
        return false;
    }
    *out = std::move(text);
    return true;
}

bool writeStereoCalibrationFile(const StereoCalibration& c, const QString& path, QString* error)
{
    std::string text;
    if (!stereoCalibrationText(c, &text, error))
        return false;
    const QString refused = checkOutputTarget(path);
    if (!refused.isNull()) {
        *error = refused;
        return false;
    }
    // The project's atomic writer: temporary file beside the target, fsync, rename.
    if (!writeFileAtomically(path, text.data(), text.size(), error))
        return false;
    return true;
}

}  // namespace calibration
