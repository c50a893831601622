// The main window's panel as a user drives it: ranges, the tied pairs, the
// sketch's point after each change, "fix angle", "freeform" where no file
// can be written, and the long runs on their worker: controls disabled while
// one runs, "Design prism" and its figures and files, Cancel at seeded random
// moments, the File menu's open and save, figures gone stale.
#include "design/design_run.h"
#include "fit/prism_file.h"
#include "mainwindow/background_task.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/simulation_tab.h"
#include "mainwindow/shared_state.h"
#include "sketch/prismitem.h"

#include <QAction>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QRandomGenerator>
#include <QSettings>
#include <QSpinBox>
#include <QDoubleSpinBox>
#include <QGraphicsView>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include "modal_closer.h"

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

QStringList filesIn(const QString& directory)
{
    return QDir(directory).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> window;
    template <typename T = QWidget> T* find(const QString& name) const { return window->findChild<T*>(name); }
    void setValue(const QString& name, double value) const { QVERIFY(find(name)->setProperty("value", value)); }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName("harvenlotek-test");
        QSettings().clear();
    }

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

    // "fix angle" sets the angle of the start panel to 8.85 degrees (the
    // prism angle that sends the central ray of a half image along the axis)
    // and locks the angle box; a second click unlocks it and gives back the
    // angle the user had. A shorter focal length widens the half field and
    // needs a steeper prism. The resolution box is read-only: the design
    // always works on 1920 pixels.
    void fixAngleTurnsOffAgain()
    {
        auto* button = find<QRadioButton>("radioButton");
        auto* angle = find<QDoubleSpinBox>("doubleSpinBox_ps");
        const QPoint indicator(8, button->height() / 2);
        setValue("doubleSpinBox_ps", 25.5);
        QTest::mouseClick(button, Qt::LeftButton, {}, indicator);
        QVERIFY(button->isChecked() && !angle->isEnabled());
        QCOMPARE(angle->value(), 8.85);
        QCOMPARE(window->parameters().designAngleDeg, 8.85f);  // the box changed: its rounded value
        QVERIFY(window->parameters().fixAngle);
        QTest::mouseClick(button, Qt::LeftButton, {}, indicator);
        QVERIFY(!button->isChecked() && angle->isEnabled());
        QCOMPARE(angle->value(), 25.5);
        QCOMPARE(window->parameters().designAngleDeg, 25.5f);
        QCOMPARE(window->sketch()->parameters().designAngleDeg, 25.5f);
        QVERIFY(!window->parameters().fixAngle);

        setValue("spinBox_fl", 20);
        QTest::mouseClick(button, Qt::LeftButton, {}, indicator);
        QVERIFY(angle->value() > 8.85 + 1);
        QVERIFY(find<QSpinBox>("spinBox_rx")->isReadOnly());
        QVERIFY(find<QSpinBox>("spinBox_rx")->toolTip().contains("1920"));
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
        ModalCloser closer;
        QSignalSpy done(window.get(), SIGNAL(workdonesignal()));
        QTest::mouseClick(find<QPushButton>("pushButton"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 300000);
        QDir::setCurrent(previous);
        QCOMPARE(closer.lastBox, QString("ok: work done"));

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
        ModalCloser closer;
        QSignalSpy done(window.get(), SIGNAL(workdonesignal()));
        QTest::mouseClick(find<QPushButton>("pushButton"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 300000);
        QDir::setCurrent(previous);
        const QString box = closer.lastBox;
        QVERIFY2(box.startsWith("not written: ") && box.endsWith("Not replaced: output.txt, outputall.txt, design.json."),
                 qPrintable(box));
    }

    // "Design prism" on a worker: while it runs the buttons that would start
    // another run are disabled and a click on them does nothing; the event
    // loop goes on (the progress bar moves). Afterwards the figures shown are
    // those of the prism.json in a new result folder, which holds every file
    // of the run; the File menu saves that design and opens it again; a panel
    // change marks the figures stale.
    void designPrismOpenSaveAndStale()
    {
        QTemporaryDir dir;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        setValue("spinBox_fl", 30);
        setValue("spinBox_d", 180);
        setValue("doubleSpinBox_index", 1.5);
        const PanelParameters designed = window->parameters();
        ModalCloser closer;
        QSignalSpy results(window.get(), SIGNAL(resultChanged(QString)));
        QTest::mouseClick(find<QPushButton>("pushButton_designPrism"), Qt::LeftButton);
        const QStringList starters{"pushButton", "pushButton_2", "pushButton_designPrism", "pushButton_verify"};
        for (const QString& name : starters)
            QVERIFY2(!find(name)->isEnabled(), qPrintable(name));
        QVERIFY(find("pushButton_cancel")->isEnabled());
        QTest::mouseClick(find<QPushButton>("pushButton"), Qt::LeftButton);
        QTest::mouseClick(find<QPushButton>("pushButton_2"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!window->task()->isRunning(), 900000);
        QDir::setCurrent(previous);
        QCOMPARE(results.count(), 1);
        for (const QString& name : starters)
            QVERIFY2(find(name)->isEnabled(), qPrintable(name));
        QVERIFY(!find("pushButton_cancel")->isEnabled());
        QCOMPARE(find<QProgressBar>("progressBar")->value(), 1000);

        // Only the result folder: the disabled buttons wrote nothing here.
        const QStringList entries = filesIn(dir.path());
        QCOMPARE(entries.size(), 1);
        QVERIFY2(entries.first().startsWith("prism-"), qPrintable(entries.first()));
        const QString folder = QDir(dir.path()).filePath(entries.first());
        QCOMPARE(QFileInfo(window->resultFolder()).canonicalFilePath(), QFileInfo(folder).canonicalFilePath());
        QVERIFY(find<QLabel>("label_resultFolder")->text().contains(entries.first()));
        const QStringList written = filesIn(folder);
        for (const char* name : {"report.html", "prism.json", "outputall.txt", "output.txt", "design.json",
                                 "stereo_calibration.yml"})
            QVERIFY2(written.contains(name), qPrintable(written.join(' ')));
        PrismFileContent prism;
        QString error;
        QVERIFY2(readPrismFile(QDir(folder).filePath("prism.json"), &prism, &error), qPrintable(error));
        QCOMPARE(prism.designModel, QString("refraction"));
        QCOMPARE(prism.panel.focalLength, 30);
        QCOMPARE(prism.panel.prismDistance, 180);
        QVERIFY(prism.verified.present);
        // Traced and summarised: the figures below are these. (The optimiser's
        // stereo objective leaves the columns at the seam to the other half's
        // face, so the raw direction error is not bounded here.)
        QVERIFY(std::isfinite(prism.verified.directionRmsPx)
                && prism.verified.directionMaxPx >= prism.verified.directionRmsPx);
        const QString figures = find<QLabel>("label_figures")->text();
        for (const QString& expected :
             {QString("direction error RMS %1 px, max %2 px").arg(prism.verified.directionRmsPx, 0, 'f', 3)
                  .arg(prism.verified.directionMaxPx, 0, 'f', 3),
              QString("calibrated residual left "), QString("% at 1 m; run time ")})
            QVERIFY2(figures.contains(expected), qPrintable(figures + " / " + expected));
        QVERIFY(!figures.contains("stale") && !window->figuresStale());
        // The simulated capture of the one-shot, and the analysis window's tab on this result.
        QVERIFY2(figures.contains("simulated: depth RMS "), qPrintable(figures));
        QVERIFY(written.contains("simulate-plane-1000mm-sensor.png"));
        auto* simulation = window->analysis()->findChild<SimulationTab*>();
        QVERIFY(simulation);
        QCOMPARE(QFileInfo(simulation->folder()).canonicalFilePath(), QFileInfo(folder).canonicalFilePath());
        const QByteArray shots = qgetenv("HARVENLOTEK_SCREENSHOT_DIR");  // for a person to look at
        if (!shots.isEmpty())
            window->grab().save(QDir(QString::fromLocal8Bit(shots)).filePath(QStringLiteral("main_window_simulated.png")));

        // Save as, New, Open: the panel comes back, and saving again gives the same bytes.
        QTemporaryDir saved;
        const QString first = saved.filePath("mine.json"), second = saved.filePath("again.json");
        QAction* save = window->findChild<QAction*>("actionSaveDesignAs");
        QAction* open = window->findChild<QAction*>("actionOpenDesign");
        QVERIFY(save && open);
        closer.fileToChoose = first;
        save->trigger();
        QCOMPARE(readAll(first), readAll(QDir(folder).filePath("prism.json")));
        window->findChild<QAction*>("actionNew")->trigger();
        QCOMPARE(window->parameters().focalLength, 35);
        QVERIFY(window->resultFolder().isEmpty());
        QVERIFY(find<QLabel>("label_figures")->text().startsWith("no result yet"));
        closer.fileToChoose = first;
        open->trigger();
        QCOMPARE(window->parameters().focalLength, designed.focalLength);
        QCOMPARE(window->parameters().prismDistance, designed.prismDistance);
        QCOMPARE(window->parameters().refractiveIndex, designed.refractiveIndex);
        QCOMPARE(window->parameters().designAngleDeg, designed.designAngleDeg);
        QCOMPARE(window->parameters().designModel, DesignModel::Refraction);
        QVERIFY(!window->figuresStale());
        QVERIFY(find<QLabel>("label_figures")->text().contains(
            QString("direction error RMS %1 px").arg(prism.verified.directionRmsPx, 0, 'f', 3)));
        QVERIFY(QSettings().value("recentDesigns").toStringList().contains(QFileInfo(first).absoluteFilePath()));
        QVERIFY(window->saveDesignAs(second, &error));
        QCOMPARE(readAll(second), readAll(first));

        // Any panel change makes the figures stale, grey and saying so.
        setValue("spinBox_p", 90);
        QVERIFY(window->figuresStale());
        QVERIFY(find<QLabel>("label_figures")->text().startsWith("stale"));
        QVERIFY(find<QLabel>("label_figures")->styleSheet().contains("gray"));
    }

    void openRefusesBadFiles_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: no file at all
        QTest::newRow("missing") << QByteArray();
        QTest::newRow("not JSON") << QByteArray("focal length 35\n");
        QTest::newRow("another format") << QByteArray("{\"format\": \"something-else\", \"version\": 1}\n");
    }

    // A file that is not a prism design leaves the panel as it was.
    void openRefusesBadFiles()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const QString path = dir.filePath("prism.json");
        if (!content.isEmpty()) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        }
        setValue("spinBox_fl", 22);
        QString error;
        QVERIFY(!window->openDesign(path, &error));
        QVERIFY(!error.isEmpty() && !error.contains('\n'));
        QCOMPARE(window->parameters().focalLength, 22);
        QVERIFY(window->resultFolder().isEmpty());
    }

    // Cancel at seeded random moments of "Design prism": nothing is left
    // behind but whole result folders (a run that ended before the request
    // is whole), and the window is usable at once: the next run starts.
    void cancelLeavesNoPartialFiles()
    {
        QTemporaryDir dir;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        ModalCloser closer;
        QRandomGenerator random(19);
        for (int trial = 0; trial < 3; ++trial) {
            QTest::mouseClick(find<QPushButton>("pushButton_designPrism"), Qt::LeftButton);
            QVERIFY(window->task()->isRunning());
            QTest::qWait(int(random.bounded(4000)));
            QTest::mouseClick(find<QPushButton>("pushButton_cancel"), Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(!window->task()->isRunning(), 900000);
            QVERIFY(find("pushButton_designPrism")->isEnabled() && !find("pushButton_cancel")->isEnabled());
        }
        QDir::setCurrent(previous);
        for (const QString& entry : filesIn(dir.path())) {
            QVERIFY2(entry.startsWith("prism-"), qPrintable(entry));
            const QStringList files = filesIn(QDir(dir.path()).filePath(entry));
            QVERIFY2(files.contains("report.html") && files.contains("prism.json"), qPrintable(files.join(' ')));
            for (const QString& file : files)
                QVERIFY2(!file.startsWith('.') && !file.contains("tmp"), qPrintable(file));
        }
        // Usable: a design runs to its end.
        QTemporaryDir next;
        QVERIFY(QDir::setCurrent(next.path()));
        QSignalSpy done(window.get(), SIGNAL(workdonesignal()));
        QTest::mouseClick(find<QPushButton>("pushButton"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 300000);
        QDir::setCurrent(previous);
        QVERIFY(QFileInfo(next.filePath("outputall.txt")).size() > 0);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
