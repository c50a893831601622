#include "mainwindow/verification_window.h"

#include "calibration/prism_calibration.h"
#include "export/prism_drawing.h"
#include "export/prism_export.h"
#include "export/prism_step.h"
#include "fit/fit_files.h"
#include "fit/fit_json.h"
#include "fit/prism_file.h"
#include "refine/prism_optimize.h"
#include "verify/prism_trace.h"
#include "parameters/panel_parameters.h"
#include "verify_map/verify_map.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QSpinBox>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollArea>
#include <QVBoxLayout>

#include <thread>

VerificationWindow::VerificationWindow(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("verificationWindow"));
    setWindowTitle(QStringLiteral("verification"));
    auto* layout = new QVBoxLayout(this);
    auto* controls = new QHBoxLayout;
    controls->addWidget(new QLabel(QStringLiteral("prism fit, order"), this));
    prismOrder = new QSpinBox(this);
    prismOrder->setObjectName(QStringLiteral("prismOrder"));
    prismOrder->setRange(lowestPrismOrder, highestPrismOrder);
    prismOrder->setValue(8);
    controls->addWidget(prismOrder);
    optimize = new QCheckBox(QStringLiteral("optimise on the rays"), this);
    optimize->setObjectName(QStringLiteral("prismOptimize"));
    controls->addWidget(optimize);
    prismFitButton = new QPushButton(QStringLiteral("prism fit"), this);
    prismFitButton->setObjectName(QStringLiteral("pushButton_prismFit"));
    connect(prismFitButton, &QPushButton::clicked, this, &VerificationWindow::prismFitClicked);
    controls->addWidget(prismFitButton);
    controls->addSpacing(40);
    controls->addWidget(new QLabel(QStringLiteral("export"), this));
    const std::pair<const char*, unsigned> exports[] = {
        {"grid sag", ExportGridSag}, {"STL", ExportStl},         {"PLY", ExportPly},
        {"STEP", ExportStep},         {"drawing", ExportDrawing}, {"all", ExportAll}};
    for (const auto& [label, formats] : exports) {
        auto* button = new QPushButton(QString::fromLatin1(label), this);
        button->setObjectName(QStringLiteral("pushButton_export_") + QString::fromLatin1(label).remove(QLatin1Char(' ')));
        const unsigned chosen = formats;
        connect(button, &QPushButton::clicked, this, [this, chosen] { exportClicked(chosen); });
        controls->addWidget(button);
        exportButtons.append(button);
    }
    controls->addStretch(1);
    layout->addLayout(controls);
    auto* scroll = new QScrollArea(this);
    map = new QLabel(scroll);
    map->setObjectName(QStringLiteral("verificationMap"));
    scroll->setWidget(map);
    scroll->setWidgetResizable(false);
    table = new QPlainTextEdit(this);
    table->setObjectName(QStringLiteral("verificationTable"));
    table->setReadOnly(true);
    table->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    table->setLineWrapMode(QPlainTextEdit::NoWrap);
    calibrateButton = new QPushButton(QStringLiteral("predict calibration"), this);
    calibrateButton->setObjectName(QStringLiteral("pushButton_calibrate"));
    calibrateButton->setToolTip(QStringLiteral("the stereo calibration OpenCV gives for this prism: target at 300, 600, "
                                               "1000 and 2000 mm, 5-coefficient model"));
    connect(calibrateButton, &QPushButton::clicked, this, &VerificationWindow::predictCalibration);
    calibrationTable = new QPlainTextEdit(this);
    calibrationTable->setObjectName(QStringLiteral("calibrationTable"));
    calibrationTable->setReadOnly(true);
    calibrationTable->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    calibrationTable->setLineWrapMode(QPlainTextEdit::NoWrap);
    layout->addWidget(scroll, 3);
    layout->addWidget(table, 1);
    layout->addWidget(calibrateButton, 0, Qt::AlignLeft);
    layout->addWidget(calibrationTable, 2);
    resize(1500, 900);
}

void VerificationWindow::updateExportButtons()
{
    const bool prism = QFileInfo::exists(QDir(directory_).filePath(QString::fromLatin1(prismFileName)));
    for (QPushButton* button : exportButtons) {
        button->setEnabled(prism);
        button->setToolTip(prism ? QStringLiteral("writes beside prism.json")
                                 : QStringLiteral("make a prism fit first"));
    }
}

void VerificationWindow::prismFitClicked()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    PrismDesignPoints points;
    QString error;
    const int order = prismOrder->value();
    QString line;
    if (!readPrismDesignPoints(QDir(directory_).filePath(QString::fromLatin1(designPointsFileName)), &points,
                               &error)) {
        line = QStringLiteral("prism fit: %1").arg(error);
    } else {
        PrismFileContent content;
        content.panel = toDesignParameters(panel_, centralRayHit(panel_));
        // The optimiser's stereo objective keeps only the even powers of y.
        content.fit = fitPrism(points, order, optimize->isChecked());
        content.origin = currentDesignOrigin(directory_);
        const verify::PrismGeometry geometry = verify::geometryOfPanel(panel_);
        if (optimize->isChecked()) {
            PrismOptimizeOptions options;
            options.centralRowStride = 40;
            const std::vector<PrismRayTarget> targets = idealRayTargets(geometry, verify::samplePixels(40));
            const PrismOptimizeResult result = optimizePrismFit(geometry, content.fit, targets, options);
            content.fit = result.fit;
            measurePrismResiduals(&content.fit.exit, points.exitLeft, points.exitRight);
            measurePrismResiduals(&content.fit.entrance, points.entranceLeft, points.entranceRight);
            content.optimized = {true, result.iterations, static_cast<int>(targets.size()),
                                 result.start.directionRmsPx, result.end.directionRmsPx, result.start.pinholeRmsMm,
                                 result.end.pinholeRmsMm, result.stopReason};
        }
        content.verified =
            verify::prismVerifiedSummary(verify::verifyPrism(geometry, verify::prismFitSurfaces(content.fit)));
        if (!writePrismFile(directory_, content, &error))
            line = QStringLiteral("prism fit: %1").arg(error);
        else
            line = QStringLiteral("prism fit of order %1%2: residual RMS exit %3 mm, entrance %4 mm; verified "
                                  "direction RMS %5 px, max %6 px -> prism.json")
                       .arg(order)
                       .arg(content.optimized.present ? QStringLiteral(", optimised") : QString())
                       .arg(content.fit.exit.rmsResidual, 0, 'g', 3)
                       .arg(content.fit.entrance.rmsResidual, 0, 'g', 3)
                       .arg(content.verified.directionRmsPx, 0, 'f', 3)
                       .arg(content.verified.directionMaxPx, 0, 'f', 3);
    }
    QApplication::restoreOverrideCursor();
    verifyDirectory(directory_, withFit_, panel_);
    table->appendPlainText(line);
}

void VerificationWindow::exportClicked(unsigned formats)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ExportOptions options;
    options.formats = formats;
    options.stepMaker = prismStepMaker();
    options.drawingMaker = prismDrawingMaker();
    ExportSummary summary;
    QString error;
    const QDir dir(directory_);
    const bool done = exportPrism(dir.filePath(QString::fromLatin1(prismFileName)),
                                  dir.filePath(QString::fromLatin1(designPointsFileName)), directory_, options,
                                  &summary, &error);
    QApplication::restoreOverrideCursor();
    if (!done) {
        table->appendPlainText(QStringLiteral("export: %1").arg(error));
        return;
    }
    QStringList names;
    for (const QString& path : summary.written)
        names << QFileInfo(path).fileName();
    QString line = QStringLiteral("export of order %1: %2").arg(summary.order).arg(names.join(QStringLiteral(", ")));
    if (summary.triangleCount > 0)
        line += QStringLiteral("; STL %1 triangles, sag error %2 mm").arg(summary.triangleCount).arg(summary.sagErrorMm, 0, 'g', 3);
    for (const QString& note : summary.notes)
        line += QStringLiteral("; ") + note;
    table->appendPlainText(line);
}

void VerificationWindow::verifyDirectory(const QString& directory, bool withFit, const PanelParameters& panel)
{
    directory_ = directory;
    withFit_ = withFit;
    panel_ = panel;
    updateExportButtons();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    std::vector<verify::VerifySource> sources;
    std::vector<verify::VerifyResult> results;
    QString text;
    verify::VerifySource design;
    bool fromPanel = false;
    QString error;
    if (verify::loadDesignSource(directory, panel, &design, &fromPanel, &error)) {
        sources.push_back(design);
        const bool fitThere = QFileInfo::exists(QDir(directory).filePath(QString::fromLatin1(fitJsonFileName)));
        const QString foreignFit = fitThere ? foreignFitMessage(directory, directory) : QString();
        if (!foreignFit.isEmpty()) {
            text += foreignFit + QStringLiteral("; it is not verified\n");
        } else if (withFit && fitThere) {
            verify::VerifySource fit;
            int order = 0;
            if (verify::loadFitSource(directory, design.geometry, &fit, &order, &error))
                sources.push_back(fit);
            else
                text += error + QLatin1Char('\n');
        }
        PrismFileContent prism;
        const QString prismPath = QDir(directory).filePath(QString::fromLatin1(prismFileName));
        const QString foreignPrism = QFileInfo::exists(prismPath) ? foreignPrismMessage(prismPath, directory) : QString();
        if (!foreignPrism.isEmpty()) {
            text += foreignPrism + QStringLiteral("; it is not verified\n");
        } else if (readPrismFile(prismPath, &prism, &error)) {
            verify::VerifySource source;
            source.source = QStringLiteral("prism");
            source.order = prism.fit.order;
            source.geometry = design.geometry;
            source.surfaces = verify::prismFitSurfaces(prism.fit);
            sources.push_back(source);
        }
        verify::VerifyOptions options;
        options.keepPixels = true;
        for (const verify::VerifySource& source : sources)
            results.push_back(verify::verifyPrism(source.geometry, source.surfaces, options));
        text = verify::verificationTable(sources, results) + text;
        if (fromPanel)
            text += QStringLiteral("no design.json: the geometry comes from the panel's values\n");
        const QImage image = verify::renderVerificationMap(sources, results);
        map->setPixmap(QPixmap::fromImage(image.scaledToWidth(1400, Qt::SmoothTransformation)));
        map->adjustSize();
    } else {
        text = QStringLiteral("nothing to verify: %1\n").arg(error);
        map->clear();
    }
    table->setPlainText(text);
    QApplication::restoreOverrideCursor();
}

void VerificationWindow::predictCalibration()
{
    const CentralRayHit hit = centralRayHit(panel_);
    if (!hit.defined) {
        showCalibration(QStringLiteral("no calibration: the central ray runs parallel to the prism face\n"));
        return;
    }
    calibrateButton->setEnabled(false);
    calibrationTable->setPlainText(QStringLiteral("calibrating ...\n"));
    const DesignParameters parameters = toDesignParameters(panel_, hit);
    const int order = withFit_ ? panel_.fitOrder : 0;
    calibration::PrismDesignChoice design;
    design.model = designModel_;
    QPointer<VerificationWindow> window(this);
    std::thread([parameters, order, design, window] {
        QString text;
        for (int o : order > 0 ? std::vector<int>{0, order} : std::vector<int>{0}) {
            const calibration::PrismSource source = o > 0 ? calibration::PrismSource::Fit
                                                          : calibration::PrismSource::Design;
            calibration::StereoCalibration result;
            QString error;
            text += QStringLiteral("%1 design%2\n")
                        .arg(QString::fromLatin1(designModelName(design.model)),
                             o > 0 ? QStringLiteral(", fit of order %1").arg(o) : QString());
            if (calibration::calibratePrism(parameters, source, o, calibration::CalibrationOptions{}, &result, &error,
                                            nullptr, design))
                text += calibration::calibrationFiguresText(result);
            else
                text += error + QLatin1Char('\n');
        }
        QMetaObject::invokeMethod(qApp, [window, text] {
            if (window)
                window->showCalibration(text);
        }, Qt::QueuedConnection);
    }).detach();
}

void VerificationWindow::showCalibration(const QString& text)
{
    calibrationTable->setPlainText(text);
    calibrateButton->setEnabled(true);
}
