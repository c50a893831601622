#include "verify/verify_sources.h"

#include "design/design_files.h"
#include "design/design_json.h"
#include "fit/fit_json.h"
#include "textio/json_writer.h"

#include <QDir>
#include <QFileInfo>

#include <cmath>

namespace verify {

PrismGeometry geometryOfRecord(const DesignRecord& r)
{
    PrismGeometry g;
    g.focalLength = r.focalLength;
    g.prismDistance = r.prismDistance;
    g.refractiveIndex = r.refractiveIndex;
    g.virtualPinholeX = r.virtualPinholeX;
    return g;
}

PrismGeometry geometryOfPanel(const PanelParameters& panel)
{
    CentralRayHit hit = centralRayHit(panel);
    if (!hit.defined)
        hit.x = hit.y = std::nan("");
    const DesignParameters p = toDesignParameters(panel, hit);
    PrismGeometry g;
    g.focalLength = p.focalLength;
    g.prismDistance = p.prismDistance;
    g.refractiveIndex = static_cast<double>(p.refractiveIndex);
    g.virtualPinholeX = -p.centralRayHitX;
    return g;
}

bool loadDesignSource(const QString& directory, const PanelParameters& panel, VerifySource* source,
                      bool* fromPanel, QString* error)
{
    const QDir dir(directory);
    const QString jsonPath = dir.filePath(QString::fromLatin1(designJsonFileName));
    source->source = QStringLiteral("design");
    source->order = -1;
    if (QFileInfo::exists(jsonPath)) {
        DesignJson design;
        if (!readDesignJson(jsonPath, &design, error))
            return false;
        source->geometry.focalLength = design.focalLength;
        source->geometry.prismDistance = design.prismDistance;
        source->geometry.refractiveIndex = design.refractiveIndex;
        source->geometry.virtualPinholeX = design.virtualPinholeX;
        *fromPanel = false;
    } else {
        source->geometry = geometryOfPanel(panel);
        *fromPanel = true;
    }
    return designSurfacesFromFile(dir.filePath(QString::fromLatin1(designPointsFileName)), &source->surfaces, error);
}

bool loadFitSource(const QString& directory, const PrismGeometry& geometry, VerifySource* source, int* order,
                   QString* error)
{
    FitJson fit;
    if (!readFitJson(QDir(directory).filePath(QString::fromLatin1(fitJsonFileName)), &fit, error))
        return false;
    auto surface = [](const FitJsonSurface& s) {
        std::vector<PolynomialTerm> terms;
        for (std::size_t i = 0; i < s.xPowers.size(); ++i)
            terms.push_back({s.xPowers[i], s.yPowers[i]});
        return std::make_shared<PolynomialSurface>(terms, s.coefficients, s.mirrored,
                                                   FitWindow{s.xLow, s.xHigh, s.yLow, s.yHigh});
    };
    source->source = QStringLiteral("fit");
    source->order = fit.order;
    source->geometry = geometry;
    source->surfaces = fittedSurfaces(surface(fit.surface1), surface(fit.surface2));
    *order = fit.order;
    return true;
}

namespace {

void writeStatistics(JsonWriter& w, const MetricStatistics& s)
{
    w.beginObject();
    w.key("rms").number(s.rms);
    w.key("p95").number(s.p95);
    w.key("max").number(s.max);
    w.key("maxAt").beginObject();
    if (s.count > 0) {
        w.key("x").integer(s.maxAt.column);
        w.key("y").integer(s.maxAt.row);
    } else {
        w.key("x").null();
        w.key("y").null();
    }
    w.endObject();
    w.endObject();
}

void writeNonCentrality(JsonWriter& w, const NonCentrality& c)
{
    w.beginObject();
    w.key("rmsMm").number(c.rmsMm);
    w.key("maxMm").number(c.maxMm);
    w.key("rmsPx").number(c.rmsPx);
    w.key("maxPx").number(c.maxPx);
    w.key("commonPoint").beginArray();
    for (int k = 0; k < 3; ++k)
        w.number(c.commonPoint[k]);
    w.endArray();
    w.endObject();
}

void writeHalf(JsonWriter& w, const HalfStatistics& h, const std::vector<double>& depths)
{
    w.beginObject();
    w.key("traced").integer(h.traced);
    w.key("missed").integer(h.missed + h.noConvergence);
    w.key("totalReflection").integer(h.totalReflection);
    w.key("outsideWindow").integer(h.outsideWindow);
    w.key("directionPx");
    writeStatistics(w, h.directionPx);
    w.key("pinholeMm");
    writeStatistics(w, h.pinholeMm);
    w.key("reprojectionPx").beginObject();
    for (std::size_t k = 0; k < depths.size() && k < h.reprojectionPx.size(); ++k) {
        QByteArray name;
        appendJsonNumber(&name, depths[k]);
        w.key(name.constData());
        writeStatistics(w, h.reprojectionPx[k]);
    }
    w.endObject();
    w.key("nonCentrality");
    writeNonCentrality(w, h.nonCentrality);
    w.key("mirrorAsymmetryPx").beginObject();
    w.key("rms").number(h.mirrorAsymmetryPx.rms);
    w.key("max").number(h.mirrorAsymmetryPx.max);
    w.key("pairs").integer(h.mirrorAsymmetryPx.pairs);
    w.endObject();
    const CentreBand& b = h.centreBand;
    w.key("centreBand").beginObject();
    w.key("firstColumn").integer(b.firstColumn);
    w.key("lastColumn").integer(b.lastColumn);
    w.key("traced").integer(b.traced);
    w.key("crossingCentre").integer(b.crossing);
    w.key("directionPx").beginObject();
    w.key("rms").number(b.directionRmsPx);
    w.key("max").number(b.directionMaxPx);
    w.endObject();
    w.key("nonCentralityMm").beginObject();
    w.key("rms").number(b.nonCentralityRmsMm);
    w.key("max").number(b.nonCentralityMaxMm);
    w.endObject();
    w.endObject();
    const OutsideCentreBand& o = h.outsideCentreBand;
    w.key("outsideCentreBand").beginObject();
    w.key("traced").integer(o.traced);
    w.key("directionPx").beginObject();
    w.key("rms").number(o.directionRmsPx);
    w.key("max").number(o.directionMaxPx);
    w.endObject();
    w.key("nonCentrality");
    writeNonCentrality(w, o.nonCentrality);
    w.endObject();
    w.endObject();
}

void writeEntries(JsonWriter& w, const std::vector<VerifySource>& sources, const std::vector<VerifyResult>& results)
{
    w.beginArray();
    for (std::size_t i = 0; i < sources.size() && i < results.size(); ++i) {
        w.beginObject();
        w.key("source").string(sources[i].source);
        w.key("order");
        if (sources[i].order < 0)
            w.null();
        else
            w.integer(sources[i].order);
        w.key("left");
        writeHalf(w, results[i].halves[0], results[i].depths);
        w.key("right");
        writeHalf(w, results[i].halves[1], results[i].depths);
        w.endObject();
    }
    w.endArray();
}

}  // namespace

QByteArray verificationEntriesJson(const std::vector<VerifySource>& sources, const std::vector<VerifyResult>& results)
{
    JsonWriter w(false);
    writeEntries(w, sources, results);
    return w.bytes();
}

QByteArray verificationJson(const std::vector<VerifySource>& sources, const std::vector<VerifyResult>& results)
{
    return QByteArrayLiteral("{\"schemaVersion\":") + QByteArray::number(verificationSchemaVersion)
           + ",\"verification\":" + verificationEntriesJson(sources, results) + "}\n";
}

QString verificationTable(const std::vector<VerifySource>& sources, const std::vector<VerifyResult>& results)
{
    if (results.empty())
        return QString();
    const VerifyResult& first = results.front();
    const QString z = first.depths.empty() ? QStringLiteral("-") : QString::number(first.depths.front());
    QString text = QStringLiteral("verification, every %1th pixel (direction and reprojection in px, pinhole in mm)\n")
                       .arg(first.step);
    text += QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9\n")
                .arg(QStringLiteral("source"), -9)
                .arg(QStringLiteral("half"), -5)
                .arg(QStringLiteral("traced"), 7)
                .arg(QStringLiteral("missed"), 6)
                .arg(QStringLiteral("dir rms"), 9)
                .arg(QStringLiteral("dir max"), 9)
                .arg(QStringLiteral("pin rms"), 9)
                .arg(QStringLiteral("pin max"), 9)
                .arg(QStringLiteral("rep@%1 rms/max").arg(z), 20);
    auto number = [](double v) { return QString::number(v, 'g', 4); };
    for (std::size_t i = 0; i < sources.size() && i < results.size(); ++i) {
        // "fit 8" and "prism 8": the classic and the prism fit of one order apart.
        const QString name = sources[i].order < 0 ? sources[i].source
                                                   : QStringLiteral("%1 %2").arg(sources[i].source).arg(sources[i].order);
        for (int half = 0; half < 2; ++half) {
            const HalfStatistics& h = results[i].halves[std::size_t(half)];
            const QString rep = h.reprojectionPx.empty()
                                    ? QStringLiteral("-")
                                    : number(h.reprojectionPx[0].rms) + QLatin1Char('/') + number(h.reprojectionPx[0].max);
            text += QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9\n")
                        .arg(name, -9)
                        .arg(half == 0 ? QStringLiteral("left") : QStringLiteral("right"), -5)
                        .arg(h.traced, 7)
                        .arg(h.missed + h.totalReflection + h.noConvergence, 6)
                        .arg(number(h.directionPx.rms), 9)
                        .arg(number(h.directionPx.max), 9)
                        .arg(number(h.pinholeMm.rms), 9)
                        .arg(number(h.pinholeMm.max), 9)
                        .arg(rep, 20);
            text += QStringLiteral("          non-centrality %1 / %2 mm rms/max (%3 / %4 px at %5 mm); mirrored rows "
                                   "%6 / %7 px; centre columns %8-%9: direction %10 / %11 px\n")
                        .arg(number(h.nonCentrality.rmsMm), number(h.nonCentrality.maxMm),
                             number(h.nonCentrality.rmsPx), number(h.nonCentrality.maxPx),
                             QString::number(results[i].nearDepthMm), number(h.mirrorAsymmetryPx.rms),
                             number(h.mirrorAsymmetryPx.max))
                        .arg(h.centreBand.firstColumn)
                        .arg(h.centreBand.lastColumn)
                        .arg(number(h.centreBand.directionRmsPx), number(h.centreBand.directionMaxPx));
            text += QStringLiteral("          centre columns crossing x = 0: %1 of %2 traced; without them: "
                                   "non-centrality %3 / %4 mm rms/max, direction %5 / %6 px\n")
                        .arg(h.centreBand.crossing)
                        .arg(h.centreBand.traced)
                        .arg(number(h.outsideCentreBand.nonCentrality.rmsMm),
                             number(h.outsideCentreBand.nonCentrality.maxMm),
                             number(h.outsideCentreBand.directionRmsPx), number(h.outsideCentreBand.directionMaxPx));
            if (h.totalReflection || h.noConvergence || h.outsideWindow)
                text += QStringLiteral("          (%1 total reflections, %2 not converged, %3 outside the fit window)\n")
                            .arg(h.totalReflection)
                            .arg(h.noConvergence)
                            .arg(h.outsideWindow);
        }
    }
    return text;
}

}  // namespace verify
