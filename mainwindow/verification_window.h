#pragma once

#include <QWidget>

#include "design/refraction_design.h"
#include "parameters/panel_parameters.h"

#include <QString>

class BackgroundTask;
class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;

// A window of its own (not modal) with the error map and the table of one
// verification of the design and fit in a directory (the working directory,
// or the current result folder of the main window). A row of controls above
// them makes the prism fit of an order ("prism.json", with or without the
// optimisation on the rays) and exports it as grid sag files, an STL solid or
// a PLY point cloud beside it. The verification, the prism fit, the exports
// and the calibration run on a worker through the main window's task (or a
// task of its own); their buttons are disabled while any run is going.
class VerificationWindow : public QWidget
{
    Q_OBJECT

public:
    explicit VerificationWindow(QWidget* parent = nullptr, BackgroundTask* task = nullptr);

    BackgroundTask* task() const { return task_; }
    QString directory() const { return directory_; }

    // Verifies the design in `directory` and, when `withFit`, the fit there;
    // the panel's values give the geometry when "design.json" is missing.
    // Runs on the worker; a `note` is added below the table when done.
    void verifyDirectory(const QString& directory, bool withFit, const PanelParameters& panel,
                         const QString& note = QString());

    // "predict calibration": the stereo calibration OpenCV would give for the
    // prism fit in the directory when there is one; else for the panel's
    // design (and, after a fit, the classic fit of the panel's order). The
    // figures replace the calibration text when done. Nothing is written.
    void predictCalibration();
    // The design model the calibration designs with (the main window's choice).
    void setDesignModel(DesignModel model) { designModel_ = model; }

private:
    void showCalibration(const QString& text);

    void prismFitClicked();
    void exportClicked(unsigned formats);
    void updateExportButtons();
    void setRunning(bool running);

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
    BackgroundTask* task_ = nullptr;
    QPushButton* calibrateButton = nullptr;
    QPlainTextEdit* calibrationTable = nullptr;
};
