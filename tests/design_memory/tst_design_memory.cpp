// The design holding only what it writes: a run on a record that keeps every
// tenth grid point writes the files of a whole-grid run byte for byte, and
// the results it keeps in memory are those of the whole grid; two columns
// integrated side by side are each the column integrated alone.
#include "design/design_files.h"
#include "design/design_record.h"
#include "design/design_run.h"
#include "core/parallel_for.h"
#include "design/ray_trace.h"
#include "textio/number_text.h"
#include "../io/test_files.h"

#include <QTextStream>
#include <QtTest>

#include <cmath>
#include <limits>
#include <random>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <stdexcept>

Q_DECLARE_METATYPE(DesignParameters)

class DesignMemoryTest : public QObject {
    Q_OBJECT

private slots:
    void keptPointsMatchWholeGrid_data()
    {
        QTest::addColumn<DesignParameters>("parameters");
        QTest::addColumn<int>("threads");
        QTest::newRow("start values, 2 threads") << DesignParameters{35, 1920, 20.0f, 175, 100, 1.48f, 14.876, 12.784} << 2;
        QTest::newRow("short focus, steep, 1 thread")
            << DesignParameters{20, 1920, 30.25f, 250, 80, 1.52f, 9.5, 20.1} << 1;
        QTest::newRow("zero angle, 3 threads") << DesignParameters{40, 1920, 0.0f, 120, 150, 1.4f, 0.0, 0.0} << 3;
    }

    void keptPointsMatchWholeGrid()
    {
        QFETCH(DesignParameters, parameters);
        QFETCH(int, threads);
        QTemporaryDir whole;
        QTemporaryDir kept;
        ScopedDesignRecord record;  // every grid point, one thread
        fillDesignRecord(*record, parameters);
        const DesignRunResult reference = traceDesign(*record, {whole.path(), 1});
        QVERIFY(reference.profileWritten && reference.gridWritten);

        DesignRunOptions options;
        options.outputDirectory = kept.path();
        options.threadCount = threads;
        options.keepProfile = options.keepGridPoints = options.keepFileValues = options.keepNodeHeights = true;
        const DesignRunResult result = runDesign(parameters, options);
        QVERIFY(result.profileWritten && result.gridWritten);
        QCOMPARE(result.nonFiniteGridLines, reference.nonFiniteGridLines);
        for (const char* name : {"output.txt", "outputall.txt"})
            QCOMPARE(fileBytes(QDir(kept.path()).filePath(name)), fileBytes(QDir(whole.path()).filePath(name)));

        const DesignRecord& r = *record;
        const std::size_t nodes = 8 * 480 * 540;
        QVERIFY(sameBits(result.exitHeights, std::vector<double>(r.gridZ[0], r.gridZ[0] + nodes)));
        QVERIFY(sameBits(result.entranceHeights, std::vector<double>(r.gridZ[1], r.gridZ[1] + nodes)));
        std::vector<double> points, profile;
        for (std::size_t e = 0; e < nodes; e += 10)
            points.insert(points.end(), {r.gridX[0][e], r.gridY[0][e], r.gridZ[0][e], r.gridX[1][e], r.gridY[1][e], r.gridZ[1][e]});
        for (int i = 0; i < 1920; ++i)
            profile.insert(profile.end(), {r.rowX[0][i], r.rowHeights[0][i], r.rowX[1][i], r.rowHeights[1][i]});
        QVERIFY(sameBits(result.gridPoints, points));
        QVERIFY(sameBits(result.profile, profile));
        int differing = 0;
        // The numbers a reader of the file gets, without reading it.
        std::vector<double> read;
        QVERIFY(readNumberFile(QDir(kept.path()).filePath("outputall.txt"), &read));
        QCOMPARE(result.gridFileValues.size(), read.size());
        for (std::size_t i = 0; i < read.size(); ++i)
            differing += bits(result.gridFileValues[i]) != bits(read[i]) &&
                         !(std::isnan(read[i]) && std::isnan(result.gridFileValues[i]));
        QCOMPARE(differing, 0);
    }

    void columnPair_data()
    {
        QTest::addColumn<int>("column");
        QTest::newRow("left edge") << 0;
        QTest::newRow("across the centre, x = 0 in the second lane") << 959;
        QTest::newRow("x = 0 in the first lane") << 960;
        QTest::newRow("right edge") << 1918;
    }

    // Both lanes of a pair against traceColumn on the same row heights.
    void columnPair()
    {
        QFETCH(int, column);
        const DesignParameters parameters{35, 1920, 20.0f, 175, 100, 1.48f, 14.876, 12.784};
        ScopedDesignRecord record, second, alone;
        for (DesignRecord* r : {&*record, &*second, &*alone}) {  // same inputs, own column buffers
            fillDesignRecord(*r, parameters);
            computeDesignConstants(*r);
        }
        traceRows(*record);
        for (DesignRecord* copy : {&*second, &*alone})
            for (int k = 0; k < 2; ++k)
                std::memcpy(copy->rowHeights[k], record->rowHeights[k], sizeof(double) * 1920);
        traceColumnPair(*record, column, *second);
        int differing = 0;
        for (int lane = 0; lane < 2; ++lane) {
            const DesignRecord& paired = lane == 0 ? *record : *second;
            traceColumn(*alone, columnSensorX(*alone, column + lane), alone->rowHeights[0][column + lane],
                        alone->rowHeights[1][column + lane]);
            for (int k = 0; k < 2; ++k)
                for (int e = 0; e < 1080; ++e)
                    differing += bits(paired.columnZ[k][e]) != bits(alone->columnZ[k][e]) ||
                                 bits(paired.columnX[k][e]) != bits(alone->columnX[k][e]) ||
                                 bits(paired.columnY[k][e]) != bits(alone->columnY[k][e]);
        }
        QCOMPARE(differing, 0);
    }

    void designRangeNumbers_data()
    {
        QTest::addColumn<int>("family");
        QTest::newRow("log-uniform 1e-5 to 1e7") << 0;
        QTest::newRow("seven-digit decimals, halfway ties among them") << 1;
        QTest::newRow("neighbours of powers of ten") << 2;
        QTest::newRow("special values, exact six-digit ties, any bit pattern") << 3;
    }

    // The numbers of the design files as QTextStream writes them, over the
    // range where nearly all design numbers lie, and beyond it.
    void designRangeNumbers()
    {
        QFETCH(int, family);
        std::mt19937_64 random(5);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::vector<double> values;
        for (int i = 0; family < 3 && i < 200000; ++i) {
            double v;
            if (family == 0) {
                v = std::pow(10.0, -5.0 + 12.0 * unit(random));
            } else if (family == 1) {
                const long long d = 1000000 + static_cast<long long>(random() % 9000000);
                v = QByteArray::number(d).insert(1 + int(random() % 7), '.').toDouble() * std::pow(10.0, int(random() % 6) - 4);
            } else {
                v = std::nextafter(std::pow(10.0, int(random() % 11) - 5), (random() & 1) != 0 ? 0.0 : 1e300);
            }
            values.push_back((random() & 1) != 0 ? -v : v);
        }
        if (family == 3) {
            const double inf = std::numeric_limits<double>::infinity();
            values = {0.0, -0.0, inf, -inf, std::nan(""), -std::nan(""), -1.0,
                      std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::min(),
                      std::numeric_limits<double>::max(), 1e-5, 9.999995e-5, 0.0001, 999999.5,
                      123456.0, 1234567.0, 1e15, -1e16, 1e21, 2.0 / 3, 0.1, 15.4538};
            random.seed(20240601);
            // Exact halfway cases at six digits, d / 10^k = t / 2^k (d = t 5^k with
            // 7 digits, t odd) and d 10^k, with their neighbours on both sides.
            for (int k = 0; k <= 9; ++k) {
                const long long fivePower = std::llround(std::pow(5.0, k)), lowest = ((999999 + fivePower) / fivePower) | 1;
                const std::uint64_t odds = std::uint64_t(10000000 / fivePower - lowest) / 2;
                for (int i = 0; i < 30; ++i) {
                    const long long t = lowest + 2 * static_cast<long long>(random() % odds);
                    const double halfway = std::ldexp(double(t), -k);
                    const double scaled = double((random() % 900000) * 10 + 1000005) * std::pow(10.0, k);
                    for (double v : {halfway, std::nextafter(halfway, 0.0), std::nextafter(halfway, inf), scaled})
                        values.insert(values.end(), {v, -v});
                }
            }
            for (int i = 0; i < 6000; ++i) {  // arbitrary bit patterns: every exponent form
                const std::uint64_t pattern = random();
                values.push_back(0.0);
                std::memcpy(&values.back(), &pattern, sizeof pattern);
            }
        }
        int mismatches = 0;
        for (double v : values) {
            QString expected;
            QTextStream(&expected) << v;
            char text[designNumberMaxLength];
            const QByteArray actual(text, int(formatDesignNumber(text, v) - text));
            if (actual != expected.toLatin1() && ++mismatches < 5)
                qWarning("%.17g: Qt %s, formatted %s", v, qPrintable(expected), actual.constData());
        }
        QCOMPARE(mismatches, 0);
    }

    void workerExceptionReachesCaller_data()
    {
        QTest::addColumn<int>("workers");
        QTest::addColumn<int>("throwingIndex");
        QTest::newRow("one worker") << 1 << 0;
        QTest::newRow("two workers") << 2 << 37;
        QTest::newRow("more workers than indices") << 200 << 99;
    }

    // A failing task (an allocation, say) ends the loop with its exception
    // in the caller, not with the process.
    void workerExceptionReachesCaller()
    {
        QFETCH(int, workers);
        QFETCH(int, throwingIndex);
        std::atomic<int> done{0};
        QVERIFY_EXCEPTION_THROWN(parallelFor(100, workers,
                                             [&](int, int index) {
                                                 if (index == throwingIndex)
                                                     throw std::runtime_error("task failed");
                                                 ++done;
                                             }),
                                 std::runtime_error);
        QVERIFY(done < 100);
        parallelFor(100, workers, [&](int, int) { ++done; });  // usable again afterwards
        QVERIFY(done >= 100);
    }

    void gridStride_data()
    {
        QTest::addColumn<int>("stride");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<int>("length");
        QTest::newRow("whole grid") << 1 << true << 8 * 480 * 540;
        QTest::newRow("what the file holds") << 10 << true << 8 * 480 * 540 / 10;
        QTest::newRow("3 is not a stride the file can use") << 3 << false << 0;
        QTest::newRow("0") << 0 << false << 0;
    }

    void gridStride()
    {
        QFETCH(int, stride);
        QFETCH(bool, accepted);
        QFETCH(int, length);
        if (!accepted) {
            QVERIFY_EXCEPTION_THROWN(ScopedDesignRecord(2, 480, 540, stride), std::invalid_argument);
            return;
        }
        ScopedDesignRecord record(2, 480, 540, stride);
        QCOMPARE(designGridLength(*record), std::size_t(length));
        record->gridZ[1][length - 1] = 1.0;  // the last element is there
    }
};

QTEST_GUILESS_MAIN(DesignMemoryTest)
#include "tst_design_memory.moc"
