#pragma once

// A synthetic prism fit and the surfaces' values from their definition, for
// the export tests (independent of PrismSurface's own evaluation).

#include "fit/prism_file.h"

#include <algorithm>
#include <cmath>

// A surface of the solid evaluated from its definition: the left half's
// polynomial sum c_k u^a w^b for x < 0, its mirror image for x >= 0. With
// `derivative` 0: z; 1: dz/dx; 2: dz/dy; 3: d2z/dxdy; 4: d2z/dx2.
inline double halfSurface(const PrismSurface& s, double side, double x, double y, int derivative = 0)
{
    const double xl = side < 0.0 ? x : -x;
    const double u = (xl - s.x0) / s.radius, w = y / s.radius;
    double value = 0.0;
    std::size_t k = 0;
    const int xOrder = derivative == 1 || derivative == 3 ? 1 : derivative == 4 ? 2 : 0;
    const int yOrder = derivative == 2 || derivative == 3 ? 1 : 0;
    for (int degree = 0; degree <= s.order; ++degree)
        for (int a = degree; a >= 0; --a, ++k) {
            const int b = degree - a;
            if (a < xOrder || b < yOrder)
                continue;
            double factor = 1.0;
            for (int q = 0; q < xOrder; ++q)
                factor *= a - q;
            for (int q = 0; q < yOrder; ++q)
                factor *= b - q;
            value += s.coefficients[k] * factor * std::pow(u, a - xOrder) * std::pow(w, b - yOrder);
        }
    const double sign = (side > 0.0 && xOrder % 2 == 1) ? -1.0 : 1.0;
    return sign * value / std::pow(s.radius, xOrder + yOrder);
}

inline double solidSurface(const PrismSurface& s, double x, double y, int derivative = 0)
{
    return halfSurface(s, x < 0.0 ? -1.0 : 1.0, x, y, derivative);
}

// A prism of gently curved surfaces, heights like the default design's.
inline PrismFileContent testPrism(int exitOrder, int entranceOrder)
{
    PrismFileContent c;
    const auto surface = [](PrismSurfaceFit* f, int order, double base, double x0, SurfaceDomain domain) {
        f->surface.order = order;
        f->surface.x0 = x0;
        f->surface.radius = std::max(0.5 * (domain.xMax - domain.xMin), domain.yMax);
        const std::size_t terms = static_cast<std::size_t>((order + 1) * (order + 2) / 2);
        f->surface.coefficients.assign(terms, 0.0);
        f->surface.coefficients[0] = base;
        for (std::size_t k = 1; k < terms; ++k)
            f->surface.coefficients[k] = 0.4 * std::sin(1.7 * k) / k;
        f->domain = domain;
    };
    surface(&c.fit.exit, exitOrder, 0.6, -14.9, {-30.7, 0.9, -17.43, 17.43});
    surface(&c.fit.entrance, entranceOrder, 13.0, -15.07, {-30.1, -0.03, -16.56, 16.56});
    c.fit.order = std::max(exitOrder, entranceOrder);
    return c;
}

