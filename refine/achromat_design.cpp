#include "refine/achromat_design.h"

#include "fit/prism_interface.h"
#include "verify/prism_trace.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

using verify::Vec3;

// The sensor point of the left half's centre.
constexpr double centreX = -verify::PrismGeometry::quarterWidth;

// Slope dz/dx of a surface's left polynomial at (x, 0).
double slopeAt(const PrismSurface& s, double x)
{
    return s.leftSag(x, 0.0).dzdx;
}

// The left half's footprint, sampled: where each glass's thickness is taken.
std::vector<std::array<double, 2>> footprint(const PrismFit& fit)
{
    const ClearAperture a = prismAperture(fit);
    constexpr int grid = 41;
    std::vector<std::array<double, 2>> points;
    for (int i = 0; i < grid; ++i)
        for (int j = 0; j < grid; ++j)
            points.push_back({-a.halfWidthX * i / (grid - 1), -a.halfWidthY + 2.0 * a.halfWidthY * j / (grid - 1)});
    return points;
}

// The prism with the interface at slope `interfaceSlope` (dz/dx) and `exitTilt`
// added to the exit's slope, the interface `margin` below the entrance and
// the exit `margin` below the interface where each glass is thinnest.
PrismFit placed(const PrismFit& base, double interfaceSlope, double exitTilt, double margin)
{
    PrismFit fit = base;
    PrismSurface& between = fit.interface.fit.surface;
    PrismSurface& exit = fit.exit.surface;
    between.coefficients[1] = interfaceSlope * between.radius;
    between.coefficients[0] = 0.0;
    exit.coefficients[1] += exitTilt * exit.radius;
    const std::vector<std::array<double, 2>> points = footprint(fit);
    double crown = std::numeric_limits<double>::infinity();
    for (const auto& p : points)
        crown = std::min(crown, fit.entrance.surface.leftHeight(p[0], p[1]) - between.leftHeight(p[0], p[1]));
    between.coefficients[0] = crown - margin;
    double flint = std::numeric_limits<double>::infinity();
    for (const auto& p : points)
        flint = std::min(flint, between.leftHeight(p[0], p[1]) - exit.leftHeight(p[0], p[1]));
    exit.coefficients[0] += flint - margin;
    return fit;
}

// The centre ray's image x at the design wavelength against its ideal, and
// the shift between the band's edges, px; false when it is lost.
bool centreResiduals(const std::array<verify::PrismGeometry, 3>& at, const PrismFit& fit, double r[2])
{
    const verify::PrismSurfaces surfaces = verify::prismFitSurfaces(fit);
    double image[3];
    for (int k = 0; k < 3; ++k) {
        const verify::TracedRay ray = verify::traceCameraRay(at[static_cast<std::size_t>(k)], surfaces, centreX, 0.0);
        if (!ray.traced() || !(ray.direction.z() < 0.0))
            return false;
        image[k] = at[0].dz() * ray.direction.x() / ray.direction.z() / verify::pixelPitch;
    }
    // The ideal image of the left half's centre: the virtual camera's axis.
    r[0] = image[1];
    r[1] = image[0] - image[2];
    return true;
}

// Newton on the interface's slope and the exit's tilt: the centre ray leaves
// along its ideal direction at the design wavelength, and at the band's
// edges in parallel.
bool solveCentre(const std::array<verify::PrismGeometry, 3>& at, PrismFit* fit, double margin, double r[2])
{
    double slope = fit->interface.fit.surface.coefficients[1] / fit->interface.fit.surface.radius;
    double tilt = 0.0;
    const PrismFit base = *fit;
    PrismFit current = placed(base, slope, tilt, margin);
    if (!centreResiduals(at, current, r))
        return false;
    for (int iteration = 0; iteration < 12 && std::hypot(r[0], r[1]) > 1e-6; ++iteration) {
        constexpr double h = 1e-6;
        Eigen::Matrix2d jacobian;
        double a[2], b[2];
        if (!centreResiduals(at, placed(base, slope + h, tilt, margin), a)
            || !centreResiduals(at, placed(base, slope, tilt + h, margin), b))
            return false;
        jacobian << (a[0] - r[0]) / h, (b[0] - r[0]) / h, (a[1] - r[1]) / h, (b[1] - r[1]) / h;
        const Eigen::Vector2d step = jacobian.fullPivLu().solve(Eigen::Vector2d(-r[0], -r[1]));
        if (!step.allFinite())
            return false;
        // Damped: halve the step until the residual falls.
        double scale = 1.0;
        bool better = false;
        for (int k = 0; k < 20 && !better; ++k, scale *= 0.5) {
            double trial[2];
            const PrismFit candidate = placed(base, slope + scale * step[0], tilt + scale * step[1], margin);
            if (centreResiduals(at, candidate, trial) && std::hypot(trial[0], trial[1]) < std::hypot(r[0], r[1])) {
                slope += scale * step[0];
                tilt += scale * step[1];
                current = candidate;
                r[0] = trial[0];
                r[1] = trial[1];
                better = true;
            }
        }
        if (!better)
            break;
    }
    *fit = current;
    return true;
}

}  // namespace

verify::PrismGeometry cementedGeometry(verify::PrismGeometry geometry, const materials::Material& crown,
                                       const materials::Material& flint, double wavelengthNm)
{
    geometry.refractiveIndex = crown.index(wavelengthNm);
    geometry.secondIndex = flint.index(wavelengthNm);
    return geometry;
}

bool designAchromat(const verify::PrismGeometry& geometry, const PrismFit& single, const materials::Material& crown,
                    const materials::Material& flint, const AchromatOptions& options, AchromatResult* result,
                    QString* error)
{
    const materials::Band& band = options.band;
    // The single prism's wedge at the centre ray, and the deviation it makes.
    const verify::PrismSurfaces singleSurfaces = verify::prismFitSurfaces(single);
    const verify::TracedRay centre = verify::traceCameraRay(geometry, singleSurfaces, centreX, 0.0);
    if (!centre.traced()) {
        *error = QStringLiteral("no achromat: the centre ray of a half does not get through the prism");
        return false;
    }
    const double entranceAngle = std::atan(slopeAt(single.entrance.surface, centre.entrancePoint.x()));
    const double exitAngle = std::atan(slopeAt(single.exit.surface, centre.exitPoint.x()));
    result->singleDeviationRad = (geometry.refractiveIndex - 1.0) * (entranceAngle - exitAngle);
    if (!materials::thinPrismAchromat(crown, flint, result->singleDeviationRad, band, options.designNm, &result->thin,
                                      error))
        return false;

    // The start: the interface tilted by the crown's wedge from the entrance,
    // the exit by the flint's from the interface, at the centre ray.
    PrismFit fit = single;
    PrismInterface& cemented = fit.interface;
    cemented.present = true;
    cemented.crown = crown.name;
    cemented.flint = flint.name;
    cemented.designWavelengthNm = options.designNm;
    cemented.crownIndex = crown.index(options.designNm);
    cemented.flintIndex = flint.index(options.designNm);
    cemented.fit = PrismSurfaceFit();
    cemented.fit.surface.order = std::clamp(options.interfaceOrder, lowestPrismOrder, highestPrismOrder);
    cemented.fit.surface.x0 = single.entrance.surface.x0;
    cemented.fit.surface.radius = single.entrance.surface.radius;
    cemented.fit.surface.coefficients.assign(prismTerms(cemented.fit.surface.order).size(), 0.0);
    cemented.fit.domain = single.entrance.domain;
    const double interfaceAngle = entranceAngle - result->thin.crownAngle;
    const double newExitAngle = interfaceAngle - result->thin.flintAngle;
    cemented.fit.surface.coefficients[1] = std::tan(interfaceAngle) * cemented.fit.surface.radius;
    const double exitSlope = slopeAt(single.exit.surface, centre.exitPoint.x());
    fit = placed(fit, std::tan(interfaceAngle), std::tan(newExitAngle) - exitSlope, options.marginMm);

    const std::array<verify::PrismGeometry, 3> at = {cementedGeometry(geometry, crown, flint, band.lowNm),
                                                     cementedGeometry(geometry, crown, flint, options.designNm),
                                                     cementedGeometry(geometry, crown, flint, band.highNm)};
    double r[2] = {0.0, 0.0};
    for (int round = 0; round < std::max(1, options.rounds); ++round) {
        if (!solveCentre(at, &fit, options.marginMm, r)) {
            *error = QStringLiteral("no achromat: the centre ray is lost in the cemented prism of %1 and %2")
                         .arg(crown.name, flint.name);
            return false;
        }
        result->optimized = optimizePrismFit(at[1], fit, options.targets, options.optimize);
        fit = result->optimized.fit;
    }
    if (!centreResiduals(at, fit, r)) {
        *error = QStringLiteral("no achromat: the centre ray is lost in the optimised cemented prism");
        return false;
    }
    result->centreDirectionPx = r[0];
    result->centreColourPx = r[1];
    result->fit = fit;
    return checkCementedThickness(fit, leastGlassThicknessMm, error);
}
