// The prism sketch's mends for rays without a finite end, and where the
// zoomable view stops zooming. The central-ray hit against plain line geometry is
// tested through the main window's panel.
#include "sketch/interactive_view.h"
#include "sketch/prism_geometry.h"
#include "sketch/prismitem.h"

#include <QGraphicsScene>
#include <QImage>
#include <QPainter>
#include <QtTest>
#include <cmath>
#include <memory>

class TestSketch : public QObject
{
    Q_OBJECT

    QGraphicsScene scene{-5000, -5000, 10000, 10000};
    std::unique_ptr<InteractiveView> view;
    const PanelParameters start;

private slots:
    void init()
    {
        view = std::make_unique<InteractiveView>();
        view->setScene(&scene);
        view->resize(400, 300);
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view.get()));
    }

    void largeAnglesSkipUndefinedSegments_data()
    {
        QTest::addColumn<float>("angle");
        QTest::addColumn<int>("shapes");
        // At the base, the refracted edge rays are totally reflected from
        // about 66 degrees, the apex rays from about 69 degrees.
        QTest::newRow("20 degrees, all drawn") << 20.0f << 18;
        QTest::newRow("67 degrees, edge rays reflected") << 67.0f << 16;
        QTest::newRow("80 degrees, edge and apex rays reflected") << 80.0f << 14;
    }

    void largeAnglesSkipUndefinedSegments()
    {
        QFETCH(float, angle);
        QFETCH(int, shapes);
        PanelParameters p = start;
        p.designAngleDeg = angle;
        const PrismSketch sketch = computePrismSketch(p);
        for (const SketchShape& shape : sketch.shapes)
            for (const QPointF& point : shape.points)
                QVERIFY(std::isfinite(point.x()) && std::isfinite(point.y()));
        QCOMPARE(int(sketch.shapes.size()), shapes);
        QVERIFY(centralRayHit(p).defined);
    }

    void zoomStopsAtItsBounds_data()
    {
        QTest::addColumn<bool>("in");
        QTest::addColumn<double>("delta");
        QTest::newRow("in, small steps") << true << 0.1;
        QTest::newRow("in, big steps") << true << 0.9;
        QTest::newRow("out, small steps") << false << 0.1;
        QTest::newRow("out, big steps") << false << 0.6;
    }

    // However long the user zooms, a scene unit never shows wider than 100
    // or narrower than 0.07 view units; the zoom stops near the bound (one
    // more step would cross it), the item stays drawn, and zooming back
    // works from there.
    void zoomStopsAtItsBounds()
    {
        QFETCH(bool, in);
        QFETCH(double, delta);
        view->zoomDelta = delta;
        for (int i = 0; i < 400; ++i)
            in ? view->zoomIn() : view->zoomOut();
        const double scale = view->transform().m11();
        QVERIFY2(scale <= 100.0 && scale >= 0.07, qPrintable(QString::number(scale)));
        const double step = in ? 1 + delta : 1 - delta;
        QVERIFY2(in ? scale * step > 100.0 : scale * step < 0.07, qPrintable(QString::number(scale)));
        QVERIFY(qFuzzyCompare(view->currentScale, scale));
        in ? view->zoomOut() : view->zoomIn();
        QVERIFY(in ? view->transform().m11() < scale : view->transform().m11() > scale);
    }

    void translateMovesByUnzoomedDelta_data()
    {
        QTest::addColumn<float>("zoom");
        QTest::addColumn<QPointF>("delta");
        QTest::newRow("no move re-centres") << 1.0f << QPointF(0, 0);
        QTest::newRow("zoomed in") << 2.0f << QPointF(40, 20);
    }

    // Deltas count in view units before the zoom, so the scene moves by the
    // same amount whatever the zoom; the anchor is back at the view's centre.
    void translateMovesByUnzoomedDelta()
    {
        QFETCH(float, zoom);
        QFETCH(QPointF, delta);
        view->zoom(zoom);
        view->setTransformationAnchor(QGraphicsView::NoAnchor);
        const QPointF before = view->mapToScene(view->viewport()->rect().center());
        view->translate(delta);
        const QPointF moved = view->mapToScene(view->viewport()->rect().center()) - before;
        const double pixel = 1.5 / zoom; // integer halving and truncation of the centre
        QVERIFY(std::abs(moved.x() + delta.x()) <= pixel && std::abs(moved.y() + delta.y()) <= pixel);
        QCOMPARE(view->transformationAnchor(), QGraphicsView::AnchorViewCenter);
    }
};

QTEST_MAIN(TestSketch)
#include "tst_sketch.moc"
