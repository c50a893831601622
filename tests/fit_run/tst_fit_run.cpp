// The fitting run through its real files: the split, the point rows, the
// fitted-point files, the report and the mends of the reading.
#include "fit/design_point_split.h"
#include "fit/fit_files.h"
#include "fit/fit_report.h"
#include "fit/fit_run.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <unistd.h>

namespace {

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void putFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QList<QByteArray> rowsOf(const QByteArray& bytes)
{
    QList<QByteArray> rows = bytes.split('\n');
    rows.removeLast();  // after the final line break
    return rows;
}

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

// Term exponents (x, y) of the two surfaces, in coefficient order.
const int surface1Powers[15][2] = {{0, 0}, {2, 0}, {0, 2}, {4, 0}, {2, 2}, {0, 4}, {6, 0}, {4, 2},
                                   {2, 4}, {0, 6}, {8, 0}, {6, 2}, {4, 4}, {2, 6}, {0, 8}};
const int surface2Powers[25][2] = {{0, 0}, {1, 0}, {2, 0}, {0, 2}, {3, 0}, {1, 2}, {4, 0}, {2, 2}, {0, 4},
                                   {5, 0}, {3, 2}, {1, 4}, {6, 0}, {4, 2}, {2, 4}, {0, 6}, {7, 0},
                                   {5, 2}, {3, 4}, {1, 6}, {8, 0}, {6, 2}, {4, 4}, {2, 6}, {0, 8}};

double polynomial(const int (*powers)[2], const double* c, int k, double x, double y)
{
    double z = 0.0;
    for (int i = 0; i < k; ++i)
        z += c[i] * std::pow(x, powers[i][0]) * std::pow(y, powers[i][1]);
    return z;
}

// A design file whose surface points lie on the given polynomials (up to
// the 8 decimals of the point files). Small coordinates keep the raw normal
// matrices of the higher orders invertible in double precision.
QByteArray polynomialDesign(const double* a, int k1, const double* b, int k2, int* m1, int* m2)
{
    QByteArray text;
    *m1 = *m2 = 0;
    for (int i = 0; i < 13; ++i)
        for (int j = 0; j < 9; ++j) {
            const double y = -1.0 + 0.25 * j;
            const double x1 = -3.0 + 0.5 * i;
            const double x2 = 0.1 * (i + 1);  // 13 distinct x > 0
            text += QByteArray::number(x1, 'g', 17) + ' ' + QByteArray::number(y, 'g', 17) + ' ' +
                    QByteArray::number(polynomial(surface1Powers, a, k1, x1, y), 'g', 17) + ' ' +
                    QByteArray::number(x2, 'g', 17) + ' ' + QByteArray::number(y, 'g', 17) + ' ' +
                    QByteArray::number(polynomial(surface2Powers, b, k2, x2, y), 'g', 17) + '\n';
            ++*m1;
            ++*m2;
        }
    text += "nan nan nan nan nan nan\n40 0 0 -1 0 0\n";  // in neither window
    return text;
}

}  // namespace

class FitRunTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(dir.isValid());
        where.inputDirectory = where.outputDirectory = dir.path();
        QDir(dir.path()).removeRecursively();
        QDir().mkpath(dir.path());
    }

    void singleRowExample()
    {
        putFile(path("outputall.txt"), "1 2 3 4 5 6\n");
        int m1 = -1, m2 = -1;
        splitDesignPoints(&m1, &m2, where);
        QCOMPARE(m1, 1);
        QCOMPARE(m2, 1);
        QCOMPARE(fileBytes(path("outputall_fig1.txt")),
                 QByteArray("      1.00000000        2.00000000        3.00000000\n"));
        QCOMPARE(fileBytes(path("outputall_fig2.txt")),
                 QByteArray("      4.00000000        5.00000000        6.00000000\n"));
    }

    void split_data()
    {
        QTest::addColumn<QByteArray>("design");
        QTest::addColumn<int>("count1");
        QTest::addColumn<int>("count2");
        QTest::newRow("c1 = 28") << QByteArray("28 0 1 1 0 1\n") << 0 << 1;
        QTest::newRow("c1 = -28") << QByteArray("-28 0 1 1 0 1\n") << 0 << 1;
        QTest::newRow("c1 just inside") << QByteArray("27.999 -17.999 1 1 0 1\n") << 1 << 1;
        QTest::newRow("c2 = 18") << QByteArray("0 18 1 1 0 1\n") << 0 << 1;
        QTest::newRow("c4 = 0") << QByteArray("0 0 1 0 0 1\n") << 1 << 0;
        QTest::newRow("c4 = 28") << QByteArray("0 0 1 28 0 1\n") << 1 << 0;
        QTest::newRow("c5 = -18") << QByteArray("0 0 1 1 -18 1\n") << 1 << 0;
        QTest::newRow("nan row") << QByteArray("nan nan nan nan nan nan\n") << 0 << 0;
        QTest::newRow("-nan x") << QByteArray("-nan 0 1 -nan 0 1\n") << 0 << 0;
        QTest::newRow("nan height passes") << QByteArray("1 1 nan 1 1 -nan\n") << 1 << 1;
        QTest::newRow("empty file") << QByteArray() << 0 << 0;
        // Mend: the last row counts without a final line break.
        QTest::newRow("no final line break") << QByteArray("1 2 3 4 5 6\n1 2 3 4 5 6") << 2 << 2;
        QTest::newRow("cut-off row") << QByteArray("1 2 3 4 5 6\n1 2 3 4 5") << 1 << 1;
        // Mend: a word stops the reading, complete rows before it stay.
        QTest::newRow("word in row 2") << QByteArray("1 2 3 4 5 6\n1 2 x 4 5 6\n1 2 3 4 5 6\n") << 1 << 1;
        QTest::newRow("word first") << QByteArray("abc 1 2 3 4 5 6\n") << 0 << 0;
    }

    void split()
    {
        QFETCH(QByteArray, design);
        QFETCH(int, count1);
        QFETCH(int, count2);
        putFile(path("outputall.txt"), design);
        int m1 = -1, m2 = -1;
        splitDesignPoints(&m1, &m2, where);
        QCOMPARE(m1, count1);
        QCOMPARE(m2, count2);
        QCOMPARE(rowsOf(fileBytes(path("outputall_fig1.txt"))).size(), count1);
        QCOMPARE(rowsOf(fileBytes(path("outputall_fig2.txt"))).size(), count2);
    }

    // Mend: no fixed capacity; more rows than the old 2,591,249 are read whole.
    void longDesignFile()
    {
        QByteArray design;
        design.reserve(2600000 * 13);
        for (int r = 0; r < 2600000; ++r)
            design += "99 0 0 0 0 0\n";  // in neither window
        design += "1 2 3 4 5 6";
        putFile(path("outputall.txt"), design);
        int m1 = 0, m2 = 0;
        splitDesignPoints(&m1, &m2, where);
        QCOMPARE(m1, 1);
        QCOMPARE(m2, 1);
    }

    // Numbers are read as "%lf" reads them.
    void numberForms()
    {
        const char text[] = " 1.5 -2e-3 +7 0x1p-2 inf -INFINITY nan -nan 1e999 4.9e-324 .5 3. 1.5-2.5 7e";
        std::vector<double> got;
        readNumbers(text, sizeof text - 1, &got);
        std::vector<double> expected;
        const char* p = text;
        double v;
        int used;
        while (std::sscanf(p, "%lf%n", &v, &used) == 1) {
            expected.push_back(v);
            p += used;
        }
        QCOMPARE(got.size(), expected.size());
        for (std::size_t i = 0; i < got.size(); ++i)
            QVERIFY2(std::memcmp(&got[i], &expected[i], sizeof v) == 0 || (std::isnan(got[i]) && std::isnan(expected[i])),
                     qPrintable(QString::number(i)));
    }

    // The point rows hold exactly what printf("%16.8f") writes.
    void pointRowDigits()
    {
        std::mt19937_64 random(7);
        std::vector<double> values = {0.0, -0.0, 1e-10, -1e-10, 0.001953125, 0.005859375, 0.5e-8,
                                      -0.5e-8, 1.5e-8, 99999999.999999995, 8.99999999e10, 9e10, 137438953471.99998, 137438953472.0,
                                      1e300, -1e300, INFINITY, -INFINITY, NAN, -NAN, 5e-324};
        for (int i = 0; i < 200000; ++i) {
            const double scale = std::pow(10.0, static_cast<int>(random() % 22) - 11);
            values.push_back((static_cast<double>(random() >> 11) / 9007199254740992.0 - 0.5) * scale);
            values.push_back(static_cast<double>(static_cast<std::int64_t>(random() % 2000001) - 1000000) / 512.0);
        }
        for (double v : values) {
            std::string got;
            appendFixed16_8(&got, v);
            char expected[400];
            std::snprintf(expected, sizeof expected, "%16.8f", v);
            QCOMPARE(QByteArray::fromStdString(got), QByteArray(expected));
        }
    }

    // Mend: the application's locale never turns the decimal point into a comma.
    void commaLocale()
    {
        if (!std::setlocale(LC_ALL, "de_DE.UTF-8"))
            QSKIP("no locale with a decimal comma installed");
        putFile(path("outputall.txt"), "+1.5 2.25 3 4 5 0x1.8p1\n");
        int m1 = 0, m2 = 0;
        splitDesignPoints(&m1, &m2, where);
        const double a[4] = {0.5}, b[7] = {};
        const QByteArray report = fitReportBytes(3, a, b);
        std::setlocale(LC_ALL, "C");
        QCOMPARE(fileBytes(path("outputall_fig1.txt")),
                 QByteArray("      1.50000000        2.25000000        3.00000000\n"));
        QCOMPARE(fileBytes(path("outputall_fig2.txt")),
                 QByteArray("      4.00000000        5.00000000        3.00000000\n"));
        QVERIFY(report.contains("a(0)  =       0.5000000000000 \n"));
    }

    void mirroredSurface2File()
    {
        const double x[] = {1, 3}, y[] = {2, 4}, f[] = {5, 6};
        QVERIFY(writeSurface2FitFile(path("output_fit_fig2.txt"), x, y, f, 2));
        QCOMPARE(fileBytes(path("output_fit_fig2.txt")),
                 QByteArray("     -3.00000000        4.00000000        6.00000000\n"
                            "     -1.00000000        2.00000000        5.00000000\n"
                            "      1.00000000        2.00000000        5.00000000\n"
                            "      3.00000000        4.00000000        6.00000000\n"));
    }

    void residualExample()
    {
        const double z[] = {1, 3}, fitted[] = {2, 2};
        QCOMPARE(meanAbsoluteDifference(z, fitted, 2), 1.0);
        QVERIFY(std::isnan(meanAbsoluteDifference(z, fitted, 0)));
    }

    void reportOrder3()
    {
        const double a[] = {1.25, -2.5, 1e-4, 0.125};
        const double b[] = {0, 1, 2, 3, 4, -5.5, 0.0625};
        const QList<QByteArray> expected = {
            "surface equation\xA3\xBA", "", "surface 1:", "z = a(0) + a(1)*x^2 + a(2)*y^2 ", "",
            "a(0)  =       1.2500000000000 ", "a(1)  =      -2.5000000000000 ",
            "a(2)  =       0.0001000000000 ", "", "surface 2:",
            "z = b(0) + b(1)*x + b(2) *x^2     + b(3) *y^2 + ", "    b(4) *x^3     + b(5) *x*y^2 ", "",
            "b(0)  =       0.0000000000000 ", "b(1)  =       1.0000000000000 ",
            "b(2)  =       2.0000000000000 ", "b(3)  =       3.0000000000000 ",
            "b(4)  =       4.0000000000000 ", "b(5)  =      -5.5000000000000 ", "", "",
            " fitting precision\xA3\xBA", " Res1=     0.125000", " Res2=     0.062500", "", ""};
        QCOMPARE(rowsOf(fitReportBytes(3, a, b)), expected);
    }

    void reportOrder8()
    {
        double a[16], b[26];
        for (int i = 0; i < 16; ++i)
            a[i] = i;
        for (int i = 0; i < 26; ++i)
            b[i] = -i;
        const QList<QByteArray> expected = {
            "surface equation\xA3\xBA", "", "surface 1:",
            "z = a(0) + a(1)*x^2 + a(2)*y^2    + a(3) *x^4 + ",
            "    a(4) *x^2*y^2 + a(5) *y^4     + a(6) *x^6 +  ",
            "    a(7) *x^4*y^2 + a(8) *x^2*y^4 + a(9) *y^6 + ",
            "    a(10)*x^8     + a(11)*x^6*y^2 + a(12)*x^4*y^4 + ",
            "    a(13)*x^2*y^6 + a(14)*y^8  ", "",
            "a(0)  =       0.0000000000000 ", "a(1)  =       1.0000000000000 ", "a(2)  =       2.0000000000000 ",
            "a(3)  =       3.0000000000000 ", "a(4)  =       4.0000000000000 ", "a(5)  =       5.0000000000000 ",
            "a(6)  =       6.0000000000000 ", "a(7)  =       7.0000000000000 ", "a(8)  =       8.0000000000000 ",
            "a(9)  =       9.0000000000000 ", "a(10) =      10.0000000000000 ", "a(11) =      11.0000000000000 ",
            "a(12) =      12.0000000000000 ", "a(13) =      13.0000000000000 ", "a(14) =      14.0000000000000 ",
            "", "surface 2:",
            "z = b(0) + b(1)*x + b(2) *x^2     + b(3) *y^2 + ",
            "    b(4) *x^3     + b(5) *x*y^2   + b(6) *x^4 + ",
            "    b(7) *x^2*y^2 + b(8) *y^4     + b(9) *x^5 + ",
            "    b(10)*x^3*y^2 + b(11)*x*y^4   + b(12)*x^6 + ",
            "    b(13)*x^4*y^2 + b(14)*x^2*y^4 + b(15)*y^6 + ",
            "    b(16)*x^7     + b(17)*x^5*y^2 + b(18)*x^3*y^4 + ",
            "    b(19)*x*y^6   + b(20)*x^8     + b(21)*x^6*y^2 + ",
            "    b(22)*x^4*y^4 + b(23)*x^2*y^6 + b(24)*y^8 ", "",
            "b(0)  =       0.0000000000000 ", "b(1)  =      -1.0000000000000 ", "b(2)  =      -2.0000000000000 ",
            "b(3)  =      -3.0000000000000 ", "b(4)  =      -4.0000000000000 ", "b(5)  =      -5.0000000000000 ",
            "b(6)  =      -6.0000000000000 ", "b(7)  =      -7.0000000000000 ", "b(8)  =      -8.0000000000000 ",
            "b(9)  =      -9.0000000000000 ", "b(10) =     -10.0000000000000 ", "b(11) =     -11.0000000000000 ",
            "b(12) =     -12.0000000000000 ", "b(13) =     -13.0000000000000 ", "b(14) =     -14.0000000000000 ",
            "b(15) =     -15.0000000000000 ", "b(16) =     -16.0000000000000 ", "b(17) =     -17.0000000000000 ",
            "b(18) =     -18.0000000000000 ", "b(19) =     -19.0000000000000 ", "b(20) =     -20.0000000000000 ",
            "b(21) =     -21.0000000000000 ", "b(22) =     -22.0000000000000 ", "b(23) =     -23.0000000000000 ",
            "b(24) =     -24.0000000000000 ", "", "",
            " fitting precision\xA3\xBA", "Res1=    15.000000", "Res2=   -25.000000", "", ""};
        QCOMPARE(rowsOf(fitReportBytes(8, a, b)), expected);
    }

    // Points exactly on a polynomial of the order's terms give back its
    // coefficients; the files the run leaves are consistent with them.
    void polynomialSurfaces_data()
    {
        QTest::addColumn<int>("order");
        QTest::addColumn<int>("k1");
        QTest::addColumn<int>("k2");
        QTest::addColumn<double>("tolerance");
        // The explicit inverse of the raw normal matrix loses digits as the
        // order rises.
        QTest::newRow("order 3") << 3 << 3 << 6 << 1e-6;
        QTest::newRow("order 4") << 4 << 6 << 9 << 1e-6;
        QTest::newRow("order 5") << 5 << 6 << 12 << 1e-6;
        QTest::newRow("order 6") << 6 << 10 << 16 << 1e-5;
        QTest::newRow("order 7") << 7 << 10 << 20 << 1e-4;
        QTest::newRow("order 8") << 8 << 15 << 25 << 1e-3;
    }

    void polynomialSurfaces()
    {
        QFETCH(int, order);
        QFETCH(int, k1);
        QFETCH(int, k2);
        QFETCH(double, tolerance);
        double a[15], b[25];
        for (int i = 0; i < 15; ++i)
            a[i] = (i % 5) - 2;
        for (int i = 0; i < 25; ++i)
            b[i] = (i % 3) - 1 + (i == 0 ? 5 : 0);
        int m1 = 0, m2 = 0;
        putFile(path("outputall.txt"), polynomialDesign(a, k1, b, k2, &m1, &m2));
        const FitRunSummary s = fitAndReportOrder(order, where);
        QCOMPARE(s.order, order);
        QVERIFY(s.designFileFound && s.pointFilesRead && s.fitFilesWritten && s.reportWritten);
        QCOMPARE(s.surface1Count, m1);
        QCOMPARE(s.surface2Count, m2);
        QCOMPARE(int(s.surface1Results.size()), k1 + 1);
        QCOMPARE(int(s.surface2Results.size()), k2 + 1);
        for (int i = 0; i < k1; ++i)
            QVERIFY2(std::fabs(s.surface1Results[i] - a[i]) < tolerance, qPrintable(QString("a(%1)").arg(i)));
        for (int i = 0; i < k2; ++i)
            QVERIFY2(std::fabs(s.surface2Results[i] - b[i]) < tolerance, qPrintable(QString("b(%1)").arg(i)));
        QVERIFY(s.surface1Results[k1] < tolerance / 10);
        QVERIFY(s.surface2Results[k2] < tolerance / 10);

        QVERIFY(!QFile::exists(path("outputall_fig1.txt")));
        QVERIFY(!QFile::exists(path("outputall_fig2.txt")));
        const QList<QByteArray> fit1 = rowsOf(fileBytes(path("output_fit_fig1.txt")));
        const QList<QByteArray> fit2 = rowsOf(fileBytes(path("output_fit_fig2.txt")));
        QCOMPARE(fit1.size(), m1);
        QCOMPARE(fit2.size(), 2 * m2);
        // Row 0 of surface 1 is (-3, -1); its fitted height is that of the polynomial.
        QCOMPARE(fit1[0].left(36), QByteArray("     -3.00000000       -1.00000000  "));
        QVERIFY(std::fabs(fit1[0].mid(36).toDouble() - polynomial(surface1Powers, a, k1, -3, -1)) < tolerance);
        for (int i = 0; i < m2; ++i) {  // mirrored half: same y and height, x negated, reverse order
            const QList<QByteArray> mirror = fit2[m2 - 1 - i].simplified().split(' ');
            const QList<QByteArray> point = fit2[m2 + i].simplified().split(' ');
            QCOMPARE(mirror[0], "-" + point[0]);
            QCOMPARE(mirror.mid(1), point.mid(1));
        }
        const QByteArray report = fileBytes(path("result_para_fit.txt"));
        QCOMPARE(report.count("  =  ") + report.count(") =  "), k1 + k2);
        QCOMPARE(report.contains("\n Res1="), order == 3);
    }

    // A second run of another order, on fewer points, replaces all three files;
    // an order outside 3 to 8 runs as order 3.
    void secondRunOverwrites()
    {
        double a[15] = {1, 2, 3}, b[25] = {2, 3, 0, 0, 0.5};
        int m1 = 0, m2 = 0;
        putFile(path("outputall.txt"), polynomialDesign(a, 3, b, 6, &m1, &m2));
        fitAndReportOrder(8, where);
        putFile(path("outputall.txt"), "1 1 5 1 1 5\n2 1 6 2 1 6\n1 -1.5 8 1 -2 8\n0 0 9 3 0 9\n");
        const FitRunSummary s = fitAndReportOrder(0, where);
        QCOMPARE(s.order, 3);
        QCOMPARE(s.surface1Count, 4);
        QCOMPARE(rowsOf(fileBytes(path("output_fit_fig1.txt"))).size(), 4);
        QCOMPARE(rowsOf(fileBytes(path("output_fit_fig2.txt"))).size(), 8);
        const QByteArray report = fileBytes(path("result_para_fit.txt"));
        QVERIFY(report.contains("a(2)  =  ") && !report.contains("a(3)") && !report.contains("b(6)"));
    }

    // Mend: a missing design file is a file without rows, and says so.
    void missingDesignFile()
    {
        FitRunSummary s;
        const QByteArray out = capturedStdout([&] { s = fitAndReportOrder(5, where); });
        QCOMPARE(out, QByteArray("\xB2\xBB\xC4\xDC\xD5\xD2\xB5\xBD\xCE\xC4\xBC\xFE"));
        QVERIFY(!s.designFileFound);
        QCOMPARE(s.surface1Count, 0);
        QCOMPARE(s.surface2Count, 0);
        for (int i = 0; i < 6; ++i)
            QCOMPARE(s.surface1Results[i], 0.0);
        QVERIFY(std::isnan(s.surface1Results[6]) && std::isnan(s.surface2Results[12]));
        QCOMPARE(fileBytes(path("output_fit_fig1.txt")), QByteArray());
        QCOMPARE(fileBytes(path("output_fit_fig2.txt")), QByteArray());
        const QList<QByteArray> report = rowsOf(fileBytes(path("result_para_fit.txt")));
        QCOMPARE(report[6], QByteArray("a(0)  =       0.0000000000000 "));
        QVERIFY(QRegularExpression("^Res1= +-?nan$").match(report[report.size() - 4]).hasMatch());
        QVERIFY(!QFile::exists(path("outputall_fig1.txt")));
    }

    // Mend: point files that cannot be written and read back give no points,
    // never uninitialised ones.
    void unwritableOutput()
    {
        putFile(path("outputall.txt"), "1 2 3 4 5 6\n");
        where.outputDirectory = path("no/such/dir");
        FitRunSummary s;
        const QByteArray out = capturedStdout([&] { s = fitAndReportOrder(4, where); });
        QCOMPARE(out, QByteArray("\xB2\xBB\xC4\xDC\xD5\xD2\xB5\xBD\xCE\xC4\xBC\xFE").repeated(2));
        QVERIFY(s.designFileFound && !s.pointFilesRead && !s.fitFilesWritten && !s.reportWritten);
        QCOMPARE(s.surface1Count, 0);
        QCOMPARE(s.surface1Results[0], 0.0);
    }

    // Mend: the window sees the colons as U+FF1A, whatever the system codec.
    void reportTextForTheWindow()
    {
        bool opened = true;
        QCOMPARE(readFitReportText(dir.path(), &opened), QString());
        QVERIFY(!opened);
        const double a[4] = {}, b[7] = {};
        QVERIFY(writeFitReport(path("result_para_fit.txt"), 3, a, b));
        const QString text = readFitReportText(dir.path(), &opened);
        QVERIFY(opened);
        QVERIFY(text.startsWith(QString::fromUtf8("surface equation\xEF\xBC\x9A\n\nsurface 1:\n")));
        QVERIFY(text.contains(QString::fromUtf8("\n fitting precision\xEF\xBC\x9A\n Res1=")));
    }

    // The named entry points work in the working directory.
    void namedEntryPoints()
    {
        const QString previous = QDir::currentPath();
        QDir::setCurrent(dir.path());
        putFile("outputall.txt", "1 1 5 1 1 5\n2 1 6 2 1 6\n1 -1.5 8 1 -2 8\n0 0 9 3 0 9\n");
        double r1[16], r2[26];
        std::fill(r1, r1 + 16, -7.0);
        runFitOrder6(r1, r2);
        QCOMPARE(r1[11], -7.0);  // k1 + 1 = 11 values written, no more
        fitAndReportOrder7();
        QDir::setCurrent(previous);
        QVERIFY(fileBytes(path("result_para_fit.txt")).contains("b(19) =  "));
        QCOMPARE(rowsOf(fileBytes(path("output_fit_fig2.txt"))).size(), 8);
    }

private:
    QString path(const QString& name) const { return QDir(dir.path()).filePath(name); }

    QTemporaryDir dir;
    FitRunLocation where;
};

QTEST_GUILESS_MAIN(FitRunTest)
#include "tst_fit_run.moc"
