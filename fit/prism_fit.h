#pragma once

// The "prism" fit: each half of the prism has its own exit and entrance
// surface, the right half's being the mirror images (x -> -x) of the left
// half's, so one coefficient set per surface describes both halves. Each
// surface of the left half is an XY polynomial
//     z = sum a_ij u^i w^j,  i + j <= N,  u = (x - x0) / R,  w = y / R,
// of total degree N (3 to 10), normalised on the left half's points of that
// surface, and solved by column-pivoted Householder QR (never the normal
// equations). The solid the two halves make uses the left half's surface for
// x < 0 and the right half's (the mirror image) for x >= 0.

#include <QString>

#include <algorithm>
#include <cstddef>
#include <vector>

inline constexpr int lowestPrismOrder = 3;
inline constexpr int highestPrismOrder = 10;

// "outputall.txt": 1920 sensor columns of 108 lines of six numbers; the first
// 960 columns are the left half (sensor x < 0).
inline constexpr int designColumnCount = 1920;
inline constexpr int designLinesPerColumn = 108;
inline constexpr int designLeftLineCount = designColumnCount / 2 * designLinesPerColumn;

// One term u^uPower * w^wPower.
struct PrismTerm {
    int uPower = 0;
    int wPower = 0;
};

// Every term of total degree at most `order`, by rising total degree and,
// within one degree, by falling power of u: 1, u, w, u^2, u w, w^2, ...
// (order + 1)(order + 2) / 2 terms.
std::vector<PrismTerm> prismTerms(int order);

// The terms of prismTerms(order) as one table per order (order 0 to
// highestPrismOrder), built once.
const std::vector<PrismTerm>& prismTermTable(int order);

// The polynomial sum c_k u^i_k w^j_k of `count` terms at (x, y), u = (x - x0)
// / radius, w = y / radius, for any scalar type (double, ceres::Jet): the
// height, and when asked its slopes dz/dx, dz/dy and second derivatives
// (d2z/dxdy, d2z/dx2, d2z/dy2 into second[0..2]). Powers up to
// highestPrismOrder.
template <typename T>
T prismPolynomial(const PrismTerm* terms, const T* coefficients, std::size_t count, double x0, double radius,
                  const T& x, const T& y, T* dzdx = nullptr, T* dzdy = nullptr, T* second = nullptr)
{
    const T u = (x - x0) / radius;
    const T w = y / radius;
    int highest = 0;
    for (std::size_t k = 0; k < count; ++k)
        highest = std::max({highest, terms[k].uPower, terms[k].wPower});
    highest = std::min(highest, highestPrismOrder);
    T up[highestPrismOrder + 1];
    T wp[highestPrismOrder + 1];
    up[0] = T(1.0);
    wp[0] = T(1.0);
    for (int i = 1; i <= highest; ++i) {
        up[i] = up[i - 1] * u;
        wp[i] = wp[i - 1] * w;
    }
    const bool slopes = dzdx || dzdy || second;
    T z = T(0.0), zu = T(0.0), zw = T(0.0), zuw = T(0.0), zuu = T(0.0), zww = T(0.0);
    for (std::size_t k = 0; k < count; ++k) {
        const int i = terms[k].uPower;
        const int j = terms[k].wPower;
        const T& a = coefficients[k];
        z += a * up[i] * wp[j];
        if (!slopes)
            continue;
        if (i >= 1)
            zu += a * double(i) * up[i - 1] * wp[j];
        if (j >= 1)
            zw += a * double(j) * up[i] * wp[j - 1];
        if (!second)
            continue;
        if (i >= 1 && j >= 1)
            zuw += a * double(i) * double(j) * up[i - 1] * wp[j - 1];
        if (i >= 2)
            zuu += a * double(i) * double(i - 1) * up[i - 2] * wp[j];
        if (j >= 2)
            zww += a * double(j) * double(j - 1) * up[i] * wp[j - 2];
    }
    if (dzdx)
        *dzdx = zu / radius;
    if (dzdy)
        *dzdy = zw / radius;
    if (second) {
        const double r2 = radius * radius;
        second[0] = zuw / r2;
        second[1] = zuu / r2;
        second[2] = zww / r2;
    }
    return z;
}

// Height and derivatives of a surface at one point (mm, mm/mm, 1/mm).
struct SurfaceSag {
    double z = 0.0;
    double dzdx = 0.0;
    double dzdy = 0.0;
    double d2zdxdy = 0.0;
    double d2zdx2 = 0.0;
    double d2zdy2 = 0.0;
};

// One fitted surface: the left half's polynomial and, through its mirror
// image, the right half's.
struct PrismSurface {
    int order = 0;
    double x0 = 0.0;      // normalisation centre in x (mm), of the left half
    double radius = 1.0;  // normalisation radius R (mm)
    std::vector<double> coefficients;  // one per prismTerms(order) entry

    // The left half's polynomial at (x, y), wherever (x, y) lies.
    SurfaceSag leftSag(double x, double y) const;
    // Its height alone.
    double leftHeight(double x, double y) const;
    // The height of the solid's surface: leftHeight(min(x, -x), y).
    double height(double x, double y) const { return leftHeight(x < 0.0 ? x : -x, y); }
    // The surface of the solid: leftSag(x, y) for x < 0, the mirror image
    // leftSag(-x, y) (with dz/dx and d2z/dxdy negated) for x >= 0.
    SurfaceSag sag(double x, double y) const;
};

// The points of one surface of one half.
struct SurfacePoints {
    std::vector<double> x;
    std::vector<double> y;
    std::vector<double> z;
    int size() const { return static_cast<int>(x.size()); }
};

// The design points of "outputall.txt" by surface and half: the first 960
// columns of 108 lines (sensor x < 0) are the left half, the rest the right
// half; the first three numbers of a line are the exit surface, the last
// three the entrance surface. Only points with three finite numbers are kept.
struct PrismDesignPoints {
    SurfacePoints exitLeft;
    SurfacePoints exitRight;
    SurfacePoints entranceLeft;
    SurfacePoints entranceRight;
};

// Splits the numbers of a design file (six per line, any count of whole
// lines) into the halves; false with a one-line message in *error when the
// count is not 1920 columns of 108 lines.
bool splitPrismDesignPoints(const std::vector<double>& numbers, PrismDesignPoints* points, QString* error);
// Reads "outputall.txt" (or any file of its shape) and splits it.
bool readPrismDesignPoints(const QString& path, PrismDesignPoints* points, QString* error);

// The rectangle the points of a surface's left half cover.
struct SurfaceDomain {
    double xMin = 0.0;
    double xMax = 0.0;
    double yMin = 0.0;
    double yMax = 0.0;
};

struct PrismSurfaceFit {
    PrismSurface surface;
    SurfaceDomain domain;        // of the left half's points
    int pointCount = 0;          // left-half points fitted
    int rank = 0;                // numerical rank of the design matrix
    double rmsResidual = 0.0;    // mm, fitted minus given height, left half
    double maxResidual = 0.0;    // mm, largest absolute residual, left half
    double maxResidualX = 0.0;   // where it is (mm)
    double maxResidualY = 0.0;
    double conditionNumber = 0.0;  // largest over smallest singular value of the design matrix
    int mirrorPointCount = 0;      // right-half points checked against the mirror image
    double mirrorRmsResidual = 0.0;  // mm
    double mirrorMaxResidual = 0.0;  // mm
};

// Fits the left half's points with the polynomial of total degree `order`
// and checks the right half's points against its mirror image. x0 is the
// middle of the points' x range, R the largest of |x - x0| and |y|, so that
// |u|, |w| <= 1. A rank-deficient system (fewer points than terms, points on
// a line) gives rank < terms and the basic solution, whose coefficients of
// the columns the pivoting left out are 0.
// With evenInY only the terms of even powers of w are fitted and the others
// are exactly 0: the surface is then its own mirror image in y (y -> -y), as
// the design is, by construction.
PrismSurfaceFit fitPrismSurface(const SurfacePoints& left, const SurfacePoints& right, int order,
                                bool evenInY = false);

// Sets the residual statistics of fit->surface against the points: RMS and
// largest height difference (and where) over the left half, and over the
// right half against the mirror image.
void measurePrismResiduals(PrismSurfaceFit* fit, const SurfacePoints& left, const SurfacePoints& right);

// A prism cemented from two glasses: the ray enters the first glass (the
// crown) through the entrance surface, crosses the interface into the second
// (the flint) and leaves through the exit surface. The interface is a
// polynomial of the same form, the left half's, mirrored for the right half.
struct PrismInterface {
    bool present = false;
    PrismSurfaceFit fit;              // its surface and domain; the statistics unused
    QString crown;                    // the glasses' names in the material catalogue
    QString flint;
    double designWavelengthNm = 0.0;  // where the indices below hold
    double crownIndex = 0.0;
    double flintIndex = 0.0;
};

struct PrismFit {
    int order = 0;
    PrismSurfaceFit exit;
    PrismSurfaceFit entrance;
    PrismInterface interface;  // absent for a prism of one glass
};

PrismFit fitPrism(const PrismDesignPoints& points, int order, bool evenInY = false);

// Clear aperture: the centred rectangle |x| <= halfWidthX, |y| <= halfWidthY.
struct ClearAperture {
    double halfWidthX = 0.0;
    double halfWidthY = 0.0;
};
// The aperture a surface's design points cover, both halves: the left half's
// |x| reach on the x < 0 side and the larger |y| of its domain.
ClearAperture surfaceAperture(const PrismSurfaceFit& fit);
// The smallest rectangle holding both surfaces' apertures: the solid's
// footprint, so that it holds every design ray.
ClearAperture prismAperture(const PrismFit& fit);
