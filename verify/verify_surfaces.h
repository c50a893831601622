#pragma once

// The surfaces the verifier traces through: an abstract surface given by a
// point and its two tangents over a parameter plane (u, v), and the three
// kinds the prism comes in:
//   - a height field z = s(x, y) (u = x, v = y), e.g. a fitted polynomial;
//   - one half's design sheet, a grid in sensor pixel space (u = sensor
//     column 0..1919, v = row offset from the central row, -539..539), read
//     from the design's full-precision grid in memory;
//   - the same sheet smoothed from "outputall.txt" (6 significant digits,
//     every tenth row) by a least-squares tensor cubic spline.
// Lengths in mm, design coordinates: x across the sensor row, y across the
// column, z along the optical axis; the camera looks towards -z.

#include "core/optics.h"

#include <QString>

#include <array>
#include <limits>
#include <memory>
#include <vector>

struct DesignRecord;

namespace verify {

using Vec3 = optics::Vec3;

// A line origin + t direction, t >= 0; direction of unit length.
struct Ray {
    Vec3 origin = Vec3::Zero();
    Vec3 direction = Vec3(0, 0, -1);
};

// P(u, v) and its partial derivatives.
struct SurfacePoint {
    Vec3 point = Vec3::Zero();
    Vec3 du = Vec3::Zero();
    Vec3 dv = Vec3::Zero();
};

// Closed parameter interval; infinite ends for an unbounded surface.
struct ParameterRange {
    double low = -std::numeric_limits<double>::infinity();
    double high = std::numeric_limits<double>::infinity();
    bool contains(double value) const { return value >= low && value <= high; }
};

enum class HitStatus {
    Hit,            // converged: |P(u, v) - ray(t)| <= 1e-12 mm
    Miss,           // no meeting point inside the surface's domain, or behind the origin
    NoConvergence,  // the iteration stopped without reaching the tolerance
};

struct SurfaceHit {
    HitStatus status = HitStatus::Miss;
    double distance = 0.0;        // t along the ray
    double u = 0.0;
    double v = 0.0;
    Vec3 point = Vec3::Zero();
    Vec3 normal = Vec3::Zero();   // unit, z component >= 0
    bool outsideWindow = false;   // hit outside the region the surface was fitted on
};

// Intersection tolerance: distance between the surface point and the ray point.
constexpr double intersectionTolerance = optics::intersectionTolerance;

class Surface {
public:
    virtual ~Surface() = default;

    // Point and tangents at (u, v); defined for (u, v) in the domain.
    virtual SurfacePoint evaluate(double u, double v) const = 0;
    virtual ParameterRange uRange() const { return {}; }
    virtual ParameterRange vRange() const { return {}; }
    // Whether (u, v) lies where the surface is backed by data (always, unless
    // it is a fit that extrapolates outside its window).
    virtual bool insideWindow(double /*u*/, double /*v*/) const { return true; }

    // Where Newton starts for the ray of sensor pixel (pixelX, pixelY) (mm
    // from the sensor centre). The default takes the pixel's grid position.
    virtual void startParameters(const Ray& ray, double pixelX, double pixelY, double* u, double* v) const;

    // Meeting point of the ray with the surface. The default is damped
    // Newton on (u, v, t), kept inside the domain: a solution that needs
    // parameters outside it is a Miss. Never diverges silently.
    virtual SurfaceHit intersect(const Ray& ray, double pixelX, double pixelY) const;
};

// z = height(x, y) over the whole plane (u = x, v = y). Intersection is the
// optics kernel's (optics::intersectHeightField): Newton along the ray's
// parameter, falling back to a bracket and bisection when Newton does not
// settle.
class HeightFieldSurface : public Surface {
public:
    // Height and its two slopes at (x, y).
    virtual double height(double x, double y, double* slopeX, double* slopeY) const = 0;

    SurfacePoint evaluate(double u, double v) const override;
    SurfaceHit intersect(const Ray& ray, double pixelX, double pixelY) const override;
};

// One polynomial term x^xPower * y^yPower.
struct PolynomialTerm {
    int xPower = 0;
    int yPower = 0;
};

// The rectangle a fit took its points from: xLow < x' < xHigh, yLow < y <
// yHigh, where x' = |x| for a mirrored surface.
struct FitWindow {
    double xLow = -28.0;
    double xHigh = 28.0;
    double yLow = -18.0;
    double yHigh = 18.0;
};

// A fitted surface: sum of coefficient[i] * term[i] at (x, y), or, when
// mirrored, at (|x|, y) (the entrance surface, fitted on x > 0 and used on
// the left half through its mirror image).
class PolynomialSurface final : public HeightFieldSurface {
public:
    PolynomialSurface(std::vector<PolynomialTerm> terms, std::vector<double> coefficients, bool mirrored,
                      FitWindow window);
    double height(double x, double y, double* slopeX, double* slopeY) const override;
    bool insideWindow(double u, double v) const override;

    const std::vector<PolynomialTerm>& terms() const { return terms_; }
    const std::vector<double>& coefficients() const { return coefficients_; }

private:
    std::vector<PolynomialTerm> terms_;
    std::vector<double> coefficients_;
    bool mirrored_;
    FitWindow window_;
    int maxXPower_ = 0;
    int maxYPower_ = 0;
};

// Which design surface and which half of the sensor.
enum class DesignSurface { Exit = 0, Entrance = 1 };  // the grid's component 0 and 1
enum class SensorHalf { Left = 0, Right = 1 };

// One half's design sheet sampled at every sensor column of the half and
// every row offset -539..539: a C1 piecewise-cubic (Catmull-Rom) sheet
// through the samples. Left half: columns 0..959; right half: 961..1919
// (column 960, x = 0, has no design points).
class GridSheetSurface final : public Surface {
public:
    // samples[c * rowCount + r] is the point of column firstColumn + c, row
    // offset firstRow + r.
    GridSheetSurface(int firstColumn, int columnCount, int firstRow, int rowCount, std::vector<Vec3> samples);

    SurfacePoint evaluate(double u, double v) const override;
    ParameterRange uRange() const override;
    ParameterRange vRange() const override;

private:
    Vec3 sample(int column, int row) const;  // clamped, linear beyond the edges
    int firstColumn_;
    int columnCount_;
    int firstRow_;
    int rowCount_;
    std::vector<Vec3> samples_;
};

// The sheet of one surface and half from a traced DesignRecord (gridX/Y/Z).
std::shared_ptr<GridSheetSurface> designGridSheet(const DesignRecord& record, DesignSurface surface,
                                                  SensorHalf half);

// The entrance and exit surface each half's rays pass through (index by
// SensorHalf). Both halves may share one surface. A cemented prism of two
// glasses also has the interface between them, which its rays cross between
// the entrance and the exit; none (null) for a prism of one glass.
struct PrismSurfaces {
    std::array<std::shared_ptr<const Surface>, 2> entrance;
    std::array<std::shared_ptr<const Surface>, 2> exit;
    std::array<std::shared_ptr<const Surface>, 2> interface;
};

// The four design sheets of a traced record.
PrismSurfaces designSurfacesFromRecord(const DesignRecord& record);

// The four sheets smoothed from an "outputall.txt" of the design's size
// (207,360 lines: 1920 columns of 108 points, rows 0, 10, .., 530 of each
// column pass). False with a one-line message in *error when the file cannot
// be read or does not have that shape.
bool designSurfacesFromFile(const QString& path, PrismSurfaces* surfaces, QString* error);

// Least-squares smoothing used for the file: the sheet of columns
// [firstColumn, firstColumn + columnCount) and row offsets
// [-539, 539] from points known at every column and at the row offsets in
// sampleRows (points[c * sampleRows.size() + k]); returns a GridSheetSurface
// through the smoothed values at every column and row.
std::shared_ptr<GridSheetSurface> smoothedGridSheet(int firstColumn, int columnCount,
                                                    const std::vector<double>& sampleRows,
                                                    const std::vector<Vec3>& points);

// The two fitted surfaces of an order: surface 1 (exit) as one polynomial on
// both halves, surface 2 (entrance) mirrored on the left half.
PrismSurfaces fittedSurfaces(std::shared_ptr<const PolynomialSurface> surface1,
                             std::shared_ptr<const PolynomialSurface> surface2);

// The fitted surfaces of an order (3 to 8) from its coefficients a (surface
// 1, k1 values) and b (surface 2, k2 values), with the fit's term lists and
// windows: surface 1 -28 < x < 28, surface 2 0 < |x| < 28, both -18 < y < 18.
PrismSurfaces fittedSurfacesOfOrder(int order, const std::vector<double>& a, const std::vector<double>& b);

}  // namespace verify
