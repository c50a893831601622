#pragma once

// The plots of a tolerance run as PNG bytes: per figure a histogram of the
// trials that calibrated with its cumulative curve and the criterion, and
// the sensitivity table as bars (change of the most moved figure in units of
// its criterion, worst first). Needs a QGuiApplication (fonts).

#include "tolerance/tolerance_run.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace tolerance {

// ("tolerance_<figure>.png", bytes) for every figure, then
// ("tolerance_sensitivity.png", bytes) when there is a table.
QList<QPair<QString, QByteArray>> tolerancePlots(const std::vector<TrialFigures>& figures, const PassCriteria& criteria,
                                                 const std::vector<SensitivityRow>* sensitivityRows);

}  // namespace tolerance
