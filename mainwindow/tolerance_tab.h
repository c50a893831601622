#pragma once

#include "mainwindow/analysis_window.h"
#include "tolerance/tolerance_run.h"

#include <QElapsedTimer>

#include <memory>

class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;

namespace QtCharts {
class QChart;
class QChartView;
}

// "Tolerancing": a Monte Carlo run on the prism of the current result with
// the default tolerances (each trial perturbs the prism and its mounting,
// traces it and calibrates it again), on the shared task. Shows the trials
// done, their rate and the time left while it runs; then the yield, a
// histogram with the cumulative curve of the figure chosen, and the
// sensitivity bars (each tolerance alone at its limit).
class ToleranceTab : public AnalysisTab
{
    Q_OBJECT

public:
    explicit ToleranceTab(BackgroundTask* task, QWidget* parent = nullptr);

    void setResult(const QString& folder, const PanelParameters& panel) override;

    // The figures of the last run that finished (empty before).
    struct Outcome {
        tolerance::RunIdentity identity;
        tolerance::TrialFigures nominal;
        std::vector<tolerance::TrialFigures> figures;
        tolerance::RunSummary summary;
        std::vector<tolerance::SensitivityRow> sensitivity;
    };
    const Outcome* outcome() const { return outcome_.get(); }

private:
    void runClicked();
    void showProgress(double fraction);
    void showOutcome();
    void showFigure();
    void updateButtons();

    QString prismPath_;
    std::shared_ptr<Outcome> outcome_;
    QElapsedTimer clock_;
    int runningTrials_ = 0;
    bool ours_ = false;  // the shared task runs our trials

    QLabel* prismLabel_ = nullptr;
    QSpinBox* trials_ = nullptr;
    QSpinBox* seed_ = nullptr;
    QPushButton* runButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QLabel* progressLabel_ = nullptr;
    QLabel* yieldLabel_ = nullptr;
    QComboBox* figureChoice_ = nullptr;
    QtCharts::QChart* histogram_ = nullptr;
    QtCharts::QChart* sensitivity_ = nullptr;
    QtCharts::QChartView* histogramView_ = nullptr;
    QtCharts::QChartView* sensitivityView_ = nullptr;
};
