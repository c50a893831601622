#include "parameters/panel_parameters.h"

#include "parameters/section_geometry.h"

#include <QString>

#include <algorithm>
#include <cmath>

const PanelFieldRange& panelFieldRange(PanelField field)
{
    static const PanelFieldRange ranges[] = {
        {4, 40, 1, 35, 0, "focal-length", "N", "camera focal length in mm"},
        {640, 2480, 100, 1920, 0, "", "N", "sensor columns drawn in the sketch"},
        {640, 2480, 100, 1080, 0, "", "N", "sensor rows drawn in the sketch"},
        {0, 80, 1, 20, 2, "angle", "A", "prism base angle in degrees"},
        {1.40, 1.55, 0.01, 1.48, 2, "index", "R", "refractive index"},
        {100, 300, 1, 175, 0, "distance", "N", "prism base to image plane in mm"},
        {50, 150, 10, 100, 0, "size", "N", "width of the prism base in mm"},
        {0, 300, 1, 210, 0, "", "N", "height of the virtual cameras in the sketch"},
        {3, 8, 1, 3, 0, "order", "N", "polynomial order of the fit"},
    };
    return ranges[static_cast<int>(field)];
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
