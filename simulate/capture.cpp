#include "simulate/capture.h"

#include "core/parallel_for.h"
#include "core/progress.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <random>

namespace simulate {

namespace {

constexpr int valuesPerPixel = 4;

// The half a column belongs to: [low, high].
void halfColumns(int column, int columns, int* low, int* high)
{
    const int half = columns / 2;
    *low = column < half ? 0 : half;
    *high = column < half ? half - 1 : columns - 1;
}

}  // namespace

RayField RayField::trace(const calibration::StereoRig& rig, int threads, const core::ProgressRange* progress,
                         double rowFraction)
{
    RayField field;
    field.columns_ = rig.resolutionX;
    field.rows_ = rig.resolutionY;
    field.values_.assign(size_t(field.columns_) * field.rows_ * valuesPerPixel,
                         std::numeric_limits<float>::quiet_NaN());
    const double pitch = rig.pixelPitch;
    const int columns = field.columns_, rows = field.rows_;
    const int band = std::clamp(int(std::lround(std::clamp(rowFraction, 0.0, 1.0) * rows)), 2, rows);
    const int firstRow = (rows - band) / 2;
    std::atomic<int> done{0};
    parallelFor(band, resolveThreadCount(threads), [&](int worker, int i) {
        const int v = firstRow + i;
        if (progress) {
            progress->throwIfCancelled();
            const int count = ++done;
            if (worker == 0)
                progress->report(double(count) / band);
        }
        const double y = -(v - rows / 2) * pitch;
        for (int b = 0; b < columns; ++b) {
            const double x = (b - columns / 2) * pitch;
            const calibration::RayMapping& mapping = rig.mapping(b < columns / 2 ? calibration::SensorHalf::Left
                                                                                  : calibration::SensorHalf::Right);
            const calibration::OutgoingRay r = mapping(x, y);
            if (!r.valid || !(r.direction[2] < 0.0))
                continue;
            const double sx = r.direction[0] / -r.direction[2];
            const double sy = r.direction[1] / -r.direction[2];
            // Move the origin along the ray to z = 0.
            const double h = r.origin[2];
            float* out = &field.values_[(size_t(v) * columns + b) * valuesPerPixel];
            out[0] = float(r.origin[0] + sx * h);
            out[1] = float(r.origin[1] + sy * h);
            out[2] = float(sx);
            out[3] = float(sy);
        }
    });
    return field;
}

bool RayField::pixelRay(int column, int row, Vec3* origin, Vec3* direction) const
{
    const float* p = &values_[(size_t(row) * columns_ + column) * valuesPerPixel];
    if (std::isnan(p[0]))
        return false;
    *origin = Vec3(p[0], p[1], 0.0);
    *direction = Vec3(p[2], p[3], -1.0);
    return true;
}

bool RayField::ray(double column, double row, Vec3* origin, Vec3* direction) const
{
    int low, high;
    const int nearest = std::clamp(int(std::lround(column)), 0, columns_ - 1);
    halfColumns(nearest, columns_, &low, &high);
    const int b0 = std::clamp(int(std::floor(column)), low, high - 1);
    const int v0 = std::clamp(int(std::floor(row)), 0, rows_ - 2);
    const double wb = column - b0, wv = row - v0;  // outside 0..1 at the edges: linear extrapolation
    double acc[valuesPerPixel] = {0, 0, 0, 0};
    for (int k = 0; k < 4; ++k) {
        const int b = b0 + (k & 1), v = v0 + (k >> 1);
        const double w = ((k & 1) ? wb : 1.0 - wb) * ((k >> 1) ? wv : 1.0 - wv);
        const float* p = &values_[(size_t(v) * columns_ + b) * valuesPerPixel];
        if (std::isnan(p[0])) {
            // A lost neighbour: the nearest pixel's own ray, if it has one.
            return pixelRay(nearest, std::clamp(int(std::lround(row)), 0, rows_ - 1), origin, direction);
        }
        for (int i = 0; i < valuesPerPixel; ++i)
            acc[i] += w * p[i];
    }
    *origin = Vec3(acc[0], acc[1], 0.0);
    *direction = Vec3(acc[2], acc[3], -1.0);
    return true;
}

Capture captureScene(const RayField& field, const Scene& scene, const CaptureOptions& options,
                     const core::ProgressRange* progress)
{
    const int columns = field.columns(), rows = field.rows();
    const int n = std::clamp(options.supersample, 1, 8);
    Capture capture;
    capture.image.create(rows, columns, CV_8UC1);
    capture.points.create(rows, columns, CV_32FC3);
    const bool noisy = options.noiseElectrons > 0.0;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::atomic<int> done{0};
    parallelFor(rows, resolveThreadCount(options.threads), [&](int worker, int v) {
        if (progress) {
            progress->throwIfCancelled();
            const int count = ++done;
            if (worker == 0)
                progress->report(double(count) / rows);
        }
        // One generator per row, seeded by the row: the same image for any thread count.
        std::mt19937_64 generator(options.seed * 0x9E3779B97F4A7C15ull + std::uint64_t(v));
        std::normal_distribution<double> normal(0.0, 1.0);
        unsigned char* out = capture.image.ptr<unsigned char>(v);
        cv::Vec3f* points = capture.points.ptr<cv::Vec3f>(v);
        Vec3 origin, direction, point;
        for (int b = 0; b < columns; ++b) {
            points[b] = cv::Vec3f(nan, nan, nan);
            if (field.pixelRay(b, v, &origin, &direction)) {
                float ignored;
                if (scene.hit(origin, direction, &point, &ignored))
                    points[b] = cv::Vec3f(float(point.x()), float(point.y()), float(point.z()));
            }
            double sum = 0.0;
            int count = 0;
            for (int j = 0; j < n; ++j) {
                for (int i = 0; i < n; ++i) {
                    const double db = (i + 0.5) / n - 0.5, dv = (j + 0.5) / n - 0.5;
                    float value;
                    if (field.ray(b + db, v + dv, &origin, &direction) && scene.hit(origin, direction, &point, &value)) {
                        sum += value;
                        ++count;
                    }
                }
            }
            double level = count ? sum / count : 0.0;  // 0..1
            if (noisy) {
                const double electrons = level * options.fullWellElectrons;
                const double sigma = std::sqrt(electrons + options.noiseElectrons * options.noiseElectrons);
                level = (electrons + sigma * normal(generator)) / options.fullWellElectrons;
            }
            out[b] = static_cast<unsigned char>(std::clamp(std::lround(level * 255.0), 0L, 255L));
        }
    });
    return capture;
}

}  // namespace simulate
