#pragma once

#include "mainwindow/analysis_window.h"

#include <QString>

#include <memory>

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;

namespace simulate {
struct PreparedCamera;
struct SimulationCase;
}  // namespace simulate

// "Simulated capture": what the camera of the current result sees of a
// scene the user picks (a fronto plane, a tilted plane or a staircase at a
// depth), rectified with the result's "stereo_calibration.yml", matched by
// StereoSGBM and compared with the scene's depth, beside the ideal pinhole
// pair (the matcher's own floor). Shows the four pictures and the figures.
// The prism's traced rays are kept for the result, so a second scene or
// depth costs only its capture and matching.
class SimulationTab : public AnalysisTab
{
    Q_OBJECT

public:
    explicit SimulationTab(BackgroundTask* task, QWidget* parent = nullptr);
    ~SimulationTab() override;

    void setResult(const QString& folder, const PanelParameters& panel) override;

    QString folder() const { return folder_; }
    // Starts a capture of the chosen scene (as the button does); false when
    // there is no result or a run is going.
    bool startCapture();

private:
    void setRunning(bool running);
    void showCase(const simulate::SimulationCase& result, int supersample, const QString& calibrationNote);
    void clearPictures(const QString& message);

    QComboBox* scene = nullptr;
    QDoubleSpinBox* depth = nullptr;
    QSpinBox* supersample = nullptr;
    QPushButton* captureButton = nullptr;
    QLabel* status = nullptr;
    QWidget* views_[4] = {nullptr, nullptr, nullptr, nullptr};
    QLabel* captions_[4] = {nullptr, nullptr, nullptr, nullptr};
    QPlainTextEdit* figures = nullptr;
    QString folder_;
    // The traced cameras of folder_'s prism (the cache).
    std::shared_ptr<const simulate::PreparedCamera> prism_;
    std::shared_ptr<const simulate::PreparedCamera> ideal_;
};
