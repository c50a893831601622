// The fitting run through its real files: the split, the point rows, the
// fitted-point files, the report and the mends of the reading.
#include "fit/design_point_split.h"
#include "fit/fit_files.h"
#include "fit/fit_report.h"
#include "fit/fit_run.h"
#include "../io/test_files.h"
#include "../fit_memory/equation_texts.h"

#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <unistd.h>

namespace {

const QByteArray missingFileMessage("\xB2\xBB\xC4\xDC\xD5\xD2\xB5\xBD\xCE\xC4\xBC\xFE");

// Standard output of fn, as bytes.
template <class Fn>
QByteArray capturedStdout(Fn fn)
{
    QTemporaryFile sink;
    sink.open();
    std::fflush(stdout);
    const int saved = dup(1);
    dup2(sink.handle(), 1);
    fn();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    sink.seek(0);
    return sink.readAll();
}

}  // namespace

class FitRunTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(QDir(dir.path()).removeRecursively() && QDir().mkpath(dir.path()));
        where.inputDirectory = where.outputDirectory = dir.path();
    }

    // Each window edge and the mends of the reading, with the exact bytes of
    // the point files; the first row is the single-row example.
    void split_data()
    {
        QTest::addColumn<QByteArray>("design");
        QTest::addColumn<QByteArray>("fig1");
        QTest::addColumn<QByteArray>("fig2");
        const QByteArray p123("      1.00000000        2.00000000        3.00000000\n");
        const QByteArray p456("      4.00000000        5.00000000        6.00000000\n");
        const QByteArray p101("      1.00000000        0.00000000        1.00000000\n");
        const QByteArray p001("      0.00000000        0.00000000        1.00000000\n");
        QTest::newRow("single row") << QByteArray("1 2 3 4 5 6\n") << p123 << p456;
        QTest::newRow("c1 = 28") << QByteArray("28 0 1 1 0 1\n") << QByteArray() << p101;
        QTest::newRow("c1 = -28") << QByteArray("-28 0 1 1 0 1\n") << QByteArray() << p101;
        QTest::newRow("c1, c2 just inside")
            << QByteArray("27.999 -17.999 1 1 0 1\n")
            << QByteArray("     27.99900000      -17.99900000        1.00000000\n") << p101;
        QTest::newRow("c2 = 18") << QByteArray("0 18 1 1 0 1\n") << QByteArray() << p101;
        QTest::newRow("c4 = 0") << QByteArray("0 0 1 0 0 1\n") << p001 << QByteArray();
        QTest::newRow("c4 = 28") << QByteArray("0 0 1 28 0 1\n") << p001 << QByteArray();
        QTest::newRow("c5 = -18") << QByteArray("0 0 1 1 -18 1\n") << p001 << QByteArray();
        QTest::newRow("nan row") << QByteArray("nan nan nan nan nan nan\n") << QByteArray() << QByteArray();
        QTest::newRow("-nan x") << QByteArray("-nan 0 1 -nan 0 1\n") << QByteArray() << QByteArray();
        QTest::newRow("nan height passes") << QByteArray("1 0 nan 1 0 -nan\n")
                                           << QByteArray("      1.00000000        0.00000000               nan\n")
                                           << QByteArray("      1.00000000        0.00000000              -nan\n");
        QTest::newRow("empty file") << QByteArray() << QByteArray() << QByteArray();
        QTest::newRow("forms of %lf, one running into the next") << QByteArray("+1 .2e1 3. 0x1p2 5-6")
            << p123 << QByteArray("      4.00000000        5.00000000       -6.00000000\n");
        // Mends: the last row counts without a final line break; a word stops
        // the reading, complete rows before it stay; no fixed row capacity.
        QTest::newRow("no final line break") << QByteArray("1 2 3 4 5 6\n1 2 3 4 5 6") << p123 + p123 << p456 + p456;
        QTest::newRow("cut-off row") << QByteArray("1 2 3 4 5 6\n1 2 3 4 5") << p123 << p456;
        QTest::newRow("word in row 2") << QByteArray("1 2 3 4 5 6\n1 2 x 4 5 6\n1 2 3 4 5 6\n") << p123 << p456;
        QTest::newRow("word first") << QByteArray("abc 1 2 3 4 5 6\n") << QByteArray() << QByteArray();
        QTest::newRow("2,600,001 rows")
            << QByteArray("99 0 0 0 0 0\n").repeated(2600000) + "1 2 3 4 5 6" << p123 << p456;
    }

    void split()
    {
        QFETCH(QByteArray, design);
        QFETCH(QByteArray, fig1);
        QFETCH(QByteArray, fig2);
        putFile(path("outputall.txt"), design);
        int m1 = -1, m2 = -1;
        splitDesignPoints(&m1, &m2, where);
        QVERIFY(m1 == fig1.count('\n') && m2 == fig2.count('\n'));
        QCOMPARE(fileBytes(path("outputall_fig1.txt")), fig1);
        QCOMPARE(fileBytes(path("outputall_fig2.txt")), fig2);
    }

    // Every number of the point files is exactly what printf("%16.8f") writes.
    void pointRowDigits()
    {
        std::mt19937_64 random(7);
        std::vector<double> values = {0.0, -0.0, 1e-10, -1e-10, 0.001953125, 0.005859375, 0.5e-8, -0.5e-8, 1.5e-8,
                                      99999999.999999995, 137438953471.99998, 137438953472.0, 1e300, -INFINITY, -NAN,
                                      5e-324};  // ties, the switch to printf at 2^37, the limits
        for (int i = 0; i < 200000; ++i) {
            const double scale = std::pow(10.0, static_cast<int>(random() % 22) - 11);
            values.push_back((static_cast<double>(random() >> 11) / 9007199254740992.0 - 0.5) * scale);
            values.push_back(static_cast<double>(static_cast<std::int64_t>(random() % 2000001) - 1000000) / 512.0);
        }
        for (std::size_t i = 0; i + 2 < values.size(); i += 3) {
            std::string got;
            appendPointRow(&got, values[i], values[i + 1], values[i + 2]);
            char expected[1300];
            std::snprintf(expected, sizeof expected, "%16.8f  %16.8f  %16.8f\n", values[i], values[i + 1],
                          values[i + 2]);
            QCOMPARE(QByteArray::fromStdString(got), QByteArray(expected));
        }
    }

    void mirroredSurface2FileAndResidual()
    {
        const double x[] = {1, 3}, y[] = {2, 4}, f[] = {5, 6}, z[] = {1, 3}, fitted[] = {2, 2};
        QVERIFY(writeSurface2FitFile(path("output_fit_fig2.txt"), x, y, f, 2));
        QCOMPARE(fileBytes(path("output_fit_fig2.txt")),
                 QByteArray("     -3.00000000        4.00000000        6.00000000\n"
                            "     -1.00000000        2.00000000        5.00000000\n"
                            "      1.00000000        2.00000000        5.00000000\n"
                            "      3.00000000        4.00000000        6.00000000\n"));
        QCOMPARE(meanAbsoluteDifference(z, fitted, 2), 1.0);  // (1 + 1) / 2
        QVERIFY(std::isnan(meanAbsoluteDifference(z, fitted, 0)));
    }

    // The report as laid down, line by line (the colons in GBK), and its text
    // as the window shows it, with the colons as U+FF1A on any system.
    void report_data()
    {
        QTest::addColumn<int>("order");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray head = "surface equation\xA3\xBA\n\nsurface 1:\n";
        QTest::newRow("order 3") << 3 << head + expectedEquation(1, 3) +
            "a(0)  =       0.0000000000000 \na(1)  =       1.2500000000000 \na(2)  =       2.5000000000000 \n\n"
            "surface 2:\n" + expectedEquation(2, 6) +
            "b(0)  =      -0.0000000000000 \nb(1)  =      -1.2500000000000 \nb(2)  =      -2.5000000000000 \n"
            "b(3)  =      -3.7500000000000 \nb(4)  =      -5.0000000000000 \nb(5)  =      -6.2500000000000 \n\n"
            "\n fitting precision\xA3\xBA\n Res1=     3.750000\n Res2=    -7.500000\n\n\n";
        // Order 8: two-digit indices line up, the precision lines lose their space.
        QByteArray lines[2];
        char line[64];
        for (int i = 0; i < 25; ++i)
            for (int s = 0; s < 2; ++s)
                if (s == 1 || i < 15) {
                    std::snprintf(line, sizeof line, "%c(%d)%*s=%22.13f \n", s ? 'b' : 'a', i, i < 10 ? 2 : 1, "",
                                  (s ? -1.25 : 1.25) * i);
                    lines[s] += line;
                }
        QTest::newRow("order 8") << 8 << head + expectedEquation(1, 15) + lines[0] + "\nsurface 2:\n" +
            expectedEquation(2, 25) + lines[1] + "\n\n fitting precision\xA3\xBA\nRes1=    18.750000\nRes2=   -31.250000\n\n\n";
    }

    void report()
    {
        QFETCH(int, order);
        QFETCH(QByteArray, expected);
        double a[16], b[26];  // a(i) = 1.25 i, b(i) = -1.25 i, then the residual
        for (int i = 0; i < 26; ++i) {
            b[i] = -1.25 * i;
            if (i < 16)
                a[i] = 1.25 * i;
        }
        QCOMPARE(fitReportBytes(order, a, b).split('\n'), expected.split('\n'));
        QVERIFY(writeFitReport(path("result_para_fit.txt"), order, a, b));
        const QString shown = QString::fromLatin1(expected).replace(QString::fromLatin1("\xA3\xBA"), QChar(0xFF1A));
        QCOMPARE(readFitReportText(dir.path()), shown);
    }

    // 117 points on z1 = 1 + 0.5 x^p y^q and z2 = 4 - x^p y^q with the last
    // term of each surface's model, and two rows in neither window: every
    // order gives back these coefficients, zeros between and residuals near 0.
    void polynomialSurfaces_data()
    {
        QTest::addColumn<int>("order");
        QTest::addColumn<int>("k1");
        QTest::addColumn<int>("k2");
        QTest::addColumn<QPoint>("last1");  // exponents of x and y
        QTest::addColumn<QPoint>("last2");
        QTest::addColumn<double>("tolerance");  // the raw normal matrix loses digits as the order rises
        QTest::newRow("order 3") << 3 << 3 << 6 << QPoint(0, 2) << QPoint(1, 2) << 1e-6;
        QTest::newRow("order 4") << 4 << 6 << 9 << QPoint(0, 4) << QPoint(0, 4) << 1e-6;
        QTest::newRow("order 5") << 5 << 6 << 12 << QPoint(0, 4) << QPoint(1, 4) << 1e-6;
        QTest::newRow("order 6") << 6 << 10 << 16 << QPoint(0, 6) << QPoint(0, 6) << 1e-5;
        QTest::newRow("order 7") << 7 << 10 << 20 << QPoint(0, 6) << QPoint(1, 6) << 1e-4;
        QTest::newRow("order 8") << 8 << 15 << 25 << QPoint(0, 8) << QPoint(0, 8) << 1e-3;
        QTest::newRow("order 0 runs as 3") << 0 << 3 << 6 << QPoint(0, 2) << QPoint(1, 2) << 1e-6;
    }

    void polynomialSurfaces()
    {
        QFETCH(int, order);
        QFETCH(int, k1);
        QFETCH(int, k2);
        QFETCH(QPoint, last1);
        QFETCH(QPoint, last2);
        QFETCH(double, tolerance);
        const auto z1 = [&](double x, double y) { return 1 + 0.5 * std::pow(x, last1.x()) * std::pow(y, last1.y()); };
        const auto z2 = [&](double x, double y) { return 4 - std::pow(x, last2.x()) * std::pow(y, last2.y()); };
        QByteArray design = "nan nan nan nan nan nan\n40 0 0 -1 0 0\n";
        for (int i = 0; i < 117; ++i) {
            const double y = -1.0 + 0.25 * (i % 9), x1 = -3.0 + 0.5 * (i / 9), x2 = 0.1 * (i / 9 + 1);
            design += QString::asprintf("%.17g %.17g %.17g %.17g %.17g %.17g\n", x1, y, z1(x1, y), x2, y, z2(x2, y))
                          .toLatin1();
        }
        putFile(path("outputall.txt"), design);
        const FitRunSummary s = fitAndReportOrder(order, where);
        QVERIFY(s.designFileFound && s.fitFilesWritten && s.reportWritten);
        QVERIFY(s.surface1Count == 117 && s.surface2Count == 117);
        QVERIFY(int(s.surface1Results.size()) == k1 + 1 && int(s.surface2Results.size()) == k2 + 1);
        for (int i = 0; i <= k1; ++i)  // Res1 last
            QVERIFY2(std::fabs(s.surface1Results[i] - (i == 0 ? 1 : i == k1 - 1 ? 0.5 : 0)) < tolerance, "a");
        for (int i = 0; i <= k2; ++i)
            QVERIFY2(std::fabs(s.surface2Results[i] - (i == 0 ? 4 : i == k2 - 1 ? -1 : 0)) < tolerance, "b");
        QVERIFY(!QFile::exists(path("outputall_fig1.txt")) && !QFile::exists(path("outputall_fig2.txt")));
        const QByteArray fit1 = fileBytes(path("output_fit_fig1.txt"));
        QCOMPARE(fit1.count('\n'), 117);
        QCOMPARE(fileBytes(path("output_fit_fig2.txt")).count('\n'), 2 * 117);
        QCOMPARE(fit1.left(36), QByteArray("     -3.00000000       -1.00000000  "));
        QVERIFY(std::fabs(fit1.mid(36, 16).toDouble() - z1(-3, -1)) < tolerance);
    }

    // The named entry points of every order, in the working directory, one
    // after another on ever fewer points: each run replaces all three files,
    // and the results hold k1 + 1 and k2 + 1 values, no more.
    void namedRunsOverwrite()
    {
        const struct {
            int order, k1, k2;
            void (*run)(double*, double*);
            void (*fitAndReport)();
        } entries[] = {{8, 15, 25, runFitOrder8, fitAndReportOrder8}, {3, 3, 6, runFitOrder3, fitAndReportOrder3},
                       {4, 6, 9, runFitOrder4, fitAndReportOrder4},   {5, 6, 12, runFitOrder5, fitAndReportOrder5},
                       {6, 10, 16, runFitOrder6, fitAndReportOrder6}, {7, 10, 20, runFitOrder7, fitAndReportOrder7}};
        const QString previous = QDir::currentPath();
        QDir::setCurrent(dir.path());
        for (int r = 0; r < 6; ++r) {
            QByteArray rows;  // at least k2 points, spread so that no fit is singular
            for (int i = 0; i < 4 * (12 - r); ++i) {
                const double x = 0.25 * i - 6, y = 0.5 * (i * 7 % 13) - 3;
                rows += QString::asprintf("%g %g %g %g %g %g\n", x, y, 5 + 0.1 * x * y, 1 + 0.5 * i, y, 9 - 0.01 * x * x).toLatin1();
            }
            putFile("outputall.txt", rows);
            double r1[27], r2[27];
            std::fill(r1, r1 + 27, -7.0);
            std::fill(r2, r2 + 27, -7.0);
            entries[r].run(r1, r2);
            QVERIFY(r1[entries[r].k1] != -7.0 && r1[entries[r].k1 + 1] == -7.0);
            QVERIFY(r2[entries[r].k2] != -7.0 && r2[entries[r].k2 + 1] == -7.0);
            entries[r].fitAndReport();
            QCOMPARE(fileBytes("output_fit_fig1.txt").count('\n'), 4 * (12 - r));
            QCOMPARE(fileBytes("output_fit_fig2.txt").count('\n'), 8 * (12 - r));
            QCOMPARE(fileBytes("result_para_fit.txt"), fitReportBytes(entries[r].order, r1, r2));
        }
        QDir::setCurrent(previous);
    }

    // A missing design file says so and writes nothing; an output directory
    // that does not exist is refused before the design file is read.
    void missingFiles()
    {
        FitRunSummary s;
        QCOMPARE(capturedStdout([&] { s = fitAndReportOrder(5, where); }), missingFileMessage);
        QVERIFY(!s.designFileFound && !s.inputValid && !s.fitFilesWritten && !s.reportWritten);
        QVERIFY(s.error.contains("outputall.txt") && s.error.contains("does not exist"));
        QCOMPARE(s.notReplaced.size(), 4);  // the fitted points, the report and its JSON
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());

        putFile(path("outputall.txt"), "1 2 3 4 5 6\n");
        where.outputDirectory = path("no/such/dir");
        QCOMPARE(capturedStdout([&] { s = fitAndReportOrder(4, where); }), QByteArray());
        QVERIFY(!s.fitFilesWritten && !s.reportWritten && s.error.contains("does not exist"));
        bool opened = true;
        QVERIFY(readFitReportText(where.outputDirectory, &opened).isEmpty() && !opened);
    }

private:
    QString path(const QString& name) const { return QDir(dir.path()).filePath(name); }

    QTemporaryDir dir;
    FitRunLocation where;
};

QTEST_GUILESS_MAIN(FitRunTest)
#include "tst_fit_run.moc"
