// The exports of a prism cemented from two glasses: the interface's grid sag
// files read back reproduce its polynomial (evaluated here from its
// definition) at every node over the solid's footprint, and "frame.txt" and
// "prism.json" state where they lie; the drawing, read by poppler's
// pdftotext, names both glasses with their thickness range and the
// interface's files. A prism of one glass gets neither.
#include "export/prism_drawing.h"
#include "export/prism_export.h"
#include "fit/prism_file.h"
#include "fit/prism_frame.h"
#include "fit/prism_interface.h"
#include "tests/export/test_prism.h"

#include <QGuiApplication>
#include <QtTest>

#include <cmath>

namespace {

// The test prism with an interface between its surfaces: a gently curved
// polynomial of its own (order, normalisation and domain unlike the outer
// surfaces'), about halfway down.
PrismFileContent cementedPrism()
{
    PrismFileContent c = testPrism(6, 5);
    PrismInterface& i = c.fit.interface;
    i.present = true;
    i.crown = QStringLiteral("N-BK7");
    i.flint = QStringLiteral("F2");
    i.designWavelengthNm = 587.5618;
    i.crownIndex = 1.5168;
    i.flintIndex = 1.62004;
    i.fit.surface.order = 4;
    i.fit.surface.x0 = -14.0;
    i.fit.surface.radius = 19.0;
    i.fit.surface.coefficients.assign(15, 0.0);
    i.fit.surface.coefficients[0] = 6.5;
    for (std::size_t k = 1; k < 15; ++k)
        i.fit.surface.coefficients[k] = 0.15 * std::cos(1.3 * k) / k;
    i.fit.domain = c.fit.entrance.domain;
    return c;
}

QStringList entries(const QString& directory)
{
    return QDir(directory).entryList(QDir::Files, QDir::Name);
}

// The page's text, or with `table` that of the table of dimensions and
// notes alone (the right part of the A4 landscape page, from x = 182 mm),
// its wrapped lines joined.
QByteArray pdfText(const QString& pdf, bool table = false)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("pdftotext"));
    if (program.isEmpty())
        qWarning("pdftotext is missing (poppler-utils)");
    QProcess p;
    QStringList arguments{QStringLiteral("-layout")};
    if (table)
        arguments << QStringLiteral("-x") << QStringLiteral("515") << QStringLiteral("-y") << QStringLiteral("0")
                  << QStringLiteral("-W") << QStringLiteral("330") << QStringLiteral("-H") << QStringLiteral("595");
    p.start(program, arguments << pdf << QStringLiteral("-"));
    p.waitForFinished(60000);
    // The font's ligatures come back as single characters.
    return QString::fromUtf8(p.readAllStandardOutput())
        .replace(QChar(0xFB01), QLatin1String("fi"))
        .replace(QChar(0xFB02), QLatin1String("fl"))
        .toUtf8()
        .simplified();
}

}  // namespace

class TestCementedExport : public QObject {
    Q_OBJECT

private slots:
    // Each half's interface file over its half of the footprint, x = 0 an
    // edge, every node's z and slopes those of the polynomial (the right
    // half's the mirror image); the decentres as "frame.txt" and "prism.json"
    // state them.
    void interfaceGridSagReadsBack_data()
    {
        QTest::addColumn<double>("spacing");
        QTest::newRow("0.25 mm") << 0.25;
        QTest::newRow("1.1 mm") << 1.1;
    }
    void interfaceGridSagReadsBack()
    {
        QFETCH(double, spacing);
        QTemporaryDir dir;
        const PrismFileContent prism = cementedPrism();
        QString error;
        QVERIFY2(writePrismFile(dir.path(), prism, &error), qPrintable(error));
        ExportOptions options;
        options.formats = ExportGridSag;
        options.gridSpacingMm = spacing;
        ExportSummary summary;
        QVERIFY2(exportPrism(dir.filePath("prism.json"), QString(), dir.path(), options, &summary, &error),
                 qPrintable(error));
        QCOMPARE(entries(dir.path()),
                 (QStringList{"frame.txt", "prism.json", "surface_entrance_left.dat", "surface_entrance_right.dat",
                              "surface_exit_left.dat", "surface_exit_right.dat", "surface_interface_left.dat",
                              "surface_interface_right.dat"}));
        QFile frameFile(dir.filePath("frame.txt"));
        QVERIFY(frameFile.open(QIODevice::ReadOnly));
        const QByteArray frame = frameFile.readAll();
        QFile json(dir.filePath("prism.json"));
        QVERIFY(json.open(QIODevice::ReadOnly));
        const QJsonArray jsonHalves =
            QJsonDocument::fromJson(json.readAll()).object().value("frame").toObject().value("gridSag").toArray();
        QCOMPARE(jsonHalves.size(), 6);
        const ClearAperture footprint = prismAperture(prism.fit);
        const PrismSurface& between = prism.fit.interface.fit.surface;
        std::vector<double> centreLine[2];
        for (const double side : {-1.0, 1.0}) {
            const char* name = side < 0 ? "surface_interface_left.dat" : "surface_interface_right.dat";
            GridSag g;
            QVERIFY2(readGridSagFile(dir.filePath(name), &g, &error), qPrintable(error));
            QVERIFY(g.nx % 2 == 1 && g.ny % 2 == 1 && g.unitflag == 0 && g.ydec == 0.0);
            QVERIFY(g.delx <= spacing && g.dely <= spacing);
            QCOMPARE(g.xdec, side * 0.5 * footprint.halfWidthX);
            QVERIFY(std::abs(g.nodeX(side < 0 ? 0 : g.nx - 1) - side * footprint.halfWidthX) < 1e-12);
            QVERIFY(std::abs(g.nodeX(side < 0 ? g.nx - 1 : 0)) < 1e-12);
            QVERIFY(std::abs(g.nodeY(0) - footprint.halfWidthY) < 1e-12);
            const int at = frame.indexOf(QByteArray("  ") + name + ' ');
            QVERIFY(at >= 0);
            const QList<QByteArray> stated = frame.mid(at, frame.indexOf('\n', at) - at).simplified().split(' ');
            QVERIFY(stated.size() > 3);
            QCOMPARE(stated[1].toDouble(), g.xdec);
            const auto inJson = std::find_if(jsonHalves.begin(), jsonHalves.end(), [&](const QJsonValue& v) {
                return v.toObject().value("file").toString() == QLatin1String(name);
            });
            QVERIFY(inJson != jsonHalves.end());
            QCOMPARE(inJson->toObject().value("xdecMm").toDouble(), g.xdec);
            for (int row = 0; row < g.ny; ++row) {
                for (int column = 0; column < g.nx; ++column) {
                    const auto& v = g.values[static_cast<std::size_t>(row) * g.nx + column];
                    const double x = g.nodeX(column), y = g.nodeY(row);
                    for (int d = 0; d < 4; ++d)
                        QVERIFY2(std::abs(v[d] - halfSurface(between, side, x, y, d)) < 1e-9,
                                 qPrintable(QStringLiteral("%1 (%2, %3) value %4").arg(name).arg(x).arg(y).arg(d)));
                    // Between the outer surfaces: each glass at least 1 mm.
                    QVERIFY(solidSurface(prism.fit.entrance.surface, x, y) - v[0] >= 1.0);
                    QVERIFY(v[0] - solidSurface(prism.fit.exit.surface, x, y) >= 1.0);
                }
                centreLine[side < 0 ? 0 : 1].push_back(
                    g.values[static_cast<std::size_t>(row) * g.nx + (side < 0 ? g.nx - 1 : 0)][0]);
            }
        }
        // The halves meet at x = 0.
        QCOMPARE(centreLine[0].size(), centreLine[1].size());
        for (std::size_t k = 0; k < centreLine[0].size(); ++k)
            QVERIFY(std::abs(centreLine[0][k] - centreLine[1][k]) < 1e-12);
        QVERIFY(frame.contains("interface: where the two glasses are cemented"));
    }

    // A prism of one glass: the four outer files only, and nothing in
    // "frame.txt" about an interface.
    void singleGlassHasNoInterfaceFiles()
    {
        QTemporaryDir dir;
        const PrismFileContent prism = testPrism(6, 5);
        QString error;
        QVERIFY2(writePrismFile(dir.path(), prism, &error), qPrintable(error));
        ExportOptions options;
        options.formats = ExportGridSag;
        ExportSummary summary;
        QVERIFY2(exportPrism(dir.filePath("prism.json"), QString(), dir.path(), options, &summary, &error),
                 qPrintable(error));
        QVERIFY(summary.interfaceGrids.empty());
        QCOMPARE(entries(dir.path()).size(), 6);
        QFile frame(dir.filePath("frame.txt"));
        QVERIFY(frame.open(QIODevice::ReadOnly));
        QVERIFY(!frame.readAll().contains("interface"));
    }

    // The drawing of a cemented prism names each glass with its index and
    // its thinnest and thickest (as cementedGlassThickness measures them),
    // and the interface's files; a single glass's drawing has no interface.
    void drawingNamesBothGlasses()
    {
        QTemporaryDir dir;
        const PrismFileContent prism = cementedPrism();
        QByteArray pdf;
        QString error;
        QVERIFY2(prismDrawingPdf(prism, &pdf, &error), qPrintable(error));
        const QString path = dir.filePath("prism_drawing.pdf");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(pdf) == pdf.size());
        file.close();
        if (qEnvironmentVariableIsSet("HARVENLOTEK_KEEP_DRAWING"))  // to look at it
            QFile::copy(path, qEnvironmentVariable("HARVENLOTEK_KEEP_DRAWING"));
        const QByteArray text = pdfText(path, true);
        QVERIFY2(!text.isEmpty(), "pdftotext gave nothing");
        const GlassThickness t = cementedGlassThickness(prism.fit)[0];
        const auto number = [](double v) { return QString::number(v, 'f', 3).toLatin1(); };
        QVERIFY2(text.contains("crown (top, entrance to interface): N-BK7, n = 1.51680, thickness " + number(t.crownMinMm)
                               + " .. " + number(t.crownMaxMm) + " mm"),
                 text.constData());
        QVERIFY2(text.contains("flint (bottom, interface to exit): F2, n = 1.62004, thickness " + number(t.flintMinMm)
                               + " .. " + number(t.flintMaxMm) + " mm"),
                 text.constData());
        QVERIFY(text.contains("surface_interface_left.dat, surface_interface_right.dat"));
        // The views name each glass where it lies.
        const QByteArray page = pdfText(path);
        QVERIFY(page.contains("crown N-BK7") && page.contains("flint F2"));
        // Both glasses' thickness ranges are plausible: within the solid's.
        QVERIFY(t.crownMinMm >= 1.0 && t.flintMinMm >= 1.0 && t.crownMaxMm > t.crownMinMm);
        QByteArray single;
        QVERIFY2(prismDrawingPdf(testPrism(6, 5), &single, &error), qPrintable(error));
        QFile singleFile(dir.filePath("single.pdf"));
        QVERIFY(singleFile.open(QIODevice::WriteOnly) && singleFile.write(single) == single.size());
        singleFile.close();
        const QByteArray singleText = pdfText(singleFile.fileName());
        QVERIFY(singleText.contains("material: custom"));
        QVERIFY(!singleText.contains("interface"));
    }
};

QTEST_MAIN(TestCementedExport)
#include "tst_cemented_export.moc"
