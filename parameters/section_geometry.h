#pragma once

// Lines of the x-z section of camera and prism, as the sketch draws them: held
// in slope-intercept form in single precision, their intersections with x in
// single and y in double precision. The sketch and the central-ray hit of the
// parameter model share them, so the design starts from the point drawn.

struct SectionLine {
    float slope;
    float intercept;
};

// The line through (0, y0) and (x1, y1); the slope is formed in double.
SectionLine sectionLineFromAxis(double y0, double x1, double y1);

// Where `ray` meets `face`: x in single precision, y on the ray in double.
void sectionIntersection(const SectionLine& ray, const SectionLine& face, double* x, double* y);

// The two faces of the prism (base width `prismSize`, base angle `angleRad`)
// and the apex height, as the sketch forms them.
struct PrismSection {
    float halfSize;
    double apexHeight;
    SectionLine rightFace;
    SectionLine leftFace;
};
PrismSection prismSection(float prismSize, float angleRad);

// Degrees to radians with the system's pi, in single precision.
float sectionAngleRadians(float angleDeg);
