#include "simulate/pictures.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace simulate {

QByteArray encodePng(const cv::Mat& image)
{
    std::vector<unsigned char> bytes;
    cv::imencode(".png", image, bytes);
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
}

cv::Mat rectifiedPairPicture(const MatchResult& match, int lineSpacing)
{
    cv::Mat pair;
    cv::hconcat(match.rectifiedLeft, match.rectifiedRight, pair);
    cv::Mat colour;
    cv::cvtColor(pair, colour, cv::COLOR_GRAY2BGR);
    for (int v = lineSpacing / 2; v < colour.rows; v += lineSpacing)
        cv::line(colour, cv::Point(0, v), cv::Point(colour.cols - 1, v), cv::Scalar(0, 200, 0), 1);
    cv::line(colour, cv::Point(match.rectifiedLeft.cols, 0), cv::Point(match.rectifiedLeft.cols, colour.rows - 1),
             cv::Scalar(255, 255, 255), 1);
    return colour;
}

cv::Mat disparityPicture(const MatchResult& match, double* lowOut, double* highOut)
{
    const cv::Mat& d = match.disparity;
    // The scale spans the 0.5th to the 99.5th percentile: a few stray
    // matches do not flatten the map.
    std::vector<float> values;
    for (int v = 0; v < d.rows; ++v)
        for (int u = 0; u < d.cols; ++u)
            if (!std::isnan(d.at<float>(v, u)))
                values.push_back(d.at<float>(v, u));
    double low = 0.0, high = 0.0;
    if (!values.empty()) {
        std::sort(values.begin(), values.end());
        low = values[size_t(0.005 * double(values.size() - 1))];
        high = values[size_t(0.995 * double(values.size() - 1))];
    }
    if (!(high > low)) {
        low = 0.0;
        high = 1.0;
    }
    cv::Mat grey(d.size(), CV_8UC1), mask(d.size(), CV_8UC1);
    for (int v = 0; v < d.rows; ++v)
        for (int u = 0; u < d.cols; ++u) {
            const float x = d.at<float>(v, u);
            mask.at<unsigned char>(v, u) = std::isnan(x) ? 255 : 0;
            grey.at<unsigned char>(v, u) =
                std::isnan(x) ? 0
                              : static_cast<unsigned char>(std::lround(255.0 * std::clamp((x - low) / (high - low), 0.0, 1.0)));
        }
    cv::Mat colour;
    cv::applyColorMap(grey, colour, cv::COLORMAP_VIRIDIS);
    colour.setTo(cv::Scalar(0, 0, 0), mask);
    if (lowOut) *lowOut = low;
    if (highOut) *highOut = high;
    return colour;
}

cv::Mat depthErrorPicture(const MatchResult& match, double scalePercent, double* usedScale)
{
    const cv::Mat& e = match.errorPercent;
    if (!(scalePercent > 0.0)) {
        std::vector<float> values;
        for (int v = 0; v < e.rows; ++v)
            for (int u = 0; u < e.cols; ++u)
                if (!std::isnan(e.at<float>(v, u)))
                    values.push_back(std::abs(e.at<float>(v, u)));
        scalePercent = 0.05;
        if (!values.empty()) {
            const size_t k = std::min(values.size() - 1, size_t(0.99 * double(values.size())));
            std::nth_element(values.begin(), values.begin() + long(k), values.end());
            scalePercent = std::max(0.05, double(values[k]));
        }
    }
    cv::Mat colour(e.size(), CV_8UC3);
    for (int v = 0; v < e.rows; ++v)
        for (int u = 0; u < e.cols; ++u) {
            const float x = e.at<float>(v, u);
            cv::Vec3b& c = colour.at<cv::Vec3b>(v, u);
            if (std::isnan(x)) {
                const bool matched = !std::isnan(match.disparity.at<float>(v, u));
                c = matched ? cv::Vec3b(64, 64, 64) : cv::Vec3b(0, 0, 0);
                continue;
            }
            const double t = std::clamp(double(x) / scalePercent, -1.0, 1.0);
            const auto fade = static_cast<unsigned char>(std::lround(255.0 * (1.0 - std::abs(t))));
            c = t < 0 ? cv::Vec3b(255, fade, fade) : cv::Vec3b(fade, fade, 255);  // BGR: blue nearer, red farther
        }
    if (usedScale) *usedScale = scalePercent;
    return colour;
}

}  // namespace simulate
