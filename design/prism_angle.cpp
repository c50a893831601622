#include "design/prism_angle.h"

#include <QString>
#include <cmath>

float fixedPrismAngleDegrees(int resolutionX, int focalLength, float refractiveIndex)
{
    const double halfImageCentre = resolutionX * 0.0055;
    const float fourFocal = 4.0f * static_cast<float>(focalLength);
    const float t = static_cast<float>(std::atan(halfImageCentre / static_cast<double>(fourFocal)));
    const float s = std::sin(t);
    const float c = std::cos(t);
    const float a = std::atan(s / (refractiveIndex - c));
    const float aTimes180 = a * 180.0f;
    return static_cast<float>(static_cast<double>(aTimes180) / 3.1415926535898);
}

double roundToSpinBoxDecimals(double value, int decimals)
{
    // QDoubleSpinBox rounds through its own text form.
    return QString::number(value, 'f', decimals).toDouble();
}
