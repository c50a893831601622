#include "fit/prism_frame.h"

#include "fit/prism_file.h"

namespace {

std::string number(double value)
{
    std::string out;
    appendShortestNumber(&out, value);
    return out;
}

}  // namespace

HalfPlacement halfPlacement(const PrismSurfaceFit& fit, const char* surface, PrismHalf half)
{
    return halfPlacement(surfaceAperture(fit), surface, half);
}

HalfPlacement halfPlacement(const ClearAperture& a, const char* surface, PrismHalf half)
{
    const std::string name = surface;
    const bool left = half == PrismHalf::Left;
    HalfPlacement p;
    if (name == "entrance") {
        p.fileName = left ? entranceLeftGridSagFileName : entranceRightGridSagFileName;
        p.surface = "entrance";
    } else if (name == "interface") {
        p.fileName = left ? interfaceLeftGridSagFileName : interfaceRightGridSagFileName;
        p.surface = "interface";
    } else {
        p.fileName = left ? exitLeftGridSagFileName : exitRightGridSagFileName;
        p.surface = "exit";
    }
    p.half = half;
    p.xMin = left ? -a.halfWidthX : 0.0;
    p.xMax = left ? 0.0 : a.halfWidthX;
    p.yMin = -a.halfWidthY;
    p.yMax = a.halfWidthY;
    p.xdec = left ? -0.5 * a.halfWidthX : 0.5 * a.halfWidthX;
    p.ydec = 0.0;
    return p;
}

PrismFrame prismFrameOf(const DesignParameters& panel, const PrismFit& fit)
{
    PrismFrame f;
    f.imagePlaneZ = panel.prismDistance;
    f.pinholeZ = static_cast<double>(panel.prismDistance) + panel.focalLength;
    f.halves = {halfPlacement(fit.entrance, "entrance", PrismHalf::Left),
                halfPlacement(fit.entrance, "entrance", PrismHalf::Right),
                halfPlacement(fit.exit, "exit", PrismHalf::Left), halfPlacement(fit.exit, "exit", PrismHalf::Right)};
    if (fit.interface.present) {
        const ClearAperture footprint = prismAperture(fit);
        f.interfaceHalves = {halfPlacement(footprint, "interface", PrismHalf::Left),
                             halfPlacement(footprint, "interface", PrismHalf::Right)};
    }
    return f;
}

std::string prismFrameText(const PrismFrame& frame)
{
    std::string t;
    t += "Harvenlotek prism: the frame of the exported files\n"
         "\n"
         "units: mm\n"
         "origin: on the camera's optical axis, in the plane of the prism's base (z = 0)\n"
         "x: along the sensor rows; the left half of the sensor (sensor x < 0) looks through x < 0\n"
         "y: along the sensor columns\n"
         "z: along the optical axis, from the prism's base towards the camera (right-handed x, y, z)\n";
    t += "image plane: z = " + number(frame.imagePlaneZ) + "\n";
    t += "camera pinhole: x = 0, y = 0, z = " + number(frame.pinholeZ) + "\n";
    t += "sag: the height z of a surface above the base plane, positive towards the camera\n"
         "prism.step, surfaces.step, prism.stl, design_surfaces.ply: in this frame, as they are\n"
         "entrance surface: faces the camera (top); exit surface: faces the scene (bottom)\n";
    if (!frame.interfaceHalves.empty())
        t += "interface: where the two glasses are cemented, the first glass (crown) above it, the second (flint) "
             "below; prism_crown.stl, prism_flint.stl: each glass as a solid\n";
    t += "solid: the left half's surfaces for x < 0, their mirror images (x -> -x) for x >= 0\n";
    t += std::string("centre: ") + prismCentreStatement + "\n";
    t += "\n"
         "grid sag files: node (column c, row r), r = 0 the first (top) row, lies at\n"
         "  x = xdec + (c - (nx - 1) / 2) delx,  y = ydec + ((ny - 1) / 2 - r) dely\n"
         "  each file covers one half only, from its own polynomial; x = 0 is an edge of both halves' grids\n"
         "  decentre to enter (xdec ydec, also in each file's first line), x range, y range:\n";
    std::vector<HalfPlacement> placements(frame.halves.begin(), frame.halves.end());
    placements.insert(placements.end(), frame.interfaceHalves.begin(), frame.interfaceHalves.end());
    for (const HalfPlacement& h : placements) {
        std::string name = h.fileName;
        name.resize(28, ' ');
        t += "  " + name + number(h.xdec) + " " + number(h.ydec) + "   x " + number(h.xMin) + " .. "
             + number(h.xMax) + "   y " + number(h.yMin) + " .. " + number(h.yMax) + "\n";
    }
    return t;
}
