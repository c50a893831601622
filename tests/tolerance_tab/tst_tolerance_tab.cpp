// The "Tolerancing" tab of the analysis window: it runs on the prism of the
// current result (made by harvenlotek-cli run in a temporary folder), through
// the shared task, with its buttons following the run; its figures agree
// with the command line's on the same prism and seed; Cancel stops a run and
// keeps the last figures.

#include "mainwindow/analysis_window.h"
#include "mainwindow/background_task.h"
#include "mainwindow/tolerance_tab.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtCharts/QChartView>
#include <QtCharts/QBarSet>
#include <QtCharts/QHorizontalBarSeries>
#include <QtCharts/QLineSeries>
#include <QtTest>

using namespace QtCharts;

namespace {

int runCli(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral(HARVENLOTEK_CLI), args);
    if (!p.waitForFinished(900000))
        return -1;
    if (p.exitCode() != 0)
        qWarning("%s", p.readAllStandardError().constData());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

}  // namespace

class TestToleranceTab : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        prism_ = dir_.filePath(QStringLiteral("prism"));
        QVERIFY(QDir().mkpath(prism_));
        QCOMPARE(runCli({"run", "--fit-model", "prism", "--order", "4", "--design-model", "refraction", "--output-dir",
                         prism_}),
                 0);
    }

    void tabIsListedAndWaitsForAResult()
    {
        BackgroundTask task;
        AnalysisWindow window(&task);
        QVERIFY(window.tabTitles().contains(QStringLiteral("Tolerancing")));
        auto* run = window.findChild<QPushButton*>("toleranceRun");
        QVERIFY(run);
        QVERIFY(!run->isEnabled());  // no result yet
        window.setResult(dir_.filePath("nothing-here"), PanelParameters());
        QVERIFY(!run->isEnabled());
        window.setResult(prism_, PanelParameters());
        QVERIFY(run->isEnabled());
    }

    // A run by clicks; the same yield and percentiles as harvenlotek-cli
    // tolerance with the same seed and count; the charts hold the figures.
    void runByClicksAgreesWithTheCommand()
    {
        BackgroundTask task;
        AnalysisWindow window(&task);
        window.setResult(prism_, PanelParameters());
        window.showTab(window.tabTitles().indexOf(QStringLiteral("Tolerancing")));
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* tab = window.findChild<ToleranceTab*>();
        auto* run = window.findChild<QPushButton*>("toleranceRun");
        auto* cancel = window.findChild<QPushButton*>("toleranceCancel");
        auto* trials = window.findChild<QSpinBox*>("toleranceTrials");
        trials->setValue(6);
        window.findChild<QSpinBox*>("toleranceSeed")->setValue(5);
        QVERIFY(!cancel->isEnabled());
        QTest::mouseClick(run, Qt::LeftButton);
        QVERIFY(task.isRunning());
        QVERIFY(!run->isEnabled() && !trials->isEnabled() && cancel->isEnabled());
        auto* progress = window.findChild<QLabel*>("toleranceProgress");
        QTRY_VERIFY_WITH_TIMEOUT(progress->text().contains("/6 trials"), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!task.isRunning(), 900000);
        QVERIFY2(progress->text().startsWith("6 trials in"), qPrintable(progress->text()));
        QVERIFY(run->isEnabled() && !cancel->isEnabled());
        QVERIFY(tab->outcome());

        const QString out = dir_.filePath(QStringLiteral("command"));
        QCOMPARE(runCli({"tolerance", "--prism", prism_, "--trials", "6", "--seed", "5", "--output-dir", out}), 0);
        QFile file(QDir(out).filePath("tolerance_summary.json"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject summary = QJsonDocument::fromJson(file.readAll()).object();
        const tolerance::RunSummary& s = tab->outcome()->summary;
        QCOMPARE(s.yield, summary.value("yield").toDouble());
        const QJsonObject p = summary.value("percentiles").toObject();
        for (int k = 0; k < tolerance::figureCount; ++k) {
            const QJsonValue p90 = p.value(tolerance::figureName(k)).toObject().value("p90");
            QCOMPARE(s.percentiles[std::size_t(k)].p90, p90.isDouble() ? p90.toDouble() : s.percentiles[std::size_t(k)].p90);
        }
        auto* yield = window.findChild<QLabel*>("toleranceYield");
        QVERIFY2(yield->text().startsWith(QStringLiteral("yield %1").arg(s.yield, 0, 'f', 3)), qPrintable(yield->text()));

        // The histogram's cumulative curve ends at 1; the bars list every tolerance.
        auto* histogram = window.findChild<QChartView*>("toleranceHistogram");
        QLineSeries* cumulative = nullptr;
        for (QAbstractSeries* series : histogram->chart()->series())
            if (series->name() == QLatin1String("cumulative share"))
                cumulative = qobject_cast<QLineSeries*>(series);
        QVERIFY(cumulative);
        QCOMPARE(cumulative->at(cumulative->count() - 1).y(), 1.0);
        // One step per trial that calibrated, between the curve's two ends,
        // each up by 1/n at the trial's value.
        QCOMPARE(cumulative->count(), 2 * int(s.ok) + 2);
        const std::vector<double> sorted = tolerance::figureValues(tab->outcome()->figures, 0);
        QCOMPARE(cumulative->at(1).x(), sorted.front());
        QCOMPARE(cumulative->at(2).y() - cumulative->at(1).y(), 1.0 / double(sorted.size()));
        auto* bars = window.findChild<QChartView*>("toleranceSensitivity");
        QCOMPARE(bars->chart()->series().size(), 1);
        auto* series = qobject_cast<QHorizontalBarSeries*>(bars->chart()->series().first());
        QVERIFY(series);
        QCOMPARE(series->barSets().first()->count(), tolerance::toleranceKindCount);

        // Another figure: the histogram is drawn again for it.
        auto* figure = window.findChild<QComboBox*>("toleranceFigure");
        figure->setCurrentIndex(6);
        QVERIFY(histogram->chart()->title().contains(tolerance::figureName(6)));
        if (!qEnvironmentVariableIsEmpty("HARVENLOTEK_SHOT")) {
            QTest::qWait(500);  // the charts lay out their axes on the event loop
            window.grab().save(qEnvironmentVariable("HARVENLOTEK_SHOT"));
        }
    }

    // Cancel stops the run; the figures of the run before stay.
    void cancelStopsTheRun()
    {
        BackgroundTask task;
        AnalysisWindow window(&task);
        window.setResult(prism_, PanelParameters());
        window.show();
        auto* run = window.findChild<QPushButton*>("toleranceRun");
        auto* cancel = window.findChild<QPushButton*>("toleranceCancel");
        window.findChild<QSpinBox*>("toleranceTrials")->setValue(100000);
        QTest::mouseClick(run, Qt::LeftButton);
        QVERIFY(task.isRunning());
        auto* progress = window.findChild<QLabel*>("toleranceProgress");
        QTRY_VERIFY_WITH_TIMEOUT(progress->text().contains("/100000 trials"), 60000);
        QTest::mouseClick(cancel, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!task.isRunning(), 120000);
        QVERIFY2(progress->text().startsWith("cancelled"), qPrintable(progress->text()));
        QVERIFY(!window.findChild<ToleranceTab*>()->outcome());
        QVERIFY(run->isEnabled());
    }

private:
    QTemporaryDir dir_;
    QString prism_;
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // A run of trials on a loaded machine outlasts QtTest's five minutes.
    qputenv("QTEST_FUNCTION_TIMEOUT", "1200000");
    TestToleranceTab test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_tolerance_tab.moc"
