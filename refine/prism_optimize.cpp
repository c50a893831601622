#include "refine/prism_optimize.h"

#include "core/optics.h"
#include "core/parallel_for.h"

#include <ceres/ceres.h>
#include <ceres/rotation.h>

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <type_traits>

namespace {

using optics::Vec3T;
using verify::Vec3;

constexpr int stereoResidualCount = 5;
constexpr int mappingResiduals = 4;
constexpr int poseSize = 6;

// The free coefficients of one surface: which of prismTerms(order) they are.
struct FreeTerms {
    std::vector<PrismTerm> terms;
    std::vector<std::size_t> index;  // into PrismSurface::coefficients
    double x0 = 0.0;
    double radius = 1.0;
};

FreeTerms freeTerms(const PrismSurface& surface, bool evenInY)
{
    FreeTerms f;
    f.x0 = surface.x0;
    f.radius = surface.radius;
    const std::vector<PrismTerm>& all = prismTermTable(surface.order);
    for (std::size_t t = 0; t < all.size() && t < surface.coefficients.size(); ++t) {
        if (evenInY && all[t].wPower % 2 != 0)
            continue;
        f.terms.push_back(all[t]);
        f.index.push_back(t);
    }
    return f;
}

std::vector<double> freeValues(const PrismSurface& surface, const FreeTerms& f)
{
    std::vector<double> v;
    for (std::size_t i : f.index)
        v.push_back(surface.coefficients[i]);
    return v;
}

// The surface with the free values put back; the others 0 when they are
// held (evenInY) at 0.
void putBack(PrismSurface* surface, const FreeTerms& f, const std::vector<double>& values, bool zeroOthers)
{
    if (zeroOthers)
        std::fill(surface->coefficients.begin(), surface->coefficients.end(), 0.0);
    for (std::size_t k = 0; k < f.index.size(); ++k)
        surface->coefficients[f.index[k]] = values[k];
}

// The camera, the glass and the free terms of both surfaces.
struct TraceModel {
    double pinholeHeight = 0.0;  // F
    double dz = 0.0;
    double index = 1.0;
    FreeTerms exit;
    FreeTerms entrance;
    // A cemented prism's interface and the glass behind it. The interface
    // is either held at `interfaceCoefficients` (all its terms) or free (its
    // even terms in y, given with the others).
    bool cemented = false;
    bool interfaceFree = false;
    FreeTerms interface;
    std::vector<double> interfaceCoefficients;
    double secondIndex = 1.0;
};

// The solid: the left half's polynomial for x < 0, its mirror image beyond.
template <typename T>
T solidHeight(const FreeTerms& f, const T* c, const T& x, const T& y, T* sx, T* sy)
{
    if (x < T(0.0))
        return prismPolynomial(f.terms.data(), c, f.terms.size(), f.x0, f.radius, x, y, sx, sy);
    const T z = prismPolynomial(f.terms.data(), c, f.terms.size(), f.x0, f.radius, T(-x), y, sx, sy);
    *sx = -*sx;
    return z;
}

// The camera ray of sensor point (x, y) through the solid, as the verifier
// traces it; false when it misses a surface or is totally reflected. With
// `starts`, both searches start there and take a Newton step (derivatives);
// `found` receives the distances. `interfaceC`: a free interface's
// coefficients (nullptr when it is held or there is none).
template <typename T>
bool traceSolid(const TraceModel& m, const T* exitC, const T* entranceC, const T* interfaceC, double x, double y,
                const double* starts, double* found, Vec3T<T>* exitPoint, Vec3T<T>* direction,
                Vec3T<T>* entrancePoint = nullptr)
{
    const Vec3T<T> o(T(0.0), T(0.0), T(m.pinholeHeight));
    const Vec3T<T> w = Vec3(x, y, m.dz).normalized().cast<T>();
    optics::HeightFieldSearch first, second;
    if (starts) {
        first = {&starts[0], 1};
        second = {&starts[1], 1};
    }
    const auto entrance = optics::intersectHeightField<T>(
        o, w, [&](const T& px, const T& py, T* sx, T* sy) { return solidHeight(m.entrance, entranceC, px, py, sx, sy); },
        first);
    if (entrance.status != optics::HeightFieldStatus::Hit)
        return false;
    if (entrancePoint)
        *entrancePoint = entrance.point;
    Vec3T<T> inside;
    if (!optics::refract<T>(w, optics::heightFieldNormal(entrance.slopeX, entrance.slopeY), T(1.0 / m.index), &inside))
        return false;
    Vec3T<T> origin = entrance.point;
    double lastIndex = m.index;
    if (m.cemented) {
        optics::HeightFieldSearch between;
        if (starts)
            between = {&starts[2], 1};
        std::vector<T> held;
        if (!interfaceC) {
            for (double c : m.interfaceCoefficients)
                held.push_back(T(c));
            interfaceC = held.data();
        }
        const auto crossing = optics::intersectHeightField<T>(
            origin, inside,
            [&](const T& px, const T& py, T* sx, T* sy) {
                return solidHeight(m.interface, interfaceC, px, py, sx, sy);
            },
            between);
        if (crossing.status != optics::HeightFieldStatus::Hit)
            return false;
        if (found)
            found[2] = optics::valueOf(crossing.distance);
        Vec3T<T> flint;
        if (!optics::refract<T>(inside, optics::heightFieldNormal(crossing.slopeX, crossing.slopeY),
                                T(m.index / m.secondIndex), &flint))
            return false;
        origin = crossing.point;
        inside = flint;
        lastIndex = m.secondIndex;
    }
    const auto exit = optics::intersectHeightField<T>(
        origin, inside,
        [&](const T& px, const T& py, T* sx, T* sy) { return solidHeight(m.exit, exitC, px, py, sx, sy); }, second);
    if (exit.status != optics::HeightFieldStatus::Hit)
        return false;
    if (found) {
        found[0] = optics::valueOf(entrance.distance);
        found[1] = optics::valueOf(exit.distance);
    }
    if (!optics::refract<T>(inside, optics::heightFieldNormal(exit.slopeX, exit.slopeY), T(lastIndex), direction))
        return false;
    *exitPoint = exit.point;
    return direction->z() < T(0.0);
}

// The same for any scalar: a dual number's trace starts where the double
// trace of its values met the surfaces.
template <typename T>
bool traceRay(const TraceModel& m, const T* exitC, const T* entranceC, const T* interfaceC, double x, double y,
              Vec3T<T>* exitPoint, Vec3T<T>* direction)
{
    if constexpr (std::is_same_v<T, double>) {
        return traceSolid<double>(m, exitC, entranceC, interfaceC, x, y, nullptr, nullptr, exitPoint, direction);
    } else {
        constexpr std::size_t most = (highestPrismOrder + 1) * (highestPrismOrder + 2) / 2;
        double e[most], n[most], i[most];
        for (std::size_t k = 0; k < m.exit.terms.size(); ++k)
            e[k] = optics::valueOf(exitC[k]);
        for (std::size_t k = 0; k < m.entrance.terms.size(); ++k)
            n[k] = optics::valueOf(entranceC[k]);
        if (interfaceC)
            for (std::size_t k = 0; k < m.interface.terms.size(); ++k)
                i[k] = optics::valueOf(interfaceC[k]);
        double starts[3];
        Vec3 p, d;
        if (!traceSolid<double>(m, e, n, interfaceC ? i : nullptr, x, y, nullptr, starts, &p, &d))
            return false;
        return traceSolid<T>(m, exitC, entranceC, interfaceC, x, y, starts, nullptr, exitPoint, direction);
    }
}

// Where the left half's camera images sensor point (x, y), in its pixels
// (u to the right, v downwards; OpenCV's convention).
double halfPixelU(double x) { return x / verify::pixelPitch + verify::sensorColumns / 2; }
double halfPixelV(double y) { return verify::sensorRows / 2 - y / verify::pixelPitch; }

struct StereoModel {
    optics::DistortionModel camera = optics::DistortionModel::Standard;
    double nonCentralityWeight = 1.0;  // px per mm at the near depth
    double penalty = 1000.0;
};

// The stereo residuals of one traced ray (exit point, outgoing direction)
// of sensor point (x, y): its image in the half's camera against the pixel,
// and its offset from the common point weighted into pixels. `pose` holds
// the common point, then the camera's rotation (angle-axis).
template <typename T>
void stereoResiduals(const StereoModel& stereo, const T* camera, const T* pose, const Vec3T<T>& point,
                     const Vec3T<T>& d, double x, double y, T* r)
{
    T u, v;
    const T seen[3] = {d.x(), T(-d.y()), T(-d.z())};
    T turned[3];
    ceres::AngleAxisRotatePoint(pose + 3, seen, turned);
    optics::projectPoint<T>(stereo.camera, camera, turned[0], turned[1], turned[2], &u, &v);
    r[0] = u - halfPixelU(x);
    r[1] = v - halfPixelV(y);
    const Vec3T<T> common(pose[0], pose[1], pose[2]);
    const Vec3T<T> offset = (common - point).cross(d);
    for (int k = 0; k < 3; ++k)
        r[2 + k] = stereo.nonCentralityWeight * offset[k];
}

// Blocks: exit terms, entrance terms, camera, common point, and a free
// interface's terms.
struct StereoPixelCost {
    const TraceModel* model;
    const StereoModel* stereo;
    double x, y;

    template <typename T>
    bool operator()(T const* const* p, T* r) const
    {
        Vec3T<T> point, d;
        if (!traceRay<T>(*model, p[0], p[1], model->interfaceFree ? p[4] : nullptr, x, y, &point, &d)) {
            for (int k = 0; k < stereoResidualCount; ++k)
                r[k] = T(stereo->penalty);
            return true;
        }
        stereoResiduals<T>(*stereo, p[2], p[3], point, d, x, y, r);
        return true;
    }
};

// The same with the surfaces held: the ray traced once. Blocks: camera,
// common point.
struct StereoCameraCost {
    const StereoModel* stereo;
    Vec3 point, direction;
    double x, y;

    template <typename T>
    bool operator()(T const* const* p, T* r) const
    {
        stereoResiduals<T>(*stereo, p[0], p[1], point.cast<T>(), direction.cast<T>(), x, y, r);
        return true;
    }
};

// The image displacement of sensor point (x, y) between the band's two
// edges, px, times `weight`: the same prism traced with each edge's indices.
// Blocks: exit terms, entrance terms, interface terms.
struct ColourPixelCost {
    const TraceModel* shortEdge;
    const TraceModel* longEdge;
    double x, y, weight, penalty;

    template <typename T>
    bool operator()(T const* const* p, T* r) const
    {
        Vec3T<T> point, s, l;
        if (!traceRay<T>(*shortEdge, p[0], p[1], p[2], x, y, &point, &s)
            || !traceRay<T>(*longEdge, p[0], p[1], p[2], x, y, &point, &l)) {
            r[0] = r[1] = T(penalty);
            return true;
        }
        const double scale = weight * shortEdge->dz / verify::pixelPitch;
        r[0] = scale * (s.x() / s.z() - l.x() / l.z());
        r[1] = scale * (s.y() / s.z() - l.y() / l.z());
        return true;
    }
};

// Blocks: exit terms, entrance terms.
struct MappingPixelCost {
    const TraceModel* model;
    PrismRayTarget target;
    double pinholeWeight;
    double penalty;

    template <typename T>
    bool operator()(T const* const* p, T* r) const
    {
        Vec3T<T> point, d;
        if (!traceRay<T>(*model, p[0], p[1], nullptr, target.x, target.y, &point, &d)) {
            for (int k = 0; k < mappingResiduals; ++k)
                r[k] = T(penalty);
            return true;
        }
        const Vec3& want = target.direction;
        r[0] = model->dz * (d.x() / d.z() - want.x() / want.z()) / verify::pixelPitch;
        r[1] = model->dz * (d.y() / d.z() - want.y() / want.z()) / verify::pixelPitch;
        // The offset of the line from the pinhole, perpendicular to it; for a
        // ray going mostly along -z its x and y components carry it.
        const Vec3T<T> offset = (target.pinhole.cast<T>() - point).cross(d);
        r[2] = pinholeWeight * offset.x();
        r[3] = pinholeWeight * offset.y();
        return true;
    }
};

// One surface's height at a design point against the point (mapping anchor).
struct AnchorCost {
    const FreeTerms* terms;
    double x, y, z, weight;

    template <typename T>
    bool operator()(T const* const* p, T* r) const
    {
        r[0] = weight * (prismPolynomial(terms->terms.data(), p[0], terms->terms.size(), terms->x0, terms->radius,
                                         T(x), T(y)) - z);
        return true;
    }
};

// The glass at (x, y) of the left half no thinner than `least`.
struct ThicknessCost {
    const TraceModel* model;
    double x, y, least, weight;

    template <typename T>
    bool operator()(T const* const* p, T* r) const
    {
        const FreeTerms& e = model->exit;
        const FreeTerms& n = model->entrance;
        const T thickness = prismPolynomial(n.terms.data(), p[1], n.terms.size(), n.x0, n.radius, T(x), T(y))
                            - prismPolynomial(e.terms.data(), p[0], e.terms.size(), e.x0, e.radius, T(x), T(y));
        r[0] = thickness < T(least) ? T(weight * (least - thickness)) : T(0.0);
        return true;
    }
};

// A cemented prism's two glasses at (x, y) of the left half no thinner than
// their least: the crown between the entrance and the interface, the flint
// between the interface and the exit. Blocks: exit terms, entrance terms,
// and a free interface's terms.
struct CementedThicknessCost {
    const TraceModel* model;
    double x, y, leastCrown, leastFlint, weight;

    template <typename T>
    bool operator()(T const* const* p, T* r) const
    {
        const FreeTerms& e = model->exit;
        const FreeTerms& n = model->entrance;
        const FreeTerms& i = model->interface;
        const T between =
            model->interfaceFree
                ? prismPolynomial(i.terms.data(), p[2], i.terms.size(), i.x0, i.radius, T(x), T(y))
                : T(prismPolynomial(i.terms.data(), model->interfaceCoefficients.data(), i.terms.size(), i.x0,
                                    i.radius, x, y));
        const T crown = prismPolynomial(n.terms.data(), p[1], n.terms.size(), n.x0, n.radius, T(x), T(y)) - between;
        const T flint = between - prismPolynomial(e.terms.data(), p[0], e.terms.size(), e.x0, e.radius, T(x), T(y));
        r[0] = crown < T(leastCrown) ? T(weight * (leastCrown - crown)) : T(0.0);
        r[1] = flint < T(leastFlint) ? T(weight * (leastFlint - flint)) : T(0.0);
        return true;
    }
};

template <typename Functor, int Stride>
ceres::CostFunction* autoDiffCost(Functor* functor, const std::vector<int>& blockSizes, int residuals)
{
    auto* f = new ceres::DynamicAutoDiffCostFunction<Functor, Stride>(functor);
    for (int size : blockSizes)
        f->AddParameterBlock(size);
    f->SetNumResiduals(residuals);
    return f;
}

template <typename Functor>
ceres::CostFunction* costFunction(Functor* functor, PrismJacobian jacobian, const std::vector<int>& blockSizes,
                                  int residuals)
{
    if (jacobian == PrismJacobian::Automatic) {
        // All unknowns in one pass of dual numbers where they fit: each pass
        // repeats the trace.
        int unknowns = 0;
        for (int size : blockSizes)
            unknowns += size;
        // (order 8 with the standard camera: 65; order 10: 87 to 96.)
        if (unknowns <= 24)
            return autoDiffCost<Functor, 24>(functor, blockSizes, residuals);
        if (unknowns <= 48)
            return autoDiffCost<Functor, 48>(functor, blockSizes, residuals);
        if (unknowns <= 72)
            return autoDiffCost<Functor, 72>(functor, blockSizes, residuals);
        return autoDiffCost<Functor, 96>(functor, blockSizes, residuals);
    }
    auto* f = new ceres::DynamicNumericDiffCostFunction<Functor, ceres::CENTRAL>(functor);
    for (int size : blockSizes)
        f->AddParameterBlock(size);
    f->SetNumResiduals(residuals);
    return f;
}

// `moveInterface`: a cemented prism's interface free (its even terms in y
// when evenInY), otherwise held with all its terms.
TraceModel traceModel(const verify::PrismGeometry& g, const PrismFit& fit, bool evenInY, bool moveInterface = false)
{
    TraceModel m;
    m.pinholeHeight = g.pinholeHeight();
    m.dz = g.dz();
    m.index = g.refractiveIndex;
    m.exit = freeTerms(fit.exit.surface, evenInY);
    m.entrance = freeTerms(fit.entrance.surface, evenInY);
    if (fit.interface.present) {
        m.cemented = true;
        m.interfaceFree = moveInterface;
        m.interface = freeTerms(fit.interface.fit.surface, moveInterface && evenInY);
        m.interfaceCoefficients = fit.interface.fit.surface.coefficients;
        m.index = fit.interface.crownIndex;
        m.secondIndex = fit.interface.flintIndex;
    }
    return m;
}

// The unknowns of the problem.
struct Unknowns {
    std::vector<double> exit;
    std::vector<double> entrance;
    std::vector<double> camera;
    std::array<double, 6> point{};  // the common point, then the camera's rotation (angle-axis)
    std::vector<double> interface;  // a free interface's terms (none when it is held)

    const double* interfaceTerms() const { return interface.empty() ? nullptr : interface.data(); }
};

// A cemented prism traced at the band's two edges (colour objective).
struct EdgeModels {
    TraceModel shortEdge;
    TraceModel longEdge;
};

// The figures of the sample at the current unknowns, on one thread; the
// colour with `edges`.
PrismOptimizeProgress figuresOf(const TraceModel& m, const Unknowns& x, const std::vector<PrismRayTarget>& targets,
                                const PrismOptimizeOptions& options, bool stereo, const EdgeModels* edges = nullptr)
{
    double direction = 0.0, pinhole = 0.0, calibrated = 0.0, central = 0.0, colour = 0.0;
    int traced = 0, colourTraced = 0;
    for (const PrismRayTarget& t : targets) {
        if (stereo && !(t.x < 0.0))
            continue;
        if (edges) {
            Vec3 p, s, l;
            if (traceRay<double>(edges->shortEdge, x.exit.data(), x.entrance.data(), x.interfaceTerms(), t.x, t.y, &p,
                                 &s)
                && traceRay<double>(edges->longEdge, x.exit.data(), x.entrance.data(), x.interfaceTerms(), t.x, t.y,
                                    &p, &l)) {
                const double scale = m.dz / verify::pixelPitch;
                colour += std::pow(scale * (s.x() / s.z() - l.x() / l.z()), 2)
                          + std::pow(scale * (s.y() / s.z() - l.y() / l.z()), 2);
                ++colourTraced;
            }
        }
        Vec3 p, d;
        if (!traceRay<double>(m, x.exit.data(), x.entrance.data(), x.interfaceTerms(), t.x, t.y, &p, &d))
            continue;
        ++traced;
        const Vec3& want = t.direction;
        const double ex = m.dz * (d.x() / d.z() - want.x() / want.z()) / verify::pixelPitch;
        const double ey = m.dz * (d.y() / d.z() - want.y() / want.z()) / verify::pixelPitch;
        direction += ex * ex + ey * ey;
        pinhole += (t.pinhole - p).cross(d).squaredNorm();
        if (stereo) {
            double u = 0.0, v = 0.0;
            const double seen[3] = {d.x(), -d.y(), -d.z()};
            double turned[3];
            ceres::AngleAxisRotatePoint(x.point.data() + 3, seen, turned);
            optics::projectPoint<double>(options.cameraModel, x.camera.data(), turned[0], turned[1], turned[2], &u, &v);
            calibrated += std::pow(u - halfPixelU(t.x), 2) + std::pow(v - halfPixelV(t.y), 2);
            central += (Vec3(x.point[0], x.point[1], x.point[2]) - p).cross(d).squaredNorm();
        }
    }
    PrismOptimizeProgress f;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    f.directionRmsPx = traced > 0 ? std::sqrt(direction / traced) : nan;
    f.pinholeRmsMm = traced > 0 ? std::sqrt(pinhole / traced) : nan;
    f.calibratedRmsPx = stereo && traced > 0 ? std::sqrt(calibrated / traced) : nan;
    f.nonCentralityRmsMm = stereo && traced > 0 ? std::sqrt(central / traced) : nan;
    f.colourRmsPx = colourTraced > 0 ? std::sqrt(colour / colourTraced) : nan;
    return f;
}

class ProgressCallback : public ceres::IterationCallback {
public:
    ProgressCallback(std::function<void(double cost, double damping)> report) : report_(std::move(report)) {}
    ceres::CallbackReturnType operator()(const ceres::IterationSummary& s) override
    {
        if (s.iteration > 0 && s.step_is_successful)
            report_(2.0 * s.cost, 1.0 / s.trust_region_radius);
        return ceres::SOLVER_CONTINUE;
    }

private:
    std::function<void(double, double)> report_;
};

}  // namespace

QString prismObjectiveName(PrismObjective objective)
{
    return objective == PrismObjective::Mapping ? QStringLiteral("mapping") : QStringLiteral("stereo");
}

bool parsePrismObjective(const QString& name, PrismObjective* objective)
{
    if (name == QLatin1String("stereo"))
        *objective = PrismObjective::Stereo;
    else if (name == QLatin1String("mapping"))
        *objective = PrismObjective::Mapping;
    else
        return false;
    return true;
}

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
    QElapsedTimer timer;
    timer.start();
    const bool stereo = options.objective == PrismObjective::Stereo;
    const bool colour = stereo && options.colour.enabled && start.interface.present;
    PrismOptimizeResult result;
    result.fit = start;
    const TraceModel model = traceModel(g, start, stereo, colour);
    EdgeModels edgeModels{model, model};
    edgeModels.shortEdge.index = options.colour.shortCrownIndex;
    edgeModels.shortEdge.secondIndex = options.colour.shortFlintIndex;
    edgeModels.longEdge.index = options.colour.longCrownIndex;
    edgeModels.longEdge.secondIndex = options.colour.longFlintIndex;
    const EdgeModels* edges = colour ? &edgeModels : nullptr;
    Unknowns x;
    x.exit = freeValues(start.exit.surface, model.exit);
    x.entrance = freeValues(start.entrance.surface, model.entrance);
    if (colour)
        x.interface = freeValues(start.interface.fit.surface, model.interface);
    const double focalPx = g.focalLength / verify::pixelPitch;
    x.camera.assign(static_cast<std::size_t>(optics::cameraParameterCount(options.cameraModel)), 0.0);
    x.camera[0] = x.camera[1] = focalPx;
    x.camera[2] = verify::sensorColumns / 4;  // the middle of a half
    x.camera[3] = verify::sensorRows / 2;
    x.point = {g.virtualPinholeX, 0.0, g.pinholeHeight(), 0.0, 0.0, 0.0};

    // The stereo objective's pixels: the left half's (the right half is its
    // mirror image), except those whose ray meets a surface at x >= 0: it
    // passes through the right half's face, the left one's mirror image, and
    // no change of the left face moves it smoothly (the columns nearest the
    // centre; the verification reports them as a band of their own).
    std::vector<PrismRayTarget> used;
    int centralRowPixel = 0;
    for (const PrismRayTarget& t : targets) {
        if (stereo) {
            if (!(t.x < 0.0))
                continue;
            if (t.y == 0.0 && options.centralRowStride > 1 && centralRowPixel++ % options.centralRowStride != 0)
                continue;
            Vec3 p, d, q;
            if (traceSolid<double>(model, x.exit.data(), x.entrance.data(), x.interfaceTerms(), t.x, t.y, nullptr,
                                   nullptr, &p, &d, &q)
                && (p.x() >= 0.0 || q.x() >= 0.0)) {
                ++result.centrePixelsLeftOut;
                continue;
            }
        }
        used.push_back(t);
    }

    int iteration = 0;
    const auto report = [&](double cost, double damping) {
        PrismOptimizeProgress p = figuresOf(model, x, used, options, stereo, edges);
        p.iteration = iteration;
        p.cost = cost;
        p.damping = damping;
        result.end = p;
        if (iteration == 0)
            result.start = p;
        if (options.progress)
            options.progress(p);
    };
    const bool nothing =
        used.empty() || x.exit.empty() || x.entrance.empty() || (options.anchor && options.anchorStride < 1);
    if (nothing) {
        result.start = result.end = figuresOf(model, x, used, options, stereo, edges);
        result.stopReason = QStringLiteral("nothing to optimise: no pixels or no coefficients");
        return result;
    }

    ceres::Problem::Options problemOptions;
    problemOptions.cost_function_ownership = ceres::TAKE_OWNERSHIP;
    ceres::Problem problem(problemOptions);
    const int exitSize = static_cast<int>(x.exit.size());
    const int entranceSize = static_cast<int>(x.entrance.size());
    const int cameraSize = static_cast<int>(x.camera.size());
    const int interfaceSize = static_cast<int>(x.interface.size());
    StereoModel stereoModel;
    stereoModel.camera = options.cameraModel;
    stereoModel.nonCentralityWeight = g.focalLength / (verify::pixelPitch * options.nearDepthMm);
    stereoModel.penalty = options.untracedPenaltyPx;

    if (stereo) {
        for (const PrismRayTarget& t : used) {
            if (colour)
                problem.AddResidualBlock(
                    costFunction(new StereoPixelCost{&model, &stereoModel, t.x, t.y}, options.jacobian,
                                 {exitSize, entranceSize, cameraSize, poseSize, interfaceSize}, stereoResidualCount),
                    nullptr, {x.exit.data(), x.entrance.data(), x.camera.data(), x.point.data(), x.interface.data()});
            else
                problem.AddResidualBlock(costFunction(new StereoPixelCost{&model, &stereoModel, t.x, t.y},
                                                      options.jacobian, {exitSize, entranceSize, cameraSize, poseSize},
                                                      stereoResidualCount),
                                         nullptr, {x.exit.data(), x.entrance.data(), x.camera.data(), x.point.data()});
        }
        if (colour) {
            const int stride = std::max(1, options.colour.stride);
            for (std::size_t i = 0; i < used.size(); i += static_cast<std::size_t>(stride))
                problem.AddResidualBlock(
                    costFunction(new ColourPixelCost{&edgeModels.shortEdge, &edgeModels.longEdge, used[i].x, used[i].y,
                                                     options.colour.weight, options.untracedPenaltyPx},
                                 options.jacobian, {exitSize, entranceSize, interfaceSize}, 2),
                    nullptr, {x.exit.data(), x.entrance.data(), x.interface.data()});
            problem.SetParameterLowerBound(x.interface.data(), 0, x.interface[0] - options.bounds.surfaceOffsetMm);
            problem.SetParameterUpperBound(x.interface.data(), 0, x.interface[0] + options.bounds.surfaceOffsetMm);
        }
        const PrismStereoBounds& b = options.bounds;
        const double cp = g.virtualPinholeX;
        problem.SetParameterLowerBound(x.point.data(), 0, cp - b.baselineRelative * std::abs(cp));
        problem.SetParameterUpperBound(x.point.data(), 0, cp + b.baselineRelative * std::abs(cp));
        for (int k : {1, 2}) {
            problem.SetParameterLowerBound(x.point.data(), k, x.point[static_cast<std::size_t>(k)] - b.pinholeHeightMm);
            problem.SetParameterUpperBound(x.point.data(), k, x.point[static_cast<std::size_t>(k)] + b.pinholeHeightMm);
        }
        for (int k : {0, 1}) {
            problem.SetParameterLowerBound(x.camera.data(), k, focalPx * (1.0 - b.focalRelative));
            problem.SetParameterUpperBound(x.camera.data(), k, focalPx * (1.0 + b.focalRelative));
        }
        for (std::vector<double>* block : {&x.exit, &x.entrance}) {
            problem.SetParameterLowerBound(block->data(), 0, (*block)[0] - b.surfaceOffsetMm);
            problem.SetParameterUpperBound(block->data(), 0, (*block)[0] + b.surfaceOffsetMm);
        }
        if (b.keepThickness) {
            const SurfaceDomain& de = start.exit.domain;
            const SurfaceDomain& dn = start.entrance.domain;
            const double x0 = std::max(de.xMin, dn.xMin), x1 = std::min(de.xMax, dn.xMax);
            const double y0 = std::max(de.yMin, dn.yMin), y1 = std::min(de.yMax, dn.yMax);
            constexpr int grid = 15;
            double least = std::numeric_limits<double>::infinity();
            std::vector<std::array<double, 2>> at;
            for (int i = 0; i < grid && x1 > x0 && y1 > y0; ++i)
                for (int j = 0; j < grid; ++j) {
                    const double px = x0 + (x1 - x0) * i / (grid - 1), py = y0 + (y1 - y0) * j / (grid - 1);
                    at.push_back({px, py});
                    least = std::min(least, start.entrance.surface.leftHeight(px, py)
                                                - start.exit.surface.leftHeight(px, py));
                }
            if (model.cemented) {
                const PrismSurface& between = start.interface.fit.surface;
                double leastCrown = std::numeric_limits<double>::infinity();
                double leastFlint = leastCrown;
                for (const auto& p : at) {
                    const double z = between.leftHeight(p[0], p[1]);
                    leastCrown = std::min(leastCrown, start.entrance.surface.leftHeight(p[0], p[1]) - z);
                    leastFlint = std::min(leastFlint, z - start.exit.surface.leftHeight(p[0], p[1]));
                }
                leastCrown = std::min(leastCrown, b.cementedGlassMm);
                leastFlint = std::min(leastFlint, b.cementedGlassMm);
                for (const auto& p : at) {
                    auto* cost = new CementedThicknessCost{&model, p[0], p[1], leastCrown, leastFlint,
                                                           b.thicknessWeightPxPerMm};
                    if (colour)
                        problem.AddResidualBlock(
                            costFunction(cost, options.jacobian, {exitSize, entranceSize, interfaceSize}, 2), nullptr,
                            {x.exit.data(), x.entrance.data(), x.interface.data()});
                    else
                        problem.AddResidualBlock(costFunction(cost, options.jacobian, {exitSize, entranceSize}, 2),
                                                 nullptr, {x.exit.data(), x.entrance.data()});
                }
            }
            for (const auto& p : at)
                problem.AddResidualBlock(
                    costFunction(new ThicknessCost{&model, p[0], p[1], least, b.thicknessWeightPxPerMm},
                                 options.jacobian, {exitSize, entranceSize}, 1),
                    nullptr, {x.exit.data(), x.entrance.data()});
        }
    } else {
        for (const PrismRayTarget& t : targets)
            problem.AddResidualBlock(
                costFunction(new MappingPixelCost{&model, t, options.pinholeWeightPxPerMm, options.untracedPenaltyPx},
                             options.jacobian, {exitSize, entranceSize}, mappingResiduals),
                nullptr, {x.exit.data(), x.entrance.data()});
        if (options.anchor) {
            const std::pair<const SurfacePoints*, std::pair<const FreeTerms*, double*>> anchors[] = {
                {&options.anchor->exitLeft, {&model.exit, x.exit.data()}},
                {&options.anchor->entranceLeft, {&model.entrance, x.entrance.data()}}};
            for (const auto& [points, block] : anchors) {
                const int size = static_cast<int>(block.first->terms.size());
                for (int p = 0; p < points->size(); p += options.anchorStride)
                    problem.AddResidualBlock(costFunction(new AnchorCost{block.first, points->x[p], points->y[p],
                                                                         points->z[p], options.anchorWeightPxPerMm},
                                                          options.jacobian, {size}, 1),
                                             nullptr, {block.second});
            }
        }
    }

    ceres::Solver::Options solver;
    solver.minimizer_type = ceres::TRUST_REGION;
    solver.trust_region_strategy_type = ceres::LEVENBERG_MARQUARDT;
    solver.linear_solver_type = ceres::DENSE_QR;
    solver.num_threads = resolveThreadCount(options.threadCount);
    solver.function_tolerance = options.relativeTolerance;
    solver.parameter_tolerance = 1e-12;
    solver.gradient_tolerance = 1e-14;
    solver.logging_type = ceres::SILENT;
    solver.minimizer_progress_to_stdout = false;

    if (stereo) {
        // The camera and the common point of the start prism first, so that
        // the surfaces start against the camera that fits them: a problem of
        // their own on the rays traced once (the surfaces do not move).
        ceres::Problem cameraProblem(problemOptions);
        std::vector<std::pair<Vec3, Vec3>> rays(used.size());
        std::vector<char> traced(used.size(), 0);
        parallelFor(static_cast<int>(used.size()), solver.num_threads, [&](int, int i) {
            const PrismRayTarget& t = used[std::size_t(i)];
            traced[std::size_t(i)] = traceRay<double>(model, x.exit.data(), x.entrance.data(), x.interfaceTerms(), t.x,
                                                      t.y, &rays[std::size_t(i)].first, &rays[std::size_t(i)].second);
        });
        for (std::size_t i = 0; i < used.size(); ++i)
            if (traced[i])
                cameraProblem.AddResidualBlock(
                    costFunction(new StereoCameraCost{&stereoModel, rays[i].first, rays[i].second, used[i].x, used[i].y},
                                 options.jacobian, {cameraSize, poseSize}, stereoResidualCount),
                    nullptr, {x.camera.data(), x.point.data()});
        if (cameraProblem.NumResidualBlocks() > 0) {
            for (int k = 0; k < poseSize; ++k)
                if (problem.HasParameterBlock(x.point.data())) {
                    const double low = problem.GetParameterLowerBound(x.point.data(), k);
                    const double high = problem.GetParameterUpperBound(x.point.data(), k);
                    if (std::isfinite(low))
                        cameraProblem.SetParameterLowerBound(x.point.data(), k, low);
                    if (std::isfinite(high))
                        cameraProblem.SetParameterUpperBound(x.point.data(), k, high);
                }
            for (int k : {0, 1}) {
                cameraProblem.SetParameterLowerBound(x.camera.data(), k,
                                                     problem.GetParameterLowerBound(x.camera.data(), k));
                cameraProblem.SetParameterUpperBound(x.camera.data(), k,
                                                     problem.GetParameterUpperBound(x.camera.data(), k));
            }
            ceres::Solver::Options first = solver;
            first.max_num_iterations = 50;
            first.function_tolerance = 1e-10;
            ceres::Solver::Summary summary;
            ceres::Solve(first, &cameraProblem, &summary);
        }
    }
    double startCost = 0.0;
    problem.Evaluate(ceres::Problem::EvaluateOptions(), &startCost, nullptr, nullptr, nullptr);
    report(2.0 * startCost, 0.0);

    ProgressCallback callback([&](double cost, double damping) {
        ++iteration;
        report(cost, damping);
    });
    solver.max_num_iterations = options.maxIterations;
    solver.update_state_every_iteration = true;
    solver.callbacks.push_back(&callback);
    ceres::Solver::Summary summary;
    ceres::Solve(solver, &problem, &summary);

    result.iterations = iteration;
    result.converged = summary.termination_type == ceres::CONVERGENCE;
    const QString message = QString::fromStdString(summary.message).simplified();
    if (result.converged)
        result.stopReason = QStringLiteral("converged after %1 iterations: %2").arg(iteration).arg(message);
    else if (summary.termination_type == ceres::NO_CONVERGENCE)
        result.stopReason =
            QStringLiteral("stopped at the iteration limit of %1 before converging").arg(options.maxIterations);
    else
        result.stopReason = QStringLiteral("stopped after %1 iterations: %2").arg(iteration).arg(message);
    putBack(&result.fit.exit.surface, model.exit, x.exit, stereo);
    putBack(&result.fit.entrance.surface, model.entrance, x.entrance, stereo);
    if (colour)
        putBack(&result.fit.interface.fit.surface, model.interface, x.interface, true);
    if (stereo) {
        result.camera = x.camera;
        result.commonPoint = {x.point[0], x.point[1], x.point[2]};
        result.cameraRotation = {x.point[3], x.point[4], x.point[5]};
    }
    result.pixelsUsed = static_cast<int>(used.size());
    result.seconds = timer.nsecsElapsed() * 1e-9;
    return result;
}

bool prismStereoResidualJacobian(const verify::PrismGeometry& g, const PrismFit& fit,
                                 const PrismOptimizeOptions& options, const std::vector<double>& camera,
                                 const std::array<double, 3>& commonPoint, const std::array<double, 3>& rotation,
                                 double x, double y, std::vector<double>* residuals, std::vector<double>* jacobian)
{
    const TraceModel model = traceModel(g, fit, true);
    StereoModel stereoModel;
    stereoModel.camera = options.cameraModel;
    stereoModel.nonCentralityWeight = g.focalLength / (verify::pixelPitch * options.nearDepthMm);
    stereoModel.penalty = options.untracedPenaltyPx;
    std::vector<double> exit = freeValues(fit.exit.surface, model.exit);
    std::vector<double> entrance = freeValues(fit.entrance.surface, model.entrance);
    std::vector<double> cam = camera;
    const std::array<double, poseSize> point = {commonPoint[0], commonPoint[1], commonPoint[2],
                                                rotation[0],    rotation[1],    rotation[2]};
    const std::vector<int> sizes = {static_cast<int>(exit.size()), static_cast<int>(entrance.size()),
                                    static_cast<int>(cam.size()), poseSize};
    Vec3 p, d;
    if (!traceRay<double>(model, exit.data(), entrance.data(), nullptr, x, y, &p, &d))
        return false;
    std::unique_ptr<ceres::CostFunction> cost(
        costFunction(new StereoPixelCost{&model, &stereoModel, x, y}, options.jacobian, sizes, stereoResidualCount));
    const double* blocks[] = {exit.data(), entrance.data(), cam.data(), point.data()};
    std::vector<std::vector<double>> perBlock;
    std::vector<double*> pointers;
    for (int size : sizes) {
        perBlock.emplace_back(static_cast<std::size_t>(stereoResidualCount * size));
        pointers.push_back(perBlock.back().data());
    }
    residuals->assign(stereoResidualCount, 0.0);
    if (!cost->Evaluate(blocks, residuals->data(), pointers.data()))
        return false;
    int columns = 0;
    for (int size : sizes)
        columns += size;
    jacobian->assign(static_cast<std::size_t>(stereoResidualCount * columns), 0.0);
    int offset = 0;
    for (std::size_t b = 0; b < sizes.size(); ++b) {
        for (int r = 0; r < stereoResidualCount; ++r)
            for (int c = 0; c < sizes[b]; ++c)
                (*jacobian)[static_cast<std::size_t>(r * columns + offset + c)] =
                    perBlock[b][static_cast<std::size_t>(r * sizes[b] + c)];
        offset += sizes[b];
    }
    return true;
}
