// The exports of a prism fit, read back by this test's own readers and by
// real consumers from Debian's packages: admesh and assimp for the STL solid,
// PCL's pcl_ply2pcd for the PLY points. A missing consumer fails the test
// (scripts/install-deps.sh --test installs them).
#include "design/design_run.h"
#include "export/prism_export.h"
#include "fit/fit_files.h"
#include "fit/prism_file.h"
#include "parameters/panel_parameters.h"
#include "tests/export/test_prism.h"

#include <QtTest>

#include <cmath>
#include <cstring>
#include <map>

namespace {

QString tool(const char* name)
{
    const QString path = QStandardPaths::findExecutable(QString::fromLatin1(name));
    if (path.isEmpty())
        qWarning("%s is missing: scripts/install-deps.sh --test installs it", name);
    return path;
}

QByteArray runTool(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(120000);
    return process.readAll();
}

// The number after `label` on the first line that holds it.
double numberAfter(const QByteArray& text, const QByteArray& label)
{
    const int at = text.indexOf(label);
    if (at < 0)
        return NAN;
    return text.mid(at + label.size(), 40).simplified().split(' ').value(0).toDouble();
}

struct StlTriangle {
    float normal[3];
    float vertex[3][3];
};

std::vector<StlTriangle> readStl(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    std::uint32_t count = 0;
    std::memcpy(&count, bytes.constData() + 80, 4);
    if (bytes.size() != 84 + 50 * static_cast<qint64>(count))
        return {};
    std::vector<StlTriangle> triangles(count);
    for (std::uint32_t t = 0; t < count; ++t)
        std::memcpy(&triangles[t], bytes.constData() + 84 + 50 * t, 48);
    return triangles;
}

QStringList entries(const QString& directory)
{
    return QDir(directory).entryList(QDir::Files | QDir::NoDotAndDotDot);
}

}  // namespace

class ExportTest : public QObject {
    Q_OBJECT

private slots:
    // Every node of the four grid sag files (one per surface and half), read
    // back by the reader, equals that half's polynomial and its derivatives
    // to 1e-9, evaluated here from the coefficients; the grid is odd, centred
    // on the decentre of "frame.txt", runs from the top row down and from the
    // smallest x up, covers the half of the surface's aperture and ends at
    // x = 0 without crossing it; along a row dz/dx changes by no more than
    // the surface's curvature allows (no crease inside a file); and the two
    // halves meet at x = 0 in height. (Malformed grid sag files are refused
    // in tst_verify's badFile.)
    void gridSag_data()
    {
        QTest::addColumn<int>("exitOrder");
        QTest::addColumn<int>("entranceOrder");
        QTest::addColumn<double>("spacing");
        QTest::newRow("orders 3/4, 0.25 mm") << 3 << 4 << 0.25;
        QTest::newRow("orders 8/8, 1 mm") << 8 << 8 << 1.0;
        QTest::newRow("orders 10/9, 7 mm") << 10 << 9 << 7.0;
    }
    void gridSag()
    {
        QFETCH(int, exitOrder);
        QFETCH(int, entranceOrder);
        QFETCH(double, spacing);
        QTemporaryDir dir;
        const PrismFileContent prism = testPrism(exitOrder, entranceOrder);
        QString error;
        QVERIFY(writePrismFile(dir.path(), prism, &error));
        ExportOptions options;
        options.formats = ExportGridSag;
        options.gridSpacingMm = spacing;
        ExportSummary summary;
        QVERIFY2(exportPrism(dir.filePath("prism.json"), QString(), dir.path(), options, &summary, &error),
                 qPrintable(error));
        QCOMPARE(entries(dir.path()),
                 (QStringList{"frame.txt", "prism.json", "surface_entrance_left.dat", "surface_entrance_right.dat",
                              "surface_exit_left.dat", "surface_exit_right.dat"}));
        QFile frameFile(dir.filePath("frame.txt"));
        QVERIFY(frameFile.open(QIODevice::ReadOnly));
        const QByteArray frame = frameFile.readAll();
        struct Half {
            const char* name;
            const PrismSurfaceFit* fit;
            double side;  // -1 left, +1 right
        };
        const Half halves[] = {{"surface_entrance_left.dat", &prism.fit.entrance, -1.0},
                               {"surface_entrance_right.dat", &prism.fit.entrance, 1.0},
                               {"surface_exit_left.dat", &prism.fit.exit, -1.0},
                               {"surface_exit_right.dat", &prism.fit.exit, 1.0}};
        // prism.json states the same frame under "frame", its other keys as before.
        QFile json(dir.filePath("prism.json"));
        QVERIFY(json.open(QIODevice::ReadOnly));
        const QJsonObject root = QJsonDocument::fromJson(json.readAll()).object();
        QVERIFY(root.contains("surfaces") && root.contains("verified") && root.contains("optimized"));
        const QJsonArray jsonHalves = root.value("frame").toObject().value("gridSag").toArray();
        QCOMPARE(jsonHalves.size(), 4);
        QCOMPARE(root.value("frame").toObject().value("pinholeMm").toArray().at(2).toDouble(),
                 double(prism.panel.prismDistance + prism.panel.focalLength));
        std::map<std::string, std::vector<double>> centreLine;  // z at x = 0 down the rows
        for (const Half& h : halves) {
            GridSag g;
            QVERIFY2(readGridSagFile(dir.filePath(h.name), &g, &error), qPrintable(error));
            QVERIFY(g.nx % 2 == 1 && g.ny % 2 == 1 && g.unitflag == 0 && g.ydec == 0.0);
            QVERIFY(g.delx <= spacing && g.dely <= spacing);
            const double reachX = -h.fit->domain.xMin, reachY = h.fit->domain.yMax;
            QCOMPARE(g.xdec, h.side * 0.5 * reachX);
            // The decentre a user enters is the one "frame.txt" states.
            const int at = frame.indexOf(QByteArray("  ") + h.name + ' ');
            QVERIFY(at >= 0);
            const QList<QByteArray> stated = frame.mid(at, frame.indexOf('\n', at) - at).simplified().split(' ');
            QVERIFY(stated.size() > 3);
            QCOMPARE(stated[1].toDouble(), g.xdec);
            QCOMPARE(stated[2].toDouble(), g.ydec);
            const auto inJson = std::find_if(jsonHalves.begin(), jsonHalves.end(), [&](const QJsonValue& v) {
                return v.toObject().value("file").toString() == QLatin1String(h.name);
            });
            QVERIFY(inJson != jsonHalves.end());
            QCOMPARE(inJson->toObject().value("xdecMm").toDouble(), g.xdec);
            QCOMPARE(inJson->toObject().value("ydecMm").toDouble(), g.ydec);
            const double xFirst = g.nodeX(0), xLast = g.nodeX(g.nx - 1);
            QVERIFY(std::abs(xFirst - (h.side < 0 ? -reachX : 0.0)) < 1e-12);
            QVERIFY(std::abs(xLast - (h.side < 0 ? 0.0 : reachX)) < 1e-12);
            QVERIFY(std::abs(g.nodeY(0) - reachY) < 1e-12 && std::abs(g.nodeY(g.ny - 1) + reachY) < 1e-12);
            double curvature = 0.0;
            for (int row = 0; row < g.ny; ++row)
                for (int column = 0; column < g.nx; ++column)
                    curvature = std::max(curvature, std::abs(halfSurface(h.fit->surface, h.side, g.nodeX(column),
                                                                         g.nodeY(row), 4)));
            for (int row = 0; row < g.ny; ++row) {
                for (int column = 0; column < g.nx; ++column) {
                    const auto& v = g.values[static_cast<std::size_t>(row) * g.nx + column];
                    const double x = g.nodeX(column), y = g.nodeY(row);
                    for (int d = 0; d < 4; ++d)
                        QVERIFY2(std::abs(v[d] - halfSurface(h.fit->surface, h.side, x, y, d)) < 1e-9,
                                 qPrintable(QStringLiteral("%1 (%2, %3) value %4").arg(h.name).arg(x).arg(y).arg(d)));
                    QCOMPARE(v[4], 0.0);
                    if (column > 0) {
                        const double jump = std::abs(v[1] - g.values[static_cast<std::size_t>(row) * g.nx + column - 1][1]);
                        QVERIFY2(jump <= curvature * g.delx * (1.0 + 1e-9) + 1e-12,
                                 qPrintable(QStringLiteral("%1: slope jump %2 at (%3, %4)").arg(h.name).arg(jump).arg(x).arg(y)));
                    }
                }
                const int atCentre = h.side < 0 ? g.nx - 1 : 0;
                centreLine[h.name].push_back(g.values[static_cast<std::size_t>(row) * g.nx + atCentre][0]);
            }
        }
        for (const auto& [left, right] : {std::pair<const char*, const char*>{"surface_entrance_left.dat", "surface_entrance_right.dat"},
                                          {"surface_exit_left.dat", "surface_exit_right.dat"}}) {
            QCOMPARE(centreLine[left].size(), centreLine[right].size());
            for (std::size_t k = 0; k < centreLine[left].size(); ++k)
                QVERIFY(std::abs(centreLine[left][k] - centreLine[right][k]) < 1e-12);
        }
    }

    // The STL solid: admesh finds one part, no open edges, nothing to fix,
    // and the volume between the surfaces integrated here; assimp imports
    // every facet; every facet on a surface lies within 1 micrometre of it,
    // and none crosses x = 0, where the halves meet.
    void stlSolid_data()
    {
        QTest::addColumn<int>("exitOrder");
        QTest::addColumn<int>("entranceOrder");
        QTest::newRow("orders 3/3") << 3 << 3;
        QTest::newRow("orders 10/8") << 10 << 8;
    }
    void stlSolid()
    {
        QFETCH(int, exitOrder);
        QFETCH(int, entranceOrder);
        const QString admesh = tool("admesh"), assimp = tool("assimp");
        QVERIFY2(!admesh.isEmpty() && !assimp.isEmpty(), "admesh and assimp (assimp-utils) are needed");
        QTemporaryDir dir;
        const PrismFileContent prism = testPrism(exitOrder, entranceOrder);
        QString error;
        QVERIFY(writePrismFile(dir.path(), prism, &error));
        ExportOptions options;
        options.formats = ExportStl;
        ExportSummary summary;
        QVERIFY2(exportPrism(dir.filePath("prism.json"), QString(), dir.path(), options, &summary, &error),
                 qPrintable(error));
        const QString stl = dir.filePath("prism.stl");

        // Volume of the solid: Simpson's rule over the aperture.
        const double X = 30.7, Y = 17.43;
        const int n = 400;
        double volume = 0.0;
        for (int i = 0; i <= n; ++i)
            for (int j = 0; j <= n; ++j) {
                const double wi = (i == 0 || i == n) ? 1 : (i % 2 ? 4 : 2);
                const double wj = (j == 0 || j == n) ? 1 : (j % 2 ? 4 : 2);
                const double x = -X + 2 * X * i / n, y = -Y + 2 * Y * j / n;
                volume += wi * wj
                          * (solidSurface(prism.fit.entrance.surface, x, y) - solidSurface(prism.fit.exit.surface, x, y));
            }
        volume *= (2 * X / n / 3) * (2 * Y / n / 3);

        const QByteArray report = runTool(admesh, {stl});
        QCOMPARE(numberAfter(report, "Number of parts       :"), 1.0);
        QCOMPARE(numberAfter(report, "Total disconnected facets        :"), 0.0);
        QCOMPARE(numberAfter(report, "Facets with 1 disconnected edge  :"), 0.0);
        QCOMPARE(numberAfter(report, "Backwards edges       :"), 0.0);
        QCOMPARE(numberAfter(report, "Normals fixed         :"), 0.0);
        QCOMPARE(numberAfter(report, "Facets reversed       :"), 0.0);
        const double meshVolume = numberAfter(report, "Volume   :");
        QVERIFY2(meshVolume > 0 && std::abs(meshVolume - volume) < 1e-4 * volume,
                 qPrintable(QStringLiteral("admesh %1, integral %2").arg(meshVolume).arg(volume)));

        const std::vector<StlTriangle> triangles = readStl(stl);
        QCOMPARE(static_cast<int>(triangles.size()), summary.triangleCount);
        QCOMPARE(numberAfter(runTool(assimp, {QStringLiteral("info"), stl}), "Faces:"),
                 static_cast<double>(triangles.size()));

        double worst = 0.0;
        for (const StlTriangle& t : triangles) {
            const float* a = t.vertex[0];
            const float* b = t.vertex[1];
            const float* c = t.vertex[2];
            QVERIFY(!(std::min({a[0], b[0], c[0]}) < 0.0f && std::max({a[0], b[0], c[0]}) > 0.0f));
            if (std::abs(t.normal[2]) < 1e-6f)
                continue;  // a side wall
            const PrismSurface& s = t.normal[2] > 0 ? prism.fit.entrance.surface : prism.fit.exit.surface;
            static const double weights[4][3] = {{1 / 3.0, 1 / 3.0, 1 / 3.0}, {0.5, 0.5, 0.0}, {0.0, 0.5, 0.5},
                                                 {0.5, 0.0, 0.5}};
            for (const auto& l : weights) {
                const double x = l[0] * a[0] + l[1] * b[0] + l[2] * c[0];
                const double y = l[0] * a[1] + l[1] * b[1] + l[2] * c[1];
                const double z = l[0] * a[2] + l[1] * b[2] + l[2] * c[2];
                worst = std::max(worst, std::abs(z - solidSurface(s, x, y)));
            }
        }
        QVERIFY2(worst < 1e-3, qPrintable(QStringLiteral("sag error %1 mm").arg(worst)));
        QVERIFY(summary.sagErrorMm < 1e-3);
    }

    // The design points with their normals, read by PCL: every point of both
    // surfaces once, and normals, taken from neighbouring points, that stand
    // on the surfaces the least-squares fit of order 8 finds through all
    // points, pointing out of the glass.
    void plyOfTheDesign()
    {
        const QString ply2pcd = tool("pcl_ply2pcd");
        QVERIFY2(!ply2pcd.isEmpty(), "pcl_ply2pcd (pcl-tools) is needed");
        QTemporaryDir dir;
        const PanelParameters panel;  // the start values
        const CentralRayHit hit = centralRayHit(panel);
        QVERIFY(hit.defined);
        const DesignParameters parameters = toDesignParameters(panel, hit);
        DesignRunOptions run;
        run.outputDirectory = dir.path();
        QVERIFY(runDesign(parameters, run).gridWritten);
        PrismDesignPoints points;
        QString error;
        QVERIFY(readPrismDesignPoints(dir.filePath("outputall.txt"), &points, &error));
        PrismFit fit;
        QVERIFY(runPrismFit(points, 8, parameters, dir.path(), &fit, &error));
        ExportOptions options;
        options.formats = ExportPly;
        ExportSummary summary;
        QVERIFY2(exportPrism(dir.filePath("prism.json"), dir.filePath("outputall.txt"), dir.path(), options,
                             &summary, &error),
                 qPrintable(error));
        const QByteArray log = runTool(ply2pcd, {QStringLiteral("-format"), QStringLiteral("0"),
                                                 dir.filePath("design_surfaces.ply"), dir.filePath("p.pcd")});
        QFile pcd(dir.filePath("p.pcd"));
        QVERIFY2(pcd.open(QIODevice::ReadOnly), log.constData());
        const QList<QByteArray> lines = pcd.readAll().split('\n');
        QVERIFY(lines.contains("FIELDS x y z normal_x normal_y normal_z"));
        // Every column's 108 lines hold its central-row point twice: 107 points.
        const int total = 1920 * 107;
        QCOMPARE(summary.exitPointCount, total);
        QCOMPARE(summary.entrancePointCount, total);
        QVERIFY(lines.contains("POINTS " + QByteArray::number(2 * total)));
        const int first = lines.indexOf("DATA ascii") + 1;
        QVERIFY(first > 0 && lines.size() >= first + 2 * total);
        std::vector<double> angles;
        for (int p = 0; p < 2 * total; p += 37) {
            const QList<QByteArray> f = lines[first + p].split(' ');
            QCOMPARE(f.size(), 6);
            const double x = f[0].toDouble(), y = f[1].toDouble();
            const double n[3] = {f[3].toDouble(), f[4].toDouble(), f[5].toDouble()};
            QVERIFY(std::abs(n[0] * n[0] + n[1] * n[1] + n[2] * n[2] - 1.0) < 1e-6);
            const bool exit = p < total;
            QVERIFY(exit ? n[2] < 0.0 : n[2] > 0.0);
            // The fitted surface's outward normal: (-zx, -zy, 1) on top,
            // (zx, zy, -1) below.
            const PrismSurface& s = exit ? fit.exit.surface : fit.entrance.surface;
            // The sheet of the point's own half (the halves overlap near x = 0).
            const bool leftHalf = (exit ? p : p - total) / 107 < 960;
            SurfaceSag sag = s.leftSag(leftHalf ? x : -x, y);
            if (!leftHalf)
                sag.dzdx = -sag.dzdx;
            const double side = exit ? -1.0 : 1.0;
            const double m[3] = {-side * sag.dzdx, -side * sag.dzdy, side};
            const double cosine = (n[0] * m[0] + n[1] * m[1] + n[2] * m[2])
                                  / std::sqrt(m[0] * m[0] + m[1] * m[1] + m[2] * m[2]);
            const double angle = std::acos(std::min(1.0, cosine));
            angles.push_back(angle);
        }
        // The design has creases (next to x = 0, at each half's central
        // column) that no polynomial follows; everywhere else the two agree.
        std::sort(angles.begin(), angles.end());
        const double median = angles[angles.size() / 2], p99 = angles[angles.size() * 99 / 100];
        QVERIFY2(median < 5e-4 && p99 < 3e-3,
                 qPrintable(QStringLiteral("angles: median %1, 99th percentile %2 rad").arg(median).arg(p99)));
    }

    // Bad input: a clear one-line message and nothing written.
    void badInput_data()
    {
        QTest::addColumn<QString>("case_");
        for (const char* c : {"no prism file", "no directory", "directory is a file", "no format",
                              "no design points", "crossing surfaces"})
            QTest::newRow(c) << QString::fromLatin1(c);
    }
    void badInput()
    {
        QFETCH(QString, case_);
        QTemporaryDir dir;
        PrismFileContent prism = testPrism(4, 4);
        if (case_ == QLatin1String("crossing surfaces"))
            prism.fit.exit.surface.coefficients[0] = 40.0;
        QString error;
        if (case_ != QLatin1String("no prism file"))
            QVERIFY(writePrismFile(dir.path(), prism, &error));
        QVERIFY(writeFileBytes(dir.filePath("plain"), "x", 1));
        const QStringList before = entries(dir.path());
        QString target = dir.path();
        if (case_ == QLatin1String("no directory"))
            target = dir.filePath("missing");
        if (case_ == QLatin1String("directory is a file"))
            target = dir.filePath("plain");
        ExportOptions options;
        if (case_ == QLatin1String("no format"))
            options.formats = exportFormatFromName(QStringLiteral("obj"));
        ExportSummary summary;
        QVERIFY(!exportPrism(dir.filePath("prism.json"), dir.filePath("outputall.txt"), target, options, &summary,
                             &error));
        QVERIFY(!error.isEmpty() && !error.contains(QLatin1Char('\n')));
        QCOMPARE(entries(dir.path()), before);
        QVERIFY(summary.written.isEmpty());
    }
};

QTEST_GUILESS_MAIN(ExportTest)
#include "tst_export.moc"
