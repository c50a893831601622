#pragma once

// "design.json": what one design run used, at full precision, so that a
// later verification traces the surfaces with the geometry they were made
// for. Written beside "output.txt" and "outputall.txt".

#include "parameters/colour_record.h"
#include "design/design_record.h"
#include "parameters/panel_parameters.h"

#include <QByteArray>
#include <QString>

inline constexpr char designJsonFileName[] = "design.json";

struct DesignJson {
    bool panelKnown = false;   // the panel's values were handed to the run
    PanelParameters panel;     // when panelKnown
    QString designModel = QStringLiteral("classic");
    double angleDeg = 0.0;     // the angle the design took, degrees
    double angleRad = 0.0;     // the same in radians, as the design computed it
    double focalLength = 0.0;
    double prismDistance = 0.0;
    double prismSize = 0.0;
    double refractiveIndex = 0.0;  // as the design took it (single precision widened)
    double pinholeHeight = 0.0;
    double virtualPinholeX = 0.0;  // left half
    double centralRayHitX = 0.0;
    double centralRayHitY = 0.0;
    // The digest of the "outputall.txt" written with it (io/points_digest.h),
    // member "pointsSha1"; empty when unknown (files of older versions).
    QString pointsDigest;
    ColourRecord colour;  // members "material", "wavelengthNm", "band" when recorded
};

// From a filled record, with the panel's values when given.
DesignJson designJsonFromRecord(const DesignRecord& record, const PanelParameters* panel);
QByteArray designJsonBytes(const DesignJson& design);
// Replaces directory/design.json atomically; false when it cannot be written.
bool writeDesignJson(const QString& directory, const DesignJson& design);
// False with a one-line message when the file is missing or malformed.
bool readDesignJson(const QString& path, DesignJson* design, QString* error);
