// harvenlotek-cli as a user runs it: a separate process in a scratch directory.
// Its files against the window's are compared in tests/app.

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

struct CliRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

CliRun runCli(const QStringList& arguments, const QString& workingDirectory)
{
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral(HARVENLOTEK_CLI), arguments);
    CliRun run;
    if (process.waitForFinished(600000) && process.exitStatus() == QProcess::NormalExit)
        run = {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
    return run;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every file and directory below `root`, with the files' contents.
QMap<QString, QByteArray> snapshot(const QString& root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(root).relativeFilePath(path), readAll(path));
    }
    return files;
}

}  // namespace

class TestCli : public QObject {
    Q_OBJECT
private slots:
    void writesNothing_data();
    void writesNothing();
    void helpOfEveryCommand_data();
    void helpOfEveryCommand();
    void fitAllOrdersKeepsEachOrder();
    void designModelNamed();
    void prismFitThenExport();
};

void TestCli::writesNothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    // A directory in the way of a result file.
    QTest::addColumn<QString>("inTheWay");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("help wins over bad values") << QStringList{"fit", "--order", "99", "--help"} << QString() << 0;
    QTest::newRow("no command") << QStringList{} << QString() << 2;
    QTest::newRow("unknown option") << QStringList{"design", "--focal", "30"} << QString() << 2;
    QTest::newRow("not a number") << QStringList{"design", "--index", "abc"} << QString() << 2;
    QTest::newRow("out of range") << QStringList{"design", "--focal-length=41"} << QString() << 2;
    QTest::newRow("unknown design model") << QStringList{"design", "--design-model", "Refraction"} << QString() << 2;
    QTest::newRow("design model without value") << QStringList{"run", "--order", "3", "--design-model"} << QString() << 2;
    QTest::newRow("refine of the classic model") << QStringList{"design", "--design-model", "classic", "--refine"} << QString() << 2;
    QTest::newRow("order out of range") << QStringList{"run", "--order", "9"} << QString() << 2;
    QTest::newRow("output dir missing") << QStringList{"design", "--output-dir", "nowhere"} << QString() << 2;
    QTest::newRow("output dir read-only") << QStringList{"run", "--order", "all", "--output-dir", "/proc"} << QString() << 2;
    QTest::newRow("fit without design output") << QStringList{"fit", "--order", "3"} << QString() << 2;
    QTest::newRow("result file cannot be replaced") << QStringList{"run", "--order", "3"} << "outputall.txt" << 2;
    QTest::newRow("unknown fit model") << QStringList{"run", "--order", "3", "--fit-model", "spline"} << QString() << 2;
    QTest::newRow("prism order out of range") << QStringList{"run", "--order", "11", "--fit-model", "prism"} << QString() << 2;
    QTest::newRow("classic order 9") << QStringList{"run", "--order", "9", "--fit-model", "classic"} << QString() << 2;
    QTest::newRow("panel value on a classic fit") << QStringList{"fit", "--order", "3", "--size", "90"} << QString() << 2;
    QTest::newRow("optimize without the prism model") << QStringList{"run", "--order", "4", "--optimize"} << QString() << 2;
    QTest::newRow("export before any prism fit") << QStringList{"export", "--format", "all"} << QString() << 2;
    QTest::newRow("export, unknown format") << QStringList{"export", "--format", "obj"} << QString() << 2;
    QTest::newRow("export, no format") << QStringList{"export"} << QString() << 2;
    QTest::newRow("export, order all") << QStringList{"export", "--format", "stl", "--order", "all"} << QString() << 2;
    QTest::newRow("step below its range") << QStringList{"verify", "--step", "0"} << QString() << 2;
    QTest::newRow("threads above their range") << QStringList{"design", "--threads", "257"} << QString() << 2;
    QTest::newRow("index with a comma") << QStringList{"design", "--index", "1,5"} << QString() << 2;
    QTest::newRow("an option of simulate on design") << QStringList{"design", "--tilt", "10"} << QString() << 2;
    QTest::newRow("an option of design on simulate") << QStringList{"simulate", "--angle", "10"} << QString() << 2;
    QTest::newRow("simulate, supersample above its range") << QStringList{"simulate", "--supersample", "9"} << QString() << 2;
    QTest::newRow("simulate, depth given twice is fine, size twice not") << QStringList{"prism", "--size", "90", "--size", "80"} << QString() << 2;
    QTest::newRow("tolerance, target points below their range") << QStringList{"tolerance", "--prism", "p", "--trials", "2", "--target-points", "3"} << QString() << 2;
    QTest::newRow("merge, unknown option") << QStringList{"merge", "--output-dir", ".", "--trials", "3"} << QString() << 2;
    QTest::newRow("export, unwritable directory") << QStringList{"export", "--format", "stl", "--output-dir", "/proc"} << QString() << 2;
}

void TestCli::writesNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, inTheWay);
    QFETCH(int, exitCode);
    QTemporaryDir dir;
    QVERIFY(inTheWay.isEmpty() || QDir(dir.path()).mkdir(inTheWay));
    const QMap<QString, QByteArray> before = snapshot(dir.path());

    const CliRun run = runCli(arguments, dir.path());
    QCOMPARE(run.exitCode, exitCode);
    if (exitCode == 0) {
        QVERIFY(run.out.startsWith("Usage: harvenlotek-cli fit") && run.err.isEmpty());
    } else {
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.err.startsWith("harvenlotek-cli: ") && run.err.count('\n') == 1 && run.err.endsWith('\n'),
                 run.err.constData());
    }
    QCOMPARE(snapshot(dir.path()), before);
}

void TestCli::helpOfEveryCommand_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("usage");
    QTest::newRow("the tool") << QStringList{"--help"} << QByteArray("Usage: harvenlotek-cli COMMAND");
    for (const char* command : {"prism", "design", "fit", "run", "verify", "export", "calibrate", "simulate",
                                "tolerance", "merge"}) {
        QTest::addRow("%s --help", command) << QStringList{command, "--help"}
                                           << QByteArray("Usage: harvenlotek-cli ") + command + ' ';
        QTest::addRow("help %s", command) << QStringList{"help", command}
                                         << QByteArray("Usage: harvenlotek-cli ") + command + ' ';
    }
}

// Every command's help, generated from the option table, on standard output.
void TestCli::helpOfEveryCommand()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, usage);
    QTemporaryDir dir;
    const CliRun run = runCli(arguments, dir.path());
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.startsWith(usage), run.out.left(80).constData());
    QVERIFY(run.err.isEmpty());
    QVERIFY(arguments.size() == 1 || run.out.contains("\n  --help "));
}

void TestCli::fitAllOrdersKeepsEachOrder()
{
    // Exact order-3 polynomials: surface 1 with even powers, surface 2
    // (x > 0) with every power of x and even powers of y; one row outside
    // both windows.
    QTemporaryDir dir;
    QByteArray design;
    int rows = 0;
    for (int i = -20; i <= 20; ++i) {
        for (double y = -15; y <= 15; ++y, ++rows) {
            const double x2 = (i + 21) * 0.5;
            const double z2 = 1.0 + 0.1 * x2 + 0.01 * x2 * x2 + 0.002 * y * y + 0.001 * x2 * x2 * x2 + 0.0005 * x2 * y * y;
            design += QString::asprintf("%d %g %.12g %.12g %g %.12g\n", i, y, 2.0 + 0.01 * i * i + 0.005 * y * y, x2, y, z2).toLatin1();
        }
    }
    design += "30 0 1 -1 0 1\n";
    QFile file(dir.filePath("outputall.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(design) == design.size());
    file.close();

    const CliRun run = runCli({"fit", "--order", "all", "--json"}, dir.path());
    QCOMPARE(run.exitCode, 0);
    const QJsonArray fits = QJsonDocument::fromJson(run.out).object().value("fits").toArray();
    QCOMPARE(fits.size(), 6);
    for (int order = 3; order <= 8; ++order) {
        const QDir orderDir(dir.filePath(QStringLiteral("order-%1").arg(order)));
        QCOMPARE(orderDir.entryList(QDir::Files), (QStringList{"output_fit_fig1.txt", "output_fit_fig2.txt", "result_para_fit.json", "result_para_fit.txt"}));
        QCOMPARE(readAll(orderDir.filePath("output_fit_fig1.txt")).count('\n'), rows);
        QCOMPARE(readAll(orderDir.filePath("output_fit_fig2.txt")).count('\n'), 2 * rows);
        QVERIFY(readAll(orderDir.filePath("result_para_fit.txt")).contains("Res2="));
        const QJsonObject fit = fits.at(order - 3).toObject();
        QCOMPARE(fit.value("order").toInt(), order);
        QCOMPARE(fit.value("directory").toString(), orderDir.absolutePath());
        QCOMPARE(fit.value("surface2Points").toInt(), rows);
    }
    // Order 3 returns the polynomials it was given.
    const QJsonObject third = fits.at(0).toObject();
    QVERIFY(third.value("res1").toDouble() < 1e-6 && third.value("res2").toDouble() < 1e-6);
    const QJsonArray a = third.value("coefficients1").toArray();
    QVERIFY(std::fabs(a.at(0).toDouble() - 2.0) < 1e-6);
    QVERIFY(std::fabs(a.at(1).toDouble() - 0.01) < 1e-8 && std::fabs(a.at(2).toDouble() - 0.005) < 1e-8);
    // The design output untouched, and nothing else at the top but the lock
    // file: no point file, no temporary file left.
    QCOMPARE(readAll(dir.filePath("outputall.txt")), design);
    QCOMPARE(snapshot(dir.path()).size(), 1 + 1 + 6 + 6 * 4);  // per order: two point files, the report and its JSON
    QVERIFY(snapshot(dir.path()).contains(".hvl.lock"));
}

// Each model writes its own surfaces and the summary says which one it was.
void TestCli::designModelNamed()
{
    QMap<QString, QByteArray> points;
    for (const QString& model : {QStringLiteral("classic"), QStringLiteral("refraction")}) {
        QTemporaryDir dir;
        const QStringList arguments{"design", "--design-model", model, "--threads", "2", "--json"};
        const CliRun run = runCli(arguments, dir.path());
        QCOMPARE(run.exitCode, 0);
        const QJsonObject design = QJsonDocument::fromJson(run.out).object().value("design").toObject();
        QCOMPARE(design.value("model").toString(), model);
        QCOMPARE(design.value("gridPoints").toInt(), 207360);
        points.insert(model, readAll(QDir(dir.path()).filePath("outputall.txt")));
        QCOMPARE(points[model].count('\n'), 207360);
    }
    QVERIFY(points["classic"] != points["refraction"]);
}

// A design output of the design's shape (1920 columns of 108 lines) whose
// left half lies on polynomials of degree 2 and whose right half is its
// mirror image; the prism fit of order 4 returns them; the export then
// writes its four files beside prism.json, and with a directory in the way
// of one of them writes none.
void TestCli::prismFitThenExport()
{
    QTemporaryDir dir;
    QByteArray design;
    for (int column = 0; column < 1920; ++column) {
        const double x = -30.0 + 29.9 * (column < 960 ? column : 1919 - column) / 959.0;  // x < 0
        const double px = column < 960 ? x : -x;  // the right half mirrors the left
        for (int line = 0; line < 108; ++line) {
            const double y = (line < 54 ? -line : line - 54) * 0.32;
            const double exitZ = 0.5 + 0.001 * x * x + 0.002 * y * y;
            const double entranceZ = 13.0 + 0.05 * x - 0.002 * x * y + 0.001 * y * y;
            design += QString::asprintf("%.12g %.12g %.12g %.12g %.12g %.12g\n", px, y, exitZ, px, y,
                                        entranceZ).toLatin1();
        }
    }
    QFile file(dir.filePath("outputall.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(design) == design.size());
    file.close();

    const CliRun fit = runCli({"fit", "--fit-model", "prism", "--order", "4", "--json"}, dir.path());
    QCOMPARE(fit.exitCode, 0);
    const QJsonObject result = QJsonDocument::fromJson(fit.out).object().value("fits").toArray().at(0).toObject();
    QCOMPARE(result.value("fitModel").toString(), QStringLiteral("prism"));
    for (const char* surface : {"exit", "entrance"}) {
        const QJsonObject s = result.value(surface).toObject();
        QCOMPARE(s.value("points").toInt(), 960 * 108);
        QVERIFY2(s.value("maxMm").toDouble() < 1e-9 && s.value("mirrorMaxMm").toDouble() < 1e-9, surface);
    }
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), (QStringList{"outputall.txt", "prism.json"}));

    QVERIFY(QDir(dir.path()).mkdir("prism.stl"));
    const QMap<QString, QByteArray> before = snapshot(dir.path());
    const CliRun blocked = runCli({"export", "--format", "all"}, dir.path());
    QCOMPARE(blocked.exitCode, 2);
    QCOMPARE(snapshot(dir.path()), before);
    QVERIFY(QDir(dir.path()).rmdir("prism.stl"));

    const CliRun exported = runCli({"export", "--format", "all", "--json"}, dir.path());
    QCOMPARE(exported.exitCode, 0);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files),
             (QStringList{"design_surfaces.ply", "frame.txt", "outputall.txt", "prism.json", "prism.step", "prism.stl",
                          "prism_drawing.pdf", "surface_entrance_left.dat", "surface_entrance_right.dat",
                          "surface_exit_left.dat", "surface_exit_right.dat", "surfaces.step"}));
    const QJsonObject summary = QJsonDocument::fromJson(exported.out).object().value("export").toObject();
    QCOMPARE(summary.value("order").toInt(), 4);
    QCOMPARE(summary.value("written").toArray().size(), 10);
    QVERIFY(summary.value("sagErrorMm").toDouble() < 1e-3);
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
