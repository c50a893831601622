#include "sketch/interactive_view.h"

#include <QGraphicsScene>
#include <QWheelEvent>
#include <QtTest>

class TestInteractiveView : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void repeatedZoomStopsInsideBounds_data();
    void repeatedZoomStopsInsideBounds();
    void boundsAreInclusive_data();
    void boundsAreInclusive();
    void wheelZooms();
    void translateMovesByUnzoomedDelta_data();
    void translateMovesByUnzoomedDelta();

private:
    QGraphicsScene* scene = nullptr;
    InteractiveView* view = nullptr;
    QPointF sceneCentre() const { return view->mapToScene(view->viewport()->rect().center()); }
};

void TestInteractiveView::init()
{
    scene = new QGraphicsScene(-5000, -5000, 10000, 10000);
    view = new InteractiveView;
    view->setScene(scene);
    view->resize(400, 300);
    view->show();
    QVERIFY(QTest::qWaitForWindowExposed(view));
    QCOMPARE(view->currentScale, 1.0);
}

void TestInteractiveView::cleanup()
{
    delete view;
    delete scene;
}

void TestInteractiveView::repeatedZoomStopsInsideBounds_data()
{
    QTest::addColumn<double>("delta");
    QTest::addColumn<bool>("in");
    QTest::newRow("in by 10%") << 0.1 << true;
    QTest::newRow("in by 37%") << 0.37 << true;
    QTest::newRow("out by 10%") << 0.1 << false;
    QTest::newRow("out by 55%") << 0.55 << false;
}

// The last step that would cross a bound is refused as a whole: the scale
// stays at the largest (smallest) power of the step inside the bounds.
void TestInteractiveView::repeatedZoomStopsInsideBounds()
{
    QFETCH(double, delta);
    QFETCH(bool, in);
    view->zoomDelta = delta;
    const double step = static_cast<float>(in ? 1 + delta : 1 - delta);
    double expected = 1;
    while (in ? expected * step <= 100 : expected * step >= 0.07)
        expected *= step;
    for (int i = 0; i < 200; ++i)
        in ? view->zoomIn() : view->zoomOut();
    QVERIFY(qFuzzyCompare(view->transform().m11(), expected));
    QVERIFY(qFuzzyCompare(view->transform().m22(), expected));
    QVERIFY(qFuzzyCompare(view->currentScale, expected));
}

void TestInteractiveView::boundsAreInclusive_data()
{
    QTest::addColumn<float>("factor");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("exactly 100") << 100.0f << true;
    QTest::newRow("just above 100") << 100.01f << false;
    QTest::newRow("0.07") << 0.07f << true;
    QTest::newRow("just below 0.07") << 0.0699f << false;
}

void TestInteractiveView::boundsAreInclusive()
{
    QFETCH(float, factor);
    QFETCH(bool, accepted);
    view->zoom(factor);
    const double expected = accepted ? static_cast<double>(factor) : 1.0;
    QCOMPARE(view->transform().m11(), expected);
    QCOMPARE(view->currentScale, expected);
}

void TestInteractiveView::wheelZooms()
{
    const QPointF at = view->viewport()->rect().center();
    QWheelEvent up(at, view->viewport()->mapToGlobal(at.toPoint()), QPoint(), QPoint(0, 120), Qt::NoButton,
                   Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view->viewport(), &up);
    QCOMPARE(view->currentScale, static_cast<double>(1.1f));
    QWheelEvent down(at, view->viewport()->mapToGlobal(at.toPoint()), QPoint(), QPoint(0, -120), Qt::NoButton,
                     Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view->viewport(), &down);
    QCOMPARE(view->currentScale, static_cast<double>(1.1f) * static_cast<double>(0.9f));
}

void TestInteractiveView::translateMovesByUnzoomedDelta_data()
{
    QTest::addColumn<float>("zoom");
    QTest::addColumn<QPointF>("delta");
    QTest::newRow("no move re-centres") << 1.0f << QPointF(0, 0);
    QTest::newRow("right and up") << 1.0f << QPointF(50, -30);
    QTest::newRow("zoomed in") << 2.0f << QPointF(40, 20);
    QTest::newRow("zoomed out") << 0.5f << QPointF(-60, 10);
}

// Deltas count in view units before the zoom, so the scene moves by the
// same amount whatever the zoom; the anchor is back at the view's centre.
void TestInteractiveView::translateMovesByUnzoomedDelta()
{
    QFETCH(float, zoom);
    QFETCH(QPointF, delta);
    view->zoom(zoom);
    view->setTransformationAnchor(QGraphicsView::NoAnchor);
    const QPointF before = sceneCentre();
    view->translate(delta);
    const QPointF moved = sceneCentre() - before;
    const double pixel = 1.5 / zoom; // integer halving and truncation of the centre
    QVERIFY2(std::abs(moved.x() + delta.x()) <= pixel && std::abs(moved.y() + delta.y()) <= pixel,
             qPrintable(QString("moved by (%1, %2)").arg(moved.x()).arg(moved.y())));
    QCOMPARE(view->transformationAnchor(), QGraphicsView::AnchorViewCenter);
}

QTEST_MAIN(TestInteractiveView)
#include "tst_interactive_view.moc"
