#pragma once

// The analysis window's "Lateral colour" page: the current result's prism
// traced at the band's two edges in the glass the user picks (the prism's
// own when it records one), with the figures per half and per depth and
// the lateral colour map. Measured through the shared BackgroundTask.

#include "mainwindow/analysis_window.h"

#include <memory>

class QComboBox;
class QLabel;
class QPushButton;
class QScrollArea;

class ColourTab : public AnalysisTab
{
    Q_OBJECT

public:
    explicit ColourTab(BackgroundTask* task, QWidget* parent = nullptr);
    void setResult(const QString& folder, const PanelParameters& panel) override;

    // For tests: start the measurement as the button does.
    void measure();

private:
    QString folder_;
    QComboBox* material_ = nullptr;
    QComboBox* band_ = nullptr;
    QPushButton* measureButton_ = nullptr;
    QLabel* figures_ = nullptr;
    QLabel* map_ = nullptr;
};
