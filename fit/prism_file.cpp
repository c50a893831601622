#include "fit/prism_file.h"

#include "io/atomic_file_set.h"
#include "io/safe_input.h"
#include "parameters/panel_parameters.h"
#include "textio/json_file.h"

#include "fit/fit_files.h"
#include "fit/prism_frame.h"
#include "textio/json_writer.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

void writeSurface(JsonWriter& w, const PrismSurfaceFit& fit)
{
    w.beginObject();
    w.key("order").integer(fit.surface.order);
    w.key("normalisation").beginObject().key("x0").number(fit.surface.x0).key("R").number(fit.surface.radius).endObject();
    w.key("terms").beginInlineArray();
    for (const PrismTerm& t : prismTerms(fit.surface.order))
        w.beginInlineArray().integer(t.uPower).integer(t.wPower).endArray();
    w.endArray();
    w.key("coefficients").beginInlineArray();
    for (double c : fit.surface.coefficients)
        w.number(c);
    w.endArray();
    w.key("domain").beginObject();
    w.key("xMin").number(fit.domain.xMin).key("xMax").number(fit.domain.xMax);
    w.key("yMin").number(fit.domain.yMin).key("yMax").number(fit.domain.yMax);
    w.endObject();
    w.key("pointCount").integer(fit.pointCount);
    w.key("rank").integer(fit.rank);
    w.key("rmsResidualMm").number(fit.rmsResidual);
    w.key("maxResidualMm").number(fit.maxResidual);
    w.key("conditionNumber").number(fit.conditionNumber);
    w.key("mirrorPointCount").integer(fit.mirrorPointCount);
    w.key("mirrorRmsResidualMm").number(fit.mirrorRmsResidual);
    w.key("mirrorMaxResidualMm").number(fit.mirrorMaxResidual);
    w.endObject();
}

// The frame of the exports (see fit/prism_frame.h), as "frame.txt" states it.
void writeFrame(JsonWriter& w, const PrismFrame& frame)
{
    w.key("frame").beginObject();
    w.key("units").string(QStringLiteral("mm"));
    w.key("origin").string(QStringLiteral("on the camera's optical axis, in the plane of the prism's base (z = 0)"));
    w.key("x").string(QStringLiteral("along the sensor rows; the left half (sensor x < 0) looks through x < 0"));
    w.key("y").string(QStringLiteral("along the sensor columns"));
    w.key("z").string(QStringLiteral("along the optical axis, from the prism's base towards the camera"));
    w.key("sag").string(QStringLiteral("height z above the base plane, positive towards the camera"));
    w.key("centre").string(QString::fromLatin1(prismCentreStatement));
    w.key("imagePlaneZMm").number(frame.imagePlaneZ);
    w.key("pinholeMm").beginInlineArray().number(0.0).number(0.0).number(frame.pinholeZ).endArray();
    w.key("gridSag").beginArray();
    std::vector<HalfPlacement> placements(frame.halves.begin(), frame.halves.end());
    placements.insert(placements.end(), frame.interfaceHalves.begin(), frame.interfaceHalves.end());
    for (const HalfPlacement& h : placements) {
        w.beginObject();
        w.key("file").string(QString::fromLatin1(h.fileName));
        w.key("xdecMm").number(h.xdec).key("ydecMm").number(h.ydec);
        w.key("xRangeMm").beginInlineArray().number(h.xMin).number(h.xMax).endArray();
        w.key("yRangeMm").beginInlineArray().number(h.yMin).number(h.yMax).endArray();
        w.endObject();
    }
    w.endArray();
    w.endObject();
}

double number(const QJsonValue& value)
{
    return value.isDouble() ? value.toDouble() : std::nan("");
}

bool readSurface(const QJsonObject& object, PrismSurfaceFit* fit)
{
    fit->surface.order = object.value(QStringLiteral("order")).toInt(-1);
    if (fit->surface.order < lowestPrismOrder || fit->surface.order > highestPrismOrder)
        return false;
    const QJsonObject normalisation = object.value(QStringLiteral("normalisation")).toObject();
    fit->surface.x0 = number(normalisation.value(QStringLiteral("x0")));
    fit->surface.radius = number(normalisation.value(QStringLiteral("R")));
    const std::vector<PrismTerm> terms = prismTerms(fit->surface.order);
    const QJsonArray termArray = object.value(QStringLiteral("terms")).toArray();
    const QJsonArray coefficients = object.value(QStringLiteral("coefficients")).toArray();
    if (termArray.size() != static_cast<int>(terms.size()) || coefficients.size() != termArray.size())
        return false;
    fit->surface.coefficients.clear();
    for (int t = 0; t < termArray.size(); ++t) {
        const QJsonArray powers = termArray.at(t).toArray();
        if (powers.size() != 2 || powers.at(0).toInt(-1) != terms[t].uPower
            || powers.at(1).toInt(-1) != terms[t].wPower)
            return false;
        fit->surface.coefficients.push_back(number(coefficients.at(t)));
    }
    const QJsonObject domain = object.value(QStringLiteral("domain")).toObject();
    fit->domain = {number(domain.value(QStringLiteral("xMin"))), number(domain.value(QStringLiteral("xMax"))),
                   number(domain.value(QStringLiteral("yMin"))), number(domain.value(QStringLiteral("yMax")))};
    fit->pointCount = object.value(QStringLiteral("pointCount")).toInt();
    fit->rank = object.value(QStringLiteral("rank")).toInt();
    fit->rmsResidual = number(object.value(QStringLiteral("rmsResidualMm")));
    fit->maxResidual = number(object.value(QStringLiteral("maxResidualMm")));
    fit->conditionNumber = number(object.value(QStringLiteral("conditionNumber")));
    fit->mirrorPointCount = object.value(QStringLiteral("mirrorPointCount")).toInt();
    fit->mirrorRmsResidual = number(object.value(QStringLiteral("mirrorRmsResidualMm")));
    fit->mirrorMaxResidual = number(object.value(QStringLiteral("mirrorMaxResidualMm")));
    for (double v : fit->surface.coefficients)
        if (!std::isfinite(v))
            return false;
    return std::isfinite(fit->surface.x0) && std::isfinite(fit->surface.radius) && fit->surface.radius > 0.0
           && std::isfinite(fit->domain.xMin) && std::isfinite(fit->domain.xMax)
           && std::isfinite(fit->domain.yMin) && std::isfinite(fit->domain.yMax);
}

}  // namespace

void appendShortestNumber(std::string* out, double value)
{
    QByteArray text;
    appendJsonNumber(&text, value);
    out->append(text.constData(), static_cast<std::size_t>(text.size()));
}

std::string prismFileText(const PrismFileContent& content)
{
    JsonWriter w;
    w.beginObject();
    w.key("format").string(QString::fromLatin1(prismFileFormat));
    w.key("version").integer(prismFileVersion);
    const DesignParameters& p = content.panel;
    w.key("panel").beginObject();
    w.key("focalLengthMm").integer(p.focalLength);
    w.key("resolutionX").integer(p.resolutionX);
    w.key("pixelPitchMm").number(pixelPitch);
    w.key("angleDeg").number(static_cast<double>(p.angleDeg));
    w.key("prismDistanceMm").integer(p.prismDistance);
    w.key("prismSizeMm").integer(p.prismSize);
    w.key("refractiveIndex").number(static_cast<double>(p.refractiveIndex));
    w.key("centralRayHitX").number(p.centralRayHitX);
    w.key("centralRayHitY").number(p.centralRayHitY);
    w.endObject();
    w.key("designModel").string(content.designModel);
    w.key("fitModel").string(content.fitModel);
    w.key("order").integer(content.fit.order);
    w.key("halves").string(QStringLiteral("the surfaces are those of the left half (sensor x < 0), used for x < 0; "
                                          "the right half uses their mirror images z(-x, y) for x >= 0"));
    w.key("polynomial").string(
        QStringLiteral("z = sum c[k] u^terms[k][0] w^terms[k][1], u = (x - x0) / R, w = y / R, mm"));
    w.key("surfaces").beginObject();
    w.key("exit");
    writeSurface(w, content.fit.exit);
    w.key("entrance");
    writeSurface(w, content.fit.entrance);
    w.endObject();
    const PrismInterface& cemented = content.fit.interface;
    if (cemented.present) {
        w.key("interface").beginObject();
        w.key("crown").string(cemented.crown);
        w.key("flint").string(cemented.flint);
        w.key("designWavelengthNm").number(cemented.designWavelengthNm);
        w.key("crownIndex").number(cemented.crownIndex);
        w.key("flintIndex").number(cemented.flintIndex);
        w.key("surface");
        writeSurface(w, cemented.fit);
        w.endObject();
    }
    w.key("optimized");
    const PrismOptimizedSummary& o = content.optimized;
    if (!o.present) {
        w.null();
    } else {
        w.beginObject();
        w.key("iterations").integer(o.iterations);
        w.key("samplePixels").integer(o.samplePixels);
        w.key("startDirectionRmsPx").number(o.startDirectionRmsPx);
        w.key("endDirectionRmsPx").number(o.endDirectionRmsPx);
        w.key("startPinholeRmsMm").number(o.startPinholeRmsMm);
        w.key("endPinholeRmsMm").number(o.endPinholeRmsMm);
        w.key("stopReason").string(o.stopReason);
        w.endObject();
    }
    w.key("verified");
    const PrismVerifiedSummary& v = content.verified;
    if (!v.present) {
        w.null();
    } else {
        w.beginObject();
        w.key("directionRmsPx").number(v.directionRmsPx);
        w.key("directionMaxPx").number(v.directionMaxPx);
        w.key("pinholeRmsMm").number(v.pinholeRmsMm);
        w.key("pinholeMaxMm").number(v.pinholeMaxMm);
        w.key("reprojection1mRmsPx").number(v.reprojectionRmsPx);
        w.key("reprojection1mMaxPx").number(v.reprojectionMaxPx);
        w.key("untracedPixels").integer(v.untracedPixels);
        w.key("centreBandColumns").beginObject();
        w.key("left").beginInlineArray().integer(v.centreBandColumns[0]).integer(v.centreBandColumns[1]).endArray();
        w.key("right").beginInlineArray().integer(v.centreBandColumns[2]).integer(v.centreBandColumns[3]).endArray();
        w.endObject();
        w.key("outsideCentreBandNonCentralityRmsMm").number(v.outsideBandNonCentralityRmsMm);
        w.key("outsideCentreBandNonCentralityMaxMm").number(v.outsideBandNonCentralityMaxMm);
        w.endObject();
    }
    writeDesignOrigin(w, content.origin);
    writeColourRecord(w, content.colour);
    writeFrame(w, prismFrameOf(content.panel, content.fit));
    w.endObject();
    const QByteArray bytes = w.bytes();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

bool writePrismFile(const QString& directory, const PrismFileContent& content, QString* error)
{
    const QString path = fitFilePath(directory, prismFileName);
    const std::string text = prismFileText(content);
    return writeFileAtomically(path, text.data(), text.size(), error);
}

bool readPrismFile(const QString& path, PrismFileContent* content, QString* error)
{
    // A regular file only: a FIFO in its place must not block.
    if (classifyPath(path) != PathKind::Regular) {
        *error = QStringLiteral("no prism fit: '%1' cannot be read (run a fit with --fit-model prism first)")
                     .arg(path);
        return false;
    }
    QJsonObject root;
    QString reason;
    if (!readJsonObjectFile(path, &root, &reason)
        || root.value(QStringLiteral("format")).toString() != QLatin1String(prismFileFormat)) {
        *error = QStringLiteral("'%1' is not a prism file").arg(path);
        return false;
    }
    PrismFileContent c;
    const QJsonObject panel = root.value(QStringLiteral("panel")).toObject();
    c.panel.focalLength = panel.value(QStringLiteral("focalLengthMm")).toInt();
    c.panel.resolutionX = panel.value(QStringLiteral("resolutionX")).toInt();
    c.panel.angleDeg = static_cast<float>(number(panel.value(QStringLiteral("angleDeg"))));
    c.panel.prismDistance = panel.value(QStringLiteral("prismDistanceMm")).toInt();
    c.panel.prismSize = panel.value(QStringLiteral("prismSizeMm")).toInt();
    c.panel.refractiveIndex = static_cast<float>(number(panel.value(QStringLiteral("refractiveIndex"))));
    c.panel.centralRayHitX = number(panel.value(QStringLiteral("centralRayHitX")));
    c.panel.centralRayHitY = number(panel.value(QStringLiteral("centralRayHitY")));
    c.designModel = root.value(QStringLiteral("designModel")).toString();
    c.fitModel = root.value(QStringLiteral("fitModel")).toString();
    c.fit.order = root.value(QStringLiteral("order")).toInt();
    const QJsonObject surfaces = root.value(QStringLiteral("surfaces")).toObject();
    if (!readSurface(surfaces.value(QStringLiteral("exit")).toObject(), &c.fit.exit)
        || !readSurface(surfaces.value(QStringLiteral("entrance")).toObject(), &c.fit.entrance)) {
        *error = QStringLiteral("'%1' lacks a complete exit or entrance surface").arg(path);
        return false;
    }
    const QJsonValue cemented = root.value(QStringLiteral("interface"));
    if (!cemented.isUndefined()) {
        const QJsonObject i = cemented.toObject();
        PrismInterface& f = c.fit.interface;
        f.present = true;
        f.crown = i.value(QStringLiteral("crown")).toString();
        f.flint = i.value(QStringLiteral("flint")).toString();
        f.designWavelengthNm = number(i.value(QStringLiteral("designWavelengthNm")));
        f.crownIndex = number(i.value(QStringLiteral("crownIndex")));
        f.flintIndex = number(i.value(QStringLiteral("flintIndex")));
        if (!readSurface(i.value(QStringLiteral("surface")).toObject(), &f.fit) || f.crown.isEmpty()
            || f.flint.isEmpty() || !(f.crownIndex >= 1.0) || !(f.flintIndex >= 1.0)
            || !(f.designWavelengthNm > 0.0)) {
            *error = QStringLiteral("'%1' has an incomplete interface (needs its surface, both glasses and their "
                                    "indices)")
                         .arg(path);
            return false;
        }
    }
    const QJsonValue optimized = root.value(QStringLiteral("optimized"));
    if (optimized.isObject()) {
        const QJsonObject o = optimized.toObject();
        c.optimized.present = true;
        c.optimized.iterations = o.value(QStringLiteral("iterations")).toInt();
        c.optimized.samplePixels = o.value(QStringLiteral("samplePixels")).toInt();
        c.optimized.startDirectionRmsPx = number(o.value(QStringLiteral("startDirectionRmsPx")));
        c.optimized.endDirectionRmsPx = number(o.value(QStringLiteral("endDirectionRmsPx")));
        c.optimized.startPinholeRmsMm = number(o.value(QStringLiteral("startPinholeRmsMm")));
        c.optimized.endPinholeRmsMm = number(o.value(QStringLiteral("endPinholeRmsMm")));
        c.optimized.stopReason = o.value(QStringLiteral("stopReason")).toString();
    }
    const QJsonValue verified = root.value(QStringLiteral("verified"));
    if (verified.isObject()) {
        const QJsonObject v = verified.toObject();
        c.verified.present = true;
        c.verified.directionRmsPx = number(v.value(QStringLiteral("directionRmsPx")));
        c.verified.directionMaxPx = number(v.value(QStringLiteral("directionMaxPx")));
        c.verified.pinholeRmsMm = number(v.value(QStringLiteral("pinholeRmsMm")));
        c.verified.pinholeMaxMm = number(v.value(QStringLiteral("pinholeMaxMm")));
        c.verified.reprojectionRmsPx = number(v.value(QStringLiteral("reprojection1mRmsPx")));
        c.verified.reprojectionMaxPx = number(v.value(QStringLiteral("reprojection1mMaxPx")));
        c.verified.untracedPixels = v.value(QStringLiteral("untracedPixels")).toInt();
        const QJsonObject band = v.value(QStringLiteral("centreBandColumns")).toObject();
        const QJsonArray left = band.value(QStringLiteral("left")).toArray();
        const QJsonArray right = band.value(QStringLiteral("right")).toArray();
        if (left.size() == 2 && right.size() == 2)
            c.verified.centreBandColumns = {left[0].toInt(), left[1].toInt(), right[0].toInt(), right[1].toInt()};
        c.verified.outsideBandNonCentralityRmsMm = number(v.value(QStringLiteral("outsideCentreBandNonCentralityRmsMm")));
        c.verified.outsideBandNonCentralityMaxMm = number(v.value(QStringLiteral("outsideCentreBandNonCentralityMaxMm")));
    }
    c.origin = readDesignOrigin(root);
    c.colour = readColourRecord(root);
    *content = c;
    return true;
}

bool runPrismFit(const PrismDesignPoints& points, int order, const DesignParameters& panel,
                 const QString& outputDirectory, PrismFit* fit, QString* error)
{
    PrismFileContent content;
    content.panel = panel;
    content.fit = fitPrism(points, order);
    *fit = content.fit;
    return writePrismFile(outputDirectory, content, error);
}
