#pragma once

// "prism.json": what a prism fit leaves beside its other results, and what
// the exports are made from: the panel values, the design and fit models, and
// for each surface its normalisation, terms, coefficients and domain.
// Numbers are written in their shortest round-trip form, so reading the file
// back gives the very same doubles; non-finite numbers are written as null.

#include "fit/design_origin.h"
#include "parameters/colour_record.h"
#include "design/design_record.h"
#include "fit/prism_fit.h"

#include <QString>

#include <array>
#include <cmath>

#include <string>

inline constexpr char prismFileName[] = "prism.json";
inline constexpr char prismFileFormat[] = "harvenlotek-prism";
inline constexpr int prismFileVersion = 1;

// Appends the shortest text that reads back as exactly `value` (the JSON
// writer's number form), or "null" for an infinity or not-a-number.
void appendShortestNumber(std::string* out, double value);

// The panel values a prism was designed with, as the design takes them.

// The verified errors of a prism, when the verifier ran on it.
struct PrismVerifiedSummary {
    bool present = false;
    double directionRmsPx = 0.0;
    double directionMaxPx = 0.0;
    double pinholeRmsMm = 0.0;
    double pinholeMaxMm = 0.0;
    double reprojectionRmsPx = 0.0;  // at 1 m
    double reprojectionMaxPx = 0.0;
    int untracedPixels = 0;          // sampled pixels whose ray did not get through
    // The columns nearest the centre whose rays cross x = 0 inside the glass
    // (first and last column of each half's band; first > last: none), and
    // the largest non-centrality of a half without them (mm). Absent from
    // older files: no band (NaN).
    std::array<int, 4> centreBandColumns{{0, -1, 0, -1}};
    double outsideBandNonCentralityRmsMm = std::nan("");
    double outsideBandNonCentralityMaxMm = std::nan("");
};

// What the optimisation on the rays did, when it ran.
struct PrismOptimizedSummary {
    bool present = false;
    int iterations = 0;
    int samplePixels = 0;
    double startDirectionRmsPx = 0.0;  // over the sample
    double endDirectionRmsPx = 0.0;
    double startPinholeRmsMm = 0.0;
    double endPinholeRmsMm = 0.0;
    QString stopReason;
};

struct PrismFileContent {
    DesignParameters panel;
    QString designModel = QStringLiteral("classic");
    QString fitModel = QStringLiteral("prism");
    PrismFit fit;
    PrismVerifiedSummary verified;
    PrismOptimizedSummary optimized;
    DesignOrigin origin;  // member "origin": the design the points came from (fit/design_origin.h)
    ColourRecord colour;  // members "material", "wavelengthNm", "band" when recorded
};

// The JSON text of a prism file.
std::string prismFileText(const PrismFileContent& content);
// Writes "prism.json" into `directory` atomically (temporary file, then
// rename); false with a one-line message when it cannot.
bool writePrismFile(const QString& directory, const PrismFileContent& content, QString* error);
// Reads a prism file; false with a one-line message when it is missing, not
// JSON, of another format, or lacks a surface.
bool readPrismFile(const QString& path, PrismFileContent* content, QString* error);

// One prism fit of an order: the fit of the design points and "prism.json"
// in `outputDirectory`. False with a one-line message when the file cannot
// be written (the fit is still in *fit).
bool runPrismFit(const PrismDesignPoints& points, int order, const DesignParameters& panel,
                 const QString& outputDirectory, PrismFit* fit, QString* error);
