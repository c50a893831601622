#include "calibration/prism_calibration.h"

#include "design/design_files.h"
#include "design/design_run.h"
#include "fit/fit_run.h"
#include "fit/prism_fit.h"
#include "verify/prism_trace.h"
#include "refine/surface_refinement.h"
#include "verify/verify.h"
#include "verify/verify_sources.h"
#include "textio/number_text.h"

#include <QElapsedTimer>

#include <memory>

namespace calibration {

QString prismSourceName(PrismSource source)
{
    switch (source) {
    case PrismSource::Fit: return QStringLiteral("fit");
    case PrismSource::Prism: return QStringLiteral("prism");
    case PrismSource::Design: break;
    }
    return QStringLiteral("design");
}

bool parsePrismSource(const QString& name, PrismSource* source)
{
    if (name == QLatin1String("design"))
        *source = PrismSource::Design;
    else if (name == QLatin1String("fit"))
        *source = PrismSource::Fit;
    else if (name == QLatin1String("prism"))
        *source = PrismSource::Prism;
    else
        return false;
    return true;
}

StereoRig prismRig(const verify::PrismGeometry& geometry, const verify::PrismSurfaces& surfaces)
{
    StereoRig rig;
    rig.focalLength = geometry.focalLength;
    rig.pixelPitch = verify::pixelPitch;
    rig.resolutionX = verify::sensorColumns;
    rig.resolutionY = verify::sensorRows;
    rig.pinholeHeight = geometry.pinholeHeight();
    rig.virtualPinholeX = geometry.virtualPinholeX;
    auto shared = std::make_shared<const verify::PrismSurfaces>(surfaces);
    for (SensorHalf half : {SensorHalf::Left, SensorHalf::Right}) {
        const bool left = half == SensorHalf::Left;
        RayMapping mapping = [geometry, shared, left](double x, double y) {
            OutgoingRay ray;
            if ((x < 0.0) != left)  // the tracer picks the half by the sign of x
                return ray;
            const verify::TracedRay traced = verify::traceCameraRay(geometry, *shared, x, y);
            if (!traced.traced())
                return ray;
            ray.origin = {traced.exitPoint.x(), traced.exitPoint.y(), traced.exitPoint.z()};
            ray.direction = {traced.direction.x(), traced.direction.y(), traced.direction.z()};
            ray.valid = true;
            return ray;
        };
        (left ? rig.left : rig.right) = std::move(mapping);
    }
    return rig;
}

bool calibratePrism(const DesignParameters& parameters, PrismSource source, int order,
                    const CalibrationOptions& options, StereoCalibration* result, QString* error,
                    PrismCalibrationTimes* times, const PrismDesignChoice& design)
{
    *result = StereoCalibration();
    QElapsedTimer timer;
    timer.start();
    const int highest = source == PrismSource::Prism ? highestPrismOrder : 8;
    if (source != PrismSource::Design && (order < 3 || order > highest)) {
        *error = QStringLiteral("a fitted prism needs an order from 3 to %1, got %2").arg(highest).arg(order);
        return false;
    }
    // Everything in memory: the design's grid as its file gives it back, the
    // fit of that, and the rays of the very surfaces fitted.
    ScopedDesignRecord record;
    fillDesignRecord(*record, parameters);
    computeDesignSurfaces(*record, design.model, options.threadCount);
    if (design.refine && design.model == DesignModel::Refraction) {
        RefineOptions refineOptions;
        refineOptions.threadCount = options.threadCount;
        refineDesign(*record, refineOptions);  // kept only when the verifier finds it no worse
    }
    const verify::PrismGeometry geometry = verify::geometryOfRecord(*record);
    verify::PrismSurfaces surfaces;
    if (source == PrismSource::Design) {
        // The refraction model designs the right half from column 960 on.
        surfaces = design.model == DesignModel::Refraction ? refractionDesignSheets(*record)
                                                           : verify::designSurfacesFromRecord(*record);
    } else {
        const std::string text = gridFileText(*record, options.threadCount);
        std::vector<double> values;
        readNumbers(text.data(), text.size(), &values);
        if (source == PrismSource::Prism) {
            PrismDesignPoints points;
            if (!splitPrismDesignPoints(values, &points, error))
                return false;
            surfaces = verify::prismFitSurfaces(fitPrism(points, order));
        } else {
            const FitRunSummary fit =
                fitOrders({order}, splitFitPoints(values.data(), values.size()), nullptr, false, options.threadCount)
                    .front();
            if (!fit.inputValid || fit.surface1Results.size() < 2 || fit.surface2Results.size() < 2) {
                *error = QStringLiteral("the fit of order %1 failed: %2").arg(order).arg(fit.error);
                return false;
            }
            surfaces = verify::fittedSurfacesOfOrder(
                order, std::vector<double>(fit.surface1Results.begin(), fit.surface1Results.end() - 1),
                std::vector<double>(fit.surface2Results.begin(), fit.surface2Results.end() - 1));
        }
    }
    if (times)
        times->designSeconds = double(timer.nsecsElapsed()) * 1e-9;
    timer.restart();
    *result = calibrateStereoRig(prismRig(geometry, surfaces), options);
    if (times)
        times->calibrationSeconds = double(timer.nsecsElapsed()) * 1e-9;
    if (!result->ok) {
        *error = QStringLiteral("calibration of the %1 failed: %2")
                     .arg(source == PrismSource::Design
                              ? QStringLiteral("design")
                              : QStringLiteral("%1 of order %2").arg(prismSourceName(source)).arg(order),
                          result->error);
        return false;
    }
    return true;
}

}  // namespace calibration
