// The fit in memory: integer powers and the point-row rounding bit for bit
// against the standard library, the report's equation text, and the fits of
// every order side by side against the models run on the point files.
#include "fit/design_point_split.h"
#include "fit/fit_files.h"
#include "fit/fit_orders.h"
#include "fit/fit_run.h"
#include "fit/fit_terms.h"
#include "fit/least_squares.h"
#include "fit/matrix_record.h"
#include "../io/test_files.h"
#include "equation_texts.h"

#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>

namespace {

// Values of one family: wide random magnitudes, design-sized coordinates,
// neighbours of powers of two, short decimals (the rounded point rows) and
// the special values.
std::vector<double> family(const QString& name)
{
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<double> values;
    if (name == "special") {
        values = {0.0, -0.0, 1.0, -1.0, INFINITY, -INFINITY, NAN, -NAN, 5e-324, -5e-324, 1e-300, 1e300,
                  0x1p-60, 0x1p60, std::nextafter(0x1p-60, 0.0), std::nextafter(0x1p60, INFINITY), 1e-17, 1e17};
        return values;
    }
    for (int i = 0; i < 300000; ++i) {
        if (name == "wide")
            values.push_back(unit(random) * std::pow(2.0, static_cast<int>(random() % 120) - 60));
        else if (name == "design sized")
            values.push_back(unit(random) * 30.0);
        else if (name == "near powers of two")
            values.push_back(std::nextafter(std::ldexp(1.0, static_cast<int>(random() % 40) - 20),
                                            (random() & 1) != 0 ? INFINITY : 0.0) * ((random() & 2) != 0 ? -1 : 1));
        else  // eight decimals, as the point rows leave them
            values.push_back(static_cast<double>(static_cast<std::int64_t>(random() % 6000000001) - 3000000000) / 1e8);
    }
    return values;
}

}  // namespace

Q_DECLARE_METATYPE(std::vector<int>)

class FitMemoryTest : public QObject {
    Q_OBJECT

private slots:
    void integerPowerBits_data()
    {
        QTest::addColumn<QString>("values");
        for (const char* name : {"wide", "design sized", "near powers of two", "eight decimals", "special"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }

    // Every exponent the models use, bit for bit as std::pow (and NaN where
    // std::pow gives NaN).
    void integerPowerBits()
    {
        QFETCH(QString, values);
        int mismatches = 0;
        for (double v : family(values)) {
            for (int e = 3; e <= 8; ++e) {
                const double expected = std::pow(v, static_cast<double>(e));
                const double got = integerPower(v, e);
                if (std::isnan(expected) ? !std::isnan(got) : bits(got) != bits(expected)) {
                    if (++mismatches < 5)
                        qWarning("integerPower(%.17g, %d) = %.17g, std::pow %.17g", v, e, got, expected);
                }
            }
        }
        QCOMPARE(mismatches, 0);
    }

    void pointRowValueBits_data() { integerPowerBits_data(); }

    // The value a point row hands on is what "%16.8f" and strtod make of it.
    void pointRowValueBits()
    {
        QFETCH(QString, values);
        int mismatches = 0;
        char text[512];
        for (double v : family(values)) {
            std::snprintf(text, sizeof text, "%16.8f", v);
            const double expected = std::strtod(text, nullptr);
            const double got = pointRowValue(v);
            if (std::isnan(expected) ? !std::isnan(got) || std::signbit(got) != std::signbit(expected)
                                     : bits(got) != bits(expected)) {
                if (++mismatches < 5)
                    qWarning("pointRowValue(%.17g) = %.17g, text %s", v, got, text);
            }
        }
        QCOMPARE(mismatches, 0);
    }

    void equationText_data()
    {
        QTest::addColumn<int>("surface");
        QTest::addColumn<int>("terms");
        for (auto [surface, terms] : {std::pair{1, 3}, {1, 6}, {1, 10}, {1, 15}, {2, 6}, {2, 9}, {2, 12}, {2, 16}, {2, 20}, {2, 25}})
            QTest::addRow("surface %d, %d terms", surface, terms) << surface << terms;
    }

    // The report's equation lines, generated from the term lists.
    void equationText()
    {
        QFETCH(int, surface);
        QFETCH(int, terms);
        QCOMPARE(QByteArray::fromStdString(surfaceEquationText(surface, terms)), expectedEquation(surface, terms));
    }

    void unsupportedSize_data()
    {
        QTest::addColumn<int>("terms");
        QTest::addColumn<int>("stride");
        QTest::newRow("4 terms") << 4 << 4;
        QTest::newRow("0 terms") << 0 << 1;
        QTest::newRow("stride below the terms") << 6 << 5;
    }

    // A size without an inverse routine is refused, not fitted wrongly.
    void unsupportedSize()
    {
        QFETCH(int, terms);
        QFETCH(int, stride);
        const double rows[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        double coefficients[8] = {};
        QVERIFY_EXCEPTION_THROWN(fitTermRows(terms, rows, static_cast<std::size_t>(stride), rows, 1, coefficients,
                                             nullptr),
                                 std::invalid_argument);
    }

    void sharedDirectory_data()
    {
        QTest::addColumn<std::vector<int>>("orders");
        QTest::newRow("one order twice") << std::vector<int>{5, 5};
        QTest::newRow("three orders") << std::vector<int>{3, 8, 6};
    }

    // Orders handed one directory take turns: every file is whole and is
    // the one of the order written last (the smallest models run last).
    void sharedDirectory()
    {
        QFETCH(std::vector<int>, orders);
        QTemporaryDir dir;
        std::vector<double> rows;
        for (int i = 0; i < 300; ++i) {
            const double x = -20 + 0.13 * i, y = -15 + 0.1 * (i % 37);
            rows.insert(rows.end(), {x, y, 1 + 0.01 * x * x, std::fabs(x) + 0.5, y, 2 + 0.1 * std::fabs(x)});
        }
        const FitPoints points = splitFitPoints(rows.data(), rows.size());
        const std::vector<FitRunSummary> summaries =
            fitOrders(orders, points, [&](int) { return dir.path(); }, true, 2);
        int lastOrder = orders.front();
        for (int order : orders)
            if (fitOrderEntry(order).surface2Terms <= fitOrderEntry(lastOrder).surface2Terms)
                lastOrder = order;
        const FitRunSummary& last = *std::find_if(summaries.begin(), summaries.end(),
                                                   [&](const FitRunSummary& s) { return s.order == lastOrder; });
        std::string expected;
        for (int p = 0; p < points.surface1.count(); ++p)
            appendPointRow(&expected, points.surface1.x[std::size_t(p)], points.surface1.y[std::size_t(p)],
                           last.surface1Fitted[std::size_t(p)]);
        for (const FitRunSummary& s : summaries)
            QVERIFY(s.fitFilesWritten && s.reportWritten);
        QCOMPARE(fileBytes(QDir(dir.path()).filePath("output_fit_fig1.txt")), QByteArray::fromStdString(expected));
    }

    // Every order fitted side by side on the points split in memory gives,
    // bit for bit, what each named model gives on the points read back from
    // the point files; the fitted-point files hold those heights.
    void ordersSideBySideMatchPointFiles()
    {
        QTemporaryDir dir;
        QByteArray design;
        std::mt19937_64 random(3);
        std::uniform_real_distribution<double> unit(-1.0, 1.0);
        for (int i = 0; i < 4000; ++i) {
            const double x1 = 30 * unit(random), y1 = 20 * unit(random), x2 = 30 * unit(random), y2 = 20 * unit(random);
            design += QString::asprintf("%.6g %.6g %.6g %.6g %.6g %.6g\n", x1, y1, 30 - 0.02 * x1 * x1 + 1e-5 * x1 * y1 * y1,
                                        x2, y2, 4 + 0.3 * x2 - 0.001 * x2 * x2 * x2 + 0.01 * y2 * y2)
                          .toLatin1();
        }
        putFile(QDir(dir.path()).filePath("outputall.txt"), design);

        FitRunLocation where;
        where.inputDirectory = where.outputDirectory = dir.path();
        int m1 = 0, m2 = 0;
        splitDesignPoints(&m1, &m2, where);
        std::vector<double> points1, points2;
        QVERIFY(readNumberFile(QDir(dir.path()).filePath("outputall_fig1.txt"), &points1));
        QVERIFY(readNumberFile(QDir(dir.path()).filePath("outputall_fig2.txt"), &points2));
        QVERIFY(m1 > 1000 && m2 > 1000 && points1.size() == 3 * std::size_t(m1) && points2.size() == 3 * std::size_t(m2));

        const FitPoints points = loadFitPoints(dir.path());
        const std::vector<int> orders{3, 4, 5, 6, 7, 8};
        const auto orderDirectory = [&](int order) { return QDir(dir.path()).filePath(QString::number(order)); };
        const std::vector<FitRunSummary> summaries = fitOrders(orders, points, orderDirectory, true, 2);
        for (int order : orders)
            QDir(dir.path()).mkdir(QString::number(order));
        const std::vector<FitRunSummary> written = fitOrders(orders, points, orderDirectory, true, 2);

        for (std::size_t i = 0; i < orders.size(); ++i) {
            const FitOrder& entry = fitOrderEntry(orders[i]);
            QVERIFY(!summaries[i].fitFilesWritten && !summaries[i].reportWritten);  // no directory yet
            QVERIFY(written[i].fitFilesWritten && written[i].reportWritten);
            for (int surface = 1; surface <= 2; ++surface) {
                const std::vector<double>& rows = surface == 1 ? points1 : points2;
                const int m = surface == 1 ? m1 : m2;
                MatrixRecord *x = nullptr, *y = nullptr, *z = nullptr, *fitted = nullptr;
                for (MatrixRecord** r : {&x, &y, &z, &fitted})
                    matrixCreate(r, 1);
                for (MatrixRecord* r : {x, y, z}) {
                    r->extents[0] = m;
                    matrixGrow(r, 0, 8);
                }
                for (std::size_t p = 0; p < 3 * std::size_t(m); ++p)
                    (p % 3 == 0 ? x : p % 3 == 1 ? y : z)->elements[p / 3] = rows[p];
                double coefficients[largestTermCount];
                const int k = surface == 1 ? entry.surface1Terms : entry.surface2Terms;
                (surface == 1 ? entry.surface1Model : entry.surface2Model)(x, y, z, m, coefficients, fitted);
                const std::vector<double>& results = surface == 1 ? written[i].surface1Results : written[i].surface2Results;
                const std::vector<double>& heights = surface == 1 ? written[i].surface1Fitted : written[i].surface2Fitted;
                QCOMPARE(int(results.size()), k + 1);
                for (int c = 0; c < k; ++c)
                    QVERIFY2(bits(results[std::size_t(c)]) == bits(coefficients[c]), qPrintable(QString("order %1").arg(orders[i])));
                QCOMPARE(int(heights.size()), m);
                for (int p = 0; p < m; ++p)
                    QVERIFY(bits(heights[std::size_t(p)]) == bits(fitted->elements[p]));
                QVERIFY(bits(results.back()) == bits(meanAbsoluteDifference(z->elements, fitted->elements, m)));
                for (MatrixRecord** r : {&x, &y, &z, &fitted})
                    matrixRelease(r);
            }
            const QString orderDir = orderDirectory(orders[i]);
            std::string expected1;
            for (int p = 0; p < m1; ++p)
                appendPointRow(&expected1, points1[3 * std::size_t(p)], points1[3 * std::size_t(p) + 1],
                               written[i].surface1Fitted[std::size_t(p)]);
            QCOMPARE(fileBytes(QDir(orderDir).filePath("output_fit_fig1.txt")), QByteArray::fromStdString(expected1));
            QCOMPARE(fileBytes(QDir(orderDir).filePath("output_fit_fig2.txt")).count('\n'), 2 * m2);
        }
    }
};

QTEST_GUILESS_MAIN(FitMemoryTest)
#include "tst_fit_memory.moc"
