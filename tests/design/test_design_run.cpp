// Whole design runs into real files: the file formats, the symmetry of the
// row, the points against the pixel rays, the law of refraction at both
// surfaces, the central column, thread counts and unwritable outputs.

#include "design/design_record.h"
#include "design/design_run.h"
#include "design/ray_trace.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <memory>
#include <vector>

namespace {

// The start values of the panel with the sketch's point.
DesignParameters startParameters()
{
    DesignParameters p;
    p.centralRayHitX = 14.876;
    p.centralRayHitY = 12.784;
    return p;
}

// The set-up of startParameters, written out independently of the code.
const double F = 210.0;                                  // camera pinhole height
const double dz = -35.0;                                 // image plane below the pinhole
const double q = 1920 * 0.0055 / 4;                      // half of a half sensor
const double n = double(1.48f);
const double leftPinholeX = -14.876;                     // right half: +14.876
const double sine = std::sin(20 * 3.14159265358979 / 180);

struct Vec {
    double x, y, z;
};
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec operator*(double s, Vec a) { return {s * a.x, s * a.y, s * a.z}; }
double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec unit(Vec a) { return (1 / std::sqrt(dot(a, a))) * a; }
double cosine(Vec a, Vec b) { return dot(a, b) / std::sqrt(dot(a, a) * dot(b, b)); }

double sensorX(int column) { return column * 0.0055 - 2 * q; }
double shifted(double x) { return x < 0 ? x + q : x - q; }
double pinholeX(double x) { return x < 0 ? leftPinholeX : -leftPinholeX; }

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Lines of numbers; fails the test on a malformed line.
std::vector<std::vector<double>> parseLines(const QByteArray& text, int fieldsPerLine)
{
    std::vector<std::vector<double>> lines;
    if (!text.endsWith('\n'))
        return lines;
    for (const QByteArray& line : text.left(text.size() - 1).split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != fieldsPerLine)
            return {};
        std::vector<double> values;
        for (const QByteArray& field : fields) {
            char* end = nullptr;
            values.push_back(std::strtod(field.constData(), &end));
            if (field.isEmpty() || *end != '\0')
                return {};
        }
        lines.push_back(values);
    }
    return lines;
}

bool sameToSixDigits(double printed, double exact)
{
    if (std::isnan(exact))
        return std::isnan(printed);
    return std::fabs(printed - exact) <= 5.000001e-6 * std::fabs(exact);
}

} // namespace

class TestDesignRun : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void filesHoldTheBuffers();
    void rowHeightsAreMirrored();
    void pointsLieOnTheirPixelRays_data();
    void pointsLieOnTheirPixelRays();
    void columnsRefract_data();
    void columnsRefract();
    void rowRefractsAtExit();
    void centralColumnIsMended();
    void secondRunReplacesFiles();
    void threadCountLeavesFilesUnchanged_data();
    void threadCountLeavesFilesUnchanged();
    void unwritableOutput_data();
    void unwritableOutput();

private:
    QTemporaryDir dir_;
    std::unique_ptr<ScopedDesignRecord> reference_;  // one-thread run, kept for its buffers
    DesignRunResult result_;
    QByteArray profile_;
    QByteArray grid_;
};

void TestDesignRun::initTestCase()
{
    QVERIFY(dir_.isValid());
    reference_ = std::make_unique<ScopedDesignRecord>(2, 480, 540);
    fillDesignRecord(**reference_, startParameters());
    result_ = traceDesign(**reference_, {dir_.path(), 1});
    QVERIFY(result_.profileWritten && result_.gridWritten);
    QCOMPARE(result_.threadCount, 1);
    profile_ = readAll(dir_.filePath("output.txt"));
    grid_ = readAll(dir_.filePath("outputall.txt"));
}

void TestDesignRun::filesHoldTheBuffers()
{
    const DesignRecord& r = **reference_;
    const auto profile = parseLines(profile_, 4);
    QCOMPARE(int(profile.size()), 1920);
    for (int i = 0; i < 1920; ++i) {
        const double exact[4] = {r.rowX[0][i], r.rowHeights[0][i], r.rowX[1][i], r.rowHeights[1][i]};
        for (int k = 0; k < 4; ++k)
            QVERIFY2(sameToSixDigits(profile[std::size_t(i)][std::size_t(k)], exact[k]), qPrintable(QString::number(i)));
    }
    const auto grid = parseLines(grid_, 6);
    QCOMPARE(int(grid.size()), 207360);
    for (int line = 0; line < 207360; ++line) {
        const std::size_t e = std::size_t(10) * line;
        const double exact[6] = {r.gridX[0][e], r.gridY[0][e], r.gridZ[0][e], r.gridX[1][e], r.gridY[1][e], r.gridZ[1][e]};
        for (int k = 0; k < 6; ++k)
            QVERIFY2(sameToSixDigits(grid[std::size_t(line)][std::size_t(k)], exact[k]), qPrintable(QString::number(line)));
    }
}

void TestDesignRun::rowHeightsAreMirrored()
{
    const DesignRecord& r = **reference_;
    for (int c = 0; c < 2; ++c)
        for (int b = 0; b < 1920; ++b)
            QCOMPARE(r.rowHeights[c][b], r.rowHeights[c][1919 - b]);
}

void TestDesignRun::pointsLieOnTheirPixelRays_data()
{
    QTest::addColumn<int>("column");
    for (int b : {0, 479, 480, 959, 960, 1500, 1919})
        QTest::newRow(qPrintable(QString("column %1").arg(b))) << b;
}

// Each grid point lies on the ray of its pixel (exit: the virtual camera's
// ray, entrance: the camera's), at the pixel y of the start of its step; the
// row profile the same at y = 0.
void TestDesignRun::pointsLieOnTheirPixelRays()
{
    QFETCH(int, column);
    const DesignRecord& r = **reference_;
    const double x = sensorX(column);
    for (int entry = 0; entry < 1080; ++entry) {
        const double y = (entry % 540) * (entry < 540 ? -0.0055 : 0.0055);
        const std::size_t e = std::size_t(column) * 1080 + std::size_t(entry);
        const double h0 = r.gridZ[0][e];
        const double h1 = r.gridZ[1][e];
        QVERIFY(std::fabs(r.gridX[0][e] - ((h0 - F) * shifted(x) / dz + pinholeX(x))) < 1e-9);
        QVERIFY(std::fabs(r.gridY[0][e] - (h0 - F) * y / dz) < 1e-9);
        QVERIFY(std::fabs(r.gridX[1][e] - (h1 - F) * x / dz) < 1e-9);
        QVERIFY(std::fabs(r.gridY[1][e] - (h1 - F) * y / dz) < 1e-9);
    }
    QVERIFY(std::fabs(r.rowX[0][column] - ((r.rowHeights[0][column] - F) * shifted(x) / dz + pinholeX(x))) < 1e-9);
    QVERIFY(std::fabs(r.rowX[1][column] - (r.rowHeights[1][column] - F) * x / dz) < 1e-9);
}

void TestDesignRun::columnsRefract_data()
{
    QTest::addColumn<int>("column");
    for (int b : {7, 700, 959, 960, 961, 1500, 1912})
        QTest::newRow(qPrintable(QString("column %1").arg(b))) << b;
}

// Along a column the surface tangent from the integrated derivative is
// perpendicular to n u - v at the exit and to n u - w at the entrance.
void TestDesignRun::columnsRefract()
{
    QFETCH(int, column);
    const DesignRecord& r = **reference_;
    const double x = sensorX(column);
    const double xv = shifted(x);
    for (int entry : {0, 1, 137, 539, 540, 800, 1079}) {
        const int j = entry % 540;
        const double y = (j + 1) * (entry < 540 ? -0.0055 : 0.0055);  // the heights hold at the step's end
        const std::size_t e = std::size_t(column) * 1080 + std::size_t(entry);
        const double h0 = r.gridZ[0][e];
        const double h1 = r.gridZ[1][e];
        const double state[2] = {h0, h1};
        double slope[2];
        columnDerivative(r, x, y, state, slope, pinholeX(x), x < 0 ? -sine : sine);

        const Vec v = unit({xv, y, dz});
        const Vec w = unit({x, y, dz});
        const Vec exitPoint{pinholeX(x) + (h0 - F) * xv / dz, (h0 - F) * y / dz, h0};
        const Vec entrancePoint{(h1 - F) * x / dz, (h1 - F) * y / dz, h1};
        const Vec u = unit(exitPoint - entrancePoint);
        const Vec exitTangent{slope[0] * xv / dz, slope[0] * y / dz + (h0 - F) / dz, slope[0]};
        const Vec entranceTangent{slope[1] * x / dz, slope[1] * y / dz + (h1 - F) / dz, slope[1]};
        const QString where = QString("entry %1").arg(entry);
        QVERIFY2(std::fabs(cosine(exitTangent, n * u - v)) < 1e-9, qPrintable(where));
        QVERIFY2(std::fabs(cosine(entranceTangent, n * u - w)) < 1e-9, qPrintable(where));
    }
}

void TestDesignRun::rowRefractsAtExit()
{
    const DesignRecord& r = **reference_;
    for (int b : {0, 300, 479, 480, 900, 959, 960, 1100, 1500, 1919}) {
        const double x = sensorX(b);
        const double xv = shifted(x);
        const double h0 = r.rowHeights[0][b];
        const double h1 = r.rowHeights[1][b];
        const double state[2] = {h0, h1};
        double slope[2];
        rowDerivative(r, x, state, slope, pinholeX(x), x < 0 ? -sine : sine);
        const Vec v = unit({xv, 0, dz});
        const Vec u = unit(Vec{pinholeX(x) + (h0 - F) * xv / dz, 0, h0} - Vec{(h1 - F) * x / dz, 0, h1});
        const Vec tangent{slope[0] * xv / dz + (h0 - F) / dz, 0, slope[0]};
        QVERIFY2(std::fabs(cosine(tangent, n * u - v)) < 1e-9, qPrintable(QString::number(b)));
    }
}

// Column 960 (x = 0) is finite and continues its neighbours. The exit
// surfaces of the two halves cross the centre line, so its exit x is
// compared with its own half: close to the straight continuation of
// columns 961 and 962. Every other field lies between columns 959 and 961.
void TestDesignRun::centralColumnIsMended()
{
    QCOMPARE(result_.nonFiniteGridLines, 0);
    const auto grid = parseLines(grid_, 6);
    QCOMPARE(int(grid.size()), 207360);
    auto at = [&grid](int column, int k) { return grid[std::size_t(column * 108 + k)]; };
    for (int k = 0; k < 108; ++k) {
        const std::vector<double> mid = at(960, k), left = at(959, k), right = at(961, k), next = at(962, k);
        const QString where = QString("line %1").arg(960 * 108 + k);
        for (double value : mid)
            QVERIFY2(std::isfinite(value), qPrintable(where));
        QVERIFY2(std::fabs(mid[0] - (2 * right[0] - next[0])) < 0.25 * std::fabs(right[0] - next[0]), qPrintable(where));
        for (int f = 1; f < 6; ++f) {
            const double slack = 1e-5 * std::fabs(mid[std::size_t(f)]) + 1e-12;
            QVERIFY2(mid[std::size_t(f)] >= std::min(left[std::size_t(f)], right[std::size_t(f)]) - slack, qPrintable(where));
            QVERIFY2(mid[std::size_t(f)] <= std::max(left[std::size_t(f)], right[std::size_t(f)]) + slack, qPrintable(where));
        }
    }
}

void TestDesignRun::secondRunReplacesFiles()
{
    QTemporaryDir dir;
    for (const char* name : {"output.txt", "outputall.txt"}) {
        QFile old(dir.filePath(name));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(12 * 1024 * 1024, 'x').replace(100, 1, "\n"));
    }
    const DesignRunResult result = runDesign(startParameters(), {dir.path(), 0});
    QVERIFY(result.profileWritten && result.gridWritten);
    QCOMPARE(readAll(dir.filePath("output.txt")), profile_);
    QCOMPARE(readAll(dir.filePath("outputall.txt")), grid_);
}

void TestDesignRun::threadCountLeavesFilesUnchanged_data()
{
    QTest::addColumn<int>("threads");
    QTest::newRow("two") << 2;
    QTest::newRow("three") << 3;
    QTest::newRow("seven") << 7;
}

void TestDesignRun::threadCountLeavesFilesUnchanged()
{
    QFETCH(int, threads);
    QTemporaryDir dir;
    const DesignRunResult result = runDesign(startParameters(), {dir.path(), threads});
    QCOMPARE(result.threadCount, threads);
    QVERIFY(readAll(dir.filePath("output.txt")) == profile_);
    QVERIFY(readAll(dir.filePath("outputall.txt")) == grid_);
}

void TestDesignRun::unwritableOutput_data()
{
    QTest::addColumn<QString>("blocker");        // what stands in the way
    QTest::addColumn<QString>("subdirectory");   // output directory below the temporary one
    QTest::addColumn<bool>("profileWritten");
    QTest::addColumn<bool>("gridWritten");
    QTest::newRow("missing directory") << QString() << "no/such/directory" << false << false;
    QTest::newRow("file in place of the directory") << "plain" << "plain" << false << false;
    QTest::newRow("directory named output.txt") << "out/output.txt/" << "out" << false << true;
    QTest::newRow("directory named outputall.txt") << "out/outputall.txt/" << "out" << true << false;
}

void TestDesignRun::unwritableOutput()
{
    QFETCH(QString, blocker);
    QFETCH(QString, subdirectory);
    QFETCH(bool, profileWritten);
    QFETCH(bool, gridWritten);
    QTemporaryDir dir;
    if (blocker.endsWith('/')) {
        QVERIFY(QDir(dir.path()).mkpath(blocker));
    } else if (!blocker.isEmpty()) {
        QFile file(dir.filePath(blocker));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const QString output = dir.filePath(subdirectory);
    const DesignRunResult result = runDesign(startParameters(), {output, 0});
    QCOMPARE(result.profileWritten, profileWritten);
    QCOMPARE(result.gridWritten, gridWritten);
    QCOMPARE(result.nonFiniteGridLines, 0);
    QCOMPARE(QFileInfo(output + "/output.txt").isFile(), profileWritten);
    QCOMPARE(QFileInfo(output + "/outputall.txt").isFile(), gridWritten);
    if (profileWritten)
        QCOMPARE(readAll(output + "/output.txt"), profile_);
    if (gridWritten)
        QVERIFY(readAll(output + "/outputall.txt") == grid_);
}

QTEST_GUILESS_MAIN(TestDesignRun)
#include "test_design_run.moc"
