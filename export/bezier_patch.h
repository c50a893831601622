#pragma once

// A prism surface's half as a Bezier patch, exactly.
//
// The left half's polynomial z = sum c_ij u^i w^j (total degree N, u and w
// affine in x and y) is, over a rectangle [xMin, xMax] x [yMin, yMax] with
// x = xMin + (xMax - xMin) s, y = yMin + (yMax - yMin) t, a polynomial of
// degree at most N in s and in t. Its power coefficients in (s, t) follow
// from the binomial expansion of (a + b s)^i, and its Bernstein coefficients
// of degree N from s^k = sum_{m >= k} C(m, k) / C(N, k) B_m^N(s). Since x and
// y are linear in s and t, the control points' x and y are evenly spaced
// (linear precision): the patch is the surface itself, not a fit to samples.

#include "fit/prism_fit.h"

#include <array>
#include <vector>

struct BezierNet {
    int degree = 0;  // in s (along x) and in t (along y)
    // (degree + 1)^2 control points (x, y, z), point(i, j) at i * (degree + 1) + j.
    std::vector<std::array<double, 3>> points;
    const std::array<double, 3>& point(int i, int j) const
    {
        return points[static_cast<std::size_t>(i) * (degree + 1) + j];
    }
};

// The patch of the left half's polynomial over the rectangle.
BezierNet bezierNetOf(const PrismSurface& surface, double xMin, double xMax, double yMin, double yMax);
// The mirror image (x -> -x) of a patch: the right half's from the left's.
BezierNet mirroredNet(const BezierNet& net);
