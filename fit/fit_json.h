#pragma once

// "result_para_fit.json": the fit of one order at full precision, beside the
// report "result_para_fit.txt" (whose 13 decimals lose the high-order terms).
// For each surface: its terms as (x power, y power) in the model's order, the
// coefficients in shortest round-trip form, the window its points came from,
// the point count and the mean absolute residual; non-finite numbers as null.

#include "fit/fit_run.h"

#include <QByteArray>
#include <QString>

#include <vector>

inline constexpr char fitJsonFileName[] = "result_para_fit.json";

struct FitJsonSurface {
    std::vector<int> xPowers;
    std::vector<int> yPowers;
    std::vector<double> coefficients;
    double xLow = 0.0, xHigh = 0.0, yLow = 0.0, yHigh = 0.0;  // low < x < high; x -> |x| when mirrored
    bool mirrored = false;   // the left half is the mirror image of the fitted x > 0 half
    int points = 0;
    double residual = 0.0;   // Res1 or Res2
};

struct FitJson {
    int order = 3;
    FitJsonSurface surface1;
    FitJsonSurface surface2;
    DesignOrigin origin;  // member "origin" (fit/design_origin.h)
};

FitJson fitJsonFromSummary(const FitRunSummary& summary);
QByteArray fitJsonBytes(const FitJson& fit);
// Replaces directory/result_para_fit.json atomically.
bool writeFitJson(const QString& directory, const FitJson& fit);
// False with a one-line message when the file is missing or malformed: an
// order outside 3..8, terms that are not the model's, coefficient counts
// that do not match them, a missing member.
bool readFitJson(const QString& path, FitJson* fit, QString* error);
