#include "refine/prism_optimize.h"

#include "core/parallel_for.h"
#include "verify/prism_trace.h"

#include <Eigen/Dense>

#include <cmath>

namespace {

using verify::Vec3;

constexpr int residualsPerTarget = 4;

int parameterCount(const PrismFit& fit)
{
    return static_cast<int>(fit.exit.surface.coefficients.size() + fit.entrance.surface.coefficients.size());
}

Eigen::VectorXd parametersOf(const PrismFit& fit)
{
    Eigen::VectorXd p(parameterCount(fit));
    int k = 0;
    for (double c : fit.exit.surface.coefficients)
        p(k++) = c;
    for (double c : fit.entrance.surface.coefficients)
        p(k++) = c;
    return p;
}

PrismFit withParameters(const PrismFit& fit, const Eigen::VectorXd& p)
{
    PrismFit f = fit;
    int k = 0;
    for (double& c : f.exit.surface.coefficients)
        c = p(k++);
    for (double& c : f.entrance.surface.coefficients)
        c = p(k++);
    return f;
}

Eigen::Index anchorCount(const PrismOptimizeOptions& options)
{
    if (!options.anchor || options.anchorStride < 1)
        return 0;
    const auto count = [&](const SurfacePoints& p) { return (p.size() + options.anchorStride - 1) / options.anchorStride; };
    return count(options.anchor->exitLeft) + count(options.anchor->entranceLeft);
}

struct Evaluation {
    Eigen::VectorXd residuals;
    double directionSquares = 0.0;
    double pinholeSquares = 0.0;
    int traced = 0;
};

// The residuals of every target through the surfaces of `fit`, in target
// order, on one thread.
Eigen::VectorXd residualsOf(const verify::PrismGeometry& g, const PrismFit& fit,
                            const std::vector<PrismRayTarget>& targets, const PrismOptimizeOptions& options,
                            Evaluation* evaluation = nullptr)
{
    const verify::PrismSurfaces surfaces = verify::prismFitSurfaces(fit);
    const double dz = g.dz();
    const Eigen::Index rays = residualsPerTarget * static_cast<Eigen::Index>(targets.size());
    Eigen::VectorXd r(rays + anchorCount(options));
    if (options.anchor) {
        Eigen::Index k = rays;
        for (const auto& [points, surface] :
             {std::pair<const SurfacePoints*, const PrismSurface*>{&options.anchor->exitLeft, &fit.exit.surface},
              {&options.anchor->entranceLeft, &fit.entrance.surface}})
            for (int p = 0; p < points->size(); p += options.anchorStride)
                r(k++) = options.anchorWeightPxPerMm * (surface->leftHeight(points->x[p], points->y[p]) - points->z[p]);
    }
    for (std::size_t t = 0; t < targets.size(); ++t) {
        const PrismRayTarget& target = targets[t];
        const verify::TracedRay ray = verify::traceCameraRay(g, surfaces, target.x, target.y);
        double* out = r.data() + residualsPerTarget * t;
        const Vec3& d = ray.direction;
        if (!ray.traced() || !(d.z() < 0.0)) {
            for (int k = 0; k < residualsPerTarget; ++k)
                out[k] = options.untracedPenaltyPx;
            continue;
        }
        const Vec3& want = target.direction;
        out[0] = dz * (d.x() / d.z() - want.x() / want.z()) / verify::pixelPitch;
        out[1] = dz * (d.y() / d.z() - want.y() / want.z()) / verify::pixelPitch;
        // The offset of the line from the pinhole, perpendicular to it; for a
        // ray going mostly along -z its x and y components carry it.
        const Vec3 offset = (target.pinhole - ray.exitPoint).cross(d);
        out[2] = options.pinholeWeightPxPerMm * offset.x();
        out[3] = options.pinholeWeightPxPerMm * offset.y();
        if (evaluation) {
            evaluation->directionSquares += out[0] * out[0] + out[1] * out[1];
            evaluation->pinholeSquares += offset.squaredNorm();
            ++evaluation->traced;
        }
    }
    return r;
}

PrismOptimizeProgress progressOf(const Eigen::VectorXd& r, const Evaluation& e, int iteration, double damping)
{
    PrismOptimizeProgress p;
    p.iteration = iteration;
    p.cost = r.squaredNorm();
    p.directionRmsPx = e.traced > 0 ? std::sqrt(e.directionSquares / e.traced) : std::nan("");
    p.pinholeRmsMm = e.traced > 0 ? std::sqrt(e.pinholeSquares / e.traced) : std::nan("");
    p.damping = damping;
    return p;
}

}  // namespace

std::vector<PrismRayTarget> idealRayTargets(const verify::PrismGeometry& g, const std::vector<verify::Pixel>& pixels)
{
    std::vector<PrismRayTarget> targets;
    targets.reserve(pixels.size());
    const double q = verify::PrismGeometry::quarterWidth;
    for (const verify::Pixel& pixel : pixels) {
        PrismRayTarget t;
        t.x = verify::pixelX(pixel.column);
        t.y = verify::pixelY(pixel.row);
        const bool left = t.x < 0.0;
        const double xv = left ? t.x + q : t.x - q;
        t.direction = Vec3(xv, t.y, g.dz()).normalized();
        t.pinhole = Vec3(left ? g.virtualPinholeX : -g.virtualPinholeX, 0.0, g.pinholeHeight());
        targets.push_back(t);
    }
    return targets;
}

PrismOptimizeResult optimizePrismFit(const verify::PrismGeometry& g, const PrismFit& start,
                                     const std::vector<PrismRayTarget>& targets, const PrismOptimizeOptions& options)
{
    PrismOptimizeResult result;
    result.fit = start;
    const int n = parameterCount(start);
    const int workers = resolveThreadCount(options.threadCount);
    Eigen::VectorXd p = parametersOf(start);
    Evaluation evaluation;
    Eigen::VectorXd r = residualsOf(g, start, targets, options, &evaluation);
    double lambda = 1e-3;
    result.start = progressOf(r, evaluation, 0, 0.0);
    result.end = result.start;
    if (targets.empty() || n == 0 || (options.anchor && options.anchorStride < 1)) {
        result.stopReason = QStringLiteral("nothing to optimise: no pixels or no coefficients");
        return result;
    }
    if (options.progress)
        options.progress(result.start);
    const Eigen::Index m = r.size();
    for (int iteration = 1; iteration <= options.maxIterations; ++iteration) {
        // Forward differences, one coefficient per task.
        Eigen::MatrixXd jacobian(m, n);
        parallelFor(n, workers, [&](int, int j) {
            Eigen::VectorXd shifted = p;
            const double h = 1e-6 * std::max(1.0, std::abs(p(j)));
            shifted(j) += h;
            jacobian.col(j) = (residualsOf(g, withParameters(start, shifted), targets, options) - r) / h;
        });
        const Eigen::VectorXd scale = jacobian.colwise().norm().transpose().cwiseMax(1e-12);
        bool accepted = false;
        Eigen::VectorXd trialP, trialR;
        Evaluation trialEvaluation;
        for (int attempt = 0; attempt < 12 && !accepted; ++attempt) {
            // min |J s + r|^2 + lambda |D s|^2 as one least-squares system.
            Eigen::MatrixXd a(m + n, n);
            a.topRows(m) = jacobian;
            a.bottomRows(n) = (std::sqrt(lambda) * scale).asDiagonal();
            Eigen::VectorXd b = Eigen::VectorXd::Zero(m + n);
            b.head(m) = -r;
            const Eigen::VectorXd step = a.colPivHouseholderQr().solve(b);
            trialP = p + step;
            trialEvaluation = Evaluation();
            trialR = residualsOf(g, withParameters(start, trialP), targets, options, &trialEvaluation);
            if (trialR.squaredNorm() < r.squaredNorm()) {
                accepted = true;
                lambda = std::max(lambda / 3.0, 1e-12);
            } else {
                lambda *= 4.0;
            }
        }
        if (!accepted) {
            result.iterations = iteration - 1;
            result.converged = true;
            result.stopReason = QStringLiteral("stopped after %1 iterations: no damped step lowers the error").arg(iteration - 1);
            break;
        }
        const double before = r.squaredNorm();
        p = trialP;
        r = trialR;
        result.iterations = iteration;
        result.end = progressOf(r, trialEvaluation, iteration, lambda);
        if (options.progress)
            options.progress(result.end);
        if (before - r.squaredNorm() < options.relativeTolerance * before) {
            result.converged = true;
            result.stopReason = QStringLiteral("converged after %1 iterations: the last step lowered the error by "
                                               "less than %2 of it")
                                    .arg(iteration)
                                    .arg(options.relativeTolerance);
            break;
        }
        if (iteration == options.maxIterations)
            result.stopReason = QStringLiteral("stopped at the iteration limit of %1 before converging")
                                    .arg(options.maxIterations);
    }
    result.fit = withParameters(start, p);
    return result;
}
