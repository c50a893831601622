#include "mainwindow/mainwindow.h"
#include "mainwindow/shared_state.h"
#include "sketch/prismitem.h"
#include "tests/sketch/expected_hit.h"

#include <QAbstractSlider>
#include <QDoubleSpinBox>
#include <QGraphicsView>
#include <QRadioButton>
#include <QScreen>
#include <QTextBrowser>
#include <QtTest>
#include <cmath>

namespace {

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

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void slotsInDeclaredOrder();
    void startState();
    void rangesAndSteps_data();
    void rangesAndSteps();
    void tiedPairs_data();
    void tiedPairs();
    void storedPointFollowsPanel_data();
    void storedPointFollowsPanel();
    void fixAngle_data();
    void fixAngle();

private:
    template <typename T> T* find(const char* name) const { return window->findChild<T*>(name); }
    void setValue(const char* name, double value) const { QVERIFY(find<QWidget>(name)->setProperty("value", value)); }
    void paintSketch() const { find<QGraphicsView>("graphicsView")->viewport()->repaint(); }
    MainWindow* window = nullptr;
};

void TestMainWindow::initTestCase()
{
    screenWidth = QGuiApplication::primaryScreen()->availableGeometry().width();
    screenHeight = QGuiApplication::primaryScreen()->availableGeometry().height();
}

void TestMainWindow::init()
{
    window = new MainWindow;
    window->resize(screenWidth, screenHeight);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
}

void TestMainWindow::cleanup()
{
    delete window;
}

void TestMainWindow::slotsInDeclaredOrder()
{
    const QStringList expected = {"workdonesignal", "workdonesignal2", "on_horizontalScrollBar_valueChanged",
        "on_horizontalSlider_fl_valueChanged", "on_spinBox_rx_valueChanged", "on_spinBox_ry_valueChanged",
        "on_doubleSpinBox_ps_valueChanged", "on_spinBox_d_valueChanged", "on_spinBox_p_valueChanged",
        "on_doubleSpinBox_index_valueChanged", "on_radioButton_clicked", "on_pushButton_clicked",
        "on_spjieci_valueChanged", "on_pushButton_2_clicked"};
    const QMetaObject* meta = window->metaObject();
    QCOMPARE(meta->methodCount() - meta->methodOffset(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(QString(meta->method(meta->methodOffset() + i).name()), expected[i]);
}

// The value slots ran during construction and filled the sketch's copies.
void TestMainWindow::startState()
{
    const Prismitem* item = window->sketch();
    QCOMPARE(item->focalLength, 35.0f);
    QCOMPARE(item->resolutionX, 1920);
    QCOMPARE(item->resolutionY, 1080);
    QCOMPARE(item->angleDeg, 20.0f);
    QCOMPARE(item->prismDistance, 175.0f);
    QCOMPARE(item->prismSize, 100.0f);
    QCOMPARE(item->refractiveIndex, 1.48f);
    QCOMPARE(item->virtualCameraPos, 210.0f);
    QCOMPARE(find<QTextBrowser>("textBrowser")->toPlainText(), QString("furface fitting results"));
    QVERIFY(!find<QWidget>("lineEdit_ps")->isEnabled());
    QCOMPARE(find<QWidget>("label")->property("text").toString(), QString("focual length"));
}

void TestMainWindow::rangesAndSteps_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<double>("minimum");
    QTest::addColumn<double>("maximum");
    QTest::addColumn<double>("step");
    QTest::addColumn<double>("start");
    QTest::newRow("focal slider") << "horizontalSlider_fl" << 4.0 << 40.0 << 1.0 << 35.0;
    QTest::newRow("focal") << "spinBox_fl" << 4.0 << 40.0 << 1.0 << 35.0;
    QTest::newRow("resolution X") << "spinBox_rx" << 640.0 << 2480.0 << 100.0 << 1920.0;
    QTest::newRow("resolution Y") << "spinBox_ry" << 640.0 << 2480.0 << 100.0 << 1080.0;
    QTest::newRow("angle") << "doubleSpinBox_ps" << 0.0 << 80.0 << 1.0 << 20.0;
    QTest::newRow("distance slider") << "horizontalSlider_d" << 100.0 << 300.0 << 1.0 << 175.0;
    QTest::newRow("distance") << "spinBox_d" << 100.0 << 300.0 << 1.0 << 175.0;
    QTest::newRow("size") << "spinBox_p" << 50.0 << 150.0 << 10.0 << 100.0;
    QTest::newRow("index") << "doubleSpinBox_index" << 1.4 << 1.55 << 0.01 << 1.48;
    QTest::newRow("virtual camera") << "horizontalScrollBar" << 0.0 << 300.0 << 1.0 << 210.0;
    QTest::newRow("fit order") << "spjieci" << 3.0 << 8.0 << 1.0 << 3.0;
}

// Stepping by the user moves by the step from the start value and stops at
// either end of the range.
void TestMainWindow::rangesAndSteps()
{
    QFETCH(QString, name);
    QFETCH(double, minimum);
    QFETCH(double, maximum);
    QFETCH(double, step);
    QFETCH(double, start);
    QWidget* control = find<QWidget>(qPrintable(name));
    const auto value = [control] { return control->property("value").toDouble(); };
    const auto stepBy = [control](int steps) {
        if (auto* spin = qobject_cast<QAbstractSpinBox*>(control))
            spin->stepBy(steps);
        else
            for (int i = 0; i < std::abs(steps); ++i)
                qobject_cast<QAbstractSlider*>(control)->triggerAction(
                    steps > 0 ? QAbstractSlider::SliderSingleStepAdd : QAbstractSlider::SliderSingleStepSub);
    };
    QVERIFY(qFuzzyCompare(value(), start));
    stepBy(1);
    QVERIFY(qFuzzyCompare(value(), std::min(start + step, maximum)));
    const int all = qRound((maximum - minimum) / step) + 2;
    stepBy(all);
    QVERIFY(qFuzzyCompare(value(), maximum));
    stepBy(-all);
    QVERIFY(qFuzzyCompare(value(), minimum));
    if (auto* spin = qobject_cast<QDoubleSpinBox*>(control))
        QCOMPARE(spin->decimals(), 2);
}

void TestMainWindow::tiedPairs_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("partner");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("shown");
    QTest::newRow("focal slider to 40") << "horizontalSlider_fl" << "spinBox_fl" << 40 << 40;
    QTest::newRow("focal spin box to 4") << "spinBox_fl" << "horizontalSlider_fl" << 4 << 4;
    QTest::newRow("focal spin box above range") << "spinBox_fl" << "horizontalSlider_fl" << 55 << 40;
    QTest::newRow("distance slider to 100") << "horizontalSlider_d" << "spinBox_d" << 100 << 100;
    QTest::newRow("distance spin box to 300") << "spinBox_d" << "horizontalSlider_d" << 300 << 300;
}

// Whichever side of a pair moves, both show the value and the sketch gets it.
void TestMainWindow::tiedPairs()
{
    QFETCH(QString, source);
    QFETCH(QString, partner);
    QFETCH(int, value);
    QFETCH(int, shown);
    setValue(qPrintable(source), value);
    QCOMPARE(find<QWidget>(qPrintable(source))->property("value").toInt(), shown);
    QCOMPARE(find<QWidget>(qPrintable(partner))->property("value").toInt(), shown);
    const bool focal = source.endsWith("_fl");
    QCOMPARE(focal ? window->sketch()->focalLength : window->sketch()->prismDistance, float(shown));
}

void TestMainWindow::storedPointFollowsPanel_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<double>("value");
    QTest::addColumn<QVector<double>>("parameters"); // focal, resolution, angle, distance, size
    const QVector<double> start = {35, 1920, 20, 175, 100};
    QTest::newRow("start values") << "" << 0.0 << start;
    QTest::newRow("focal length") << "horizontalSlider_fl" << 12.0 << QVector<double>{12, 1920, 20, 175, 100};
    QTest::newRow("sketch resolution") << "spinBox_rx" << 2480.0 << QVector<double>{35, 2480, 20, 175, 100};
    QTest::newRow("angle") << "doubleSpinBox_ps" << 33.33 << QVector<double>{35, 1920, 33.33, 175, 100};
    QTest::newRow("largest angle") << "doubleSpinBox_ps" << 80.0 << QVector<double>{35, 1920, 80, 175, 100};
    QTest::newRow("distance") << "horizontalSlider_d" << 290.0 << QVector<double>{35, 1920, 20, 290, 100};
    QTest::newRow("size") << "spinBox_p" << 60.0 << QVector<double>{35, 1920, 20, 175, 60};
    QTest::newRow("index alone") << "doubleSpinBox_index" << 1.55 << start;
    QTest::newRow("virtual camera alone") << "horizontalScrollBar" << 20.0 << start;
}

void TestMainWindow::storedPointFollowsPanel()
{
    QFETCH(QString, control);
    QFETCH(double, value);
    QFETCH(QVector<double>, parameters);
    if (!control.isEmpty())
        setValue(qPrintable(control), value);
    paintSketch();
    const QPointF expected = expectedHit(parameters[0], int(parameters[1]), parameters[2], parameters[3],
                                         parameters[4]);
    const Prismitem* item = window->sketch();
    QVERIFY2(std::abs(item->centralRayHitX - expected.x()) < 1e-3
                 && std::abs(item->centralRayHitY - expected.y()) < 1e-3,
             qPrintable(QString("(%1, %2) vs (%3, %4)")
                            .arg(item->centralRayHitX).arg(item->centralRayHitY).arg(expected.x()).arg(expected.y())));
    if (QTest::currentDataTag() == QLatin1String("start values"))
        QVERIFY(std::abs(item->centralRayHitX - 14.876) < 5e-4 && std::abs(item->centralRayHitY - 12.784) < 5e-4);
}

void TestMainWindow::fixAngle_data()
{
    QTest::addColumn<int>("focal");
    QTest::addColumn<double>("index");
    QTest::addColumn<int>("resolution");
    QTest::addColumn<bool>("exactInSketch");
    // A second click with nothing changed leaves the shown value, so the
    // spin box's slot does not round the sketch's copy.
    QTest::newRow("start values, clicked again") << 35 << 1.48 << 1920 << true;
    QTest::newRow("shorter focal length") << 20 << 1.48 << 1920 << false;
    QTest::newRow("higher index") << 35 << 1.55 << 1920 << false;
    QTest::newRow("sketch resolution does not count") << 35 << 1.48 << 2480 << true;
}

void TestMainWindow::fixAngle()
{
    QFETCH(int, focal);
    QFETCH(double, index);
    QFETCH(int, resolution);
    QFETCH(bool, exactInSketch);
    auto* button = find<QRadioButton>("radioButton");
    auto* angle = find<QDoubleSpinBox>("doubleSpinBox_ps");
    const QPoint indicator(8, button->height() / 2); // the button takes clicks on its indicator and text
    QTest::mouseClick(button, Qt::LeftButton, {}, indicator);
    QVERIFY(button->isChecked());
    QVERIFY(!angle->isEnabled());
    QCOMPARE(angle->text(), QString("8.85"));
    QCOMPARE(window->sketch()->angleDeg, 8.85f);

    setValue("spinBox_fl", focal);
    setValue("doubleSpinBox_index", index);
    setValue("spinBox_rx", resolution);
    QTest::mouseClick(button, Qt::LeftButton, {}, indicator);
    QVERIFY(button->isChecked());
    QVERIFY(!angle->isEnabled());
    const double expected = expectedFixedAngle(focal, float(index));
    QCOMPARE(angle->value(), std::round(expected * 100) / 100);
    QVERIFY(std::abs(window->sketch()->angleDeg - (exactInSketch ? expected : angle->value())) < 1e-4);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
