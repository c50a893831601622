// The files the verifier reads ("design.json", "result_para_fit.json") read
// back exactly as written, malformed ones refused with a message, and the
// command-line verification: its JSON, its exit codes for bad input, and
// the same numbers from the fit in memory and from its file.
#include "design/design_json.h"
#include "fit/fit_json.h"
#include "textio/json_writer.h"
#include "test_support.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

bool sameDouble(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

}  // namespace

class TestVerifyFiles : public QObject {
    Q_OBJECT

private slots:
    void jsonNumbers_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("tenth") << 0.1 << QByteArray("0.1");
        QTest::newRow("float index") << double(1.48f) << QByteArray("1.4800000190734863");
        QTest::newRow("large") << 1e21 << QByteArray("1e+21");
        QTest::newRow("smallest") << 5e-324 << QByteArray("5e-324");
        QTest::newRow("integer") << -35.0 << QByteArray("-35");
        QTest::newRow("infinity") << std::numeric_limits<double>::infinity() << QByteArray("null");
        QTest::newRow("nan") << std::nan("") << QByteArray("null");
    }

    void jsonNumbers()
    {
        QFETCH(double, value);
        QFETCH(QByteArray, text);
        QByteArray out;
        appendJsonNumber(&out, value);
        QCOMPARE(out, text);
        if (std::isfinite(value))
            QVERIFY(sameDouble(std::strtod(out.constData(), nullptr), value));
    }

    void designJsonRoundTrip_data()
    {
        QTest::addColumn<bool>("withPanel");
        QTest::addColumn<double>("hitX");
        QTest::newRow("panel") << true << 14.875704765319824;
        QTest::newRow("no panel") << false << 3.0000000000000004;
        QTest::newRow("no hit point") << true << std::nan("");
    }

    void designJsonRoundTrip()
    {
        QFETCH(bool, withPanel);
        QFETCH(double, hitX);
        PanelParameters panel;
        panel.focalLength = 40;
        panel.setAngle(12.5);
        panel.refractiveIndex = 1.52;
        DesignParameters p = toDesignParameters(panel, CentralRayHit{true, hitX, 12.784213687271404});
        DesignRecord record;
        fillDesignRecord(record, p);
        const DesignJson written = designJsonFromRecord(record, withPanel ? &panel : nullptr);
        QTemporaryDir dir;
        QVERIFY(writeDesignJson(dir.path(), written));
        DesignJson read;
        QString error;
        QVERIFY2(readDesignJson(dir.filePath("design.json"), &read, &error), qPrintable(error));
        QCOMPARE(read.panelKnown, withPanel);
        QCOMPARE(read.designModel, QStringLiteral("classic"));
        const double DesignJson::*members[] = {&DesignJson::angleDeg,        &DesignJson::angleRad,
                                               &DesignJson::focalLength,     &DesignJson::prismDistance,
                                               &DesignJson::prismSize,       &DesignJson::refractiveIndex,
                                               &DesignJson::pinholeHeight,   &DesignJson::virtualPinholeX,
                                               &DesignJson::centralRayHitX,  &DesignJson::centralRayHitY};
        for (auto m : members)
            QVERIFY(sameDouble(read.*m, written.*m));
        QVERIFY(sameDouble(read.refractiveIndex, double(1.52f)));
        QVERIFY(sameDouble(read.virtualPinholeX, -hitX));
        if (withPanel) {
            QCOMPARE(read.panel.focalLength, 40);
            QCOMPARE(read.panel.angleDeg, 12.5);
        }
    }

    void fitJsonRoundTrip_data()
    {
        QTest::addColumn<int>("order");
        for (int order = 3; order <= 8; ++order)
            QTest::newRow(qPrintable(QString::number(order))) << order;
    }

    void fitJsonRoundTrip()
    {
        QFETCH(int, order);
        FitRunSummary summary;
        summary.order = order;
        summary.surface1Count = 1234;
        summary.surface2Count = 567;
        // Values the report's 13 decimals would lose or cannot print.
        const double awkward[] = {1e-300, -3.3e-17, 0.1, 1.0 / 3.0, -2.5e-12, 4.424191891829528e-06, 7e22};
        for (int i = 0; i < 25; ++i) {
            summary.surface1Results.push_back(awkward[i % 7] * (i + 1));
            summary.surface2Results.push_back(-awkward[(i + 3) % 7] / (i + 1));
        }
        const FitJson fit = fitJsonFromSummary(summary);
        summary.surface1Results.resize(fit.surface1.coefficients.size());
        summary.surface1Results.push_back(std::nan(""));  // Res1 not finite
        summary.surface2Results.resize(fit.surface2.coefficients.size());
        summary.surface2Results.push_back(0.000439466);
        const FitJson written = fitJsonFromSummary(summary);
        QTemporaryDir dir;
        QVERIFY(writeFitJson(dir.path(), written));
        FitJson read;
        QString error;
        QVERIFY2(readFitJson(dir.filePath("result_para_fit.json"), &read, &error), qPrintable(error));
        QCOMPARE(read.order, order);
        const int k1[] = {3, 6, 6, 10, 10, 15};
        const int k2[] = {6, 9, 12, 16, 20, 25};
        QCOMPARE(int(read.surface1.coefficients.size()), k1[order - 3]);
        QCOMPARE(int(read.surface2.coefficients.size()), k2[order - 3]);
        for (std::size_t i = 0; i < read.surface1.coefficients.size(); ++i)
            QVERIFY(sameDouble(read.surface1.coefficients[i], summary.surface1Results[i]));
        for (std::size_t i = 0; i < read.surface2.coefficients.size(); ++i)
            QVERIFY(sameDouble(read.surface2.coefficients[i], summary.surface2Results[i]));
        QVERIFY(std::isnan(read.surface1.residual));
        QCOMPARE(read.surface2.residual, 0.000439466);
        QCOMPARE(read.surface1.points, 1234);
        // Surface 1 holds even powers only; surface 2 odd powers of x, even of y.
        for (std::size_t i = 0; i < read.surface1.xPowers.size(); ++i)
            QVERIFY(read.surface1.xPowers[i] % 2 == 0 && read.surface1.yPowers[i] % 2 == 0);
        QCOMPARE(read.surface2.xPowers[1], 1);
        QVERIFY(read.surface2.mirrored && !read.surface1.mirrored);
        QCOMPARE(read.surface2.xLow, 0.0);
        QCOMPARE(read.surface1.yHigh, 18.0);
    }

    void malformedFitJson_data()
    {
        const QByteArray good = [] {
            FitRunSummary s;
            s.order = 3;
            s.surface1Results = {1, 2, 3, 0.5};
            s.surface2Results = {1, 2, 3, 4, 5, 6, 0.5};
            return fitJsonBytes(fitJsonFromSummary(s));
        }();
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing") << QByteArray() << "cannot read";
        QTest::newRow("cut off") << good.left(good.size() / 2) << "not valid JSON";
        QTest::newRow("order 9") << QByteArray(good).replace("\"order\": 3", "\"order\": 9") << "order";
        QTest::newRow("term not the model's") << QByteArray(good).replace("[2, 0]", "[2, 1]") << "term 1 of surface 1";
        QTest::newRow("coefficient a word") << QByteArray(good).replace("\n      2,", "\n      \"two\",") << "coefficient";
        QTest::newRow("no window") << QByteArray(good).replace("\"window\"", "\"pane\"") << "window";
        QTest::newRow("too few coefficients") << QByteArray(good).replace(",\n      3\n", "\n") << "needs 3";
    }

    void malformedFitJson()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        QTemporaryDir dir;
        if (!content.isEmpty())
            QVERIFY(putFile(dir.filePath("result_para_fit.json"), content));
        FitJson fit;
        QString error;
        QVERIFY(!readFitJson(dir.filePath("result_para_fit.json"), &fit, &error));
        QVERIFY2(error.contains(message), qPrintable(error));
    }

    void commandLineBadInput_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("no design") << QStringList{"verify"} << "no design";
        QTest::newRow("step 0") << QStringList{"verify", "--step", "0"} << "--step";
        QTest::newRow("negative depth") << QStringList{"verify", "--depth", "-5"} << "--depth";
        QTest::newRow("map not png") << QStringList{"verify", "--map", "x.jpg"} << "--map";
        QTest::newRow("order 2") << QStringList{"verify", "--order", "2"} << "--order";
    }

    void commandLineBadInput()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const CliResult r = runCli(arguments + QStringList{"--output-dir", dir.path()});
        QCOMPARE(r.code, 2);
        QCOMPARE(r.err.count('\n'), 1);
        QVERIFY2(r.err.contains(message.toUtf8()), r.err.constData());
        QVERIFY(r.out.isEmpty());
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size(), 0);
    }

    void commandLineVerification()
    {
        QTemporaryDir dir;
        const CliResult run = runCli({"run", "--order", "4", "--verify", "--step", "64", "--depth", "800", "--json",
                                      "--output-dir", dir.path()});
        QCOMPARE(run.code, 0);
        const QJsonObject summary = QJsonDocument::fromJson(run.out).object();
        QVERIFY(summary.contains("design"));
        const QJsonArray inMemory = summary.value("verification").toArray();
        QCOMPARE(inMemory.size(), 2);

        const CliResult verify = runCli({"verify", "--step", "64", "--depth", "800", "--json", "--output-dir", dir.path()});
        QCOMPARE(verify.code, 0);
        const QJsonObject root = QJsonDocument::fromJson(verify.out).object();
        QCOMPARE(root.keys(), QStringList{"verification"});
        const QJsonArray fromFiles = root.value("verification").toArray();
        QCOMPARE(fromFiles.size(), 2);
        const QJsonObject design = fromFiles[0].toObject();
        QCOMPARE(design.value("source").toString(), QStringLiteral("design"));
        QVERIFY(design.value("order").isNull());
        const QJsonObject left = design.value("left").toObject();
        QCOMPARE(left.keys(), (QStringList{"directionPx", "missed", "outsideWindow", "pinholeMm", "reprojectionPx",
                                           "totalReflection", "traced"}));
        const QJsonObject direction = left.value("directionPx").toObject();
        QCOMPARE(direction.keys(), (QStringList{"max", "maxAt", "p95", "rms"}));
        QVERIFY(direction.value("rms").toDouble() <= direction.value("p95").toDouble() * 1.5);
        QVERIFY(direction.value("p95").toDouble() <= direction.value("max").toDouble());
        QCOMPARE(left.value("reprojectionPx").toObject().keys(), QStringList{"800"});
        // The fit read back from its file gives the numbers of the fit in memory.
        QCOMPARE(fromFiles[1].toObject().value("order").toInt(), 4);
        QCOMPARE(fromFiles[1], inMemory[1]);
    }
};

QTEST_GUILESS_MAIN(TestVerifyFiles)
#include "tst_verify_files.moc"
