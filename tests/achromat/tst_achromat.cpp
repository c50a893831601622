// The achromatic prism against closed forms: the thin-prism pair of a crown
// and a flint (zero net dispersion at the designed angles, the single
// glass's deviation kept), a traced thin pair deviating F and C alike, an
// interface of the same glass on both sides changing no ray, the refusal of
// an interface that leaves less than 1 mm of glass, prism.json with and
// without an interface, the STEP export's two solids (OpenCASCADE's reader:
// their volumes add up to the single prism's), the optimised achromat of the
// default panel checked by the verifier's own trace (F and C images coincide
// outside the centre band, d images as near their ideal cameras as the
// single glass's), and the command line's refusals with nothing written.
#include "export/prism_export.h"
#include "export/prism_step.h"
#include "fit/prism_file.h"
#include "fit/prism_interface.h"
#include "materials/achromat.h"
#include "pipeline/stages.h"
#include "refine/achromat_design.h"
#include "verify/lateral_colour.h"
#include "verify/prism_trace.h"
#include "verify/verify.h"

#include <BRepGProp.hxx>
#include <GProp_GProps.hxx>
#include <STEPControl_Reader.hxx>
#include <TopExp_Explorer.hxx>
#include <TopoDS.hxx>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using materials::Catalogue;
using materials::Material;

namespace {

constexpr double degree = 3.14159265358979323846 / 180.0;

const Material& glass(const char* name)
{
    const Material* m = Catalogue::builtIn().find(QString::fromLatin1(name));
    if (!m)
        qFatal("no %s in the built-in catalogue", name);
    return *m;
}

std::shared_ptr<verify::PolynomialSurface> plane(double height, double slopeX)
{
    return std::make_shared<verify::PolynomialSurface>(std::vector<verify::PolynomialTerm>{{0, 0}, {1, 0}},
                                                       std::vector<double>{height, slopeX}, false,
                                                       verify::FitWindow{});
}

// The angle in the x-z plane by which a ray going down (-z) is turned.
double deviationOf(const verify::Vec3& d)
{
    return std::atan2(d.x(), -d.z());
}

// A ray straight down through the surfaces; its outgoing direction.
verify::Vec3 traceDown(const verify::PrismSurfaces& s, double n1, double n2)
{
    const verify::Ray ray{verify::Vec3(0.0, 0.0, 50.0), verify::Vec3(0.0, 0.0, -1.0)};
    const verify::TracedRay t = verify::traceRay(s, n1, 0, ray, 0.0, 0.0, n2);
    if (!t.traced())
        return verify::Vec3::Constant(std::nan(""));
    return t.direction;
}

// A surface of order 3 with only its constant and x slope set (dz/dx).
PrismSurfaceFit planeFit(double height, double slope)
{
    PrismSurfaceFit f;
    f.surface.order = 3;
    f.surface.x0 = -15.0;
    f.surface.radius = 20.0;
    f.surface.coefficients.assign(prismTerms(3).size(), 0.0);
    f.surface.coefficients[0] = height + slope * f.surface.x0;  // z = height + slope x
    f.surface.coefficients[1] = slope * f.surface.radius;
    f.domain = {-30.0, 0.0, -20.0, 20.0};
    return f;
}

// The single prism (entrance 20 mm above a flat exit, tilted towards the
// centre) with an interface at `height` + `slope` x between them.
PrismFit cementedPlanes(double height, double slope)
{
    PrismFit fit;
    fit.order = 3;
    fit.entrance = planeFit(20.0, 0.2);
    fit.exit = planeFit(0.0, 0.0);
    fit.interface.present = true;
    fit.interface.fit = planeFit(height, slope);
    fit.interface.crown = QStringLiteral("N-BK7");
    fit.interface.flint = QStringLiteral("F2");
    fit.interface.designWavelengthNm = materials::lineD;
    fit.interface.crownIndex = glass("N-BK7").index(materials::lineD);
    fit.interface.flintIndex = glass("F2").index(materials::lineD);
    return fit;
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

#ifdef HARVENLOTEK_CLI
int runCli(const QStringList& arguments, QByteArray* out, QByteArray* err)
{
    QProcess p;
    p.start(QStringLiteral(HARVENLOTEK_CLI), arguments);
    if (!p.waitForFinished(600000))
        return -1;
    *out = p.readAllStandardOutput();
    *err = p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}
#endif

}  // namespace

class TestAchromat : public QObject {
    Q_OBJECT

private slots:
    void thinPairMeetsClosedForm_data()
    {
        QTest::addColumn<QString>("crown");
        QTest::addColumn<QString>("flint");
        QTest::addColumn<double>("deviationDeg");
        QTest::addColumn<double>("shortNm");
        QTest::addColumn<double>("longNm");
        QTest::newRow("N-BK7 F2, 5 deg, F-C") << "N-BK7" << "F2" << 5.0 << materials::lineF << materials::lineC;
        QTest::newRow("N-BK7 F2, -2 deg, F-C") << "N-BK7" << "F2" << -2.0 << materials::lineF << materials::lineC;
        QTest::newRow("N-BK7 F2, 10 deg, 825-875 nm") << "N-BK7" << "F2" << 10.0 << 825.0 << 875.0;
        QTest::newRow("F2 N-BK7 (flint first), 5 deg") << "F2" << "N-BK7" << 5.0 << materials::lineF
                                                        << materials::lineC;
    }
    void thinPairMeetsClosedForm()
    {
        QFETCH(QString, crown);
        QFETCH(QString, flint);
        QFETCH(double, deviationDeg);
        QFETCH(double, shortNm);
        QFETCH(double, longNm);
        const Material& g1 = glass(crown.toLatin1().constData());
        const Material& g2 = glass(flint.toLatin1().constData());
        materials::Band band;
        band.lowNm = shortNm;
        band.highNm = longNm;
        const double mid = shortNm == materials::lineF ? materials::lineD : band.centreNm();
        materials::ThinAchromat pair;
        QString error;
        QVERIFY2(materials::thinPrismAchromat(g1, g2, deviationDeg * degree, band, mid, &pair, &error),
                 qPrintable(error));
        const double a1 = pair.crownAngle, a2 = pair.flintAngle;
        // Zero net dispersion between the band's edges.
        const double dispersion = (g1.index(shortNm) - g1.index(longNm)) * a1 + (g2.index(shortNm) - g2.index(longNm)) * a2;
        QVERIFY2(std::abs(dispersion) < 1e-9, qPrintable(QString::number(dispersion)));
        // The single glass's deviation at the design wavelength.
        const double total = (g1.index(mid) - 1.0) * a1 + (g2.index(mid) - 1.0) * a2;
        QVERIFY(std::abs(total - deviationDeg * degree) < 1e-12);
        // delta1 / V1 + delta2 / V2 = 0.
        const double v1 = (g1.index(mid) - 1.0) / (g1.index(shortNm) - g1.index(longNm));
        const double v2 = (g2.index(mid) - 1.0) / (g2.index(shortNm) - g2.index(longNm));
        QVERIFY(std::abs(pair.crownDeviation / v1 + pair.flintDeviation / v2) < 1e-9);
        // The two wedges face opposite ways; the one of the larger Abbe number deviates along the total.
        QVERIFY(a1 * a2 < 0.0);
        QCOMPARE((v1 > v2 ? a1 : a2) * deviationDeg > 0.0, true);
    }

    void glassesTooCloseAreRefused_data()
    {
        QTest::addColumn<QString>("crown");
        QTest::addColumn<QString>("flint");
        QTest::addColumn<double>("shortNm");
        QTest::addColumn<QString>("reason");
        QTest::newRow("same glass") << "N-BK7" << "N-BK7" << materials::lineF << "too close in dispersion";
        QTest::newRow("F2 below its range") << "N-BK7" << "F2" << 300.0 << "not valid at 300 nm";
    }
    void glassesTooCloseAreRefused()
    {
        QFETCH(QString, crown);
        QFETCH(QString, flint);
        QFETCH(double, shortNm);
        QFETCH(QString, reason);
        materials::ThinAchromat pair;
        QString error;
        materials::Band band = materials::visibleBand();
        band.lowNm = shortNm;
        QVERIFY(!materials::thinPrismAchromat(glass(crown.toLatin1().constData()), glass(flint.toLatin1().constData()),
                                              3.0 * degree, band, materials::lineD, &pair, &error));
        QVERIFY2(error.contains(reason), qPrintable(error));
    }

    // A ray at normal incidence through an entrance plane, the interface and
    // the exit, both wedges thin: F and C leave within 1 % of the single
    // glass's F-C spread of each other, and the d line is turned like the
    // single prism turns it (to the thin-prism order).
    void tracedThinPairDeviatesBandEdgesAlike_data()
    {
        QTest::addColumn<double>("deviationDeg");
        QTest::newRow("0.25 deg") << 0.25;
        QTest::newRow("0.5 deg") << 0.5;
        QTest::newRow("-0.5 deg") << -0.5;
    }
    void tracedThinPairDeviatesBandEdgesAlike()
    {
        QFETCH(double, deviationDeg);
        const Material& crown = glass("N-BK7");
        const Material& flint = glass("F2");
        materials::ThinAchromat pair;
        QString error;
        QVERIFY(materials::thinPrismAchromat(crown, flint, deviationDeg * degree, materials::visibleBand(),
                                             materials::lineD, &pair, &error));
        // Single glass: a wedge of angle A = delta / (n_d - 1).
        const double single = deviationDeg * degree / (crown.index(materials::lineD) - 1.0);
        verify::PrismSurfaces one;
        one.entrance = {plane(10.0, 0.0), plane(10.0, 0.0)};
        one.exit = {plane(0.0, -std::tan(single)), plane(0.0, -std::tan(single))};
        // The pair: the interface tilted by A1, the exit by A1 + A2.
        verify::PrismSurfaces two = one;
        two.interface = {plane(5.0, -std::tan(pair.crownAngle)), plane(5.0, -std::tan(pair.crownAngle))};
        two.exit = {plane(0.0, -std::tan(pair.crownAngle + pair.flintAngle)),
                    plane(0.0, -std::tan(pair.crownAngle + pair.flintAngle))};
        const auto at = [](const verify::PrismSurfaces& s, double nm) {
            const Material& c = *Catalogue::builtIn().find(QStringLiteral("N-BK7"));
            const Material& f = *Catalogue::builtIn().find(QStringLiteral("F2"));
            return deviationOf(traceDown(s, c.index(nm), f.index(nm)));
        };
        const auto singleAt = [&](double nm) {
            return deviationOf(traceDown(one, crown.index(nm), 0.0));
        };
        const double singleSpread = std::abs(singleAt(materials::lineF) - singleAt(materials::lineC));
        const double pairSpread = std::abs(at(two, materials::lineF) - at(two, materials::lineC));
        QVERIFY(singleSpread > 0.0);
        QVERIFY2(pairSpread < 0.01 * singleSpread,
                 qPrintable(QStringLiteral("pair %1 rad, single %2 rad").arg(pairSpread).arg(singleSpread)));
        // Both turn the d line by the deviation asked, within the thin-prism order.
        QVERIFY(std::abs(std::abs(at(two, materials::lineD)) - std::abs(deviationDeg * degree)) < 0.02 * std::abs(deviationDeg * degree));
    }

    // The same glass on both sides of a tilted interface bends no ray.
    void interfaceBetweenEqualGlassesChangesNothing()
    {
        verify::PrismSurfaces plain;
        plain.entrance = {plane(10.0, 0.1), plane(10.0, 0.1)};
        plain.exit = {plane(0.0, -0.2), plane(0.0, -0.2)};
        verify::PrismSurfaces cemented = plain;
        cemented.interface = {plane(5.0, 0.3), plane(5.0, 0.3)};
        for (double x : {-8.0, -2.0, 0.5}) {
            const verify::Ray ray{verify::Vec3(0.0, 0.0, 50.0), verify::Vec3(x, 1.0, -50.0).normalized()};
            const verify::TracedRay a = verify::traceRay(plain, 1.5, 0, ray, x, 1.0);
            const verify::TracedRay b = verify::traceRay(cemented, 1.5, 0, ray, x, 1.0, 1.5);
            QVERIFY(a.traced() && b.traced());
            QVERIFY((a.direction - b.direction).norm() < 1e-14);
            QVERIFY((a.exitPoint - b.exitPoint).norm() < 1e-11);
            QVERIFY(std::abs(b.interfacePoint.z() - (5.0 + 0.3 * b.interfacePoint.x())) < 1e-11);
        }
        // A ray that misses the interface is reported as such.
        verify::PrismSurfaces above = plain;
        above.interface = {plane(30.0, 0.0), plane(30.0, 0.0)};
        const verify::Ray down{verify::Vec3(0.0, 0.0, 50.0), verify::Vec3(0.0, 0.0, -1.0)};
        QVERIFY(verify::traceRay(above, 1.5, 0, down, 0.0, 0.0, 1.6).flags & verify::RayMissedInterface);
    }

    // Lateral colour as measured over the sensor: none through a cemented
    // parallel plate (every surface parallel, any indices); through a thin
    // wedge of one glass, on average over each half the thin-prism shift
    // f (n_F - n_C) A / pitch.
    void bandShiftClosedForms()
    {
        verify::PrismGeometry g;
        g.virtualPinholeX = -14.0;
        const Material& crown = glass("N-BK7");
        const Material& flint = glass("F2");
        verify::PrismGeometry low = g, high = g;
        low.refractiveIndex = crown.index(materials::lineF);
        low.secondIndex = flint.index(materials::lineF);
        high.refractiveIndex = crown.index(materials::lineC);
        high.secondIndex = flint.index(materials::lineC);
        verify::PrismSurfaces plate;
        plate.entrance = {plane(20.0, 0.0), plane(20.0, 0.0)};
        plate.interface = {plane(10.0, 0.0), plane(10.0, 0.0)};
        plate.exit = {plane(0.0, 0.0), plane(0.0, 0.0)};
        verify::LateralColourOptions options;
        options.step = 40;
        options.threadCount = 1;
        const verify::LateralColour flat = verify::measureLateralColour(low, high, plate, options);
        QVERIFY(flat.halves[0].traced > 0);
        QVERIFY2(flat.maxPx() < 1e-9, qPrintable(QString::number(flat.maxPx())));

        // A thin wedge of N-BK7 alone, the same for both halves' rays.
        const double a = 0.5 * degree;
        verify::PrismSurfaces wedge;
        wedge.entrance = {plane(20.0, 0.0), plane(20.0, 0.0)};
        wedge.exit = {plane(0.0, -std::tan(a)), plane(0.0, -std::tan(a))};
        verify::PrismGeometry lowSingle = low, highSingle = high;
        lowSingle.secondIndex = highSingle.secondIndex = 0.0;
        const verify::LateralColour shift = verify::measureLateralColour(lowSingle, highSingle, wedge, options);
        const double expected =
            g.focalLength * (crown.index(materials::lineF) - crown.index(materials::lineC)) * a / verify::pixelPitch;
        for (const verify::HalfLateralColour& h : shift.halves)
            QVERIFY2(std::abs(std::abs(h.meanXPx) - expected) < 0.02 * expected,
                     qPrintable(QStringLiteral("%1 px against %2 px").arg(h.meanXPx).arg(expected)));
    }

    void thinGlassIsRefused_data()
    {
        QTest::addColumn<double>("height");  // of the interface at x = 0
        QTest::addColumn<double>("slope");
        QTest::addColumn<QString>("thin");  // the glass named, empty: accepted
        // Entrance 20 + 0.2 x over -30 <= x <= 0 (14 to 20 mm), exit 0.
        QTest::newRow("middle") << 8.0 << 0.1 << QString();
        QTest::newRow("crown 0.9 mm at the outer edge") << 13.1 << 0.0 << "0.900 mm of N-BK7";
        QTest::newRow("flint 0.5 mm at the outer edge") << 8.0 << 0.25 << "0.500 mm of F2";
        QTest::newRow("crossing the exit") << 2.0 << 0.2 << "of F2";
        QTest::newRow("1.1 mm of crown") << 12.9 << 0.0 << QString();
    }
    void thinGlassIsRefused()
    {
        QFETCH(double, height);
        QFETCH(double, slope);
        QFETCH(QString, thin);
        const PrismFit fit = cementedPlanes(height, slope);
        QString error;
        const bool ok = checkCementedThickness(fit, leastGlassThicknessMm, &error);
        QCOMPARE(ok, thin.isEmpty());
        if (!ok)
            QVERIFY2(error.contains(thin) && error.contains(QStringLiteral("at least 1 mm")), qPrintable(error));
        // The STEP and STL exports refuse it too, before anything is made.
        ExportOptions options;
        options.formats = ExportStl;
        ExportSummary summary;
        std::vector<std::pair<QString, std::string>> files;
        PrismFileContent content;
        content.fit = fit;
        QCOMPARE(buildPrismExports(content, nullptr, options, &summary, &files, &error), ok);
        QCOMPARE(files.empty(), !ok);
        // Thicknesses: the crown is entrance minus interface, per half alike.
        const std::array<GlassThickness, 2> t = cementedGlassThickness(fit);
        QVERIFY(std::abs(t[0].crownMaxMm - t[1].crownMaxMm) < 1e-12);
        QVERIFY(std::abs(t[0].crownMinMm - (std::min(20.0 - height, 20.0 - 0.2 * prismAperture(fit).halfWidthX - height + slope * prismAperture(fit).halfWidthX))) < 1e-9);
    }

    // Without an interface, prism.json is what it was: no "interface" key,
    // and reading it back and writing again gives the same bytes. With one,
    // the interface and its glasses read back exactly.
    void prismFileWithAndWithoutInterface()
    {
        PrismFileContent plain;
        plain.fit.order = 3;
        plain.fit.entrance = planeFit(20.0, 0.2);
        plain.fit.exit = planeFit(0.0, 0.0);
        QTemporaryDir dir;
        QString error;
        QVERIFY2(writePrismFile(dir.path(), plain, &error), qPrintable(error));
        const std::string text = prismFileText(plain);
        QVERIFY(text.find("interface") == std::string::npos);
        PrismFileContent back;
        QVERIFY2(readPrismFile(dir.filePath(QStringLiteral("prism.json")), &back, &error), qPrintable(error));
        QVERIFY(!back.fit.interface.present);
        QVERIFY(prismFileText(back) == text);

        PrismFileContent cemented = plain;
        cemented.fit = cementedPlanes(8.0, 0.1);
        QVERIFY(writePrismFile(dir.path(), cemented, &error));
        QVERIFY(readPrismFile(dir.filePath(QStringLiteral("prism.json")), &back, &error));
        const PrismInterface& i = back.fit.interface;
        QVERIFY(i.present);
        QCOMPARE(i.crown, QStringLiteral("N-BK7"));
        QCOMPARE(i.flint, QStringLiteral("F2"));
        QCOMPARE(i.crownIndex, cemented.fit.interface.crownIndex);
        QCOMPARE(i.flintIndex, cemented.fit.interface.flintIndex);
        QVERIFY(i.fit.surface.coefficients == cemented.fit.interface.fit.surface.coefficients);
        QVERIFY(prismFileText(back) == prismFileText(cemented));
        // The tracer takes the file's glasses.
        const verify::PrismGeometry g = verify::prismFitGeometry(verify::PrismGeometry(), back.fit);
        QCOMPARE(g.refractiveIndex, i.crownIndex);
        QCOMPARE(g.secondIndex, i.flintIndex);
        QVERIFY(verify::prismFitSurfaces(back.fit).interface[0] != nullptr);
        QVERIFY(verify::prismFitSurfaces(plain.fit).interface[0] == nullptr);

        // An interface without its glasses is refused, naming it.
        QFile file(dir.filePath(QStringLiteral("prism.json")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray bytes = file.readAll();
        file.close();
        bytes.replace("\"flint\": \"F2\"", "\"flint\": \"\"");
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
        file.close();
        QVERIFY(!readPrismFile(dir.filePath(QStringLiteral("prism.json")), &back, &error));
        QVERIFY2(error.contains(QStringLiteral("incomplete interface")), qPrintable(error));
    }

    // "prism.step" of a cemented prism: two closed solids, read back by
    // OpenCASCADE, whose volumes add up to the single prism's.
    void stepHasTwoSolidsAddingUp()
    {
        const PrismFit cemented = cementedPlanes(8.0, 0.1);
        PrismFit single = cemented;
        single.interface = PrismInterface();
        QTemporaryDir dir;
        double volumes[2] = {0.0, 0.0};
        int solids[2] = {0, 0};
        for (int k = 0; k < 2; ++k) {
            ExportMade made;
            QString error;
            QVERIFY2(makePrismStepFiles(k == 0 ? single : cemented, &made, &error), qPrintable(error));
            const QString path = dir.filePath(QStringLiteral("prism%1.step").arg(k));
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(made.files.front().bytes.data(), static_cast<qint64>(made.files.front().bytes.size()));
            file.close();
            TopoDS_Shape shape;
            QVERIFY(readStep(path, &shape));
            for (TopExp_Explorer e(shape, TopAbs_SOLID); e.More(); e.Next()) {
                ++solids[k];
                GProp_GProps props;
                BRepGProp::VolumeProperties(e.Current(), props);
                QVERIFY(props.Mass() > 0.0);
                volumes[k] += props.Mass();
            }
        }
        QCOMPARE(solids[0], 1);
        QCOMPARE(solids[1], 2);
        QVERIFY2(std::abs(volumes[1] - volumes[0]) < 1e-6 * volumes[0],
                 qPrintable(QStringLiteral("%1 against %2 mm^3").arg(volumes[1], 0, 'g', 12).arg(volumes[0], 0, 'g', 12)));
        // The exact volume between the planes: the entrance 20 + 0.2 x over the footprint.
        const ClearAperture a = prismAperture(single);
        const double exact = 2.0 * (2.0 * a.halfWidthY) * (20.0 * a.halfWidthX - 0.1 * a.halfWidthX * a.halfWidthX);
        QVERIFY(std::abs(volumes[0] - exact) < 1e-6 * exact);
    }

    // The default panel's prism made an achromat by the optimiser, against
    // the single glass it starts from, both traced by the verifier (not the
    // optimiser's residuals): outside the centre band the F and C images of
    // each half coincide within a fraction of a pixel, and the d images
    // leave as close to the ideal virtual cameras as the single glass's. An
    // optimiser that holds the interface corrects colour only by moving the
    // d images by pixels.
    void optimisedAchromatCorrectsColourKeepingD_data()
    {
        QTest::addColumn<int>("order");
        QTest::addColumn<QString>("crown");
        QTest::addColumn<QString>("flint");
        QTest::newRow("order 6, N-BK7 and F2") << 6 << "N-BK7" << "F2";
    }
    void optimisedAchromatCorrectsColourKeepingD()
    {
        QFETCH(int, order);
        QFETCH(QString, crown);
        QFETCH(QString, flint);
        pipeline::DesignInput designInput;
        designInput.panel.designModel = DesignModel::Refraction;
        const core::ProgressRange quiet(nullptr, 0.0, 1.0, "");
        const pipeline::DesignResult design = pipeline::runDesignStage(designInput, quiet);
        pipeline::PrismFitInput fitInput;
        fitInput.order = order;
        const pipeline::PrismFitResult single = pipeline::runPrismFitStage(design, fitInput, quiet);
        fitInput.achromat = {true, crown, flint};
        const pipeline::PrismFitResult cemented = pipeline::runPrismFitStage(design, fitInput, quiet);
        QVERIFY(cemented.fit.interface.present);

        verify::VerifyOptions options;
        options.step = 16;
        const verify::VerifyResult singleVerified =
            verify::verifyPrism(design.geometry, verify::prismFitSurfaces(single.fit), options);
        const verify::PrismSurfaces surfaces = verify::prismFitSurfaces(cemented.fit);
        const verify::VerifyResult verified =
            verify::verifyPrism(verify::prismFitGeometry(design.geometry, cemented.fit), surfaces, options);
        const Material& crownGlass = glass(qPrintable(crown));
        const Material& flintGlass = glass(qPrintable(flint));
        verify::LateralColourOptions colourOptions;
        colourOptions.step = 16;
        // Outside the columns whose rays cross x = 0 (the verifier found them).
        const int crossing = verify::centralColumn - verified.halves[0].centreBand.firstColumn;
        colourOptions.centreBandColumns = std::max(colourOptions.centreBandColumns, crossing);
        const verify::LateralColour colour =
            verify::measureLateralColour(cementedGeometry(design.geometry, crownGlass, flintGlass, materials::lineF),
                                         cementedGeometry(design.geometry, crownGlass, flintGlass, materials::lineC),
                                         surfaces, colourOptions);
        QVERIFY2(colour.outsideCentreRmsPx() <= 0.1 && colour.outsideCentreMaxPx() <= 0.5,
                 qPrintable(QStringLiteral("F-C outside the centre band RMS %1 px, max %2 px")
                                .arg(colour.outsideCentreRmsPx()).arg(colour.outsideCentreMaxPx())));
        for (std::size_t half = 0; half < 2; ++half) {
            const double mine = verified.halves[half].outsideCentreBand.directionRmsPx;
            const double theirs = singleVerified.halves[half].outsideCentreBand.directionRmsPx;
            QVERIFY2(mine <= std::max(1.0, 1.5 * theirs),
                     qPrintable(QStringLiteral("half %1: d direction RMS outside the centre band %2 px, single "
                                               "glass %3 px").arg(half).arg(mine).arg(theirs)));
        }
    }

    // The one-shot run of an achromat goes through every stage (the
    // simulated capture traces the flint behind the interface too) and its
    // JSON carries the corrected colour outside the centre band and a
    // calibrated residual of hundredths of a pixel.
    void commandLineAchromatOneShot()
    {
#ifndef HARVENLOTEK_CLI
        QSKIP("the command-line tool is not built");
#else
        QTemporaryDir dir;
        QByteArray out, err;
        const int code = runCli(QStringList{"prism", "--achromat", "--order", "6", "--json", "--threads", "2",
                                            "--output-dir", dir.path()},
                                &out, &err);
        QVERIFY2(code == 0, err.right(300).constData());
        const QJsonObject prism = QJsonDocument::fromJson(out).object().value(QStringLiteral("prism")).toObject();
        const QJsonObject achromat = prism.value(QStringLiteral("achromat")).toObject();
        QCOMPARE(achromat.value(QStringLiteral("crown")).toString(), QStringLiteral("N-BK7"));
        for (const QJsonValue& half : achromat.value(QStringLiteral("halves")).toArray()) {
            const QJsonObject outside =
                half.toObject().value(QStringLiteral("lateralColourOutsideCentreBand")).toObject();
            QVERIFY2(outside.value(QStringLiteral("rmsPx")).toDouble(1e9) <= 0.1, out.constData());
            QVERIFY(half.toObject().value(QStringLiteral("crownMinMm")).toDouble() >= 1.0);
            QVERIFY(half.toObject().value(QStringLiteral("flintMinMm")).toDouble() >= 1.0);
        }
        for (const char* key : {"calibratedLeftRmsPx", "calibratedRightRmsPx"})
            QVERIFY2(prism.value(QLatin1String(key)).toDouble(1e9) <= 0.1, out.constData());
        QVERIFY(prism.contains(QStringLiteral("simulatedCapture")));
#endif
    }

    void commandLineRefusals_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("reason");
        QTest::newRow("same glass") << QStringList{"--achromat", "--crown", "N-BK7", "--flint", "N-BK7"}
                                    << "too close in dispersion";
        QTest::newRow("unknown flint") << QStringList{"--achromat", "--flint", "SF99"} << "unknown material";
        QTest::newRow("crown without achromat") << QStringList{"--crown", "F2"} << "--crown needs --achromat";
    }
    void commandLineRefusals()
    {
#ifndef HARVENLOTEK_CLI
        QSKIP("the command-line tool is not built");
#else
        QFETCH(QStringList, arguments);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QByteArray out, err;
        const int code = runCli(QStringList{"prism", "--output-dir", dir.path()} + arguments, &out, &err);
        QCOMPARE(code, 2);
        QVERIFY2(QString::fromUtf8(err).contains(reason), err.constData());
        QCOMPARE(err.count('\n'), 1);
        QVERIFY(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
#endif
    }
};

QTEST_GUILESS_MAIN(TestAchromat)
#include "tst_achromat.moc"
