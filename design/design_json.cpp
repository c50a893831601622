#include "design/design_json.h"

#include "io/atomic_file_set.h"

#include "io/safe_input.h"
#include "textio/json_file.h"
#include "textio/json_writer.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <limits>

DesignJson designJsonFromRecord(const DesignRecord& r, const PanelParameters* panel)
{
    DesignJson d;
    if (panel) {
        d.panelKnown = true;
        d.panel = *panel;
        d.angleDeg = static_cast<double>(panel->designAngleDeg);
    } else {
        d.angleDeg = r.prismAngle * 180 / 3.1415926535898;
    }
    d.angleRad = r.prismAngle;
    d.focalLength = r.focalLength;
    d.prismDistance = r.prismDistance;
    d.prismSize = r.prismSize;
    d.refractiveIndex = r.refractiveIndex;
    d.pinholeHeight = r.pinholeHeight;
    d.virtualPinholeX = r.virtualPinholeX;
    d.centralRayHitX = -r.virtualPinholeX;
    d.centralRayHitY = r.startEntranceHeight;
    return d;
}

QByteArray designJsonBytes(const DesignJson& d)
{
    JsonWriter w;
    w.beginObject();
    w.key("designModel").string(d.designModel);
    w.key("panel");
    if (d.panelKnown) {
        const PanelParameters& p = d.panel;
        w.beginObject();
        w.key("focalLength").integer(p.focalLength);
        w.key("resolutionX").integer(p.resolutionX);
        w.key("resolutionY").integer(p.resolutionY);
        w.key("angleDeg").number(p.angleDeg);
        w.key("refractiveIndex").number(p.refractiveIndex);
        w.key("prismDistance").integer(p.prismDistance);
        w.key("prismSize").integer(p.prismSize);
        w.key("virtualCameraPos").integer(p.virtualCameraPos);
        w.key("fitOrder").integer(p.fitOrder);
        w.key("fixAngle").boolean(p.fixAngle);
        w.endObject();
    } else {
        w.null();
    }
    w.key("design").beginObject();
    w.key("angleDeg").number(d.angleDeg);
    w.key("angleRad").number(d.angleRad);
    w.key("focalLength").number(d.focalLength);
    w.key("prismDistance").number(d.prismDistance);
    w.key("prismSize").number(d.prismSize);
    w.key("refractiveIndex").number(d.refractiveIndex);
    w.key("pinholeHeight").number(d.pinholeHeight);
    w.key("virtualPinholeX").number(d.virtualPinholeX);
    w.key("centralRayHit").beginObject();
    w.key("x").number(d.centralRayHitX);
    w.key("y").number(d.centralRayHitY);
    w.endObject();
    w.endObject();
    w.key("pointsSha1");
    if (d.pointsDigest.isEmpty())
        w.null();
    else
        w.string(d.pointsDigest);
    writeColourRecord(w, d.colour);
    w.endObject();
    return w.bytes();
}

bool writeDesignJson(const QString& directory, const DesignJson& design)
{
    const QByteArray bytes = designJsonBytes(design);
    return writeFileAtomically(QDir(directory).filePath(QString::fromLatin1(designJsonFileName)),
                               bytes.constData(), std::size_t(bytes.size()));
}

namespace {

// A number member; null reads as NaN. False when missing or not a number.
bool numberMember(const QJsonObject& o, const char* name, double* value)
{
    const QJsonValue v = o.value(QLatin1String(name));
    if (v.isNull()) {
        *value = std::numeric_limits<double>::quiet_NaN();
        return o.contains(QLatin1String(name));
    }
    if (!v.isDouble())
        return false;
    *value = v.toDouble();
    return true;
}

}  // namespace

bool readDesignJson(const QString& path, DesignJson* design, QString* error)
{
    QJsonObject root;
    if (!readJsonObjectFile(path, &root, error))
        return false;
    const QJsonObject d = root.value(QLatin1String("design")).toObject();
    DesignJson out;
    out.designModel = root.value(QLatin1String("designModel")).toString();
    bool ok = !out.designModel.isEmpty() && root.value(QLatin1String("design")).isObject();
    ok = ok && numberMember(d, "angleDeg", &out.angleDeg) && numberMember(d, "angleRad", &out.angleRad)
         && numberMember(d, "focalLength", &out.focalLength) && numberMember(d, "prismDistance", &out.prismDistance)
         && numberMember(d, "prismSize", &out.prismSize) && numberMember(d, "refractiveIndex", &out.refractiveIndex)
         && numberMember(d, "pinholeHeight", &out.pinholeHeight)
         && numberMember(d, "virtualPinholeX", &out.virtualPinholeX);
    const QJsonObject hit = d.value(QLatin1String("centralRayHit")).toObject();
    ok = ok && numberMember(hit, "x", &out.centralRayHitX) && numberMember(hit, "y", &out.centralRayHitY);
    if (!ok) {
        *error = QStringLiteral("%1 is not a design description (a member is missing or not a number)").arg(path);
        return false;
    }
    out.pointsDigest = root.value(QLatin1String("pointsSha1")).toString();
    out.colour = readColourRecord(root);
    const QJsonObject panel = root.value(QLatin1String("panel")).toObject();
    out.panelKnown = !panel.isEmpty();
    if (out.panelKnown) {
        PanelParameters& p = out.panel;
        p.focalLength = panel.value(QLatin1String("focalLength")).toInt(p.focalLength);
        p.resolutionX = panel.value(QLatin1String("resolutionX")).toInt(p.resolutionX);
        p.resolutionY = panel.value(QLatin1String("resolutionY")).toInt(p.resolutionY);
        p.angleDeg = panel.value(QLatin1String("angleDeg")).toDouble(p.angleDeg);
        p.refractiveIndex = panel.value(QLatin1String("refractiveIndex")).toDouble(p.refractiveIndex);
        p.prismDistance = panel.value(QLatin1String("prismDistance")).toInt(p.prismDistance);
        p.prismSize = panel.value(QLatin1String("prismSize")).toInt(p.prismSize);
        p.virtualCameraPos = panel.value(QLatin1String("virtualCameraPos")).toInt(p.virtualCameraPos);
        p.fitOrder = panel.value(QLatin1String("fitOrder")).toInt(p.fitOrder);
        p.fixAngle = panel.value(QLatin1String("fixAngle")).toBool(p.fixAngle);
        p.designAngleDeg = static_cast<float>(out.angleDeg);
    }
    *design = out;
    return true;
}
