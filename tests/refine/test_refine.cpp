// Whole-surface refinement: refused input leaves the design exactly as it
// was with a clear message; a refinement either improves what the verifier
// measures or leaves every byte of the design as it was; refined points
// stay on their pixels' camera and virtual rays.

#include "design/design_record.h"
#include "design/refraction_design.h"
#include "refine/surface_refinement.h"
#include "verify/verify.h"
#include "verify/verify_sources.h"
#include "../io/test_files.h"
#include "../refraction/prism_geometry.h"

#include <QtTest>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

namespace {

using namespace geometry;

// Every buffer the refinement may touch, copied.
std::vector<double> snapshot(const DesignRecord& r)
{
    const std::size_t grid = std::size_t(8) * 480 * 540, row = 1920;
    std::vector<double> all;
    for (int c = 0; c < 2; ++c) {
        for (double** set : {r.gridX, r.gridY, r.gridZ})
            all.insert(all.end(), set[c], set[c] + grid);
        all.insert(all.end(), r.rowHeights[c], r.rowHeights[c] + row);
    }
    return all;
}

std::unique_ptr<ScopedDesignRecord> refractionDesign(bool wide = false)
{
    auto record = std::make_unique<ScopedDesignRecord>(2, 480, 540);
    fillDesignRecord(**record, panelSet(wide ? 1 : 0));
    computeRefractionDesign(**record, 2);
    return record;
}

} // namespace

class TestRefine : public QObject {
    Q_OBJECT

private slots:
    void refusedInputKeepsTheDesign_data()
    {
        QTest::addColumn<int>("nodeStep");
        QTest::addColumn<int>("cells");
        QTest::addColumn<int>("iterations");
        QTest::addColumn<bool>("notANumber");
        QTest::addColumn<QString>("message");
        QTest::newRow("node step 0") << 0 << 24 << 5 << false << "cannot refine: node step";
        QTest::newRow("no cells") << 8 << 0 << 5 << false << "cannot refine: node step";
        QTest::newRow("no iterations") << 8 << 24 << 0 << false << "cannot refine: node step";
        QTest::newRow("a height not a number") << 8 << 24 << 5 << true << "cannot refine: the design has heights";
    }

    void refusedInputKeepsTheDesign()
    {
        QFETCH(int, nodeStep);
        QFETCH(int, cells);
        QFETCH(int, iterations);
        QFETCH(bool, notANumber);
        QFETCH(QString, message);
        auto record = refractionDesign();
        DesignRecord& r = **record;
        if (notANumber)
            r.gridZ[1][std::size_t(300) * 1080 + 16] = std::numeric_limits<double>::quiet_NaN();
        const std::vector<double> before = snapshot(r);
        RefineOptions options;
        options.nodeStep = nodeStep;
        options.cellsX = options.cellsY = cells;
        options.maxIterations = iterations;
        options.threadCount = 2;
        const RefineResult result = refineDesign(r, options);
        QVERIFY(!result.applied);
        QVERIFY2(result.message.startsWith(message), qPrintable(result.message));
        QVERIFY(sameBits(snapshot(r), before));
    }

    // A short refinement: the verifier, run here on the result, finds no half
    // worse than the start; when the refinement was not kept, not a bit of
    // the design changed, and when it was, the points are still on their rays.
    void neverWorseThanItsStart_data()
    {
        QTest::addColumn<bool>("wide");
        QTest::newRow("start panel") << false;
        QTest::newRow("f50 a25 d160 s120 n1.52") << true;
    }

    void neverWorseThanItsStart()
    {
        QFETCH(bool, wide);
        auto record = refractionDesign(wide);
        DesignRecord& r = **record;
        const std::vector<double> before = snapshot(r);
        verify::VerifyOptions check;
        check.step = 8;
        check.threadCount = 2;
        const verify::VerifyResult start = verify::verifyPrism(verify::geometryOfRecord(r), refractionDesignSheets(r), check);

        RefineOptions options;
        options.maxIterations = 4;
        options.threadCount = 2;
        const RefineResult result = refineDesign(r, options);
        QVERIFY(!result.message.isEmpty());
        QVERIFY(result.iterations > 0);
        const verify::VerifyResult end = verify::verifyPrism(verify::geometryOfRecord(r), refractionDesignSheets(r), check);
        for (int half = 0; half < 2; ++half) {
            QVERIFY(end.halves[std::size_t(half)].traced >= start.halves[std::size_t(half)].traced);
            QVERIFY2(end.halves[std::size_t(half)].directionPx.rms <= start.halves[std::size_t(half)].directionPx.rms,
                     qPrintable(result.message));
        }
        if (!result.applied) {
            QVERIFY2(result.message.contains("the unrefined design is kept"), qPrintable(result.message));
            QVERIFY(sameBits(snapshot(r), before));
            return;
        }
        QVERIFY(!sameBits(snapshot(r), before));
        // Refined points still lie on the rays of their pixels.
        const Setup g(panelSet(wide ? 1 : 0));
        double worst = 0;
        for (int b : {0, 250, 700, 959, 960, 1300, 1919})
            for (int entry : {0, 123, 539, 540, 777, 1079}) {
                const std::size_t e = std::size_t(b) * 1080 + std::size_t(entry);
                const double x = b * pitch - 2 * g.q, y = (entry < 540 ? -entry : entry - 540) * pitch;
                const Vec exitPoint = g.virtualPoint(x, y, r.gridZ[0][e]), entrancePoint = g.cameraPoint(x, y, r.gridZ[1][e]);
                worst = std::max({worst, std::fabs(r.gridX[0][e] - exitPoint.x), std::fabs(r.gridY[0][e] - exitPoint.y),
                                  std::fabs(r.gridX[1][e] - entrancePoint.x), std::fabs(r.gridY[1][e] - entrancePoint.y)});
            }
        QVERIFY2(worst < 1e-12, qPrintable(QString("off the rays by %1 mm").arg(worst)));
    }
};

QTEST_APPLESS_MAIN(TestRefine)
#include "test_refine.moc"
