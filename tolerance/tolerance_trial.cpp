#include "tolerance/tolerance_trial.h"

#include "calibration/prism_calibration.h"
#include "verify/prism_trace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <Eigen/Geometry>
#include <opencv2/core/utility.hpp>

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>

namespace tolerance {

using verify::Vec3;
using Matrix3 = Eigen::Matrix3d;

namespace {

constexpr double degree = 3.14159265358979323846 / 180.0;
constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();

// (i, j) of the form error's Legendre products, by rising total degree.
constexpr int formPowers[formTermCount][2] = {{2, 0}, {1, 1}, {0, 2}, {3, 0}, {2, 1}, {1, 2},
                                              {0, 3}, {4, 0}, {3, 1}, {2, 2}, {1, 3}, {0, 4}};

// Legendre polynomial P_n(t) and its derivative, n <= 4.
void legendre(int n, double t, double* value, double* slope)
{
    const double t2 = t * t;
    switch (n) {
    case 0: *value = 1.0; *slope = 0.0; return;
    case 1: *value = t; *slope = 1.0; return;
    case 2: *value = 0.5 * (3.0 * t2 - 1.0); *slope = 3.0 * t; return;
    case 3: *value = 0.5 * (5.0 * t2 - 3.0) * t; *slope = 0.5 * (15.0 * t2 - 3.0); return;
    default: *value = (35.0 * t2 * t2 - 30.0 * t2 + 3.0) / 8.0; *slope = (140.0 * t2 - 60.0) * t / 8.0; return;
    }
}

// Mean square of P_i(u) P_j(w) over the square [-1, 1]^2.
double meanSquare(int k) { return 1.0 / ((2.0 * formPowers[k][0] + 1.0) * (2.0 * formPowers[k][1] + 1.0)); }

void normaliseShape(std::array<double, formTermCount>* shape)
{
    double sum = 0.0;
    for (int k = 0; k < formTermCount; ++k)
        sum += (*shape)[std::size_t(k)] * (*shape)[std::size_t(k)] * meanSquare(k);
    const double scale = sum > 0.0 ? 1.0 / std::sqrt(sum) : 0.0;
    for (double& c : *shape)
        c *= scale;
}

// SplitMix64: a small generator whose stream depends on its seed alone, the
// same on every platform and library.
class Draws {
public:
    Draws(std::uint64_t seed, std::int64_t index) : state_(mix(seed ^ mix(std::uint64_t(index) + 0x632be59bd9b4e019ull))) {}
    double uniform() { return double(next() >> 11) * 0x1.0p-53; }  // [0, 1)
    double symmetric() { return 2.0 * uniform() - 1.0; }            // [-1, 1)
    double normal()
    {
        const double a = 1.0 - uniform();  // (0, 1]
        const double b = uniform();
        return std::sqrt(-2.0 * std::log(a)) * std::cos(2.0 * 3.14159265358979323846 * b);
    }

private:
    static std::uint64_t mix(std::uint64_t z)
    {
        z += 0x9e3779b97f4a7c15ull;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    std::uint64_t next()
    {
        state_ += 0x9e3779b97f4a7c15ull;
        return mix(state_ - 0x9e3779b97f4a7c15ull);
    }
    std::uint64_t state_;
};

// A surface with form error added: height + sum c_k P_i(u) P_j(w), u = x / rx,
// w = (y - yc) / ry, c_k in mm; and a tilt about the y axis, tiltSlope x.
class FormErrorSurface final : public verify::HeightFieldSurface {
public:
    FormErrorSurface(std::shared_ptr<const verify::HeightFieldSurface> base, const SurfaceDomain& domain,
                     const FormError& error, double tiltSlope)
        : base_(std::move(base)),
          tiltSlope_(tiltSlope),
          rx_(std::max(std::fabs(domain.xMin), std::fabs(domain.xMax))),
          yc_(0.5 * (domain.yMin + domain.yMax)),
          ry_(0.5 * (domain.yMax - domain.yMin))
    {
        for (int k = 0; k < formTermCount; ++k)
            c_[std::size_t(k)] = error.shape[std::size_t(k)] * error.rmsUm * 1e-3;
    }
    double height(double x, double y, double* slopeX, double* slopeY) const override
    {
        double sxBase = 0.0, syBase = 0.0;
        double z = base_->height(x, y, &sxBase, &syBase) + tiltSlope_ * x;
        const double u = x / rx_;
        const double w = (y - yc_) / ry_;
        double pu[5], du[5], pw[5], dw[5];
        for (int n = 0; n <= 4; ++n) {
            legendre(n, u, &pu[n], &du[n]);
            legendre(n, w, &pw[n], &dw[n]);
        }
        double sx = 0.0, sy = 0.0;
        for (int k = 0; k < formTermCount; ++k) {
            const int i = formPowers[k][0];
            const int j = formPowers[k][1];
            const double c = c_[std::size_t(k)];
            z += c * pu[i] * pw[j];
            sx += c * du[i] * pw[j];
            sy += c * pu[i] * dw[j];
        }
        if (slopeX)
            *slopeX = sxBase + tiltSlope_ + sx / rx_;
        if (slopeY)
            *slopeY = syBase + sy / ry_;
        return z;
    }
    bool insideWindow(double u, double v) const override { return base_->insideWindow(u, v); }

private:
    std::shared_ptr<const verify::HeightFieldSurface> base_;
    double tiltSlope_;
    double rx_, yc_, ry_;
    std::array<double, formTermCount> c_{};
};

Matrix3 rotationX(double a)
{
    Matrix3 m;
    m << 1.0, 0.0, 0.0, 0.0, std::cos(a), -std::sin(a), 0.0, std::sin(a), std::cos(a);
    return m;
}
Matrix3 rotationY(double a)
{
    Matrix3 m;
    m << std::cos(a), 0.0, std::sin(a), 0.0, 1.0, 0.0, -std::sin(a), 0.0, std::cos(a);
    return m;
}
Matrix3 rotationZ(double a)
{
    Matrix3 m;
    m << std::cos(a), -std::sin(a), 0.0, std::sin(a), std::cos(a), 0.0, 0.0, 0.0, 1.0;
    return m;
}

// The made camera in the design's frame. The prism's own frame is the
// design's moved by x_world = Rp x_prism + t (its rotation about the centre
// of its base, the origin); the camera's pinhole stays at the nominal
// (0, 0, prismDistance + focalLength), the sensor point (x, y) lies at
// Rs (x, y, -f') from it.
struct MadeCamera {
    verify::PrismSurfaces surfaces;
    double index = 1.5;
    double secondIndex = 0.0;  // behind a cemented interface
    Matrix3 prismRotation = Matrix3::Identity();
    Vec3 prismShift = Vec3::Zero();
    Matrix3 sensorRotation = Matrix3::Identity();
    double focalLength = 35.0;
    Vec3 pinhole = Vec3::Zero();

    calibration::OutgoingRay ray(int half, double x, double y) const
    {
        calibration::OutgoingRay out;
        const Vec3 direction = sensorRotation * Vec3(x, y, -focalLength);
        const verify::Ray camera{prismRotation.transpose() * (pinhole - prismShift),
                                 (prismRotation.transpose() * direction).normalized()};
        const verify::TracedRay traced = verify::traceRay(surfaces, index, half, camera, x, y, secondIndex);
        if (!traced.traced())
            return out;
        const Vec3 origin = prismRotation * traced.exitPoint + prismShift;
        const Vec3 d = prismRotation * traced.direction;
        out.origin = {origin.x(), origin.y(), origin.z()};
        out.direction = {d.x(), d.y(), d.z()};
        out.valid = true;
        return out;
    }
};

std::shared_ptr<const verify::Surface> withFormError(const std::shared_ptr<const verify::Surface>& base,
                                                     const SurfaceDomain& domain, const FormError& error,
                                                     double tiltSlope = 0.0)
{
    if (error.rmsUm == 0.0 && tiltSlope == 0.0)
        return base;
    auto field = std::dynamic_pointer_cast<const verify::HeightFieldSurface>(base);
    if (!field)
        return base;
    return std::make_shared<FormErrorSurface>(field, domain, error, tiltSlope);
}

std::shared_ptr<const MadeCamera> madeCamera(const verify::PrismGeometry& g, const PrismFit& fit,
                                             const Perturbation& p)
{
    const verify::PrismSurfaces nominal = verify::prismFitSurfaces(fit);
    auto camera = std::make_shared<MadeCamera>();
    const auto entrance = withFormError(nominal.entrance[0], fit.entrance.domain, p.entrance);
    const auto exit = withFormError(nominal.exit[0], fit.exit.domain, p.exit);
    camera->surfaces.entrance = {entrance, entrance};
    camera->surfaces.exit = {exit, exit};
    camera->index = g.refractiveIndex + p[ToleranceKind::Index];
    if (fit.interface.present) {
        // One joint for both halves: its form error and tilt span the solid.
        const auto interface = withFormError(nominal.interface[0], fit.interface.fit.domain, p.interface,
                                             std::tan(p[ToleranceKind::InterfaceTilt] * degree));
        camera->surfaces.interface = {interface, interface};
        camera->secondIndex = g.secondIndex + p[ToleranceKind::SecondIndex];
    }
    camera->prismRotation = rotationZ(p[ToleranceKind::TiltZ] * degree) * rotationY(p[ToleranceKind::TiltY] * degree)
                            * rotationX(p[ToleranceKind::TiltX] * degree);
    camera->prismShift = Vec3(p[ToleranceKind::DecentreX], p[ToleranceKind::DecentreY], -p[ToleranceKind::Distance]);
    camera->sensorRotation =
        rotationY(p[ToleranceKind::SensorTiltY] * degree) * rotationX(p[ToleranceKind::SensorTiltX] * degree);
    camera->focalLength = g.focalLength * (1.0 + p[ToleranceKind::FocalLength] / 100.0);
    camera->pinhole = Vec3(0.0, 0.0, g.pinholeHeight());
    return camera;
}

// RMS distance of the lines from their least-squares common point; NaN for
// fewer than three lines.
double nonCentrality(const std::vector<calibration::OutgoingRay>& rays)
{
    Matrix3 a = Matrix3::Zero();
    Vec3 b = Vec3::Zero();
    for (const auto& r : rays) {
        const Vec3 d = Vec3(r.direction[0], r.direction[1], r.direction[2]).normalized();
        const Matrix3 projector = Matrix3::Identity() - d * d.transpose();
        a += projector;
        b += projector * Vec3(r.origin[0], r.origin[1], r.origin[2]);
    }
    if (rays.size() < 3)
        return notANumber;
    const Vec3 point = a.colPivHouseholderQr().solve(b);
    double sum = 0.0;
    for (const auto& r : rays) {
        const Vec3 d = Vec3(r.direction[0], r.direction[1], r.direction[2]).normalized();
        sum += (point - Vec3(r.origin[0], r.origin[1], r.origin[2])).cross(d).squaredNorm();
    }
    return std::sqrt(sum / double(rays.size()));
}

// The form error a tolerance draws, or nullptr for the others.
FormError* formErrorOf(Perturbation* p, ToleranceKind kind)
{
    switch (kind) {
    case ToleranceKind::FormEntrance: return &p->entrance;
    case ToleranceKind::FormExit: return &p->exit;
    case ToleranceKind::FormInterface: return &p->interface;
    default: return nullptr;
    }
}

}  // namespace

Perturbation drawPerturbation(const Tolerances& tolerances, std::uint64_t seed, std::int64_t index)
{
    Perturbation p;
    Draws draws(seed, index);
    // Every draw is made whatever the limits, so that one limit set to 0
    // leaves the others' draws as they were.
    for (int k = 0; k < toleranceKindCount; ++k) {
        const auto kind = static_cast<ToleranceKind>(k);
        if (FormError* form = formErrorOf(&p, kind)) {
            form->rmsUm = tolerances[kind] * draws.uniform();
            for (double& c : form->shape)
                c = draws.normal();
            normaliseShape(&form->shape);
            p.value[std::size_t(k)] = form->rmsUm;
        } else {
            p.value[std::size_t(k)] = tolerances[kind] * draws.symmetric();
        }
    }
    return p;
}

Perturbation singleTolerance(const Tolerances& tolerances, ToleranceKind kind)
{
    Perturbation p;
    p.value[std::size_t(kind)] = tolerances[kind];
    if (FormError* form = formErrorOf(&p, kind)) {
        form->rmsUm = tolerances[kind];
        form->shape.fill(1.0);
        normaliseShape(&form->shape);
    }
    return p;
}

const char* trialStatusName(TrialStatus status)
{
    switch (status) {
    case TrialStatus::Ok: return "ok";
    case TrialStatus::TraceFailed: return "trace-failed";
    case TrialStatus::CalibrationFailed: return "calibration-failed";
    }
    return "";
}

bool parseTrialStatus(const QString& name, TrialStatus* status)
{
    for (TrialStatus s : {TrialStatus::Ok, TrialStatus::TraceFailed, TrialStatus::CalibrationFailed})
        if (name == QLatin1String(trialStatusName(s))) {
            *status = s;
            return true;
        }
    return false;
}

const char* figureName(int figure)
{
    static const char* const names[figureCount] = {
        "residualLeftPx",          "residualRightPx",          "nonCentralityLeftMm",     "nonCentralityRightMm",
        "depthError300mmPercent", "depthError1000mmPercent", "depthError2000mmPercent", "baselineChangeMm"};
    return names[figure];
}

double figureValue(const TrialFigures& f, int figure)
{
    if (figure < 2)
        return f.residualPx[std::size_t(figure)];
    if (figure < 4)
        return f.nonCentralityMm[std::size_t(figure - 2)];
    if (figure < 7)
        return f.depthErrorPercent[std::size_t(figure - 4)];
    return f.baselineChangeMm;
}

double figureCriterion(const PassCriteria& c, int figure)
{
    if (figure < 2)
        return c.maxResidualPx;
    if (figure < 4)
        return c.maxNonCentralityMm;
    if (figure < 7)
        return c.maxDepthErrorPercent;
    return c.maxBaselineChangeMm;
}

bool passes(const TrialFigures& f, const PassCriteria& criteria)
{
    if (f.status != TrialStatus::Ok)
        return false;
    for (int k = 0; k < figureCount; ++k) {
        const double value = std::fabs(figureValue(f, k));
        if (!(value <= figureCriterion(criteria, k)))
            return false;
    }
    return true;
}

calibration::StereoRig madeRig(const verify::PrismGeometry& geometry, const PrismFit& fit,
                               const Perturbation& perturbation)
{
    const std::shared_ptr<const MadeCamera> camera = madeCamera(geometry, fit, perturbation);
    calibration::StereoRig rig = calibration::prismRig(geometry, camera->surfaces);
    rig.left = [camera](double x, double y) {
        return x < 0.0 ? camera->ray(0, x, y) : calibration::OutgoingRay();
    };
    rig.right = [camera](double x, double y) {
        return x < 0.0 ? calibration::OutgoingRay() : camera->ray(1, x, y);
    };
    return rig;
}

bool ToleranceModel::load(const QString& path, const TrialSampling& sampling, QString* error)
{
    const QString file = QFileInfo(path).isDir() ? QDir(path).filePath(QString::fromLatin1(prismFileName)) : path;
    if (!readPrismFile(file, &prism_, error))
        return false;
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1").arg(file);
        return false;
    }
    prismBytes_ = f.readAll();
    // The trials run side by side on the run's own threads. OpenCV's own
    // worker threads would split its sums differently from run to run, and
    // the same trial must give the same figures bit for bit.
    cv::setNumThreads(0);
    sampling_ = sampling;
    const DesignParameters& panel = prism_.panel;
    geometry_.focalLength = panel.focalLength;
    geometry_.prismDistance = panel.prismDistance;
    geometry_.refractiveIndex = static_cast<double>(panel.refractiveIndex);
    geometry_.virtualPinholeX = -panel.centralRayHitX;
    geometry_ = verify::prismFitGeometry(geometry_, prism_.fit);  // a cemented prism's two glasses
    nominalRig_ = calibration::prismRig(geometry_, verify::prismFitSurfaces(prism_.fit));
    options_ = calibration::CalibrationOptions();
    options_.target.depthsMm.assign(figureDepthsMm.begin(), figureDepthsMm.end());
    options_.target.tiltDeg = sampling.targetTiltDeg;
    options_.target.pointsAcrossHalf = sampling.targetPointsAcrossHalf;
    options_.threadCount = 1;
    views_ = calibration::makeTargetViews(nominalRig_, options_.target);
    for (auto half : {calibration::SensorHalf::Left, calibration::SensorHalf::Right})
        nominalImages_[std::size_t(half)] = calibration::imageTargetViews(nominalRig_, half, views_, 0);
    hasStart_ = false;
    nominal_ = TrialFigures();
    nominal_ = run(Perturbation(), PassCriteria(), nullptr, &start_);
    if (nominal_.status == TrialStatus::Ok && sampling.startFromNominal) {
        hasStart_ = true;
        nominal_ = TrialFigures();
        nominal_ = run(Perturbation(), PassCriteria());
    }
    nominal_.baselineChangeMm = 0.0;
    if (nominal_.status != TrialStatus::Ok) {
        *error = QStringLiteral("the prism of %1 does not verify: its nominal camera %2")
                     .arg(file, nominal_.status == TrialStatus::TraceFailed
                                    ? QStringLiteral("loses most rays in the prism")
                                    : QStringLiteral("does not calibrate"));
        return false;
    }
    return true;
}

double ToleranceModel::prismHalfWidthMm() const
{
    const PrismFit& fit = prism_.fit;
    return std::max({std::fabs(fit.entrance.domain.xMin), std::fabs(fit.entrance.domain.xMax),
                     std::fabs(fit.exit.domain.xMin), std::fabs(fit.exit.domain.xMax)});
}

TrialFigures ToleranceModel::run(const Perturbation& perturbation, const PassCriteria& criteria, Timing* timing,
                                 calibration::StereoCalibration* calibratedOut) const
{
    auto lap = [timing, last = std::chrono::steady_clock::now()](double Timing::*part) mutable {
        const auto now = std::chrono::steady_clock::now();
        if (timing)
            timing->*part += std::chrono::duration<double>(now - last).count();
        last = now;
    };
    TrialFigures figures;
    auto failed = [&figures](TrialStatus status) {
        figures.status = status;
        figures.residualPx.fill(notANumber);
        figures.nonCentralityMm.fill(notANumber);
        figures.depthErrorPercent.fill(notANumber);
        figures.baselineMm = figures.baselineChangeMm = notANumber;
        figures.pass = false;
        return figures;
    };
    const calibration::StereoRig rig = madeRig(geometry_, prism_.fit, perturbation);

    // Non-centrality on a grid of each half's pixels.
    const int n = sampling_.raysAcrossHalf;
    for (int half = 0; half < 2; ++half) {
        const auto side = static_cast<calibration::SensorHalf>(half);
        std::vector<calibration::OutgoingRay> rays;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                double x = 0.0, y = 0.0;
                calibration::pixelToSensor(rig, side, (i + 0.5) * rig.halfWidth() / n - 0.5,
                                           (j + 0.5) * rig.resolutionY / n - 0.5, &x, &y);
                const calibration::OutgoingRay ray = rig.mapping(side)(x, y);
                if (ray.valid)
                    rays.push_back(ray);
            }
        if (2 * int(rays.size()) < n * n)
            return failed(TrialStatus::TraceFailed);
        figures.nonCentralityMm[std::size_t(half)] = nonCentrality(rays);
    }
    lap(&Timing::rays);

    // The target imaged through the made camera, each search started from
    // the nominal camera's pixel of the point.
    std::array<calibration::HalfObservations, 2> images;
    for (int half = 0; half < 2; ++half) {
        const auto side = static_cast<calibration::SensorHalf>(half);
        const calibration::HalfObservations& nominal = nominalImages_[std::size_t(half)];
        calibration::HalfObservations& out = images[std::size_t(half)];
        out.resize(views_.size());
        for (std::size_t v = 0; v < views_.size(); ++v) {
            out[v].resize(views_[v].worldPoints.size());
            for (std::size_t k = 0; k < out[v].size(); ++k) {
                const calibration::ImagedPoint& start = nominal[v][k];
                const double startPixel[2] = {start.u, start.v};
                calibration::ImagedPoint found;
                if (start.converged)
                    found = calibration::imageWorldPoint(rig, side, views_[v].worldPoints[k], startPixel);
                if (!found.converged)
                    found = calibration::imageWorldPoint(rig, side, views_[v].worldPoints[k]);
                out[v][k] = found;
            }
        }
    }
    lap(&Timing::imaging);
    calibration::StereoCalibration calibrated;
    // OpenCV's random numbers are per thread: each trial starts them afresh,
    // whichever thread runs it after whichever trial.
    cv::theRNG() = cv::RNG();
    try {
        calibration::CalibrationOptions options = options_;
        if (hasStart_)
            options.start = &start_;
        calibrated = calibration::calibrateObservations(rig, views_, images[0], images[1], options);
    } catch (const std::exception&) {
        return failed(TrialStatus::CalibrationFailed);
    }
    lap(&Timing::calibration);
    if (calibratedOut)
        *calibratedOut = calibrated;
    if (!calibrated.ok)
        return failed(TrialStatus::CalibrationFailed);
    figures.residualPx = {calibrated.left.rmsPx, calibrated.right.rmsPx};
    for (int d = 0; d < depthCount; ++d) {
        figures.depthErrorPercent[std::size_t(d)] = notANumber;
        for (const calibration::DepthError& e : calibrated.depthError)
            if (e.depthMm == figureDepthsMm[std::size_t(d)])
                figures.depthErrorPercent[std::size_t(d)] = e.rmsPercent;
    }
    figures.baselineMm = calibrated.baselineMm;
    figures.baselineChangeMm = calibrated.baselineMm - nominal_.baselineMm;
    for (int k = 0; k < figureCount; ++k)
        if (!std::isfinite(figureValue(figures, k)))
            return failed(TrialStatus::CalibrationFailed);
    figures.pass = passes(figures, criteria);
    return figures;
}

}  // namespace tolerance
