#include "sketch/prism_geometry.h"

#include "parameters/section_geometry.h"

#include <cmath>
#include <initializer_list>

namespace {

QPointF intersect(const SectionLine& ray, const SectionLine& face)
{
    double x = 0.0, y = 0.0;
    sectionIntersection(ray, face, &x, &y);
    return {x, y};
}

bool isFinite(const QPointF& point)
{
    return std::isfinite(point.x()) && std::isfinite(point.y());
}

// A ray parallel to a face or totally reflected at the base has no finite end
// point; such a shape is left out rather than drawn towards infinity.
void addShape(PrismSketch& sketch, std::initializer_list<QPointF> points, bool dashed)
{
    for (const QPointF& point : points)
        if (!isFinite(point))
            return;
    sketch.shapes.push_back({QPolygonF(QVector<QPointF>(points)), dashed});
}

QVector2D refract(QVector2D v, QVector2D m, float index)
{
    v.normalize();
    m.normalize();
    const float c = QVector2D::dotProduct(v, m);
    const float k = std::sqrt(1.0f - (1.0f - c * c) / (index * index));
    return v / index + m * (c / index - k);
}

} // namespace

QVector2D refractIntoPrism(QVector2D v, QVector2D m, float n)
{
    return refract(v, m, n);
}

QVector2D refractOutOfPrism(QVector2D v, QVector2D m, float n)
{
    const float inverse = 1.0f / n;
    return refract(v, m, inverse);
}

PrismSketch computePrismSketch(const PanelParameters& p)
{
    const float f = static_cast<float>(p.focalLength);
    const float d = static_cast<float>(p.prismDistance);
    const float n = p.designRefractiveIndex();
    const float v = static_cast<float>(p.virtualCameraPos);
    const float a = sectionAngleRadians(p.designAngleDeg);
    const PrismSection prism = prismSection(static_cast<float>(p.prismSize), a);
    const float halfSize = prism.halfSize;
    const double h = prism.apexHeight;
    const double halfWidth = p.resolutionX * pixelPitch * 0.5;
    const double quarterWidth = p.resolutionX * pixelPitch * 0.25;
    const float pinholeY = d + f;
    const SectionLine& rightFace = prism.rightFace;
    const SectionLine& leftFace = prism.leftFace;
    const QVector2D rightNormal(std::sin(a), std::cos(a));
    const QVector2D leftNormal(-std::sin(a), std::cos(a));
    const QVector2D baseNormal(0.0f, 1.0f);
    const QPointF pinhole(0.0, pinholeY);
    const QPointF apex(0.0, h);

    PrismSketch sketch;
    addShape(sketch, {{-halfSize, 0.0}, {halfSize, 0.0}, apex}, false);
    addShape(sketch, {{-halfWidth, d}, {halfWidth, d}, pinhole}, false);

    // Edge rays of the camera's field, up to the faces.
    const QPointF r = intersect(sectionLineFromAxis(pinholeY, halfWidth, d), rightFace);
    const QPointF l = intersect(sectionLineFromAxis(pinholeY, -halfWidth, d), leftFace);
    addShape(sketch, {r, pinhole}, false);
    addShape(sketch, {l, pinhole}, false);
    addShape(sketch, {apex, pinhole}, false);

    // Through the glass to the base, and out of it.
    const QVector2D tR = refractIntoPrism(QVector2D(static_cast<float>(halfWidth), d), rightNormal, n);
    const QVector2D tL = refractIntoPrism(QVector2D(static_cast<float>(-halfWidth), d), leftNormal, n);
    const double bR = r.x() + (0.0 - r.y()) * tR.x() / tR.y();
    const double bL = l.x() + (0.0 - l.y()) * tL.x() / tL.y();
    addShape(sketch, {r, {bR, 0.0}}, false);
    addShape(sketch, {l, {bL, 0.0}}, false);
    const QVector2D eL = refractOutOfPrism(tL, baseNormal, n);
    const QVector2D eR = refractOutOfPrism(tR, baseNormal, n);
    addShape(sketch, {{bR - 200.0 * eR.x() / eR.y(), -200.0}, {bR, 0.0}}, false);
    addShape(sketch, {{bL - 200.0 * eL.x() / eL.y(), -200.0}, {bL, 0.0}}, false);

    // Rays along the axis through the apex.
    const QVector2D gL = refractIntoPrism(QVector2D(0.0f, -1.0f), leftNormal, n);
    const QVector2D gR = refractIntoPrism(QVector2D(0.0f, -1.0f), rightNormal, n);
    const double aL = gL.x() / gL.y() * (0.0 - h);
    const double aR = gR.x() / gR.y() * (0.0 - h);
    addShape(sketch, {apex, {aL, 0.0}}, false);
    addShape(sketch, {apex, {aR, 0.0}}, false);
    const QVector2D qL = refractOutOfPrism(gL, baseNormal, n);
    const QVector2D qR = refractOutOfPrism(gR, baseNormal, n);
    addShape(sketch, {{aL, 0.0}, {aL - 200.0 * qL.x() / qL.y(), -200.0}}, false);
    addShape(sketch, {{aR, 0.0}, {aR - 200.0 * qR.x() / qR.y(), -200.0}}, false);

    // Central rays of the two half images and the virtual cameras they define.
    const CentralRayHit hit = centralRayHit(p);
    const QPointF q(hit.x, hit.y);
    const double qLeftX = intersect(sectionLineFromAxis(pinholeY, -quarterWidth, d), leftFace).x();
    addShape(sketch, {{q.x(), -200.0}, {q.x(), 200.0}}, true);
    addShape(sketch, {{qLeftX, -200.0}, {qLeftX, 200.0}}, true);
    const float imagePlaneY = v - f;
    addShape(sketch, {{q.x() - quarterWidth, imagePlaneY}, {q.x() + quarterWidth, imagePlaneY}, {q.x(), v}}, true);
    addShape(sketch, {{qLeftX - quarterWidth, imagePlaneY}, {qLeftX + quarterWidth, imagePlaneY}, {qLeftX, v}},
             true);
    // Field edge of the right virtual camera, from its pinhole out to y = -200.
    addShape(sketch, {{q.x(), v}, {q.x() + (-200.0 - v) * quarterWidth / f, -200.0}}, true);
    return sketch;
}
