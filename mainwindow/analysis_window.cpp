#include "mainwindow/analysis_window.h"

#include "mainwindow/colour_tab.h"
#include "mainwindow/simulation_tab.h"
#include "mainwindow/tolerance_tab.h"

#include <QTabWidget>
#include <QVBoxLayout>

AnalysisWindow::AnalysisWindow(BackgroundTask* task, QWidget* parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("analysisWindow"));
    setWindowTitle(QStringLiteral("analysis"));
    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("analysisTabs"));
    layout->addWidget(tabs_);
    // The studies, one tab each, in the order of the Analysis menu.
    addTab(new ColourTab(task, this), QStringLiteral("Lateral colour"));
    addTab(new SimulationTab(task, this), QStringLiteral("Simulated capture"));
    addTab(new ToleranceTab(task, this), QStringLiteral("Tolerancing"));
    resize(1200, 720);
}

void AnalysisWindow::addTab(AnalysisTab* tab, const QString& title)
{
    tabs_->addTab(tab, title);
}

void AnalysisWindow::setResult(const QString& folder, const PanelParameters& panel)
{
    for (int i = 0; i < tabs_->count(); ++i)
        static_cast<AnalysisTab*>(tabs_->widget(i))->setResult(folder, panel);
}

QStringList AnalysisWindow::tabTitles() const
{
    QStringList titles;
    for (int i = 0; i < tabs_->count(); ++i)
        titles << tabs_->tabText(i);
    return titles;
}

void AnalysisWindow::showTab(int index)
{
    tabs_->setCurrentIndex(index);
    show();
    raise();
    activateWindow();
}
