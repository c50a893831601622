#include "export/prism_export.h"

#include "fit/prism_interface.h"
#include "io/atomic_file_set.h"

#include "textio/number_text.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

using Vec = std::array<double, 3>;

Vec sub(const Vec& a, const Vec& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec cross(const Vec& a, const Vec& b)
{
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec unit(const Vec& a)
{
    const double length = std::sqrt(dot(a, a));
    return {a[0] / length, a[1] / length, a[2] / length};
}

// Adds the triangle a, b, c, reversed if needed so that its normal points
// along `outward`.
void addTriangle(std::vector<Triangle>* triangles, const Vec& a, Vec b, Vec c, const Vec& outward)
{
    Vec normal = cross(sub(b, a), sub(c, a));
    if (dot(normal, outward) < 0.0) {
        std::swap(b, c);
        normal = {-normal[0], -normal[1], -normal[2]};
    }
    triangles->push_back({{a, b, c}, unit(normal)});
}

// Largest |z_xx| + 2 |z_xy| + |z_yy| of a surface over the aperture, sampled.
double curvatureBound(const PrismSurface& surface, const ClearAperture& aperture)
{
    constexpr int samples = 64;
    double worst = 0.0;
    for (int i = 0; i <= samples; ++i) {
        for (int j = 0; j <= samples; ++j) {
            const double x = aperture.halfWidthX * (2.0 * i / samples - 1.0);
            const double y = aperture.halfWidthY * (2.0 * j / samples - 1.0);
            const SurfaceSag s = surface.sag(x, y);
            worst = std::max(worst, std::abs(s.d2zdx2) + 2.0 * std::abs(s.d2zdxdy) + std::abs(s.d2zdy2));
        }
    }
    return worst;
}

// The node grid of one tessellation: x_i = (i - mx) hx, y_j = (j - my) hy.
struct NodeGrid {
    int mx = 0;
    int my = 0;
    double hx = 0.0;
    double hy = 0.0;
    int nx() const { return 2 * mx + 1; }
    int ny() const { return 2 * my + 1; }
    double x(int i) const { return i == mx ? 0.0 : (i - mx) * hx; }
    double y(int j) const { return j == my ? 0.0 : (j - my) * hy; }
};

std::vector<double> nodeHeights(const PrismSurface& surface, const NodeGrid& g)
{
    std::vector<double> z(static_cast<std::size_t>(g.nx()) * g.ny());
    for (int i = 0; i < g.nx(); ++i)
        for (int j = 0; j < g.ny(); ++j)
            z[static_cast<std::size_t>(i) * g.ny() + j] = surface.height(g.x(i), g.y(j));
    return z;
}

// Largest |plane - surface| over both triangles of every cell (diagonal from
// node (i, j) to (i + 1, j + 1)), at the 15 points of barycentric step 1/4.
double measuredSagError(const PrismSurface& surface, const NodeGrid& g, const std::vector<double>& z)
{
    double worst = 0.0;
    const auto at = [&](int i, int j) { return z[static_cast<std::size_t>(i) * g.ny() + j]; };
    for (int i = 0; i + 1 < g.nx(); ++i) {
        for (int j = 0; j + 1 < g.ny(); ++j) {
            const double x0 = g.x(i), x1 = g.x(i + 1), y0 = g.y(j), y1 = g.y(j + 1);
            // Triangles (i,j)(i+1,j)(i+1,j+1) and (i,j)(i+1,j+1)(i,j+1).
            const double corners[2][3][3] = {
                {{x0, y0, at(i, j)}, {x1, y0, at(i + 1, j)}, {x1, y1, at(i + 1, j + 1)}},
                {{x0, y0, at(i, j)}, {x1, y1, at(i + 1, j + 1)}, {x0, y1, at(i, j + 1)}},
            };
            for (const auto& t : corners) {
                for (int a = 0; a <= 4; ++a) {
                    for (int b = 0; a + b <= 4; ++b) {
                        const double la = a / 4.0, lb = b / 4.0, lc = 1.0 - la - lb;
                        const double x = la * t[0][0] + lb * t[1][0] + lc * t[2][0];
                        const double y = la * t[0][1] + lb * t[1][1] + lc * t[2][1];
                        const double plane = la * t[0][2] + lb * t[1][2] + lc * t[2][2];
                        worst = std::max(worst, std::abs(plane - surface.height(x, y)));
                    }
                }
            }
        }
    }
    return worst;
}

void putFloat(std::string* out, double value)
{
    const float f = static_cast<float>(value);
    std::uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    for (int b = 0; b < 4; ++b)
        out->push_back(static_cast<char>((bits >> (8 * b)) & 0xFFu));
}

void putUint32(std::string* out, std::uint32_t value)
{
    for (int b = 0; b < 4; ++b)
        out->push_back(static_cast<char>((value >> (8 * b)) & 0xFFu));
}


}  // namespace

// ---- Grid sag ----

GridSag halfGridSagOf(const PrismSurface& surface, const HalfPlacement& placement, double maxSpacing)
{
    GridSag grid;
    const double halfX = 0.5 * (placement.xMax - placement.xMin);
    const double halfY = 0.5 * (placement.yMax - placement.yMin);
    const int mx = std::max(1, static_cast<int>(std::ceil(halfX / maxSpacing)));
    const int my = std::max(1, static_cast<int>(std::ceil(halfY / maxSpacing)));
    grid.nx = 2 * mx + 1;
    grid.ny = 2 * my + 1;
    grid.delx = halfX / mx;
    grid.dely = halfY / my;
    grid.xdec = placement.xdec;
    grid.ydec = placement.ydec;
    const bool mirrored = placement.half == PrismHalf::Right;
    grid.values.reserve(static_cast<std::size_t>(grid.nx) * grid.ny);
    for (int row = 0; row < grid.ny; ++row) {
        const double y = row == 0 ? placement.yMax : row == grid.ny - 1 ? placement.yMin : grid.nodeY(row);
        for (int column = 0; column < grid.nx; ++column) {
            const double x = column == 0               ? placement.xMin
                             : column == grid.nx - 1   ? placement.xMax
                                                       : grid.nodeX(column);
            // The right half is the mirror image of the left: z(x, y) = zl(-x, y).
            SurfaceSag s = surface.leftSag(mirrored ? -x : x, y);
            if (mirrored) {
                s.dzdx = -s.dzdx;
                s.d2zdxdy = -s.d2zdxdy;
            }
            grid.values.push_back({s.z, s.dzdx, s.dzdy, s.d2zdxdy, 0.0});
        }
    }
    return grid;
}

std::string gridSagText(const GridSag& grid)
{
    std::string out;
    out.reserve(grid.values.size() * 90 + 100);
    out.append(std::to_string(grid.nx)).append(" ").append(std::to_string(grid.ny)).append(" ");
    appendShortestNumber(&out, grid.delx);
    out.push_back(' ');
    appendShortestNumber(&out, grid.dely);
    out.append(" ").append(std::to_string(grid.unitflag)).append(" ");
    appendShortestNumber(&out, grid.xdec);
    out.push_back(' ');
    appendShortestNumber(&out, grid.ydec);
    out.push_back('\n');
    for (const auto& v : grid.values) {
        for (int k = 0; k < 4; ++k) {
            appendShortestNumber(&out, v[k]);
            out.push_back(' ');
        }
        out.append(std::to_string(static_cast<int>(v[4]))).push_back('\n');
    }
    return out;
}

bool readGridSagFile(const QString& path, GridSag* grid, QString* error)
{
    std::vector<double> numbers;
    if (!readNumberFile(path, &numbers)) {
        *error = QStringLiteral("cannot read '%1'").arg(path);
        return false;
    }
    GridSag g;
    const auto isOddCount = [](double v) {
        return std::isfinite(v) && v >= 1.0 && v < 1e7 && v == std::floor(v) && static_cast<long>(v) % 2 == 1;
    };
    if (numbers.size() < 7 || !isOddCount(numbers[0]) || !isOddCount(numbers[1])) {
        *error = QStringLiteral("'%1' has no grid sag header with odd nx and ny").arg(path);
        return false;
    }
    g.nx = static_cast<int>(numbers[0]);
    g.ny = static_cast<int>(numbers[1]);
    g.delx = numbers[2];
    g.dely = numbers[3];
    g.unitflag = static_cast<int>(numbers[4]);
    g.xdec = numbers[5];
    g.ydec = numbers[6];
    const std::size_t count = static_cast<std::size_t>(g.nx) * g.ny;
    if (numbers.size() != 7 + 5 * count) {
        *error = QStringLiteral("'%1' holds %2 numbers, not the %3 of a %4 x %5 grid")
                     .arg(path)
                     .arg(numbers.size())
                     .arg(7 + 5 * count)
                     .arg(g.nx)
                     .arg(g.ny);
        return false;
    }
    g.values.resize(count);
    for (std::size_t p = 0; p < count; ++p)
        for (int k = 0; k < 5; ++k)
            g.values[p][k] = numbers[7 + 5 * p + k];
    *grid = std::move(g);
    return true;
}

// ---- Triangulated solid ----

bool buildPrismSolid(const PrismSurface& entrance, const PrismSurface& exit, const ClearAperture& aperture,
                     double sagToleranceMm, PrismSolid* solid, QString* error)
{
    if (!(aperture.halfWidthX > 0.0) || !(aperture.halfWidthY > 0.0) || !(sagToleranceMm > 0.0)) {
        *error = QStringLiteral("the clear aperture or the sag tolerance is not positive");
        return false;
    }
    // Linear interpolation on a triangle of legs h departs from the surface
    // by at most about h^2/8 (|z_xx| + 2|z_xy| + |z_yy|); start there, then
    // measure and refine.
    const double curvature = std::max({curvatureBound(entrance, aperture), curvatureBound(exit, aperture), 1e-12});
    double spacing = 0.9 * std::sqrt(8.0 * sagToleranceMm / curvature);
    NodeGrid g;
    std::vector<double> top, bottom;
    double sagError = 0.0;
    for (int attempt = 0;; ++attempt) {
        g.mx = std::max(1, static_cast<int>(std::ceil(aperture.halfWidthX / spacing)));
        g.my = std::max(1, static_cast<int>(std::ceil(aperture.halfWidthY / spacing)));
        g.hx = aperture.halfWidthX / g.mx;
        g.hy = aperture.halfWidthY / g.my;
        if (g.nx() > 20001 || g.ny() > 20001) {
            *error = QStringLiteral("the surfaces are too strongly curved to tessellate within %1 mm")
                         .arg(sagToleranceMm);
            return false;
        }
        top = nodeHeights(entrance, g);
        bottom = nodeHeights(exit, g);
        sagError = std::max(measuredSagError(entrance, g, top), measuredSagError(exit, g, bottom));
        if (sagError < sagToleranceMm || attempt == 8)
            break;
        spacing *= 0.7;
    }
    if (!(sagError < sagToleranceMm)) {
        *error = QStringLiteral("the tessellation did not get under %1 mm of sag error").arg(sagToleranceMm);
        return false;
    }
    for (std::size_t k = 0; k < top.size(); ++k) {
        if (!(top[k] > bottom[k])) {
            *error = QStringLiteral("the entrance and exit surfaces touch or cross inside the clear aperture");
            return false;
        }
    }

    PrismSolid s;
    s.nx = g.nx();
    s.ny = g.ny();
    s.sagErrorMm = sagError;
    s.sagToleranceMm = sagToleranceMm;
    const auto topAt = [&](int i, int j) -> Vec { return {g.x(i), g.y(j), top[std::size_t(i) * g.ny() + j]}; };
    const auto bottomAt = [&](int i, int j) -> Vec {
        return {g.x(i), g.y(j), bottom[std::size_t(i) * g.ny() + j]};
    };
    const Vec up{0, 0, 1}, down{0, 0, -1};
    for (int i = 0; i + 1 < g.nx(); ++i) {
        for (int j = 0; j + 1 < g.ny(); ++j) {
            addTriangle(&s.triangles, topAt(i, j), topAt(i + 1, j), topAt(i + 1, j + 1), up);
            addTriangle(&s.triangles, topAt(i, j), topAt(i + 1, j + 1), topAt(i, j + 1), up);
            addTriangle(&s.triangles, bottomAt(i, j), bottomAt(i + 1, j), bottomAt(i + 1, j + 1), down);
            addTriangle(&s.triangles, bottomAt(i, j), bottomAt(i + 1, j + 1), bottomAt(i, j + 1), down);
        }
    }
    // Side walls: quads between the two surfaces' edge nodes.
    const auto wall = [&](int i0, int j0, int i1, int j1, const Vec& outward) {
        addTriangle(&s.triangles, bottomAt(i0, j0), bottomAt(i1, j1), topAt(i1, j1), outward);
        addTriangle(&s.triangles, bottomAt(i0, j0), topAt(i1, j1), topAt(i0, j0), outward);
    };
    for (int j = 0; j + 1 < g.ny(); ++j) {
        wall(0, j, 0, j + 1, {-1, 0, 0});
        wall(g.nx() - 1, j, g.nx() - 1, j + 1, {1, 0, 0});
    }
    for (int i = 0; i + 1 < g.nx(); ++i) {
        wall(i, 0, i + 1, 0, {0, -1, 0});
        wall(i, g.ny() - 1, i + 1, g.ny() - 1, {0, 1, 0});
    }
    *solid = std::move(s);
    return true;
}

std::string binaryStl(const PrismSolid& solid)
{
    std::string out;
    out.reserve(84 + 50 * solid.triangles.size());
    std::string header = "harvenlotek prism, mm, z along the optical axis, entrance surface on top";
    header.resize(80, ' ');
    out.append(header);
    putUint32(&out, static_cast<std::uint32_t>(solid.triangles.size()));
    for (const Triangle& t : solid.triangles) {
        for (double c : t.normal)
            putFloat(&out, c);
        for (const auto& v : t.vertices)
            for (double c : v)
                putFloat(&out, c);
        out.append(2, '\0');
    }
    return out;
}

// ---- Design points with normals ----

bool designPointNormals(const std::vector<double>& numbers, std::vector<OrientedPoint>* exitPoints,
                        std::vector<OrientedPoint>* entrancePoints, QString* error)
{
    constexpr int rows = designLinesPerColumn;
    constexpr int halfRows = rows / 2;
    const std::size_t lines = std::size_t{designColumnCount} * rows;
    if (numbers.size() != 6 * lines) {
        *error = QStringLiteral("the design points hold %1 numbers, not %2 (1920 columns of 108 lines of six)")
                     .arg(numbers.size())
                     .arg(6 * lines);
        return false;
    }
    exitPoints->clear();
    entrancePoints->clear();
    // The lines of a column in rising y: 53, 52, .., 1, 0, 55, .., 107 (line 54
    // repeats line 0).
    std::array<int, rows - 1> byY{};
    for (int k = 0; k < halfRows; ++k)
        byY[static_cast<std::size_t>(k)] = halfRows - 1 - k;
    for (int k = halfRows; k < rows - 1; ++k)
        byY[static_cast<std::size_t>(k)] = k + 1;
    for (int surface = 0; surface < 2; ++surface) {
        const auto point = [&](int column, int line, Vec* p) {
            const double* r = numbers.data() + 6 * (std::size_t(column) * rows + line) + 3 * surface;
            *p = {r[0], r[1], r[2]};
            return std::isfinite(r[0]) && std::isfinite(r[1]) && std::isfinite(r[2]);
        };
        // Difference of the neighbours before and after, or one-sided.
        const auto tangent = [](bool hasBefore, const Vec& before, const Vec& here, bool hasAfter, const Vec& after,
                                Vec* t) {
            if (hasBefore && hasAfter)
                *t = sub(after, before);
            else if (hasAfter)
                *t = sub(after, here);
            else if (hasBefore)
                *t = sub(here, before);
            else
                return false;
            return true;
        };
        std::vector<OrientedPoint>* out = surface == 0 ? exitPoints : entrancePoints;
        for (int column = 0; column < designColumnCount; ++column) {
            const int halfFirst = column < designColumnCount / 2 ? 0 : designColumnCount / 2;
            const int halfLast = halfFirst + designColumnCount / 2 - 1;
            for (int k = 0; k < rows - 1; ++k) {
                const int line = byY[static_cast<std::size_t>(k)];
                Vec p{}, before{}, after{}, tx{}, ty{};
                if (!point(column, line, &p))
                    continue;
                const bool left = column > halfFirst && point(column - 1, line, &before);
                const bool right = column < halfLast && point(column + 1, line, &after);
                if (!tangent(left, before, p, right, after, &tx))
                    continue;
                const bool below = k > 0 && point(column, byY[static_cast<std::size_t>(k - 1)], &before);
                const bool above = k < rows - 2 && point(column, byY[static_cast<std::size_t>(k + 1)], &after);
                if (!tangent(below, before, p, above, after, &ty))
                    continue;
                Vec normal = cross(tx, ty);
                const double length = std::sqrt(dot(normal, normal));
                if (!(length > 0.0) || !std::isfinite(length))
                    continue;
                const bool up = surface == 1;
                if ((normal[2] < 0.0) == up)
                    normal = {-normal[0], -normal[1], -normal[2]};
                OrientedPoint o;
                for (int c = 0; c < 3; ++c) {
                    o.position[c] = static_cast<float>(p[c]);
                    o.normal[c] = static_cast<float>(normal[c] / length);
                }
                out->push_back(o);
            }
        }
    }
    return true;
}

std::string binaryPly(const std::vector<OrientedPoint>& exitPoints,
                      const std::vector<OrientedPoint>& entrancePoints)
{
    const std::size_t count = exitPoints.size() + entrancePoints.size();
    std::string out = "ply\nformat binary_little_endian 1.0\n"
                      "comment harvenlotek design points, mm; normals of the point cloud, out of the glass\n"
                      "comment first "
                      + std::to_string(exitPoints.size()) + " vertices: exit surface, then "
                      + std::to_string(entrancePoints.size()) + ": entrance surface\n"
                      "element vertex " + std::to_string(count) + "\n"
                      "property float x\nproperty float y\nproperty float z\n"
                      "property float nx\nproperty float ny\nproperty float nz\nend_header\n";
    out.reserve(out.size() + 24 * count);
    for (const auto* set : {&exitPoints, &entrancePoints})
        for (const OrientedPoint& p : *set) {
            for (float c : p.position)
                putFloat(&out, c);
            for (float c : p.normal)
                putFloat(&out, c);
        }
    return out;
}

// ---- The export command ----

unsigned exportFormatFromName(const QString& name)
{
    if (name == QLatin1String("gridsag"))
        return ExportGridSag;
    if (name == QLatin1String("stl"))
        return ExportStl;
    if (name == QLatin1String("ply"))
        return ExportPly;
    if (name == QLatin1String("step"))
        return ExportStep;
    if (name == QLatin1String("drawing"))
        return ExportDrawing;
    if (name == QLatin1String("all"))
        return ExportAll;
    return 0;
}

QStringList exportFileNames()
{
    return {QString::fromLatin1(entranceLeftGridSagFileName), QString::fromLatin1(entranceRightGridSagFileName),
            QString::fromLatin1(exitLeftGridSagFileName),     QString::fromLatin1(exitRightGridSagFileName),
            QString::fromLatin1(prismStlFileName),            QString::fromLatin1(designSurfacesPlyFileName),
            QString::fromLatin1(prismStepFileName),           QString::fromLatin1(surfacesStepFileName),
            QString::fromLatin1(prismDrawingFileName),        QString::fromLatin1(frameFileName),
            QString::fromLatin1(crownStlFileName),            QString::fromLatin1(flintStlFileName),
            QString::fromLatin1(interfaceLeftGridSagFileName), QString::fromLatin1(interfaceRightGridSagFileName)};
}

bool buildPrismExports(const PrismFileContent& content, const std::vector<double>* designNumbers,
                       const ExportOptions& options, ExportSummary* summary,
                       std::vector<std::pair<QString, std::string>>* files, QString* error)
{
    if (options.formats == 0 || (options.formats & ~unsigned(ExportAll)) != 0) {
        *error = QStringLiteral("no export format chosen (gridsag, stl, ply, step, drawing or all)");
        return false;
    }
    if (!checkCementedThickness(content.fit, leastGlassThicknessMm, error))
        return false;
    ExportSummary& s = *summary;
    s.order = content.fit.order;
    const PrismFrame frame = prismFrameOf(content.panel, content.fit);
    if (options.formats & ExportGridSag) {
        for (std::size_t k = 0; k < frame.halves.size(); ++k) {
            const HalfPlacement& h = frame.halves[k];
            const PrismSurface& surface =
                std::string(h.surface) == "entrance" ? content.fit.entrance.surface : content.fit.exit.surface;
            s.grids[k] = halfGridSagOf(surface, h, options.gridSpacingMm);
            files->emplace_back(QString::fromLatin1(h.fileName), gridSagText(s.grids[k]));
        }
        for (const HalfPlacement& h : frame.interfaceHalves) {
            s.interfaceGrids.push_back(halfGridSagOf(content.fit.interface.fit.surface, h, options.gridSpacingMm));
            files->emplace_back(QString::fromLatin1(h.fileName), gridSagText(s.interfaceGrids.back()));
        }
    }
    if (options.formats & ExportStl) {
        PrismSolid solid;
        s.solidAperture = prismAperture(content.fit);
        if (!buildPrismSolid(content.fit.entrance.surface, content.fit.exit.surface, s.solidAperture,
                             options.sagToleranceMm, &solid, error))
            return false;
        s.triangleCount = static_cast<int>(solid.triangles.size());
        s.sagErrorMm = solid.sagErrorMm;
        files->emplace_back(QString::fromLatin1(prismStlFileName), binaryStl(solid));
        // A cemented prism: each glass as a closed solid of its own too.
        const PrismInterface& cemented = content.fit.interface;
        if (cemented.present) {
            PrismSolid crown, flint;
            if (!buildPrismSolid(content.fit.entrance.surface, cemented.fit.surface, s.solidAperture,
                                 options.sagToleranceMm, &crown, error)
                || !buildPrismSolid(cemented.fit.surface, content.fit.exit.surface, s.solidAperture,
                                    options.sagToleranceMm, &flint, error))
                return false;
            files->emplace_back(QString::fromLatin1(crownStlFileName), binaryStl(crown));
            files->emplace_back(QString::fromLatin1(flintStlFileName), binaryStl(flint));
        }
    }
    if (options.formats & ExportPly) {
        if (!designNumbers) {
            *error = QStringLiteral("no design points for the PLY export");
            return false;
        }
        std::vector<OrientedPoint> exitPoints, entrancePoints;
        if (!designPointNormals(*designNumbers, &exitPoints, &entrancePoints, error))
            return false;
        s.exitPointCount = static_cast<int>(exitPoints.size());
        s.entrancePointCount = static_cast<int>(entrancePoints.size());
        files->emplace_back(QString::fromLatin1(designSurfacesPlyFileName), binaryPly(exitPoints, entrancePoints));
    }
    const std::pair<unsigned, const ExportMaker*> makers[] = {{ExportStep, &options.stepMaker},
                                                              {ExportDrawing, &options.drawingMaker}};
    for (const auto& [format, maker] : makers) {
        if (!(options.formats & format))
            continue;
        if (!*maker) {
            *error = format == ExportStep ? QStringLiteral("this program cannot write STEP files")
                                          : QStringLiteral("this program cannot write the drawing");
            return false;
        }
        ExportMade made;
        if (!(*maker)(content, &made, error))
            return false;
        for (ExportFile& f : made.files)
            files->emplace_back(f.name, std::move(f.bytes));
        s.notes << made.notes;
    }
    files->emplace_back(QString::fromLatin1(frameFileName), prismFrameText(frame));
    return true;
}

bool exportPrism(const QString& prismFile, const QString& designPointsFile, const QString& outputDirectory,
                 const ExportOptions& options, ExportSummary* summary, QString* error)
{
    if (options.formats == 0 || (options.formats & ~unsigned(ExportAll)) != 0) {
        *error = QStringLiteral("no export format chosen (gridsag, stl, ply, step, drawing or all)");
        return false;
    }
    PrismFileContent content;
    if (!readPrismFile(prismFile, &content, error))
        return false;
    const QString foreign = foreignPrismMessage(prismFile, QFileInfo(designPointsFile).path());
    if (!foreign.isEmpty()) {
        *error = foreign;
        return false;
    }
    const QFileInfo directory(outputDirectory);
    if (!directory.isDir() || !directory.isWritable()) {
        *error = QStringLiteral("the export directory '%1' does not exist or is not writable").arg(outputDirectory);
        return false;
    }
    ExportSummary s;
    s.prismFile = prismFile;
    s.order = content.fit.order;
    // Everything is built in memory first: bad input leaves no file behind.
    std::vector<std::pair<QString, std::string>> files;
    std::vector<double> numbers;
    if ((options.formats & ExportPly) && !readNumberFile(designPointsFile, &numbers)) {
        *error = QStringLiteral("cannot read the design points '%1'").arg(designPointsFile);
        return false;
    }
    if (!buildPrismExports(content, &numbers, options, &s, &files, error))
        return false;
    // One set: every file staged complete, then all renamed into place
    // together through the set's journal.
    AtomicFileSet set(outputDirectory, QStringLiteral("export"));
    QStringList names;
    for (const auto& file : files)
        names << file.first;
    if (!set.checkTargets(names)) {
        *error = set.errorString();
        return false;
    }
    for (const auto& [name, bytes] : files) {
        if (!set.stage(name, bytes.data(), bytes.size()))
            break;
    }
    if (set.failed() || !set.commit()) {
        *error = set.errorString();
        s.writeFailed = true;
        for (const QString& name : names)
            if (!set.notReplaced().contains(name))
                s.written << QDir(outputDirectory).filePath(name);
        *summary = s;
        return false;
    }
    for (const QString& name : names)
        s.written << QDir(outputDirectory).filePath(name);
    *summary = s;
    return true;
}

bool locatePrismFile(const QString& directory, int order, QString* path, QString* reason, QString* error)
{
    const QDir root(directory);
    const QString top = root.filePath(QString::fromLatin1(prismFileName));
    PrismFileContent content;
    QString ignored;
    if (order != 0) {
        const QString inOrder = root.filePath(QStringLiteral("order-%1/%2").arg(order).arg(prismFileName));
        if (QFileInfo(inOrder).isFile()) {
            *path = inOrder;
            *reason = QStringLiteral("order %1 as asked").arg(order);
            return true;
        }
        if (readPrismFile(top, &content, &ignored) && content.fit.order == order) {
            *path = top;
            *reason = QStringLiteral("order %1 as asked").arg(order);
            return true;
        }
        *error = QStringLiteral("no prism fit of order %1 in '%2'; run 'harvenlotek-cli fit --fit-model prism' first")
                     .arg(order)
                     .arg(directory);
        return false;
    }
    if (QFileInfo(top).isFile()) {
        *path = top;
        *reason = QStringLiteral("the prism fit of the directory");
        return true;
    }
    struct Candidate {
        QString path;
        int order;
        PrismFileContent content;
    };
    std::vector<Candidate> candidates;
    for (int n = lowestPrismOrder; n <= highestPrismOrder; ++n) {
        const QString p = root.filePath(QStringLiteral("order-%1/%2").arg(n).arg(prismFileName));
        if (readPrismFile(p, &content, &ignored))
            candidates.push_back({p, n, content});
    }
    if (candidates.empty()) {
        *error = QStringLiteral("no prism fit in '%1'; run 'harvenlotek-cli fit --fit-model prism' first")
                     .arg(directory);
        return false;
    }
    const bool verified = std::all_of(candidates.begin(), candidates.end(),
                                      [](const Candidate& c) { return c.content.verified.present; });
    const auto score = [verified](const Candidate& c) {
        return verified ? c.content.verified.directionRmsPx
                        : std::max(c.content.fit.exit.rmsResidual, c.content.fit.entrance.rmsResidual);
    };
    const auto best = std::min_element(candidates.begin(), candidates.end(),
                                       [&](const Candidate& a, const Candidate& b) { return score(a) < score(b); });
    *path = best->path;
    *reason = verified ? QStringLiteral("order %1: smallest verified direction error RMS").arg(best->order)
                       : QStringLiteral("order %1: smallest surface residual RMS (no verified errors recorded)")
                             .arg(best->order);
    return true;
}
