#include "tolerance/tolerances.h"

#include "textio/json_writer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>

namespace tolerance {

namespace {

constexpr const char* names[toleranceKindCount] = {
    "decentreXMm", "decentreYMm", "tiltXDeg",           "tiltYDeg",          "tiltZDeg",          "distanceMm",
    "formErrorEntranceUm", "formErrorExitUm", "index", "focalLengthPercent", "sensorTiltXDeg", "sensorTiltYDeg",
    "formErrorInterfaceUm", "interfaceTiltDeg", "secondIndex",
};

struct CriterionField {
    const char* name;
    double PassCriteria::*member;
};
constexpr CriterionField criterionFields[] = {
    {"maxResidualPx", &PassCriteria::maxResidualPx},
    {"maxNonCentralityMm", &PassCriteria::maxNonCentralityMm},
    {"maxDepthErrorPercent", &PassCriteria::maxDepthErrorPercent},
    {"maxBaselineChangeMm", &PassCriteria::maxBaselineChangeMm},
};

bool numberOf(const QJsonValue& value, const QString& where, double* out, QString* error)
{
    if (!value.isDouble()) {
        *error = QStringLiteral("tolerance file: %1 is not a number").arg(where);
        return false;
    }
    *out = value.toDouble();
    return true;
}

}  // namespace

const char* toleranceName(ToleranceKind kind) { return names[static_cast<int>(kind)]; }

bool parseToleranceFile(const QByteArray& text, ToleranceFile* file, QString* error)
{
    *file = ToleranceFile();
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *error = QStringLiteral("tolerance file: not a JSON object (%1)").arg(parseError.errorString());
        return false;
    }
    const QJsonObject top = document.object();
    for (auto it = top.begin(); it != top.end(); ++it) {
        if (it.key() != QLatin1String("tolerances") && it.key() != QLatin1String("criteria")) {
            *error = QStringLiteral("tolerance file: unknown member '%1' (expected tolerances, criteria)").arg(it.key());
            return false;
        }
        if (!it.value().isObject()) {
            *error = QStringLiteral("tolerance file: '%1' is not an object").arg(it.key());
            return false;
        }
    }
    const QJsonObject tolerances = top.value(QStringLiteral("tolerances")).toObject();
    for (auto it = tolerances.begin(); it != tolerances.end(); ++it) {
        int kind = 0;
        while (kind < toleranceKindCount && it.key() != QLatin1String(names[kind]))
            ++kind;
        if (kind == toleranceKindCount) {
            *error = QStringLiteral("tolerance file: unknown tolerance '%1'").arg(it.key());
            return false;
        }
        double value = 0.0;
        if (!numberOf(it.value(), it.key(), &value, error))
            return false;
        if (!(value >= 0.0) || !std::isfinite(value)) {
            *error = QStringLiteral("tolerance file: %1 must be a finite limit of 0 or more, got %2")
                         .arg(it.key())
                         .arg(value);
            return false;
        }
        file->tolerances.limit[static_cast<std::size_t>(kind)] = value;
    }
    const QJsonObject criteria = top.value(QStringLiteral("criteria")).toObject();
    for (auto it = criteria.begin(); it != criteria.end(); ++it) {
        const CriterionField* field = nullptr;
        for (const CriterionField& f : criterionFields)
            if (it.key() == QLatin1String(f.name))
                field = &f;
        if (!field) {
            *error = QStringLiteral("tolerance file: unknown criterion '%1'").arg(it.key());
            return false;
        }
        double value = 0.0;
        if (!numberOf(it.value(), it.key(), &value, error))
            return false;
        if (!(value > 0.0) || !std::isfinite(value)) {
            *error = QStringLiteral("tolerance file: criterion %1 must be positive and finite, got %2")
                         .arg(it.key())
                         .arg(value);
            return false;
        }
        file->criteria.*(field->member) = value;
    }
    return true;
}

double maximumLimit(ToleranceKind kind, double prismHalfWidthMm)
{
    switch (kind) {
    case ToleranceKind::DecentreX:
    case ToleranceKind::DecentreY: return prismHalfWidthMm;
    case ToleranceKind::TiltX:
    case ToleranceKind::TiltY:
    case ToleranceKind::TiltZ:
    case ToleranceKind::SensorTiltX:
    case ToleranceKind::SensorTiltY:
    case ToleranceKind::InterfaceTilt: return 10.0;
    case ToleranceKind::Distance: return 10.0;
    case ToleranceKind::FormEntrance:
    case ToleranceKind::FormExit:
    case ToleranceKind::FormInterface: return 100.0;
    case ToleranceKind::Index:
    case ToleranceKind::SecondIndex: return 0.1;
    case ToleranceKind::FocalLength: return 20.0;
    }
    return 0.0;
}

QString checkLimits(const Tolerances& tolerances, double prismHalfWidthMm)
{
    for (int k = 0; k < toleranceKindCount; ++k) {
        const auto kind = static_cast<ToleranceKind>(k);
        const double bound = maximumLimit(kind, prismHalfWidthMm);
        if (tolerances[kind] > bound)
            return kind == ToleranceKind::DecentreX || kind == ToleranceKind::DecentreY
                       ? QStringLiteral("tolerance %1 = %2 mm is larger than the prism (half width %3 mm)")
                             .arg(QLatin1String(names[k]))
                             .arg(tolerances[kind])
                             .arg(bound)
                       : QStringLiteral("tolerance %1 = %2 is beyond any made prism (at most %3)")
                             .arg(QLatin1String(names[k]))
                             .arg(tolerances[kind])
                             .arg(bound);
    }
    return QString();
}

QByteArray toleranceFileJson(const ToleranceFile& file)
{
    JsonWriter json(false);
    json.beginObject().key("tolerances").beginObject();
    for (int k = 0; k < toleranceKindCount; ++k)
        json.key(names[k]).number(file.tolerances.limit[static_cast<std::size_t>(k)]);
    json.endObject().key("criteria").beginObject();
    for (const CriterionField& f : criterionFields)
        json.key(f.name).number(file.criteria.*(f.member));
    json.endObject().endObject();
    return json.bytes();
}

}  // namespace tolerance
