// The main window's panel as a user drives it: ranges, the tied pairs, the
// sketch's point after each change, "fix angle", and "freeform" where no
// file can be written.
#include "design/design_run.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/shared_state.h"
#include "sketch/prismitem.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGraphicsView>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QtTest>
#include <cmath>
#include <memory>

namespace {

// Where the central ray of the right half image meets the right prism face:
// plain double-precision line geometry.
QPointF expectedHit(const QVector<double>& p) // focal, resolution, angle, distance, size
{
    const double half = p[4] / 2, h = half * std::tan(p[2] * 3.14159265358979323846 / 180), quarter = p[1] * 0.0055 / 4;
    // ray: y = distance + focal - focal / quarter * x;  face: y = h - h / half * x
    const double x = (p[3] + p[0] - h) / (p[0] / quarter - h / half);
    return {x, h - h / half * x};
}

// The prism angle that turns the central ray of a half image (always 1920
// pixels across) into the axis direction: sin(a + t) = n sin(a).
double expectedFixedAngle(int focal, double index)
{
    const double t = std::atan(1920 * 0.0055 / (4.0 * focal));
    return std::atan(std::sin(t) / (index - std::cos(t))) * 180 / 3.14159265358979323846;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> window;
    template <typename T = QWidget> T* find(const QString& name) const { return window->findChild<T*>(name); }
    void setValue(const QString& name, double value) const { QVERIFY(find(name)->setProperty("value", value)); }

private slots:
    void init()
    {
        screenWidth = QGuiApplication::primaryScreen()->availableGeometry().width();
        screenHeight = QGuiApplication::primaryScreen()->availableGeometry().height();
        window = std::make_unique<MainWindow>();
        window->resize(screenWidth, screenHeight);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void rangesAndSteps_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QVector<double>>("expected"); // minimum, maximum, step, start
        QTest::newRow("focal slider") << "horizontalSlider_fl" << QVector<double>{4, 40, 1, 35};
        QTest::newRow("focal") << "spinBox_fl" << QVector<double>{4, 40, 1, 35};
        QTest::newRow("resolution X") << "spinBox_rx" << QVector<double>{640, 2480, 100, 1920};
        QTest::newRow("resolution Y") << "spinBox_ry" << QVector<double>{640, 2480, 100, 1080};
        QTest::newRow("angle") << "doubleSpinBox_ps" << QVector<double>{0, 80, 1, 20};
        QTest::newRow("distance slider") << "horizontalSlider_d" << QVector<double>{100, 300, 1, 175};
        QTest::newRow("distance") << "spinBox_d" << QVector<double>{100, 300, 1, 175};
        QTest::newRow("size") << "spinBox_p" << QVector<double>{50, 150, 10, 100};
        QTest::newRow("index") << "doubleSpinBox_index" << QVector<double>{1.4, 1.55, 0.01, 1.48};
        QTest::newRow("virtual camera") << "horizontalScrollBar" << QVector<double>{0, 300, 1, 210};
        QTest::newRow("fit order") << "spjieci" << QVector<double>{3, 8, 1, 3};
    }

    void rangesAndSteps()
    {
        QFETCH(QString, name);
        QFETCH(QVector<double>, expected);
        const char* properties[] = {"minimum", "maximum", "singleStep", "value"};
        for (int i = 0; i < 4; ++i)
            QVERIFY2(qFuzzyCompare(find(name)->property(properties[i]).toDouble(), expected[i]), properties[i]);
    }

    void sketchFollowsThePanel_data()
    {
        using P = QVector<double>; // the sketch's focal length, resolution, angle, distance and size
        QTest::addColumn<QString>("control");
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("partner"); // the other half of a tied pair
        QTest::addColumn<P>("sketch");
        QTest::newRow("start values") << "" << 0.0 << "" << P{35, 1920, 20, 175, 100};
        QTest::newRow("focal slider to 4") << "horizontalSlider_fl" << 4.0 << "spinBox_fl" << P{4, 1920, 20, 175, 100};
        QTest::newRow("focal above range") << "spinBox_fl" << 55.0 << "horizontalSlider_fl" << P{40, 1920, 20, 175, 100};
        QTest::newRow("distance slider to 100") << "horizontalSlider_d" << 100.0 << "spinBox_d" << P{35, 1920, 20, 100, 100};
        QTest::newRow("distance to 300") << "spinBox_d" << 300.0 << "horizontalSlider_d" << P{35, 1920, 20, 300, 100};
        QTest::newRow("sketch resolution") << "spinBox_rx" << 2480.0 << "" << P{35, 2480, 20, 175, 100};
        QTest::newRow("largest angle") << "doubleSpinBox_ps" << 80.0 << "" << P{35, 1920, 80, 175, 100};
        QTest::newRow("small prism") << "spinBox_p" << 50.0 << "" << P{35, 1920, 20, 175, 50};
        QTest::newRow("index alone") << "doubleSpinBox_index" << 1.55 << "" << P{35, 1920, 20, 175, 100};
        QTest::newRow("virtual camera alone") << "horizontalScrollBar" << 20.0 << "" << P{35, 1920, 20, 175, 100};
    }

    // Both halves of a pair show the value; the design's central-ray hit is
    // the intersection for the sketch's values, whatever the index and camera.
    void sketchFollowsThePanel()
    {
        QFETCH(QString, control);
        QFETCH(double, value);
        QFETCH(QString, partner);
        QFETCH(QVector<double>, sketch);
        if (!control.isEmpty())
            setValue(control, value);
        if (!partner.isEmpty())
            QCOMPARE(find(partner)->property("value").toInt(), find(control)->property("value").toInt());
        find<QGraphicsView>("graphicsView")->viewport()->repaint();
        const CentralRayHit& designHit = window->designCentralRayHit();
        const QPointF expected = expectedHit(sketch), hit(designHit.x, designHit.y);
        QVERIFY(designHit.defined);
        QCOMPARE(window->sketch()->parameters().resolutionX, int(sketch[1]));
        QVERIFY2((hit - expected).manhattanLength() < 1e-3, qPrintable(QString("%1 %2").arg(hit.x()).arg(hit.y())));
    }

    // The spin box shows two decimals; when its shown value changes, its slot
    // gives the sketch that value, otherwise the sketch keeps the exact angle.
    // Every click recomputes, with 1920 pixels whatever the sketch shows.
    void fixAngle()
    {
        auto* button = find<QRadioButton>("radioButton");
        auto* angle = find<QDoubleSpinBox>("doubleSpinBox_ps");
        const QPoint indicator(8, button->height() / 2);
        QTest::mouseClick(button, Qt::LeftButton, {}, indicator);
        QVERIFY(button->isChecked() && !angle->isEnabled());
        QCOMPARE(angle->text(), QString("8.85"));
        QCOMPARE(window->parameters().designAngleDeg, 8.85f);
        QTest::mouseClick(button, Qt::LeftButton, {}, indicator);
        QVERIFY(button->isChecked() && std::abs(window->parameters().designAngleDeg - expectedFixedAngle(35, 1.48f)) < 1e-4);
        setValue("spinBox_fl", 20);
        setValue("spinBox_rx", 2480);
        QTest::mouseClick(button, Qt::LeftButton, {}, indicator);
        QVERIFY(button->isChecked() && !angle->isEnabled());
        QCOMPARE(angle->value(), std::round(expectedFixedAngle(20, 1.48f) * 100) / 100);
        QCOMPARE(window->parameters().designAngleDeg, float(angle->value()));
        QCOMPARE(window->sketch()->parameters().designAngleDeg, float(angle->value()));
    }

    // The selector beside "freeform" picks the model the design computes: the
    // window's files are those of a direct run of that model.
    void designModelSelector_data()
    {
        QTest::addColumn<QString>("model");
        QTest::newRow("classic") << "classic";
        QTest::newRow("refraction") << "refraction";
    }

    void designModelSelector()
    {
        QFETCH(QString, model);
        auto* selector = find<QComboBox>("comboBox_model");
        QVERIFY(selector);
        selector->setCurrentText(model);
        DesignModel expected = DesignModel::Classic;
        QVERIFY(parseDesignModel(model, &expected));
        QCOMPARE(int(window->selectedDesignModel()), int(expected));

        QTemporaryDir byWindow, direct;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(byWindow.path()));
        QTimer closer;
        connect(&closer, &QTimer::timeout, [] {
            if (auto* shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                shown->accept();
        });
        closer.start(20);
        QTest::mouseClick(find<QPushButton>("pushButton"), Qt::LeftButton);
        QDir::setCurrent(previous);

        DesignRunOptions options;
        options.outputDirectory = direct.path();
        options.model = expected;
        runDesign(toDesignParameters(window->parameters(), window->designCentralRayHit()), options);
        for (const char* name : {"output.txt", "outputall.txt"}) {
            QFile a(QDir(byWindow.path()).filePath(name)), b(QDir(direct.path()).filePath(name));
            QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
            const QByteArray text = a.readAll();
            QVERIFY(!text.isEmpty());
            QVERIFY(text == b.readAll());
        }
    }

    // With neither file writable the design ends with a box that names both
    // files as kept, and its signal.
    void freeformWhereNothingCanBeWritten()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("output.txt") && QDir(dir.path()).mkpath("outputall.txt"));
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        QString box;
        QTimer closer; // closes the modal box once it is up
        connect(&closer, &QTimer::timeout, [&box] {
            if (auto* shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                box = shown->windowTitle() + ": " + shown->text();
                shown->accept();
            }
        });
        closer.start(20);
        QSignalSpy done(window.get(), SIGNAL(workdonesignal()));
        QTest::mouseClick(find<QPushButton>("pushButton"), Qt::LeftButton);
        QDir::setCurrent(previous);
        QVERIFY2(box.startsWith("not written: ") && box.endsWith("Not replaced: output.txt, outputall.txt, design.json."),
                 qPrintable(box));
        QCOMPARE(done.count(), 1);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
