#pragma once

// "prism_drawing.pdf": the workshop drawing of the prism, one A4 page in
// landscape (QPdfWriter; Qt Gui, hence its own library
// harvenlotek_export_drawing): the top, front and side views of the solid
// (third-angle projection, one scale), overall dimensions, thickness at the
// centre and at the corners, the clear apertures, datum faces, material, the
// files that belong to it and the prism's position relative to the camera,
// all in the frame of fit/prism_frame.h. The numbers are those of
// prismDimensions (export/prism_dimensions.h), printed to 0.001 mm.

#include "export/prism_export.h"

#include <QByteArray>
#include <QStringList>

// The lines of the drawing's table of dimensions and notes, as printed.
QStringList prismDrawingLines(const PrismFileContent& content);
// The PDF; needs a QGuiApplication (fonts). False with a one-line message.
bool prismDrawingPdf(const PrismFileContent& content, QByteArray* pdf, QString* error);
// The maker for ExportOptions::drawingMaker.
ExportMaker prismDrawingMaker();
