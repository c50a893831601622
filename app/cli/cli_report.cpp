#include "app/cli/cli_report.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

QJsonValue jsonNumber(double value)
{
    return std::isfinite(value) ? QJsonValue(value) : QJsonValue();
}

QJsonArray jsonNumbers(const QVector<double>& values)
{
    QJsonArray array;
    for (double value : values)
        array.append(jsonNumber(value));
    return array;
}

QJsonArray jsonMatrix(const double* values, int rows, int cols)
{
    QJsonArray matrix;
    for (int r = 0; r < rows; ++r) {
        QJsonArray row;
        for (int c = 0; c < cols; ++c)
            row.append(jsonNumber(values[r * cols + c]));
        matrix.append(row);
    }
    return matrix;
}

QJsonObject jsonHalf(const calibration::HalfCalibration& h)
{
    QJsonObject half;
    half.insert(QStringLiteral("rmsPx"), jsonNumber(h.rmsPx));
    half.insert(QStringLiteral("maxPx"), jsonNumber(h.maxPx));
    QJsonArray perDepth;
    for (const calibration::DepthResidual& d : h.perDepth) {
        QJsonObject depth;
        depth.insert(QStringLiteral("depthMm"), jsonNumber(d.depthMm));
        depth.insert(QStringLiteral("rmsPx"), jsonNumber(d.rmsPx));
        depth.insert(QStringLiteral("maxPx"), jsonNumber(d.maxPx));
        perDepth.append(depth);
    }
    half.insert(QStringLiteral("perDepth"), perDepth);
    half.insert(QStringLiteral("cameraMatrix"), jsonMatrix(h.cameraMatrix.data(), 3, 3));
    half.insert(QStringLiteral("distortion"), jsonNumbers(QVector<double>(h.distortion.begin(), h.distortion.end())));
    QJsonObject condition;
    condition.insert(QStringLiteral("illConditioned"), h.condition.illConditioned);
    condition.insert(QStringLiteral("reason"), h.condition.reason);
    condition.insert(QStringLiteral("standardDeviations"),
                     jsonNumbers(QVector<double>(h.condition.standardDeviations.begin(),
                                                 h.condition.standardDeviations.end())));
    half.insert(QStringLiteral("condition"), condition);
    return half;
}

QJsonObject jsonCalibration(const CliCalibrationReport& report)
{
    const calibration::StereoCalibration& c = report.result;
    QJsonObject object;
    object.insert(QStringLiteral("source"), report.source);
    object.insert(QStringLiteral("order"), report.order > 0 ? QJsonValue(report.order) : QJsonValue());
    object.insert(QStringLiteral("model"), calibration::distortionModelName(c.model));
    object.insert(QStringLiteral("left"), jsonHalf(c.left));
    object.insert(QStringLiteral("right"), jsonHalf(c.right));
    QJsonObject stereo;
    stereo.insert(QStringLiteral("baselineMm"), jsonNumber(c.baselineMm));
    stereo.insert(QStringLiteral("idealBaselineMm"), jsonNumber(c.idealBaselineMm));
    stereo.insert(QStringLiteral("rotationDeg"), jsonNumber(c.rotationDeg));
    QJsonArray depthError;
    for (const calibration::DepthError& d : c.depthError) {
        QJsonObject depth;
        depth.insert(QStringLiteral("depthMm"), jsonNumber(d.depthMm));
        depth.insert(QStringLiteral("rmsMm"), jsonNumber(d.rmsMm));
        depth.insert(QStringLiteral("maxMm"), jsonNumber(d.maxMm));
        depth.insert(QStringLiteral("rmsPercent"), jsonNumber(d.rmsPercent));
        depthError.append(depth);
    }
    stereo.insert(QStringLiteral("depthError"), depthError);
    object.insert(QStringLiteral("stereo"), stereo);
    object.insert(QStringLiteral("file"), report.file);
    return object;
}

QString calibrationText(const CliCalibrationReport& report)
{
    const calibration::StereoCalibration& c = report.result;
    auto number = [](double value, int decimals) { return QString::number(value, 'f', decimals); };
    auto label = [](const QString& text) { return text.leftJustified(18); };
    QString text = label(QStringLiteral("calibration"))
                   + QStringLiteral("%1%2, %3 model; %4 s -> %5\n")
                         .arg(report.source,
                              report.order > 0 ? QStringLiteral(" of order %1").arg(report.order) : QString(),
                              calibration::distortionModelName(c.model), number(report.seconds, 3), report.file);
    return text + calibration::calibrationFiguresText(c);
}

QString seconds(double value)
{
    return QString::number(value, 'f', 3) + QStringLiteral(" s");
}

QString line(const char* label, const QString& value)
{
    return QString::fromLatin1(label).leftJustified(18) + value + QLatin1Char('\n');
}

// Rows of "outputall.txt": every tenth line of each column pass.
constexpr int designGridPoints = 8 * designQuarterSteps * designHalfSteps / 10;

constexpr double degreesPerRadian = 180.0 / 3.14159265358979323846;

// A cemented prism's glasses, thicknesses and lateral colour.
QString achromatText(const pipeline::Pipeline& run)
{
    if (!run.fit() || !run.fit()->achromat)
        return QString();
    const pipeline::AchromatSummary& a = *run.fit()->achromat;
    const PrismInterface& i = run.fit()->fit.interface;
    const auto mm = [](double v) { return QString::number(v, 'f', 3); };
    QString text;
    text += line("achromat", QStringLiteral("%1 (crown) and %2 (flint); thin-prism wedges %3 and %4 deg")
                                 .arg(i.crown, i.flint)
                                 .arg(QString::number(a.thin.crownAngle * degreesPerRadian, 'f', 3),
                                      QString::number(a.thin.flintAngle * degreesPerRadian, 'f', 3)));
    for (int half = 0; half < 2; ++half) {
        const GlassThickness& t = a.thickness[static_cast<std::size_t>(half)];
        text += line(half == 0 ? "glass left" : "glass right",
                     QStringLiteral("%1 %2 to %3 mm, %4 %5 to %6 mm")
                         .arg(i.crown, mm(t.crownMinMm), mm(t.crownMaxMm), i.flint, mm(t.flintMinMm),
                              mm(t.flintMaxMm)));
    }
    const pipeline::VerifyStageResult* v = run.verification();
    if (v && v->lateralColour) {
        const verify::LateralColour& c = *v->lateralColour;
        text += line("lateral colour", QStringLiteral("F-C RMS %1 px, max %2 px; outside the centre band RMS %3 px, "
                                                      "max %4 px")
                                           .arg(mm(c.rmsPx()), mm(c.maxPx()), mm(c.outsideCentreRmsPx()),
                                                mm(c.outsideCentreMaxPx())));
    }
    return text;
}

QJsonObject achromatJson(const pipeline::Pipeline& run)
{
    QJsonObject object;
    const pipeline::AchromatSummary& a = *run.fit()->achromat;
    const PrismInterface& i = run.fit()->fit.interface;
    object.insert(QStringLiteral("crown"), i.crown);
    object.insert(QStringLiteral("flint"), i.flint);
    object.insert(QStringLiteral("crownWedgeDeg"), jsonNumber(a.thin.crownAngle * degreesPerRadian));
    object.insert(QStringLiteral("flintWedgeDeg"), jsonNumber(a.thin.flintAngle * degreesPerRadian));
    object.insert(QStringLiteral("centreColourPx"), jsonNumber(a.centreColourPx));
    QJsonArray halves;
    for (int half = 0; half < 2; ++half) {
        const GlassThickness& t = a.thickness[static_cast<std::size_t>(half)];
        QJsonObject h;
        h.insert(QStringLiteral("crownMinMm"), jsonNumber(t.crownMinMm));
        h.insert(QStringLiteral("crownMaxMm"), jsonNumber(t.crownMaxMm));
        h.insert(QStringLiteral("flintMinMm"), jsonNumber(t.flintMinMm));
        h.insert(QStringLiteral("flintMaxMm"), jsonNumber(t.flintMaxMm));
        const pipeline::VerifyStageResult* v = run.verification();
        if (v && v->lateralColour) {
            const verify::HalfLateralColour& c = v->lateralColour->halves[static_cast<std::size_t>(half)];
            QJsonObject colour;
            colour.insert(QStringLiteral("rmsPx"), jsonNumber(c.outsideCentreRmsPx));
            colour.insert(QStringLiteral("maxPx"), jsonNumber(c.outsideCentreMaxPx));
            colour.insert(QStringLiteral("meanPx"), jsonNumber(c.outsideCentreMeanPx));
            colour.insert(QStringLiteral("demeanedRmsPx"), jsonNumber(c.outsideCentreDemeanedRmsPx));
            colour.insert(QStringLiteral("demeanedMaxPx"), jsonNumber(c.outsideCentreDemeanedMaxPx));
            h.insert(QStringLiteral("lateralColourOutsideCentreBand"), colour);
        }
        halves.append(h);
    }
    object.insert(QStringLiteral("halves"), halves);
    if (const pipeline::VerifyStageResult* v = run.verification(); v && v->lateralColour) {
        object.insert(QStringLiteral("lateralColourRmsPx"), jsonNumber(v->lateralColour->rmsPx()));
        object.insert(QStringLiteral("lateralColourMaxPx"), jsonNumber(v->lateralColour->maxPx()));
        object.insert(QStringLiteral("bandNm"), QJsonArray{v->lateralColour->shortNm, v->lateralColour->longNm});
    }
    return object;
}

QString prismText(const report::OneShotResult& r)
{
    const report::HeadlineFigures& f = r.figures;
    QString text;
    text += line("result folder", r.folder);
    if (!r.triedOrders.empty())
        text += line("orders compared", QStringLiteral("%1 to %2; the best is %3")
                                            .arg(r.triedOrders.front()).arg(r.triedOrders.back()).arg(f.order));
    text += line("prism order", QString::number(f.order));
    text += line("direction error", QStringLiteral("RMS %1 px, max %2 px (traced)")
                                        .arg(QString::number(f.directionRmsPx, 'f', 3),
                                             QString::number(f.directionMaxPx, 'f', 3)));
    text += line("calibrated", QStringLiteral("residual RMS left %1 px, right %2 px; baseline %3 mm")
                                   .arg(QString::number(f.calibratedLeftRmsPx, 'f', 4),
                                        QString::number(f.calibratedRightRmsPx, 'f', 4),
                                        QString::number(f.baselineMm, 'f', 3)));
    text += line("depth error", QStringLiteral("RMS %1 % at 1 m").arg(QString::number(f.depthErrorPercentAt1m, 'f', 3)));
    if (const pipeline::VerifyStageResult* v = r.run.verification(); v && !v->results.empty()) {
        const verify::VerifyResult& prism = v->results.back();
        const verify::CentreBand& left = prism.halves[0].centreBand;
        const verify::CentreBand& right = prism.halves[1].centreBand;
        const verify::OutsideCentreBand& outside = prism.halves[0].outsideCentreBand;
        text += line("centre band", QStringLiteral("columns %1-%2 and %3-%4 cross x = 0 in the glass (mask them); "
                                                   "without them direction RMS %5 px, non-centrality %6 mm RMS")
                                        .arg(left.firstColumn).arg(left.lastColumn)
                                        .arg(right.firstColumn).arg(right.lastColumn)
                                        .arg(QString::number(outside.directionRmsPx, 'f', 3),
                                             QString::number(outside.nonCentrality.rmsMm, 'g', 3)));
    }
    if (r.hasSensitivity) {
        QStringList rows;
        for (const report::FormSensitivityRow& row : r.sensitivity.rows)
            rows << QStringLiteral("%1 %2 um: %3").arg(row.surface, QString::number(row.amplitudeUm),
                                                      QString::number(row.addedPxPerUm, 'f', 3));
        text += line("form error", QStringLiteral("residual added per um: ") + rows.join(QStringLiteral(", ")));
    }
    text += achromatText(r.run);
    const pipeline::VerifyStageResult* v = r.run.verification();
    if (v && v->lateralColour)
        text += verify::lateralColourTable(*v->lateralColour);
    if (const pipeline::CalibrationStageResult* c = r.run.calibration())
        text += report::channelCalibrationTable(c->channels);
    if (std::isfinite(f.simulatedDepthRmsPercent))
        text += line("simulated capture", report::simulatedFiguresText(f));
    for (const QString& name : r.written)
        text += line("written", name);
    return text;
}

QJsonObject prismJson(const report::OneShotResult& r)
{
    const report::HeadlineFigures& f = r.figures;
    QJsonObject object;
    object.insert(QStringLiteral("folder"), r.folder);
    object.insert(QStringLiteral("order"), f.order);
    QJsonArray tried;
    for (int order : r.triedOrders)
        tried.append(order);
    object.insert(QStringLiteral("ordersCompared"), tried);
    object.insert(QStringLiteral("directionRmsPx"), jsonNumber(f.directionRmsPx));
    object.insert(QStringLiteral("directionMaxPx"), jsonNumber(f.directionMaxPx));
    object.insert(QStringLiteral("calibratedLeftRmsPx"), jsonNumber(f.calibratedLeftRmsPx));
    object.insert(QStringLiteral("calibratedRightRmsPx"), jsonNumber(f.calibratedRightRmsPx));
    object.insert(QStringLiteral("depthErrorRmsPercentAt1m"), jsonNumber(f.depthErrorPercentAt1m));
    object.insert(QStringLiteral("baselineMm"), jsonNumber(f.baselineMm));
    if (r.run.fit() && r.run.fit()->achromat)
        object.insert(QStringLiteral("achromat"), achromatJson(r.run));
    const pipeline::VerifyStageResult* v = r.run.verification();
    if (v && v->lateralColour)
        object.insert(QStringLiteral("lateralColour"),
                      QJsonDocument::fromJson(verify::lateralColourJson(*v->lateralColour)).object());
    if (const pipeline::CalibrationStageResult* c = r.run.calibration(); c && !c->channels.empty()) {
        QJsonArray channels;
        for (const calibration::ChannelCalibration& k : c->channels) {
            QJsonObject o;
            o.insert(QStringLiteral("channel"), k.channel.name);
            o.insert(QStringLiteral("wavelengthNm"), k.channel.wavelengthNm);
            o.insert(QStringLiteral("index"), k.channel.index);
            o.insert(QStringLiteral("ok"), k.calibration.ok);
            o.insert(QStringLiteral("leftRmsPx"), jsonNumber(k.calibration.left.rmsPx));
            o.insert(QStringLiteral("rightRmsPx"), jsonNumber(k.calibration.right.rmsPx));
            o.insert(QStringLiteral("leftCxPx"), jsonNumber(k.calibration.left.cameraMatrix[2]));
            o.insert(QStringLiteral("rightCxPx"), jsonNumber(k.calibration.right.cameraMatrix[2]));
            o.insert(QStringLiteral("baselineMm"), jsonNumber(k.calibration.baselineMm));
            channels.append(o);
        }
        object.insert(QStringLiteral("channelCalibration"), channels);
    }
    if (std::isfinite(f.simulatedDepthRmsPercent)) {
        QJsonObject simulated;
        simulated.insert(QStringLiteral("depthMm"), jsonNumber(f.simulatedDepthMm));
        simulated.insert(QStringLiteral("rowFraction"), jsonNumber(f.simulatedRowFraction));
        simulated.insert(QStringLiteral("depthRmsPercent"), jsonNumber(f.simulatedDepthRmsPercent));
        simulated.insert(QStringLiteral("floorRmsPercent"), jsonNumber(f.simulatedFloorRmsPercent));
        simulated.insert(QStringLiteral("prismSharePercent"), jsonNumber(f.simulatedPrismSharePercent));
        simulated.insert(QStringLiteral("verticalDisparityRmsPx"), jsonNumber(f.simulatedVerticalDisparityRmsPx));
        simulated.insert(QStringLiteral("seconds"), jsonNumber(f.simulationSeconds));
        object.insert(QStringLiteral("simulatedCapture"), simulated);
    }
    object.insert(QStringLiteral("written"), QJsonArray::fromStringList(r.written));
    return object;
}

}  // namespace

namespace {

// A fit of the run as the summary shows it: a prism fit (its surfaces) or a
// classic fit of one order (its coefficients and residuals Res1, Res2).
struct FitLine {
    int order = 0;
    const pipeline::PrismFitResult* prism = nullptr;
    PrismFileContent content;  // of a prism fit
    const FitRunSummary* classic = nullptr;
    double seconds = 0.0;
    QVector<double> coefficients[2];
    double residual[2] = {0.0, 0.0};
    int points[2] = {0, 0};
};

std::vector<FitLine> fitLines(const CliReport& report)
{
    std::vector<FitLine> lines;
    for (const pipeline::Pipeline& run : report.runs) {
        if (const pipeline::PrismFitResult* fit = run.fit()) {
            FitLine f;
            f.prism = fit;
            f.content = run.prismContent();
            f.order = f.content.fit.order;
            f.seconds = fit->seconds + (run.verification() ? run.verification()->seconds : 0.0);
            const PrismSurfaceFit* surfaces[2] = {&f.content.fit.exit, &f.content.fit.entrance};
            for (int s = 0; s < 2; ++s) {
                const std::vector<double>& c = surfaces[s]->surface.coefficients;
                f.coefficients[s] = QVector<double>(c.begin(), c.end());
                f.residual[s] = surfaces[s]->rmsResidual;
                f.points[s] = surfaces[s]->pointCount;
            }
            lines.push_back(f);
        }
        const pipeline::ClassicFitResult* classic = run.classicFit();
        for (std::size_t i = 0; classic && i < classic->orders.size(); ++i) {
            const FitRunSummary& summary = classic->orders[i].summary;
            FitLine f;
            f.order = summary.order;
            f.classic = &summary;
            // The split is shared; each order is charged its share of it.
            f.seconds = summary.totalSeconds + classic->splitSeconds / double(classic->orders.size());
            // Each result array holds the coefficients followed by the residual.
            const std::vector<double>* results[2] = {&summary.surface1Results, &summary.surface2Results};
            for (int s = 0; s < 2; ++s) {
                f.coefficients[s] = QVector<double>(results[s]->begin(), results[s]->end() - 1);
                f.residual[s] = results[s]->back();
            }
            f.points[0] = summary.surface1Count;
            f.points[1] = summary.surface2Count;
            lines.push_back(f);
        }
    }
    return lines;
}

QString prismFitText(const FitLine& fit, const QString& directory)
{
    const auto surface = [](const char* name, const PrismSurfaceFit& s) {
        return QStringLiteral("%1 %2 points, x0 = %3, R = %4, RMS %5 mm, max %6 mm, cond %7, mirror max %8 mm")
            .arg(QString::fromLatin1(name)).arg(s.pointCount)
            .arg(QString::number(s.surface.x0, 'f', 4), QString::number(s.surface.radius, 'f', 4),
                 QString::number(s.rmsResidual, 'g', 4), QString::number(s.maxResidual, 'g', 4),
                 QString::number(s.conditionNumber, 'g', 4), QString::number(s.mirrorMaxResidual, 'g', 4));
    };
    const QString indent(18, QLatin1Char(' '));
    const PrismOptimizedSummary& o = fit.content.optimized;
    const PrismVerifiedSummary& v = fit.content.verified;
    QString text = QStringLiteral("prism order %1").arg(fit.order).leftJustified(18)
                   + surface("exit", fit.content.fit.exit) + QLatin1Char('\n');
    text += indent + surface("entrance", fit.content.fit.entrance)
            + QStringLiteral("; %1 -> %2\n").arg(seconds(fit.seconds), directory);
    if (o.present)
        text += indent + QStringLiteral("optimised on %1 pixels: direction RMS %2 -> %3 px; %4\n")
                             .arg(o.samplePixels)
                             .arg(QString::number(o.startDirectionRmsPx, 'g', 4),
                                  QString::number(o.endDirectionRmsPx, 'g', 4), o.stopReason);
    if (v.present)
        text += indent + QStringLiteral("verified: direction RMS %1 px, max %2 px; pinhole RMS %3 mm, max %4 mm; "
                                        "reprojection at 1 m RMS %5 px, max %6 px; %7 pixels not traced\n")
                             .arg(QString::number(v.directionRmsPx, 'g', 4), QString::number(v.directionMaxPx, 'g', 4),
                                  QString::number(v.pinholeRmsMm, 'g', 4), QString::number(v.pinholeMaxMm, 'g', 4),
                                  QString::number(v.reprojectionRmsPx, 'g', 4),
                                  QString::number(v.reprojectionMaxPx, 'g', 4))
                             .arg(v.untracedPixels);
    return text;
}

QJsonObject fitJson(const FitLine& fit, const QString& directory)
{
    QJsonObject object;
    object.insert(QStringLiteral("order"), fit.order);
    object.insert(QStringLiteral("fitModel"), fit.prism ? QStringLiteral("prism") : QStringLiteral("classic"));
    if (fit.prism) {
        for (const auto& [name, s] : {std::pair<const char*, const PrismSurfaceFit*>{"exit", &fit.content.fit.exit},
                                      {"entrance", &fit.content.fit.entrance}}) {
            QJsonObject surface;
            surface.insert(QStringLiteral("points"), s->pointCount);
            surface.insert(QStringLiteral("x0"), jsonNumber(s->surface.x0));
            surface.insert(QStringLiteral("R"), jsonNumber(s->surface.radius));
            surface.insert(QStringLiteral("rmsMm"), jsonNumber(s->rmsResidual));
            surface.insert(QStringLiteral("maxMm"), jsonNumber(s->maxResidual));
            surface.insert(QStringLiteral("conditionNumber"), jsonNumber(s->conditionNumber));
            surface.insert(QStringLiteral("mirrorMaxMm"), jsonNumber(s->mirrorMaxResidual));
            object.insert(QString::fromLatin1(name), surface);
        }
        // The figures as prism.json records them.
        const QJsonObject file = QJsonDocument::fromJson(QByteArray::fromStdString(prismFileText(fit.content))).object();
        for (const char* key : {"optimized", "verified"})
            if (file.value(QLatin1String(key)).isObject())
                object.insert(QLatin1String(key), file.value(QLatin1String(key)));
    }
    object.insert(QStringLiteral("directory"), directory);
    object.insert(QStringLiteral("surface1Points"), fit.points[0]);
    object.insert(QStringLiteral("surface2Points"), fit.points[1]);
    object.insert(QStringLiteral("res1"), jsonNumber(fit.residual[0]));
    object.insert(QStringLiteral("res2"), jsonNumber(fit.residual[1]));
    object.insert(QStringLiteral("coefficients1"), jsonNumbers(fit.coefficients[0]));
    object.insert(QStringLiteral("coefficients2"), jsonNumbers(fit.coefficients[1]));
    object.insert(QStringLiteral("seconds"), fit.seconds);
    return object;
}

}  // namespace

QString formatSummaryText(const CliReport& report)
{
    const CliRequest& request = report.request;
    const PanelParameters& p = request.panel;
    QString text;
    text += line("command", cliCommandName(request.command));
    text += line("output directory", request.outputDir);
    if (report.hasDesign) {
        const pipeline::DesignResult& d = *report.runs.front().design();
        text += line("focal length", QStringLiteral("%1 mm").arg(p.focalLength));
        text += line("resolution", QStringLiteral("%1 px").arg(designResolutionX));
        text += line("distance", QStringLiteral("%1 mm").arg(p.prismDistance));
        text += line("prism size", QStringLiteral("%1 mm").arg(p.prismSize));
        text += line("refractive index", QString::number(p.refractiveIndex, 'f', 2));
        text += line("virtual camera", QStringLiteral("%1 mm").arg(p.virtualCameraPos));
        text += line("angle", QStringLiteral("%1 deg%2; the design takes %3 deg")
                                  .arg(QString::number(d.input.panel.angleDeg, 'f', 2),
                                       p.fixAngle ? QStringLiteral(" (fix angle)") : QString(),
                                       QString::number(static_cast<double>(d.input.panel.designAngleDeg), 'g', 7)));
        text += line("sketch point",
                     d.hit.defined ? QStringLiteral("x = %1, y = %2")
                                         .arg(QString::number(d.hit.x, 'f', 6), QString::number(d.hit.y, 'f', 6))
                                   : QStringLiteral("undefined (the central ray runs parallel to the prism face)"));
        text += line("design model", QString::fromLatin1(designModelName(request.panel.designModel)));
        if (d.refine)
            text += line("refinement", d.refine->message);
        text += line("design", QStringLiteral("%1 profile points, %2 grid points, %3 of them not finite; %4 (%5 threads)")
                                   .arg(4 * designQuarterSteps).arg(designGridPoints).arg(d.nonFiniteLines)
                                   .arg(seconds(d.seconds)).arg(d.threads));
    }
    for (const FitLine& fit : fitLines(report)) {
        const QString directory = fitOutputDirectory(request, fit.order);
        if (fit.prism) {
            text += prismFitText(fit, directory);
            continue;
        }
        const QString label = QStringLiteral("fit order %1").arg(fit.order);
        text += label.leftJustified(18)
                + QStringLiteral("surface 1: %1 points, Res1 = %2; surface 2: %3 points, Res2 = %4; %5")
                      .arg(fit.points[0]).arg(QString::number(fit.residual[0], 'g', 6))
                      .arg(fit.points[1]).arg(QString::number(fit.residual[1], 'g', 6))
                      .arg(seconds(fit.seconds));
        if (request.allOrders)
            text += QStringLiteral(" -> %1").arg(directory);
        text += QLatin1Char('\n');
    }
    if (report.hasExport) {
        const ExportSummary& e = report.exportReport.summary;
        text += line("prism fit", QStringLiteral("%1 (%2)").arg(report.exportReport.prismFile, report.exportReport.reason));
        if (e.grids[0].nx > 0)
            text += line("grid sag", QStringLiteral("per half: entrance %1 x %2, exit %3 x %4 nodes")
                                         .arg(e.grids[0].nx).arg(e.grids[0].ny).arg(e.grids[2].nx).arg(e.grids[2].ny));
        if (e.triangleCount > 0)
            text += line("STL solid", QStringLiteral("%1 triangles over |x| <= %2, |y| <= %3 mm; sag error %4 mm "
                                                     "(under 0.001 mm)")
                                          .arg(e.triangleCount)
                                          .arg(QString::number(e.solidAperture.halfWidthX, 'f', 4),
                                               QString::number(e.solidAperture.halfWidthY, 'f', 4),
                                               QString::number(e.sagErrorMm, 'g', 3)));
        for (const QString& note : e.notes)
            text += line("STEP/drawing", note);
        if (e.exitPointCount > 0)
            text += line("PLY points", QStringLiteral("exit %1, entrance %2").arg(e.exitPointCount).arg(e.entrancePointCount));
        for (const QString& path : e.written)
            text += line("written", path);
    }
    if (report.hasCalibration)
        text += calibrationText(report.calibration);
    if (report.hasPrism)
        text += prismText(report.prism);
    text += line("total time", seconds(report.totalSeconds));
    return text;
}

QByteArray formatSummaryJson(const CliReport& report)
{
    const CliRequest& request = report.request;
    const PanelParameters& p = request.panel;
    QJsonObject root;
    root.insert(QStringLiteral("schemaVersion"), cliJsonSchemaVersion);
    root.insert(QStringLiteral("command"), cliCommandName(request.command));
    root.insert(QStringLiteral("outputDir"), request.outputDir);
    if (report.hasDesign) {
        const pipeline::DesignResult& d = *report.runs.front().design();
        QJsonObject parameters;
        parameters.insert(QStringLiteral("focalLength"), p.focalLength);
        parameters.insert(QStringLiteral("resolutionX"), designResolutionX);
        parameters.insert(QStringLiteral("prismDistance"), p.prismDistance);
        parameters.insert(QStringLiteral("prismSize"), p.prismSize);
        parameters.insert(QStringLiteral("refractiveIndex"), p.refractiveIndex);
        parameters.insert(QStringLiteral("virtualCameraPos"), p.virtualCameraPos);
        parameters.insert(QStringLiteral("angleDeg"), d.input.panel.angleDeg);
        parameters.insert(QStringLiteral("fixAngle"), p.fixAngle);
        root.insert(QStringLiteral("parameters"), parameters);

        QJsonObject design;
        design.insert(QStringLiteral("model"), QString::fromLatin1(designModelName(request.panel.designModel)));
        design.insert(QStringLiteral("angleDeg"), jsonNumber(static_cast<double>(d.input.panel.designAngleDeg)));
        design.insert(QStringLiteral("centralRayHit"),
                      QJsonObject{{QStringLiteral("x"), jsonNumber(d.hit.x)}, {QStringLiteral("y"), jsonNumber(d.hit.y)}});
        design.insert(QStringLiteral("centralRayHitDefined"), d.hit.defined);
        design.insert(QStringLiteral("profilePoints"), 4 * designQuarterSteps);
        design.insert(QStringLiteral("gridPoints"), designGridPoints);
        design.insert(QStringLiteral("nonFinitePoints"), d.nonFiniteLines);
        design.insert(QStringLiteral("threads"), d.threads);
        design.insert(QStringLiteral("seconds"), d.seconds);
        if (d.refine) {
            const RefineResult& r = *d.refine;
            QJsonObject refine;
            refine.insert(QStringLiteral("applied"), r.applied);
            refine.insert(QStringLiteral("converged"), r.converged);
            refine.insert(QStringLiteral("iterations"), r.iterations);
            refine.insert(QStringLiteral("startDirectionRmsPx"),
                          QJsonArray{jsonNumber(r.startDirectionRms[0]), jsonNumber(r.startDirectionRms[1])});
            refine.insert(QStringLiteral("finalDirectionRmsPx"),
                          QJsonArray{jsonNumber(r.finalDirectionRms[0]), jsonNumber(r.finalDirectionRms[1])});
            refine.insert(QStringLiteral("seconds"), r.seconds);
            refine.insert(QStringLiteral("message"), r.message);
            design.insert(QStringLiteral("refine"), refine);
        }
        root.insert(QStringLiteral("design"), design);
    }
    if (request.command == CliCommand::Fit || request.command == CliCommand::Run) {
        QJsonArray fits;
        for (const FitLine& fit : fitLines(report))
            fits.append(fitJson(fit, fitOutputDirectory(request, fit.order)));
        root.insert(QStringLiteral("fits"), fits);
    }
    if (report.hasExport) {
        const ExportSummary& e = report.exportReport.summary;
        QJsonObject object;
        object.insert(QStringLiteral("prismFile"), report.exportReport.prismFile);
        object.insert(QStringLiteral("reason"), report.exportReport.reason);
        object.insert(QStringLiteral("order"), e.order);
        object.insert(QStringLiteral("written"), QJsonArray::fromStringList(e.written));
        object.insert(QStringLiteral("notes"), QJsonArray::fromStringList(e.notes));
        object.insert(QStringLiteral("triangles"), e.triangleCount);
        object.insert(QStringLiteral("sagErrorMm"), jsonNumber(e.sagErrorMm));
        object.insert(QStringLiteral("exitPoints"), e.exitPointCount);
        object.insert(QStringLiteral("entrancePoints"), e.entrancePointCount);
        object.insert(QStringLiteral("seconds"), report.exportReport.seconds);
        root.insert(QStringLiteral("export"), object);
    }
    if (report.hasCalibration)
        root.insert(QStringLiteral("calibration"), jsonCalibration(report.calibration));
    if (report.hasPrism)
        root.insert(QStringLiteral("prism"), prismJson(report.prism));
    root.insert(QStringLiteral("totalSeconds"), report.totalSeconds);
    return QJsonDocument(root).toJson(QJsonDocument::Compact) + '\n';
}

QString formatVerificationText(const CliVerification& v)
{
    QString text = verify::verificationTable(v.sources, v.results);
    if (v.hasSensitivity)
        text += report::formSensitivityText(v.sensitivity);
    if (v.geometryFromOptions)
        text += QStringLiteral("no design.json: the geometry comes from the panel options (their defaults are the "
                               "panel's start values)\n");
    text += QStringLiteral("verified in %1 s\n").arg(v.seconds, 0, 'f', 2);
    return text;
}
