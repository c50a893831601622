// The analysis window's "Simulated capture" tab on real result folders made
// by the one-shot run: a capture started by a click runs on the worker with
// the button disabled, shows the four pictures and the figures (the same as
// the one-shot's for its scene), can be cancelled, follows the current
// result (a folder without a calibration, one with the calibration of
// another prism, none at all). With HARVENLOTEK_SCREENSHOT_DIR set, the tab
// is saved there as "simulation_tab.png".
#include "calibration/calibration_file.h"
#include "mainwindow/analysis_window.h"
#include "mainwindow/background_task.h"
#include "mainwindow/simulation_tab.h"
#include "report/prism_report.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A cheap prism result (no optimiser, a coarse verification), calibrated and
// simulated like every one-shot run.
report::OneShotResult oneShot(const QString& parent, const QString& name, int order)
{
    report::OneShotOptions options;
    options.settings.fit.order = order;
    options.settings.fit.optimize = false;
    options.settings.verify.step = 32;
    options.settings.calibration.depthsMm = {600.0, 1000.0};
    options.settings.simulation.rowFraction = 1.0;  // every row, as the tab captures
    options.allExports = false;
    options.outputDir = parent;
    options.folderName = name;
    report::OneShotResult result;
    QString error;
    if (!report::runPrismOneShot(options, nullptr, &result, &error))
        qFatal("one-shot run failed: %s", qPrintable(error));
    return result;
}

bool copyFile(const QString& from, const QString& to)
{
    QFile::remove(to);
    return QFile::copy(from, to);
}

}  // namespace

class TestSimulationTab : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    report::OneShotResult result_;
    QString uncalibrated_, foreign_;
    BackgroundTask* task_ = nullptr;
    AnalysisWindow* window_ = nullptr;
    SimulationTab* tab_ = nullptr;

    template <class T = QWidget>
    T* find(const char* name) const
    {
        T* widget = tab_->findChild<T*>(QString::fromLatin1(name));
        if (!widget)
            qFatal("no widget %s", name);
        return widget;
    }
    QSize pictureSize(const char* suffix) const
    {
        return find(("simulationPicture_" + QByteArray(suffix)).constData())->property("pictureSize").toSize();
    }
    QString status() const { return find<QLabel>("simulationStatus")->text(); }
    QString figures() const { return find<QPlainTextEdit>("simulationFigures")->toPlainText(); }
    void choose(const QString& scene, double depth, int rays)
    {
        auto* box = find<QComboBox>("simulationScene");
        box->setCurrentIndex(box->findText(scene));
        QCOMPARE(box->currentText(), scene);
        find<QDoubleSpinBox>("simulationDepth")->setValue(depth);
        find<QSpinBox>("simulationSupersample")->setValue(rays);
    }
    // Clicks "capture" and waits for the worker.
    void capture()
    {
        auto* button = find<QPushButton>("pushButton_simulate");
        QVERIFY(button->isEnabled());
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(task_->isRunning());
        QVERIFY(!button->isEnabled());  // no second run meanwhile
        QTRY_VERIFY_WITH_TIMEOUT(!task_->isRunning(), 300000);
        QVERIFY(button->isEnabled());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        result_ = oneShot(dir_.path(), QStringLiteral("order3"), 3);
        const report::OneShotResult other = oneShot(dir_.path(), QStringLiteral("order4"), 4);
        const QString calibration = QString::fromLatin1(calibration::stereoCalibrationFileName);
        // The order-3 prism alone, and with the calibration of the order-4 prism.
        for (const QString& name : {QStringLiteral("uncalibrated"), QStringLiteral("foreign")})
            QVERIFY(QDir(dir_.path()).mkdir(name));
        uncalibrated_ = dir_.filePath(QStringLiteral("uncalibrated"));
        foreign_ = dir_.filePath(QStringLiteral("foreign"));
        for (const QString& folder : {uncalibrated_, foreign_})
            QVERIFY(copyFile(QDir(result_.folder).filePath("prism.json"), QDir(folder).filePath("prism.json")));
        QVERIFY(copyFile(QDir(other.folder).filePath(calibration), QDir(foreign_).filePath(calibration)));

        task_ = new BackgroundTask(this);
        window_ = new AnalysisWindow(task_);
        QVERIFY(window_->tabTitles().contains(QStringLiteral("Simulated capture")));
        window_->showTab(int(window_->tabTitles().indexOf(QStringLiteral("Simulated capture"))));
        QVERIFY(QTest::qWaitForWindowExposed(window_));
        tab_ = window_->findChild<SimulationTab*>();
        QVERIFY(tab_ && tab_->isVisible());
    }
    void cleanupTestCase()
    {
        task_->waitForFinished();
        delete window_;
    }

    void noResultNoCapture()
    {
        QVERIFY(!find<QPushButton>("pushButton_simulate")->isEnabled());
        QVERIFY2(status().startsWith("no result yet"), qPrintable(status()));
        QVERIFY(!tab_->startCapture());
    }

    // The fronto plane at 1 m with one ray per pixel is the one-shot's own
    // scene: the same figures, from the same files.
    void captureShowsPicturesAndTheOneShotFigures()
    {
        window_->setResult(result_.folder, PanelParameters());
        QCOMPARE(tab_->folder(), result_.folder);
        choose(QStringLiteral("plane"), 1000.0, 1);
        capture();
        QVERIFY2(status().contains("rectified with stereo_calibration.yml"), qPrintable(status()));
        QCOMPARE(pictureSize("sensor"), QSize(1920, 1080));
        QCOMPARE(pictureSize("rectified"), QSize(1920, 1080));
        QCOMPARE(pictureSize("disparity"), QSize(960, 1080));
        QCOMPARE(pictureSize("depth-error"), QSize(960, 1080));
        const QString text = figures();
        QVERIFY2(text.startsWith("plane at 1000 mm"), qPrintable(text));
        const report::HeadlineFigures& f = result_.figures;
        const auto percent = [](double value) { return QStringLiteral("(%1 %)").arg(value, 0, 'f', 3); };
        QVERIFY2(text.contains("prism              median") && text.contains(percent(f.simulatedDepthRmsPercent)),
                 qPrintable(text + percent(f.simulatedDepthRmsPercent)));
        QVERIFY2(text.contains("ideal pinhole pair median") && text.contains(percent(f.simulatedFloorRmsPercent)),
                 qPrintable(text + percent(f.simulatedFloorRmsPercent)));
    }

    // Another scene and depth on the same prism; then a cancel keeps what is shown.
    void anotherSceneThenCancel()
    {
        choose(QStringLiteral("tilted"), 1500.0, 2);
        capture();
        QVERIFY2(figures().startsWith("tilted at 1500 mm"), qPrintable(figures()));
        QVERIFY2(status().contains("2 x 2 rays per pixel"), qPrintable(status()));
        const QString shown = figures();
        const QByteArray shots = qgetenv("HARVENLOTEK_SCREENSHOT_DIR");
        if (!shots.isEmpty()) {
            window_->resize(1400, 900);
            QTest::qWait(200);
            window_->grab().save(QDir(QString::fromLocal8Bit(shots)).filePath(QStringLiteral("simulation_tab.png")));
        }

        choose(QStringLiteral("steps"), 1200.0, 2);
        QTest::mouseClick(find<QPushButton>("pushButton_simulate"), Qt::LeftButton);
        QVERIFY(task_->isRunning());
        task_->cancel();
        QTRY_VERIFY_WITH_TIMEOUT(!task_->isRunning(), 300000);
        QCOMPARE(status(), QStringLiteral("capture cancelled"));
        QCOMPARE(figures(), shown);
        QVERIFY(find<QPushButton>("pushButton_simulate")->isEnabled());
    }

    // A new current result clears the pictures; its own calibration, a
    // predicted one, or a refusal follow it.
    void followsTheCurrentResult()
    {
        window_->setResult(uncalibrated_, PanelParameters());
        QVERIFY(pictureSize("sensor").isEmpty());
        QVERIFY(figures().isEmpty());
        QVERIFY2(status().contains(QDir::toNativeSeparators(uncalibrated_)), qPrintable(status()));
        choose(QStringLiteral("plane"), 1000.0, 1);
        capture();
        QVERIFY2(status().contains("calibration predicted for its prism"), qPrintable(status()));
        QCOMPARE(pictureSize("sensor"), QSize(1920, 1080));

        window_->setResult(foreign_, PanelParameters());
        QVERIFY(pictureSize("sensor").isEmpty());
        capture();
        QVERIFY2(status().startsWith("capture failed: ") && status().contains("another prism"), qPrintable(status()));
        QVERIFY(pictureSize("sensor").isEmpty());

        // A depth the prism cannot see with both halves is refused in one line.
        window_->setResult(result_.folder, PanelParameters());
        choose(QStringLiteral("plane"), 1.0, 1);
        capture();
        QVERIFY2(status().startsWith("capture failed: ") && status().contains("share"), qPrintable(status()));

        window_->setResult(QString(), PanelParameters());
        QVERIFY(!find<QPushButton>("pushButton_simulate")->isEnabled());
        QVERIFY(status().startsWith("no result yet"));
    }
};

QTEST_MAIN(TestSimulationTab)
#include "tst_simulation_tab.moc"
