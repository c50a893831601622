#include "fit/prism_file.h"

#include "fit/fit_files.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <charconv>
#include <cmath>

namespace {

void appendKey(std::string* out, int indent, const char* key)
{
    out->append(static_cast<std::size_t>(indent), ' ');
    out->push_back('"');
    out->append(key);
    out->append("\": ");
}

void appendNumberField(std::string* out, int indent, const char* key, double value, bool last = false)
{
    appendKey(out, indent, key);
    appendShortestNumber(out, value);
    out->append(last ? "\n" : ",\n");
}

void appendTextField(std::string* out, int indent, const char* key, const QString& value, bool last = false)
{
    appendKey(out, indent, key);
    out->push_back('"');
    for (const char c : value.toStdString()) {
        if (c == '"' || c == '\\')
            out->push_back('\\');
        out->push_back(c);
    }
    out->append(last ? "\"\n" : "\",\n");
}

void appendSurface(std::string* out, const char* name, const PrismSurfaceFit& fit, bool last)
{
    appendKey(out, 4, name);
    out->append("{\n");
    appendNumberField(out, 6, "order", fit.surface.order);
    appendKey(out, 6, "normalisation");
    out->append("{\"x0\": ");
    appendShortestNumber(out, fit.surface.x0);
    out->append(", \"R\": ");
    appendShortestNumber(out, fit.surface.radius);
    out->append("},\n");
    appendKey(out, 6, "terms");
    out->push_back('[');
    const std::vector<PrismTerm> terms = prismTerms(fit.surface.order);
    for (std::size_t t = 0; t < terms.size(); ++t) {
        out->append(t ? ", [" : "[");
        out->append(std::to_string(terms[t].uPower));
        out->append(", ");
        out->append(std::to_string(terms[t].wPower));
        out->push_back(']');
    }
    out->append("],\n");
    appendKey(out, 6, "coefficients");
    out->push_back('[');
    for (std::size_t t = 0; t < fit.surface.coefficients.size(); ++t) {
        if (t)
            out->append(", ");
        appendShortestNumber(out, fit.surface.coefficients[t]);
    }
    out->append("],\n");
    appendKey(out, 6, "domain");
    out->append("{\"xMin\": ");
    appendShortestNumber(out, fit.domain.xMin);
    out->append(", \"xMax\": ");
    appendShortestNumber(out, fit.domain.xMax);
    out->append(", \"yMin\": ");
    appendShortestNumber(out, fit.domain.yMin);
    out->append(", \"yMax\": ");
    appendShortestNumber(out, fit.domain.yMax);
    out->append("},\n");
    appendNumberField(out, 6, "pointCount", fit.pointCount);
    appendNumberField(out, 6, "rank", fit.rank);
    appendNumberField(out, 6, "rmsResidualMm", fit.rmsResidual);
    appendNumberField(out, 6, "maxResidualMm", fit.maxResidual);
    appendNumberField(out, 6, "conditionNumber", fit.conditionNumber);
    appendNumberField(out, 6, "mirrorPointCount", fit.mirrorPointCount);
    appendNumberField(out, 6, "mirrorRmsResidualMm", fit.mirrorRmsResidual);
    appendNumberField(out, 6, "mirrorMaxResidualMm", fit.mirrorMaxResidual, true);
    out->append(last ? "    }\n" : "    },\n");
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
    if (!std::isfinite(value)) {
        out->append("null");
        return;
    }
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    out->append(text, result.ptr);
}

PrismPanel prismPanelFrom(const DesignParameters& parameters)
{
    PrismPanel panel;
    panel.focalLength = parameters.focalLength;
    panel.resolutionX = parameters.resolutionX;
    panel.angleDeg = static_cast<double>(parameters.angleDeg);
    panel.prismDistance = parameters.prismDistance;
    panel.prismSize = parameters.prismSize;
    panel.refractiveIndex = static_cast<double>(parameters.refractiveIndex);
    panel.centralRayHitX = parameters.centralRayHitX;
    panel.centralRayHitY = parameters.centralRayHitY;
    return panel;
}

std::string prismFileText(const PrismFileContent& content)
{
    std::string out = "{\n";
    appendTextField(&out, 2, "format", QString::fromLatin1(prismFileFormat));
    appendNumberField(&out, 2, "version", prismFileVersion);
    appendKey(&out, 2, "panel");
    out.append("{\n");
    const PrismPanel& p = content.panel;
    appendNumberField(&out, 4, "focalLengthMm", p.focalLength);
    appendNumberField(&out, 4, "resolutionX", p.resolutionX);
    appendNumberField(&out, 4, "pixelPitchMm", p.pixelPitch);
    appendNumberField(&out, 4, "angleDeg", p.angleDeg);
    appendNumberField(&out, 4, "prismDistanceMm", p.prismDistance);
    appendNumberField(&out, 4, "prismSizeMm", p.prismSize);
    appendNumberField(&out, 4, "refractiveIndex", p.refractiveIndex);
    appendNumberField(&out, 4, "centralRayHitX", p.centralRayHitX);
    appendNumberField(&out, 4, "centralRayHitY", p.centralRayHitY, true);
    out.append("  },\n");
    appendTextField(&out, 2, "designModel", content.designModel);
    appendTextField(&out, 2, "fitModel", content.fitModel);
    appendNumberField(&out, 2, "order", content.fit.order);
    appendTextField(&out, 2, "halves",
                    QStringLiteral("the surfaces are those of the left half (sensor x < 0), used for x < 0; "
                                   "the right half uses their mirror images z(-x, y) for x >= 0"));
    appendTextField(&out, 2, "polynomial",
                    QStringLiteral("z = sum c[k] u^terms[k][0] w^terms[k][1], u = (x - x0) / R, w = y / R, mm"));
    appendKey(&out, 2, "surfaces");
    out.append("{\n");
    appendSurface(&out, "exit", content.fit.exit, false);
    appendSurface(&out, "entrance", content.fit.entrance, true);
    out.append("  },\n");
    appendKey(&out, 2, "optimized");
    const PrismOptimizedSummary& o = content.optimized;
    if (!o.present) {
        out.append("null,\n");
    } else {
        out.append("{\n");
        appendNumberField(&out, 4, "iterations", o.iterations);
        appendNumberField(&out, 4, "samplePixels", o.samplePixels);
        appendNumberField(&out, 4, "startDirectionRmsPx", o.startDirectionRmsPx);
        appendNumberField(&out, 4, "endDirectionRmsPx", o.endDirectionRmsPx);
        appendNumberField(&out, 4, "startPinholeRmsMm", o.startPinholeRmsMm);
        appendNumberField(&out, 4, "endPinholeRmsMm", o.endPinholeRmsMm);
        appendTextField(&out, 4, "stopReason", o.stopReason, true);
        out.append("  },\n");
    }
    appendKey(&out, 2, "verified");
    const PrismVerifiedSummary& v = content.verified;
    if (!v.present) {
        out.append("null\n");
    } else {
        out.append("{\n");
        appendNumberField(&out, 4, "directionRmsPx", v.directionRmsPx);
        appendNumberField(&out, 4, "directionMaxPx", v.directionMaxPx);
        appendNumberField(&out, 4, "pinholeRmsMm", v.pinholeRmsMm);
        appendNumberField(&out, 4, "pinholeMaxMm", v.pinholeMaxMm);
        appendNumberField(&out, 4, "reprojection1mRmsPx", v.reprojectionRmsPx);
        appendNumberField(&out, 4, "reprojection1mMaxPx", v.reprojectionMaxPx);
        appendNumberField(&out, 4, "untracedPixels", v.untracedPixels, true);
        out.append("  }\n");
    }
    out.append("}\n");
    return out;
}

bool writePrismFile(const QString& directory, const PrismFileContent& content, QString* error)
{
    const QString path = fitFilePath(directory, prismFileName);
    const std::string text = prismFileText(content);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)
        || file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size())
        || !file.commit()) {
        *error = QStringLiteral("'%1' could not be written").arg(path);
        return false;
    }
    return true;
}

bool readPrismFile(const QString& path, PrismFileContent* content, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("no prism fit: '%1' cannot be read (run a fit with --fit-model prism first)")
                     .arg(path);
        return false;
    }
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    const QJsonObject root = document.object();
    if (parseError.error != QJsonParseError::NoError || !document.isObject()
        || root.value(QStringLiteral("format")).toString() != QLatin1String(prismFileFormat)) {
        *error = QStringLiteral("'%1' is not a prism file").arg(path);
        return false;
    }
    PrismFileContent c;
    const QJsonObject panel = root.value(QStringLiteral("panel")).toObject();
    c.panel.focalLength = panel.value(QStringLiteral("focalLengthMm")).toInt();
    c.panel.resolutionX = panel.value(QStringLiteral("resolutionX")).toInt();
    c.panel.pixelPitch = number(panel.value(QStringLiteral("pixelPitchMm")));
    c.panel.angleDeg = number(panel.value(QStringLiteral("angleDeg")));
    c.panel.prismDistance = panel.value(QStringLiteral("prismDistanceMm")).toInt();
    c.panel.prismSize = panel.value(QStringLiteral("prismSizeMm")).toInt();
    c.panel.refractiveIndex = number(panel.value(QStringLiteral("refractiveIndex")));
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
    }
    *content = c;
    return true;
}

bool runPrismFit(const PrismDesignPoints& points, int order, const PrismPanel& panel,
                 const QString& outputDirectory, PrismFit* fit, QString* error)
{
    PrismFileContent content;
    content.panel = panel;
    content.fit = fitPrism(points, order);
    *fit = content.fit;
    return writePrismFile(outputDirectory, content, error);
}
