#pragma once

// The prism as STEP (AP214, mm, the frame of fit/prism_frame.h), on
// OpenCASCADE; its own library (harvenlotek_export_step), so that nothing
// else links OpenCASCADE.
//
//   geometry: each surface half is a Bezier patch converted exactly from its
//             polynomial (export/bezier_patch.h) over the solid's footprint
//             (prismAperture): the left half over -X <= x <= 0, the right
//             half its mirror image over 0 <= x <= X; |y| <= Y;
//   topology: the four patches, trimmed to the footprint by their own
//             parameter range, and four planar side faces between the
//             surfaces' edges, sewn into one closed shell and one solid;
//   check:    OpenCASCADE's validity checker on the solid; a failing face is
//             named;
//   write:    STEPControl_Writer, AP214, millimetres.
// "prism.step" holds the solid, "surfaces.step" the two freeform surfaces
// alone (each its two halves sewn at x = 0), for optical design programs.

#include "export/prism_export.h"

#include <QString>

#include <string>

#include <vector>

class TopoDS_Shape;

// The STEP files of a prism, in memory: "prism.step" and "surfaces.step".
// False with a one-line message when the surfaces touch or cross, or the
// solid fails the validity check (naming the face), or OpenCASCADE cannot
// write it.
bool makePrismStepFiles(const PrismFit& fit, ExportMade* made, QString* error);
// The maker for ExportOptions::stepMaker.
ExportMaker prismStepMaker();

// Null when the shape is a valid closed solid; otherwise what is wrong,
// naming the first invalid face by `faceNames` (faces of the shape in the
// order TopExp_Explorer visits them; "face k" when there are fewer names).
QString prismShapeProblem(const TopoDS_Shape& shape, const std::vector<QString>& faceNames);
