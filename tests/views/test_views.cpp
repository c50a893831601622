#include "mainwindow/shared_state.h"
#include "views/design_point_view.h"
#include "views/fitted_surface_view.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QSurfaceFormat>
#include <QTemporaryDir>
#include <QTest>
#include <QTimerEvent>

#include <clocale>
#include <cmath>
#include <memory>

namespace {

const char *const notFound = "不能找到文件";

QStringList capturedLines;

void captureMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    capturedLines << message;
}

// Collects the debug lines written while it lives.
struct LogCapture {
    LogCapture() : previous(qInstallMessageHandler(captureMessage)) { capturedLines.clear(); }
    ~LogCapture() { qInstallMessageHandler(previous); }
    QStringList lines() const { return capturedLines; }
    QtMessageHandler previous;
};

void writeFile(const char *name, const QByteArray &contents)
{
    QFile file(QString::fromUtf8(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(contents), qint64(contents.size()));
}

// Numbers of a file as "%lf" should see them, parsed here by Qt: up to the
// first word that is not a number.
QVector<double> numbersOf(const QByteArray &contents)
{
    QVector<double> numbers;
    for (const QByteArray &word : contents.simplified().split(' ')) {
        bool ok = false;
        const double value = word == "nan" ? std::nan("") : word.toDouble(&ok);
        if (!ok && word != "nan")
            break;
        numbers << value;
    }
    return numbers;
}

bool sameNumber(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// Drawn pixels of an image with a white background, by colour.
QMap<QRgb, int> colourCounts(const QImage &image)
{
    QMap<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y) | 0xff000000u;
            if (pixel != qRgb(255, 255, 255))
                ++counts[pixel];
        }
    return counts;
}

void tick(PointCloudView &view)
{
    QTimerEvent event(view.spinTimerId());
    QCoreApplication::sendEvent(&view, &event);
}

void flick(PointCloudView &view, QPoint from, QPoint to)
{
    QTest::mousePress(&view, Qt::LeftButton, {}, from);
    QTest::mouseRelease(&view, Qt::LeftButton, {}, to);
}

std::unique_ptr<PointCloudView> makeView(int which)
{
    if (which == 1)
        return std::make_unique<MyWidget>();
    return std::make_unique<MyWidget2>();
}

// Stands in for the main window's completion signal.
class Emitter : public QObject {
    Q_OBJECT
signals:
    void workdonesignal();
};

} // namespace

class ViewsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void loadPointsCounts_data();
    void loadPointsCounts();
    void loadPointPairsCounts_data();
    void loadPointPairsCounts();
    void reloadKeepsOneStorage();
    void readsPastTheOldArraySize();
    void readsUnderCommaLocale();

    void viewRotationRule_data();
    void viewRotationRule();
    void flickSpinsAndDecays_data();
    void flickSpinsAndDecays();
    void releaseWherePressedAddsNothing_data();
    void releaseWherePressedAddsNothing();

    void meta_data();
    void meta();
    void whiteBeforeAnyFile_data();
    void whiteBeforeAnyFile();
    void pointColourAfterShownew_data();
    void pointColourAfterShownew();
    void startOrientationTurnsAboutX();
    void debugLines_data();
    void debugLines();

private:
    QTemporaryDir dir;
};

void ViewsTest::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(QDir::setCurrent(dir.path()));
}

void ViewsTest::cleanup()
{
    for (const char *name : {"outputall.txt", "output_fit_fig1.txt", "output_fit_fig2.txt"})
        QFile::remove(QString::fromUtf8(name));
}

void ViewsTest::loadPointsCounts_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<int>("groups");
    QTest::addColumn<int>("points");
    QTest::newRow("last line with a line break") << QByteArray("1 2 3 4 5 6\n7 8 9 10 11 12\n") << 2 << 4;
    QTest::newRow("last line without a line break") << QByteArray("1 2 3 4 5 6\n7 8 9 10 11 12") << 2 << 4;
    QTest::newRow("line breaks mean nothing") << QByteArray("1 2 3\n4 5 6 7\n8 9 10 11 12\n\n") << 2 << 4;
    QTest::newRow("group cut after its first point") << QByteArray("1 2 3 4 5 6\n7 8 9\n") << 2 << 3;
    QTest::newRow("group cut inside its second point") << QByteArray("1 2 3 4 5 6 7 8 9 10") << 2 << 3;
    QTest::newRow("group cut inside its first point") << QByteArray("1 2 3 4 5 6\n7 8\n") << 1 << 2;
    QTest::newRow("empty file") << QByteArray() << 0 << 0;
    QTest::newRow("not-a-number values") << QByteArray("nan nan nan -1e2 0.5 nan\n") << 1 << 2;
    QTest::newRow("a word ends the reading") << QByteArray("1 2 3 4 5 6\nx 7 8 9 10 11 12\n") << 1 << 2;
    QTest::newRow("a word in a second point") << QByteArray("1 2 3 4 x 6\n") << 1 << 1;
}

void ViewsTest::loadPointsCounts()
{
    QFETCH(QByteArray, contents);
    QFETCH(int, groups);
    QFETCH(int, points);
    writeFile("outputall.txt", contents);
    Showoutput set;
    LogCapture log;
    set.loadPoints("outputall.txt");
    QCOMPARE(log.lines(), QStringList{"wowww"});
    QCOMPARE(set.groupCount, groups);
    QCOMPARE(set.pointCount(), points);
    const QVector<double> numbers = numbersOf(contents);
    for (int k = 0; k < 3 * points; ++k) {
        const int group = k / 6, column = k % 6;
        QVERIFY2(sameNumber(set.columns[column][group], numbers[k]), qPrintable(QString::number(k)));
    }
}

void ViewsTest::loadPointPairsCounts_data()
{
    QTest::addColumn<QByteArray>("first");   // "-" for a missing file
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<int>("groups");
    QTest::addColumn<int>("points");
    QTest::addColumn<int>("secondStart"); // group of the second file's first point
    const QByteArray three = "1 1 1\n2 2 2\n3 3 3\n";
    const QByteArray four = "4 4 4\n5 5 5\n6 6 6\n7 7 7\n";
    QTest::newRow("3 + 4 rows") << three << four << 4 << 7 << 2;
    QTest::newRow("4 + 3 rows") << four << three << 4 << 7 << 2;
    QTest::newRow("first missing") << QByteArray("-") << four << 2 << 4 << 0;
    QTest::newRow("second missing") << three << QByteArray("-") << 2 << 3 << -1;
    QTest::newRow("both missing") << QByteArray("-") << QByteArray("-") << 0 << 0 << -1;
    QTest::newRow("first cut in a point") << QByteArray("1 1 1 2 2") << three << 3 << 4 << 1;
}

void ViewsTest::loadPointPairsCounts()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(int, groups);
    QFETCH(int, points);
    QFETCH(int, secondStart);
    if (first != "-")
        writeFile("output_fit_fig1.txt", first);
    if (second != "-")
        writeFile("output_fit_fig2.txt", second);
    Showoutput2 set;
    LogCapture log;
    set.loadPointPairs("output_fit_fig1.txt", "output_fit_fig2.txt");
    QStringList expected;
    for (const QByteArray &file : {first, second})
        if (file == "-")
            expected << QString::fromUtf8(notFound);
    expected << "wowww";
    QCOMPARE(log.lines(), expected);
    QCOMPARE(set.groupCount, groups);
    QCOMPARE(set.pointCount(), points);
    if (secondStart >= 0)
        QCOMPARE(set.columns[0][secondStart], numbersOf(second).first());
}

void ViewsTest::reloadKeepsOneStorage()
{
    QByteArray contents;
    for (int i = 0; i < 1000; ++i)
        contents += QByteArray::number(i) + " 1 2 3 4 5\n";
    writeFile("outputall.txt", contents);
    Showoutput set;
    set.loadPoints("outputall.txt");
    const double *column = set.columns[5].data();
    const std::size_t capacity = set.columns[5].capacity();
    const float *vertices = set.vertexData();
    for (const QByteArray &next : {contents, QByteArray("9 9 9 9 9 9\n"), contents}) {
        writeFile("outputall.txt", next);
        set.loadPoints("outputall.txt");
        QCOMPARE(set.columns[5].data(), column);
        QCOMPARE(set.columns[5].capacity(), capacity);
        QCOMPARE(set.vertexData(), vertices);
    }
    QCOMPARE(set.groupCount, 1000);
    QCOMPARE(set.columns[0][999], 999.0);
}

void ViewsTest::readsPastTheOldArraySize()
{
    // Each column used to hold at most 2,591,250 values.
    const int groups = 2591250 + 2;
    QByteArray contents;
    contents.reserve(groups * 12 + 8);
    for (int i = 0; i < groups; ++i)
        contents += "0 0 0 0 0 0\n";
    contents += "7 8 9";
    writeFile("outputall.txt", contents);
    Showoutput set;
    set.loadPoints("outputall.txt");
    QCOMPARE(set.groupCount, groups + 1);
    QCOMPARE(set.pointCount(), 2 * groups + 1);
    QCOMPARE(set.columns[2][groups], 9.0);
}

void ViewsTest::readsUnderCommaLocale()
{
    const char *previous = std::setlocale(LC_NUMERIC, nullptr);
    const QByteArray saved(previous ? previous : "C");
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8"))
        QSKIP("no locale with a decimal comma installed");
    writeFile("outputall.txt", "1.5 2.25 3 4 5 6.75\n");
    Showoutput set;
    set.loadPoints("outputall.txt");
    std::setlocale(LC_NUMERIC, saved.constData());
    QCOMPARE(set.groupCount, 1);
    QCOMPARE(set.columns[1][0], 2.25);
    QCOMPARE(set.columns[5][0], 6.75);
}

void ViewsTest::viewRotationRule_data()
{
    QTest::addColumn<QQuaternion>("orientation");
    QTest::addColumn<double>("degrees");
    QTest::addColumn<QVector3D>("axis");
    // degrees = 2 acos(x); axis = (w, z, y) / sin(acos(x)).
    QTest::newRow("start orientation") << QQuaternion(1, 0, 0, 0) << 180.0 << QVector3D(1, 0, 0);
    QTest::newRow("x feeds the arc cosine") << QQuaternion(0.5f, 0.5f, 0.5f, 0.5f) << 120.0
                                            << QVector3D(0.5f, 0.5f, 0.5f) / std::sqrt(0.75f);
    QTest::newRow("axis is w, z, y") << QQuaternion(0.6f, 0, 0.8f, 0) << 180.0 << QVector3D(0.6f, 0, 0.8f);
    QTest::newRow("negative x") << QQuaternion(0, -0.5f, 0.1f, 0.2f) << 240.0
                                << QVector3D(0, 0.2f, 0.1f) / std::sqrt(0.75f);
}

void ViewsTest::viewRotationRule()
{
    QFETCH(QQuaternion, orientation);
    QFETCH(double, degrees);
    QFETCH(QVector3D, axis);
    const ViewRotation rotation = viewRotation(orientation);
    QVERIFY2(std::fabs(rotation.degrees - degrees) < 1e-4, qPrintable(QString::number(rotation.degrees)));
    QVERIFY((QVector3D(rotation.x, rotation.y, rotation.z) - axis).length() < 1e-5f);
}

void ViewsTest::flickSpinsAndDecays_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<QPoint>("to");
    QTest::addColumn<QVector3D>("axis");
    QTest::addColumn<double>("speed");
    QTest::addColumn<int>("ticks");
    const QPoint from(50, 60);
    // A drag along x turns about y and the other way round.
    QTest::newRow("100 px right") << 1 << from + QPoint(100, 0) << QVector3D(0, 1, 0) << 1.0 << 29;
    QTest::newRow("100 px down") << 1 << from + QPoint(0, 100) << QVector3D(1, 0, 0) << 1.0 << 29;
    QTest::newRow("100 px diagonal, view 2") << 2 << from + QPoint(60, -80) << QVector3D(-0.8f, 0.6f, 0) << 1.0
                                             << 29;
    QTest::newRow("200 px left") << 2 << from + QPoint(-200, 0) << QVector3D(0, -1, 0) << 2.0 << 36;
}

void ViewsTest::flickSpinsAndDecays()
{
    QFETCH(int, which);
    QFETCH(QPoint, to);
    QFETCH(QVector3D, axis);
    QFETCH(double, speed);
    QFETCH(int, ticks);
    const std::unique_ptr<PointCloudView> view = makeView(which);
    view->show();
    QVERIFY(QTest::qWaitForWindowExposed(view.get()));
    QVERIFY(view->spinTimerId() != 0);
    const QQuaternion start = view->currentOrientation();

    flick(*view, QPoint(50, 60), to);
    QCOMPARE(view->currentSpinSpeed(), speed);
    QVERIFY((view->currentSpinAxis() - axis).length() < 1e-6f);

    // Each tick first damps, then turns by the damped speed in degrees.
    double turned = 0.0;
    int count = 0;
    while (view->currentSpinSpeed() > 0.0 && count < 1000) {
        const double before = view->currentSpinSpeed();
        tick(*view);
        ++count;
        if (view->currentSpinSpeed() > 0.0) {
            QVERIFY(std::fabs(view->currentSpinSpeed() - 0.9 * before) < 1e-12);
            turned += 0.9 * before;
        } else {
            QVERIFY(0.9 * before < 0.05);
        }
    }
    QCOMPARE(count, ticks);
    const QQuaternion stopped = view->currentOrientation();
    tick(*view);
    QCOMPARE(view->currentOrientation(), stopped);

    QVector3D turnedAxis;
    float turnedDegrees = 0.0f;
    (stopped * start.conjugated()).getAxisAndAngle(&turnedAxis, &turnedDegrees);
    QVERIFY2(std::fabs(turnedDegrees - turned) < 1e-3, qPrintable(QString::number(turnedDegrees)));
    QVERIFY((turnedAxis - axis).length() < 1e-4f);
}

void ViewsTest::releaseWherePressedAddsNothing_data()
{
    QTest::addColumn<bool>("spinning");
    QTest::newRow("at rest") << false;
    QTest::newRow("while spinning") << true;
}

void ViewsTest::releaseWherePressedAddsNothing()
{
    QFETCH(bool, spinning);
    MyWidget view;
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    if (spinning) {
        flick(view, QPoint(10, 10), QPoint(40, 50));
        tick(view);
    }
    const double speed = view.currentSpinSpeed();
    const QVector3D axis = view.currentSpinAxis();
    flick(view, QPoint(70, 80), QPoint(70, 80));
    QCOMPARE(view.currentSpinSpeed(), speed);
    QVERIFY((view.currentSpinAxis() - axis).length() < 1e-6f);
    if (!spinning) {
        tick(view);
        QCOMPARE(view.currentOrientation(), QQuaternion());
    }
}

void ViewsTest::meta_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<QString>("className");
    QTest::newRow("design points") << 1 << "MyWidget";
    QTest::newRow("fitted surfaces") << 2 << "MyWidget2";
}

void ViewsTest::meta()
{
    QFETCH(int, which);
    QFETCH(QString, className);
    const std::unique_ptr<PointCloudView> view = makeView(which);
    const QMetaObject *meta = view->metaObject();
    QCOMPARE(QString::fromLatin1(meta->className()), className);
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 3);
    const char *signatures[] = {"receiveData(QString)", "repaint()", "shownew()"};
    for (int i = 0; i < 3; ++i) {
        const QMetaMethod method = meta->method(meta->methodOffset() + i);
        QCOMPARE(method.methodSignature(), QByteArray(signatures[i]));
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Public);
    }
    QVERIFY(view->qt_metacast("QOpenGLFunctions") != nullptr);
    QCOMPARE(view->size(), QSize(int(0.3 * screenWidth), int(0.5 * screenHeight)));

    // The wiring of start-up: by signature string, automatic connection.
    Emitter emitter;
    QVERIFY(QObject::connect(&emitter, "2workdonesignal()", view.get(), "1shownew()", Qt::AutoConnection));
    writeFile(which == 1 ? "outputall.txt" : "output_fit_fig2.txt", "1 2 3 4 5 6\n");
    view->grabFramebuffer();
    QCOMPARE(view->points().pointCount(), 2);
    writeFile(which == 1 ? "outputall.txt" : "output_fit_fig2.txt", "1 2 3 4 5 6 7 8 9\n");
    emit emitter.workdonesignal();
    QCOMPARE(view->points().pointCount(), 3);
}

void ViewsTest::whiteBeforeAnyFile_data()
{
    meta_data();
}

void ViewsTest::whiteBeforeAnyFile()
{
    QFETCH(int, which);
    const std::unique_ptr<PointCloudView> view = makeView(which);
    for (int frame = 0; frame < 2; ++frame) {
        const QImage image = view->grabFramebuffer();
        QCOMPARE(image.size(), view->size());
        QVERIFY(colourCounts(image).isEmpty());
    }
}

void ViewsTest::pointColourAfterShownew_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<int>("points");
    // Points 10 mm (a few pixels) apart, inside the visible +-50 mm.
    QTest::newRow("design file") << 1 << QByteArray("-30 -20 5 -20 -10 -5\n0 0 0 10 10 10\n20 30 -10\n") << QByteArray()
                                 << 5;
    QTest::newRow("design file with not-a-number lines")
        << 1 << QByteArray("nan nan nan nan nan nan\n-30 -20 5 -20 -10 -5\n") << QByteArray() << 2;
    QTest::newRow("fit files, 3 + 4 rows")
        << 2 << QByteArray("-30 -30 1\n-20 -30 2\n-10 -30 3\n") << QByteArray("0 20 1\n10 20 2\n20 20 3\n30 20 4\n")
        << 7;
    QTest::newRow("fit files, first missing") << 2 << QByteArray("-") << QByteArray("0 20 1\n10 20 2\n30 20 4\n")
                                              << 3;
}

void ViewsTest::pointColourAfterShownew()
{
    QFETCH(int, which);
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(int, points);
    const std::unique_ptr<PointCloudView> view = makeView(which);
    QVERIFY(colourCounts(view->grabFramebuffer()).isEmpty());
    if (which == 1) {
        writeFile("outputall.txt", first);
    } else {
        if (first != "-")
            writeFile("output_fit_fig1.txt", first);
        writeFile("output_fit_fig2.txt", second);
    }
    QVERIFY(QMetaObject::invokeMethod(view.get(), "shownew"));

    // The first frame enabled the lights: from the second on, light 0 from
    // the front gives 1.2 times the colour. Both drawing paths give the same
    // picture and leave no client array enabled.
    const QImage arrays = view->grabFramebuffer();
    view->setDrawPath(Showoutput::DrawPath::Immediate);
    QVERIFY(view->grabFramebuffer() == arrays);
    view->makeCurrent();
    QVERIFY(!glIsEnabled(GL_VERTEX_ARRAY));
    QVERIFY(glIsEnabled(GL_LIGHTING));
    view->doneCurrent();

    const QMap<QRgb, int> lit = colourCounts(arrays);
    QCOMPARE(lit.size(), 1);
    QCOMPARE(lit.first(), points);
    const QColor litColour(lit.firstKey());
    QVERIFY(std::abs(litColour.red() - 97) <= 1);
    QVERIFY(std::abs(litColour.green() - 203) <= 1);
    QVERIFY(std::abs(litColour.blue() - 240) <= 1);

    // The first frame of a view is unlit: the point colour itself.
    QMap<QRgb, int> unlit;
    unlit[qRgb(81, 169, 200)] = points;
    const std::unique_ptr<PointCloudView> fresh = makeView(which);
    const QImage firstFrame = fresh->grabFramebuffer();
    QCOMPARE(colourCounts(firstFrame), unlit);
    const std::unique_ptr<PointCloudView> freshImmediate = makeView(which);
    freshImmediate->setDrawPath(Showoutput::DrawPath::Immediate);
    QVERIFY(freshImmediate->grabFramebuffer() == firstFrame);
}

void ViewsTest::startOrientationTurnsAboutX()
{
    // Turned 180 degrees about x, a point above the origin is drawn below
    // the centre and a point right of it stays right.
    writeFile("outputall.txt", "0 30 0 30 0 0\n");
    MyWidget view;
    const QImage image = view.grabFramebuffer();
    const int w = view.width(), h = view.height();
    auto drawnNear = [&](double xNdc, double yNdc) {
        const int cx = int((xNdc + 1) / 2 * w), cy = int((1 - yNdc) / 2 * h);
        for (int y = cy - 1; y <= cy + 1; ++y)
            for (int x = cx - 1; x <= cx + 1; ++x)
                if ((image.pixel(x, y) | 0xff000000u) == qRgb(81, 169, 200))
                    return true;
        return false;
    };
    QVERIFY(drawnNear(0.0, -0.6));
    QVERIFY(drawnNear(0.6, 0.0));
    QCOMPARE(colourCounts(image).value(qRgb(81, 169, 200)), 2);
}

void ViewsTest::debugLines_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("design points") << 1
                                   << QStringList{QString::fromUtf8(notFound), "wowww", "drawwwww \"\"",
                                                  "receive \"note 1\"", "drawwwww \"note 1\""};
    QTest::newRow("fitted surfaces") << 2
                                     << QStringList{QString::fromUtf8(notFound), QString::fromUtf8(notFound), "wowww",
                                                    "receive \"note 1\""};
}

void ViewsTest::debugLines()
{
    QFETCH(int, which);
    QFETCH(QStringList, lines);
    const std::unique_ptr<PointCloudView> view = makeView(which);
    LogCapture log;
    view->grabFramebuffer();
    QVERIFY(QMetaObject::invokeMethod(view.get(), "receiveData", Q_ARG(QString, "note 1")));
    view->grabFramebuffer();
    QCOMPARE(log.lines(), lines);
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QSurfaceFormat format;
    format.setDepthBufferSize(24);
    QSurfaceFormat::setDefaultFormat(format);
    screenWidth = 1000;
    screenHeight = 800;
    ViewsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_views.moc"
