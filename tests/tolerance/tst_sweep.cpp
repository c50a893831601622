// Design sweeps: the grid's parsing, and harvenlotek-cli sweep / merge as
// separate processes: the rows of a small grid against the physics of a
// prism (the virtual pinholes move apart as the prism deviates more), shards
// run by GNU parallel and merged, refused input.

#include "cli_process.h"
#include "sweep/sweep.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using namespace tolerance;

namespace {


// The sweep of the tests: 2 angles x 2 indices, computed coarsely.
const QStringList grid{"--param", "angle=18:22:2", "--param", "index=1.45:1.52:2"};
const QStringList coarse{"--order", "4", "--verify-step", "32", "--target-points", "6"};

}  // namespace

class TestSweep : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void axisParsing_data();
    void axisParsing();
    void pointNumbering();
    void rowsFollowThePrism();
    void pointIsTheOneShot();
    void shardsByGnuParallelMergeToTheWholeSweep();
    void mergeRefusesForeignAndMissingShards();
    void badInputIsRefused_data();
    void badInputIsRefused();

private:
    QTemporaryDir dir_;
    QString whole_;
};

void TestSweep::initTestCase()
{
    QVERIFY(dir_.isValid());
    whole_ = dir_.filePath(QStringLiteral("whole"));
    const Run r = runCli(QStringList{"sweep", "--output-dir", whole_, "--threads", "2"} + grid + coarse);
    QVERIFY2(r.code == 0, r.err.constData());
    QVERIFY2(r.out.startsWith("4 points: 4 ok, 0 failed\n"), r.out.constData());
}

void TestSweep::axisParsing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("count");
    QTest::addColumn<double>("second");  // the second value (the only one for a count of 1)
    QTest::addColumn<double>("last");
    QTest::newRow("angle 11 values") << "angle=15:25:11" << true << 11 << 16.0 << 25.0;
    QTest::newRow("index 5 values") << "index=1.45:1.55:5" << true << 5 << 1.475 << 1.55;
    QTest::newRow("one value") << "index=1.5" << true << 1 << 1.5 << 1.5;
    QTest::newRow("whole steps") << "distance=150:200:11" << true << 11 << 155.0 << 200.0;
    QTest::newRow("orders") << "order=3:10:8" << true << 8 << 4.0 << 10.0;
    QTest::newRow("range ends") << "focal-length=4:40:2" << true << 2 << 40.0 << 40.0;
    QTest::newRow("half millimetres") << "distance=150:151:3" << false << 0 << 0.0 << 0.0;
    QTest::newRow("below the panel") << "index=1.3:1.5:3" << false << 0 << 0.0 << 0.0;
    QTest::newRow("above the panel") << "angle=70:90:3" << false << 0 << 0.0 << 0.0;
    QTest::newRow("order 11") << "order=11" << false << 0 << 0.0 << 0.0;
    QTest::newRow("zero count") << "angle=15:25:0" << false << 0 << 0.0 << 0.0;
    QTest::newRow("fraction count") << "angle=15:25:2.5" << false << 0 << 0.0 << 0.0;
    QTest::newRow("one count, two ends") << "angle=15:25:1" << false << 0 << 0.0 << 0.0;
    QTest::newRow("falling") << "angle=25:15:3" << false << 0 << 0.0 << 0.0;
    QTest::newRow("two parts") << "angle=15:25" << false << 0 << 0.0 << 0.0;
    QTest::newRow("no value") << "angle" << false << 0 << 0.0 << 0.0;
    QTest::newRow("not a number") << "angle=a:b:3" << false << 0 << 0.0 << 0.0;
    QTest::newRow("unknown") << "wavelength=400:700:4" << false << 0 << 0.0 << 0.0;
    QTest::newRow("case") << "Angle=20" << false << 0 << 0.0 << 0.0;
}

void TestSweep::axisParsing()
{
    QFETCH(QString, text);
    QFETCH(bool, accepted);
    SweepAxis axis;
    QString error;
    QCOMPARE(parseSweepAxis(text, &axis, &error), accepted);
    if (!accepted) {
        QVERIFY(!error.isEmpty() && !error.contains(QLatin1Char('\n')));
        return;
    }
    QFETCH(int, count);
    QFETCH(double, second);
    QFETCH(double, last);
    QCOMPARE(axis.count, count);
    QCOMPARE(axis.value(std::min(1, count - 1)), second);
    QCOMPARE(axis.value(count - 1), last);  // exactly the end given
}

// Like nested loops over the axes in the order given, the last fastest.
void TestSweep::pointNumbering()
{
    SweepIdentity id;
    SweepAxis a, b, c;
    QString error;
    QVERIFY(parseSweepAxis(QStringLiteral("angle=10:30:3"), &a, &error));
    QVERIFY(parseSweepAxis(QStringLiteral("size=50:150:2"), &b, &error));
    QVERIFY(parseSweepAxis(QStringLiteral("order=4:7:4"), &c, &error));
    id.axes = {a, b, c};
    QCOMPARE(id.points(), std::int64_t(24));
    std::int64_t point = 0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 2; ++j)
            for (int k = 0; k < 4; ++k, ++point)
                QCOMPARE(id.indices(point), (std::vector<int>{i, j, k}));
}

// The virtual pinholes sit where the central ray of each half meets the
// prism's face (the sketch's point): with pinhole height d + f, the central
// ray through the quarter of the sensor width q, and the face falling from
// the apex (S/2) tan A, the point's x is (d + f - (S/2) tan A) / (f/q - tan A)
// and the baseline twice that, whatever the index. The calibrated baseline
// of every point must find it. Every point of a sound panel runs and
// calibrates.
void TestSweep::rowsFollowThePrism()
{
    const QByteArray csv = readAll(QDir(whole_).filePath(sweepPointsFileName));
    const QList<QByteArray> lines = csv.split('\n');
    QCOMPARE(lines.size(), 6);  // header, 4 rows, the empty piece after the last line break
    QCOMPARE(lines[0], QByteArray("point,status,angle,index,directionRmsPx,directionMaxPx,nonCentralityLeftMm,"
                                  "nonCentralityRightMm,residualLeftPx,residualRightPx,depthError1000mmPercent,"
                                  "baselineMm"));
    const double angles[] = {18, 18, 22, 22}, indices[] = {1.45, 1.52, 1.45, 1.52};
    double baseline[4];
    for (int i = 0; i < 4; ++i) {
        const QList<QByteArray> cells = lines[i + 1].split(',');
        QCOMPARE(cells.size(), 12);
        QCOMPARE(cells[0].toInt(), i);
        QCOMPARE(cells[1], QByteArray("ok"));
        QCOMPARE(cells[2].toDouble(), angles[i]);
        QCOMPARE(cells[3].toDouble(), indices[i]);
        for (int k = 4; k < 12; ++k)
            QVERIFY2(std::isfinite(cells[k].toDouble()) && cells[k].toDouble() >= 0.0, lines[i + 1].constData());
        // The calibration absorbs what the prism fit of order 4 leaves: well below a pixel.
        QVERIFY2(cells[8].toDouble() < 1.0 && cells[9].toDouble() < 1.0, lines[i + 1].constData());
        baseline[i] = cells[11].toDouble();
    }
    const double f = 35.0, d = 175.0, size = 100.0, q = 1920 * 0.0055 / 4.0;
    for (int i = 0; i < 4; ++i) {
        const double tanA = std::tan(angles[i] * M_PI / 180.0);
        const double ideal = 2.0 * (d + f - size / 2.0 * tanA) / (f / q - tanA);
        QVERIFY2(std::fabs(baseline[i] / ideal - 1.0) < 2e-3,
                 qPrintable(QStringLiteral("point %1: %2 mm, closed form %3 mm").arg(i).arg(baseline[i]).arg(ideal)));
    }
    // The angle moves the pinholes (29.96 to 29.53 mm), the index does not.
    QVERIFY(baseline[0] - baseline[2] > 0.3);
    const QByteArray summary = readAll(QDir(whole_).filePath(sweepSummaryFileName));
    QVERIFY(summary.contains("\"format\": \"harvenlotek-sweep\""));
    QVERIFY(summary.contains("\"ok\": 4"));
    for (int k = 0; k < sweepFigureCount; ++k)
        QVERIFY2(!readAll(QDir(whole_).filePath(QStringLiteral("sweep_%1.png").arg(sweepFigureName(k)))).isEmpty(),
                 sweepFigureName(k));
}

// A point of a sweep is the one-shot "harvenlotek-cli prism" with the same
// panel values: the same figures to the last bit.
void TestSweep::pointIsTheOneShot()
{
    const QString out = dir_.filePath(QStringLiteral("oneshot"));
    QVERIFY(QDir().mkpath(out));
    const Run prism = runCli({"prism", "--angle", "22", "--index", "1.52", "--distance", "180", "--order", "4",
                              "--threads", "1", "--json", "--folder", "p", "--output-dir", out});
    QVERIFY2(prism.code == 0, prism.err.constData());
    const QJsonObject figures = QJsonDocument::fromJson(prism.out).object().value("prism").toObject();
    QVERIFY(!figures.isEmpty());
    const Run sweep = runCli({"sweep", "--param", "angle=22", "--param", "index=1.52", "--param", "distance=180",
                              "--order", "4", "--threads", "1", "--output-dir", out + "/sweep"});
    QVERIFY2(sweep.code == 0, sweep.err.constData());
    const QList<QByteArray> row = readAll(out + "/sweep/" + sweepPointsFileName).split('\n').value(1).split(',');
    QCOMPARE(row.size(), 13);
    QCOMPARE(row[1], QByteArray("ok"));
    const std::pair<int, const char*> same[] = {{5, "directionRmsPx"},       {6, "directionMaxPx"},
                                                {9, "calibratedLeftRmsPx"},  {10, "calibratedRightRmsPx"},
                                                {11, "depthErrorRmsPercentAt1m"}, {12, "baselineMm"}};
    for (const auto& s : same)
        QCOMPARE(row[s.first].toDouble(), figures.value(QLatin1String(s.second)).toDouble());
}

void TestSweep::shardsByGnuParallelMergeToTheWholeSweep()
{
    const QString parallel = QStandardPaths::findExecutable(QStringLiteral("parallel"));
    if (parallel.isEmpty())
        QSKIP("GNU parallel is not installed (scripts/install-deps.sh --test installs it)");
    const QString shards = dir_.filePath(QStringLiteral("shards"));
    QProcess p;
    p.setWorkingDirectory(dir_.path());
    p.start(parallel, QStringList{"--halt", "now,fail=1", "-j", "2", QStringLiteral(HARVENLOTEK_CLI), "sweep"} + grid
                          + coarse
                          + QStringList{"--threads", "1", "--shard", "{}/2", "--output-dir", shards + "/shard-{}",
                                        ":::", "0", "1"});
    QVERIFY(p.waitForFinished(900000));
    QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());
    // A shard draws no plots: they would show a part of the grid.
    QVERIFY(!QFile::exists(shards + "/shard-0/sweep_baselineMm.png"));
    const QString merged = dir_.filePath(QStringLiteral("merged"));
    const Run m = runCli({"merge", "--output-dir", merged, shards + "/shard-1", shards + "/shard-0"});
    QVERIFY2(m.code == 0, m.err.constData());
    QCOMPARE(readAll(QDir(merged).filePath(sweepPointsFileName)), readAll(QDir(whole_).filePath(sweepPointsFileName)));
    QCOMPARE(readAll(QDir(merged).filePath(sweepSummaryFileName)),
             readAll(QDir(whole_).filePath(sweepSummaryFileName)));
    QCOMPARE(readAll(QDir(merged).filePath("sweep_residualLeftPx.png")),
             readAll(QDir(whole_).filePath("sweep_residualLeftPx.png")));
}

void TestSweep::mergeRefusesForeignAndMissingShards()
{
    const QString base = dir_.filePath(QStringLiteral("mergecheck"));
    // One-point shards of a grid of three, and one of another grid.
    const QStringList small{"--param", "angle=18:22:3", "--param", "index=1.48", "--order", "3", "--verify-step",
                            "64", "--target-points", "4", "--threads", "1"};
    for (const QString& shard : {QStringLiteral("0"), QStringLiteral("1")}) {
        const Run r = runCli(QStringList{"sweep", "--shard", shard + "/3", "--output-dir", base + "/s" + shard} + small);
        QVERIFY2(r.code == 0, r.err.constData());
    }
    QStringList other = small;
    other[3] = QStringLiteral("index=1.5");
    const Run r = runCli(QStringList{"sweep", "--shard", "2/3", "--output-dir", base + "/foreign"} + other);
    QVERIFY2(r.code == 0, r.err.constData());

    Run m = runCli({"merge", "--output-dir", base + "/out", base + "/s0", base + "/s1"});
    QCOMPARE(m.code, 2);
    QVERIFY2(m.err.contains("missing shard: 2/3"), m.err.constData());
    m = runCli({"merge", "--output-dir", base + "/out", base + "/s0", base + "/s1", base + "/foreign"});
    QCOMPARE(m.code, 2);
    QVERIFY2(m.err.contains("foreign") && m.err.contains("another sweep"), m.err.constData());
    m = runCli({"merge", "--output-dir", base + "/out", base + "/s0", base + "/s0"});
    QCOMPARE(m.code, 2);
    QVERIFY2(m.err.contains("given twice"), m.err.constData());
    QCOMPARE(m.err.count('\n'), 1);
    QVERIFY(!QFileInfo::exists(base + "/out"));
}

void TestSweep::badInputIsRefused_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown quantity") << QStringList{"--param", "focal=30"} << "unknown quantity 'focal'";
    QTest::newRow("out of range") << QStringList{"--param", "angle=70:90:3"} << "90 is outside the range 0 to 80";
    QTest::newRow("malformed") << QStringList{"--param", "angle=15:25"} << "NAME=LOW:HIGH:COUNT";
    QTest::newRow("zero count") << QStringList{"--param", "angle=15:25:0"} << "COUNT must be a whole number";
    QTest::newRow("half millimetres") << QStringList{"--param", "distance=150:151:3"} << "whole numbers";
    QTest::newRow("twice") << QStringList{"--param", "angle=20", "--param", "angle=21"} << "given twice";
    QTest::newRow("no grid") << QStringList{"--order", "5"} << "at least one --param";
    QTest::newRow("shard outside") << QStringList{"--param", "angle=20", "--shard", "2/2"} << "--shard takes i/K";
    QTest::newRow("order") << QStringList{"--param", "angle=20", "--order", "12"} << "--order must be a whole number from 3 to 10, got '12'";
    QTest::newRow("no value") << QStringList{"--param"} << "'--param'";
}

// Exit 2, one line naming the fault, nothing written.
void TestSweep::badInputIsRefused()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    const QString out = dir_.filePath(QStringLiteral("refused"));
    const Run r = runCli(QStringList{"sweep", "--output-dir", out} + args);
    QCOMPARE(r.code, 2);
    QVERIFY2(r.err.contains(message.toUtf8()), r.err.constData());
    QCOMPARE(r.err.count('\n'), 1);
    QVERIFY(r.out.isEmpty());
    QVERIFY(!QFileInfo::exists(out));
}

QTEST_GUILESS_MAIN(TestSweep)
#include "tst_sweep.moc"
