#pragma once

// The tolerances of a made prism and its mounting, and what a made camera
// must reach to pass: the tolerance file ("tolerances" and "criteria", every
// member optional, unknown names refused) with the defaults of a moulded or
// polished prism.

#include <QByteArray>
#include <QString>

#include <array>

namespace tolerance {

// Every tolerance, in the order of the trial's draws and of the tables.
enum class ToleranceKind {
    DecentreX,      // mm, lateral shift of the prism along x
    DecentreY,      // mm, along y
    TiltX,          // degrees, rotation of the prism about x through the centre of its base
    TiltY,          // degrees, about y
    TiltZ,          // degrees, about the optical axis
    Distance,       // mm, prism base to camera (positive: farther)
    FormEntrance,   // micrometres RMS of form error on the entrance surface
    FormExit,       // micrometres RMS on the exit surface
    Index,          // refractive index of the glass (a cemented prism: the first, the crown), absolute
    FocalLength,    // percent of the camera's focal length
    SensorTiltX,    // degrees, sensor tilted about its x axis through its centre
    SensorTiltY,    // degrees, about its y axis
    // A cemented prism's interface and second glass (no effect on a prism of
    // one glass):
    FormInterface,  // micrometres RMS of form error on the interface
    InterfaceTilt,  // degrees, the interface tilted about the y axis through its centre (a wedge of the joint)
    SecondIndex,    // refractive index of the second glass (the flint), absolute
};
inline constexpr int toleranceKindCount = 15;

// The file's name of a tolerance ("decentreXMm", ...).
const char* toleranceName(ToleranceKind kind);

struct Tolerances {
    // Limits, indexed by ToleranceKind.
    std::array<double, toleranceKindCount> limit{0.05, 0.05, 0.1, 0.1, 0.1, 0.1, 1.0,
                                                  1.0,  0.001, 1.0, 0.1, 0.1, 1.0, 0.1, 0.001};

    double& operator[](ToleranceKind kind) { return limit[static_cast<std::size_t>(kind)]; }
    double operator[](ToleranceKind kind) const { return limit[static_cast<std::size_t>(kind)]; }
};

// A made camera passes when every figure is finite and within these.
struct PassCriteria {
    double maxResidualPx = 0.5;         // calibrated reprojection RMS of each half
    double maxNonCentralityMm = 0.5;    // RMS distance of a half's rays from their common point
    double maxDepthErrorPercent = 1.0;  // RMS depth error at each of 0.3, 1 and 2 m
    double maxBaselineChangeMm = 0.5;   // |calibrated baseline - nominal calibrated baseline|
};

struct ToleranceFile {
    Tolerances tolerances;
    PassCriteria criteria;
};

// Reads the file's JSON text; false with a one-line message for text that is
// not a JSON object, an unknown name, a value that is not a number, a
// negative or non-finite limit, or a criterion that is not positive. The
// limits that depend on the prism are checked by checkLimits.
bool parseToleranceFile(const QByteArray& text, ToleranceFile* file, QString* error);

// The largest limit accepted: for a decentre the prism's half width
// (`prismHalfWidthMm`), otherwise a fixed bound of the kind (10 degrees of
// tilt, 10 mm of distance, 100 micrometres of form error, 0.1 in either index,
// 20 percent of focal length).
double maximumLimit(ToleranceKind kind, double prismHalfWidthMm);

// Null when every limit is within maximumLimit for a prism of that half
// width; otherwise the one-line reason.
QString checkLimits(const Tolerances& tolerances, double prismHalfWidthMm);

// The file's content as one canonical line of JSON (every member, in order):
// the identity of a run's tolerances.
QByteArray toleranceFileJson(const ToleranceFile& file);

}  // namespace tolerance
