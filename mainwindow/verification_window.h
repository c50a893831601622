#pragma once

#include "parameters/panel_parameters.h"

#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QPushButton;

// A window of its own (not modal) with the error map and the table of one
// verification of the design and fit in the working directory.
class VerificationWindow : public QWidget
{
    Q_OBJECT

public:
    explicit VerificationWindow(QWidget* parent = nullptr);

    // Verifies the design in `directory` and, when `withFit`, the fit there;
    // the panel's values give the geometry when "design.json" is missing.
    void verifyDirectory(const QString& directory, bool withFit, const PanelParameters& panel);

    // "predict calibration": the stereo calibration OpenCV would give for the
    // panel's design (and, after a fit, the fit of the panel's order),
    // computed on a thread of its own; the figures replace the calibration
    // text when done. Nothing is written.
    void predictCalibration();

private:
    void showCalibration(const QString& text);

    QLabel* map = nullptr;
    QPlainTextEdit* table = nullptr;
    QPushButton* calibrateButton = nullptr;
    QPlainTextEdit* calibrationTable = nullptr;
    PanelParameters lastPanel;
    bool lastWithFit = false;
};
