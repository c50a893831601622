#include "pipeline/stages.h"

#include "calibration/calibration_file.h"
#include "calibration/prism_calibration.h"
#include "design/design_files.h"
#include "design/design_json.h"
#include "design/design_run.h"
#include "io/points_digest.h"
#include "core/parallel_for.h"
#include "verify/prism_trace.h"
#include "verify/verify_surfaces.h"
#include "textio/number_text.h"

#include <QElapsedTimer>

#include <limits>
#include <stdexcept>

namespace pipeline {

namespace {

double secondsOf(const QElapsedTimer& timer)
{
    return static_cast<double>(timer.nsecsElapsed()) * 1e-9;
}

}  // namespace

bool samePanel(const PanelParameters& a, const PanelParameters& b)
{
    return a.focalLength == b.focalLength && a.resolutionX == b.resolutionX && a.resolutionY == b.resolutionY
           && a.angleDeg == b.angleDeg && a.refractiveIndex == b.refractiveIndex
           && a.prismDistance == b.prismDistance && a.prismSize == b.prismSize
           && a.virtualCameraPos == b.virtualCameraPos && a.fixAngle == b.fixAngle
           && a.designModel == b.designModel && a.designAngleDeg == b.designAngleDeg;
}

bool operator==(const DesignInput& a, const DesignInput& b)
{
    // The thread count changes no number.
    const ColourRecord& ca = a.colour.record;
    const ColourRecord& cb = b.colour.record;
    const bool sameColour = ca.recorded == cb.recorded && ca.material == cb.material
                            && ca.wavelengthNm == cb.wavelengthNm && ca.band == cb.band
                            && ca.bandLowNm == cb.bandLowNm && ca.bandHighNm == cb.bandHighNm
                            && a.colour.channels.size() == b.colour.channels.size();
    return samePanel(a.panel, b.panel) && a.refine == b.refine && a.keepFullGrid == b.keepFullGrid && sameColour;
}

bool operator==(const PrismFitInput& a, const PrismFitInput& b)
{
    return a.order == b.order && a.optimize == b.optimize && a.objective == b.objective
           && a.cameraModel == b.cameraModel && a.nearDepthMm == b.nearDepthMm
           && a.achromat.enabled == b.achromat.enabled && a.achromat.crown == b.achromat.crown
           && a.achromat.flint == b.achromat.flint;
}

bool operator==(const ClassicFitInput& a, const ClassicFitInput& b)
{
    return a.orders == b.orders;
}

bool operator==(const VerifyInput& a, const VerifyInput& b)
{
    return a.step == b.step && a.depths == b.depths && a.keepPixels == b.keepPixels
           && a.includeDesign == b.includeDesign;
}

bool operator==(const CalibrationInput& a, const CalibrationInput& b)
{
    return a.depthsMm == b.depthsMm && a.pointsAcrossHalf == b.pointsAcrossHalf && a.model == b.model;
}

bool operator==(const SimulateInput& a, const SimulateInput& b)
{
    const simulate::SceneOptions &x = a.scene, &y = b.scene;
    return x.kind == y.kind && x.depthMm == y.depthMm && x.tiltDeg == y.tiltDeg && x.stepCount == y.stepCount
           && x.stepFraction == y.stepFraction && x.fieldHalfHeightMm == y.fieldHalfHeightMm
           && a.supersample == b.supersample && a.rowFraction == b.rowFraction && a.ideal == b.ideal;
}

DesignResult runDesignStage(const DesignInput& input, const core::ProgressRange& progress)
{
    QElapsedTimer timer;
    timer.start();
    progress.throwIfCancelled();
    progress.report(0.0);
    DesignResult result;
    result.input = input;
    const PanelParameters& panel = input.panel;
    result.hit = centralRayHit(panel);
    // A central ray parallel to the face has no hit point: the design gets
    // NaN, and the stages after it refuse it.
    if (!result.hit.defined)
        result.hit.x = result.hit.y = std::numeric_limits<double>::quiet_NaN();
    result.parameters = toDesignParameters(panel, result.hit);
    result.geometry = verify::geometryOfPanel(panel);
    result.threads = resolveThreadCount(input.threads);
    const bool fullGrid = input.keepFullGrid || input.refine;
    result.record = fullGrid
                        ? std::make_shared<ScopedDesignRecord>(2, designQuarterSteps, designHalfSteps)
                        : std::make_shared<ScopedDesignRecord>(2, designQuarterSteps, designHalfSteps,
                                                               designGridFileStride);
    DesignRecord& record = **result.record;
    fillDesignRecord(record, result.parameters);
    const core::ProgressRange columns = progress.part(0.0, 0.7);
    computeDesignSurfaces(record, panel.designModel, result.threads, &columns);
    progress.report(0.7);
    progress.throwIfCancelled();
    if (input.refine && panel.designModel == DesignModel::Refraction) {
        RefineOptions options;
        options.threadCount = input.threads;
        result.refine = refineDesign(record, options);
        progress.throwIfCancelled();
    }
    result.profileText = profileFileText(record);
    result.gridText = gridFileText(record, result.threads, &result.nonFiniteLines);
    DesignJson json = designJsonFromRecord(record, &panel);
    json.designModel = QString::fromLatin1(designModelName(panel.designModel));
    json.pointsDigest = pointsDigestOf(result.gridText.data(), result.gridText.size());
    json.colour = input.colour.record;
    result.origin = designOriginOf(json);
    result.designJson = designJsonBytes(json);
    result.gridValues.reserve(std::size_t(gridFileLineCount(record)) * 6);
    readNumbers(result.gridText.data(), result.gridText.size(), &result.gridValues);
    result.seconds = secondsOf(timer);
    progress.report(1.0);
    return result;
}

DesignResult designOfPoints(const PanelParameters& panel, std::vector<double> values)
{
    DesignResult result;
    result.input.panel = panel;
    result.hit = centralRayHit(panel);
    if (!result.hit.defined)
        result.hit.x = result.hit.y = std::numeric_limits<double>::quiet_NaN();
    result.parameters = toDesignParameters(panel, result.hit);
    result.geometry = verify::geometryOfPanel(panel);
    result.gridValues = std::move(values);
    return result;
}

namespace {

const materials::Material& catalogueGlass(const QString& name)
{
    const materials::Material* glass = materials::Catalogue::builtIn().find(name);
    if (!glass)
        throw std::invalid_argument(QStringLiteral("unknown material '%1' (known: %2)")
                                        .arg(name, materials::Catalogue::builtIn().names().join(QStringLiteral(", ")))
                                        .toStdString());
    return *glass;
}

// The single prism in *result made a cemented achromat; the optimiser runs
// again with the interface in place.
void designAchromatStage(const DesignResult& design, const PrismFitInput& input,
                         const std::vector<PrismRayTarget>& targets, const PrismOptimizeOptions& optimize,
                         PrismFitResult* result)
{
    const materials::Material& crown = catalogueGlass(input.achromat.crown);
    const materials::Material& flint = catalogueGlass(input.achromat.flint);
    AchromatOptions options;
    options.optimize = optimize;
    options.targets = targets;
    AchromatResult achromat;
    QString error;
    if (!designAchromat(design.geometry, result->fit, crown, flint, options, &achromat, &error))
        throw std::invalid_argument(error.toStdString());
    result->fit = achromat.fit;
    result->optimized.iterations += achromat.optimized.iterations;
    result->optimized.endDirectionRmsPx = achromat.optimized.end.directionRmsPx;
    result->optimized.endPinholeRmsMm = achromat.optimized.end.pinholeRmsMm;
    result->optimized.stopReason = achromat.optimized.stopReason;
    result->achromat = AchromatSummary{achromat.thin, achromat.singleDeviationRad, achromat.centreColourPx,
                                       cementedGlassThickness(achromat.fit)};
}

}  // namespace

PrismFitResult runPrismFitStage(const DesignResult& design, const PrismFitInput& input,
                                const core::ProgressRange& progress)
{
    QElapsedTimer timer;
    timer.start();
    progress.throwIfCancelled();
    progress.report(0.0);
    if (input.order < lowestPrismOrder || input.order > highestPrismOrder)
        throw std::invalid_argument(QStringLiteral("a prism fit needs an order from %1 to %2, got %3")
                                        .arg(lowestPrismOrder).arg(highestPrismOrder).arg(input.order)
                                        .toStdString());
    if (!design.hit.defined)
        throw std::invalid_argument("no prism fit: the central ray runs parallel to the prism face");
    if (input.achromat.enabled) {
        if (!input.optimize)
            throw std::invalid_argument("an achromat is designed with the optimiser only");
        catalogueGlass(input.achromat.crown);
        catalogueGlass(input.achromat.flint);
    }
    PrismDesignPoints points;
    QString error;
    if (!splitPrismDesignPoints(design.gridValues, &points, &error))
        throw std::invalid_argument(error.toStdString());
    PrismFitResult result;
    result.input = input;
    const bool stereo = input.optimize && input.objective == PrismObjective::Stereo;
    result.fit = fitPrism(points, input.order, stereo);
    progress.report(input.optimize ? 0.05 : 1.0);
    if (input.optimize) {
        progress.throwIfCancelled();
        PrismOptimizeOptions options;
        options.threadCount = input.threads;
        options.objective = input.objective;
        options.cameraModel = input.cameraModel;
        options.nearDepthMm = input.nearDepthMm;
        options.centralRowStride = optimizeSampleStep;
        options.anchor = stereo ? nullptr : &points;
        const int iterations = options.maxIterations;
        options.progress = [&progress, iterations](const PrismOptimizeProgress& p) {
            progress.report(0.05 + 0.95 * double(p.iteration) / double(iterations));
            progress.throwIfCancelled();
        };
        const std::vector<PrismRayTarget> targets =
            idealRayTargets(design.geometry, verify::samplePixels(optimizeSampleStep));
        const PrismOptimizeResult optimized = optimizePrismFit(design.geometry, result.fit, targets, options);
        result.fit = optimized.fit;
        measurePrismResiduals(&result.fit.exit, points.exitLeft, points.exitRight);
        measurePrismResiduals(&result.fit.entrance, points.entranceLeft, points.entranceRight);
        result.optimized = {true,
                            optimized.iterations,
                            static_cast<int>(targets.size()),
                            optimized.start.directionRmsPx,
                            optimized.end.directionRmsPx,
                            optimized.start.pinholeRmsMm,
                            optimized.end.pinholeRmsMm,
                            optimized.stopReason};
        if (input.achromat.enabled)
            designAchromatStage(design, input, targets, options, &result);
    }
    result.seconds = secondsOf(timer);
    progress.report(1.0);
    return result;
}

PrismFitResult prismFitOfFile(const PrismFileContent& content)
{
    PrismFitResult result;
    result.input.order = content.fit.order;
    result.input.optimize = content.optimized.present;
    result.fit = content.fit;
    result.optimized = content.optimized;
    result.file = content;
    return result;
}

ClassicFitResult runClassicFitStage(const DesignResult& design, const ClassicFitInput& input,
                                    const core::ProgressRange& progress)
{
    QElapsedTimer timer;
    timer.start();
    progress.throwIfCancelled();
    progress.report(0.0);
    ClassicFitResult result;
    result.input = input;
    if (input.orders.empty())
        return result;  // the design alone
    FitPoints points = splitFitPoints(design.gridValues.data(), design.gridValues.size());
    points.origin = design.origin;
    result.splitSeconds = secondsOf(timer);
    progress.throwIfCancelled();
    const std::vector<FitRunSummary> summaries = fitOrders(input.orders, points, nullptr, true, input.threads);
    for (const FitRunSummary& summary : summaries) {
        if (!summary.error.isEmpty())
            throw std::invalid_argument(QStringLiteral("the fit of order %1 refused its input: %2")
                                            .arg(summary.order).arg(summary.error).toStdString());
        ClassicOrderFit fit;
        fit.summary = summary;
        // Each result array holds the coefficients followed by the residual.
        fit.surfaces = verify::fittedSurfacesOfOrder(
            summary.order, std::vector<double>(summary.surface1Results.begin(), summary.surface1Results.end() - 1),
            std::vector<double>(summary.surface2Results.begin(), summary.surface2Results.end() - 1));
        result.orders.push_back(std::move(fit));
    }
    progress.throwIfCancelled();
    result.files = std::make_shared<const FitResultFiles>(points, input.threads);
    result.seconds = secondsOf(timer);
    progress.report(1.0);
    return result;
}

std::vector<std::pair<QString, std::string>> classicFitFiles(const ClassicFitResult& fit, std::size_t index)
{
    if (!fit.files || index >= fit.orders.size())
        return {};
    return fit.files->filesOf(fit.orders[index].summary);
}

VerifyStageResult runVerifyStage(const DesignResult& design, const ClassicFitResult* classic,
                                 const PrismFitResult* prism, const VerifyInput& input,
                                 const core::ProgressRange& progress)
{
    QElapsedTimer timer;
    timer.start();
    progress.throwIfCancelled();
    progress.report(0.0);
    VerifyStageResult result;
    result.input = input;
    if (input.includeDesign && design.verifySource) {
        result.sources.push_back(*design.verifySource);
    } else if (input.includeDesign) {
        if (!design.input.keepFullGrid && !design.input.refine)
            throw std::invalid_argument("the design surfaces are verified on the whole grid only");
        verify::VerifySource source;
        source.source = QStringLiteral("design");
        source.geometry = verify::geometryOfRecord(**design.record);
        // The refraction model designs column 960 (x = 0) too, as the right half's.
        source.surfaces = design.input.panel.designModel == DesignModel::Refraction
                              ? refractionDesignSheets(**design.record)
                              : verify::designSurfacesFromRecord(**design.record);
        result.sources.push_back(source);
    }
    for (std::size_t i = 0; classic && i < classic->orders.size(); ++i) {
        verify::VerifySource source;
        source.source = QStringLiteral("fit");
        source.order = classic->orders[i].summary.order;
        source.geometry = design.verifySource ? design.verifySource->geometry
                          : design.record     ? verify::geometryOfRecord(**design.record)
                                              : design.geometry;
        source.surfaces = classic->orders[i].surfaces;
        result.sources.push_back(source);
    }
    if (prism) {
        verify::VerifySource source;
        source.source = QStringLiteral("prism");
        source.order = prism->fit.order;
        source.geometry = verify::prismFitGeometry(design.geometry, prism->fit);
        source.surfaces = verify::prismFitSurfaces(prism->fit);
        result.sources.push_back(source);
    }
    verify::VerifyOptions options;
    options.step = input.step;
    options.depths = input.depths;
    options.threadCount = input.threads;
    options.keepPixels = input.keepPixels;
    for (std::size_t i = 0; i < result.sources.size(); ++i) {
        progress.throwIfCancelled();
        result.results.push_back(verify::verifyPrism(result.sources[i].geometry, result.sources[i].surfaces, options));
        progress.report(double(i + 1) / double(result.sources.size()));
    }
    if (prism)
        result.prismSummary = verify::prismVerifiedSummary(result.results.back());
    // Lateral colour: of a cemented prism always (in the design's band, else
    // the visible), of one glass when the design's colour is recorded.
    const ColourInput& colour = design.input.colour;
    const bool cemented = prism && prism->fit.interface.present;
    if (prism && (cemented || colour.record.recorded)) {
        progress.throwIfCancelled();
        const materials::Band band = colour.record.recorded ? colour.band : materials::visibleBand();
        verify::PrismGeometry shortEdge = result.sources.back().geometry;
        verify::PrismGeometry longEdge = shortEdge;
        if (cemented) {
            const materials::Material& crown = catalogueGlass(prism->fit.interface.crown);
            const materials::Material& flint = catalogueGlass(prism->fit.interface.flint);
            shortEdge = cementedGeometry(design.geometry, crown, flint, band.lowNm);
            longEdge = cementedGeometry(design.geometry, crown, flint, band.highNm);
        } else {
            shortEdge.refractiveIndex = colour.material.index(band.lowNm);
            longEdge.refractiveIndex = colour.material.index(band.highNm);
        }
        verify::LateralColourOptions colourOptions;
        colourOptions.step = input.step;
        colourOptions.threadCount = input.threads;
        colourOptions.keepPixels = input.keepPixels;
        result.lateralColour =
            verify::measureLateralColour(shortEdge, longEdge, result.sources.back().surfaces, colourOptions);
        result.lateralColour->band = band.name;
        result.lateralColour->shortNm = band.lowNm;
        result.lateralColour->longNm = band.highNm;
    }
    result.seconds = secondsOf(timer);
    progress.report(1.0);
    return result;
}

CalibrationStageResult runCalibrationStage(const verify::PrismGeometry& geometry,
                                           const verify::PrismSurfaces& surfaces, const CalibrationInput& input,
                                           const core::ProgressRange& progress)
{
    QElapsedTimer timer;
    timer.start();
    progress.throwIfCancelled();
    progress.report(0.0);
    calibration::CalibrationOptions options;
    options.target.depthsMm = input.depthsMm;
    options.target.pointsAcrossHalf = input.pointsAcrossHalf;
    options.model = input.model;
    options.threadCount = input.threads;
    CalibrationStageResult result;
    result.input = input;
    result.calibration = calibration::calibrateStereoRig(calibration::prismRig(geometry, surfaces), options);
    progress.throwIfCancelled();
    if (!result.calibration.ok)
        throw std::runtime_error(("calibration failed: " + result.calibration.error).toStdString());
    result.seconds = secondsOf(timer);
    progress.report(1.0);
    return result;
}

SimulateStageResult runSimulateStage(const DesignResult& design, const PrismFitResult& fit,
                                     const CalibrationStageResult& calibration, const SimulateInput& input,
                                     const core::ProgressRange& progress)
{
    QElapsedTimer timer;
    timer.start();
    progress.throwIfCancelled();
    progress.report(0.0);
    const QString digest = calibration::prismDigest(design.parameters, fit.fit);
    if (calibration.calibration.prismDigest != digest)
        throw std::runtime_error("the calibration belongs to another prism than the one to simulate");
    // Rectified from the very text the calibration file holds, as a user's program reads it.
    std::string text;
    QString error;
    simulate::StereoModel model;
    if (!calibration::stereoCalibrationText(calibration.calibration, &text, &error)
        || !simulate::readStereoModelText(text, QString::fromLatin1(calibration::stereoCalibrationFileName), &model,
                                          &error))
        throw std::runtime_error(error.toStdString());
    SimulateStageResult result;
    result.input = input;
    const core::ProgressRange tracePrism = progress.part(0.0, 0.35);
    const simulate::PreparedCamera prism =
        simulate::prepareCamera(simulate::prismCamera(design.geometry, fit.fit, digest), model, input.threads,
                                &tracePrism, input.rowFraction);
    const QString why = simulate::depthVisibility(prism.field, input.scene.depthMm);
    if (!why.isEmpty())
        throw std::runtime_error(why.toStdString());
    const core::ProgressRange traceIdeal = progress.part(0.35, 0.4);
    std::optional<simulate::PreparedCamera> ideal;
    if (input.ideal)
        ideal = simulate::prepareIdealCamera(design.geometry, input.threads, &traceIdeal, input.rowFraction);
    result.traceSeconds = secondsOf(timer);
    simulate::CaseOptions options;
    options.scene = input.scene;
    options.capture.supersample = input.supersample;
    options.capture.threads = input.threads;
    const core::ProgressRange capture = progress.part(0.4, 1.0);
    result.simulation = simulate::runCase(prism, ideal ? &*ideal : nullptr, options, &capture);
    result.seconds = secondsOf(timer);
    progress.report(1.0);
    return result;
}

ExportStageResult runExportStage(const PrismFileContent& prism, const std::vector<double>& designValues,
                                 const ExportOptions& options, const core::ProgressRange& progress)
{
    progress.throwIfCancelled();
    progress.report(0.0);
    ExportStageResult result;
    result.options = options;
    QString error;
    if (!buildPrismExports(prism, &designValues, options, &result.summary, &result.files, &error))
        throw std::invalid_argument(error.toStdString());
    progress.report(1.0);
    return result;
}

PrismFileContent prismFileContent(const DesignResult& design, const PrismFitResult& fit,
                                  const VerifyStageResult* verification)
{
    PrismFileContent content;
    content.panel = design.parameters;
    content.designModel = QString::fromLatin1(designModelName(design.input.panel.designModel));
    content.fit = fit.fit;
    content.optimized = fit.optimized;
    content.origin = design.origin;
    content.colour = design.input.colour.record;
    if (verification)
        content.verified = verification->prismSummary;
    return content;
}

}  // namespace pipeline
