#pragma once

// What a verification is run on, as the command-line tool and the window
// find it: the design of a directory (the full-precision grid of a record in
// memory, or "outputall.txt" smoothed, with the geometry of "design.json" or
// of the given panel values) and the fits written there.

#include "design/design_record.h"
#include "parameters/panel_parameters.h"
#include "verify/verify.h"

#include <QByteArray>
#include <QString>

#include <vector>

namespace verify {

struct VerifySource {
    QString source;   // "design" or "fit"
    int order = -1;   // the fit's order; -1 for the design
    PrismGeometry geometry;
    PrismSurfaces surfaces;
};

// The geometry a design record was made with.
PrismGeometry geometryOfRecord(const DesignRecord& record);
// The geometry the panel's values give (the design the panel would make).
PrismGeometry geometryOfPanel(const PanelParameters& panel);

// The design in `directory`: "outputall.txt" smoothed, geometry from
// "design.json" or, without it, from `panel` (*fromPanel tells which).
// False with a one-line message when the design file is missing or is not
// one, or when "design.json" is there but malformed.
bool loadDesignSource(const QString& directory, const PanelParameters& panel, VerifySource* source,
                      bool* fromPanel, QString* error);
// The fit in `directory` ("result_para_fit.json"), with the design's geometry.
bool loadFitSource(const QString& directory, const PrismGeometry& geometry, VerifySource* source,
                   int* order, QString* error);

// The version of the verification JSON, raised when a key changes meaning or
// goes (new keys keep it).
inline constexpr int verificationSchemaVersion = 1;
// {"schemaVersion": 1, "verification": [{"source", "order", "left", "right"}, ...]} with the
// per-half statistics (depth keys in shortest form); compact, one line.
QByteArray verificationJson(const std::vector<VerifySource>& sources, const std::vector<VerifyResult>& results);
// The members "source" .. "right" of one entry, for embedding.
QByteArray verificationEntriesJson(const std::vector<VerifySource>& sources,
                                   const std::vector<VerifyResult>& results);
// A small table: one line per source and half.
QString verificationTable(const std::vector<VerifySource>& sources, const std::vector<VerifyResult>& results);

}  // namespace verify
