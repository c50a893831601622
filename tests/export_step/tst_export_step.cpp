// The STEP export and the drawing, read back by real consumers: OpenCASCADE's
// STEP reader (one valid solid, its volume against the exact integral of the
// polynomials, points of the polynomials against the faces), gmsh (opens and
// meshes prism.step) and pdftotext (the drawing's dimensions against the
// solid measured from the STEP file). A missing gmsh or pdftotext fails the
// test (scripts/install-deps.sh --test installs them).
#include "export/bezier_patch.h"
#include "export/prism_dimensions.h"
#include "export/prism_drawing.h"
#include "export/prism_step.h"
#include "tests/export/test_prism.h"

#include <BRepAdaptor_Curve.hxx>
#include <BRepAdaptor_Surface.hxx>
#include <BRepBndLib.hxx>
#include <BRepBuilderAPI_MakeFace.hxx>
#include <BRepBuilderAPI_MakePolygon.hxx>
#include <BRepCheck_Analyzer.hxx>
#include <BRepGProp.hxx>
#include <BRep_Builder.hxx>
#include <BRep_Tool.hxx>
#include <Bnd_Box.hxx>
#include <GProp_GProps.hxx>
#include <GeomAPI_ProjectPointOnSurf.hxx>
#include <Geom_BezierSurface.hxx>
#include <IntCurvesFace_ShapeIntersector.hxx>
#include <STEPControl_Reader.hxx>
#include <TColgp_Array2OfPnt.hxx>
#include <TopExp.hxx>
#include <TopExp_Explorer.hxx>
#include <TopoDS.hxx>
#include <TopoDS_Face.hxx>
#include <TopoDS_Vertex.hxx>
#include <TopoDS_Wire.hxx>

#include <QtTest>

#include <cmath>
#include <random>

namespace {

// de Casteljau on the control net: the patch at (s, t).
std::array<double, 3> casteljau(const BezierNet& net, double s, double t)
{
    const int n = net.degree;
    std::vector<std::array<double, 3>> column(static_cast<std::size_t>(n) + 1);
    for (int i = 0; i <= n; ++i) {
        std::vector<std::array<double, 3>> row(net.points.begin() + i * (n + 1), net.points.begin() + (i + 1) * (n + 1));
        for (int level = n; level > 0; --level)
            for (int j = 0; j < level; ++j)
                for (int c = 0; c < 3; ++c)
                    row[j][c] = (1.0 - t) * row[j][c] + t * row[j + 1][c];
        column[i] = row[0];
    }
    for (int level = n; level > 0; --level)
        for (int i = 0; i < level; ++i)
            for (int c = 0; c < 3; ++c)
                column[i][c] = (1.0 - s) * column[i][c] + s * column[i + 1][c];
    return column[0];
}

// The exact integral of a half's polynomial over [xMin, xMax] x [yMin, yMax].
double integral(const PrismSurface& s, double xMin, double xMax, double yMin, double yMax)
{
    const double u0 = (xMin - s.x0) / s.radius, u1 = (xMax - s.x0) / s.radius;
    const double w0 = yMin / s.radius, w1 = yMax / s.radius;
    double sum = 0.0;
    std::size_t k = 0;
    for (int degree = 0; degree <= s.order; ++degree)
        for (int a = degree; a >= 0; --a, ++k) {
            const int b = degree - a;
            sum += s.coefficients[k] * (std::pow(u1, a + 1) - std::pow(u0, a + 1)) / (a + 1)
                   * (std::pow(w1, b + 1) - std::pow(w0, b + 1)) / (b + 1);
        }
    return sum * s.radius * s.radius;
}

bool readStep(const QString& path, TopoDS_Shape* shape)
{
    STEPControl_Reader reader;
    if (reader.ReadFile(QFile::encodeName(path).constData()) != IFSelect_RetDone)
        return false;
    reader.TransferRoots();
    *shape = reader.OneShape();
    return !shape->IsNull();
}

int count(const TopoDS_Shape& shape, TopAbs_ShapeEnum type)
{
    int n = 0;
    for (TopExp_Explorer e(shape, type); e.More(); e.Next())
        ++n;
    return n;
}

// The freeform faces by surface and half: [0] entrance left, [1] entrance
// right, [2] exit left, [3] exit right (told apart by their boxes).
std::array<TopoDS_Face, 4> freeformFaces(const TopoDS_Shape& shape, int* found)
{
    std::vector<std::pair<TopoDS_Face, Bnd_Box>> faces;
    for (TopExp_Explorer e(shape, TopAbs_FACE); e.More(); e.Next()) {
        const TopoDS_Face face = TopoDS::Face(e.Current());
        if (BRepAdaptor_Surface(face).GetType() == GeomAbs_Plane)
            continue;
        Bnd_Box box;
        BRepBndLib::Add(face, box);
        faces.emplace_back(face, box);
    }
    *found = static_cast<int>(faces.size());
    std::array<TopoDS_Face, 4> out;
    if (faces.size() != 4)
        return out;
    const auto centre = [](const Bnd_Box& b, int c) {
        double x0, y0, z0, x1, y1, z1;
        b.Get(x0, y0, z0, x1, y1, z1);
        return c == 0 ? 0.5 * (x0 + x1) : 0.5 * (z0 + z1);
    };
    for (const auto& [face, box] : faces) {
        int above = 0;
        for (const auto& other : faces)
            above += centre(other.second, 2) > centre(box, 2) ? 1 : 0;
        const int index = (above >= 2 ? 2 : 0) + (centre(box, 0) < 0.0 ? 0 : 1);
        out[static_cast<std::size_t>(index)] = face;
    }
    return out;
}

// Largest distance from `points` random points of both polynomials (each
// surface over the footprint, its half's polynomial) to the faces.
double largestDistance(const PrismFileContent& prism, const TopoDS_Shape& shape, int points, int* faces)
{
    const std::array<TopoDS_Face, 4> f = freeformFaces(shape, faces);
    if (*faces != 4)
        return 1e9;
    const ClearAperture a = prismAperture(prism.fit);
    std::mt19937 random(20261207);
    std::uniform_real_distribution<double> ux(-a.halfWidthX, a.halfWidthX), uy(-a.halfWidthY, a.halfWidthY);
    double worst = 0.0;
    for (int surface = 0; surface < 2; ++surface) {
        const PrismSurface& s = surface == 0 ? prism.fit.entrance.surface : prism.fit.exit.surface;
        std::array<GeomAPI_ProjectPointOnSurf, 2> projectors;
        for (int half = 0; half < 2; ++half) {
            const TopoDS_Face& face = f[static_cast<std::size_t>(2 * surface + half)];
            double u0, u1, v0, v1;
            Handle(Geom_Surface) g = BRep_Tool::Surface(face);
            g->Bounds(u0, u1, v0, v1);
            projectors[static_cast<std::size_t>(half)].Init(g, u0, u1, v0, v1);
        }
        for (int k = 0; k < points; ++k) {
            const double x = ux(random), y = uy(random);
            const double side = x < 0.0 ? -1.0 : 1.0;
            GeomAPI_ProjectPointOnSurf& p = projectors[side < 0.0 ? 0 : 1];
            p.Perform(gp_Pnt(x, y, halfSurface(s, side, x, y)));
            worst = std::max(worst, p.NbPoints() > 0 ? p.LowerDistance() : 1e9);
        }
    }
    return worst;
}

struct Measured {
    double size[3] = {0, 0, 0};  // bounding box of the solid
    double zMin = 0.0, zMax = 0.0;
    double centreThickness = 0.0;
    std::array<double, 4> corners{};  // (-X,-Y) (X,-Y) (X,Y) (-X,Y)
};

// The solid measured from the file alone: its exact bounding box, the chord
// of the z axis through it, and the lengths of its four vertical edges.
Measured measure(const TopoDS_Shape& shape)
{
    Measured m;
    Bnd_Box box;
    BRepBndLib::AddOptimal(shape, box, Standard_False, Standard_False);
    double x0, y0, z0, x1, y1, z1;
    box.Get(x0, y0, z0, x1, y1, z1);
    m.size[0] = x1 - x0;
    m.size[1] = y1 - y0;
    m.size[2] = z1 - z0;
    m.zMin = z0;
    m.zMax = z1;
    IntCurvesFace_ShapeIntersector axis;
    axis.Load(shape, 1e-9);
    axis.Perform(gp_Lin(gp_Pnt(0, 0, 0), gp_Dir(0, 0, 1)), -1e6, 1e6);
    double lo = 1e300, hi = -1e300;
    for (int k = 1; k <= axis.NbPnt(); ++k) {
        lo = std::min(lo, axis.Pnt(k).Z());
        hi = std::max(hi, axis.Pnt(k).Z());
    }
    m.centreThickness = hi - lo;
    for (TopExp_Explorer e(shape, TopAbs_EDGE); e.More(); e.Next()) {
        const TopoDS_Edge edge = TopoDS::Edge(e.Current());
        if (BRepAdaptor_Curve(edge).GetType() != GeomAbs_Line)
            continue;
        const gp_Pnt a = BRep_Tool::Pnt(TopExp::FirstVertex(edge)), b = BRep_Tool::Pnt(TopExp::LastVertex(edge));
        if (std::abs(a.X() - b.X()) > 1e-9 || std::abs(a.Y() - b.Y()) > 1e-9)
            continue;
        const int index = a.Y() < 0.0 ? (a.X() < 0.0 ? 0 : 1) : (a.X() < 0.0 ? 3 : 2);
        m.corners[static_cast<std::size_t>(index)] = std::abs(b.Z() - a.Z());
    }
    return m;
}

QByteArray runTool(const QString& program, const QStringList& arguments, int* exitCode)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(300000) || process.exitStatus() != QProcess::NormalExit) {
        *exitCode = -1;
        return process.readAll();
    }
    *exitCode = process.exitCode();
    return process.readAll();
}

QString tool(const char* name)
{
    const QString path = QStandardPaths::findExecutable(QString::fromLatin1(name));
    if (path.isEmpty())
        qWarning("%s is missing: scripts/install-deps.sh --test installs it", name);
    return path;
}

QStringList entries(const QString& directory)
{
    return QDir(directory).entryList(QDir::Files | QDir::NoDotAndDotDot);
}

bool exportTo(const QString& directory, const PrismFileContent& prism, unsigned formats, ExportSummary* summary,
              QString* error)
{
    if (!writePrismFile(directory, prism, error))
        return false;
    ExportOptions options;
    options.formats = formats;
    options.stepMaker = prismStepMaker();
    options.drawingMaker = prismDrawingMaker();
    return exportPrism(QDir(directory).filePath("prism.json"), QString(), directory, options, summary, error);
}

}  // namespace

class ExportStepTest : public QObject {
    Q_OBJECT

    static void addOrderRows()
    {
        QTest::addColumn<int>("exitOrder");
        QTest::addColumn<int>("entranceOrder");
        QTest::newRow("orders 3/4") << 3 << 4;
        QTest::newRow("orders 8/8") << 8 << 8;
        QTest::newRow("orders 10/9") << 10 << 9;
    }

private slots:
    // The control net of a half is the polynomial: de Casteljau's
    // evaluation of the net equals the polynomial at random points, within
    // rounding, for the left half and, mirrored, for the right.
    void bezierNet_data() { addOrderRows(); }
    void bezierNet()
    {
        QFETCH(int, exitOrder);
        QFETCH(int, entranceOrder);
        const PrismFileContent prism = testPrism(exitOrder, entranceOrder);
        const ClearAperture a = prismAperture(prism.fit);
        std::mt19937 random(7);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        for (const PrismSurface* s : {&prism.fit.exit.surface, &prism.fit.entrance.surface}) {
            const BezierNet left = bezierNetOf(*s, -a.halfWidthX, 0.0, -a.halfWidthY, a.halfWidthY);
            const BezierNet right = mirroredNet(left);
            QCOMPARE(left.degree, s->order);
            QCOMPARE(static_cast<int>(left.points.size()), (s->order + 1) * (s->order + 1));
            for (int k = 0; k < 500; ++k) {
                const double u = unit(random), v = unit(random);
                for (const auto& [net, side] : {std::pair<const BezierNet*, double>{&left, -1.0}, {&right, 1.0}}) {
                    const std::array<double, 3> p = casteljau(*net, u, v);
                    const double expected = halfSurface(*s, side, p[0], p[1]);
                    QVERIFY2(std::abs(p[2] - expected) < 1e-11 * (1.0 + std::abs(expected)),
                             qPrintable(QStringLiteral("(%1, %2): %3 vs %4").arg(p[0]).arg(p[1]).arg(p[2]).arg(expected)));
                    QVERIFY(side < 0.0 ? p[0] <= 0.0 : p[0] >= 0.0);
                }
            }
        }
    }

    // prism.step read by OpenCASCADE's reader: one valid closed solid of 8
    // faces, its volume the exact integral of entrance minus exit over the
    // footprint within 1e-6, and 10,000 random points of each polynomial
    // within 0.1 micrometre of its face; surfaces.step: the four faces and no
    // solid, the same points on them.
    void stepSolid_data() { addOrderRows(); }
    void stepSolid()
    {
        QFETCH(int, exitOrder);
        QFETCH(int, entranceOrder);
        QTemporaryDir dir;
        const PrismFileContent prism = testPrism(exitOrder, entranceOrder);
        ExportSummary summary;
        QString error;
        QVERIFY2(exportTo(dir.path(), prism, ExportStep, &summary, &error), qPrintable(error));
        QCOMPARE(entries(dir.path()), (QStringList{"frame.txt", "prism.json", "prism.step", "surfaces.step"}));
        QFile file(dir.filePath("prism.step"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(text.contains("AUTOMOTIVE_DESIGN"));  // AP214
        QVERIFY(text.contains("SI_UNIT(.MILLI.,.METRE.)"));

        TopoDS_Shape shape;
        QVERIFY(readStep(dir.filePath("prism.step"), &shape));
        QCOMPARE(count(shape, TopAbs_SOLID), 1);
        QCOMPARE(count(shape, TopAbs_FACE), 8);
        QVERIFY(BRepCheck_Analyzer(shape).IsValid());
        GProp_GProps props;
        BRepGProp::VolumeProperties(shape, props, 1e-10);
        const ClearAperture a = prismAperture(prism.fit);
        const double X = a.halfWidthX, Y = a.halfWidthY;
        const double exact = 2.0 * (integral(prism.fit.entrance.surface, -X, 0.0, -Y, Y)
                                    - integral(prism.fit.exit.surface, -X, 0.0, -Y, Y));
        QVERIFY2(std::abs(props.Mass() - exact) < 1e-6 * exact,
                 qPrintable(QStringLiteral("volume %1, exact %2").arg(props.Mass(), 0, 'g', 15).arg(exact, 0, 'g', 15)));
        int faces = 0;
        const double distance = largestDistance(prism, shape, 10000, &faces);
        QCOMPARE(faces, 4);
        QVERIFY2(distance < 1e-4, qPrintable(QStringLiteral("largest distance %1 mm").arg(distance)));

        TopoDS_Shape surfaces;
        QVERIFY(readStep(dir.filePath("surfaces.step"), &surfaces));
        QCOMPARE(count(surfaces, TopAbs_SOLID), 0);
        QCOMPARE(count(surfaces, TopAbs_FACE), 4);
        const double surfaceDistance = largestDistance(prism, surfaces, 2000, &faces);
        QCOMPARE(faces, 4);
        QVERIFY2(surfaceDistance < 1e-4, qPrintable(QStringLiteral("largest distance %1 mm").arg(surfaceDistance)));
        qInfo("volume %.9g mm^3, relative difference from the exact integral %.2g; largest point distance %.2g mm",
              props.Mass(), std::abs(props.Mass() - exact) / exact, distance);
    }

    // gmsh opens prism.step and meshes its surfaces.
    void gmshMeshes()
    {
        const QString gmsh = tool("gmsh");
        QVERIFY(!gmsh.isEmpty());
        QTemporaryDir dir;
        ExportSummary summary;
        QString error;
        QVERIFY2(exportTo(dir.path(), testPrism(8, 8), ExportStep, &summary, &error), qPrintable(error));
        int exitCode = 0;
        const QByteArray log = runTool(gmsh, {dir.filePath("prism.step"), "-2", "-format", "msh2", "-nt", "1", "-o",
                                              dir.filePath("prism.msh")}, &exitCode);
        QVERIFY2(exitCode == 0, log.constData());
        QFile mesh(dir.filePath("prism.msh"));
        QVERIFY(mesh.open(QIODevice::ReadOnly));
        const QByteArray text = mesh.readAll();
        const int at = text.indexOf("$Elements\n");
        QVERIFY(at >= 0);
        const int elements = text.mid(at + 10, 20).split('\n').value(0).toInt();
        QVERIFY2(elements > 100, qPrintable(QString::number(elements)));
        // Triangles (element type 2) on the surfaces.
        QVERIFY(text.contains(" 2 2 "));
    }

    // The drawing's numbers, read from the PDF by pdftotext, equal the solid
    // measured from prism.step: overall size from its bounding box, the
    // thickness at the centre from the chord of the z axis, the corner
    // thicknesses from its vertical edges (to the 0.001 mm printed); the
    // dimensions the drawing is made from equal them to 1e-6 mm.
    void drawingDimensions()
    {
        const QString pdftotext = tool("pdftotext");
        QVERIFY(!pdftotext.isEmpty());
        QTemporaryDir dir;
        const PrismFileContent prism = testPrism(8, 8);
        ExportSummary summary;
        QString error;
        QVERIFY2(exportTo(dir.path(), prism, ExportStep | ExportDrawing, &summary, &error), qPrintable(error));
        TopoDS_Shape shape;
        QVERIFY(readStep(dir.filePath("prism.step"), &shape));
        const Measured m = measure(shape);
        const PrismDimensions d = prismDimensions(prism.fit);
        const double computed[] = {d.width(), d.depth(), d.height()};
        for (int c = 0; c < 3; ++c)
            QVERIFY2(std::abs(computed[c] - m.size[c]) < 1e-6,
                     qPrintable(QStringLiteral("axis %1: %2 vs %3").arg(c).arg(computed[c], 0, 'g', 12).arg(m.size[c], 0, 'g', 12)));
        QVERIFY(std::abs(d.centreThickness - m.centreThickness) < 1e-6);
        for (int c = 0; c < 4; ++c)
            QVERIFY(std::abs(d.cornerThickness[c] - m.corners[c]) < 1e-6);

        int exitCode = 0;
        const QByteArray text =
            runTool(pdftotext, {dir.filePath("prism_drawing.pdf"), "-"}, &exitCode).simplified();
        QCOMPARE(exitCode, 0);
        const QRegularExpression overall(QStringLiteral("overall x \\* y \\* z: ([-0-9.]+) \\* ([-0-9.]+) \\* ([-0-9.]+) mm"));
        const QRegularExpressionMatch o = overall.match(QString::fromUtf8(text));
        QVERIFY2(o.hasMatch(), text.constData());
        for (int c = 0; c < 3; ++c)
            QVERIFY(std::abs(o.captured(c + 1).toDouble() - m.size[c]) <= 0.0005 + 1e-9);
        const QRegularExpression centre(QStringLiteral("thickness at the centre \\(x = 0, y = 0\\): ([-0-9.]+) mm"));
        const QRegularExpressionMatch t = centre.match(QString::fromUtf8(text));
        QVERIFY2(t.hasMatch(), text.constData());
        QVERIFY(std::abs(t.captured(1).toDouble() - m.centreThickness) <= 0.0005 + 1e-9);
        const char* cornerNames[] = {"-X, -Y", "X, -Y", "X, Y", "-X, Y"};
        for (int c = 0; c < 4; ++c) {
            const QRegularExpression corner(QStringLiteral("thickness at the corner \\(%1\\): ([-0-9.]+) mm")
                                                .arg(QString::fromLatin1(cornerNames[c])));
            const QRegularExpressionMatch k = corner.match(QString::fromUtf8(text));
            QVERIFY2(k.hasMatch(), text.constData());
            QVERIFY(std::abs(k.captured(1).toDouble() - m.corners[c]) <= 0.0005 + 1e-9);
        }
        QVERIFY(text.contains("surface_entrance_left.dat") && text.contains("surface_exit_right.dat"));
        QVERIFY(text.contains("custom, refractive index n = 1.48 "));
    }

    // A face that fails OpenCASCADE's check is named; faces that do not close
    // are refused.
    void shapeProblems()
    {
        // A Bezier face bounded by a wire of 3D edges without curves on the
        // surface: invalid.
        TColgp_Array2OfPnt poles(1, 3, 1, 3);
        for (int i = 1; i <= 3; ++i)
            for (int j = 1; j <= 3; ++j)
                poles.SetValue(i, j, gp_Pnt(0.5 * (i - 1), 0.5 * (j - 1), 0.1 * i * j));
        Handle(Geom_BezierSurface) surface = new Geom_BezierSurface(poles);
        BRepBuilderAPI_MakePolygon polygon(gp_Pnt(0, 0, 0.1), gp_Pnt(1, 0, 0.3), gp_Pnt(1, 1, 0.9), gp_Pnt(0, 1, 0.3),
                                           Standard_True);
        TopoDS_Face face;
        BRep_Builder builder;
        builder.MakeFace(face, surface, 1e-7);
        builder.Add(face, polygon.Wire());
        const QString problem = prismShapeProblem(face, {QStringLiteral("entrance, left half")});
        QVERIFY2(problem.contains("'entrance, left half'") && !problem.contains('\n'), qPrintable(problem));
        // A valid face alone is no solid.
        const QString open = prismShapeProblem(BRepBuilderAPI_MakeFace(surface, 1e-7).Face(), {});
        QVERIFY2(open.contains("solid"), qPrintable(open));
    }

    // Surfaces that cross: refused with one line, nothing written.
    void crossingSurfaces()
    {
        QTemporaryDir dir;
        PrismFileContent prism = testPrism(4, 4);
        prism.fit.exit.surface.coefficients[0] = 40.0;
        QString error;
        QVERIFY(writePrismFile(dir.path(), prism, &error));
        ExportOptions options;
        options.formats = ExportStep;
        options.stepMaker = prismStepMaker();
        ExportSummary summary;
        QVERIFY(!exportPrism(dir.filePath("prism.json"), QString(), dir.path(), options, &summary, &error));
        QVERIFY2(error.contains("cross") && !error.contains('\n'), qPrintable(error));
        QCOMPARE(entries(dir.path()), QStringList{"prism.json"});
    }

#ifdef HARVENLOTEK_CLI
    // The command line: STEP without a prism fit, into a directory that is a
    // file, and with surfaces that cross: exit 2, one line, nothing written;
    // a good fit: exit 0 and both STEP files.
    void commandLine_data()
    {
        QTest::addColumn<QString>("case_");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("no prism fit") << "no prism fit" << 2;
        QTest::newRow("output directory is a file") << "output directory is a file" << 2;
        QTest::newRow("crossing surfaces") << "crossing surfaces" << 2;
        QTest::newRow("good") << "good" << 0;
    }
    void commandLine()
    {
        QFETCH(QString, case_);
        QFETCH(int, exitCode);
        QTemporaryDir dir;
        PrismFileContent prism = testPrism(4, 4);
        if (case_ == "crossing surfaces")
            prism.fit.exit.surface.coefficients[0] = 40.0;
        QString error;
        if (case_ != "no prism fit")
            QVERIFY(writePrismFile(dir.path(), prism, &error));
        QString target = dir.path();
        if (case_ == "output directory is a file") {
            QFile plain(dir.filePath("plain"));
            QVERIFY(plain.open(QIODevice::WriteOnly));
            target = dir.filePath("plain");
        }
        const QStringList before = entries(dir.path());
        QProcess process;
        process.setWorkingDirectory(dir.path());
        process.start(QStringLiteral(HARVENLOTEK_CLI), {"export", "--format", "step", "--output-dir", target});
        QVERIFY(process.waitForFinished(120000));
        QCOMPARE(process.exitCode(), exitCode);
        const QByteArray err = process.readAllStandardError();
        if (exitCode != 0) {
            QVERIFY2(err.startsWith("harvenlotek-cli: ") && err.count('\n') == 1, err.constData());
            QStringList now = entries(dir.path());
            now.removeAll(".hvl.lock");
            QCOMPARE(now, before);
        } else {
            QVERIFY(QFileInfo(dir.filePath("prism.step")).size() > 0 && QFileInfo(dir.filePath("surfaces.step")).size() > 0);
            QVERIFY(process.readAllStandardOutput().contains("one closed solid of 8 faces"));
        }
    }
#endif
};

QTEST_MAIN(ExportStepTest)
#include "tst_export_step.moc"
