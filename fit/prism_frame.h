#pragma once

// The frame every export of a prism is given in, stated once for
// "frame.txt", "prism.json" and the drawing.
//
// Origin on the camera's optical axis, in the plane of the prism's base
// (z = 0). x along the sensor rows, y along the sensor columns, z along the
// optical axis from the base towards the camera; the image plane lies at
// z = prismDistance, the pinhole at z = prismDistance + focalLength (the
// design's unflipped image: the ray of sensor point (xs, ys) runs from the
// pinhole through (xs, ys, prismDistance)). A sag is the height z of a
// surface above the base plane, in mm, positive towards the camera.
// The left half (sensor x < 0) looks through x < 0.

#include "design/design_record.h"
#include "fit/prism_fit.h"

#include <array>
#include <string>
#include <vector>

inline constexpr char frameFileName[] = "frame.txt";
inline constexpr char entranceLeftGridSagFileName[] = "surface_entrance_left.dat";
inline constexpr char entranceRightGridSagFileName[] = "surface_entrance_right.dat";
inline constexpr char exitLeftGridSagFileName[] = "surface_exit_left.dat";
inline constexpr char exitRightGridSagFileName[] = "surface_exit_right.dat";
// A cemented prism's interface, over the solid's footprint (prismAperture).
inline constexpr char interfaceLeftGridSagFileName[] = "surface_interface_left.dat";
inline constexpr char interfaceRightGridSagFileName[] = "surface_interface_right.dat";

// How the halves meet at x = 0, stated in "frame.txt" and "prism.json".
inline constexpr char prismCentreStatement[] =
    "one solid: the halves meet at x = 0, the entrance surfaces in a ridge and the exit surfaces in a crease, "
    "each half's polynomial holding on its own side only; the rays of the sensor columns next to the centre "
    "cross x = 0 inside the glass and leave through the other half's exit face, so those columns are lost to "
    "their half (\"centreBand\" in \"verification.json\", \"centreBandColumns\" under \"verified\")";

enum class PrismHalf { Left, Right };

// One grid sag file of one surface and half: its rectangle (both ends
// included; the centre line x = 0 is an edge, never crossed) and the
// decentre (xdec, ydec) that places the grid's centre node in the frame.
struct HalfPlacement {
    const char* fileName = "";
    const char* surface = "";  // "entrance", "exit" or "interface"
    PrismHalf half = PrismHalf::Left;
    double xMin = 0.0;
    double xMax = 0.0;
    double yMin = 0.0;
    double yMax = 0.0;
    double xdec = 0.0;
    double ydec = 0.0;
};

struct PrismFrame {
    double imagePlaneZ = 0.0;  // mm
    double pinholeZ = 0.0;     // mm
    // entrance left, entrance right, exit left, exit right
    std::array<HalfPlacement, 4> halves;
    // A cemented prism's interface, left and right; empty for one glass.
    std::vector<HalfPlacement> interfaceHalves;
};

// The placement of a surface's half over its clear aperture (surfaceAperture).
HalfPlacement halfPlacement(const PrismSurfaceFit& fit, const char* surface, PrismHalf half);
// The placement of a surface's half over the rectangle `aperture`.
HalfPlacement halfPlacement(const ClearAperture& aperture, const char* surface, PrismHalf half);
PrismFrame prismFrameOf(const DesignParameters& panel, const PrismFit& fit);
// The text of "frame.txt".
std::string prismFrameText(const PrismFrame& frame);
