#include "export/prism_step.h"

#include "export/bezier_patch.h"
#include "fit/prism_interface.h"

#include <APIHeaderSection_MakeHeader.hxx>
#include <BRepBuilderAPI_MakeEdge.hxx>
#include <BRepBuilderAPI_MakeFace.hxx>
#include <BRepBuilderAPI_MakeSolid.hxx>
#include <BRepBuilderAPI_MakeWire.hxx>
#include <BRepBuilderAPI_Sewing.hxx>
#include <BRepCheck_Analyzer.hxx>
#include <BRepLib.hxx>
#include <BRep_Builder.hxx>
#include <GProp_GProps.hxx>
#include <BRepGProp.hxx>
#include <Geom_BezierCurve.hxx>
#include <Geom_BezierSurface.hxx>
#include <Interface_Static.hxx>
#include <Message.hxx>
#include <Message_Messenger.hxx>
#include <Message_PrinterOStream.hxx>
#include <STEPControl_Writer.hxx>
#include <StepData_StepModel.hxx>
#include <TCollection_HAsciiString.hxx>
#include <Standard_Failure.hxx>
#include <TColgp_Array1OfPnt.hxx>
#include <TColgp_Array2OfPnt.hxx>
#include <TopExp_Explorer.hxx>
#include <TopoDS.hxx>
#include <TopoDS_Compound.hxx>
#include <TopoDS_Shell.hxx>
#include <TopoDS_Solid.hxx>

#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <mutex>

namespace {

constexpr double sewingTolerance = 1e-6;  // mm; the halves share their edge exactly

gp_Pnt toPnt(const std::array<double, 3>& p) { return gp_Pnt(p[0], p[1], p[2]); }

Handle(Geom_BezierSurface) bezierSurface(const BezierNet& net)
{
    const int n = net.degree;
    TColgp_Array2OfPnt poles(1, n + 1, 1, n + 1);
    for (int i = 0; i <= n; ++i)
        for (int j = 0; j <= n; ++j)
            poles.SetValue(i + 1, j + 1, toPnt(net.point(i, j)));
    return new Geom_BezierSurface(poles);
}

// The boundary curve of a patch along s at j = jFixed, or along t at i = iFixed.
TopoDS_Edge boundaryEdge(const BezierNet& net, int iFixed, int jFixed)
{
    const int n = net.degree;
    TColgp_Array1OfPnt poles(1, n + 1);
    for (int k = 0; k <= n; ++k)
        poles.SetValue(k + 1, toPnt(iFixed >= 0 ? net.point(iFixed, k) : net.point(k, jFixed)));
    return BRepBuilderAPI_MakeEdge(Handle(Geom_BezierCurve)(new Geom_BezierCurve(poles))).Edge();
}

TopoDS_Edge segment(const std::array<double, 3>& a, const std::array<double, 3>& b)
{
    return BRepBuilderAPI_MakeEdge(toPnt(a), toPnt(b)).Edge();
}

// A planar face bounded by the edges, in order around it.
bool planarFace(const std::vector<TopoDS_Edge>& edges, TopoDS_Face* face)
{
    BRepBuilderAPI_MakeWire wire;
    for (const TopoDS_Edge& e : edges)
        wire.Add(e);
    if (!wire.IsDone())
        return false;
    BRepBuilderAPI_MakeFace maker(wire.Wire(), Standard_True);
    if (!maker.IsDone())
        return false;
    *face = maker.Face();
    return true;
}

// One solid's freeform faces: the top surface (nearer the camera) and the
// bottom one, each as its left half and the right half's mirror image.
struct Patches {
    BezierNet topLeft, topRight, bottomLeft, bottomRight;
    QString top, bottom;  // the surfaces' names
};

BezierNet leftNet(const PrismSurface& surface, const ClearAperture& a)
{
    return bezierNetOf(surface, -a.halfWidthX, 0.0, -a.halfWidthY, a.halfWidthY);
}

Patches patchesOf(const PrismSurface& top, const char* topName, const PrismSurface& bottom, const char* bottomName,
                  const ClearAperture& a)
{
    Patches p;
    p.topLeft = leftNet(top, a);
    p.bottomLeft = leftNet(bottom, a);
    p.topRight = mirroredNet(p.topLeft);
    p.bottomRight = mirroredNet(p.bottomLeft);
    p.top = QString::fromLatin1(topName);
    p.bottom = QString::fromLatin1(bottomName);
    return p;
}

struct NamedFaces {
    std::vector<TopoDS_Face> faces;
    std::vector<QString> names;
    void add(const TopoDS_Face& face, const QString& name)
    {
        faces.push_back(face);
        names.push_back(name);
    }
};

void addFreeformFace(const BezierNet& net, const QString& name, NamedFaces* out)
{
    out->add(BRepBuilderAPI_MakeFace(bezierSurface(net), Precision::Confusion()).Face(), name);
}

void addFreeformFaces(const Patches& p, NamedFaces* out)
{
    addFreeformFace(p.topLeft, p.top + QStringLiteral(", left half"), out);
    addFreeformFace(p.topRight, p.top + QStringLiteral(", right half"), out);
    addFreeformFace(p.bottomLeft, p.bottom + QStringLiteral(", left half"), out);
    addFreeformFace(p.bottomRight, p.bottom + QStringLiteral(", right half"), out);
}

// Sews the faces; the shape is returned with the faces' names in the order
// TopExp_Explorer visits the sewn faces.
TopoDS_Shape sewn(const NamedFaces& in, std::vector<QString>* names)
{
    BRepBuilderAPI_Sewing sewing(sewingTolerance);
    for (const TopoDS_Face& f : in.faces)
        sewing.Add(f);
    sewing.Perform();
    const TopoDS_Shape shape = sewing.SewedShape();
    names->clear();
    for (TopExp_Explorer e(shape, TopAbs_FACE); e.More(); e.Next()) {
        QString name = QStringLiteral("face %1").arg(names->size() + 1);
        for (std::size_t k = 0; k < in.faces.size(); ++k) {
            const TopoDS_Shape modified = sewing.IsModified(in.faces[k]) ? sewing.Modified(in.faces[k]) : in.faces[k];
            if (modified.IsSame(e.Current()))
                name = in.names[k];
        }
        names->push_back(name);
    }
    return shape;
}

// OpenCASCADE's writers report to the default messenger (standard output);
// the command line's output is its own.
void silenceOpenCascade()
{
    static std::once_flag once;
    std::call_once(once, [] {
        const Handle(Message_Messenger)& messenger = Message::DefaultMessenger();
        messenger->RemovePrinters(STANDARD_TYPE(Message_PrinterOStream));
    });
}

// STEP text of a shape: OpenCASCADE writes to a path, so it writes into a
// private temporary directory and the bytes are read back; the result file
// itself is written later, atomically, with the other exports.
bool stepBytes(const TopoDS_Shape& shape, const char* fileName, std::string* bytes, QString* error)
{
    static std::mutex staticParameters;  // Interface_Static is process-wide
    const std::lock_guard<std::mutex> lock(staticParameters);
    silenceOpenCascade();
    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        *error = QStringLiteral("cannot make a temporary directory for the STEP writer");
        return false;
    }
    const QByteArray path = QFile::encodeName(scratch.filePath(QString::fromLatin1(fileName)));
    try {
        STEPControl_Writer writer;
        Interface_Static::SetCVal("write.step.schema", "AP214IS");
        Interface_Static::SetCVal("write.step.unit", "MM");
        Interface_Static::SetCVal("xstep.cascade.unit", "MM");
        Interface_Static::SetCVal("write.step.product.name", "harvenlotek prism");
        if (writer.Transfer(shape, STEPControl_AsIs) != IFSelect_RetDone) {
            *error = QStringLiteral("OpenCASCADE could not write %1").arg(QString::fromLatin1(fileName));
            return false;
        }
        // The header names the result file, not the temporary one.
        APIHeaderSection_MakeHeader header(writer.Model());
        header.SetName(new TCollection_HAsciiString(fileName));
        header.SetOriginatingSystem(new TCollection_HAsciiString("harvenlotek"));
        if (writer.Write(path.constData()) != IFSelect_RetDone) {
            *error = QStringLiteral("OpenCASCADE could not write %1").arg(QString::fromLatin1(fileName));
            return false;
        }
    } catch (const Standard_Failure& failure) {
        *error = QStringLiteral("OpenCASCADE could not write %1: %2")
                     .arg(QString::fromLatin1(fileName), QString::fromLatin1(failure.GetMessageString()));
        return false;
    }
    QFile file(QFile::decodeName(path));
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read back the STEP text of %1").arg(QString::fromLatin1(fileName));
        return false;
    }
    const QByteArray text = file.readAll();
    bytes->assign(text.constData(), static_cast<std::size_t>(text.size()));
    return true;
}

}  // namespace

QString prismShapeProblem(const TopoDS_Shape& shape, const std::vector<QString>& faceNames)
{
    if (shape.IsNull())
        return QStringLiteral("the prism solid could not be built");
    std::size_t index = 0;
    for (TopExp_Explorer e(shape, TopAbs_FACE); e.More(); e.Next(), ++index) {
        BRepCheck_Analyzer face(e.Current());
        if (!face.IsValid())
            return QStringLiteral("the prism solid fails the validity check at the face '%1'")
                .arg(index < faceNames.size() ? faceNames[index] : QStringLiteral("face %1").arg(index + 1));
    }
    if (shape.ShapeType() != TopAbs_SOLID)
        return QStringLiteral("the prism's faces do not close into a solid");
    BRepCheck_Analyzer whole(shape);
    if (!whole.IsValid())
        return QStringLiteral("the prism solid fails the validity check (its shell is not closed or not oriented)");
    GProp_GProps props;
    BRepGProp::VolumeProperties(shape, props);
    if (!(props.Mass() > 0.0))
        return QStringLiteral("the prism solid has no positive volume");
    return QString();
}

namespace {

// The closed solid between the patches: their four freeform faces and four
// planar sides, sewn; `prefix` goes before the sides' names ("" or a glass).
bool solidBetween(const Patches& p, const QString& prefix, TopoDS_Shape* solid, std::vector<QString>* names,
                  QString* error)
{
    const int n = p.topLeft.degree, m = p.bottomLeft.degree;
    try {
        NamedFaces faces;
        addFreeformFaces(p, &faces);
        // Side faces. Net indices: i along x (0 at |x| = X, the degree at
        // x = 0), j along y (0 at y = -Y, the degree at y = +Y).
        TopoDS_Face side;
        // The front (y = -Y) and back (y = +Y) sides run under both halves.
        for (const bool back : {false, true}) {
            const int jt = back ? n : 0, jb = back ? m : 0;
            const std::vector<TopoDS_Edge> edges = {
                boundaryEdge(p.bottomLeft, -1, jb), boundaryEdge(p.bottomRight, -1, jb),
                segment(p.bottomRight.point(0, jb), p.topRight.point(0, jt)),
                boundaryEdge(p.topRight, -1, jt), boundaryEdge(p.topLeft, -1, jt),
                segment(p.topLeft.point(0, jt), p.bottomLeft.point(0, jb))};
            const QString name = prefix + (back ? QStringLiteral("side y = +Y") : QStringLiteral("side y = -Y"));
            if (!planarFace(edges, &side)) {
                *error = QStringLiteral("the prism's %1 could not be made a planar face").arg(name);
                return false;
            }
            faces.add(side, name);
        }
        // The left (x = -X) and right (x = +X) sides: one half each.
        for (const bool right : {false, true}) {
            const BezierNet& top = right ? p.topRight : p.topLeft;
            const BezierNet& bottom = right ? p.bottomRight : p.bottomLeft;
            const std::vector<TopoDS_Edge> edges = {
                boundaryEdge(bottom, 0, -1), segment(bottom.point(0, m), top.point(0, n)), boundaryEdge(top, 0, -1),
                segment(top.point(0, 0), bottom.point(0, 0))};
            const QString name = prefix + (right ? QStringLiteral("side x = +X") : QStringLiteral("side x = -X"));
            if (!planarFace(edges, &side)) {
                *error = QStringLiteral("the prism's %1 could not be made a planar face").arg(name);
                return false;
            }
            faces.add(side, name);
        }
        const TopoDS_Shape shell = sewn(faces, names);
        TopExp_Explorer shells(shell, TopAbs_SHELL);
        if (shells.More()) {
            BRepBuilderAPI_MakeSolid maker(TopoDS::Shell(shells.Current()));
            if (maker.IsDone()) {
                TopoDS_Solid s = maker.Solid();
                BRepLib::OrientClosedSolid(s);
                *solid = s;
            }
        }
        if (solid->IsNull())
            *solid = shell;
    } catch (const Standard_Failure& failure) {
        *error = QStringLiteral("OpenCASCADE could not build the prism solid: %1")
                     .arg(QString::fromLatin1(failure.GetMessageString()));
        return false;
    }
    const QString problem = prismShapeProblem(*solid, *names);
    if (!problem.isNull()) {
        *error = problem;
        return false;
    }
    return true;
}

double volumeOf(const TopoDS_Shape& shape)
{
    GProp_GProps props;
    BRepGProp::VolumeProperties(shape, props);
    return props.Mass();
}

}  // namespace

bool makePrismStepFiles(const PrismFit& fit, ExportMade* made, QString* error)
{
    const ClearAperture a = prismAperture(fit);
    if (!(a.halfWidthX > 0.0) || !(a.halfWidthY > 0.0)) {
        *error = QStringLiteral("the prism's footprint is empty");
        return false;
    }
    // The solid needs the entrance above the exit everywhere: checked on the
    // polynomials at the nodes of a fine grid (as for the STL).
    constexpr int nodes = 200;
    for (int i = 0; i <= nodes; ++i)
        for (int j = 0; j <= nodes; ++j) {
            const double x = -a.halfWidthX * i / nodes;
            const double y = a.halfWidthY * (2.0 * j / nodes - 1.0);
            if (!(fit.entrance.surface.leftHeight(x, y) > fit.exit.surface.leftHeight(x, y))) {
                *error = QStringLiteral("the entrance and exit surfaces touch or cross inside the clear aperture");
                return false;
            }
        }
    if (!checkCementedThickness(fit, leastGlassThicknessMm, error))
        return false;

    ExportFile prismFile{QString::fromLatin1(prismStepFileName), {}};
    ExportFile surfacesFile{QString::fromLatin1(surfacesStepFileName), {}};
    // The surfaces alone: each surface's two halves sewn at x = 0.
    NamedFaces freeform;
    std::vector<QString> ignored;
    if (!fit.interface.present) {
        const Patches p = patchesOf(fit.entrance.surface, "entrance", fit.exit.surface, "exit", a);
        TopoDS_Shape solid;
        std::vector<QString> names;
        if (!solidBetween(p, QString(), &solid, &names, error))
            return false;
        addFreeformFaces(p, &freeform);
        const TopoDS_Shape surfaces = sewn(freeform, &ignored);
        if (!stepBytes(solid, prismStepFileName, &prismFile.bytes, error)
            || !stepBytes(surfaces, surfacesStepFileName, &surfacesFile.bytes, error))
            return false;
        made->notes << QStringLiteral("one closed solid of %1 faces (Bezier degree %2 and %3), %4 mm^3, AP214, mm")
                           .arg(names.size())
                           .arg(p.topLeft.degree)
                           .arg(p.bottomLeft.degree)
                           .arg(QString::number(volumeOf(solid), 'f', 4));
    } else {
        // A cemented prism: the crown between the entrance and the
        // interface, the flint between the interface and the exit.
        const PrismInterface& i = fit.interface;
        const Patches crown = patchesOf(fit.entrance.surface, "entrance", i.fit.surface, "interface", a);
        const Patches flint = patchesOf(i.fit.surface, "interface", fit.exit.surface, "exit", a);
        TopoDS_Shape crownSolid, flintSolid;
        std::vector<QString> crownNames, flintNames;
        if (!solidBetween(crown, i.crown + QLatin1Char(' '), &crownSolid, &crownNames, error)
            || !solidBetween(flint, i.flint + QLatin1Char(' '), &flintSolid, &flintNames, error))
            return false;
        TopoDS_Compound both;
        BRep_Builder builder;
        builder.MakeCompound(both);
        builder.Add(both, crownSolid);
        builder.Add(both, flintSolid);
        addFreeformFaces(crown, &freeform);
        addFreeformFace(flint.bottomLeft, QStringLiteral("exit, left half"), &freeform);
        addFreeformFace(flint.bottomRight, QStringLiteral("exit, right half"), &freeform);
        TopoDS_Compound surfaces;
        builder.MakeCompound(surfaces);
        for (const TopoDS_Face& face : freeform.faces)
            builder.Add(surfaces, face);
        if (!stepBytes(both, prismStepFileName, &prismFile.bytes, error)
            || !stepBytes(surfaces, surfacesStepFileName, &surfacesFile.bytes, error))
            return false;
        made->notes << QStringLiteral("two closed solids cemented at the interface: %1 (%2 faces, %3 mm^3) and "
                                      "%4 (%5 faces, %6 mm^3), AP214, mm")
                           .arg(i.crown)
                           .arg(crownNames.size())
                           .arg(QString::number(volumeOf(crownSolid), 'f', 4))
                           .arg(i.flint)
                           .arg(flintNames.size())
                           .arg(QString::number(volumeOf(flintSolid), 'f', 4));
    }
    made->files.push_back(std::move(prismFile));
    made->files.push_back(std::move(surfacesFile));
    return true;
}

ExportMaker prismStepMaker()
{
    return [](const PrismFileContent& content, ExportMade* made, QString* error) {
        return makePrismStepFiles(content.fit, made, error);
    };
}
