#include "sketch/prism_geometry.h"
#include "sketch/prismitem.h"
#include "tests/sketch/expected_hit.h"

#include <QImage>
#include <QPainter>
#include <QtTest>
#include <cmath>

namespace {

const double pi = 3.14159265358979323846;

PrismSketchParameters startValues()
{
    return {35.0f, 1920, 1080, 20.0f, 175.0f, 100.0f, 1.48f, 210.0f};
}

QPointF expectedHit(const PrismSketchParameters& p)
{
    return ::expectedHit(p.focalLength, p.resolutionX, p.angleDeg, p.prismDistance, p.prismSize);
}

// The sketch's refraction rule in double, reporting whether its root has no real value.
bool refractDouble(double vx, double vy, double mx, double my, double index, double* tx, double* ty)
{
    const double lv = std::hypot(vx, vy), lm = std::hypot(mx, my);
    vx /= lv, vy /= lv, mx /= lm, my /= lm;
    const double c = vx * mx + vy * my, root = 1 - (1 - c * c) / (index * index);
    const double k = std::sqrt(std::max(root, 0.0));
    *tx = vx / index + mx * (c / index - k);
    *ty = vy / index + my * (c / index - k);
    return root >= 0;
}

// How many exit rays are totally reflected at the base: both edge rays or
// neither, both apex rays or neither (the sketch is symmetric).
int expectedTotalReflections(const PrismSketchParameters& p)
{
    const double a = p.angleDeg * pi / 180, n = p.refractiveIndex;
    double tx, ty, ex, ey;
    refractDouble(p.resolutionX * 0.0055 / 2, p.prismDistance, std::sin(a), std::cos(a), n, &tx, &ty);
    const bool edge = !refractDouble(tx, ty, 0, 1, 1 / n, &ex, &ey);
    refractDouble(0, -1, std::sin(a), std::cos(a), n, &tx, &ty);
    const bool apex = !refractDouble(tx, ty, 0, 1, 1 / n, &ex, &ey);
    return 2 * edge + 2 * apex;
}

} // namespace

class TestPrismSketch : public QObject
{
    Q_OBJECT

private slots:
    void hitMatchesLineIntersection_data();
    void hitMatchesLineIntersection();
    void refractionKeepsTangentialLaw_data();
    void refractionKeepsTangentialLaw();
    void largeAnglesSkipUndefinedSegments_data();
    void largeAnglesSkipUndefinedSegments();
    void parallelRayKeepsLastPoint();
};

void TestPrismSketch::hitMatchesLineIntersection_data()
{
    QTest::addColumn<float>("focal");
    QTest::addColumn<int>("resolution");
    QTest::addColumn<float>("angle");
    QTest::addColumn<float>("distance");
    QTest::addColumn<float>("size");
    QTest::newRow("start values") << 35.0f << 1920 << 20.0f << 175.0f << 100.0f;
    QTest::newRow("short focal length") << 4.0f << 1920 << 20.0f << 175.0f << 100.0f;
    QTest::newRow("long focal length, wide sensor") << 40.0f << 2480 << 20.0f << 175.0f << 100.0f;
    QTest::newRow("narrow sensor") << 35.0f << 640 << 20.0f << 175.0f << 100.0f;
    QTest::newRow("flat prism") << 35.0f << 1920 << 0.0f << 175.0f << 100.0f;
    QTest::newRow("steep prism") << 35.0f << 1920 << 80.0f << 175.0f << 100.0f;
    QTest::newRow("near, small prism") << 35.0f << 1920 << 35.5f << 100.0f << 50.0f;
    QTest::newRow("far, large prism") << 12.0f << 1020 << 8.85f << 300.0f << 150.0f;
}

void TestPrismSketch::hitMatchesLineIntersection()
{
    PrismSketchParameters p = startValues();
    QFETCH(float, focal);
    QFETCH(int, resolution);
    QFETCH(float, angle);
    QFETCH(float, distance);
    QFETCH(float, size);
    p.focalLength = focal, p.resolutionX = resolution, p.angleDeg = angle;
    p.prismDistance = distance, p.prismSize = size;
    double x = 0, y = 0;
    QVERIFY(centralRayHit(p, &x, &y));
    const QPointF expected = expectedHit(p);
    QVERIFY2(std::abs(x - expected.x()) < 1e-3 && std::abs(y - expected.y()) < 1e-3,
             qPrintable(QString("(%1, %2) vs (%3, %4)").arg(x).arg(y).arg(expected.x()).arg(expected.y())));
    if (QTest::currentDataTag() == QLatin1String("start values")) {
        QCOMPARE(qRound(x * 1000), 14876);
        QCOMPARE(qRound(y * 1000), 12784);
    }
}

void TestPrismSketch::refractionKeepsTangentialLaw_data()
{
    QTest::addColumn<bool>("intoGlass");
    QTest::addColumn<QVector2D>("v");
    QTest::addColumn<QVector2D>("m");
    QTest::addColumn<bool>("real");
    QTest::newRow("into, oblique") << true << QVector2D(5.28f, 175.0f) << QVector2D(0.342f, 0.94f) << true;
    QTest::newRow("into, grazing") << true << QVector2D(1.0f, 0.001f) << QVector2D(0.0f, 1.0f) << true;
    QTest::newRow("out, steep") << false << QVector2D(0.1f, 1.0f) << QVector2D(0.0f, 1.0f) << true;
    QTest::newRow("out, beyond critical angle") << false << QVector2D(1.0f, 0.5f) << QVector2D(0.0f, 1.0f)
                                                << false;
}

// The component along the face is the incoming one divided by the index
// ratio; past the critical angle there is no real result.
void TestPrismSketch::refractionKeepsTangentialLaw()
{
    QFETCH(bool, intoGlass);
    QFETCH(QVector2D, v);
    QFETCH(QVector2D, m);
    QFETCH(bool, real);
    const float n = 1.48f;
    const QVector2D t = intoGlass ? refractIntoPrism(v, m, n) : refractOutOfPrism(v, m, n);
    QCOMPARE(std::isfinite(t.x()) && std::isfinite(t.y()), real);
    if (!real)
        return;
    const QVector2D u = v.normalized(), face(-m.normalized().y(), m.normalized().x());
    const double ratio = intoGlass ? n : 1.0 / n;
    QVERIFY(std::abs(QVector2D::dotProduct(t, face) - QVector2D::dotProduct(u, face) / ratio) < 1e-6);
}

void TestPrismSketch::largeAnglesSkipUndefinedSegments_data()
{
    QTest::addColumn<float>("angle");
    for (float angle : {0.0f, 20.0f, 60.0f, 67.0f, 72.0f, 80.0f})
        QTest::newRow(qPrintable(QString("%1 degrees").arg(angle))) << angle;
}

void TestPrismSketch::largeAnglesSkipUndefinedSegments()
{
    QFETCH(float, angle);
    PrismSketchParameters p = startValues();
    p.angleDeg = angle;
    const PrismSketch sketch = computePrismSketch(p);
    for (const SketchShape& shape : sketch.shapes)
        for (const QPointF& point : shape.points)
            QVERIFY(std::isfinite(point.x()) && std::isfinite(point.y()));
    QCOMPARE(int(sketch.shapes.size()), 18 - expectedTotalReflections(p));
    if (angle == 80.0f)
        QVERIFY(expectedTotalReflections(p) > 0);
    QVERIFY(sketch.centralRayHitDefined);
}

void TestPrismSketch::parallelRayKeepsLastPoint()
{
    Prismitem item(576, 540);
    const PrismSketchParameters start = startValues();
    item.focalLength = start.focalLength, item.resolutionX = start.resolutionX;
    item.angleDeg = start.angleDeg, item.prismDistance = start.prismDistance;
    item.prismSize = start.prismSize, item.refractiveIndex = start.refractiveIndex;
    item.virtualCameraPos = start.virtualCameraPos;
    QImage image(600, 600, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.translate(300, 300);
    item.paint(&painter, nullptr, nullptr);
    const QPointF expected = expectedHit(start);
    QVERIFY(std::abs(item.centralRayHitX - expected.x()) < 1e-3);
    QVERIFY(std::abs(item.centralRayHitY - expected.y()) < 1e-3);

    // 45 degrees makes the face's slope exactly -1; so does this central ray.
    item.angleDeg = 45.0f, item.prismDistance = 0.0f;
    item.focalLength = static_cast<float>(1920 * 0.0055 * 0.25);
    double x = 7, y = 8;
    QVERIFY(!centralRayHit(item.parameters(), &x, &y));
    QCOMPARE(x, 7.0);
    QCOMPARE(y, 8.0);
    const double lastX = item.centralRayHitX, lastY = item.centralRayHitY;
    item.paint(&painter, nullptr, nullptr);
    QCOMPARE(item.centralRayHitX, lastX);
    QCOMPARE(item.centralRayHitY, lastY);
}

QTEST_MAIN(TestPrismSketch)
#include "tst_prism_sketch.moc"
