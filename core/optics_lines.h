#pragma once

// How close a bundle of lines comes to passing through one point: the
// least-squares common point (the point with the smallest sum of squared
// distances from the lines, solving sum (I - d d^T) X = sum (I - d d^T) p)
// and the RMS and largest distance of the lines from it. A central camera's
// rays give distance 0.

#include "core/optics.h"

#include <Eigen/LU>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace optics {

struct CommonPoint {
    Vec3 point = Vec3::Zero();
    double rms = std::numeric_limits<double>::quiet_NaN();
    double max = std::numeric_limits<double>::quiet_NaN();
    int lines = 0;
};

// Lines through points[i] along unit directions[i]. For accuracy the points
// should lie near the common point (e.g. where the lines cross a plane
// through it).
inline CommonPoint commonPointOfLines(const std::vector<Vec3>& points, const std::vector<Vec3>& directions)
{
    CommonPoint c;
    c.lines = static_cast<int>(std::min(points.size(), directions.size()));
    if (c.lines == 0)
        return c;
    Eigen::Matrix3d a = Eigen::Matrix3d::Zero();
    Vec3 b = Vec3::Zero();
    for (int i = 0; i < c.lines; ++i) {
        const Eigen::Matrix3d m = Eigen::Matrix3d::Identity() - directions[i] * directions[i].transpose();
        a += m;
        b += m * points[i];
    }
    c.point = a.fullPivLu().solve(b);
    double sum = 0.0;
    c.max = 0.0;
    for (int i = 0; i < c.lines; ++i) {
        const double distance = (c.point - points[i]).cross(directions[i]).norm();
        sum += distance * distance;
        c.max = std::max(c.max, distance);
    }
    c.rms = std::sqrt(sum / c.lines);
    return c;
}

}  // namespace optics
