#pragma once

// The optics kernel: the 3-vector, the vector law of refraction and the
// meeting point of a ray with a height field z = s(x, y), each written once
// as a template on the scalar type. The verifier, the prism trace and the
// refinement use it with double; the optimiser with Ceres' dual numbers
// (ceres::Jet), which carry the derivatives of every quantity with respect
// to the unknowns through the same operations.
//
// For a dual scalar the comparisons act on the value; the intersection is
// then best started from the value the double trace found and asked for at
// least one Newton step (HeightFieldSearch::minimumSteps), which carries the
// derivatives of the meeting point by the implicit function theorem.

#include <Eigen/Core>
#include <Eigen/Geometry>

#include <algorithm>
#include <cmath>

namespace optics {

template <typename T>
using Vec3T = Eigen::Matrix<T, 3, 1>;
using Vec3 = Vec3T<double>;

// Meeting tolerance: the height of the ray point above the surface, mm.
constexpr double intersectionTolerance = 1e-12;
// Below this a stalled search sits at the rounding floor of the surface's
// evaluation and counts as converged.
constexpr double roundingFloor = 1e-10;

// The value of a scalar: itself for double, the real part of a dual number.
inline double valueOf(double x) { return x; }
template <typename J>
auto valueOf(const J& x) -> decltype(x.a)
{
    return x.a;
}

// Vector law of refraction: unit incident direction, unit normal (either
// orientation), index ratio eta = n_incident / n_refracted. False on total
// internal reflection (*refracted untouched).
template <typename T>
bool refract(const Vec3T<T>& incident, const Vec3T<T>& normal, const T& eta, Vec3T<T>* refracted)
{
    using std::sqrt;
    Vec3T<T> n = normal;
    T cosIncidence = -n.dot(incident);
    if (cosIncidence < T(0.0)) {
        n = -n;
        cosIncidence = -cosIncidence;
    }
    const T k = T(1.0) - eta * eta * (T(1.0) - cosIncidence * cosIncidence);
    if (k < T(0.0))
        return false;
    *refracted = (eta * incident + (eta * cosIncidence - sqrt(k)) * n).normalized();
    return true;
}

// Unit normal of a surface from its two tangents, turned to z >= 0; zero
// for parallel tangents.
template <typename T>
Vec3T<T> orientedNormal(const Vec3T<T>& du, const Vec3T<T>& dv)
{
    Vec3T<T> n = du.cross(dv);
    const T length = n.norm();
    if (!(length > T(0.0)))
        return Vec3T<T>::Zero();
    n /= length;
    return n.z() < T(0.0) ? Vec3T<T>(-n) : n;
}

// The unit normal (z >= 0) of z = s(x, y) with slopes sx, sy.
template <typename T>
Vec3T<T> heightFieldNormal(const T& sx, const T& sy)
{
    return orientedNormal<T>(Vec3T<T>(T(1.0), T(0.0), sx), Vec3T<T>(T(0.0), T(1.0), sy));
}

enum class HeightFieldStatus { Hit, Miss, NoConvergence };

template <typename T>
struct HeightFieldHit {
    HeightFieldStatus status = HeightFieldStatus::Miss;
    T distance = T(0.0);  // along the ray
    Vec3T<T> point = Vec3T<T>::Zero();
    T slopeX = T(0.0);    // of the surface at the point
    T slopeY = T(0.0);
};

struct HeightFieldSearch {
    // Where the search starts along the ray; without it, where the ray
    // reaches the height the surface has below its crossing of z = 0.
    const double* startDistance = nullptr;
    // Newton steps taken even when the start already meets the tolerance.
    int minimumSteps = 0;
};

// The meeting point of the ray origin + t direction (t > 0) with the height
// field. `height(x, y, &slopeX, &slopeY)` returns s(x, y) and its slopes.
// Newton on g(t) = (ray height) - s(ray x, ray y); where Newton stops making
// progress, a sign change of g is bracketed around the current t and bisected
// with Newton steps inside the bracket. A miss: no meeting point ahead of the
// origin; no convergence: the search ended without reaching the tolerance.
template <typename T, typename Height>
HeightFieldHit<T> intersectHeightField(const Vec3T<T>& o, const Vec3T<T>& d, const Height& height,
                                       const HeightFieldSearch& search = {})
{
    using std::abs;
    using std::isfinite;
    const auto maxOf = [](const T& a, const T& b) { return a < b ? b : a; };
    // g(t): height of the ray point above the surface under it; |g| is the
    // distance between the two points. Keeps the slopes of the last call.
    T sx = T(0.0);
    T sy = T(0.0);
    auto g = [&](const T& t, T* slope) {
        const T s = height(T(o.x() + t * d.x()), T(o.y() + t * d.y()), &sx, &sy);
        if (slope)
            *slope = d.z() - sx * d.x() - sy * d.y();
        return T(o.z() + t * d.z() - s);
    };

    HeightFieldHit<T> hit;
    T t = T(0.0);
    if (search.startDistance) {
        t = T(*search.startDistance);
    } else if (d.z() != T(0.0)) {
        const T t0 = maxOf(T(0.0), T(-o.z() / d.z()));
        const T below = o.z() + t0 * d.z() - g(t0, nullptr);
        t = maxOf(T(0.0), T((below - o.z()) / d.z()));
    }
    T slope = T(0.0);
    T value = g(t, &slope);
    T lastSx = sx;
    T lastSy = sy;
    bool converged = abs(value) <= T(intersectionTolerance);
    for (int iteration = 0; (!converged || iteration < search.minimumSteps) && iteration < 30 && isfinite(value);
         ++iteration) {
        if (!(abs(slope) > T(0.0)) || !isfinite(slope))
            break;
        const T next = t - value / slope;
        if (!isfinite(next) || next < T(0.0))
            break;
        T nextSlope = T(0.0);
        const T nextValue = g(next, &nextSlope);
        if (iteration >= search.minimumSteps && !(abs(nextValue) < abs(value)))
            break;  // Newton stopped making progress: bracket instead
        t = next;
        value = nextValue;
        slope = nextSlope;
        lastSx = sx;
        lastSy = sy;
        converged = abs(value) <= T(intersectionTolerance);
    }

    if (!converged && isfinite(value)) {
        T lo = t;
        T hi = t;
        T glo = value;
        bool bracketed = false;
        T width = maxOf(T(1.0), abs(t)) * 1e-3;
        for (int k = 0; k < 64 && !bracketed; ++k, width *= 2.0) {
            for (const T& candidate : {T(t + width), T(t - width)}) {
                if (candidate < T(0.0))
                    continue;
                const T gc = g(candidate, nullptr);
                if (isfinite(gc) && (gc > T(0.0)) != (value > T(0.0))) {
                    lo = candidate < t ? candidate : t;
                    hi = t < candidate ? candidate : t;
                    glo = lo == t ? value : gc;
                    bracketed = true;
                    break;
                }
            }
        }
        if (!bracketed) {
            hit.status = HeightFieldStatus::Miss;
            return hit;
        }
        for (int iteration = 0; iteration < 200; ++iteration) {
            T candidate = t - value / slope;
            if (!(candidate > lo && candidate < hi) || !isfinite(candidate))
                candidate = 0.5 * (lo + hi);
            t = candidate;
            value = g(t, &slope);
            lastSx = sx;
            lastSy = sy;
            if (abs(value) <= T(intersectionTolerance)) {
                converged = true;
                break;
            }
            if ((value > T(0.0)) == (glo > T(0.0))) {
                lo = t;
                glo = value;
            } else {
                hi = t;
            }
            if (hi - lo <= 1e-15 * maxOf(T(1.0), abs(t))) {
                converged = abs(value) <= T(roundingFloor);
                break;
            }
        }
        if (!converged) {
            hit.status = HeightFieldStatus::NoConvergence;
            return hit;
        }
    }
    if (!converged) {
        hit.status = isfinite(value) ? HeightFieldStatus::NoConvergence : HeightFieldStatus::Miss;
        return hit;
    }
    if (!(t > T(0.0))) {
        hit.status = HeightFieldStatus::Miss;
        return hit;
    }
    hit.status = HeightFieldStatus::Hit;
    hit.distance = t;
    hit.point = o + t * d;
    hit.slopeX = lastSx;
    hit.slopeY = lastSy;
    return hit;
}

}  // namespace optics
