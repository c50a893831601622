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
// The columns next to the centre left out of the colour's mean.
constexpr int centreBandColumns = 32;

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

// The left half's pixels whose image shifts between the band's edges are
// averaged: a sample outside the columns nearest the centre, whose rays may
// cross into the other half.
std::vector<double> colourSample()
{
    std::vector<double> xy;
    for (const verify::Pixel& p : verify::samplePixels(40)) {
        if (p.column >= verify::centralColumn - centreBandColumns)
            continue;
        xy.push_back(verify::pixelX(p.column));
        xy.push_back(verify::pixelY(p.row));
    }
    return xy;
}

// The image x of the ray of sensor point (x, y), px; false when it is lost.
bool imageX(const verify::PrismGeometry& g, const verify::PrismSurfaces& surfaces, double x, double y, double* image)
{
    const verify::TracedRay ray = verify::traceCameraRay(g, surfaces, x, y);
    if (!ray.traced() || !(ray.direction.z() < 0.0))
        return false;
    *image = g.dz() * ray.direction.x() / ray.direction.z() / verify::pixelPitch;
    return true;
}

// The centre ray's image x at the design wavelength against its ideal (the
// virtual camera's axis), and the half's mean image shift between the
// band's edges over `sample`, px; false when a ray is lost.
bool centreResiduals(const std::array<verify::PrismGeometry, 3>& at, const PrismFit& fit,
                     const std::vector<double>& sample, double r[2])
{
    const verify::PrismSurfaces surfaces = verify::prismFitSurfaces(fit);
    if (!imageX(at[1], surfaces, centreX, 0.0, &r[0]))
        return false;
    double sum = 0.0;
    int count = 0;
    for (std::size_t k = 0; k + 1 < sample.size(); k += 2) {
        double low = 0.0, high = 0.0;
        if (imageX(at[0], surfaces, sample[k], sample[k + 1], &low)
            && imageX(at[2], surfaces, sample[k], sample[k + 1], &high)) {
            sum += low - high;
            ++count;
        }
    }
    if (2 * count < int(sample.size() / 2))
        return false;  // most of the half is lost
    r[1] = sum / count;
    return true;
}

// Newton on the interface's slope and the exit's tilt: the centre ray leaves
// along its ideal direction at the design wavelength, and the half's rays
// leave at the band's edges parallel on average.
bool solveCentre(const std::array<verify::PrismGeometry, 3>& at, PrismFit* fit, double margin, double r[2])
{
    const std::vector<double> sample = colourSample();
    double slope = fit->interface.fit.surface.coefficients[1] / fit->interface.fit.surface.radius;
    double tilt = 0.0;
    const PrismFit base = *fit;
    PrismFit current = placed(base, slope, tilt, margin);
    if (!centreResiduals(at, current, sample, r))
        return false;
    for (int iteration = 0; iteration < 12 && std::hypot(r[0], r[1]) > 1e-6; ++iteration) {
        constexpr double h = 1e-6;
        Eigen::Matrix2d jacobian;
        double a[2], b[2];
        if (!centreResiduals(at, placed(base, slope + h, tilt, margin), sample, a)
            || !centreResiduals(at, placed(base, slope, tilt + h, margin), sample, b))
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
            if (centreResiduals(at, candidate, sample, trial) && std::hypot(trial[0], trial[1]) < std::hypot(r[0], r[1])) {
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

// The images (x, y, px) of the sample's rays at the three wavelengths, six
// numbers per pixel; NaN for a ray that is lost.
std::vector<double> sampleImages(const std::array<verify::PrismGeometry, 3>& at, const PrismFit& fit,
                                 const std::vector<double>& sample)
{
    const verify::PrismSurfaces surfaces = verify::prismFitSurfaces(fit);
    std::vector<double> images(sample.size() * 3, std::nan(""));
    for (std::size_t k = 0; k + 1 < sample.size(); k += 2) {
        for (std::size_t w = 0; w < 3; ++w) {
            const verify::TracedRay ray = verify::traceCameraRay(at[w], surfaces, sample[k], sample[k + 1]);
            if (!ray.traced() || !(ray.direction.z() < 0.0))
                continue;
            const double scale = at[w].dz() / ray.direction.z() / verify::pixelPitch;
            images[k * 3 + 2 * w] = scale * ray.direction.x();
            images[k * 3 + 2 * w + 1] = scale * ray.direction.y();
        }
    }
    return images;
}

// The coefficients the colour correction moves: the interface's and the
// exit's, even in y and without their constant terms.
struct ShapeUnknown {
    bool interface;
    std::size_t index;
};

std::vector<ShapeUnknown> shapeUnknowns(const PrismFit& fit)
{
    std::vector<ShapeUnknown> unknowns;
    for (const bool interface : {true, false}) {
        const PrismSurface& s = interface ? fit.interface.fit.surface : fit.exit.surface;
        const std::vector<PrismTerm>& terms = prismTermTable(s.order);
        for (std::size_t t = 1; t < terms.size() && t < s.coefficients.size(); ++t)
            if (terms[t].wPower % 2 == 0)
                unknowns.push_back({interface, t});
    }
    return unknowns;
}

double& coefficient(PrismFit* fit, const ShapeUnknown& u)
{
    return (u.interface ? fit->interface.fit.surface : fit->exit.surface).coefficients[u.index];
}

// Per sample pixel: the image shift between the band's edges (x, y) and the
// design wavelength's image against `kept` (x, y, the ideal), px; a lost ray
// counts as `lostPx` in each.
Eigen::VectorXd colourResiduals(const std::vector<double>& images, const std::vector<double>& kept)
{
    constexpr double lostPx = 100.0;
    const std::size_t pixels = images.size() / 6;
    Eigen::VectorXd r(static_cast<Eigen::Index>(pixels * 4));
    for (std::size_t p = 0; p < pixels; ++p) {
        const double* i = &images[p * 6];
        const double* k = &kept[p * 6];
        const double values[4] = {i[0] - i[4], i[1] - i[5], i[2] - k[2], i[3] - k[3]};
        for (int c = 0; c < 4; ++c)
            r[static_cast<Eigen::Index>(p * 4 + c)] = std::isfinite(values[c]) ? values[c] : lostPx;
    }
    return r;
}

// Levenberg-Marquardt (forward differences) on the interface's shape and
// the exit's: the image shift between the band's edges goes to zero over the
// sample while the design wavelength's images go to the ideal virtual
// camera's.
void correctColour(const std::array<verify::PrismGeometry, 3>& at, const std::vector<double>& sample, PrismFit* fit)
{
    std::vector<double> kept = sampleImages(at, *fit, sample);
    // Only pixels traced at the start take part.
    std::vector<double> traced;
    for (std::size_t p = 0; p + 1 < sample.size(); p += 2) {
        bool all = true;
        for (int c = 0; c < 6; ++c)
            all = all && std::isfinite(kept[p * 3 + static_cast<std::size_t>(c)]);
        if (all) {
            traced.push_back(sample[p]);
            traced.push_back(sample[p + 1]);
        }
    }
    // The design wavelength's images go to the ideal virtual camera's:
    // direction (x + quarter width, y, dz), imaged at (x + quarter width, y).
    kept.assign(traced.size() * 3, 0.0);
    for (std::size_t p = 0; p + 1 < traced.size(); p += 2) {
        kept[p * 3 + 2] = (traced[p] + verify::PrismGeometry::quarterWidth) / verify::pixelPitch;
        kept[p * 3 + 3] = traced[p + 1] / verify::pixelPitch;
    }
    const std::vector<ShapeUnknown> unknowns = shapeUnknowns(*fit);
    const Eigen::Index n = static_cast<Eigen::Index>(unknowns.size());
    Eigen::VectorXd r = colourResiduals(sampleImages(at, *fit, traced), kept);
    double cost = r.squaredNorm();
    double lambda = 1e-3;
    for (int iteration = 0; iteration < 20; ++iteration) {
        Eigen::MatrixXd jacobian(r.size(), n);
        for (Eigen::Index k = 0; k < n; ++k) {
            constexpr double h = 1e-6;
            PrismFit moved = *fit;
            coefficient(&moved, unknowns[static_cast<std::size_t>(k)]) += h;
            jacobian.col(k) = (colourResiduals(sampleImages(at, moved, traced), kept) - r) / h;
        }
        const Eigen::MatrixXd normal = jacobian.transpose() * jacobian;
        const Eigen::VectorXd gradient = jacobian.transpose() * r;
        bool better = false;
        for (int attempt = 0; attempt < 8 && !better; ++attempt, lambda *= 10.0) {
            Eigen::MatrixXd damped = normal;
            damped.diagonal() += lambda * normal.diagonal();
            const Eigen::VectorXd step = damped.ldlt().solve(-gradient);
            if (!step.allFinite())
                continue;
            PrismFit trial = *fit;
            for (Eigen::Index k = 0; k < n; ++k)
                coefficient(&trial, unknowns[static_cast<std::size_t>(k)]) += step[k];
            const Eigen::VectorXd trialResiduals = colourResiduals(sampleImages(at, trial, traced), kept);
            if (trialResiduals.squaredNorm() < cost) {
                *fit = trial;
                r = trialResiduals;
                better = cost - trialResiduals.squaredNorm() > 1e-6 * cost;
                cost = trialResiduals.squaredNorm();
                lambda = std::max(lambda * 0.01, 1e-9);
                if (!better)
                    return;
                better = true;
            }
        }
        if (!better)
            return;
    }
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
    if (!solveCentre(at, &fit, options.marginMm, r)) {
        *error = QStringLiteral("no achromat: the centre ray is lost in the cemented prism of %1 and %2")
                     .arg(crown.name, flint.name);
        return false;
    }
    correctColour(at, colourSample(), &fit);
    PrismOptimizeOptions optimize = options.optimize;
    optimize.colour.enabled = true;
    optimize.colour.shortCrownIndex = at[0].refractiveIndex;
    optimize.colour.shortFlintIndex = at[0].secondIndex;
    optimize.colour.longCrownIndex = at[2].refractiveIndex;
    optimize.colour.longFlintIndex = at[2].secondIndex;
    optimize.colour.weight = options.colourWeight;
    optimize.colour.stride = options.colourStride;
    optimize.relativeTolerance = options.relativeTolerance;
    result->optimized = optimizePrismFit(at[1], fit, options.targets, optimize);
    fit = result->optimized.fit;
    if (!centreResiduals(at, fit, colourSample(), r)) {
        *error = QStringLiteral("no achromat: the centre ray is lost in the optimised cemented prism");
        return false;
    }
    result->centreDirectionPx = r[0];
    result->centreColourPx = r[1];
    result->fit = fit;
    return checkCementedThickness(fit, leastGlassThicknessMm, error);
}
