#pragma once

// The one model of the parameter panel: the values a design starts from,
// their ranges, steps and start values, the two-decimal rounding of the
// angle and index spin boxes, and the "fix angle" rule. The window binds its
// controls to it, the command-line tool fills it from its options, and the
// design record is filled from it (toDesignParameters).

#include "core/sensor.h"

#include <QString>


// The panel's fields, in the order the panel shows them.
enum class PanelField {
    FocalLength,
    ResolutionX,
    ResolutionY,
    Angle,
    RefractiveIndex,
    PrismDistance,
    PrismSize,
    VirtualCameraPos,
    FitOrder,
};

// Range, step and start value of one field, and how the command-line tool
// names it (an empty option name: the field is the window's only).
struct PanelFieldRange {
    double low;
    double high;
    double step;
    double start;
    int decimals;          // 0 for the integer spin boxes
    const char* option;    // "focal-length", ...
    const char* valueName; // "N", "A", "R"
    const char* help;      // what the value is, with its unit
};

const PanelFieldRange& panelFieldRange(PanelField field);

// The value a spin box with `decimals` decimals keeps when it is given `value`
// (rounded through its text form, as the spin box does).
double roundToSpinBoxDecimals(double value, int decimals = 2);

// The "fix angle" rule: the prism base angle at which the central ray of one
// half image, meeting a prism face, is refracted into the direction of the
// optical axis, i.e. sin(a + t) = n sin(a). Single precision where the panel
// holds single-precision values; the result is in degrees.
float fixedPrismAngleDegrees(int resolutionX, int focalLength, float refractiveIndex);

// Which design a run computes: the classic equations as they have always
// been (their files never change) or the refraction model.
enum class DesignModel { Classic, Refraction };

// "classic" or "refraction".
const char* designModelName(DesignModel model);

// Reads "classic" or "refraction" (exactly, lower case); false for anything else.
bool parseDesignModel(const QString& text, DesignModel* model);

struct PanelParameters {
    int focalLength = 35;           // mm
    int resolutionX = 1920;         // the sketch's resolution; the design always uses 1920
    int resolutionY = 1080;
    double angleDeg = 20.0;         // the angle spin box's value (two decimals)
    double refractiveIndex = 1.48;  // the index spin box's value (two decimals)
    int prismDistance = 175;        // prism base plane to image plane, mm
    int prismSize = 100;            // width of the prism base, mm
    int virtualCameraPos = 210;     // the sketch's virtual camera height
    int fitOrder = 3;
    bool fixAngle = false;          // "fix angle" was applied
    DesignModel designModel = DesignModel::Refraction;  // the equations the design solves
    // The single-precision angle the sketch draws and the design takes. It
    // follows the spin box, except right after "fix angle", when it holds the
    // rule's exact value until the spin box's value next changes.
    float designAngleDeg = 20.0f;

    // The angle spin box was set to `value` (already rounded by the box).
    void setAngle(double value);
    // "fix angle": the rule's exact angle for the design, and the spin box's
    // two-decimal value of it. Returns true when the spin box's value changes.
    bool applyFixAngle();
    // The single-precision index the design and the sketch take.
    float designRefractiveIndex() const { return static_cast<float>(refractiveIndex); }
};

// The point where the central ray of the right half of the camera's field
// meets the right prism face, in the x-z section, computed in the sketch's
// single precision from the focal length, the sketch's resolution, the
// design angle, the distance and the prism size. Undefined when the ray runs
// parallel to the face.
struct CentralRayHit {
    bool defined = false;
    double x = 0.0;
    double y = 0.0;
};
CentralRayHit centralRayHit(const PanelParameters& parameters);

