#include "fit/fit_json.h"

#include "fit/design_origin.h"

#include "io/atomic_file_set.h"

#include "fit/design_point_split.h"
#include "fit/fit_orders.h"
#include "fit/surface_models.h"
#include "io/safe_input.h"
#include "textio/json_file.h"
#include "textio/json_writer.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <limits>

namespace {

FitJsonSurface surfaceOf(int surface, int termCount, const std::vector<double>& results, int points)
{
    FitJsonSurface s;
    for (const SurfaceTermPowers& t : surfaceTermPowers(surface, termCount)) {
        s.xPowers.push_back(t.xPower);
        s.yPowers.push_back(t.yPower);
    }
    const std::size_t k = static_cast<std::size_t>(termCount);
    s.coefficients.assign(results.begin(), results.begin() + static_cast<std::ptrdiff_t>(std::min(k, results.size())));
    s.residual = results.size() > k ? results[k] : std::numeric_limits<double>::quiet_NaN();
    const SplitWindow& w = surface == 1 ? surface1Window : surface2Window;
    s.xLow = w.xLow;
    s.xHigh = w.xHigh;
    s.yLow = w.yLow;
    s.yHigh = w.yHigh;
    s.mirrored = surface == 2;
    s.points = points;
    return s;
}

void writeSurface(JsonWriter& w, const FitJsonSurface& s)
{
    w.beginObject();
    w.key("terms").beginArray();
    for (std::size_t i = 0; i < s.xPowers.size(); ++i)
        w.beginInlineArray().integer(s.xPowers[i]).integer(s.yPowers[i]).endArray();
    w.endArray();
    w.key("coefficients").beginArray();
    for (double c : s.coefficients)
        w.number(c);
    w.endArray();
    w.key("window").beginObject();
    w.key("x").beginInlineArray().number(s.xLow).number(s.xHigh).endArray();
    w.key("y").beginInlineArray().number(s.yLow).number(s.yHigh).endArray();
    w.key("mirrored").boolean(s.mirrored);
    w.endObject();
    w.key("points").integer(s.points);
    w.key("residual").number(s.residual);
    w.endObject();
}

bool pairOf(const QJsonValue& v, double* a, double* b)
{
    const QJsonArray array = v.toArray();
    if (array.size() != 2 || !array[0].isDouble() || !array[1].isDouble())
        return false;
    *a = array[0].toDouble();
    *b = array[1].toDouble();
    return true;
}

bool readSurface(const QJsonObject& o, int surface, int order, FitJsonSurface* s, QString* why)
{
    const FitOrder& entry = fitOrderEntry(order);
    const int k = surface == 1 ? entry.surface1Terms : entry.surface2Terms;
    const std::vector<SurfaceTermPowers> model = surfaceTermPowers(surface, k);
    const QJsonArray terms = o.value(QLatin1String("terms")).toArray();
    const QJsonArray coefficients = o.value(QLatin1String("coefficients")).toArray();
    if (terms.size() != k || coefficients.size() != k) {
        *why = QStringLiteral("surface %1 needs %2 terms and coefficients for order %3").arg(surface).arg(k).arg(order);
        return false;
    }
    for (int i = 0; i < k; ++i) {
        double a = 0.0;
        double b = 0.0;
        if (!pairOf(terms[i], &a, &b) || a != model[std::size_t(i)].xPower || b != model[std::size_t(i)].yPower) {
            *why = QStringLiteral("term %1 of surface %2 is not the model's").arg(i).arg(surface);
            return false;
        }
        s->xPowers.push_back(int(a));
        s->yPowers.push_back(int(b));
        const QJsonValue c = coefficients[i];
        if (!c.isDouble() && !c.isNull()) {
            *why = QStringLiteral("coefficient %1 of surface %2 is not a number").arg(i).arg(surface);
            return false;
        }
        s->coefficients.push_back(c.isNull() ? std::numeric_limits<double>::quiet_NaN() : c.toDouble());
    }
    const QJsonObject window = o.value(QLatin1String("window")).toObject();
    if (!pairOf(window.value(QLatin1String("x")), &s->xLow, &s->xHigh)
        || !pairOf(window.value(QLatin1String("y")), &s->yLow, &s->yHigh)
        || !window.value(QLatin1String("mirrored")).isBool()) {
        *why = QStringLiteral("the window of surface %1 is missing").arg(surface);
        return false;
    }
    s->mirrored = window.value(QLatin1String("mirrored")).toBool();
    s->points = o.value(QLatin1String("points")).toInt();
    const QJsonValue residual = o.value(QLatin1String("residual"));
    s->residual = residual.isDouble() ? residual.toDouble() : std::numeric_limits<double>::quiet_NaN();
    return true;
}

}  // namespace

FitJson fitJsonFromSummary(const FitRunSummary& summary)
{
    const FitOrder& entry = fitOrderEntry(summary.order);
    FitJson f;
    f.order = entry.order;
    f.surface1 = surfaceOf(1, entry.surface1Terms, summary.surface1Results, summary.surface1Count);
    f.surface2 = surfaceOf(2, entry.surface2Terms, summary.surface2Results, summary.surface2Count);
    f.origin = summary.origin;
    return f;
}

QByteArray fitJsonBytes(const FitJson& f)
{
    JsonWriter w;
    w.beginObject();
    w.key("order").integer(f.order);
    w.key("surface1");
    writeSurface(w, f.surface1);
    w.key("surface2");
    writeSurface(w, f.surface2);
    writeDesignOrigin(w, f.origin);
    w.endObject();
    return w.bytes();
}

bool writeFitJson(const QString& directory, const FitJson& fit)
{
    const QByteArray bytes = fitJsonBytes(fit);
    return writeFileAtomically(QDir(directory).filePath(QString::fromLatin1(fitJsonFileName)), bytes.constData(),
                               std::size_t(bytes.size()));
}

bool readFitJson(const QString& path, FitJson* fit, QString* error)
{
    QJsonObject root;
    if (!readJsonObjectFile(path, &root, error))
        return false;
    FitJson out;
    const QJsonValue order = root.value(QLatin1String("order"));
    out.order = order.toInt(-1);
    QString why;
    if (!order.isDouble() || out.order < lowestFitOrder || out.order > highestFitOrder)
        why = QStringLiteral("the order is not 3 to 8");
    else if (readSurface(root.value(QLatin1String("surface1")).toObject(), 1, out.order, &out.surface1, &why))
        readSurface(root.value(QLatin1String("surface2")).toObject(), 2, out.order, &out.surface2, &why);
    if (!why.isEmpty()) {
        *error = QStringLiteral("%1 is malformed: %2").arg(path, why);
        return false;
    }
    out.origin = readDesignOrigin(root);
    *fit = out;
    return true;
}
