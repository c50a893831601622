// The in-memory pipeline and the one-shot run: the same bytes as the separate
// commands, cancelling without partial files, progress, stale results, result
// folders that never overwrite, and a run refused at its fit.

#include "io/atomic_file_set.h"
#include "pipeline/pipeline.h"
#include "report/prism_report.h"

#include "../verify/test_support.h"

#include <QDirIterator>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <random>
#include <vector>

namespace {

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return QFileInfo(path).isFile() && f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// A run cheap enough to repeat: no optimiser, a coarse verification.
pipeline::PipelineSettings quickSettings(int order = 4)
{
    pipeline::PipelineSettings s;
    s.fit.order = order;
    s.fit.optimize = false;
    s.verify.step = 32;
    s.calibration.depthsMm = {600.0, 1000.0};
    return s;
}

QByteArray bytesOf(const std::vector<pipeline::ResultFile>& files, const QString& name)
{
    for (const pipeline::ResultFile& file : files)
        if (file.name == name)
            return QByteArray::fromStdString(file.bytes);
    return QByteArray("<not made>");
}

// Every file under `dir` but the lock file (which holds the last holder's
// process id), sorted.
QStringList resultFiles(const QString& dir)
{
    QStringList names;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString name = it.next();
        if (QFileInfo(name).fileName() != ".hvl.lock")
            names << name;
    }
    return sorted(names);
}

}  // namespace

class TestPipeline : public QObject {
    Q_OBJECT

private slots:
    // What the pipeline makes is byte for byte what the commands write.
    void sameBytesAsTheCommands_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<bool>("optimize");
        QTest::newRow("classic design, prism fit") << "classic" << false;
        QTest::newRow("refraction design, prism fit") << "refraction" << false;
        QTest::newRow("refraction design, optimised") << "refraction" << true;
    }
    void sameBytesAsTheCommands()
    {
        QFETCH(QString, model);
        QFETCH(bool, optimize);
        QTemporaryDir dir;
        QStringList run{"run", "--design-model", model, "--fit-model", "prism", "--order", "4",
                        "--output-dir", dir.path()};
        if (optimize)
            run << "--optimize";
        const CliResult made = runCli(run);
        QVERIFY2(made.code == 0, made.err.constData());
        QCOMPARE(runCli({"export", "--format", "all", "--output-dir", dir.path()}).code, 0);

        pipeline::PipelineSettings s = quickSettings(4);
        parseDesignModel(model, &s.design.panel.designModel);
        s.fit.optimize = optimize;
        // Without the optimiser the command verifies nothing; prism.json then has no figures.
        s.runVerify = optimize;
        s.verify.step = 8;
        s.runCalibration = false;
        pipeline::Pipeline p(s);
        p.run();
        const std::vector<pipeline::ResultFile> files = p.resultFiles();
        for (const char* name : {"output.txt", "outputall.txt", "design.json", "prism.json",
                                 "surface_entrance_left.dat", "surface_entrance_right.dat", "surface_exit_left.dat",
                                 "surface_exit_right.dat", "prism.stl", "design_surfaces.ply", "frame.txt"})
            QVERIFY2(bytesOf(files, name) == fileBytes(dir.filePath(name)), name);
    }

    // The classic fit as a pipeline stage writes what "fit" writes, byte for
    // byte, for one order and for every order side by side.
    void classicFitAsTheCommand_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("order");
        QTest::newRow("classic design, order 3") << "classic" << "3";
        QTest::newRow("classic design, order 8") << "classic" << "8";
        QTest::newRow("refraction design, every order") << "refraction" << "all";
    }
    void classicFitAsTheCommand()
    {
        QFETCH(QString, model);
        QFETCH(QString, order);
        QTemporaryDir dir;
        const CliResult design = runCli({"design", "--design-model", model, "--output-dir", dir.path()});
        QVERIFY2(design.code == 0, design.err.constData());
        const CliResult fit = runCli({"fit", "--order", order, "--output-dir", dir.path()});
        QVERIFY2(fit.code == 0, fit.err.constData());

        pipeline::PipelineSettings s;
        parseDesignModel(model, &s.design.panel.designModel);
        s.fitKind = pipeline::FitKind::Classic;
        s.classicFit.orders = order == "all" ? std::vector<int>{3, 4, 5, 6, 7, 8} : std::vector<int>{order.toInt()};
        s.runVerify = s.runCalibration = s.runExports = false;
        pipeline::Pipeline p(s);
        p.run();
        QCOMPARE(p.classicFit()->orders.size(), s.classicFit.orders.size());
        const QStringList fitFiles{"output_fit_fig1.txt", "output_fit_fig2.txt", "result_para_fit.txt",
                                   "result_para_fit.json"};
        for (std::size_t i = 0; i < s.classicFit.orders.size(); ++i) {
            const QDir orderDir(order == "all" ? dir.filePath(QStringLiteral("order-%1").arg(s.classicFit.orders[i]))
                                               : dir.path());
            const std::vector<std::pair<QString, std::string>> files = pipeline::classicFitFiles(*p.classicFit(), i);
            QCOMPARE(int(files.size()), fitFiles.size());
            for (int f = 0; f < fitFiles.size(); ++f) {
                QCOMPARE(files[std::size_t(f)].first, fitFiles[f]);
                QVERIFY2(QByteArray::fromStdString(files[std::size_t(f)].second) == fileBytes(orderDir.filePath(fitFiles[f])),
                         qPrintable(orderDir.filePath(fitFiles[f])));
            }
        }
        if (order != "all") {  // the run's files: the design's and the fit's
            const std::vector<pipeline::ResultFile> files = p.resultFiles();
            for (const QString& name : QStringList{"output.txt", "outputall.txt", "design.json"} + fitFiles)
                QVERIFY2(bytesOf(files, name) == fileBytes(dir.filePath(name)), qPrintable(name));
        }
    }

    // A design or fit handed over (read from files) counts as computed: what
    // follows it goes stale and runs again, the design itself does not.
    void givenResultsMarkWhatFollowsStale()
    {
        pipeline::PipelineSettings s = quickSettings();
        s.runCalibration = false;
        pipeline::Pipeline made(s);
        made.run();

        pipeline::Pipeline p(s);
        p.setDesign(*made.design());
        QVERIFY(p.hasResult(pipeline::Stage::Design) && !p.isStale(pipeline::Stage::Design));
        p.run();
        const std::vector<pipeline::Stage> after{pipeline::Stage::Fit, pipeline::Stage::Verify, pipeline::Stage::Export};
        QCOMPARE(p.lastComputed(), after);
        QCOMPARE(p.fit()->fit.exit.surface.coefficients, made.fit()->fit.exit.surface.coefficients);

        // Another fit handed over: the verification and the exports follow it.
        pipeline::PrismFitResult other = *made.fit();
        other.fit.exit.surface.coefficients[0] += 0.01;
        p.setFit(other);
        QVERIFY(!p.isStale(pipeline::Stage::Fit));
        QVERIFY(p.isStale(pipeline::Stage::Verify) && p.isStale(pipeline::Stage::Export));
        p.run();
        const std::vector<pipeline::Stage> refollowed{pipeline::Stage::Verify, pipeline::Stage::Export};
        QCOMPARE(p.lastComputed(), refollowed);
        QVERIFY(bytesOf(p.resultFiles(), "prism.stl") != bytesOf(made.resultFiles(), "prism.stl"));

        // A given design whose inputs then change is computed again.
        PanelParameters panel = s.design.panel;
        panel.setAngle(22.0);
        p.setPanel(panel);
        QVERIFY(p.isStale(pipeline::Stage::Design) && p.isStale(pipeline::Stage::Fit));
    }

    // The calibration of a prism fit is that of the command, in memory, on
    // one thread or on all.
    void calibrationAsTheCommand()
    {
        QTemporaryDir dir;
        const CliResult made = runCli({"calibrate", "--source", "prism", "--order", "4", "--depth", "600", "--depth",
                                       "1000", "--output-dir", dir.path()});
        QVERIFY2(made.code == 0, made.err.constData());
        pipeline::PipelineSettings s = quickSettings(4);
        s.runVerify = false;
        s.runExports = false;
        s.calibration.threads = 1;
        pipeline::Pipeline p(s);
        p.run();
        // OpenCV's solvers differ in the last digits with the memory layout of
        // a process, and the principal point is weakly determined over a
        // half's narrow field (1e-5 px): the same keys, the same numbers to
        // 1e-4 of their size (another prism moves them by far more).
        const QString mine = QString::fromUtf8(bytesOf(p.resultFiles(), "stereo_calibration.yml"));
        const QString theirs = QString::fromUtf8(fileBytes(dir.filePath("stereo_calibration.yml")));
        const QRegularExpression number(QStringLiteral("-?[0-9]+\\.[0-9]*(e[-+][0-9]+)?"));
        QString mineKeys = mine, theirKeys = theirs;
        QCOMPARE(mineKeys.replace(number, "#"), theirKeys.replace(number, "#"));
        QRegularExpressionMatchIterator a = number.globalMatch(mine), b = number.globalMatch(theirs);
        int compared = 0;
        while (a.hasNext() && b.hasNext()) {
            const double x = a.next().captured().toDouble(), y = b.next().captured().toDouble();
            QVERIFY2(std::abs(x - y) <= 1e-4 * std::max(1.0, std::abs(y)), qPrintable(QString("%1 vs %2").arg(x).arg(y)));
            ++compared;
        }
        QVERIFY(compared > 60);
    }

    void progressRisesStageByStageToOne()
    {
        std::vector<double> fractions;
        std::vector<std::string> stages;
        core::Progress progress([&](double f, const std::string& stage) {
            fractions.push_back(f);
            if (stages.empty() || stages.back() != stage)
                stages.push_back(stage);
        });
        pipeline::Pipeline p(quickSettings());
        p.run(&progress);
        QVERIFY(fractions.size() > 5);
        QVERIFY(std::is_sorted(fractions.begin(), fractions.end()));
        QCOMPARE(fractions.back(), 1.0);
        // Each stage once, in the order of the run.
        const std::vector<std::string> expected{"prism", "design", "fit", "verify", "calibrate", "export", "prism"};
        QCOMPARE(stages, expected);
    }

    void aChangedInputMarksWhatFollowsStale()
    {
        pipeline::PipelineSettings s = quickSettings();
        s.runCalibration = false;
        pipeline::Pipeline p(s);
        p.run();
        for (pipeline::Stage stage : {pipeline::Stage::Design, pipeline::Stage::Fit, pipeline::Stage::Verify})
            QVERIFY(p.hasResult(stage) && !p.isStale(stage));

        s.design.threads = 1;  // changes no number
        p.setSettings(s);
        QVERIFY(!p.isStale(pipeline::Stage::Design));

        s.fit.order = 5;
        p.setSettings(s);
        QVERIFY(!p.isStale(pipeline::Stage::Design));
        QVERIFY(p.isStale(pipeline::Stage::Fit) && p.isStale(pipeline::Stage::Verify)
                && p.isStale(pipeline::Stage::Export));
        p.run();
        const std::vector<pipeline::Stage> refit{pipeline::Stage::Fit, pipeline::Stage::Verify, pipeline::Stage::Export};
        QCOMPARE(p.lastComputed(), refit);
        QCOMPARE(p.fit()->fit.order, 5);

        PanelParameters panel = s.design.panel;
        panel.setAngle(22.0);
        p.setPanel(panel);
        for (pipeline::Stage stage : {pipeline::Stage::Design, pipeline::Stage::Fit, pipeline::Stage::Verify,
                                      pipeline::Stage::Export})
            QVERIFY(p.isStale(stage));
        p.run();
        QCOMPARE(p.lastComputed().size(), std::size_t(4));
        QVERIFY(!p.isStale(pipeline::Stage::Export));
        p.run();
        QVERIFY(p.lastComputed().empty());  // nothing changed, nothing ran
    }

    // Cancelled at the k-th progress report, for seeded k: no folder, no file.
    void cancelLeavesNoFiles()
    {
        QTemporaryDir dir;
        report::OneShotOptions options;
        options.settings = quickSettings(3);
        options.outputDir = dir.path();
        // The number of reports depends on how the threads share the work,
        // so the cancel is placed by the fraction done: at a fraction the
        // counting run reported before its end.
        std::vector<double> fractions;
        {
            core::Progress counting([&fractions](double f, const std::string&) { fractions.push_back(f); });
            report::OneShotResult result;
            QString error;
            QVERIFY2(report::runPrismOneShot(options, &counting, &result, &error), qPrintable(error));
            QVERIFY(QDir(result.folder).removeRecursively());
        }
        const int reports = int(fractions.size());
        QVERIFY(reports > 5);
        std::mt19937 random(19);
        for (int trial = 0; trial < 4; ++trial) {
            const double at = fractions[random() % unsigned(reports - 1)];  // every report but the final one
            QVERIFY(at < 1.0);
            core::Progress progress;
            progress.setListener([&](double f, const std::string&) {
                if (f >= at)
                    progress.cancel();
            });
            report::OneShotResult result;
            QString error;
            bool cancelled = false;
            try {
                report::runPrismOneShot(options, &progress, &result, &error);
            } catch (const core::OperationCancelled&) {
                cancelled = true;
            }
            QVERIFY2(cancelled, qPrintable(QStringLiteral("cancel at %1 done did not stop the run").arg(at)));
            QCOMPARE(entries(dir.path()), QStringList());
        }
    }

    void oneShotNeverOverwrites()
    {
        QTemporaryDir dir;
        report::OneShotOptions options;
        options.settings = quickSettings(3);
        options.outputDir = dir.path();
        QStringList folders;
        for (int i = 0; i < 2; ++i) {
            report::OneShotResult result;
            QString error;
            QVERIFY2(report::runPrismOneShot(options, nullptr, &result, &error), qPrintable(error));
            folders << QFileInfo(result.folder).fileName();
            QCOMPARE(sorted(entries(result.folder)), sorted(result.written));
        }
        QVERIFY(folders[0] != folders[1]);
        QVERIFY(folders[0].startsWith("prism-20"));
        QCOMPARE(sorted(entries(dir.path())), sorted(folders));

        // A folder named by the user that exists already is refused and kept.
        QVERIFY(putFile(dir.filePath(folders[0] + "/prism.json"), "mine"));
        options.folderName = folders[0];
        report::OneShotResult result;
        QString error;
        QVERIFY(!report::runPrismOneShot(options, nullptr, &result, &error));
        QVERIFY2(error.contains("exists already"), qPrintable(error));
        QCOMPARE(fileBytes(dir.filePath(folders[0] + "/prism.json")), QByteArray("mine"));
    }

    void reportHoldsFiguresMapsAndFiles()
    {
        QTemporaryDir dir;
        report::OneShotOptions options;
        options.settings = quickSettings(3);
        options.outputDir = dir.path();
        report::OneShotResult result;
        QString error;
        QVERIFY2(report::runPrismOneShot(options, nullptr, &result, &error), qPrintable(error));
        const QByteArray html = fileBytes(QDir(result.folder).filePath("report.html"));
        QVERIFY(html.contains("src=\"data:image/png;base64,iVBORw0KGgo"));  // the PNG signature, embedded
        QVERIFY(!html.contains("src=\"http") && !html.contains("src=\"file"));
        for (const QString& name : result.written)
            QVERIFY2(html.contains(("<li>" + name + "</li>").toUtf8()), qPrintable(name));
        const report::HeadlineFigures& f = result.figures;
        for (double value : {f.directionRmsPx, f.directionMaxPx, f.calibratedLeftRmsPx, f.calibratedRightRmsPx,
                             f.depthErrorPercentAt1m, f.seconds})
            QVERIFY(std::isfinite(value) && value > 0.0);
        QVERIFY(f.directionRmsPx <= f.directionMaxPx);
    }

    // The one-shot's simulated capture is what "simulate" gives on the folder
    // it wrote: the same figures and the same sensor image, from the files.
    void oneShotSimulationIsTheCommands()
    {
        QTemporaryDir dir;
        report::OneShotOptions options;
        options.settings = quickSettings(4);
        options.outputDir = dir.path();
        options.allExports = false;
        report::OneShotResult result;
        QString error;
        QVERIFY2(report::runPrismOneShot(options, nullptr, &result, &error), qPrintable(error));
        const report::HeadlineFigures& f = result.figures;
        QCOMPARE(f.simulatedDepthMm, 1000.0);
        for (double value : {f.simulatedDepthRmsPercent, f.simulatedFloorRmsPercent, f.simulatedVerticalDisparityRmsPx,
                             f.simulationSeconds})
            QVERIFY(std::isfinite(value) && value > 0.0);
        QCOMPARE(f.simulatedPrismSharePercent, f.simulatedDepthRmsPercent - f.simulatedFloorRmsPercent);
        const QStringList pictures{"simulate-plane-1000mm-sensor.png", "simulate-plane-1000mm-rectified.png",
                                   "simulate-plane-1000mm-disparity.png", "simulate-plane-1000mm-depth-error.png"};
        const QSize sizes[] = {{1920, 1080}, {1920, 1080}, {960, 1080}, {960, 1080}};
        const QByteArray html = fileBytes(QDir(result.folder).filePath("report.html"));
        QVERIFY(html.contains("<h2>Simulated capture</h2>"));
        for (int i = 0; i < pictures.size(); ++i) {
            QVERIFY2(result.written.contains(pictures[i]), qPrintable(pictures[i]));
            QCOMPARE(QImage(QDir(result.folder).filePath(pictures[i])).size(), sizes[i]);
            QVERIFY2(html.contains(("<img alt=\"" + pictures[i] + "\" src=\"data:image/png;base64,iVBORw0KGgo").toUtf8()),
                     qPrintable(pictures[i]));
        }

        QTemporaryDir copy;
        for (const char* name : {"prism.json", "stereo_calibration.yml"})
            QVERIFY(QFile::copy(QDir(result.folder).filePath(name), copy.filePath(name)));
        QCOMPARE(result.run.settings().simulation.rowFraction, 0.25);
        const CliResult cli =
            runCli({"simulate", "--supersample", "1", "--rows", "0.25", "--json", "--output-dir", copy.path()});
        QVERIFY2(cli.code == 0, cli.err.constData());
        const QJsonObject c = QJsonDocument::fromJson(cli.out).object().value("simulation").toObject()
                                  .value("cases").toArray().first().toObject();
        const auto near = [](double a, double b) { return std::abs(a - b) <= 1e-12 * std::abs(b); };
        QVERIFY(near(c.value("prism").toObject().value("rmsPercent").toDouble(), f.simulatedDepthRmsPercent));
        QVERIFY(near(c.value("ideal").toObject().value("rmsPercent").toDouble(), f.simulatedFloorRmsPercent));
        QVERIFY(near(c.value("prism").toObject().value("verticalDisparityRmsPx").toDouble(),
                     f.simulatedVerticalDisparityRmsPx));
        QCOMPARE(fileBytes(copy.filePath(pictures[0])), fileBytes(QDir(result.folder).filePath(pictures[0])));

        // Another depth re-runs the capture alone; the calibration of another prism is refused.
        pipeline::Pipeline& p = result.run;
        pipeline::PipelineSettings s = p.settings();
        s.simulation.scene.depthMm = 1500.0;
        p.setSettings(s);
        QVERIFY(p.isStale(pipeline::Stage::Simulate) && !p.isStale(pipeline::Stage::Calibrate));
        p.run();
        QCOMPARE(p.lastComputed(), std::vector<pipeline::Stage>{pipeline::Stage::Simulate});
        QCOMPARE(p.simulation()->simulation.scene.depthMm, 1500.0);
        pipeline::CalibrationStageResult other = *p.calibration();
        other.calibration.prismDigest = QStringLiteral("0123456789abcdef");
        QVERIFY_EXCEPTION_THROWN(pipeline::runSimulateStage(*p.design(), *p.fit(), other, s.simulation,
                                                            core::ProgressRange(nullptr, 0.0, 1.0, "simulate")),
                                 std::runtime_error);
    }

    // The command's JSON names its version and the folder it wrote.
    void prismCommandJson()
    {
        QTemporaryDir dir;
        const CliResult made = runCli({"prism", "--order", "3", "--folder", "mine", "--json", "--output-dir", dir.path()});
        QVERIFY2(made.code == 0, made.err.constData());
        const QJsonObject root = QJsonDocument::fromJson(made.out).object();
        QCOMPARE(root.value("schemaVersion").toInt(), 1);
        const QJsonObject prism = root.value("prism").toObject();
        QCOMPARE(prism.value("folder").toString(), QDir(dir.path()).filePath("mine"));
        QCOMPARE(prism.value("order").toInt(), 3);
        QStringList written;
        for (const QJsonValue& name : prism.value("written").toArray())
            written << name.toString();
        QCOMPARE(sorted(entries(dir.filePath("mine"))), sorted(written));
        // The same name again: refused with exit 2, the first folder kept.
        const QByteArray report = fileBytes(dir.filePath("mine/report.html"));
        QCOMPARE(runCli({"prism", "--order", "3", "--folder", "mine", "--output-dir", dir.path()}).code, 2);
        QCOMPARE(fileBytes(dir.filePath("mine/report.html")), report);
    }

    // "run" refused at its fit leaves the previous design and fit as they were.
    void runRefusedAtItsFitKeepsThePreviousSet_data()
    {
        QTest::addColumn<QStringList>("fit");
        QTest::newRow("classic") << QStringList{"--order", "3"};
        QTest::newRow("classic, every order") << QStringList{"--order", "all"};
    }
    void runRefusedAtItsFitKeepsThePreviousSet()
    {
        QFETCH(QStringList, fit);
        QTemporaryDir dir;
        QCOMPARE(runCli(QStringList{"run"} + fit + QStringList{"--output-dir", dir.path()}).code, 0);
        const QStringList names = resultFiles(dir.path());
        QMap<QString, QByteArray> before;
        for (const QString& name : names)
            before[name] = fileBytes(name);
        const CliResult refused =
            runCli(QStringList{"run"} + fit + QStringList{"--focal-length", "4", "--output-dir", dir.path()});
        QCOMPARE(refused.code, 2);  // the help's "bad input ... (nothing written)"
        QVERIFY2(refused.err.contains("0 points inside its window"), refused.err.constData());
        QCOMPARE(resultFiles(dir.path()), names);
        for (const QString& name : names)
            QVERIFY2(fileBytes(name) == before[name], qPrintable(name));
    }
};

QTEST_MAIN(TestPipeline)
#include "tst_pipeline.moc"
