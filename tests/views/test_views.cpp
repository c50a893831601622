#include "views/design_point_view.h"
#include "views/fitted_surface_view.h"

#include <QtTest>

#include <cmath>
#include <memory>

namespace {

const QSize viewSize(300, 400);

const char *const notFound = "不能找到文件";

// Writes a file; "-" makes sure it does not exist.
bool putFile(const char *name, const QByteArray &contents)
{
    QFile file(QString::fromUtf8(name));
    if (contents == "-")
        return file.remove() || !file.exists();
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

// Drawn pixels of a picture on white, by colour.
QMap<QRgb, int> colourCounts(const QImage &image)
{
    QMap<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((image.pixel(x, y) | 0xff000000u) != qRgb(255, 255, 255))
                ++counts[image.pixel(x, y) | 0xff000000u];
    return counts;
}

std::unique_ptr<PointCloudView> makeView(bool fit)
{
    return fit ? std::unique_ptr<PointCloudView>(std::make_unique<MyWidget2>(viewSize))
               : std::make_unique<MyWidget>(viewSize);
}

} // namespace

class ViewsTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

signals:
    // Stands in for the main window's completion signal.
    void workdonesignal();

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid() && QDir::setCurrent(dir.path()));
    }

    // A null second file means the design view and its single file.
    void loadedCounts_data()
    {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<QByteArray>("second");
        QTest::addColumn<int>("groups");
        QTest::addColumn<int>("points");
        QTest::addColumn<double>("lastX"); // first number of the last group
        const QByteArray none, three = "1 1 1\n2 2 2\n3 3 3\n", four = "4 4 4\n5 5 5\n6 6 6\n7 7 7\n";
        // Each column used to hold at most 2,591,250 values.
        const QByteArray big = QByteArray("0 0 0 0 0 0\n").repeated(2591252) + "7 8 9";
        QTest::newRow("past the old array size") << big << none << 2591253 << 5182505 << 7.0;
        QTest::newRow("last line with a line break") << QByteArray("7 8 9 1 2 3\n") << none << 1 << 2 << 7.0;
        QTest::newRow("nan values") << QByteArray("nan nan nan 1 2 nan\n1 2 3 4 5 6\n") << none << 2 << 4 << 1.0;
        QTest::newRow("group cut in its second point") << QByteArray("1 2 3 4 5 6\n7 8 9 10") << none << 2 << 3 << 7.0;
        QTest::newRow("group cut in its first point") << QByteArray("1 2 3 4 5 6\n7 8\n") << none << 1 << 2 << 1.0;
        QTest::newRow("a word ends the reading") << QByteArray("1 2 3 4 5 6\nx 7 8 9\n") << none << 1 << 2 << 1.0;
        // The second file starts a new group: (1 2) (3) (4 5) (6 7).
        QTest::newRow("3 + 4 rows") << three << four << 4 << 7 << 6.0;
        QTest::newRow("first missing") << QByteArray("-") << four << 2 << 4 << 6.0;
        QTest::newRow("first cut in a point") << QByteArray("1 1 1 2 2") << three << 3 << 4 << 3.0;
    }

    void loadedCounts()
    {
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, second);
        QFETCH(int, groups);
        QFETCH(int, points);
        QFETCH(double, lastX);
        QVERIFY(putFile(second.isNull() ? "outputall.txt" : "output_fit_fig1.txt", first));
        QVERIFY(putFile("output_fit_fig2.txt", second.isNull() ? QByteArray("-") : second));
        const std::unique_ptr<PointCloudView> view = makeView(!second.isNull());
        QVERIFY(QMetaObject::invokeMethod(view.get(), "shownew"));
        QCOMPARE(view->points().groupCount, groups);
        QCOMPARE(view->points().pointCount(), points);
        QCOMPARE(view->points().columns[0][groups - 1], lastX);
    }

    void reloadKeepsOneStorage()
    {
        QVERIFY(putFile("outputall.txt", QByteArray("1 2 3 4 5 6\n").repeated(1000)));
        Showoutput set;
        set.loadPoints("outputall.txt");
        const double *column = set.columns[5].data();
        const float *vertices = set.vertexData();
        QVERIFY(putFile("outputall.txt", "1 2 3 4 5 6\n"));
        set.loadPoints("outputall.txt");
        QVERIFY(set.columns[5].data() == column && set.vertexData() == vertices);
    }

    void viewRotationRule()
    {
        // 2 acos(x) degrees about (w, z, y) / sin(acos(x)); the start
        // orientation's picture is checked below.
        const ViewRotation r = viewRotation(QQuaternion(0, -0.5f, 0.1f, 0.2f));
        QVERIFY(std::fabs(r.degrees - 240.0) < 1e-4);
        QVERIFY((QVector3D(r.x, r.y, r.z) - QVector3D(0, 0.2f, 0.1f) / std::sqrt(0.75f)).length() < 1e-5f);
    }

    void flickSpinsAndDecays_data()
    {
        QTest::addColumn<QPoint>("to");
        QTest::addColumn<QVector3D>("axis");
        QTest::addColumn<double>("speed");
        QTest::addColumn<int>("ticks");
        // From (50, 60): a drag along x turns about y and the other way round.
        QTest::newRow("100 px right") << QPoint(150, 60) << QVector3D(0, 1, 0) << 1.0 << 29;
        QTest::newRow("100 px diagonal") << QPoint(110, -20) << QVector3D(-0.8f, 0.6f, 0) << 1.0 << 29;
        QTest::newRow("200 px left") << QPoint(-150, 60) << QVector3D(0, -1, 0) << 2.0 << 36;
        QTest::newRow("release where pressed") << QPoint(50, 60) << QVector3D() << 0.0 << 0;
    }

    // Both views share the spin: the design view stands for them.
    void flickSpinsAndDecays()
    {
        QFETCH(QPoint, to);
        QFETCH(QVector3D, axis);
        QFETCH(double, speed);
        QFETCH(int, ticks);
        MyWidget view(viewSize);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(50, 60));
        QTest::mouseRelease(&view, Qt::LeftButton, {}, to);
        // A press and release at one place adds nothing, to a spin either.
        QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(70, 80));

        QTimerEvent tick(view.spinTimerId());
        int count = 0;
        for (; view.currentSpinSpeed() > 0.0 && count < 1000; ++count)
            QCoreApplication::sendEvent(&view, &tick);
        QCOMPARE(count, ticks);
        // Every tick but the last damps by 0.9 and turns by the damped speed
        // in degrees; the last finds it under 0.05 and stops.
        const double turned = speed * 9.0 * (1.0 - std::pow(0.9, ticks - 1));
        QVERIFY((view.currentOrientation() - QQuaternion::fromAxisAndAngle(axis, float(turned))).length() < 1e-5f);
    }

    void framebufferWhiteThenPointColour_data()
    {
        QTest::addColumn<bool>("fit");
        QTest::newRow("design points") << false;
        QTest::newRow("fitted surfaces") << true;
    }

    void framebufferWhiteThenPointColour()
    {
        QFETCH(bool, fit);
        for (const char *name : {"outputall.txt", "output_fit_fig1.txt", "output_fit_fig2.txt"})
            QVERIFY(putFile(name, "-"));
        const std::unique_ptr<PointCloudView> view = makeView(fit);
        // Wired as at start-up: by signature strings.
        QVERIFY(connect(this, "2workdonesignal()", view.get(), "1shownew()", Qt::AutoConnection));
        const auto lines = fit ? QStringList{notFound, notFound, "wowww", "receive \"hi\""}
                               : QStringList{notFound, "wowww", "drawwwww \"\"", "receive \"hi\"", "drawwwww \"hi\""};
        for (const QString &line : lines)
            QTest::ignoreMessage(QtDebugMsg, line.toUtf8().constData());
        view->grabFramebuffer();
        QVERIFY(QMetaObject::invokeMethod(view.get(), "receiveData", Q_ARG(QString, "hi")));
        const QImage white = view->grabFramebuffer();
        QCOMPARE(white.size(), QSize(300, 400));
        QVERIFY(colourCounts(white).isEmpty());

        // Points 10 mm (a few pixels) apart, the first two at (0, 30, 0) and (30, 0, 1).
        QVERIFY(putFile(fit ? "output_fit_fig1.txt" : "outputall.txt", "0 30 0\n30 0 1\n-20 -30 2\n"));
        QVERIFY(putFile("output_fit_fig2.txt", fit ? "-10 -30 3\n10 20 2\n20 20 3\n30 20 4\n" : "-"));
        const int points = fit ? 7 : 3;
        emit workdonesignal();
        // Both drawing paths give the same picture; the arrays leave no
        // client state enabled.
        view->setDrawPath(Showoutput::DrawPath::Immediate);
        const QImage lit = view->grabFramebuffer();
        view->setDrawPath(Showoutput::DrawPath::VertexArrays);
        QVERIFY(view->grabFramebuffer() == lit);
        view->makeCurrent();
        QVERIFY(!glIsEnabled(GL_VERTEX_ARRAY));
        view->doneCurrent();

        // The first frame enabled the lights: light 0 from the front gives
        // 1.2 times the colour. A new view's first frame is unlit.
        const QMap<QRgb, int> counts = colourCounts(lit);
        QCOMPARE(counts.values(), QList<int>{points});
        const QRgb c = counts.firstKey();
        QVERIFY(std::abs(qRed(c) - 97) <= 1 && std::abs(qGreen(c) - 203) <= 1 && std::abs(qBlue(c) - 240) <= 1);
        QCOMPARE(colourCounts(makeView(fit)->grabFramebuffer()), (QMap<QRgb, int>{{qRgb(81, 169, 200), points}}));

        // The start orientation turns 180 degrees about x: (0, 30, 0) is drawn
        // 0.6 of the half-height below the centre, (30, 0, 1) stays right.
        QCOMPARE(colourCounts(lit.copy(148, 318, 4, 4)).size(), 1);
        QCOMPARE(colourCounts(lit.copy(238, 198, 4, 4)).size(), 1);
    }
};

QTEST_MAIN(ViewsTest)

#include "test_views.moc"
