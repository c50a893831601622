// harvenlotek-cli calibrate and run --calibrate, driven as a separate process.

#include "../verify/test_support.h"

#include <opencv2/core.hpp>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

QStringList keys(const QJsonObject& object)
{
    return sorted(object.keys());
}

}  // namespace

class TestCalibrationCli : public QObject {
    Q_OBJECT

private slots:
    void refused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("negative depth") << QStringList{"calibrate", "--depth", "-300"} << "--depth";
        QTest::newRow("depth not a number") << QStringList{"calibrate", "--depth", "far"} << "--depth";
        QTest::newRow("infinite depth") << QStringList{"calibrate", "--depth", "inf"} << "--depth";
        QTest::newRow("same depth twice") << QStringList{"calibrate", "--depth", "500", "--depth", "500"} << "given twice";
        QTest::newRow("unknown model") << QStringList{"calibrate", "--model", "fisheye"} << "--model must be";
        QTest::newRow("unknown source") << QStringList{"calibrate", "--source", "file"} << "--source must be";
        QTest::newRow("fit without order") << QStringList{"calibrate", "--source", "fit"} << "needs --order N";
        QTest::newRow("fit of order all") << QStringList{"calibrate", "--source", "fit", "--order", "all"} << "needs --order N";
        QTest::newRow("order for the design") << QStringList{"calibrate", "--order", "4"} << "--source fit or prism only";
        QTest::newRow("prism fit of order 11") << QStringList{"calibrate", "--source", "prism", "--order", "11"} << "from 3 to 10";
        QTest::newRow("classic fit of order 9") << QStringList{"calibrate", "--source", "fit", "--order", "9"} << "from 3 to 8";
        QTest::newRow("run's classic fit, prism source")
            << QStringList{"run", "--order", "3", "--calibrate", "--source", "prism"} << "run's prism fit";
        QTest::newRow("depth for design") << QStringList{"design", "--depth", "300"} << "does not apply";
        QTest::newRow("run depth without calibrate") << QStringList{"run", "--order", "3", "--depth", "300"} << "need --calibrate";
        QTest::newRow("run all orders, fit source")
            << QStringList{"run", "--order", "all", "--calibrate", "--source", "fit"} << "a single --order";
    }

    // Bad input: exit 2, one line naming the problem, nothing written.
    void refused()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const CliResult o = runCli(arguments + QStringList{"--output-dir", dir.path()});
        QCOMPARE(o.code, 2);
        QVERIFY2(QString::fromLocal8Bit(o.err).contains(message), o.err.constData());
        QCOMPARE(o.err.count('\n'), 1);
        QVERIFY(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
    }

    void calibrate_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("order");
        QTest::addColumn<QString>("model");
        QTest::addColumn<QVector<double>>("depths");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<double>("rmsBelow");  // px, each half
        const QString yml = QStringLiteral("stereo_calibration.yml");
        QTest::newRow("calibrate, fit of order 3")
            << QStringList{"calibrate", "--source", "fit", "--order", "3", "--depth", "1500", "--depth", "600"} << "fit" << 3
            << "standard" << QVector<double>{1500, 600} << QStringList{yml} << 1e9;
        QTest::newRow("calibrate, rational model")
            << QStringList{"calibrate", "--source", "fit", "--order", "3", "--model", "rational", "--depth", "800"} << "fit"
            << 3 << "rational" << QVector<double>{800} << QStringList{yml} << 1e9;
        QTest::newRow("run --calibrate, the design")
            << QStringList{"run", "--order", "3", "--calibrate", "--depth", "700"} << "design" << 0 << "standard"
            << QVector<double>{700}
            << QStringList{"output.txt", "outputall.txt", "design.json", "output_fit_fig1.txt", "output_fit_fig2.txt",
                           "result_para_fit.txt", "result_para_fit.json", yml}
            << 1e9;
        // The refraction design's rays nearly pass through one point: a residual
        // far below the classic design's 0.8 px at this depth.
        QTest::newRow("calibrate, refraction design")
            << QStringList{"calibrate", "--design-model", "refraction", "--depth", "1000"} << "design" << 0 << "standard"
            << QVector<double>{1000} << QStringList{yml} << 0.5;
    }

    // The JSON holds the keys the calibration promises, the depths asked for,
    // the ideal baseline of the design's own central-ray hit, and the matrices
    // of the file; only the command's own files are written.
    void calibrate()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, source);
        QFETCH(int, order);
        QFETCH(QString, model);
        QFETCH(QVector<double>, depths);
        QFETCH(QStringList, files);
        QFETCH(double, rmsBelow);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const CliResult o = runCli(arguments + QStringList{"--json", "--output-dir", dir.path()});
        QVERIFY2(o.code == 0, o.err.constData());
        QStringList written = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);  // no temporary file left
        written.removeAll(QStringLiteral(".hvl.lock"));  // the run's directory lock stays
        QCOMPARE(sorted(written), sorted(files));

        const QJsonObject c = QJsonDocument::fromJson(o.out).object().value(QStringLiteral("calibration")).toObject();
        QCOMPARE(keys(c), sorted({"source", "order", "model", "left", "right", "stereo", "file"}));
        QCOMPARE(c.value("source").toString(), source);
        QCOMPARE(c.value("order").isNull(), order == 0);
        if (order)
            QCOMPARE(c.value("order").toInt(), order);
        QCOMPARE(c.value("model").toString(), model);
        QCOMPARE(c.value("file").toString(), QDir(dir.path()).filePath(QStringLiteral("stereo_calibration.yml")));

        // The design's sketch point, from a separate design command.
        QTemporaryDir designDir;
        const CliResult d = runCli({"design", "--json", "--output-dir", designDir.path()});
        QCOMPARE(d.code, 0);
        const double hitX = QJsonDocument::fromJson(d.out).object()["design"].toObject()["centralRayHit"].toObject()["x"].toDouble();
        const QJsonObject stereo = c.value("stereo").toObject();
        QCOMPARE(keys(stereo), sorted({"baselineMm", "idealBaselineMm", "rotationDeg", "depthError"}));
        QCOMPARE(stereo["idealBaselineMm"].toDouble(), 2 * std::fabs(hitX));
        QVERIFY(stereo["baselineMm"].toDouble() > 0.0);
        const QJsonArray depthError = stereo["depthError"].toArray();
        QCOMPARE(depthError.size(), depths.size());
        for (int i = 0; i < depths.size(); ++i) {
            const QJsonObject e = depthError[i].toObject();
            QCOMPARE(keys(e), sorted({"depthMm", "rmsMm", "maxMm", "rmsPercent"}));
            QCOMPARE(e["depthMm"].toDouble(), depths[i]);
            QVERIFY(e["maxMm"].toDouble() >= e["rmsMm"].toDouble());
        }

        cv::FileStorage fs(QFile::encodeName(c.value("file").toString()).toStdString(), cv::FileStorage::READ);
        QVERIFY(fs.isOpened());
        for (const char* half : {"left", "right"}) {
            const QJsonObject h = c.value(QLatin1String(half)).toObject();
            QCOMPARE(keys(h), sorted({"rmsPx", "maxPx", "perDepth", "cameraMatrix", "distortion"}));
            QVERIFY(h["maxPx"].toDouble() >= h["rmsPx"].toDouble());
            QVERIFY2(h["rmsPx"].toDouble() < rmsBelow, half);
            const QJsonArray perDepth = h["perDepth"].toArray();
            QCOMPARE(perDepth.size(), depths.size());
            for (int i = 0; i < depths.size(); ++i)
                QCOMPARE(perDepth[i].toObject()["depthMm"].toDouble(), depths[i]);
            cv::Mat K, D;
            fs[std::string("camera_matrix_") + half] >> K;
            fs[std::string("distortion_") + half] >> D;
            const QJsonArray rows = h["cameraMatrix"].toArray();
            QCOMPARE(rows.size(), 3);
            for (int r = 0; r < 3; ++r)
                for (int k = 0; k < 3; ++k)
                    QCOMPARE(rows[r].toArray()[k].toDouble(), K.at<double>(r, k));
            const QJsonArray distortion = h["distortion"].toArray();
            QCOMPARE(distortion.size(), model == QLatin1String("rational") ? 8 : 5);
            QCOMPARE(int(D.total()), distortion.size());
            for (int i = 0; i < distortion.size(); ++i)
                QCOMPARE(distortion[i].toDouble(), D.at<double>(i));
        }
    }
};

QTEST_GUILESS_MAIN(TestCalibrationCli)
#include "tst_calibration_cli.moc"
