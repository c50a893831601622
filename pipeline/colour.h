#pragma once

// The colour choices of a run, as the command-line tool and the window take
// them: the material (by name, from the built-in catalogue and a user's
// catalogue file), the design wavelength and the band. Resolved here into
// the design's index and the pipeline's ColourInput, with every fault
// refused before anything runs.

#include "pipeline/stages.h"

#include <QString>

namespace pipeline {

struct ColourChoice {
    QString material = QStringLiteral("custom");
    double wavelengthNm = materials::lineD;
    QString band = QStringLiteral("visible");
    QString catalogueFile;  // empty: the built-in catalogue only
    bool given = false;     // a material, wavelength or band was named: the files record them
    // Calibrate per colour channel too: R, G, B at 610, 550, 465 nm in the
    // visible band, else the band's short edge, centre and long edge.
    bool perChannel = false;
};

// The built-in catalogue with the entries of `file` (when not empty) added
// or replacing; false with "FILE:LINE: ..." or "FILE: ..." in *error.
bool loadCatalogue(const QString& file, materials::Catalogue* catalogue, QString* error);

// Checks the choice and fills *colour; a material other than "custom" sets
// the panel's index to its index at the design wavelength. False with a
// one-line reason: an unknown material, a wavelength or band edge outside
// the material's range, a band narrower than 1 nm, a malformed catalogue.
bool resolveColour(const ColourChoice& choice, PanelParameters* panel, ColourInput* colour, QString* error);

}  // namespace pipeline
