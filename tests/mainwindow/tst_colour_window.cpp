// The window's colour choices and the "Lateral colour" page, on the real
// widgets: a material disables the index box and brings its index to the
// design; a refused band says why and starts nothing; the page measures a
// result's prism and shows its figures and map. Ticked, the achromat makes
// "Design prism" cement each half from a crown and a flint.

#include "mainwindow/analysis_window.h"
#include "mainwindow/background_task.h"
#include "mainwindow/colour_tab.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/shared_state.h"
#include "report/prism_report.h"

#include <QAction>
#include <QCheckBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTemporaryDir>
#include "modal_closer.h"

#include <QtTest>

#include <memory>

class TestColourWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> window;
    template <typename T = QWidget> T* find(const QString& name) const { return window->findChild<T*>(name); }

    // "Design prism" in an empty working folder is refused with one line
    // holding `why`: nothing starts, nothing is written.
    void designPrismRefused(const char* why)
    {
        QTemporaryDir dir;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        ModalCloser closer;
        QTest::mouseClick(find<QPushButton>("pushButton_designPrism"), Qt::LeftButton);
        QTRY_VERIFY(!closer.lastText.isEmpty());
        QDir::setCurrent(previous);
        QVERIFY2(closer.lastText.contains(QLatin1String(why)), qPrintable(closer.lastText));
        QVERIFY(!closer.lastText.contains('\n'));
        QVERIFY(!window->task()->isRunning());
        QVERIFY(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    }

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

    void materialBringsItsIndex_data()
    {
        QTest::addColumn<QString>("material");
        QTest::addColumn<double>("index");  // its source's n_d
        QTest::newRow("N-BK7") << "N-BK7" << 1.5168;
        QTest::newRow("polycarbonate, outside the spin box's range") << "polycarbonate" << 1.585;
        QTest::newRow("custom again") << "custom" << 1.48;
    }

    void materialBringsItsIndex()
    {
        QFETCH(QString, material);
        QFETCH(double, index);
        auto* box = find<QComboBox>("comboBox_material");
        QVERIFY(box && box->isVisible());
        QTest::mouseClick(box, Qt::LeftButton);
        box->hidePopup();
        box->setCurrentText(material);
        const bool custom = material == QLatin1String("custom");
        QCOMPARE(find("doubleSpinBox_index")->isEnabled(), custom);
        QVERIFY(std::fabs(window->parameters().refractiveIndex - index) < 1e-3);
        const QString shown = find<QLabel>("label_materialIndex")->text();
        QVERIFY2(custom ? shown.isEmpty()
                        : shown.startsWith(QStringLiteral("n = ")) && std::fabs(shown.mid(4).toDouble() - index) < 1e-3,
                 qPrintable(shown));
        // The choices stay inside the window on a 1366 x 768 screen's share.
        for (const char* name : {"comboBox_material", "doubleSpinBox_wavelength", "comboBox_band"}) {
            const QRect r = find(name)->geometry();
            QVERIFY2(r.right() < window->width() && r.bottom() < window->height(), name);
        }
    }

    void userCatalogue_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("message");  // empty: read
        QTest::newRow("a glass of one's own")
            << QByteArray("[my glass]\nformula = cauchy\nA = 1.52 0.004\nrange = 400 1000\nsource = my lot\n") << "";
        QTest::newRow("malformed, its line named")
            << QByteArray("[my glass]\nformula = cauchy\nA = 1.52 x\n") << "mine.txt:3: A needs numbers";
    }

    void userCatalogue()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("mine.txt"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
        file.close();
        ModalCloser closer;
        closer.fileToChoose = path;
        window->findChild<QAction*>("actionMaterialCatalogue")->trigger();
        auto* box = find<QComboBox>("comboBox_material");
        if (message.isEmpty()) {
            QVERIFY(box->findText(QStringLiteral("my glass")) >= 0);
            box->setCurrentText(QStringLiteral("my glass"));
            // n = 1.52 + 0.004 / 0.5875618^2 at the d line.
            QVERIFY(std::fabs(window->parameters().refractiveIndex - (1.52 + 0.004 / (0.5875618 * 0.5875618))) < 1e-9);
        } else {
            QTRY_VERIFY(!closer.lastText.isEmpty());
            QVERIFY2(closer.lastText.contains(message), qPrintable(closer.lastText));
            QCOMPARE(box->findText(QStringLiteral("my glass")), -1);
        }
    }

    void refusedBandStartsNothing()
    {
        find<QComboBox>("comboBox_material")->setCurrentText(QStringLiteral("PMMA"));
        find<QComboBox>("comboBox_band")->setCurrentText(QStringLiteral("400-450"));
        designPrismRefused("outside PMMA's valid range");
    }

    void achromatRefusedGlasses_data()
    {
        QTest::addColumn<QString>("crown");
        QTest::addColumn<QString>("flint");
        QTest::newRow("one glass twice") << "N-BK7" << "N-BK7";
        QTest::newRow("two crowns, Abbe numbers 64 and 59") << "N-BK7" << "N-K5";
    }

    // Glasses that cannot correct colour: one line why, nothing started,
    // nothing written.
    void achromatRefusedGlasses()
    {
        QFETCH(QString, crown);
        QFETCH(QString, flint);
        auto* box = find<QCheckBox>("checkBox_achromat");
        QVERIFY(!find("comboBox_crown")->isEnabled());
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
        QVERIFY(box->isChecked());
        QVERIFY(find("comboBox_crown")->isEnabled() && find("comboBox_flint")->isEnabled());
        find<QComboBox>("comboBox_crown")->setCurrentText(crown);
        find<QComboBox>("comboBox_flint")->setCurrentText(flint);
        designPrismRefused("too close in dispersion to correct colour");
    }

    // Ticked, "Design prism" cements each half from N-BK7 and F2: the box
    // and its glasses are off while it runs, the folder holds both solids,
    // the figures show the result's lateral colour as verification.json has
    // it and both glasses' thicknesses, and the "Lateral colour" page traces
    // the cemented prism read back from prism.json to the same figures.
    void achromatDesignPrism()
    {
        QTemporaryDir dir;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        auto* box = find<QCheckBox>("checkBox_achromat");
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
        QVERIFY(box->isChecked());
        QCOMPARE(find<QComboBox>("comboBox_crown")->currentText(), QStringLiteral("N-BK7"));
        QCOMPARE(find<QComboBox>("comboBox_flint")->currentText(), QStringLiteral("F2"));
        // A failed run says why in a box; the test closes it and shows it.
        ModalCloser closer(50);
        QTest::mouseClick(find<QPushButton>("pushButton_designPrism"), Qt::LeftButton);
        QVERIFY(window->task()->isRunning());
        QVERIFY(!box->isEnabled());
        QVERIFY(!find("comboBox_crown")->isEnabled() && !find("comboBox_flint")->isEnabled());
        QVERIFY(!find("pushButton_designPrism")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!window->task()->isRunning(), 600000);
        QDir::setCurrent(previous);
        QVERIFY2(closer.lastText.isEmpty(), qPrintable(closer.lastText));
        QVERIFY(box->isEnabled() && find("comboBox_crown")->isEnabled());
        const QString folder = window->resultFolder();
        QVERIFY2(!folder.isEmpty(), qPrintable(find<QLabel>("label_stage")->text()));
        for (const char* name : {"prism.json", "prism_crown.stl", "prism_flint.stl", "verification.json"})
            QVERIFY2(QFileInfo(QDir(folder).filePath(QLatin1String(name))).size() > 0, name);

        // The file's figures, per half.
        QFile file(QDir(folder).filePath(QStringLiteral("verification.json")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject colour = QJsonDocument::fromJson(file.readAll()).object()["lateralColour"].toObject();
        const QJsonArray halves = colour["halves"].toArray();
        QCOMPARE(halves.size(), 2);
        QCOMPARE(halves[0].toObject()["half"].toString(), QStringLiteral("left"));
        const QJsonObject left = halves[0].toObject()["lateralColour"].toObject();
        const QJsonObject right = halves[1].toObject()["lateralColour"].toObject();
        QVERIFY2(left.contains("rmsPx") && right.contains("maxPx"), "verification.json: no lateral colour");
        const double maxPx = std::max(left["maxPx"].toDouble(), right["maxPx"].toDouble());
        const double lowRms = std::min(left["rmsPx"].toDouble(), right["rmsPx"].toDouble());
        const double highRms = std::max(left["rmsPx"].toDouble(), right["rmsPx"].toDouble());

        const QString figures = find<QLabel>("label_figures")->text();
        const QRegularExpression shown(QStringLiteral("achromat: N-BK7 ([0-9.]+)-[0-9.]+ mm, F2 ([0-9.]+)-[0-9.]+ mm"
                                                      "\\nlateral colour \\(visible\\) RMS ([0-9.]+) px, "
                                                      "max ([0-9.]+) px\\n  outside the centre band RMS "
                                                      "([0-9.]+) px, max ([0-9.]+) px"));
        const QRegularExpressionMatch m = shown.match(figures);
        QVERIFY2(m.hasMatch(), qPrintable(figures));
        QVERIFY2(m.captured(3).toDouble() >= lowRms - 1e-3 && m.captured(3).toDouble() <= highRms + 1e-3,
                 qPrintable(figures));
        QVERIFY2(std::fabs(m.captured(4).toDouble() - maxPx) < 1e-3, qPrintable(figures));
        // Off the seam the achromat corrects colour: far below the whole half's.
        const double offSeamMax
            = std::max(left["outsideCentreMaxPx"].toDouble(), right["outsideCentreMaxPx"].toDouble());
        QVERIFY2(std::fabs(m.captured(6).toDouble() - offSeamMax) < 1e-3, qPrintable(figures));
        QVERIFY2(m.captured(5).toDouble() < 0.1 * m.captured(3).toDouble(), qPrintable(figures));
        // At least a millimetre of each glass everywhere.
        QVERIFY2(m.captured(1).toDouble() >= 1.0 - 5e-3 && m.captured(2).toDouble() >= 1.0 - 5e-3,
                 qPrintable(figures));

        AnalysisWindow* analysis = window->analysis();
        analysis->showTab(analysis->tabTitles().indexOf(QStringLiteral("Lateral colour")));
        QVERIFY(QTest::qWaitForWindowExposed(analysis));
        QVERIFY(!analysis->findChild<QComboBox*>("comboBox_colourMaterial")->isEnabled());
        analysis->findChild<QComboBox*>("comboBox_colourBand")->setCurrentText(QStringLiteral("visible"));
        QTest::mouseClick(analysis->findChild<QPushButton*>("pushButton_measureColour"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!window->task()->isRunning(), 300000);
        const QString page = analysis->findChild<QLabel*>("label_colourFigures")->text();
        const QRegularExpression leftRow(QStringLiteral("left : ([0-9.]+) / ([0-9.]+) px rms/max"));
        const QRegularExpressionMatch l = leftRow.match(page);
        QVERIFY2(page.startsWith(QStringLiteral("cemented N-BK7 + F2")) && l.hasMatch(), qPrintable(page));
        QVERIFY2(std::fabs(l.captured(1).toDouble() - left["rmsPx"].toDouble()) < 2e-3, qPrintable(page));
        QVERIFY2(std::fabs(l.captured(2).toDouble() - left["maxPx"].toDouble()) < 2e-3, qPrintable(page));
        analysis->close();
    }

    void pageMeasuresTheResult()
    {
        // A quick prism (order 4, not optimised) of the default panel.
        QTemporaryDir dir;
        report::OneShotOptions options;
        options.settings.fit.order = 4;
        options.settings.fit.optimize = false;
        options.settings.runCalibration = false;
        options.outputDir = dir.path();
        options.folderName = QStringLiteral("quick");
        options.allExports = false;
        report::OneShotResult result;
        QString error;
        QVERIFY2(report::runPrismOneShot(options, nullptr, &result, &error), qPrintable(error));

        AnalysisWindow analysis(window->task());
        QVERIFY(analysis.tabTitles().contains(QStringLiteral("Lateral colour")));
        auto* tab = analysis.findChild<ColourTab*>();
        QVERIFY(tab);
        analysis.setResult(result.folder, window->parameters());
        analysis.showTab(analysis.tabTitles().indexOf(QStringLiteral("Lateral colour")));
        analysis.show();
        QVERIFY(QTest::qWaitForWindowExposed(&analysis));
        analysis.findChild<QComboBox*>("comboBox_colourMaterial")->setCurrentText(QStringLiteral("N-BK7"));
        auto* measure = analysis.findChild<QPushButton*>("pushButton_measureColour");
        QVERIFY(measure->isEnabled());
        QTest::mouseClick(measure, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!window->task()->isRunning(), 300000);
        const QString figures = analysis.findChild<QLabel*>("label_colourFigures")->text();
        QVERIFY2(figures.contains("mean shift") && figures.contains("at 1000 mm"), qPrintable(figures));
        QVERIFY(!analysis.findChild<QLabel*>("label_colourMap")->pixmap(Qt::ReturnByValue).isNull());
    }
};

QTEST_MAIN(TestColourWindow)
#include "tst_colour_window.moc"
