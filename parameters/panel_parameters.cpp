#include "parameters/panel_parameters.h"

#include "parameters/section_geometry.h"

#include <QString>

#include <algorithm>
#include <cmath>

QString panelFieldRangeText(PanelField field)
{
    const PanelFieldRange& r = panelFieldRange(field);
    const auto shown = [&r](double value) {
        return QString::number(value, 'f', value == std::floor(value) ? 0 : r.decimals);
    };
    const QString unit = *r.unit ? QLatin1Char(' ') + QString::fromLatin1(r.unit) : QString();
    return QStringLiteral("%1 to %2%3 (start %4)").arg(shown(r.low), shown(r.high), unit, shown(r.start));
}

QString panelFieldToolTip(PanelField field)
{
    const PanelFieldRange& r = panelFieldRange(field);
    const QString unit = *r.unit ? QStringLiteral(", ") + QString::fromLatin1(r.unit) : QString();
    return QString::fromLatin1(r.description) + unit + QStringLiteral("; ") + panelFieldRangeText(field);
}

double roundToSpinBoxDecimals(double value, int decimals)
{
    // QDoubleSpinBox rounds through its own text form.
    return QString::number(value, 'f', decimals).toDouble();
}

float fixedPrismAngleDegrees(int resolutionX, int focalLength, float refractiveIndex)
{
    const double halfImageCentre = resolutionX * pixelPitch;
    const float fourFocal = 4.0f * static_cast<float>(focalLength);
    const float t = static_cast<float>(std::atan(halfImageCentre / static_cast<double>(fourFocal)));
    const float s = std::sin(t);
    const float c = std::cos(t);
    const float a = std::atan(s / (refractiveIndex - c));
    const float aTimes180 = a * 180.0f;
    return static_cast<float>(static_cast<double>(aTimes180) / 3.1415926535898);
}

void PanelParameters::setAngle(double value)
{
    angleDeg = value;
    designAngleDeg = static_cast<float>(value);
}

bool PanelParameters::applyFixAngle()
{
    fixAngle = true;
    const float fixed = fixedPrismAngleDegrees(designResolutionX, focalLength, designRefractiveIndex());
    designAngleDeg = fixed;
    const PanelFieldRange& range = panelFieldRange(PanelField::Angle);
    const double shown =
        std::clamp(roundToSpinBoxDecimals(static_cast<double>(fixed), range.decimals), range.low, range.high);
    if (shown == angleDeg)
        return false;
    // The spin box's slot then hands its rounded value to the design.
    setAngle(shown);
    return true;
}

CentralRayHit centralRayHit(const PanelParameters& p)
{
    const float f = static_cast<float>(p.focalLength);
    const float d = static_cast<float>(p.prismDistance);
    const PrismSection prism = prismSection(static_cast<float>(p.prismSize), sectionAngleRadians(p.designAngleDeg));
    const double quarterWidth = p.resolutionX * pixelPitch * 0.25;
    const float pinholeY = d + f;
    CentralRayHit hit;
    sectionIntersection(sectionLineFromAxis(pinholeY, quarterWidth, d), prism.rightFace, &hit.x, &hit.y);
    hit.defined = std::isfinite(hit.x) && std::isfinite(hit.y);
    return hit;
}

const char* designModelName(DesignModel model)
{
    return model == DesignModel::Refraction ? "refraction" : "classic";
}

bool parseDesignModel(const QString& text, DesignModel* model)
{
    if (text == QLatin1String("classic"))
        *model = DesignModel::Classic;
    else if (text == QLatin1String("refraction"))
        *model = DesignModel::Refraction;
    else
        return false;
    return true;
}
