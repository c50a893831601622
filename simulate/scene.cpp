#include "simulate/scene.h"

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <limits>

namespace simulate {

QString sceneKindName(SceneKind kind)
{
    switch (kind) {
    case SceneKind::Tilted: return QStringLiteral("tilted");
    case SceneKind::Steps: return QStringLiteral("steps");
    case SceneKind::Plane: break;
    }
    return QStringLiteral("plane");
}

bool parseSceneKind(const QString& name, SceneKind* kind)
{
    if (name == QLatin1String("plane"))
        *kind = SceneKind::Plane;
    else if (name == QLatin1String("tilted"))
        *kind = SceneKind::Tilted;
    else if (name == QLatin1String("steps"))
        *kind = SceneKind::Steps;
    else
        return false;
    return true;
}

Texture Texture::noise(double texelMm, std::uint32_t seed, int size)
{
    cv::Mat white(size, size, CV_32F);
    cv::RNG rng(seed);
    rng.fill(white, cv::RNG::NORMAL, 0.0, 1.0);
    // Periodic low-pass: filter a wrapped copy, keep the middle.
    const int pad = 8;
    cv::Mat wrapped;
    cv::copyMakeBorder(white, wrapped, pad, pad, pad, pad, cv::BORDER_WRAP);
    cv::Mat smooth;
    cv::GaussianBlur(wrapped, smooth, cv::Size(2 * pad + 1, 2 * pad + 1), 1.0, 1.0, cv::BORDER_REFLECT);
    cv::Mat middle = smooth(cv::Rect(pad, pad, size, size)).clone();
    cv::Scalar mean, deviation;
    cv::meanStdDev(middle, mean, deviation);
    middle.convertTo(middle, CV_32F, 0.15 / deviation[0], 0.5 - 0.15 * mean[0] / deviation[0]);
    cv::min(cv::max(middle, 0.0), 1.0, middle);
    Texture t;
    t.grid_ = middle;
    t.texelMm_ = texelMm;
    return t;
}

Texture Texture::image(const cv::Mat& image, double texelMm)
{
    Texture t;
    cv::Mat grey = image;
    if (grey.channels() == 3)
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    else if (grey.channels() == 4)
        cv::cvtColor(image, grey, cv::COLOR_BGRA2GRAY);
    const double scale = grey.depth() == CV_16U ? 1.0 / 65535.0 : grey.depth() == CV_8U ? 1.0 / 255.0 : 1.0;
    grey.convertTo(t.grid_, CV_32F, scale);
    t.texelMm_ = texelMm;
    t.mirrored_ = true;
    return t;
}

Texture Texture::function(std::function<float(double, double)> f)
{
    Texture t;
    t.function_ = std::move(f);
    return t;
}

namespace {

// Index into 0..n-1: periodic, or mirrored at the edges (period 2n).
inline int wrapIndex(long long i, int n, bool mirrored)
{
    if (!mirrored) {
        long long r = i % n;
        return int(r < 0 ? r + n : r);
    }
    long long r = i % (2LL * n);
    if (r < 0) r += 2LL * n;
    return int(r < n ? r : 2LL * n - 1 - r);
}

}  // namespace

float Texture::at(double s, double t) const
{
    if (function_)
        return function_(s, t);
    // Texel (i, j) is centred at ((i - cols/2) texel, (j - rows/2) texel).
    const double u = s / texelMm_ + grid_.cols / 2;
    const double v = t / texelMm_ + grid_.rows / 2;
    const double fu = std::floor(u), fv = std::floor(v);
    const float wu = float(u - fu), wv = float(v - fv);
    const long long iu = (long long)fu, iv = (long long)fv;
    const int u0 = wrapIndex(iu, grid_.cols, mirrored_), u1 = wrapIndex(iu + 1, grid_.cols, mirrored_);
    const int v0 = wrapIndex(iv, grid_.rows, mirrored_), v1 = wrapIndex(iv + 1, grid_.rows, mirrored_);
    const float* r0 = grid_.ptr<float>(v0);
    const float* r1 = grid_.ptr<float>(v1);
    return (1 - wv) * ((1 - wu) * r0[u0] + wu * r0[u1]) + wv * ((1 - wu) * r1[u0] + wu * r1[u1]);
}

Scene::Scene(const SceneOptions& options, Texture texture) : options_(options), texture_(std::move(texture))
{
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double z = -options.depthMm;
    switch (options.kind) {
    case SceneKind::Plane:
        patches_.push_back({Vec3(0, 0, z), Vec3(0, 0, 1), Vec3(1, 0, 0), Vec3(0, 1, 0), -inf, inf, -inf, inf});
        break;
    case SceneKind::Tilted: {
        const double a = options.tiltDeg * M_PI / 180.0;
        const Vec3 s(std::cos(a), 0, std::sin(a));  // the plane's x axis, turned about y
        patches_.push_back({Vec3(0, 0, z), Vec3(-std::sin(a), 0, std::cos(a)), s, Vec3(0, 1, 0), -inf, inf, -inf,
                            inf});
        break;
    }
    case SceneKind::Steps: {
        const int n = std::max(1, options.stepCount);
        const double band = 2.0 * options.fieldHalfHeightMm / n;
        auto edge = [&](int k) { return -options.fieldHalfHeightMm + k * band; };
        auto depth = [&](int k) { return options.depthMm * (1.0 + options.stepFraction * (k - (n - 1) / 2.0)); };
        for (int k = 0; k < n; ++k) {
            const double low = k == 0 ? -inf : edge(k);
            const double high = k == n - 1 ? inf : edge(k + 1);
            patches_.push_back(
                {Vec3(0, 0, -depth(k)), Vec3(0, 0, 1), Vec3(1, 0, 0), Vec3(0, 1, 0), low, high, -inf, inf});
            if (k + 1 < n) {
                const double za = -depth(k), zb = -depth(k + 1);
                patches_.push_back({Vec3(0, edge(k + 1), 0), Vec3(0, 1, 0), Vec3(1, 0, 0), Vec3(0, 0, 1), -inf, inf,
                                    std::min(za, zb), std::max(za, zb)});
            }
        }
        break;
    }
    }
}

bool Scene::hit(const Vec3& origin, const Vec3& direction, Vec3* point, float* intensity) const
{
    double best = std::numeric_limits<double>::infinity();
    const Patch* found = nullptr;
    Vec3 bestPoint;
    for (const Patch& p : patches_) {
        const double denominator = p.normal.dot(direction);
        if (denominator == 0.0)
            continue;
        const double t = p.normal.dot(p.origin - origin) / denominator;
        if (!(t > 0.0) || t >= best)
            continue;
        const Vec3 q = origin + t * direction;
        if (q.y() < p.yLow || q.y() > p.yHigh || q.z() < p.zLow || q.z() > p.zHigh)
            continue;
        best = t;
        found = &p;
        bestPoint = q;
    }
    if (!found)
        return false;
    *point = bestPoint;
    const Vec3 d = bestPoint - found->origin;
    *intensity = texture_.at(d.dot(found->axisS), d.dot(found->axisT));
    return true;
}

}  // namespace simulate
