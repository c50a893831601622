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

// One panel quantity: its range, step and start value, what it is and its
// unit, and the command-line option that sets it (an empty option name: the
// window's only). The window's controls (range, step, start value, unit,
// tooltip), the start values of PanelParameters and the command-line tool's
// options and help all come from this one table.
struct PanelFieldRange {
    double low;
    double high;
    double step;
    double start;
    int decimals;             // 0 for the integer spin boxes
    const char* option;       // "focal-length", ...
    const char* valueName;    // "N", "A", "R"
    const char* description;  // what the value is, without its unit
    const char* unit;         // "mm", "px", "degrees"; empty: none
};

// clang-format off
inline constexpr PanelFieldRange panelFieldRanges[] = {
    // low   high   step  start  dec. option          value  description                                        unit
    {4,    40,    1,    35,   0, "focal-length", "N", "focal length of the camera",                        "mm"},
    {640,  2480,  100,  1920, 0, "",             "N", "sensor pixels across drawn in the sketch",          "px"},
    {640,  2480,  100,  1080, 0, "",             "N", "sensor pixels down drawn in the sketch",            "px"},
    {0,    80,    1,    20,   2, "angle",        "A", "prism base angle, between the base and each face",  "degrees"},
    {1.40, 1.55,  0.01, 1.48, 2, "index",        "R", "refractive index of the glass",                     ""},
    {100,  300,   1,    175,  0, "distance",     "N", "distance from the prism base to the image plane",   "mm"},
    {50,   150,   10,   100,  0, "size",         "N", "width of the prism base",                           "mm"},
    {0,    300,   1,    210,  0, "",             "N", "height of the virtual cameras in the sketch",       "mm"},
    {3,    8,     1,    3,    0, "order",        "N", "polynomial order of the classic fit",               ""},
};
// clang-format on

constexpr const PanelFieldRange& panelFieldRange(PanelField field)
{
    return panelFieldRanges[static_cast<int>(field)];
}

// The start value of an integer field.
constexpr int panelFieldStart(PanelField field)
{
    return static_cast<int>(panelFieldRange(field).start);
}

// "4 to 40 mm (start 35)": the range with its unit and start value, as the
// window's tooltips and the command-line help show it.
QString panelFieldRangeText(PanelField field);
// "focal length of the camera, mm; 4 to 40 mm (start 35)"
QString panelFieldToolTip(PanelField field);

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
    // Start values from panelFieldRanges.
    int focalLength = panelFieldStart(PanelField::FocalLength);  // mm
    int resolutionX = panelFieldStart(PanelField::ResolutionX);  // the sketch's; the design always uses 1920
    int resolutionY = panelFieldStart(PanelField::ResolutionY);
    double angleDeg = panelFieldRange(PanelField::Angle).start;  // the angle spin box's value (two decimals)
    double refractiveIndex = panelFieldRange(PanelField::RefractiveIndex).start;  // the index spin box's value
    int prismDistance = panelFieldStart(PanelField::PrismDistance);  // prism base plane to image plane, mm
    int prismSize = panelFieldStart(PanelField::PrismSize);          // width of the prism base, mm
    int virtualCameraPos = panelFieldStart(PanelField::VirtualCameraPos);  // the sketch's virtual camera height
    int fitOrder = panelFieldStart(PanelField::FitOrder);
    bool fixAngle = false;          // "fix angle" was applied
    DesignModel designModel = DesignModel::Refraction;  // the equations the design solves
    // The single-precision angle the sketch draws and the design takes. It
    // follows the spin box, except right after "fix angle", when it holds the
    // rule's exact value until the spin box's value next changes.
    float designAngleDeg = static_cast<float>(panelFieldRange(PanelField::Angle).start);

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

