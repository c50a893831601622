#include "export/bezier_patch.h"

#include <cmath>

namespace {

// Binomial coefficients C(n, k), 0 <= k <= n <= size - 1.
std::vector<std::vector<double>> binomials(int size)
{
    std::vector<std::vector<double>> c(static_cast<std::size_t>(size), std::vector<double>(size, 0.0));
    for (int n = 0; n < size; ++n) {
        c[n][0] = 1.0;
        for (int k = 1; k <= n; ++k)
            c[n][k] = c[n - 1][k - 1] + (k < n ? c[n - 1][k] : 0.0);
    }
    return c;
}

// Coefficients in s of (a + b s)^i for i = 0..n: row i, entry k.
std::vector<std::vector<double>> powersOfLinear(double a, double b, int n,
                                                const std::vector<std::vector<double>>& c)
{
    std::vector<std::vector<double>> p(static_cast<std::size_t>(n) + 1, std::vector<double>(n + 1, 0.0));
    for (int i = 0; i <= n; ++i) {
        double bk = 1.0;
        for (int k = 0; k <= i; ++k) {
            p[i][k] = c[i][k] * std::pow(a, i - k) * bk;
            bk *= b;
        }
    }
    return p;
}

}  // namespace

BezierNet bezierNetOf(const PrismSurface& surface, double xMin, double xMax, double yMin, double yMax)
{
    const int n = surface.order;
    const auto c = binomials(n + 1);
    // u = (x - x0) / R = au + bu s, w = y / R = aw + bw t.
    const auto us = powersOfLinear((xMin - surface.x0) / surface.radius, (xMax - xMin) / surface.radius, n, c);
    const auto wt = powersOfLinear(yMin / surface.radius, (yMax - yMin) / surface.radius, n, c);
    // Power coefficients q[k][l] of s^k t^l.
    std::vector<std::vector<double>> q(static_cast<std::size_t>(n) + 1, std::vector<double>(n + 1, 0.0));
    const std::vector<PrismTerm> terms = prismTerms(n);
    for (std::size_t term = 0; term < terms.size(); ++term) {
        const int i = terms[term].uPower, j = terms[term].wPower;
        for (int k = 0; k <= i; ++k)
            for (int l = 0; l <= j; ++l)
                q[k][l] += surface.coefficients[term] * us[i][k] * wt[j][l];
    }
    // Power to Bernstein, one direction after the other.
    std::vector<std::vector<double>> half(static_cast<std::size_t>(n) + 1, std::vector<double>(n + 1, 0.0));
    for (int m = 0; m <= n; ++m)
        for (int l = 0; l <= n; ++l)
            for (int k = 0; k <= m; ++k)
                half[m][l] += q[k][l] * c[m][k] / c[n][k];
    BezierNet net;
    net.degree = n;
    net.points.resize(static_cast<std::size_t>(n + 1) * (n + 1));
    for (int m = 0; m <= n; ++m) {
        for (int p = 0; p <= n; ++p) {
            double z = 0.0;
            for (int l = 0; l <= p; ++l)
                z += half[m][l] * c[p][l] / c[n][l];
            const double x = m == n ? xMax : xMin + (xMax - xMin) * m / n;
            const double y = p == n ? yMax : yMin + (yMax - yMin) * p / n;
            net.points[static_cast<std::size_t>(m) * (n + 1) + p] = {x, y, z};
        }
    }
    return net;
}

BezierNet mirroredNet(const BezierNet& net)
{
    BezierNet mirrored = net;
    for (auto& p : mirrored.points)
        p[0] = 0.0 - p[0];  // 0 stays +0
    return mirrored;
}
