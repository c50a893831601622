// Monte Carlo tolerancing: single tolerances against closed forms on
// hand-made prisms, and the command-line runs on a real prism fit (made by
// harvenlotek-cli run in a temporary folder): nominal figures, seeds, shards
// run by GNU parallel and merged, refused input.

#include "calibration/prism_calibration.h"
#include "textio/json_writer.h"
#include "cli_process.h"
#include "tolerance/tolerance_run.h"
#include "verify/prism_trace.h"
#include "../verify/wedge_prism.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using namespace tolerance;

namespace {

bool writeText(const QString& path, const QByteArray& text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
}


verify::PrismGeometry smallCamera(double index)
{
    verify::PrismGeometry g;
    g.focalLength = 35.0;
    g.prismDistance = 175.0;
    g.refractiveIndex = index;
    g.virtualPinholeX = 0.0;
    return g;
}

verify::Vec3 direction(const calibration::OutgoingRay& r)
{
    return verify::Vec3(r.direction[0], r.direction[1], r.direction[2]).normalized();
}

// The wedge of wedgePrismFit(top, slope) cemented along the plane z =
// height + interfaceSlope x (mirrored for x >= 0), of indices n1 above it
// and n2 below.
PrismFit cementedWedge(double top, double slope, double height, double interfaceSlope, double n1, double n2)
{
    PrismFit fit = wedgePrismFit(top, slope);
    PrismInterface& i = fit.interface;
    i.present = true;
    i.crown = QStringLiteral("crown");
    i.flint = QStringLiteral("flint");
    i.crownIndex = n1;
    i.flintIndex = n2;
    i.fit = fit.exit;
    i.fit.surface.coefficients[0] = height + interfaceSlope * i.fit.surface.x0;
    i.fit.surface.coefficients[1] = interfaceSlope * i.fit.surface.radius;
    return fit;
}

// The geometry a trial of `fit` starts from: a cemented prism's two glasses.
verify::PrismGeometry cementedCamera(const PrismFit& fit)
{
    return verify::prismFitGeometry(smallCamera(1.0), fit);
}

}  // namespace

class TestTolerance : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void plateDecentreShiftsNothing();
    void thinPrismIndexDeviation();
    void cementedThinPairTurns_data();
    void cementedThinPairTurns();
    void sameGlassInterfaceChangesNothing();
    void cementedNominalTracesAsVerifier();
    void zeroTolerancesGiveNominal();
    void sameSeedSameRows();
    void shardsByGnuParallelMergeToTheWholeRun();
    void mergeRefusesForeignMissingAndDuplicateShards();
    void interruptedRunWritesNothing();
    void badInputIsRefused_data();
    void badInputIsRefused();
    void toleranceFileParsing_data();
    void toleranceFileParsing();

private:
    Run tolerance(const QString& out, const QStringList& extra);
    QTemporaryDir dir_;
    QString prism_;        // folder with prism.json
    QString zeroFile_;     // tolerances all zero
    QString smallFile_;    // small tolerances, a quick run
};

void TestTolerance::initTestCase()
{
    QVERIFY(dir_.isValid());
    prism_ = dir_.filePath(QStringLiteral("prism"));
    QVERIFY(QDir().mkpath(prism_));
    const Run made = runCli({"run", "--fit-model", "prism", "--order", "4", "--design-model", "refraction",
                             "--output-dir", prism_});
    QVERIFY2(made.code == 0, made.err.constData());
    QVERIFY(QFile::exists(QDir(prism_).filePath("prism.json")));
    zeroFile_ = dir_.filePath(QStringLiteral("zero.json"));
    QByteArray zero = "{\"tolerances\": {";
    for (int k = 0; k < toleranceKindCount; ++k)
        zero += QByteArray(k ? ", " : "") + "\"" + toleranceName(static_cast<ToleranceKind>(k)) + "\": 0";
    zero += "}}";
    QVERIFY(writeText(zeroFile_, zero));
    smallFile_ = dir_.filePath(QStringLiteral("small.json"));
    QVERIFY(writeText(smallFile_, "{\"tolerances\": {\"formErrorEntranceUm\": 0.5, \"formErrorExitUm\": 0.5}, "
                                  "\"criteria\": {\"maxResidualPx\": 0.4}}"));
}

Run TestTolerance::tolerance(const QString& out, const QStringList& extra)
{
    QDir().mkpath(out);
    return runCli(QStringList{"tolerance", "--prism", prism_, "--output-dir", out, "--target-points", "6"} + extra);
}

// A plane-parallel plate moved sideways: every ray leaves exactly as before.
void TestTolerance::plateDecentreShiftsNothing()
{
    const PrismFit plate = wedgePrismFit(5.0, 0.0);
    const verify::PrismGeometry g = smallCamera(1.5);
    Perturbation p;
    p.value[std::size_t(ToleranceKind::DecentreX)] = 0.7;
    p.value[std::size_t(ToleranceKind::DecentreY)] = -0.4;
    const calibration::StereoRig nominal = madeRig(g, plate, Perturbation());
    const calibration::StereoRig moved = madeRig(g, plate, p);
    for (const double x : {-3.0, -1.0, -0.2})
        for (const double y : {-2.0, 0.0, 1.5}) {
            const calibration::OutgoingRay a = nominal.left(x, y);
            const calibration::OutgoingRay b = moved.left(x, y);
            QVERIFY(a.valid && b.valid);
            const verify::Vec3 da = direction(a);
            QVERIFY((da - direction(b)).norm() < 1e-14);
            // The same line: b's origin lies on a's ray.
            const verify::Vec3 offset = verify::Vec3(b.origin[0] - a.origin[0], b.origin[1] - a.origin[1],
                                                     b.origin[2] - a.origin[2]);
            QVERIFY2(offset.cross(da).norm() < 1e-12, qPrintable(QString::number(offset.cross(da).norm())));
        }
    // The plate really was traced: its rays are displaced against the camera's own.
    const calibration::OutgoingRay axis = nominal.left(-1e-9, 0.0);
    QVERIFY(axis.valid);
}

// A thin prism of apex angle A: an index change dn turns the ray by dn A.
void TestTolerance::thinPrismIndexDeviation()
{
    const double apex = 0.01;  // rad
    const PrismFit wedge = wedgePrismFit(5.0, std::tan(apex));
    const double n = 1.5, dn = 0.001;
    Perturbation p;
    p.value[std::size_t(ToleranceKind::Index)] = dn;
    const calibration::StereoRig nominal = madeRig(smallCamera(n), wedge, Perturbation());
    const calibration::StereoRig changed = madeRig(smallCamera(n), wedge, p);
    const calibration::OutgoingRay a = nominal.left(-1e-9, 0.0);  // along the axis
    const calibration::OutgoingRay b = changed.left(-1e-9, 0.0);
    QVERIFY(a.valid && b.valid);
    const double deviation = std::acos(std::min(1.0, -direction(a).z()));
    QVERIFY(std::fabs(deviation - (n - 1.0) * apex) < 1e-3 * (n - 1.0) * apex);
    const double turn = std::acos(std::min(1.0, direction(a).dot(direction(b))));
    QVERIFY2(std::fabs(turn - dn * apex) < 2e-3 * dn * apex,
             qPrintable(QStringLiteral("turned %1 rad, dn A = %2").arg(turn).arg(dn * apex)));
}

// A thin cemented pair, crown wedge A1 (entrance against interface) over
// flint wedge A2 (interface against the flat exit), deviates the axis ray by
// (n1 - 1) A1 + (n2 - 1) A2. To first order, the crown's index changed by
// dn turns it by dn A1, the flint's by dn A2, and the interface tilted by t
// (A1 grows by t, A2 shrinks by it) by (n2 - n1) t, in the plane x-z.
void TestTolerance::cementedThinPairTurns_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("expected");  // rad, signed: positive turns like a larger crown index
    const double a1 = 0.012, a2 = -0.007, n1 = 1.5168, n2 = 1.62;
    const double t = 0.02;  // degrees
    QTest::newRow("crown index") << int(ToleranceKind::Index) << 0.001 << 0.001 * a1;
    QTest::newRow("flint index") << int(ToleranceKind::SecondIndex) << 0.001 << 0.001 * a2;
    QTest::newRow("interface tilt") << int(ToleranceKind::InterfaceTilt) << t << (n1 - n2) * -t * 3.14159265358979323846 / 180.0;
}

void TestTolerance::cementedThinPairTurns()
{
    QFETCH(int, kind);
    QFETCH(double, value);
    QFETCH(double, expected);
    const double a1 = 0.012, a2 = -0.007, n1 = 1.5168, n2 = 1.62;
    // Left half (x < 0): the entrance rises towards -x by tan(a1 + a2), the
    // interface by tan(a2).
    const PrismFit pair = cementedWedge(6.0, std::tan(a1 + a2), 3.0, std::tan(a2), n1, n2);
    const verify::PrismGeometry g = cementedCamera(pair);
    QCOMPARE(g.secondIndex, n2);
    Perturbation p;
    p.value[std::size_t(kind)] = value;
    // The ray of sensor point x = -1 mm (1.6 degrees off the axis) stays in
    // the left half; one along the axis would cross the ridge at x = 0 into
    // the mirrored right half.
    const double x = -1.0;
    const calibration::OutgoingRay a = madeRig(g, pair, Perturbation()).left(x, 0.0);
    const calibration::OutgoingRay b = madeRig(g, pair, p).left(x, 0.0);
    QVERIFY(a.valid && b.valid && a.origin[0] < -1.0);
    // The nominal deviation, signed in x: the thin pair's closed form.
    const double incoming = std::atan2(x, g.focalLength);
    const double deviation = std::atan2(direction(a).x(), -direction(a).z()) - incoming;
    const double thin = (n1 - 1.0) * a1 + (n2 - 1.0) * a2;
    QVERIFY2(std::fabs(std::fabs(deviation) - std::fabs(thin)) < 2e-3 * std::fabs(thin),
             qPrintable(QStringLiteral("deviation %1 rad, thin pair %2").arg(deviation).arg(thin)));
    const double turn = (std::atan2(direction(b).x(), -direction(b).z()) - incoming - deviation)
                        * (deviation / thin > 0 ? 1 : -1);
    qInfo("deviation %.6g rad (thin pair %.6g), turned %.6g rad (closed form %.6g)", deviation, thin, turn, expected);
    QVERIFY2(std::fabs(turn - expected) < 5e-3 * std::fabs(expected),
             qPrintable(QStringLiteral("turned %1 rad, closed form %2").arg(turn).arg(expected)));
}

// An interface between two pieces of the same glass is no surface at all:
// with the second glass's index error equal to the first's, any draw (the
// interface's form error and tilt included) gives the made camera of the
// single glass, ray for ray.
void TestTolerance::sameGlassInterfaceChangesNothing()
{
    const double n = 1.5;
    const PrismFit single = wedgePrismFit(6.0, 0.05);
    PrismFit same = cementedWedge(6.0, 0.05, 3.0, -0.03, n, n);
    same.interface.fit.surface.coefficients[4] = 0.4;  // curved too
    Tolerances limits;
    for (int k = 0; k < toleranceKindCount; ++k)
        limits.limit[std::size_t(k)] *= 5.0;
    for (std::int64_t trial = 0; trial < 4; ++trial) {
        Perturbation p = drawPerturbation(limits, 99, trial);
        QVERIFY(p.interface.rmsUm > 0.0 && p[ToleranceKind::InterfaceTilt] != 0.0);
        p.value[std::size_t(ToleranceKind::SecondIndex)] = p[ToleranceKind::Index];
        const calibration::StereoRig a = madeRig(smallCamera(n), single, p);
        const calibration::StereoRig b = madeRig(cementedCamera(same), same, p);
        int compared = 0;
        for (const double x : {-3.0, -1.2, -0.3, 0.4, 2.5})
            for (const double y : {-2.0, 0.0, 1.5}) {
                const calibration::OutgoingRay ra = (x < 0 ? a.left : a.right)(x, y);
                const calibration::OutgoingRay rb = (x < 0 ? b.left : b.right)(x, y);
                QCOMPARE(ra.valid, rb.valid);
                if (!ra.valid)
                    continue;
                ++compared;
                QVERIFY((direction(ra) - direction(rb)).norm() < 1e-12);
                const verify::Vec3 offset(rb.origin[0] - ra.origin[0], rb.origin[1] - ra.origin[1],
                                          rb.origin[2] - ra.origin[2]);
                QVERIFY(offset.cross(direction(ra)).norm() < 1e-9);
            }
        QVERIFY(compared >= 12);
    }
    // The draws of the earlier tolerances are those of a run without the
    // interface's: the three are drawn last.
    const Perturbation drawn = drawPerturbation(Tolerances(), 7, 3);
    Tolerances without;
    without[ToleranceKind::FormInterface] = without[ToleranceKind::InterfaceTilt] =
        without[ToleranceKind::SecondIndex] = 0.0;
    const Perturbation other = drawPerturbation(without, 7, 3);
    for (int k = 0; k < int(ToleranceKind::FormInterface); ++k)
        QCOMPARE(drawn.value[std::size_t(k)], other.value[std::size_t(k)]);
}

// The prism fit of the command-line run, cemented along a curved interface
// of the same glass: the tolerancing model loads it with both glasses, its
// unperturbed camera traces every ray as the verifier does, and its nominal
// figures are those of the single glass.
void TestTolerance::cementedNominalTracesAsVerifier()
{
    PrismFileContent content;
    QString error;
    QVERIFY2(readPrismFile(QDir(prism_).filePath("prism.json"), &content, &error), qPrintable(error));
    PrismInterface& i = content.fit.interface;
    i.present = true;
    i.crown = i.flint = QStringLiteral("custom");
    i.designWavelengthNm = 587.5618;
    i.crownIndex = i.flintIndex = double(content.panel.refractiveIndex);
    i.fit = content.fit.entrance;
    const double centre = 0.5 * (content.fit.entrance.surface.height(0.0, 0.0) - content.fit.exit.surface.height(0.0, 0.0));
    i.fit.surface.coefficients[0] -= centre;  // the entrance's shape, halfway down
    const QString cementedDir = dir_.filePath(QStringLiteral("cemented-same"));
    QVERIFY(QDir().mkpath(cementedDir));
    QVERIFY2(writePrismFile(cementedDir, content, &error), qPrintable(error));
    TrialSampling sampling;
    sampling.targetPointsAcrossHalf = 6;
    ToleranceModel single, cemented;
    QVERIFY2(single.load(prism_, sampling, &error), qPrintable(error));
    QVERIFY2(cemented.load(cementedDir, sampling, &error), qPrintable(error));
    QCOMPARE(cemented.geometry().secondIndex, i.flintIndex);
    // Ray for ray as the verifier traces the fit.
    const calibration::StereoRig rig = madeRig(cemented.geometry(), cemented.prism().fit, Perturbation());
    const verify::PrismSurfaces surfaces = verify::prismFitSurfaces(cemented.prism().fit);
    int traced = 0;
    for (int column = 20; column < 1920; column += 95)
        for (int row = 40; row < 1080; row += 250) {
            const double x = verify::pixelX(column), y = verify::pixelY(row);
            const verify::TracedRay t = verify::traceCameraRay(cemented.geometry(), surfaces, x, y);
            const calibration::OutgoingRay r = (x < 0 ? rig.left : rig.right)(x, y);
            QCOMPARE(r.valid, t.traced());
            if (!r.valid)
                continue;
            ++traced;
            QVERIFY(std::abs(t.interfacePoint.z()) > 0.0);  // it crossed the interface
            QVERIFY((direction(r) - t.direction).norm() < 1e-13);
            QVERIFY((verify::Vec3(r.origin[0], r.origin[1], r.origin[2]) - t.exitPoint).norm() < 1e-12);
        }
    QVERIFY(traced > 80);
    for (int k = 0; k < figureCount; ++k) {
        const double a = figureValue(single.nominal(), k), b = figureValue(cemented.nominal(), k);
        QVERIFY2(std::fabs(a - b) <= 1e-6 * std::max(1.0, std::fabs(a)),
                 qPrintable(QStringLiteral("%1: %2 against %3").arg(figureName(k)).arg(b).arg(a)));
    }
}

void TestTolerance::zeroTolerancesGiveNominal()
{
    const QString out = dir_.filePath(QStringLiteral("zero"));
    const Run r = tolerance(out, {"--tolerances", zeroFile_, "--trials", "3", "--seed", "5"});
    QVERIFY2(r.code == 0, r.err.constData());
    const QJsonObject summary = QJsonDocument::fromJson(readAll(QDir(out).filePath(summaryFileName))).object();
    const QJsonObject nominal = summary.value("nominal").toObject();
    QCOMPARE(nominal.value("status").toString(), QStringLiteral("ok"));
    const QList<QByteArray> lines = readAll(QDir(out).filePath(trialsFileName)).split('\n');
    QCOMPARE(lines.size(), 5);  // header, three rows, the empty rest
    for (int row = 1; row <= 3; ++row) {
        const QList<QByteArray> cells = lines[row].split(',');
        QCOMPARE(cells[1], QByteArray("ok"));
        for (int k = 0; k < figureCount; ++k) {
            QByteArray expected;
            appendJsonNumber(&expected, nominal.value(figureName(k)).toDouble());
            QCOMPARE(cells[3 + k], expected);
        }
        QCOMPARE(cells[3 + 7], QByteArray("0"));  // the baseline did not change
    }
    // The nominal figures against the library's own calibration of the
    // unperturbed prism (its own imaging, from the ideal pixels).
    PrismFileContent content;
    QString error;
    QVERIFY(readPrismFile(QDir(prism_).filePath("prism.json"), &content, &error));
    verify::PrismGeometry g;
    g.focalLength = content.panel.focalLength;
    g.prismDistance = content.panel.prismDistance;
    g.refractiveIndex = double(content.panel.refractiveIndex);
    g.virtualPinholeX = -content.panel.centralRayHitX;
    calibration::CalibrationOptions options;
    options.target.depthsMm = {300.0, 1000.0, 2000.0};
    options.target.pointsAcrossHalf = 6;
    const calibration::StereoCalibration c =
        calibration::calibrateStereoRig(calibration::prismRig(g, verify::prismFitSurfaces(content.fit)), options);
    QVERIFY(c.ok);
    QVERIFY(std::fabs(c.left.rmsPx - nominal.value("residualLeftPx").toDouble()) < 1e-6);
    QVERIFY(std::fabs(c.right.rmsPx - nominal.value("residualRightPx").toDouble()) < 1e-6);
    QVERIFY(std::fabs(c.depthError[1].rmsPercent - nominal.value("depthError1000mmPercent").toDouble()) < 1e-6);
    QVERIFY(std::fabs(c.baselineMm - nominal.value("baselineMm").toDouble()) < 1e-6);
}

void TestTolerance::sameSeedSameRows()
{
    const QString a = dir_.filePath(QStringLiteral("seedA")), b = dir_.filePath(QStringLiteral("seedB")),
                  c = dir_.filePath(QStringLiteral("seedC"));
    QCOMPARE(tolerance(a, {"--tolerances", smallFile_, "--trials", "3", "--seed", "11", "--threads", "1"}).code, 0);
    QCOMPARE(tolerance(b, {"--tolerances", smallFile_, "--trials", "3", "--seed", "11", "--threads", "2"}).code, 0);
    QCOMPARE(tolerance(c, {"--tolerances", smallFile_, "--trials", "3", "--seed", "12"}).code, 0);
    const QByteArray rowsA = readAll(QDir(a).filePath(trialsFileName));
    QVERIFY(rowsA.count('\n') == 4);
    QCOMPARE(readAll(QDir(b).filePath(trialsFileName)), rowsA);
    QVERIFY(readAll(QDir(c).filePath(trialsFileName)) != rowsA);
}

void TestTolerance::shardsByGnuParallelMergeToTheWholeRun()
{
    const QString parallel = QStandardPaths::findExecutable(QStringLiteral("parallel"));
    if (parallel.isEmpty())
        QSKIP("GNU parallel is not installed (scripts/install-deps.sh --test installs it)");
    const QString whole = dir_.filePath(QStringLiteral("whole"));
    const QStringList common{"--prism", prism_, "--tolerances", smallFile_, "--trials", "7", "--seed", "3",
                             "--target-points", "6", "--threads", "1"};
    QDir().mkpath(whole);
    const Run r = runCli(QStringList{"tolerance", "--output-dir", whole} + common);
    QVERIFY2(r.code == 0, r.err.constData());
    const QString shards = dir_.filePath(QStringLiteral("shards"));
    QProcess p;
    p.setWorkingDirectory(dir_.path());
    p.start(parallel, QStringList{"--halt", "now,fail=1", "-j", "2", QStringLiteral(HARVENLOTEK_CLI), "tolerance"}
                          + common
                          + QStringList{"--shard", "{}/4", "--output-dir", shards + "/shard-{}", ":::", "0", "1", "2",
                                        "3"});
    QVERIFY(p.waitForFinished(600000));
    QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());
    const QString merged = dir_.filePath(QStringLiteral("merged"));
    const Run m = runCli({"merge", "--output-dir", merged, shards + "/shard-2", shards + "/shard-0",
                          shards + "/shard-3", shards + "/shard-1"});
    QVERIFY2(m.code == 0, m.err.constData());
    const QByteArray rows = readAll(QDir(whole).filePath(trialsFileName));
    QCOMPARE(rows.count('\n'), 8);
    QCOMPARE(readAll(QDir(merged).filePath(trialsFileName)), rows);
    QCOMPARE(readAll(QDir(merged).filePath(summaryFileName)), readAll(QDir(whole).filePath(summaryFileName)));
}

void TestTolerance::mergeRefusesForeignMissingAndDuplicateShards()
{
    const QString base = dir_.filePath(QStringLiteral("mergecheck"));
    auto shard = [&](const QString& name, const QString& which, const QString& seed) {
        return tolerance(base + "/" + name, {"--tolerances", smallFile_, "--trials", "4", "--seed", seed,
                                             "--shard", which, "--threads", "1"})
            .code;
    };
    QCOMPARE(shard("s0", "0/3", "9"), 0);
    QCOMPARE(shard("s1", "1/3", "9"), 0);
    QCOMPARE(shard("s2", "2/3", "9"), 0);
    QCOMPARE(shard("foreign2", "2/3", "10"), 0);
    const QString out = base + "/out";

    Run r = runCli({"merge", "--output-dir", out, base + "/s0", base + "/s1", base + "/foreign2"});
    QCOMPARE(r.code, 2);
    QVERIFY2(r.err.contains("another run") && r.err.contains("seed"), r.err.constData());
    QCOMPARE(r.err.count('\n'), 1);
    r = runCli({"merge", "--output-dir", out, base + "/s0", base + "/s2"});
    QCOMPARE(r.code, 2);
    QVERIFY2(r.err.contains("missing shard: 1/3"), r.err.constData());
    r = runCli({"merge", "--output-dir", out, base + "/s0", base + "/s1", base + "/s1", base + "/s2"});
    QCOMPARE(r.code, 2);
    QVERIFY2(r.err.contains("shard 1/3 is given twice"), r.err.constData());
    QVERIFY(!QFile::exists(out + "/" + trialsFileName));
    r = runCli({"merge", "--output-dir", out, base + "/s0", base + "/s1", base + "/s2"});
    QVERIFY2(r.code == 0, r.err.constData());
    QCOMPARE(readAll(out + "/" + trialsFileName).count('\n'), 5);
}

// SIGTERM (as Ctrl-C's SIGINT) once the trials run: exit 130, no file.
void TestTolerance::interruptedRunWritesNothing()
{
    const QString out = dir_.filePath(QStringLiteral("interrupted"));
    QVERIFY(QDir().mkpath(out));
    QProcess p;
    p.start(QStringLiteral(HARVENLOTEK_CLI), {"tolerance", "--prism", prism_, "--trials", "500", "--threads", "1",
                                              "--output-dir", out});
    QVERIFY(p.waitForStarted());
    QByteArray err;
    QElapsedTimer timer;
    timer.start();
    while (!err.contains("trials, ") && timer.elapsed() < 120000 && p.state() == QProcess::Running) {
        p.waitForReadyRead(200);
        err += p.readAllStandardError();
    }
    QVERIFY2(err.contains("trials, "), err.constData());
    p.terminate();
    QVERIFY(p.waitForFinished(120000));
    err += p.readAllStandardError();
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 130);
    QVERIFY2(err.contains("interrupted; nothing written"), err.constData());
    QVERIFY(QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
}

void TestTolerance::badInputIsRefused_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("unknown tolerance") << QByteArray("{\"tolerances\": {\"wedgeDeg\": 0.1}}") << QStringList()
                                       << QByteArray("unknown tolerance 'wedgeDeg'");
    QTest::newRow("negative") << QByteArray("{\"tolerances\": {\"index\": -0.001}}") << QStringList()
                              << QByteArray("index must be a finite limit");
    QTest::newRow("decentre beyond the prism") << QByteArray("{\"tolerances\": {\"decentreXMm\": 500}}")
                                               << QStringList() << QByteArray("larger than the prism");
    QTest::newRow("second index beyond a glass") << QByteArray("{\"tolerances\": {\"secondIndex\": 0.2}}")
                                                 << QStringList() << QByteArray("secondIndex = 0.2 is beyond");
    QTest::newRow("interface tilt beyond") << QByteArray("{\"tolerances\": {\"interfaceTiltDeg\": 12}}")
                                           << QStringList() << QByteArray("interfaceTiltDeg = 12 is beyond");
    QTest::newRow("interface form negative") << QByteArray("{\"tolerances\": {\"formErrorInterfaceUm\": -1}}")
                                             << QStringList() << QByteArray("formErrorInterfaceUm must be a finite");
    QTest::newRow("criterion zero") << QByteArray("{\"criteria\": {\"maxResidualPx\": 0}}") << QStringList()
                                    << QByteArray("must be positive");
    QTest::newRow("shard outside") << QByteArray("{}") << QStringList{"--shard", "4/4"} << QByteArray("--shard");
    QTest::newRow("shard negative") << QByteArray("{}") << QStringList{"--shard", "-1/4"} << QByteArray("--shard");
    QTest::newRow("no trials") << QByteArray("{}") << QStringList{"--trials", "0"} << QByteArray("--trials");
    QTest::newRow("prism that does not verify") << QByteArray("{}") << QStringList{"--prism", "BROKEN"}
                                                << QByteArray("does not verify");
    QTest::newRow("not a prism file") << QByteArray("{}") << QStringList{"--prism", "NOTJSON"} << QByteArray("");
}

void TestTolerance::badInputIsRefused()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, extra);
    QFETCH(QByteArray, message);
    QTemporaryDir scratch;
    const QString tolerances = scratch.filePath("t.json");
    QVERIFY(writeText(tolerances, file));
    // A prism whose entrance lies below its exit: no ray gets through.
    PrismFileContent broken;
    broken.fit = wedgePrismFit(-5.0, 0.0);
    broken.panel.focalLength = 35;
    broken.panel.prismDistance = 175;
    QString error;
    QVERIFY(writePrismFile(scratch.path(), broken, &error));
    QVERIFY(writeText(scratch.filePath("bad.json"), "not json"));
    for (QString& e : extra) {
        if (e == QLatin1String("BROKEN"))
            e = scratch.filePath("prism.json");
        if (e == QLatin1String("NOTJSON"))
            e = scratch.filePath("bad.json");
    }
    const QString out = scratch.filePath("out");
    QVERIFY(QDir().mkpath(out));
    QStringList args{"tolerance", "--prism", prism_, "--tolerances", tolerances, "--trials", "2", "--output-dir", out};
    args += extra;  // a later --prism or --trials replaces the first
    const Run r = runCli(args);
    QCOMPARE(r.code, 2);
    QCOMPARE(r.err.count('\n'), 1);
    QVERIFY2(r.err.contains(message), r.err.constData());
    QVERIFY(QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
}

void TestTolerance::toleranceFileParsing_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<double>("decentreX");
    QTest::addColumn<double>("form");
    QTest::newRow("empty: defaults") << QByteArray("{}") << true << 0.05 << 1.0;
    QTest::newRow("one changed") << QByteArray("{\"tolerances\": {\"formErrorExitUm\": 2}}") << true << 0.05 << 1.0;
    QTest::newRow("decentre") << QByteArray("{\"tolerances\": {\"decentreXMm\": 0.02}}") << true << 0.02 << 1.0;
    QTest::newRow("string value") << QByteArray("{\"tolerances\": {\"decentreXMm\": \"0.02\"}}") << false << 0.0 << 0.0;
    QTest::newRow("unknown top member") << QByteArray("{\"tolerance\": {}}") << false << 0.0 << 0.0;
    QTest::newRow("unknown criterion") << QByteArray("{\"criteria\": {\"yield\": 0.9}}") << false << 0.0 << 0.0;
    QTest::newRow("array") << QByteArray("[1]") << false << 0.0 << 0.0;
}

void TestTolerance::toleranceFileParsing()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ok);
    ToleranceFile file;
    QString error;
    QCOMPARE(parseToleranceFile(text, &file, &error), ok);
    if (!ok) {
        QVERIFY(!error.isEmpty());
        return;
    }
    QFETCH(double, decentreX);
    QFETCH(double, form);
    QCOMPARE(file.tolerances[ToleranceKind::DecentreX], decentreX);
    QCOMPARE(file.tolerances[ToleranceKind::FormEntrance], form);
}

QTEST_GUILESS_MAIN(TestTolerance)
#include "tst_tolerance.moc"
