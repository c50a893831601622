#pragma once

// The "fix angle" rule: the prism base angle at which the central ray of one
// half image, meeting a prism face, is refracted into the direction of the
// optical axis, i.e. sin(a + t) = n sin(a). Single precision where the panel
// holds single-precision values; the result is in degrees.
float fixedPrismAngleDegrees(int resolutionX, int focalLength, float refractiveIndex);

// The value a two-decimal spin box keeps when it is given `value`.
double roundToSpinBoxDecimals(double value, int decimals = 2);
