#pragma once

// The plots of a design sweep as PNG bytes, one per figure: over one swept
// quantity a line of the figure against it, over two or more a heat map over
// the first two (each cell the best point over the other quantities), the
// best point ringed and failed points in magenta. Needs a QGuiApplication.

#include "sweep/sweep.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace tolerance {

// ("sweep_<figure>.png", bytes) for every figure.
QList<QPair<QString, QByteArray>> sweepPlots(const SweepIdentity& identity, const std::vector<SweepRow>& rows);

}  // namespace tolerance
