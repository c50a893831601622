#pragma once

// The exports of a prism fit ("prism.json") to the formats of the trade:
//   - grid sag files, one per surface and half ("surface_entrance_left.dat",
//     "surface_entrance_right.dat", "surface_exit_left.dat",
//     "surface_exit_right.dat"): first line "nx ny delx dely unitflag xdec
//     ydec" (unitflag 0: mm), then nx * ny lines "z dz/dx dz/dy d2z/dxdy
//     nodata" from that half's own polynomial, rows from the top (largest y)
//     down, each row from the smallest x up; nx and ny odd so that the grid
//     has a centre node at (xdec, ydec), the middle of the half. No grid spans
//     the centre line x = 0, where the halves meet in a crease. A cemented
//     prism adds its interface ("surface_interface_left.dat",
//     "surface_interface_right.dat") over the solid's footprint;
//   - "prism.stl": the prism as one closed, outward-oriented binary STL solid;
//   - "design_surfaces.ply": the design points of both surfaces with their
//     normals, binary little-endian PLY;
//   - "frame.txt": the frame all of them are in (fit/prism_frame.h);
//   - "prism.step", "surfaces.step" and "prism_drawing.pdf", made by the
//     libraries harvenlotek_export_step and harvenlotek_export_drawing, which
//     the caller hands in as makers (the numeric core links neither
//     OpenCASCADE nor Qt Gui).
// Heights are the design's z (mm, prism base at z = 0, the camera above).
// Every surface is the solid's: the left half's polynomial for x < 0 and its
// mirror image for x >= 0.

#include "fit/prism_file.h"
#include "fit/prism_frame.h"

#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <string>
#include <utility>
#include <vector>

inline constexpr char prismStlFileName[] = "prism.stl";
// A cemented prism's two glasses, each a closed solid: the crown between the
// entrance and the interface, the flint between the interface and the exit.
inline constexpr char crownStlFileName[] = "prism_crown.stl";
inline constexpr char flintStlFileName[] = "prism_flint.stl";
inline constexpr char designSurfacesPlyFileName[] = "design_surfaces.ply";
inline constexpr char prismStepFileName[] = "prism.step";
inline constexpr char surfacesStepFileName[] = "surfaces.step";
inline constexpr char prismDrawingFileName[] = "prism_drawing.pdf";


// ---- Grid sag ----

struct GridSag {
    int nx = 0;
    int ny = 0;
    double delx = 0.0;
    double dely = 0.0;
    int unitflag = 0;
    double xdec = 0.0;
    double ydec = 0.0;
    // nx * ny rows of z, dz/dx, dz/dy, d2z/dxdy, nodata, in file order.
    std::vector<std::array<double, 5>> values;

    // The position of the node of file row `row` (0 = top) and column `column`.
    double nodeX(int column) const { return xdec + (column - (nx - 1) / 2) * delx; }
    double nodeY(int row) const { return ydec + ((ny - 1) / 2 - row) * dely; }
};

// The grid of one half of a surface over its placement (fit/prism_frame.h)
// with node spacing at most `maxSpacing` mm: odd counts, the outermost nodes
// on the rectangle's edges (one of them x = 0), the centre node at (xdec,
// ydec). Every node, the edge x = 0 included, takes the half's own
// polynomial: the left half's for the left, its mirror image for the right.
GridSag halfGridSagOf(const PrismSurface& surface, const HalfPlacement& placement, double maxSpacing);
std::string gridSagText(const GridSag& grid);
// Reads a grid sag file; false with a one-line message when it is not one
// (wrong counts, even nx or ny, a missing or non-numeric value).
bool readGridSagFile(const QString& path, GridSag* grid, QString* error);

// ---- Triangulated solid ----

struct Triangle {
    std::array<std::array<double, 3>, 3> vertices;  // counter-clockwise seen from outside
    std::array<double, 3> normal;                   // unit, outward
};

struct PrismSolid {
    std::vector<Triangle> triangles;
    int nx = 0;                   // nodes across x (odd: one node column at x = 0)
    int ny = 0;                   // nodes across y
    double sagErrorMm = 0.0;      // largest height difference triangles vs surfaces, measured
    double sagToleranceMm = 0.0;  // what the tessellation was made to stay under
};

// The prism as a closed solid over the aperture: the entrance surface on top,
// the exit surface below, four vertical side walls between their edges. Both
// surfaces share one node grid whose middle node column lies at x = 0, where
// the two halves meet: the left half's surfaces for x < 0, the right half's
// for x >= 0; both give the same height at x = 0, so the crease there is a
// row of shared mesh edges. The grid is refined until the height difference
// between triangles and surfaces, measured at 15 points per triangle, stays
// under `sagToleranceMm`. False with a message when the surfaces touch or
// cross inside the aperture.
bool buildPrismSolid(const PrismSurface& entrance, const PrismSurface& exit, const ClearAperture& aperture,
                     double sagToleranceMm, PrismSolid* solid, QString* error);
std::string binaryStl(const PrismSolid& solid);

// ---- Design points with normals ----

struct OrientedPoint {
    std::array<float, 3> position;
    std::array<float, 3> normal;  // unit, pointing out of the glass
};

// From the numbers of "outputall.txt" (1920 sensor columns of 108 lines;
// in a column the lines 0..53 run from the central row towards -y, lines
// 54..107 from it towards +y, lines 0 and 54 being the same point). The
// normal of a point is the cross product of the surface's tangents along its
// column and across the columns of its half, each a central difference of
// the neighbouring design points (one-sided at an edge or next to a
// non-finite point), turned to point out of the glass: the entrance surface
// up (+z), the exit surface down (-z). Points with a non-finite coordinate,
// or without a finite neighbour in one direction, are left out. These are
// the normals of the point cloud itself, not of the fit.
bool designPointNormals(const std::vector<double>& numbers, std::vector<OrientedPoint>* exitPoints,
                        std::vector<OrientedPoint>* entrancePoints, QString* error);
std::string binaryPly(const std::vector<OrientedPoint>& exitPoints,
                      const std::vector<OrientedPoint>& entrancePoints);

// ---- The export command ----

enum ExportFormat : unsigned {
    ExportGridSag = 1u << 0,
    ExportStl = 1u << 1,
    ExportPly = 1u << 2,
    ExportStep = 1u << 3,
    ExportDrawing = 1u << 4,
    ExportAll = ExportGridSag | ExportStl | ExportPly | ExportStep | ExportDrawing,
};
// "gridsag", "stl", "ply", "step", "drawing" or "all"; 0 for anything else.
unsigned exportFormatFromName(const QString& name);
// Every file an export may write into its directory.
QStringList exportFileNames();

// A file made in memory, written with the others once all are made.
struct ExportFile {
    QString name;
    std::string bytes;
};
struct ExportMade {
    std::vector<ExportFile> files;
    QStringList notes;  // one line each, for the summary
};
// Makes the files of one format from a prism; false with a one-line message.
using ExportMaker = std::function<bool(const PrismFileContent& content, ExportMade* made, QString* error)>;

struct ExportOptions {
    unsigned formats = ExportAll;
    double gridSpacingMm = 0.25;     // largest node spacing of the grid sag files
    double sagToleranceMm = 0.0005;  // of the STL tessellation
    ExportMaker stepMaker;           // "prism.step", "surfaces.step" (export_step/)
    ExportMaker drawingMaker;        // "prism_drawing.pdf" (export_drawing/)
};

struct ExportSummary {
    QString prismFile;               // the prism file exported
    int order = 0;
    QStringList written;             // paths, in the order written
    std::array<GridSag, 4> grids;    // when gridsag: entrance left, right, exit left, right
    std::vector<GridSag> interfaceGrids;  // and a cemented prism's interface, left and right
    int triangleCount = 0;           // when stl
    double sagErrorMm = 0.0;
    ClearAperture solidAperture;
    int exitPointCount = 0;          // when ply
    int entrancePointCount = 0;
    QStringList notes;               // from the STEP and drawing makers
    bool writeFailed = false;        // the input was good, a file could not be written
};

// Builds every export asked for in memory, as (file name, bytes) in the order
// they are written; the PLY export takes the numbers of "outputall.txt" as a
// reader gets them. False with a one-line message on bad input (the surfaces
// cross, no design points for the PLY).
bool buildPrismExports(const PrismFileContent& content, const std::vector<double>* designNumbers,
                       const ExportOptions& options, ExportSummary* summary,
                       std::vector<std::pair<QString, std::string>>* files, QString* error);

// Reads `prismFile`, builds every export asked for in memory and only then
// writes them into `outputDirectory`, each atomically, with "frame.txt". The
// PLY export reads the design points from `designPointsFile`. False with a
// one-line message, and nothing written, on bad input (no prism file,
// unreadable design points, an unwritable directory, a format whose maker is
// missing or fails). The files are one set (io/atomic_file_set.h, journal
// ".hvl-commit-export"): all are staged complete before any is renamed, so a
// failure while writing leaves the previous files as they were.
bool exportPrism(const QString& prismFile, const QString& designPointsFile, const QString& outputDirectory,
                 const ExportOptions& options, ExportSummary* summary, QString* error);

// The prism file an export takes from a result directory D. With `order`
// (3 to 10): D/order-N/prism.json, or D/prism.json when it holds that order.
// With order 0: D/prism.json if there is one, otherwise among
// D/order-3 .. D/order-10 the fit with the smallest verified direction error
// RMS when every candidate has been verified, else the one whose larger
// surface residual RMS is smallest. *reason says which rule chose it. False
// with a one-line message when there is none.
bool locatePrismFile(const QString& directory, int order, QString* path, QString* reason, QString* error);
