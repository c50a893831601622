#pragma once

#include <QWidget>

#include "design/refraction_design.h"
#include "parameters/panel_parameters.h"

#include <QString>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;

// A window of its own (not modal) with the error map and the table of one
// verification of the design and fit in the working directory. A row of
// controls above them makes the prism fit of an order ("prism.json", with or
// without the optimisation on the rays) and exports it as grid sag files, an
// STL solid or a PLY point cloud beside it.
class VerificationWindow : public QWidget
{
    Q_OBJECT

public:
    explicit VerificationWindow(QWidget* parent = nullptr);

    // Verifies the design in `directory` and, when `withFit`, the fit there;
    // the panel's values give the geometry when "design.json" is missing.
    void verifyDirectory(const QString& directory, bool withFit, const PanelParameters& panel);

    // "predict calibration": the stereo calibration OpenCV would give for the
    // panel's design (and, after a fit, the classic fit of the panel's
    // order), computed on a thread of its own; the figures replace the
    // calibration text when done. Nothing is written.
    void predictCalibration();
    // The design model the calibration designs with (the main window's choice).
    void setDesignModel(DesignModel model) { designModel_ = model; }

private:
    void showCalibration(const QString& text);

    void prismFitClicked();
    void exportClicked(unsigned formats);
    void updateExportButtons();

    QLabel* map = nullptr;
    QPlainTextEdit* table = nullptr;
    QSpinBox* prismOrder = nullptr;
    QCheckBox* optimize = nullptr;
    QPushButton* prismFitButton = nullptr;
    QList<QPushButton*> exportButtons;
    QString directory_ = QStringLiteral(".");
    bool withFit_ = false;
    PanelParameters panel_;
    DesignModel designModel_ = PanelParameters().designModel;  // the parameter model's start value
    QPushButton* calibrateButton = nullptr;
    QPlainTextEdit* calibrationTable = nullptr;
};
