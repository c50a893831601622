#include "mainwindow/verification_window.h"

#include "calibration/prism_calibration.h"
#include "export/prism_drawing.h"
#include "mainwindow/background_task.h"
#include "pipeline/stages.h"
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

#include <memory>

VerificationWindow::VerificationWindow(QWidget* parent, BackgroundTask* task)
    : QWidget(parent, Qt::Window), task_(task ? task : new BackgroundTask(this))
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
    // Within a 1366 x 768 screen.
    resize(1300, 700);
    connect(task_, &BackgroundTask::runningChanged, this, &VerificationWindow::setRunning);
    setRunning(task_->isRunning());
}

void VerificationWindow::setRunning(bool running)
{
    prismFitButton->setEnabled(!running);
    calibrateButton->setEnabled(!running);
    if (running) {
        for (QPushButton* button : exportButtons)
            button->setEnabled(false);
    } else {
        updateExportButtons();
    }
}

void VerificationWindow::updateExportButtons()
{
    const bool prism = QFileInfo::exists(QDir(directory_).filePath(QString::fromLatin1(prismFileName)));
    for (QPushButton* button : exportButtons) {
        button->setEnabled(prism && !task_->isRunning());
        button->setToolTip(prism ? QStringLiteral("writes beside prism.json")
                                 : QStringLiteral("make a prism fit first"));
    }
}

namespace {

// A line for the table when a worker did not finish.
QString interrupted(const QString& what, BackgroundTask::Outcome how, const QString& message)
{
    return how == BackgroundTask::Outcome::Cancelled ? QStringLiteral("%1: cancelled, nothing written").arg(what)
                                                     : QStringLiteral("%1: %2").arg(what, message);
}

} // namespace

void VerificationWindow::prismFitClicked()
{
    const int order = prismOrder->value();
    const bool optimise = optimize->isChecked();
    const QString directory = directory_;
    const PanelParameters panel = panel_;
    auto line = std::make_shared<QString>();
    task_->start(QStringLiteral("prism fit of order %1").arg(order),
                 [order, optimise, directory, panel, line](core::Progress& progress) {
        PrismDesignPoints points;
        QString error;
        if (!readPrismDesignPoints(QDir(directory).filePath(QString::fromLatin1(designPointsFileName)), &points,
                                   &error)) {
            *line = QStringLiteral("prism fit: %1").arg(error);
            return;
        }
        PrismFileContent content;
        content.panel = toDesignParameters(panel, centralRayHit(panel));
        // The optimiser's stereo objective keeps only the even powers of y.
        content.fit = fitPrism(points, order, optimise);
        content.origin = currentDesignOrigin(directory);
        progress.report(0.2, "prism fit");
        progress.throwIfCancelled();
        const verify::PrismGeometry geometry = verify::geometryOfPanel(panel);
        if (optimise) {
            PrismOptimizeOptions options;
            options.centralRowStride = 40;
            options.anchor = &points;
            const int iterations = options.maxIterations;
            options.progress = [&progress, iterations](const PrismOptimizeProgress& step) {
                progress.report(0.2 + 0.7 * step.iteration / std::max(1, iterations), "optimiser");
                progress.throwIfCancelled();
            };
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
        progress.throwIfCancelled();
        if (!writePrismFile(directory, content, &error))
            *line = QStringLiteral("prism fit: %1").arg(error);
        else
            *line = QStringLiteral("prism fit of order %1%2: residual RMS exit %3 mm, entrance %4 mm; verified "
                                   "direction RMS %5 px, max %6 px -> prism.json")
                        .arg(order)
                        .arg(content.optimized.present ? QStringLiteral(", optimised") : QString())
                        .arg(content.fit.exit.rmsResidual, 0, 'g', 3)
                        .arg(content.fit.entrance.rmsResidual, 0, 'g', 3)
                        .arg(content.verified.directionRmsPx, 0, 'f', 3)
                        .arg(content.verified.directionMaxPx, 0, 'f', 3);
    }, [this, line](BackgroundTask::Outcome how, const QString& message) {
        if (how != BackgroundTask::Outcome::Finished) {
            table->appendPlainText(interrupted(QStringLiteral("prism fit"), how, message));
            return;
        }
        verifyDirectory(directory_, withFit_, panel_, *line);
    });
}

void VerificationWindow::exportClicked(unsigned formats)
{
    const QString directory = directory_;
    auto line = std::make_shared<QString>();
    task_->start(QStringLiteral("export"), [formats, directory, line](core::Progress& progress) {
        progress.throwIfCancelled();
        ExportOptions options;
        options.formats = formats;
        options.stepMaker = prismStepMaker();
        options.drawingMaker = prismDrawingMaker();
        ExportSummary summary;
        QString error;
        const QDir dir(directory);
        if (!exportPrism(dir.filePath(QString::fromLatin1(prismFileName)),
                         dir.filePath(QString::fromLatin1(designPointsFileName)), directory, options, &summary,
                         &error)) {
            *line = QStringLiteral("export: %1").arg(error);
            return;
        }
        QStringList names;
        for (const QString& path : summary.written)
            names << QFileInfo(path).fileName();
        *line = QStringLiteral("export of order %1: %2").arg(summary.order).arg(names.join(QStringLiteral(", ")));
        if (summary.triangleCount > 0)
            *line += QStringLiteral("; STL %1 triangles, sag error %2 mm")
                         .arg(summary.triangleCount)
                         .arg(summary.sagErrorMm, 0, 'g', 3);
        for (const QString& note : summary.notes)
            *line += QStringLiteral("; ") + note;
    }, [this, line](BackgroundTask::Outcome how, const QString& message) {
        table->appendPlainText(how == BackgroundTask::Outcome::Finished ? *line
                                                                        : interrupted(QStringLiteral("export"), how, message));
    });
}

void VerificationWindow::verifyDirectory(const QString& directory, bool withFit, const PanelParameters& panel,
                                         const QString& note)
{
    directory_ = directory;
    withFit_ = withFit;
    panel_ = panel;
    updateExportButtons();
    struct Outcome {
        QString text;
        QImage image;
    };
    auto outcome = std::make_shared<Outcome>();
    const bool started = task_->start(QStringLiteral("verification"),
                                      [directory, withFit, panel, outcome](core::Progress& progress) {
        std::vector<verify::VerifySource> sources;
        std::vector<verify::VerifyResult> results;
        QString text;
        verify::VerifySource design;
        bool fromPanel = false;
        QString error;
        if (!verify::loadDesignSource(directory, panel, &design, &fromPanel, &error)) {
            outcome->text = QStringLiteral("nothing to verify: %1\n").arg(error);
            return;
        }
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
            source.geometry = verify::prismFitGeometry(design.geometry, prism.fit);
            source.surfaces = verify::prismFitSurfaces(prism.fit);
            sources.push_back(source);
        }
        verify::VerifyOptions options;
        options.keepPixels = true;
        for (std::size_t i = 0; i < sources.size(); ++i) {
            progress.throwIfCancelled();
            results.push_back(verify::verifyPrism(sources[i].geometry, sources[i].surfaces, options));
            progress.report(0.8 * double(i + 1) / double(sources.size()), "verification");
        }
        text = verify::verificationTable(sources, results) + text;
        if (fromPanel)
            text += QStringLiteral("no design.json: the geometry comes from the panel's values\n");
        outcome->image = verify::renderVerificationMap(sources, results).scaledToWidth(1200, Qt::SmoothTransformation);
        outcome->text = text;
    }, [this, outcome, note](BackgroundTask::Outcome how, const QString& message) {
        if (how != BackgroundTask::Outcome::Finished) {
            table->setPlainText(interrupted(QStringLiteral("verification"), how, message));
            map->clear();
            return;
        }
        if (outcome->image.isNull())
            map->clear();
        else
            map->setPixmap(QPixmap::fromImage(outcome->image));
        map->adjustSize();
        table->setPlainText(outcome->text);
        if (!note.isEmpty())
            table->appendPlainText(note);
    });
    if (!started)
        table->setPlainText(QStringLiteral("another computation is running; verify again when it ends\n"));
}

void VerificationWindow::predictCalibration()
{
    const CentralRayHit hit = centralRayHit(panel_);
    if (!hit.defined) {
        showCalibration(QStringLiteral("no calibration: the central ray runs parallel to the prism face\n"));
        return;
    }
    const DesignParameters parameters = toDesignParameters(panel_, hit);
    const int order = withFit_ ? panel_.fitOrder : 0;
    calibration::PrismDesignChoice design;
    design.model = designModel_;
    const QString directory = directory_;
    const PanelParameters panel = panel_;
    auto text = std::make_shared<QString>();
    const bool started = task_->start(QStringLiteral("calibration"),
                                      [parameters, order, design, directory, panel, text](core::Progress& progress) {
        // The prism fit in the directory is the prism that gets made: it is
        // the one calibrated when it is there.
        PrismFileContent prism;
        QString error;
        if (readPrismFile(QDir(directory).filePath(QString::fromLatin1(prismFileName)), &prism, &error)) {
            *text = QStringLiteral("prism fit of order %1\n").arg(prism.fit.order);
            const pipeline::CalibrationStageResult result = pipeline::runCalibrationStage(
                verify::prismFitGeometry(verify::geometryOfPanel(panel), prism.fit), verify::prismFitSurfaces(prism.fit),
                pipeline::CalibrationInput{},
                core::ProgressRange(&progress, 0.0, 1.0, "calibration"));
            *text += calibration::calibrationFiguresText(result.calibration);
            return;
        }
        for (int o : order > 0 ? std::vector<int>{0, order} : std::vector<int>{0}) {
            progress.throwIfCancelled();
            const calibration::PrismSource source = o > 0 ? calibration::PrismSource::Fit
                                                          : calibration::PrismSource::Design;
            calibration::StereoCalibration result;
            *text += QStringLiteral("%1 design%2\n")
                         .arg(QString::fromLatin1(designModelName(design.model)),
                              o > 0 ? QStringLiteral(", fit of order %1").arg(o) : QString());
            if (calibration::calibratePrism(parameters, source, o, calibration::CalibrationOptions{}, &result, &error,
                                            nullptr, design))
                *text += calibration::calibrationFiguresText(result);
            else
                *text += error + QLatin1Char('\n');
        }
    }, [this, text](BackgroundTask::Outcome how, const QString& message) {
        showCalibration(how == BackgroundTask::Outcome::Finished ? *text
                                                                 : interrupted(QStringLiteral("calibration"), how, message));
    });
    if (started)
        calibrationTable->setPlainText(QStringLiteral("calibrating ...\n"));
}

void VerificationWindow::showCalibration(const QString& text)
{
    calibrationTable->setPlainText(text);
}
