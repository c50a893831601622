// The "refraction" design model checked against the geometry of the prism
// worked out here on its own: each stored point lies on its pixel's camera
// and virtual ray, both surfaces bend those rays by the law of refraction
// along the row and along every column, the surfaces run smoothly across the
// pass joints and up to the centre, and the two halves are mirror images.
// The classic model runs through the same checks where it is known to fail
// them, so each check is seen to catch what it is for.

#include "design/design_record.h"
#include "design/design_run.h"
#include "design/ray_trace.h"
#include "design/refraction_design.h"
#include "prism_geometry.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace {

using namespace geometry;

// One finished design, kept for the rows that use the same one.
struct Design {
    int set = -1;
    DesignModel model = DesignModel::Classic;
    std::unique_ptr<ScopedDesignRecord> record;
};

Design& design(int set, DesignModel model)
{
    static Design cached;
    if (cached.record && cached.set == set && cached.model == model)
        return cached;
    cached.record.reset();
    cached.record = std::make_unique<ScopedDesignRecord>(2, 480, 540);
    DesignRecord& r = cached.record->record();
    fillDesignRecord(r, panelSet(set));
    if (model == DesignModel::Refraction) {
        computeRefractionDesign(r, 2);
    } else {
        computeDesignConstants(r);
        traceRows(r);
        traceColumns(r, 2);
    }
    cached.set = set;
    cached.model = model;
    return cached;
}

// Slope of equally spaced samples at sample i from five of them, central where
// there is room and one-sided at the ends; fourth order either way.
double slopeAt(const std::vector<double>& h, std::size_t i, double spacing)
{
    const std::size_t last = h.size() - 1;
    if (i >= 2 && i + 2 <= last)
        return (h[i - 2] - 8 * h[i - 1] + 8 * h[i + 1] - h[i + 2]) / (12 * spacing);
    // The right end is the mirror image of the left one.
    const bool right = i > 2;
    const auto at = [&](std::size_t k) { return right ? h[last - k] : h[k]; };
    const double s = (right ? last - i : i) == 0 ? (-25 * at(0) + 48 * at(1) - 36 * at(2) + 16 * at(3) - 3 * at(4))
                                                 : (-3 * at(0) - 10 * at(1) + 18 * at(2) - 6 * at(3) + at(4));
    return (right ? -s : s) / (12 * spacing);
}

// Largest misfit of one surface (0 exit, 1 entrance) along a curve of pixels
// (x[i], y[i]) with heights h0[i], h1[i], moving along x (alongY false) or y.
double worstMisfit(const Setup& s, const std::vector<double>& x, const std::vector<double>& y,
                   const std::vector<double>& h0, const std::vector<double>& h1, int surface, bool alongY)
{
    const double spacing = alongY ? y[1] - y[0] : x[1] - x[0];
    const std::vector<double>& h = surface == 0 ? h0 : h1;
    double worst = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const Vec exitPoint = s.virtualPoint(x[i], y[i], h0[i]);
        const Vec entrancePoint = s.cameraPoint(x[i], y[i], h1[i]);
        const Vec inside = exitPoint - entrancePoint;
        const double slope = slopeAt(h, i, spacing);
        // Moving the pixel by one unit along the curve moves the point on
        // its ray by the pixel step scaled to height h, plus the ray's own
        // direction times the change of h.
        const double x0 = surface == 0 ? s.shifted(x[i]) : x[i];
        const double scale = (h[i] - s.F) / s.dz;
        const Vec tangent = alongY ? Vec{slope * x0 / s.dz, scale + slope * y[i] / s.dz, slope}
                                   : Vec{scale + slope * x0 / s.dz, slope * y[i] / s.dz, slope};
        const Vec outside = surface == 0 ? Vec{s.shifted(x[i]), y[i], s.dz} : Vec{x[i], y[i], s.dz};
        worst = std::max(worst, misfit(tangent, inside, outside, s.n));
    }
    return worst;
}

// Largest |third difference| of h over windows [i, i + 3] that start in
// [from, to) and lie inside [lo, hi].
double thirdDifference(const std::vector<double>& h, int from, int to, int lo, int hi)
{
    double worst = 0;
    for (int i = std::max(from, lo); i < to && i + 3 <= hi; ++i)
        worst = std::max(worst, std::fabs(h[i + 3] - 3 * h[i + 2] + 3 * h[i + 1] - h[i]));
    return worst;
}

// True when no window touching one of the joints stands out: its third
// difference stays within twice the largest one anywhere else in the same half.
bool smoothAcrossJoints(const std::vector<double>& h, const std::vector<int>& joints)
{
    const int centre = int(h.size()) / 2;
    for (int joint : joints) {
        const int lo = joint < centre ? 0 : centre;
        const int hi = joint < centre ? centre - 1 : int(h.size()) - 1;
        const double atJoint = thirdDifference(h, joint - 4, joint + 2, lo, hi);
        const double elsewhere = std::max(thirdDifference(h, lo, joint - 12, lo, hi),
                                          thirdDifference(h, joint + 10, hi, lo, hi));
        if (!(atJoint <= 2 * elsewhere))
            return false;
    }
    return true;
}

// Rows of each panel set at each place, all of the refraction model, then
// the classic model's rows, where it is known to fail the same check.
void addRows(const char* place, std::initializer_list<int> places, std::initializer_list<int> classicPlaces)
{
    QTest::addColumn<int>("set");
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("place");
    QTest::addColumn<bool>("obeys");
    for (int set = 0; set < 3; ++set)
        for (int at : places)
            QTest::addRow("set %d %s %d", set, place, at) << set << int(DesignModel::Refraction) << at << true;
    for (int at : classicPlaces)
        QTest::addRow("classic %s %d", place, at) << 0 << int(DesignModel::Classic) << at << false;
}

} // namespace

class TestRefraction : public QObject {
    Q_OBJECT

private slots:
    void modelNames_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("known");
        QTest::addColumn<int>("model");
        QTest::newRow("classic") << "classic" << true << int(DesignModel::Classic);
        QTest::newRow("refraction") << "refraction" << true << int(DesignModel::Refraction);
        QTest::newRow("capitalised") << "Refraction" << false << 0;
        QTest::newRow("empty") << "" << false << 0;
        QTest::newRow("padded") << " classic" << false << 0;
    }

    void modelNames()
    {
        QFETCH(QString, text);
        QFETCH(bool, known);
        QFETCH(int, model);
        DesignModel parsed = DesignModel::Refraction;
        QCOMPARE(parseDesignModel(text, &parsed), known);
        if (known) {
            QCOMPARE(int(parsed), model);
            QCOMPARE(QString(designModelName(parsed)), text);
        } else {
            QCOMPARE(int(parsed), int(DesignModel::Refraction));  // untouched
        }
    }

    // The central row: x of row point b is b * pitch - 2q, each half's heights
    // start from the sketch's point at its centre; both surfaces refract.
    void rowRefracts_data() { addRows("surface", {0, 1}, {1}); }

    void rowRefracts()
    {
        QFETCH(int, set);
        QFETCH(int, model);
        QFETCH(int, place);
        QFETCH(bool, obeys);
        const int surface = place;
        const Setup s(panelSet(set));
        DesignRecord& r = design(set, DesignModel(model)).record->record();
        for (int half = 0; half < 2; ++half) {
            std::vector<double> x, y, h0, h1;
            for (int b = half * 960; b < half * 960 + 960; ++b) {
                x.push_back(b * pitch - 2 * s.q);
                y.push_back(0);
                h0.push_back(r.rowHeights[0][b]);
                h1.push_back(r.rowHeights[1][b]);
            }
            if (model == int(DesignModel::Refraction)) {
                // The centre of the half holds the sketch's heights.
                const int centre = half * 960 + 480;
                QVERIFY(std::fabs(r.rowHeights[0][centre]) < 1e-12);
                QVERIFY(std::fabs(r.rowHeights[1][centre] - panelSet(set).centralRayHitY) < 1e-12);
            }
            const double worst = worstMisfit(s, x, y, h0, h1, surface, false);
            if (obeys)
                QVERIFY2(worst < 1e-9, qPrintable(QString("misfit %1").arg(worst)));
            else
                QVERIFY2(worst > 1e-4, qPrintable(QString("misfit %1").arg(worst)));
        }
    }

    // Columns near the edges, the pass joints and the centre: every stored
    // point lies on its pixel's rays at the y it was solved for, and both
    // surfaces refract along the column.
    void columnsRefract_data() { addRows("column", {0, 300, 479, 480, 959, 960, 1439, 1440, 1919}, {300}); }

    void columnsRefract()
    {
        QFETCH(int, set);
        QFETCH(int, model);
        QFETCH(int, place);
        QFETCH(bool, obeys);
        const int column = place;
        const Setup s(panelSet(set));
        DesignRecord& r = design(set, DesignModel(model)).record->record();
        const double x = column * pitch - 2 * s.q;
        // Column entries in ascending y: the -y half reversed, then the +y half
        // without its row point.
        std::vector<double> xs, ys, h0, h1;
        double worstPlace = 0;
        for (int k = -539; k <= 539; ++k) {
            const int entry = k <= 0 ? -k : 540 + k;
            const std::size_t e = std::size_t(column) * 1080 + std::size_t(entry);
            const double y = k * pitch;
            xs.push_back(x);
            ys.push_back(y);
            h0.push_back(r.gridZ[0][e]);
            h1.push_back(r.gridZ[1][e]);
            const Vec exitPoint = s.virtualPoint(x, y, r.gridZ[0][e]);
            const Vec entrancePoint = s.cameraPoint(x, y, r.gridZ[1][e]);
            for (const Vec& d : {exitPoint - Vec{r.gridX[0][e], r.gridY[0][e], r.gridZ[0][e]},
                                 entrancePoint - Vec{r.gridX[1][e], r.gridY[1][e], r.gridZ[1][e]}})
                worstPlace = std::max(worstPlace, std::sqrt(dot(d, d)));
        }
        const double worst = std::max(worstMisfit(s, xs, ys, h0, h1, 0, true),
                                      worstMisfit(s, xs, ys, h0, h1, 1, true));
        if (obeys) {
            QVERIFY2(worstPlace < 1e-12, qPrintable(QString("off the rays by %1 mm").arg(worstPlace)));
            QVERIFY2(worst < 1e-9, qPrintable(QString("misfit %1").arg(worst)));
            // The row point starts the column.
            QCOMPARE(r.gridZ[0][std::size_t(column) * 1080], r.rowHeights[0][column]);
            QCOMPARE(r.gridZ[1][std::size_t(column) * 1080 + 540], r.rowHeights[1][column]);
        } else {
            QVERIFY2(worst > 1e-4, qPrintable(QString("misfit %1").arg(worst)));
        }
    }

    // The row and a line of grid points across the sensor run smoothly over
    // the joints between integration passes and up to the centre of the
    // sensor from either side.
    void smoothOverJoints_data() { addRows("entry", {-1, 0, 250, 800}, {-1, 250}); }

    void smoothOverJoints()
    {
        QFETCH(int, set);
        QFETCH(int, model);
        QFETCH(int, place);
        QFETCH(bool, obeys);
        const int entry = place;
        DesignRecord& r = design(set, DesignModel(model)).record->record();
        bool allSmooth = true;
        for (int c = 0; c < 2; ++c) {
            std::vector<double> h(1920);
            for (int b = 0; b < 1920; ++b)
                h[std::size_t(b)] = entry < 0 ? r.rowHeights[c][b] : r.gridZ[c][std::size_t(b) * 1080 + std::size_t(entry)];
            allSmooth = allSmooth && smoothAcrossJoints(h, {479, 959, 960, 1439});
        }
        QCOMPARE(allSmooth, obeys);
    }

    // Both halves are mirror images: the height at x is the height at -x
    // (x = 0 has no mirror: it is the right half's alone).
    void halvesMirrored_data()
    {
        QTest::addColumn<int>("set");
        for (int set = 0; set < 3; ++set)
            QTest::newRow(qPrintable(QString("set %1").arg(set))) << set;
    }

    void halvesMirrored()
    {
        QFETCH(int, set);
        DesignRecord& r = design(set, DesignModel::Refraction).record->record();
        double worst = 0;
        for (int c = 0; c < 2; ++c)
            for (int b = 1; b < 1920; ++b) {
                if (b == 960)
                    continue;
                worst = std::max(worst, std::fabs(r.rowHeights[c][b] - r.rowHeights[c][1920 - b]));
                for (int entry : {7, 300, 539, 547, 1079}) {
                    const std::size_t e = std::size_t(b) * 1080 + std::size_t(entry);
                    const std::size_t m = std::size_t(1920 - b) * 1080 + std::size_t(entry);
                    worst = std::max({worst, std::fabs(r.gridZ[c][e] - r.gridZ[c][m]),
                                      std::fabs(r.gridX[c][e] + r.gridX[c][m]),
                                      std::fabs(r.gridY[c][e] - r.gridY[c][m])});
                }
            }
        QVERIFY2(worst < 1e-9, qPrintable(QString("off by %1 mm").arg(worst)));
    }

    // A whole run writes the classic layout, every number finite, the
    // centre column included, and its first line is the centre's row point.
    void filesKeepTheirLayout()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        DesignRunOptions options;
        options.outputDirectory = dir.path();
        options.threadCount = 2;
        options.model = DesignModel::Refraction;
        const DesignRunResult result = runDesign(panelSet(0), options);
        QVERIFY(result.profileWritten);
        QVERIFY(result.gridWritten);
        QCOMPARE(result.nonFiniteGridLines, 0);

        QFile profile(dir.filePath("output.txt"));
        QVERIFY(profile.open(QIODevice::ReadOnly));
        const QList<QByteArray> rows = profile.readAll().split('\n');
        QCOMPARE(rows.size(), 1921);  // 1920 lines, each ended by a newline
        QVERIFY(rows.last().isEmpty());
        QCOMPARE(rows[0].split(' ').size(), 4);

        QFile grid(dir.filePath("outputall.txt"));
        QVERIFY(grid.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = grid.readAll().split('\n');
        QCOMPARE(lines.size(), 207361);
        QVERIFY(lines.last().isEmpty());
        // Line 103,680: column 960 (x = 0), entry 0, the right half's row
        // point at y = 0: entrance point (0, 0, h1) straight below the pinhole.
        const QList<QByteArray> centre = lines[103680].split(' ');
        QCOMPARE(centre.size(), 6);
        QCOMPARE(centre[1].toDouble(), 0.0);
        QCOMPARE(centre[3].toDouble(), 0.0);
        QCOMPARE(centre[4].toDouble(), 0.0);
        QVERIFY(centre[5].toDouble() > 0.0);
    }
};

QTEST_APPLESS_MAIN(TestRefraction)
#include "test_refraction.moc"
