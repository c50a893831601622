#include "fit/prism_fit.h"

#include "textio/number_text.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr int numbersPerLine = 6;

void keepFinite(SurfacePoints* points, const double* p)
{
    if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2]))
        return;
    points->x.push_back(p[0]);
    points->y.push_back(p[1]);
    points->z.push_back(p[2]);
}

// u^0 .. u^order into powers[0 .. order].
void powersOf(double value, int order, double* powers)
{
    powers[0] = 1.0;
    for (int i = 1; i <= order; ++i)
        powers[i] = powers[i - 1] * value;
}

}  // namespace

std::vector<PrismTerm> prismTerms(int order)
{
    std::vector<PrismTerm> terms;
    for (int degree = 0; degree <= order; ++degree)
        for (int u = degree; u >= 0; --u)
            terms.push_back({u, degree - u});
    return terms;
}

const std::vector<PrismTerm>& prismTermTable(int order)
{
    static const std::vector<std::vector<PrismTerm>> tables = [] {
        std::vector<std::vector<PrismTerm>> t;
        for (int n = 0; n <= highestPrismOrder; ++n)
            t.push_back(prismTerms(n));
        return t;
    }();
    return tables[static_cast<std::size_t>(std::clamp(order, 0, highestPrismOrder))];
}

SurfaceSag PrismSurface::leftSag(double x, double y) const
{
    const std::vector<PrismTerm>& terms = prismTermTable(order);
    SurfaceSag s;
    double second[3];
    s.z = prismPolynomial(terms.data(), coefficients.data(), std::min(terms.size(), coefficients.size()), x0, radius,
                          x, y, &s.dzdx, &s.dzdy, second);
    s.d2zdxdy = second[0];
    s.d2zdx2 = second[1];
    s.d2zdy2 = second[2];
    return s;
}

double PrismSurface::leftHeight(double x, double y) const
{
    const std::vector<PrismTerm>& terms = prismTermTable(order);
    return prismPolynomial(terms.data(), coefficients.data(), std::min(terms.size(), coefficients.size()), x0,
                           radius, x, y);
}

SurfaceSag PrismSurface::sag(double x, double y) const
{
    if (x < 0.0)
        return leftSag(x, y);
    SurfaceSag s = leftSag(-x, y);
    s.dzdx = -s.dzdx;
    s.d2zdxdy = -s.d2zdxdy;
    return s;
}

bool splitPrismDesignPoints(const std::vector<double>& numbers, PrismDesignPoints* points, QString* error)
{
    constexpr std::size_t expected = std::size_t{designColumnCount} * designLinesPerColumn * numbersPerLine;
    if (numbers.size() != expected) {
        *error = QStringLiteral("the design points hold %1 numbers, not %2 (1920 columns of 108 lines of six)")
                     .arg(numbers.size())
                     .arg(expected);
        return false;
    }
    *points = PrismDesignPoints();
    const std::size_t leftLines = designLeftLineCount;
    for (std::size_t line = 0; line < expected / numbersPerLine; ++line) {
        const double* row = numbers.data() + line * numbersPerLine;
        const bool left = line < leftLines;
        keepFinite(left ? &points->exitLeft : &points->exitRight, row);
        keepFinite(left ? &points->entranceLeft : &points->entranceRight, row + 3);
    }
    return true;
}

bool readPrismDesignPoints(const QString& path, PrismDesignPoints* points, QString* error)
{
    std::vector<double> numbers;
    if (!readNumberFile(path, &numbers)) {
        *error = QStringLiteral("cannot read the design points '%1'").arg(path);
        return false;
    }
    return splitPrismDesignPoints(numbers, points, error);
}

PrismSurfaceFit fitPrismSurface(const SurfacePoints& left, const SurfacePoints& right, int order, bool evenInY)
{
    PrismSurfaceFit fit;
    fit.surface.order = order;
    const std::vector<PrismTerm> all = prismTerms(order);
    std::vector<PrismTerm> terms;
    std::vector<int> column;  // fitted term -> index in all
    for (std::size_t t = 0; t < all.size(); ++t) {
        if (evenInY && all[t].wPower % 2 != 0)
            continue;
        terms.push_back(all[t]);
        column.push_back(static_cast<int>(t));
    }
    const int k = static_cast<int>(terms.size());
    const int n = left.size();
    fit.pointCount = n;
    fit.surface.coefficients.assign(all.size(), 0.0);
    if (n == 0) {
        fit.conditionNumber = std::numeric_limits<double>::infinity();
        return fit;
    }

    const auto [xLow, xHigh] = std::minmax_element(left.x.begin(), left.x.end());
    const auto [yLow, yHigh] = std::minmax_element(left.y.begin(), left.y.end());
    fit.domain = {*xLow, *xHigh, *yLow, *yHigh};
    fit.surface.x0 = 0.5 * (*xLow + *xHigh);
    double radius = 0.5 * (*xHigh - *xLow);
    radius = std::max({radius, std::abs(*yLow), std::abs(*yHigh)});
    fit.surface.radius = radius > 0.0 ? radius : 1.0;

    Eigen::MatrixXd a(n, k);
    Eigen::VectorXd z(n);
    double up[highestPrismOrder + 1];
    double wp[highestPrismOrder + 1];
    for (int p = 0; p < n; ++p) {
        powersOf((left.x[p] - fit.surface.x0) / fit.surface.radius, order, up);
        powersOf(left.y[p] / fit.surface.radius, order, wp);
        for (int t = 0; t < k; ++t)
            a(p, t) = up[terms[t].uPower] * wp[terms[t].wPower];
        z(p) = left.z[p];
    }

    const Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(a);
    const Eigen::VectorXd c = qr.solve(z);
    fit.rank = static_cast<int>(qr.rank());
    for (int t = 0; t < k; ++t)
        fit.surface.coefficients[static_cast<std::size_t>(column[t])] = c(t);

    // The singular values of A are those of its triangular factor R.
    const int m = std::min(n, k);
    const Eigen::MatrixXd r = qr.matrixR().topLeftCorner(m, k).triangularView<Eigen::Upper>();
    const Eigen::VectorXd sigma = Eigen::JacobiSVD<Eigen::MatrixXd>(r).singularValues();
    fit.conditionNumber = (m < k || sigma(m - 1) == 0.0) ? std::numeric_limits<double>::infinity()
                                                         : sigma(0) / sigma(m - 1);

    measurePrismResiduals(&fit, left, right);
    return fit;
}

void measurePrismResiduals(PrismSurfaceFit* fit, const SurfacePoints& left, const SurfacePoints& right)
{
    const auto measure = [&fit](const SurfacePoints& points, double sign, double* rms, double* worst, int* at) {
        double sum = 0.0;
        *worst = 0.0;
        for (int p = 0; p < points.size(); ++p) {
            const double d = fit->surface.leftHeight(sign * points.x[p], points.y[p]) - points.z[p];
            sum += d * d;
            if (std::abs(d) > *worst) {
                *worst = std::abs(d);
                *at = p;
            }
        }
        *rms = points.size() > 0 ? std::sqrt(sum / points.size()) : 0.0;
    };
    int at = 0;
    measure(left, 1.0, &fit->rmsResidual, &fit->maxResidual, &at);
    if (left.size() > 0) {
        fit->maxResidualX = left.x[static_cast<std::size_t>(at)];
        fit->maxResidualY = left.y[static_cast<std::size_t>(at)];
    }
    fit->mirrorPointCount = right.size();
    measure(right, -1.0, &fit->mirrorRmsResidual, &fit->mirrorMaxResidual, &at);
}

PrismFit fitPrism(const PrismDesignPoints& points, int order, bool evenInY)
{
    PrismFit fit;
    fit.order = order;
    fit.exit = fitPrismSurface(points.exitLeft, points.exitRight, order, evenInY);
    fit.entrance = fitPrismSurface(points.entranceLeft, points.entranceRight, order, evenInY);
    return fit;
}

ClearAperture surfaceAperture(const PrismSurfaceFit& fit)
{
    const SurfaceDomain& d = fit.domain;
    const double reachX = d.xMin < 0.0 ? -d.xMin : std::max(std::abs(d.xMin), std::abs(d.xMax));
    return {reachX, std::max(std::abs(d.yMin), std::abs(d.yMax))};
}

ClearAperture prismAperture(const PrismFit& fit)
{
    const ClearAperture a = surfaceAperture(fit.exit);
    const ClearAperture b = surfaceAperture(fit.entrance);
    return {std::max(a.halfWidthX, b.halfWidthX), std::max(a.halfWidthY, b.halfWidthY)};
}
