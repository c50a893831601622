#pragma once

#include "parameters/panel_parameters.h"

#include <cstddef>

// One design run: its inputs, the constants derived from them, the
// Runge-Kutta scratch and every point buffer. Component 0 of each buffer set
// is the exit surface, component 1 the entrance surface.
//
// A buffer set is an array of componentCount pointers, each to an array of
// doubles. Lengths, with q = quarterSteps and h = halfSteps:
//   rowPass q; columnPass, passX, passY h; rowHeights, rowX 4q;
//   columnZ, columnX, columnY 2h; gridZ, gridX, gridY 8qh (column b, entry r
//   is grid element e = b*2h + r). A record created with a gridStride above
//   1 keeps only the elements e that are multiples of the stride, element e
//   at index e / gridStride: with designGridFileStride, just what
//   "outputall.txt" holds.
struct DesignRecord {
    double focalLength = 0.0;          // mm
    double pixelSize = 0.0;            // mm, always 0.0055
    double resolutionX = 0.0;          // pixels
    double prismAngle = 0.0;           // radians
    double prismDistance = 0.0;        // prism base plane to image plane, mm
    double prismSize = 0.0;            // base width, mm
    double refractiveIndex = 0.0;
    double virtualPinholeX = 0.0;      // left half; the right half uses its negation
    double pinholeHeight = 0.0;        // z of the camera pinhole, mm
    double step = 0.0;                 // signed step of the pass in progress
    double startExitHeight = 0.0;
    double startEntranceHeight = 0.0;
    double* state = nullptr;           // (exit height, entrance height)
    double** rowPass = nullptr;
    double** columnPass = nullptr;
    double** rowHeights = nullptr;
    double** rowX = nullptr;
    double** columnZ = nullptr;
    double** columnX = nullptr;
    double** columnY = nullptr;
    double** gridZ = nullptr;
    double** gridX = nullptr;
    double** gridY = nullptr;
    double** passX = nullptr;
    double** passY = nullptr;
    int componentCount = 0;
    int quarterSteps = 0;
    int halfSteps = 0;
    double* derivative = nullptr;
    double* accumulator = nullptr;
    double* stepStart = nullptr;
    double quarterWidth = 0.0;         // set by traceDesign
    double minusSinAngle = 0.0;
    double cosAngle = 0.0;
    double apexHeight = 0.0;
    int gridStride = 1;                // grid elements kept: every gridStride-th
    // Optional, not owned: when set, every column also leaves the heights of
    // its points (both components, full grid, element e at e) here.
    double* nodeHeights[2] = {nullptr, nullptr};
};

// Every tenth grid element goes to "outputall.txt".
inline constexpr int designGridFileStride = 10;

// Length of a grid buffer of a record: ceil(8 quarterSteps halfSteps / stride).
std::size_t designGridLength(const DesignRecord& record);

// Stores the counts and allocates every array (contents uninitialised). All
// pointers are cleared first, so after a failed allocation (std::bad_alloc,
// also for negative or oversized counts) designRecordRelease frees exactly
// what was allocated. Call it on a new or released record.
void designRecordCreate(DesignRecord* record, int componentCount, int quarterSteps, int halfSteps);
// The same keeping only every gridStride-th grid element (1 or
// designGridFileStride; anything else throws std::invalid_argument).
void designRecordCreate(DesignRecord* record, int componentCount, int quarterSteps, int halfSteps,
                        int gridStride);

// Frees every array once and clears the pointers; safe after a partial create
// and when called twice.
void designRecordRelease(DesignRecord* record);

// Owns a created record for one scope and releases it on every way out,
// exceptions included.
class ScopedDesignRecord {
public:
    explicit ScopedDesignRecord(int componentCount = 2, int quarterSteps = 480, int halfSteps = 540,
                                int gridStride = 1);
    ~ScopedDesignRecord();
    ScopedDesignRecord(const ScopedDesignRecord&) = delete;
    ScopedDesignRecord& operator=(const ScopedDesignRecord&) = delete;

    DesignRecord& record() { return record_; }
    const DesignRecord& record() const { return record_; }
    DesignRecord* operator->() { return &record_; }
    DesignRecord& operator*() { return record_; }

private:
    DesignRecord record_;
};

// The values the design action reads: the main window's ints and float, the
// sketch's float angle (degrees) and the sketch's point. The start values
// are the panel's (panelFieldRanges).
struct DesignParameters {
    int focalLength = panelFieldStart(PanelField::FocalLength);
    int resolutionX = designResolutionX;
    float angleDeg = static_cast<float>(panelFieldRange(PanelField::Angle).start);
    int prismDistance = panelFieldStart(PanelField::PrismDistance);
    int prismSize = panelFieldStart(PanelField::PrismSize);
    float refractiveIndex = static_cast<float>(panelFieldRange(PanelField::RefractiveIndex).start);
    double centralRayHitX = 0.0;
    double centralRayHitY = 0.0;
};

// Fills the twelve inputs of a created record, in the record's order.
void fillDesignRecord(DesignRecord& record, const DesignParameters& parameters);

// The design's inputs: the panel's values, the design angle, the 1920-pixel
// resolution and the given central-ray hit.
DesignParameters toDesignParameters(const PanelParameters& parameters, const CentralRayHit& hit);
