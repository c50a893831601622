#include "calibration/calibration_file.h"

#include <opencv2/core.hpp>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cmath>
#include <cstdio>

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

bool writeStereoCalibrationFile(const StereoCalibration& c, const QString& path, QString* error)
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
    const QFileInfo target(path);
    if (!target.dir().exists()) {
        *error = QStringLiteral("directory %1 does not exist").arg(target.dir().path());
        return false;
    }
    if (target.isDir()) {
        *error = QStringLiteral("%1 is a directory").arg(path);
        return false;
    }

    // Reserve a unique name beside the target, let OpenCV fill it, rename.
    QTemporaryFile reserve(target.dir().filePath(QStringLiteral(".%1.XXXXXX").arg(target.fileName())));
    reserve.setAutoRemove(false);
    if (!reserve.open()) {
        *error = QStringLiteral("cannot create a file in %1: %2").arg(target.dir().path(), reserve.errorString());
        return false;
    }
    const QString temporary = reserve.fileName();
    reserve.close();
    try {
        cv::FileStorage fs(QFile::encodeName(temporary).toStdString(),
                           cv::FileStorage::WRITE | cv::FileStorage::FORMAT_YAML);
        if (!fs.isOpened())
            throw cv::Exception(0, "cannot open for writing", "", "", 0);
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
        fs.release();
        // FileStorage reports no failed write (a full disk): the file must
        // end with the last node.
        QFile written(temporary);
        if (!written.open(QIODevice::ReadOnly) || !written.readAll().trimmed().endsWith("]"))
            throw cv::Exception(0, "the file was not written in full", "", "", 0);
    } catch (const cv::Exception& e) {
        QFile::remove(temporary);
        *error = QStringLiteral("cannot write %1: %2").arg(path, QString::fromStdString(e.msg));
        return false;
    }
    // The reserved name is private to its owner; the result is an ordinary file.
    QFile::setPermissions(temporary, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                         | QFileDevice::ReadOther);
    // POSIX rename replaces an existing file in one step.
    if (std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) != 0) {
        QFile::remove(temporary);
        *error = QStringLiteral("cannot rename the finished file to %1").arg(path);
        return false;
    }
    return true;
}

}  // namespace calibration
