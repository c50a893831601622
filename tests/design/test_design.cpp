// The design: its record, the Runge-Kutta step and the number format, then
// whole runs into real files (formats, symmetry, the law of refraction at
// both surfaces, the central column, thread counts, old and blocked files).

#include "design/design_files.h"
#include "design/design_record.h"
#include "design/design_run.h"
#include "design/ray_trace.h"
#include "../io/test_files.h"
#include "../refraction/prism_geometry.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <random>
#include <vector>

namespace {

// The panel's start values with the sketch's point, and that set-up written
// out independently of the code.
const DesignParameters start{35, 1920, 20.0f, 175, 100, 1.48f, 14.876, 12.784};
const double F = 210.0;              // camera pinhole height
const double dz = -35.0;             // image plane below the pinhole
const double q = 1920 * 0.0055 / 4;  // half of a half sensor
const double n = double(1.48f);
using geometry::Vec;

// Within refraction: the shared misfit with this panel's index.
double misfit(Vec t, Vec inside, Vec outside) { return geometry::misfit(t, inside, outside, n); }

bool near(double a, double b) { return std::fabs(a - b) < 1e-9; }

// The point at height h on the ray from the pinhole (px, 0, F) along (sx, sy, dz),
// and its derivative by y when h' = dh/dy: the surface tangent along a column.
Vec onRay(double h, double sx, double sy, double px = 0) { return {px + (h - F) * sx / dz, (h - F) * sy / dz, h}; }
Vec alongColumn(double dh, double h, double sx, double y) { return {dh * sx / dz, (dh * y + h - F) / dz, dh}; }

// The numbers of each line; empty when a line has another field count or
// the text does not end with a newline.
std::vector<std::vector<double>> parseLines(const QByteArray& text, int fieldsPerLine)
{
    std::vector<std::vector<double>> lines;
    for (const QByteArray& row : text.left(text.size() - 1).split('\n')) {
        const QList<QByteArray> fields = row.split(' ');
        if (fields.size() != fieldsPerLine || !text.endsWith('\n'))
            return {};
        lines.emplace_back();
        for (const QByteArray& field : fields)
            lines.back().push_back(field.toDouble());
    }
    return lines;
}

// First line whose fields are not the buffers' values to six digits; -1 if none.
int firstMismatch(const std::vector<std::vector<double>>& lines, std::vector<const double*> buffers, std::size_t stride)
{
    for (std::size_t i = 0; i < lines.size(); ++i)
        for (std::size_t k = 0; k < buffers.size(); ++k) {
            const double exact = buffers[k][stride * i];
            if (!(std::fabs(lines[i][k] - exact) <= 5.000001e-6 * std::fabs(exact)))
                return int(i);
        }
    return -1;
}

} // namespace

class TestDesign : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    std::unique_ptr<ScopedDesignRecord> reference_;  // one-thread run, kept for its buffers
    DesignRunResult result_;
    QByteArray profile_, grid_;
    std::vector<std::vector<double>> gridLines_;

private slots:
    void initTestCase()
    {
        reference_ = std::make_unique<ScopedDesignRecord>(2, 480, 540);
        const DesignRecord& r = **reference_;
        fillDesignRecord(**reference_, start);
        // The files are compared number by number: pi as written, the sketch's
        // float index exactly, the sketch's point.
        QVERIFY(r.prismAngle == 20.0 * 3.1415926535898 / 180 && r.refractiveIndex == n && r.pinholeHeight == F);
        QVERIFY(r.virtualPinholeX == -14.876 && r.startExitHeight == 0.0 && r.startEntranceHeight == 12.784);
        result_ = traceDesign(**reference_, {dir_.path(), 1});
        QVERIFY(dir_.isValid() && result_.profileWritten && result_.gridWritten);
        profile_ = fileBytes(dir_.filePath("output.txt"));
        grid_ = fileBytes(dir_.filePath("outputall.txt"));
        gridLines_ = parseLines(grid_, 6);
    }

    // A create that fails part way (a grid beyond memory, or beyond the
    // address space) leaves a record that releases cleanly; a created one is
    // usable to its last element; releasing twice frees nothing twice.
    void recordReleasesOnEveryPath()
    {
        DesignRecord record;
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer aborts on an oversized request instead of throwing
        for (int steps : {1 << 20, std::numeric_limits<int>::max()}) {
            QVERIFY_EXCEPTION_THROWN(designRecordCreate(&record, 2, steps, steps), std::bad_alloc);
            designRecordRelease(&record);
        }
#endif
        designRecordCreate(&record, 2, 480, 540);
        record.gridZ[1][8 * 480 * 540 - 1] = record.rowX[1][4 * 480 - 1] = record.columnY[1][2 * 540 - 1] = 1.0;
        designRecordRelease(&record);
        QVERIFY(!record.state && !record.gridZ && !record.passY && !record.stepStart);
        designRecordRelease(&record);
    }

    // Line and field counts, and each field the buffer's value to six digits:
    // the row profile, and every tenth grid element.
    void filesHoldTheBuffers()
    {
        const DesignRecord& r = **reference_;
        const auto profile = parseLines(profile_, 4);
        QCOMPARE(int(profile.size()), 1920);
        QCOMPARE(firstMismatch(profile, {r.rowX[0], r.rowHeights[0], r.rowX[1], r.rowHeights[1]}, 1), -1);
        QCOMPARE(int(gridLines_.size()), 207360);
        QCOMPARE(firstMismatch(gridLines_,
                               {r.gridX[0], r.gridY[0], r.gridZ[0], r.gridX[1], r.gridY[1], r.gridZ[1]}, 10), -1);
    }

    void rowHeightsAreMirrored()
    {
        for (double* heights : {(*reference_)->rowHeights[0], (*reference_)->rowHeights[1]})
            for (int b = 0; b < 1920; ++b)
                QVERIFY2(heights[b] == heights[1919 - b], QByteArray::number(b));  // bit for bit
    }

    void surfacesRefract_data()
    {
        QTest::addColumn<int>("column");
        for (int b : {0, 479, 480, 959, 960, 961, 1500, 1919})
            QTest::newRow(qPrintable(QString("column %1").arg(b))) << b;
    }

    // The points lie on the rays of their pixels (exit: the virtual camera's,
    // entrance: the camera's), and the surface tangents from the integrated
    // derivative are perpendicular to n u - v at the exit and n u - w at the
    // entrance: along the column on both surfaces, along the row at the exit.
    void surfacesRefract()
    {
        QFETCH(int, column);
        const DesignRecord& r = **reference_;
        const double x = column * 0.0055 - 2 * q, xv = x < 0 ? x + q : x - q, px = x < 0 ? -14.876 : 14.876;
        const double s = (x < 0 ? -1 : 1) * std::sin(20 * 3.14159265358979 / 180);
        double slope[2];
        const double row[2] = {r.rowHeights[0][column], r.rowHeights[1][column]};
        const Vec rowExit = onRay(row[0], xv, 0, px), rowEntrance = onRay(row[1], x, 0);
        QVERIFY(near(r.rowX[0][column], rowExit.x) && near(r.rowX[1][column], rowEntrance.x));
        rowDerivative(r, x, row, slope, px, s);
        QVERIFY(misfit({slope[0] * xv / dz + (row[0] - F) / dz, 0, slope[0]}, rowExit - rowEntrance, {xv, 0, dz}) < 1e-9);
        for (int entry : {0, 1, 137, 539, 540, 800, 1079}) {
            const QByteArray where = "entry " + QByteArray::number(entry);
            const std::size_t e = std::size_t(column) * 1080 + std::size_t(entry);
            const double h[2] = {r.gridZ[0][e], r.gridZ[1][e]};
            const double pitch = entry < 540 ? -0.0055 : 0.0055;
            const double y0 = (entry % 540) * pitch, y = (entry % 540 + 1) * pitch;  // the step's start and end
            const Vec exitPoint = onRay(h[0], xv, y0, px), entrancePoint = onRay(h[1], x, y0);
            QVERIFY2(near(r.gridX[0][e], exitPoint.x) && near(r.gridY[0][e], exitPoint.y), where);
            QVERIFY2(near(r.gridX[1][e], entrancePoint.x) && near(r.gridY[1][e], entrancePoint.y), where);
            columnDerivative(r, x, y, h, slope, px, s);  // the heights hold at the step's end
            const Vec u = onRay(h[0], xv, y, px) - onRay(h[1], x, y);
            QVERIFY2(misfit(alongColumn(slope[0], h[0], xv, y), u, {xv, y, dz}) < 1e-9, where);
            QVERIFY2(misfit(alongColumn(slope[1], h[1], x, y), u, {x, y, dz}) < 1e-9, where);
        }
    }

    // Column 960 (x = 0) is finite and continues its neighbours. The exit
    // surfaces of the two halves cross the centre line, so its exit x is
    // compared with its own half: close to the straight continuation of
    // columns 961 and 962. Every other field lies between columns 959 and 961.
    void centralColumnIsMended()
    {
        QCOMPARE(result_.nonFiniteGridLines, 0);
        for (std::size_t k = 960 * 108; k < 961 * 108; ++k) {
            const std::vector<double>&mid = gridLines_[k], &left = gridLines_[k - 108], &right = gridLines_[k + 108];
            const QByteArray where = "line " + QByteArray::number(int(k));
            const double step = right[0] - gridLines_[k + 216][0];  // exit x from column 962 to 961
            QVERIFY2(std::fabs(mid[0] - (right[0] + step)) < 0.25 * std::fabs(step), where);
            for (std::size_t f = 1; f < 6; ++f)  // between: (m - l)(m - r) <= 0, to the printed digits
                QVERIFY2((mid[f] - left[f]) * (mid[f] - right[f]) <= 1e-5 * std::fabs(left[f] * (left[f] - right[f])), where);
        }
    }

    void laterRunsGiveTheSameBytes_data()
    {
        QTest::addColumn<int>("threads");
        QTest::newRow("two threads") << 2;
        QTest::newRow("seven threads") << 7;
    }

    // A run on several threads, over longer files of an earlier run, writes the
    // one-thread run's bytes: no old lines stay behind.
    void laterRunsGiveTheSameBytes()
    {
        QFETCH(int, threads);
        QTemporaryDir dir;
        for (const char* name : {"output.txt", "outputall.txt"})
            putFile(dir.filePath(name), QByteArray(12 << 20, 'x').replace(100, 1, "\n"));
        runDesign(start, {dir.path(), threads});
        QVERIFY(fileBytes(dir.filePath("output.txt")) == profile_);
        QVERIFY(fileBytes(dir.filePath("outputall.txt")) == grid_);
    }

    // The two files are one set: when one cannot be written, neither is
    // replaced, the result names both, and nothing crashes.
    void blockedFilesAreSkipped()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("out/output.txt"));
        putFile(dir.filePath("out/outputall.txt"), "old\n");
        DesignRunResult result = runDesign(start, {dir.filePath("out"), 0});
        QVERIFY(!result.profileWritten && !result.gridWritten && result.nonFiniteGridLines == 0);
        QVERIFY(result.error.contains("output.txt") && result.error.contains("directory"));
        QCOMPARE(result.notReplaced, QStringList({"output.txt", "outputall.txt", "design.json"}));
        QCOMPARE(fileBytes(dir.filePath("out/outputall.txt")), QByteArray("old\n"));
        QCOMPARE(entries(dir.filePath("out")), QStringList({"output.txt", "outputall.txt"}));  // no temporary file left
        result = runDesign(start, {dir.filePath("no/such/directory"), 0});
        QVERIFY(!result.profileWritten && !result.gridWritten && result.nonFiniteGridLines == 0);
    }

    void cancelDuringColumns_data()
    {
        QTest::addColumn<int>("model");
        QTest::addColumn<unsigned>("seed");
        for (unsigned seed : {1u, 2u, 3u}) {
            QTest::addRow("classic, seed %u", seed) << int(DesignModel::Classic) << seed;
            QTest::addRow("refraction, seed %u", seed) << int(DesignModel::Refraction) << seed;
        }
    }

    // Cancelled when the columns are a seeded fraction done: the run leaves by
    // OperationCancelled with no file and no temporary file in the directory,
    // and the progress it reported only rose. Over an earlier run's files,
    // those stay as they were.
    void cancelDuringColumns()
    {
        QFETCH(int, model);
        QFETCH(unsigned, seed);
        std::mt19937 random(seed);
        const double at = 0.05 + 0.8 * double(random() % 1000) / 1000.0;
        QTemporaryDir dir;
        DesignRunOptions options{dir.path(), 2};
        options.model = DesignModel(model);
        core::Progress progress;
        double last = 0.0;
        bool rising = true;
        progress.setListener([&](double fraction, const std::string& stage) {
            rising = rising && fraction >= last && stage == "design";
            last = fraction;
            if (fraction >= at)
                progress.cancel();
        });
        options.progress = &progress;
        const auto cancelledRun = [&] {
            try {
                runDesign(start, options);
            } catch (const core::OperationCancelled&) {
                return true;
            }
            return false;
        };
        QVERIFY2(cancelledRun(), qPrintable(QStringLiteral("not cancelled at %1").arg(at)));
        QVERIFY(rising && last >= at && last < 1.0);
        QCOMPARE(entries(dir.path()), QStringList());

        putFile(dir.filePath("outputall.txt"), "old\n");
        core::Progress again;
        again.setListener([&](double fraction, const std::string&) {
            if (fraction >= at)
                again.cancel();
        });
        options.progress = &again;
        QVERIFY(cancelledRun());
        QCOMPARE(entries(dir.path()), QStringList({"outputall.txt"}));
        QCOMPARE(fileBytes(dir.filePath("outputall.txt")), QByteArray("old\n"));
    }

    // Not cancelled, the progress ends at exactly 1 and the files are those
    // of a run without a token.
    void progressEndsAtOne()
    {
        QTemporaryDir dir;
        core::Progress progress;
        DesignRunOptions options{dir.path(), 2};
        options.progress = &progress;
        runDesign(start, options);
        QCOMPARE(progress.fraction(), 1.0);
        QVERIFY(fileBytes(dir.filePath("outputall.txt")) == grid_);
    }
};

QTEST_GUILESS_MAIN(TestDesign)
#include "test_design.moc"
