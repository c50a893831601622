// harvenlotek-cli as a user runs it: a separate process in a scratch directory.

#include "design/design_record.h"
#include "design/design_run.h"
#include "design/prism_angle.h"
#include "sketch/prism_geometry.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
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
    if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// Every file below `root` with its content.
QMap<QString, QByteArray> snapshot(const QString& root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(root).relativeFilePath(path), readAll(path));
    }
    return files;
}

// The "fix angle" angle from sin(a + t) = n sin(a), in double precision.
double fixAngleDegrees(int focalLength, double index)
{
    const double t = std::atan(1920 * 0.0055 / (4.0 * focalLength));
    return std::atan(std::sin(t) / (index - std::cos(t))) * 180.0 / M_PI;
}

int rowsWithNonFinite(const QByteArray& text)
{
    int count = 0;
    for (const QByteArray& row : text.split('\n')) {
        const QByteArray lower = row.toLower();
        if (lower.contains("nan") || lower.contains("inf"))
            ++count;
    }
    return count;
}

QJsonObject parseJson(const QByteArray& out)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(out, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return QJsonObject();
    return document.object();
}

}  // namespace

class TestCli : public QObject {
    Q_OBJECT
private slots:
    void helpTexts_data();
    void helpTexts();
    void badInputWritesNothing_data();
    void badInputWritesNothing();
    void designMatchesDirectRun_data();
    void designMatchesDirectRun();
    void fixAngle_data();
    void fixAngle();
    void fitAllOrdersKeepsEachOrder();
};

void TestCli::helpTexts_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("usage");
    QTest::newRow("tool") << QStringList{"--help"} << "harvenlotek-cli COMMAND";
    QTest::newRow("help design") << QStringList{"help", "design"} << "harvenlotek-cli design";
    QTest::newRow("design") << QStringList{"design", "--help"} << "harvenlotek-cli design";
    QTest::newRow("fit, other options ignored") << QStringList{"fit", "--order", "99", "--help"}
                                                << "harvenlotek-cli fit";
    QTest::newRow("run") << QStringList{"run", "--help"} << "harvenlotek-cli run";
}

void TestCli::helpTexts()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, usage);
    QTemporaryDir dir;
    const CliRun run = runCli(arguments, dir.path());
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.out.startsWith("Usage: " + usage.toLatin1()));
    QVERIFY(run.err.isEmpty());
    QVERIFY(snapshot(dir.path()).isEmpty());
}

void TestCli::badInputWritesNothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    // Design output already in the directory, for the fit's rows.
    QTest::addColumn<bool>("withDesignOutput");
    // A file (or, with a trailing slash, a directory) in the way of a result.
    QTest::addColumn<QString>("occupied");
    const bool withDesign = true;
    const bool empty = false;
    QTest::newRow("no command") << QStringList{} << empty << QString();
    QTest::newRow("unknown command") << QStringList{"desing"} << empty << QString();
    QTest::newRow("option before command") << QStringList{"--focal-length", "30", "design"} << empty << QString();
    QTest::newRow("help for unknown command") << QStringList{"help", "draw"} << empty << QString();
    QTest::newRow("unknown option") << QStringList{"design", "--focal", "30"} << empty << QString();
    QTest::newRow("option of another command") << QStringList{"design", "--order", "3"} << empty << QString();
    QTest::newRow("stray argument") << QStringList{"design", "12"} << empty << QString();
    QTest::newRow("option given twice") << QStringList{"design", "--size", "60", "--size", "70"} << empty << QString();
    QTest::newRow("value missing") << QStringList{"design", "--focal-length"} << empty << QString();
    QTest::newRow("option as value") << QStringList{"design", "--angle", "--fix-angle"} << empty << QString();
    QTest::newRow("flag with value") << QStringList{"design", "--fix-angle=1"} << empty << QString();
    QTest::newRow("index not a number") << QStringList{"design", "--index", "abc"} << empty << QString();
    QTest::newRow("size not whole") << QStringList{"design", "--size", "99.5"} << empty << QString();
    QTest::newRow("angle nan") << QStringList{"design", "--angle", "nan"} << empty << QString();
    QTest::newRow("focal length 3") << QStringList{"design", "--focal-length", "3"} << empty << QString();
    QTest::newRow("focal length 41") << QStringList{"run", "--order", "3", "--focal-length=41"} << empty << QString();
    QTest::newRow("distance 99") << QStringList{"design", "--distance", "99"} << empty << QString();
    QTest::newRow("distance 301") << QStringList{"design", "--distance", "301"} << empty << QString();
    QTest::newRow("size 49") << QStringList{"design", "--size", "49"} << empty << QString();
    QTest::newRow("size 151") << QStringList{"design", "--size", "151"} << empty << QString();
    QTest::newRow("angle -0.01") << QStringList{"design", "--angle", "-0.01"} << empty << QString();
    QTest::newRow("angle 80.01") << QStringList{"design", "--angle", "80.01"} << empty << QString();
    QTest::newRow("index 1.39") << QStringList{"design", "--index", "1.39"} << empty << QString();
    QTest::newRow("index 1.56") << QStringList{"design", "--index", "1.56"} << empty << QString();
    QTest::newRow("threads 0") << QStringList{"design", "--threads", "0"} << empty << QString();
    QTest::newRow("order 2") << QStringList{"fit", "--order", "2"} << withDesign << QString();
    QTest::newRow("order 9") << QStringList{"run", "--order", "9"} << empty << QString();
    QTest::newRow("order word") << QStringList{"fit", "--order", "three"} << withDesign << QString();
    QTest::newRow("order missing") << QStringList{"fit"} << withDesign << QString();
    QTest::newRow("order value missing") << QStringList{"fit", "--order"} << withDesign << QString();
    QTest::newRow("run without order") << QStringList{"run", "--angle", "30"} << empty << QString();
    QTest::newRow("output dir missing") << QStringList{"design", "--output-dir", "nowhere"} << empty << QString();
    QTest::newRow("output dir is a file") << QStringList{"design", "--output-dir", "plain"} << empty << QString();
    QTest::newRow("output dir read-only") << QStringList{"run", "--order", "all", "--output-dir", "/proc"} << empty << QString();
    QTest::newRow("fit without design output") << QStringList{"fit", "--order", "3"} << empty << QString();
    QTest::newRow("order directory is a file") << QStringList{"fit", "--order", "all"} << withDesign
                                               << QString("order-7");
    QTest::newRow("design file is a directory") << QStringList{"run", "--order", "3"} << empty
                                                << QString("outputall.txt/");
    QTest::newRow("report is a directory") << QStringList{"fit", "--order", "4"} << withDesign
                                           << QString("result_para_fit.txt/");
}

void TestCli::badInputWritesNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, withDesignOutput);
    QFETCH(QString, occupied);
    QTemporaryDir dir;
    writeFile(dir.filePath("plain"), "not a directory\n");
    if (withDesignOutput)
        writeFile(dir.filePath("outputall.txt"), "1 2 3 4 5 6\n");
    if (occupied.endsWith('/'))
        QVERIFY(QDir(dir.path()).mkdir(occupied.chopped(1)));
    else if (!occupied.isEmpty())
        writeFile(dir.filePath(occupied), "");
    const QMap<QString, QByteArray> before = snapshot(dir.path());

    const CliRun run = runCli(arguments, dir.path());
    QCOMPARE(run.exitCode, 2);
    QVERIFY(run.out.isEmpty());
    QVERIFY2(run.err.startsWith("harvenlotek-cli: ") && run.err.endsWith('\n')
                 && run.err.count('\n') == 1,
             run.err.constData());
    QCOMPARE(snapshot(dir.path()), before);
}

void TestCli::designMatchesDirectRun_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("focalLength");
    QTest::addColumn<int>("distance");
    QTest::addColumn<int>("size");
    QTest::addColumn<double>("angle");
    QTest::addColumn<double>("index");
    QTest::newRow("start values, run") << QStringList{"run", "--order", "3", "--json"}
                                       << 35 << 175 << 100 << 20.0 << 1.48;
    QTest::newRow("other values, two decimals")
        << QStringList{"design", "--json", "--focal-length", "20", "--distance=150", "--size",
                       "80", "--angle", "25.456", "--index", "1.5049", "--threads", "1"}
        << 20 << 150 << 80 << 25.46 << 1.50;
}

void TestCli::designMatchesDirectRun()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, focalLength);
    QFETCH(int, distance);
    QFETCH(int, size);
    QFETCH(double, angle);
    QFETCH(double, index);
    QTemporaryDir cliDir;
    QTemporaryDir directDir;

    const CliRun run = runCli(arguments, cliDir.path());
    QCOMPARE(run.exitCode, 0);

    // What the window hands the design: the sketch's float copies and point.
    PrismSketchParameters sketch;
    sketch.focalLength = static_cast<float>(focalLength);
    sketch.resolutionX = 1920;
    sketch.angleDeg = static_cast<float>(angle);
    sketch.prismDistance = static_cast<float>(distance);
    sketch.prismSize = static_cast<float>(size);
    sketch.refractiveIndex = static_cast<float>(index);
    sketch.virtualCameraPos = static_cast<float>(distance + focalLength);
    double hitX = 0.0;
    double hitY = 0.0;
    centralRayHit(sketch, &hitX, &hitY);
    DesignParameters parameters{focalLength, 1920, static_cast<float>(angle), distance, size,
                                static_cast<float>(index), hitX, hitY};
    DesignRunOptions options;
    options.outputDirectory = directDir.path();
    runDesign(parameters, options);

    for (const char* name : {"output.txt", "outputall.txt"}) {
        const QByteArray expected = readAll(directDir.filePath(name));
        QVERIFY(!expected.isEmpty());
        QVERIFY2(readAll(cliDir.filePath(name)) == expected, name);
    }

    const QJsonObject root = parseJson(run.out);
    QVERIFY2(!root.isEmpty(), run.out.constData());
    QCOMPARE(root.value("outputDir").toString(), QDir(cliDir.path()).absolutePath());
    const QJsonObject used = root.value("parameters").toObject();
    QCOMPARE(used.value("focalLength").toInt(), focalLength);
    QCOMPARE(used.value("resolutionX").toInt(), 1920);
    QCOMPARE(used.value("angleDeg").toDouble(), angle);
    QCOMPARE(used.value("refractiveIndex").toDouble(), index);
    QCOMPARE(used.value("virtualCameraPos").toInt(), distance + focalLength);
    const QJsonObject design = root.value("design").toObject();
    QCOMPARE(design.value("centralRayHit").toObject().value("x").toDouble(), hitX);
    QCOMPARE(design.value("centralRayHit").toObject().value("y").toDouble(), hitY);
    QCOMPARE(design.value("profilePoints").toInt(), 1920);
    QCOMPARE(design.value("gridPoints").toInt(), 207360);
    QCOMPARE(design.value("nonFinitePoints").toInt(),
             rowsWithNonFinite(readAll(cliDir.filePath("outputall.txt"))));
    QVERIFY(design.value("seconds").isDouble());
    QVERIFY(root.value("totalSeconds").isDouble());

    if (arguments.first() == QLatin1String("run")) {
        const QJsonArray fits = root.value("fits").toArray();
        QCOMPARE(fits.size(), 1);
        const QJsonObject fit = fits.first().toObject();
        QCOMPARE(fit.value("order").toInt(), 3);
        QCOMPARE(fit.value("coefficients1").toArray().size(), 3);
        QCOMPARE(fit.value("coefficients2").toArray().size(), 6);
        QVERIFY(fit.value("surface1Points").toInt() > 0);
        QVERIFY(fit.value("res1").isDouble() && fit.value("res2").isDouble());
        for (const char* name : {"output_fit_fig1.txt", "output_fit_fig2.txt", "result_para_fit.txt"})
            QVERIFY2(QFileInfo(cliDir.filePath(name)).size() > 0, name);
    } else {
        QVERIFY(!root.contains("fits"));
    }
}

void TestCli::fixAngle_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("focalLength");
    QTest::addColumn<double>("index");
    QTest::addColumn<double>("shownAngle");
    // Whether the spin box already showed the rounded angle, so that the
    // sketch keeps the unrounded one.
    QTest::addColumn<bool>("keepsUnrounded");
    QTest::newRow("start values") << QStringList{"design", "--fix-angle"} << 35 << 1.48 << 8.85 << false;
    QTest::newRow("spin box already at 8.85") << QStringList{"design", "--fix-angle", "--angle", "8.85"}
                                              << 35 << 1.48 << 8.85 << true;
    QTest::newRow("focal 12, index 1.52")
        << QStringList{"design", "--fix-angle", "--focal-length", "12", "--index", "1.52"} << 12
        << 1.52 << 0.0 << false;
}

void TestCli::fixAngle()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, focalLength);
    QFETCH(double, index);
    QFETCH(double, shownAngle);
    QFETCH(bool, keepsUnrounded);
    QTemporaryDir dir;
    const CliRun run = runCli(arguments << "--json", dir.path());
    QCOMPARE(run.exitCode, 0);
    const QJsonObject root = parseJson(run.out);
    const double shown = root.value("parameters").toObject().value("angleDeg").toDouble();
    const double taken = root.value("design").toObject().value("angleDeg").toDouble();

    const double exact = fixAngleDegrees(focalLength, index);
    if (shownAngle != 0.0)
        QCOMPARE(shown, shownAngle);
    QVERIFY(std::fabs(shown - exact) <= 0.005 + 1e-9);
    QCOMPARE(shown, std::round(shown * 100.0) / 100.0);
    if (keepsUnrounded) {
        QVERIFY(std::fabs(taken - exact) < 1e-4);
        QVERIFY(static_cast<float>(taken) != static_cast<float>(shown));
    } else {
        QCOMPARE(static_cast<float>(taken), static_cast<float>(shown));
    }
}

void TestCli::fitAllOrdersKeepsEachOrder()
{
    // Points on polynomials of the order-3 terms: surface 1 with even powers,
    // surface 2 (x > 0) with every power of x and even powers of y; one row
    // outside both windows.
    QTemporaryDir dir;
    QByteArray design;
    int rows = 0;
    for (int i = -20; i <= 20; ++i) {
        for (int j = -15; j <= 15; ++j) {
            const double x1 = i;
            const double y = j;
            const double z1 = 2.0 + 0.01 * x1 * x1 + 0.005 * y * y;
            const double x2 = (i + 21) * 0.5;
            const double z2 = 1.0 + 0.1 * x2 + 0.01 * x2 * x2 + 0.002 * y * y
                              + 0.001 * x2 * x2 * x2 + 0.0005 * x2 * y * y;
            for (double value : {x1, y, z1, x2, y, z2})
                design += QByteArray::number(value, 'g', 12) + ' ';
            design.chop(1);
            design += '\n';
            ++rows;
        }
    }
    design += "30 0 1 -1 0 1\n";
    writeFile(dir.filePath("outputall.txt"), design);

    const CliRun run = runCli({"fit", "--order", "all", "--json"}, dir.path());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(readAll(dir.filePath("outputall.txt")), design);
    const QJsonArray fits = parseJson(run.out).value("fits").toArray();
    QCOMPARE(fits.size(), 6);

    const int k1[] = {3, 6, 6, 10, 10, 15};
    for (int order = 3; order <= 8; ++order) {
        const QDir orderDir(dir.filePath(QStringLiteral("order-%1").arg(order)));
        QCOMPARE(orderDir.entryList(QDir::Files, QDir::Name),
                 (QStringList{"output_fit_fig1.txt", "output_fit_fig2.txt", "result_para_fit.txt"}));
        const QByteArray fig1 = readAll(orderDir.filePath("output_fit_fig1.txt"));
        QCOMPARE(fig1.count('\n'), rows);
        QCOMPARE(readAll(orderDir.filePath("output_fit_fig2.txt")).count('\n'), 2 * rows);
        const QString report = QString::fromLatin1(readAll(orderDir.filePath("result_para_fit.txt")));
        QCOMPARE(report.count(QRegularExpression("^a\\(\\d+\\) *=", QRegularExpression::MultilineOption)),
                 k1[order - 3]);

        const QJsonObject fit = fits.at(order - 3).toObject();
        QCOMPARE(fit.value("order").toInt(), order);
        QCOMPARE(fit.value("directory").toString(), orderDir.absolutePath());
        QCOMPARE(fit.value("surface1Points").toInt(), rows);
        QCOMPARE(fit.value("surface2Points").toInt(), rows);
        // The summary's residuals are the report's.
        for (const char* key : {"res1", "res2"}) {
            const QString name = QString::fromLatin1(key).replace("res", "Res");
            const QRegularExpressionMatch line =
                QRegularExpression(name + "= *(\\S+)").match(report);
            QVERIFY(line.hasMatch());
            QCOMPARE(QString::asprintf("%12.6f", fit.value(key).toDouble()).trimmed(), line.captured(1));
        }
    }
    const QJsonObject third = fits.at(0).toObject();
    const QJsonArray a = third.value("coefficients1").toArray();
    QVERIFY(std::fabs(a.at(0).toDouble() - 2.0) < 1e-6);
    QVERIFY(std::fabs(a.at(1).toDouble() - 0.01) < 1e-8);
    QVERIFY(std::fabs(a.at(2).toDouble() - 0.005) < 1e-8);
    QVERIFY(third.value("res1").toDouble() < 1e-6);
    QVERIFY(third.value("res2").toDouble() < 1e-6);

    // Nothing at the top but the design output; no point file left anywhere.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"outputall.txt"});
    QCOMPARE(snapshot(dir.path()).size(), 1 + 6 + 6 * 3);
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
