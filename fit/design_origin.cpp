#include "fit/design_origin.h"

#include "design/design_files.h"
#include "design/design_json.h"
#include "fit/fit_json.h"
#include "io/points_digest.h"
#include "io/safe_input.h"
#include "textio/json_file.h"
#include "textio/json_writer.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <cstddef>

DesignOrigin designOriginOf(const DesignJson& design)
{
    DesignOrigin origin;
    origin.pointsDigest = design.pointsDigest;
    origin.designKnown = true;
    origin.designModel = design.designModel;
    origin.angleDeg = design.angleDeg;
    origin.focalLength = design.focalLength;
    origin.prismDistance = design.prismDistance;
    origin.prismSize = design.prismSize;
    origin.refractiveIndex = design.refractiveIndex;
    return origin;
}

DesignOrigin designOriginFor(const QString& directory, const QString& digest)
{
    DesignJson design;
    QString ignored;
    if (!digest.isEmpty()
        && readDesignJson(QDir(directory).filePath(QString::fromLatin1(designJsonFileName)), &design, &ignored)
        && design.pointsDigest == digest)
        return designOriginOf(design);
    DesignOrigin origin;
    origin.pointsDigest = digest;
    return origin;
}

DesignOrigin currentDesignOrigin(const QString& directory)
{
    DesignJson design;
    QString ignored;
    const QDir dir(directory);
    const bool described = readDesignJson(dir.filePath(QString::fromLatin1(designJsonFileName)), &design, &ignored);
    if (described && !design.pointsDigest.isEmpty())
        return designOriginOf(design);
    QByteArray bytes;
    DesignOrigin origin;
    if (readRegularFile(dir.filePath(QString::fromLatin1(designPointsFileName)), &bytes, &ignored))
        origin.pointsDigest = pointsDigestOf(bytes.constData(), std::size_t(bytes.size()));
    return origin;
}

void writeDesignOrigin(JsonWriter& w, const DesignOrigin& origin)
{
    w.key("origin").beginObject();
    w.key("pointsSha1");
    if (origin.pointsDigest.isEmpty())
        w.null();
    else
        w.string(origin.pointsDigest);
    w.key("design");
    if (origin.designKnown) {
        w.beginObject();
        w.key("designModel").string(origin.designModel);
        w.key("angleDeg").number(origin.angleDeg);
        w.key("focalLength").number(origin.focalLength);
        w.key("prismDistance").number(origin.prismDistance);
        w.key("prismSize").number(origin.prismSize);
        w.key("refractiveIndex").number(origin.refractiveIndex);
        w.endObject();
    } else {
        w.null();
    }
    w.endObject();
}

DesignOrigin readDesignOrigin(const QJsonObject& root)
{
    DesignOrigin origin;
    const QJsonObject o = root.value(QLatin1String("origin")).toObject();
    origin.pointsDigest = o.value(QLatin1String("pointsSha1")).toString();
    const QJsonValue design = o.value(QLatin1String("design"));
    if (design.isObject()) {
        const QJsonObject d = design.toObject();
        origin.designKnown = true;
        origin.designModel = d.value(QLatin1String("designModel")).toString();
        origin.angleDeg = d.value(QLatin1String("angleDeg")).toDouble();
        origin.focalLength = d.value(QLatin1String("focalLength")).toDouble();
        origin.prismDistance = d.value(QLatin1String("prismDistance")).toDouble();
        origin.prismSize = d.value(QLatin1String("prismSize")).toDouble();
        origin.refractiveIndex = d.value(QLatin1String("refractiveIndex")).toDouble();
    }
    return origin;
}

QString originDifference(const DesignOrigin& result, const DesignOrigin& design)
{
    if (result.pointsDigest.isEmpty() || design.pointsDigest.isEmpty() || result.pointsDigest == design.pointsDigest)
        return QString();
    QStringList differences;
    if (result.designKnown && design.designKnown) {
        const auto shown = [](double value) { return QString::number(value, 'g', 6); };
        const auto compare = [&](const QString& name, double a, double b, const QString& unit) {
            if (shown(a) != shown(b))
                differences << QStringLiteral("%1 %2%4, not %3%4").arg(name, shown(a), shown(b), unit);
        };
        if (result.designModel != design.designModel)
            differences << QStringLiteral("model %1, not %2").arg(result.designModel, design.designModel);
        compare(QStringLiteral("angle"), result.angleDeg, design.angleDeg, QStringLiteral("\u00b0"));
        compare(QStringLiteral("focal length"), result.focalLength, design.focalLength, QStringLiteral(" mm"));
        compare(QStringLiteral("distance"), result.prismDistance, design.prismDistance, QStringLiteral(" mm"));
        compare(QStringLiteral("size"), result.prismSize, design.prismSize, QStringLiteral(" mm"));
        compare(QStringLiteral("index"), result.refractiveIndex, design.refractiveIndex, QString());
    }
    if (differences.isEmpty())
        differences << QStringLiteral("its design points differ");
    return differences.join(QStringLiteral(", "));
}

QString foreignResultMessage(const QString& what, const DesignOrigin& result, const DesignOrigin& design)
{
    const QString difference = originDifference(result, design);
    if (difference.isEmpty())
        return QString();
    return QStringLiteral("%1 belongs to another design (%2)").arg(what, difference);
}

namespace {

QString foreignFileMessage(const QString& what, const QString& path, const QString& designDirectory)
{
    QJsonObject root;
    QString ignored;
    if (!readJsonObjectFile(path, &root, &ignored))
        return QString();
    return foreignResultMessage(what, readDesignOrigin(root), currentDesignOrigin(designDirectory));
}

}  // namespace

QString foreignFitMessage(const QString& fitDirectory, const QString& designDirectory)
{
    const bool here = QDir(fitDirectory).canonicalPath() == QDir(designDirectory).canonicalPath();
    const QString what = here ? QStringLiteral("the fit in this folder") : QStringLiteral("the fit in '%1'").arg(fitDirectory);
    return foreignFileMessage(what, QDir(fitDirectory).filePath(QString::fromLatin1(fitJsonFileName)),
                              designDirectory);
}

QString foreignPrismMessage(const QString& prismFile, const QString& designDirectory)
{
    const bool here = QFileInfo(prismFile).absolutePath() == QDir(designDirectory).absolutePath();
    const QString what =
        here ? QStringLiteral("the prism fit in this folder") : QStringLiteral("the prism fit '%1'").arg(prismFile);
    return foreignFileMessage(what, prismFile, designDirectory);
}
