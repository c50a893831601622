#include "export/prism_dimensions.h"

#include <algorithm>
#include <cmath>

namespace {

// The largest value of f over the rectangle: a 97 x 97 grid, then a pattern
// search from the best node that halves its step down to 1e-13 of the
// rectangle (exact to rounding where the maximum is smooth or on an edge).
template <typename F>
double rectangleMaximum(const F& f, double xMin, double xMax, double yMin, double yMax)
{
    constexpr int nodes = 96;
    double bestX = xMin, bestY = yMin, best = f(xMin, yMin);
    for (int i = 0; i <= nodes; ++i) {
        for (int j = 0; j <= nodes; ++j) {
            const double x = i == nodes ? xMax : xMin + (xMax - xMin) * i / nodes;
            const double y = j == nodes ? yMax : yMin + (yMax - yMin) * j / nodes;
            const double v = f(x, y);
            if (v > best) {
                best = v;
                bestX = x;
                bestY = y;
            }
        }
    }
    double hx = (xMax - xMin) / nodes, hy = (yMax - yMin) / nodes;
    while (hx > 1e-13 * (xMax - xMin) || hy > 1e-13 * (yMax - yMin)) {
        bool moved = false;
        for (int di = -1; di <= 1; ++di) {
            for (int dj = -1; dj <= 1; ++dj) {
                const double x = std::clamp(bestX + di * hx, xMin, xMax);
                const double y = std::clamp(bestY + dj * hy, yMin, yMax);
                const double v = f(x, y);
                if (v > best) {
                    best = v;
                    bestX = x;
                    bestY = y;
                    moved = true;
                }
            }
        }
        if (!moved) {
            hx *= 0.5;
            hy *= 0.5;
        }
    }
    return best;
}

}  // namespace

PrismDimensions prismDimensions(const PrismFit& fit)
{
    PrismDimensions d;
    d.solid = prismAperture(fit);
    d.entrance = surfaceAperture(fit.entrance);
    d.exit = surfaceAperture(fit.exit);
    const double X = d.solid.halfWidthX, Y = d.solid.halfWidthY;
    const PrismSurface& top = fit.entrance.surface;
    const PrismSurface& bottom = fit.exit.surface;
    d.zMax = rectangleMaximum([&](double x, double y) { return top.leftHeight(x, y); }, -X, 0.0, -Y, Y);
    d.zMin = -rectangleMaximum([&](double x, double y) { return -bottom.leftHeight(x, y); }, -X, 0.0, -Y, Y);
    d.minThickness = -rectangleMaximum(
        [&](double x, double y) { return bottom.leftHeight(x, y) - top.leftHeight(x, y); }, -X, 0.0, -Y, Y);
    const auto thickness = [&](double x, double y) { return top.height(x, y) - bottom.height(x, y); };
    d.centreThickness = thickness(0.0, 0.0);
    d.cornerThickness = {thickness(-X, -Y), thickness(X, -Y), thickness(X, Y), thickness(-X, Y)};
    return d;
}
