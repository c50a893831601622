#include "mainwindow/verification_window.h"

#include "calibration/prism_calibration.h"
#include "fit/fit_json.h"
#include "parameters/panel_parameters.h"
#include "verify_map/verify_map.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include <thread>

VerificationWindow::VerificationWindow(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("verificationWindow"));
    setWindowTitle(QStringLiteral("verification"));
    auto* layout = new QVBoxLayout(this);
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
    layout->addWidget(calibrationTable, 1);
    resize(1500, 900);
}

void VerificationWindow::verifyDirectory(const QString& directory, bool withFit, const PanelParameters& panel)
{
    lastPanel = panel;
    lastWithFit = withFit;
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
        if (withFit && fitThere) {
            verify::VerifySource fit;
            int order = 0;
            if (verify::loadFitSource(directory, design.geometry, &fit, &order, &error))
                sources.push_back(fit);
            else
                text += error + QLatin1Char('\n');
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
    const CentralRayHit hit = centralRayHit(lastPanel);
    if (!hit.defined) {
        showCalibration(QStringLiteral("no calibration: the central ray runs parallel to the prism face\n"));
        return;
    }
    calibrateButton->setEnabled(false);
    calibrationTable->setPlainText(QStringLiteral("calibrating ...\n"));
    const DesignParameters parameters = toDesignParameters(lastPanel, hit);
    const int order = lastWithFit ? lastPanel.fitOrder : 0;
    QPointer<VerificationWindow> window(this);
    std::thread([parameters, order, window] {
        QString text;
        for (int o : order > 0 ? std::vector<int>{0, order} : std::vector<int>{0}) {
            const calibration::PrismSource source = o > 0 ? calibration::PrismSource::Fit
                                                          : calibration::PrismSource::Design;
            calibration::StereoCalibration result;
            QString error;
            text += QStringLiteral("%1\n").arg(o > 0 ? QStringLiteral("fit %1").arg(o) : QStringLiteral("design"));
            if (calibration::calibratePrism(parameters, source, o, calibration::CalibrationOptions{}, &result, &error))
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
