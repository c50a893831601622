#pragma once

#include "parameters/panel_parameters.h"

#include <QString>
#include <QWidget>

class BackgroundTask;
class QTabWidget;

// One page of the analysis window: a study of the current result (the
// folder of the last "Design prism", with its prism.json). A page starts its
// long work through the shared BackgroundTask, so that the main window's
// progress bar and Cancel follow it and no second run can start meanwhile.
class AnalysisTab : public QWidget
{
    Q_OBJECT

public:
    explicit AnalysisTab(BackgroundTask* task, QWidget* parent = nullptr) : QWidget(parent), task_(task) {}

    // The current result changed (folder empty: there is none). Called on
    // the GUI thread; a page shows it is stale or reloads, it never blocks.
    virtual void setResult(const QString& folder, const PanelParameters& panel) = 0;

protected:
    BackgroundTask* task() const { return task_; }

private:
    BackgroundTask* task_;
};

// A window of its own (not modal) with one tab per study of the current
// result. The main window's "Analysis" menu opens it on a tab.
class AnalysisWindow : public QWidget
{
    Q_OBJECT

public:
    AnalysisWindow(BackgroundTask* task, QWidget* parent = nullptr);

    // Hands the current result to every tab.
    void setResult(const QString& folder, const PanelParameters& panel);
    // The tabs' titles, in order, and showing one of them.
    QStringList tabTitles() const;
    void showTab(int index);
    QTabWidget* tabs() const { return tabs_; }

private:
    void addTab(AnalysisTab* tab, const QString& title);

    QTabWidget* tabs_ = nullptr;
};
