#pragma once

// Which design a result was made from. Every result file set made from the
// design points ("result_para_fit.json", "prism.json") records, under
// "origin", the digest of the "outputall.txt" it read (io/points_digest.h)
// and, when the "design.json" beside it records the same digest, that
// design's model, angle and panel values. A reader compares the origin with
// the design now in the folder; a fit of another design is refused or
// flagged with what differs, e.g. "the fit in this folder belongs to another
// design (angle 30°, not 20°)".

#include <QJsonObject>
#include <QString>

class JsonWriter;
struct DesignJson;

struct DesignOrigin {
    QString pointsDigest;       // "pointsSha1"; empty when unknown (files of older versions)
    bool designKnown = false;   // the design's values below are known
    QString designModel;
    double angleDeg = 0.0;      // the angle the design took
    double focalLength = 0.0;
    double prismDistance = 0.0;
    double prismSize = 0.0;
    double refractiveIndex = 0.0;
};

// The origin of a design description (its digest and values).
DesignOrigin designOriginOf(const DesignJson& design);
// The origin of points with `digest` read from `directory`: with the values
// of its "design.json" when that records the same digest.
DesignOrigin designOriginFor(const QString& directory, const QString& digest);
// The design now in `directory`: the digest "design.json" records, or, for
// a "design.json" of an older version or none, that of "outputall.txt" read
// whole; an empty digest when there is no readable design file.
DesignOrigin currentDesignOrigin(const QString& directory);

// The member "origin": {"pointsSha1": ..., "design": {...} or null}.
void writeDesignOrigin(JsonWriter& w, const DesignOrigin& origin);
// The origin a result file records; an empty one when it records none.
DesignOrigin readDesignOrigin(const QJsonObject& root);

// Empty when a result made from `result` belongs to `design`: the same
// digest, or either unknown. Otherwise what differs, e.g. "angle 30°, not
// 20°", or "its design points differ" when no recorded value does.
QString originDifference(const DesignOrigin& result, const DesignOrigin& design);
// "<what> belongs to another design (<difference>)", or empty when it
// belongs to `design`; `what` e.g. "the fit in this folder".
QString foreignResultMessage(const QString& what, const DesignOrigin& result, const DesignOrigin& design);

// For a reader of a folder: empty when the fit "result_para_fit.json" in
// `fitDirectory` belongs to the design in `designDirectory` (or either says
// nothing about it); otherwise "the fit in this folder belongs to another
// design (...)" (the folder named when it is not the design's).
QString foreignFitMessage(const QString& fitDirectory, const QString& designDirectory);
// The same for a prism file ("prism.json").
QString foreignPrismMessage(const QString& prismFile, const QString& designDirectory);
