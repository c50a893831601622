// The material catalogue: every built-in material against its source's
// published n_d and V_d, the polymers against measured indices, the formula
// kinds against hand-evaluated closed forms, the reader's refusals and the
// wavelength bands.

#include "materials/band.h"
#include "materials/material.h"

#include <QtTest>

#include <cmath>

using namespace materials;

class TestMaterials : public QObject
{
    Q_OBJECT

private slots:
    void publishedFigures_data();
    void publishedFigures();
    void everyMaterialHasItsFigures();
    void measuredPolymerIndices_data();
    void measuredPolymerIndices();
    void formulaKinds_data();
    void formulaKinds();
    void userFileReplacesAndAdds();
    void malformedCatalogue_data();
    void malformedCatalogue();
    void materialAndWavelength_data();
    void materialAndWavelength();
    void bands_data();
    void bands();
};

void TestMaterials::publishedFigures_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<double>("nd");   // as the source publishes them
    QTest::addColumn<double>("vd");
    QTest::newRow("N-BK7") << "N-BK7" << 1.5168 << 64.17;
    QTest::newRow("F2") << "F2" << 1.62004 << 36.37;
    QTest::newRow("N-K5") << "N-K5" << 1.52249 << 59.48;
    QTest::newRow("N-SF2") << "N-SF2" << 1.64769 << 33.82;
    QTest::newRow("fused silica") << "fused silica" << 1.45846 << 67.82;
    QTest::newRow("PMMA") << "PMMA" << 1.4914 << 52.60;
    QTest::newRow("polycarbonate") << "polycarbonate" << 1.585 << 29.1;
    QTest::newRow("Zeonex E48R") << "Zeonex E48R" << 1.5305 << 51.79;
}

void TestMaterials::publishedFigures()
{
    QFETCH(QString, name);
    QFETCH(double, nd);
    QFETCH(double, vd);
    const Material* m = Catalogue::builtIn().find(name);
    QVERIFY2(m, qPrintable(name));
    // The figures written here are the sources' own, so a changed catalogue
    // entry cannot move its target with it.
    QCOMPARE(m->publishedNd, nd);
    QCOMPARE(m->publishedVd, vd);
    QVERIFY(m->ndPrecision > 0.0 && m->vdPrecision > 0.0);
    QVERIFY2(std::fabs(m->index(lineD) - nd) <= m->ndPrecision,
             qPrintable(QStringLiteral("n_d %1").arg(m->index(lineD), 0, 'f', 6)));
    QVERIFY2(std::fabs(m->abbeNumber() - vd) <= m->vdPrecision,
             qPrintable(QStringLiteral("V_d %1").arg(m->abbeNumber(), 0, 'f', 3)));
    QVERIFY(m->covers(lineF) && m->covers(lineC));
    QVERIFY(!m->source.isEmpty());
}

void TestMaterials::everyMaterialHasItsFigures()
{
    // A material added to materials.txt without its figures fails here.
    for (const QString& name : Catalogue::builtIn().names()) {
        const Material* m = Catalogue::builtIn().find(name);
        QVERIFY2(m->publishedNd > 1.0 && m->publishedVd > 0.0, qPrintable(name));
        QVERIFY2(std::fabs(m->index(lineD) - m->publishedNd) <= m->ndPrecision, qPrintable(name));
        QVERIFY2(std::fabs(m->abbeNumber() - m->publishedVd) <= m->vdPrecision, qPrintable(name));
    }
    QCOMPARE(Catalogue::builtIn().names().size(), 8);
}

void TestMaterials::measuredPolymerIndices_data()
{
    // Sultanova, Kasarova, Nikolov, Acta Phys. Pol. A 116, 585 (2009):
    // measured to +-0.001 at 20 C.
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVector<double>>("measured");
    QTest::newRow("PMMA") << "PMMA" << QVector<double>{1.502, 1.497, 1.491, 1.489, 1.486, 1.484, 1.483, 1.481};
    QTest::newRow("polycarbonate") << "polycarbonate"
                                   << QVector<double>{1.612, 1.599, 1.585, 1.580, 1.575, 1.569, 1.568, 1.565};
}

void TestMaterials::measuredPolymerIndices()
{
    QFETCH(QString, name);
    QFETCH(QVector<double>, measured);
    const double wavelengths[] = {436.8, 486.1, 587.6, 632.8, 703.0, 833.0, 879.0, 1052.0};
    const Material* m = Catalogue::builtIn().find(name);
    QVERIFY(m);
    for (int i = 0; i < measured.size(); ++i) {
        const double n = m->index(wavelengths[i]);
        // The measurement's +-0.001 and the last digit's rounding.
        QVERIFY2(std::fabs(n - measured[i]) <= 0.0015,
                 qPrintable(QStringLiteral("%1 nm: %2 against %3").arg(wavelengths[i]).arg(n, 0, 'f', 5).arg(measured[i])));
    }
}

void TestMaterials::formulaKinds_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<double>("wavelengthNm");
    QTest::addColumn<double>("expected");
    // At 1 um every power of the wavelength is 1.
    QTest::newRow("schott at 1 um") << QByteArray("[S]\nformula = schott\nA = 2.2 0.01 0.02 0.003 0.0004 0.00005\n"
                                                  "range = 400 1100\nsource = test\n")
                                    << 1000.0 << std::sqrt(2.2 + 0.01 + 0.02 + 0.003 + 0.0004 + 0.00005);
    // At 0.5 um: l^2 = 0.25, l^-2 = 4, l^-4 = 16.
    QTest::newRow("schott at 0.5 um") << QByteArray("[S]\nformula = schott\nA = 2.2 -0.01 0.02 0.001\n"
                                                    "range = 400 1100\nsource = test\n")
                                      << 500.0 << std::sqrt(2.2 - 0.01 * 0.25 + 0.02 * 4 + 0.001 * 16);
    QTest::newRow("cauchy at 0.5 um") << QByteArray("[K]\nformula = cauchy\nA = 1.5 0.004 0.0001\n"
                                                    "range = 400 1100\nsource = test\n")
                                      << 500.0 << 1.5 + 0.004 * 4 + 0.0001 * 16;
    // One Sellmeier term at 1 um: n^2 = 1 + B / (1 - C).
    QTest::newRow("sellmeier at 1 um") << QByteArray("[M]\nB = 1.2\nC = 0.01\nrange = 400 1100\nsource = test\n")
                                       << 1000.0 << std::sqrt(1.0 + 1.2 / 0.99);
}

void TestMaterials::formulaKinds()
{
    QFETCH(QByteArray, text);
    QFETCH(double, wavelengthNm);
    QFETCH(double, expected);
    Catalogue c;
    QString error;
    QVERIFY2(c.add(text, QStringLiteral("mine.txt"), &error), qPrintable(error));
    QCOMPARE(c.names().size(), 1);
    const double n = c.find(c.names().first())->index(wavelengthNm);
    QVERIFY2(std::fabs(n - expected) < 1e-14, qPrintable(QString::number(n - expected)));
}

void TestMaterials::userFileReplacesAndAdds()
{
    Catalogue c = Catalogue::builtIn();
    QString error;
    const QByteArray mine = "[PMMA]\nformula = cauchy\nA = 1.48 0.004\nrange = 400 1000\nsource = my lot\n"
                            "[my glass]\nformula = cauchy\nA = 1.6\nrange = 400 1000\nsource = my lot\n";
    QVERIFY2(c.add(mine, QStringLiteral("mine.txt"), &error), qPrintable(error));
    QCOMPARE(c.names().size(), 9);
    QCOMPARE(c.find(QStringLiteral("PMMA"))->index(1000.0), 1.484);
    QCOMPARE(c.find(QStringLiteral("my glass"))->index(500.0), 1.6);
    // The built-in catalogue itself is untouched.
    QCOMPARE(Catalogue::builtIn().find(QStringLiteral("PMMA"))->formula, Formula::Schott);
}

void TestMaterials::malformedCatalogue_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("message");  // its start
    QTest::newRow("unknown formula") << QByteArray("[A]\nformula = conrady\n") << "bad.txt:2: unknown formula";
    QTest::newRow("no equals") << QByteArray("[A]\nformula = cauchy\nA 1.5\n") << "bad.txt:3: expected KEY = VALUE";
    QTest::newRow("bad number") << QByteArray("# c\n[A]\nformula = cauchy\nA = 1.5 x\n") << "bad.txt:4: A needs numbers";
    QTest::newRow("value before name") << QByteArray("A = 1.5\n") << "bad.txt:1: a value before the first [NAME]";
    QTest::newRow("schott without A") << QByteArray("\n[A]\nformula = schott\nrange = 400 900\nsource = s\n")
                                      << "bad.txt:2: material A needs its A coefficients";
    QTest::newRow("cauchy with B") << QByteArray("[A]\nformula = cauchy\nA = 1.5\nB = 1\nrange = 400 900\nsource = s\n")
                                   << "bad.txt:1: material A needs its A coefficients";
    QTest::newRow("seven schott terms") << QByteArray("[A]\nformula = schott\nA = 2 0 0 0 0 0 0\nrange = 400 900\nsource = s\n")
                                        << "bad.txt:1: material A takes at most six";
    QTest::newRow("no range") << QByteArray("[A]\nformula = cauchy\nA = 1.5\nsource = s\n")
                              << "bad.txt:1: material A needs a valid range";
    QTest::newRow("no source") << QByteArray("[A]\nformula = cauchy\nA = 1.5\nrange = 400 900\n")
                               << "bad.txt:1: material A needs its source";
    QTest::newRow("index below 1") << QByteArray("[A]\nformula = cauchy\nA = 0.5\nrange = 400 900\nsource = s\n")
                                   << "bad.txt:1: material A gives no index between 1 and 4";
    QTest::newRow("custom redefined") << QByteArray("[custom]\n") << "bad.txt:1: \"custom\" is the panel's";
}

void TestMaterials::malformedCatalogue()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, message);
    Catalogue c = Catalogue::builtIn();
    QString error;
    QVERIFY(!c.add(text, QStringLiteral("bad.txt"), &error));
    QVERIFY2(error.startsWith(message), qPrintable(error));
    QVERIFY(!error.contains(QLatin1Char('\n')));
    QCOMPARE(c.names(), Catalogue::builtIn().names());  // nothing taken
}

void TestMaterials::materialAndWavelength_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<double>("wavelengthNm");
    QTest::addColumn<QString>("fault");  // empty: accepted
    QTest::newRow("custom anywhere") << "custom" << 5000.0 << "";
    QTest::newRow("N-BK7 at 850") << "N-BK7" << 850.0 << "";
    QTest::newRow("unknown") << "BK7" << 587.56 << "--material: unknown material \"BK7\"";
    QTest::newRow("PMMA in the UV") << "PMMA" << 400.0 << "wavelength 400 nm is outside PMMA's valid range 435.8-1052 nm";
    QTest::newRow("N-SF2 at 350") << "N-SF2" << 350.0 << "wavelength 350 nm is outside N-SF2's valid range";
    QTest::newRow("negative") << "N-BK7" << -1.0 << "wavelength -1 nm is not a wavelength";
}

void TestMaterials::materialAndWavelength()
{
    QFETCH(QString, name);
    QFETCH(double, wavelengthNm);
    QFETCH(QString, fault);
    Material m;
    QString error;
    double n = 0.0;
    const bool ok = findMaterial(Catalogue::builtIn(), name, 1.48, &m, &error) && indexAt(m, wavelengthNm, &n, &error);
    QCOMPARE(ok, fault.isEmpty());
    if (ok) {
        QVERIFY(n > 1.4 && n < 1.6);
        if (name == QLatin1String("custom"))
            QCOMPARE(n, 1.48);
    } else {
        QVERIFY2(error.startsWith(fault), qPrintable(error));
    }
}

void TestMaterials::bands_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");
    QTest::addColumn<QString>("fault");
    QTest::newRow("visible") << "visible" << lineF << lineC << "";
    QTest::newRow("nir850") << "nir850" << 825.0 << 875.0 << "";
    QTest::newRow("nir940") << "nir940" << 915.0 << 965.0 << "";
    QTest::newRow("own band") << "610-640" << 610.0 << 640.0 << "";
    QTest::newRow("1 nm") << "850-851" << 850.0 << 851.0 << "";
    QTest::newRow("too narrow") << "850-850.5" << 0.0 << 0.0 << "--band: 850 to 850.5 nm is narrower than 1 nm";
    QTest::newRow("reversed") << "700-600" << 0.0 << 0.0 << "--band: 700 to 600 nm is narrower";
    QTest::newRow("word") << "infrared" << 0.0 << 0.0 << "--band: \"infrared\" is not";
}

void TestMaterials::bands()
{
    QFETCH(QString, text);
    QFETCH(double, low);
    QFETCH(double, high);
    QFETCH(QString, fault);
    Band band;
    QString error;
    const bool ok = parseBand(text, &band, &error);
    QCOMPARE(ok, fault.isEmpty());
    if (!ok) {
        QVERIFY2(error.startsWith(fault), qPrintable(error));
        return;
    }
    QCOMPARE(band.lowNm, low);
    QCOMPARE(band.highNm, high);
    QCOMPARE(band.wavelengthsNm.front(), low);
    QCOMPARE(band.wavelengthsNm.back(), high);
    double sum = 0.0;
    for (double w : band.weights)
        sum += w;
    QCOMPARE(sum, 1.0);
}

QTEST_GUILESS_MAIN(TestMaterials)
#include "tst_materials.moc"
