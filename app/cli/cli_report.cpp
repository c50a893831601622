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

}  // namespace

QString formatSummaryText(const CliReport& report)
{
    const CliRequest& request = report.request;
    const PanelParameters& p = request.panel;
    QString text;
    text += line("command", cliCommandName(request.command));
    text += line("output directory", request.outputDir);
    if (report.hasDesign) {
        const CliDesignReport& d = report.design;
        text += line("focal length", QStringLiteral("%1 mm").arg(p.focalLength));
        text += line("resolution", QStringLiteral("%1 px").arg(designResolutionX));
        text += line("distance", QStringLiteral("%1 mm").arg(p.prismDistance));
        text += line("prism size", QStringLiteral("%1 mm").arg(p.prismSize));
        text += line("refractive index", QString::number(p.refractiveIndex, 'f', 2));
        text += line("virtual camera", QStringLiteral("%1 mm").arg(p.virtualCameraPos));
        text += line("angle", QStringLiteral("%1 deg%2; the design takes %3 deg")
                                  .arg(QString::number(d.panelAngleDeg, 'f', 2),
                                       p.fixAngle ? QStringLiteral(" (fix angle)") : QString(),
                                       QString::number(static_cast<double>(d.designAngleDeg), 'g', 7)));
        text += line("sketch point",
                     d.centralRayHitDefined
                         ? QStringLiteral("x = %1, y = %2")
                               .arg(QString::number(d.centralRayHitX, 'f', 6),
                                    QString::number(d.centralRayHitY, 'f', 6))
                         : QStringLiteral("undefined (the central ray runs parallel to the prism face)"));
        text += line("design", QStringLiteral("%1 profile points, %2 grid points, %3 of them not finite; %4 (%5 threads)")
                                   .arg(d.profilePoints).arg(d.gridPoints).arg(d.nonFinitePoints)
                                   .arg(seconds(d.seconds)).arg(d.threads));
    }
    for (const CliFitReport& fit : report.fits) {
        const QString label = QStringLiteral("fit order %1").arg(fit.order);
        text += label.leftJustified(18)
                + QStringLiteral("surface 1: %1 points, Res1 = %2; surface 2: %3 points, Res2 = %4; %5")
                      .arg(fit.surface1Points).arg(QString::number(fit.res1, 'g', 6))
                      .arg(fit.surface2Points).arg(QString::number(fit.res2, 'g', 6))
                      .arg(seconds(fit.seconds));
        if (request.allOrders)
            text += QStringLiteral(" -> %1").arg(fit.directory);
        text += QLatin1Char('\n');
    }
    if (report.hasCalibration)
        text += calibrationText(report.calibration);
    text += line("total time", seconds(report.totalSeconds));
    return text;
}

QByteArray formatSummaryJson(const CliReport& report)
{
    const CliRequest& request = report.request;
    const PanelParameters& p = request.panel;
    QJsonObject root;
    root.insert(QStringLiteral("command"), cliCommandName(request.command));
    root.insert(QStringLiteral("outputDir"), request.outputDir);
    if (report.hasDesign) {
        const CliDesignReport& d = report.design;
        QJsonObject parameters;
        parameters.insert(QStringLiteral("focalLength"), p.focalLength);
        parameters.insert(QStringLiteral("resolutionX"), designResolutionX);
        parameters.insert(QStringLiteral("prismDistance"), p.prismDistance);
        parameters.insert(QStringLiteral("prismSize"), p.prismSize);
        parameters.insert(QStringLiteral("refractiveIndex"), p.refractiveIndex);
        parameters.insert(QStringLiteral("virtualCameraPos"), p.virtualCameraPos);
        parameters.insert(QStringLiteral("angleDeg"), d.panelAngleDeg);
        parameters.insert(QStringLiteral("fixAngle"), p.fixAngle);
        root.insert(QStringLiteral("parameters"), parameters);

        QJsonObject design;
        design.insert(QStringLiteral("angleDeg"), jsonNumber(static_cast<double>(d.designAngleDeg)));
        QJsonObject hit;
        hit.insert(QStringLiteral("x"), jsonNumber(d.centralRayHitX));
        hit.insert(QStringLiteral("y"), jsonNumber(d.centralRayHitY));
        design.insert(QStringLiteral("centralRayHit"), hit);
        design.insert(QStringLiteral("centralRayHitDefined"), d.centralRayHitDefined);
        design.insert(QStringLiteral("profilePoints"), d.profilePoints);
        design.insert(QStringLiteral("gridPoints"), d.gridPoints);
        design.insert(QStringLiteral("nonFinitePoints"), d.nonFinitePoints);
        design.insert(QStringLiteral("threads"), d.threads);
        design.insert(QStringLiteral("seconds"), d.seconds);
        root.insert(QStringLiteral("design"), design);
    }
    if (request.command == CliCommand::Fit || request.command == CliCommand::Run) {
        QJsonArray fits;
        for (const CliFitReport& fit : report.fits) {
            QJsonObject object;
            object.insert(QStringLiteral("order"), fit.order);
            object.insert(QStringLiteral("directory"), fit.directory);
            object.insert(QStringLiteral("surface1Points"), fit.surface1Points);
            object.insert(QStringLiteral("surface2Points"), fit.surface2Points);
            object.insert(QStringLiteral("res1"), jsonNumber(fit.res1));
            object.insert(QStringLiteral("res2"), jsonNumber(fit.res2));
            object.insert(QStringLiteral("coefficients1"), jsonNumbers(fit.coefficients1));
            object.insert(QStringLiteral("coefficients2"), jsonNumbers(fit.coefficients2));
            object.insert(QStringLiteral("seconds"), fit.seconds);
            fits.append(object);
        }
        root.insert(QStringLiteral("fits"), fits);
    }
    if (report.hasCalibration)
        root.insert(QStringLiteral("calibration"), jsonCalibration(report.calibration));
    root.insert(QStringLiteral("totalSeconds"), report.totalSeconds);
    return QJsonDocument(root).toJson(QJsonDocument::Compact) + '\n';
}
