// The one-shot's colour options through the real command-line tool: bad
// input is refused with exit 2, one line on standard error and nothing
// written; a material and band go into design.json, prism.json and
// verification.json.

#include "tests/verify/test_support.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

QJsonObject jsonFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
}

}  // namespace

class TestCliColour : public QObject {
    Q_OBJECT

private slots:
    void refused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("catalogue");  // written to mine.txt when not empty
        QTest::addColumn<QString>("message");       // the line's start
        QTest::newRow("unknown material") << QStringList{"--material", "BK7"} << QByteArray()
                                          << "--material: unknown material \"BK7\"";
        QTest::newRow("wavelength outside PMMA's range")
            << QStringList{"--material", "PMMA", "--wavelength", "400"} << QByteArray()
            << "--wavelength: wavelength 400 nm is outside PMMA's valid range 435.8-1052 nm";
        QTest::newRow("band edge outside the range")
            << QStringList{"--material", "polycarbonate", "--band", "400-500"} << QByteArray()
            << "--band 400-500: wavelength 400 nm is outside polycarbonate's valid range";
        QTest::newRow("band narrower than 1 nm") << QStringList{"--band", "850-850.5"} << QByteArray()
                                                 << "--band: 850 to 850.5 nm is narrower than 1 nm";
        QTest::newRow("band not a band") << QStringList{"--band", "uv"} << QByteArray()
                                         << "--band: \"uv\" is not visible, nir850, nir940 or W1-W2";
        QTest::newRow("wavelength not a number") << QStringList{"--wavelength", "green"} << QByteArray()
                                                 << "--wavelength must be a number above 0";
        QTest::newRow("index with a material") << QStringList{"--material", "N-BK7", "--index", "1.5"} << QByteArray()
                                               << "--index is the custom material's";
        QTest::newRow("malformed catalogue") << QStringList{"--material", "mine"}
                                             << QByteArray("[mine]\nformula = cauchy\nA = 1.5 zero\n")
                                             << "mine.txt:3: A needs numbers";
        QTest::newRow("catalogue without a source") << QStringList{"--material", "mine"}
                                                    << QByteArray("[mine]\nformula = cauchy\nA = 1.5\nrange = 400 900\n")
                                                    << "mine.txt:1: material mine needs its source";
        QTest::newRow("missing catalogue") << QStringList{"--catalogue", "absent.txt"} << QByteArray()
                                           << "absent.txt: cannot be read";
    }

    void refused()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, catalogue);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QDir::setCurrent(dir.path());
        if (!catalogue.isEmpty()) {
            QVERIFY(putFile(QStringLiteral("mine.txt"), catalogue));
            arguments << QStringLiteral("--catalogue") << QStringLiteral("mine.txt");
        }
        const QStringList before = QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
        const CliResult run = runCli(QStringList{QStringLiteral("prism")} + arguments);
        QCOMPARE(run.code, 2);
        const QString err = QString::fromUtf8(run.err).trimmed();
        QVERIFY2(err.contains(message), qPrintable(err));
        QVERIFY2(!err.contains(QLatin1Char('\n')), qPrintable(err));
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), before);
    }

    void materialAndBandRecorded()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const CliResult run = runCli({QStringLiteral("prism"), QStringLiteral("--material"), QStringLiteral("PMMA"),
                                QStringLiteral("--band"), QStringLiteral("nir850"), QStringLiteral("--output-dir"),
                                dir.path(), QStringLiteral("--folder"), QStringLiteral("pmma")});
        QVERIFY2(run.code == 0, run.err.constData());
        const QDir folder(dir.filePath(QStringLiteral("pmma")));
        for (const char* name : {"design.json", "prism.json"}) {
            const QJsonObject o = jsonFile(folder.filePath(QString::fromLatin1(name)));
            QCOMPARE(o.value(QStringLiteral("material")).toString(), QStringLiteral("PMMA"));
            QCOMPARE(o.value(QStringLiteral("wavelengthNm")).toDouble(), 587.5618);
            QCOMPARE(o.value(QStringLiteral("band")).toObject().value(QStringLiteral("lowNm")).toDouble(), 825.0);
            QCOMPARE(o.value(QStringLiteral("band")).toObject().value(QStringLiteral("highNm")).toDouble(), 875.0);
        }
        // PMMA's index at the d line, 1.4914 by its source, designs the prism.
        const double n = jsonFile(folder.filePath(QStringLiteral("prism.json")))
                             .value(QStringLiteral("panel")).toObject().value(QStringLiteral("refractiveIndex")).toDouble();
        QVERIFY2(std::fabs(n - 1.4914) < 1e-4, qPrintable(QString::number(n, 'g', 10)));
        const QJsonObject colour =
            jsonFile(folder.filePath(QStringLiteral("verification.json"))).value(QStringLiteral("lateralColour")).toObject();
        const QJsonArray halves = colour.value(QStringLiteral("halves")).toArray();
        QCOMPARE(halves.size(), 2);
        // Closed form: each half turns its rays by the angle between a
        // camera ray and its virtual camera's, delta = atan(q / f) at the
        // half's centre; a thin prism turning by delta = (n - 1) A turns the
        // band's edges apart by (n_short - n_long) delta / (n - 1), an image
        // shift of f / pitch times that.
        const double q = 1920 * 0.0055 / 4, f = 35.0;
        const double closedPx = f / 0.0055 * std::atan(q / f)
                                * (colour.value(QStringLiteral("shortIndex")).toDouble()
                                   - colour.value(QStringLiteral("longIndex")).toDouble())
                                / (n - 1.0);
        for (const QJsonValue& h : halves) {
            const double mean = h.toObject().value(QStringLiteral("lateralColour")).toObject()
                                    .value(QStringLiteral("meanPx")).toDouble();
            QVERIFY2(std::fabs(mean / closedPx - 1.0) < 0.02, qPrintable(QStringLiteral("%1 against %2").arg(mean).arg(closedPx)));
        }
        for (const QJsonValue& h : halves) {
            const QJsonObject c = h.toObject().value(QStringLiteral("lateralColour")).toObject();
            // PMMA from 825 to 875 nm: n differs by about 0.0005, a shift of
            // about half a pixel; the mean carries almost all of it.
            QVERIFY(c.value(QStringLiteral("rmsPx")).toDouble() > 0.1);
            QVERIFY(c.value(QStringLiteral("rmsPx")).toDouble() < 2.0);
            QVERIFY(c.value(QStringLiteral("outsideCentreDemeanedRmsPx")).toDouble()
                    < 0.1 * c.value(QStringLiteral("meanPx")).toDouble());
        }
        QVERIFY(QFile::exists(folder.filePath(QStringLiteral("lateral_colour_map.png"))));
        QFile report(folder.filePath(QStringLiteral("report.html")));
        QVERIFY(report.open(QIODevice::ReadOnly));
        QVERIFY(report.readAll().contains("Lateral colour"));
    }
};

QTEST_GUILESS_MAIN(TestCliColour)
#include "tst_cli_colour.moc"
