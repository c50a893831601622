#pragma once

#include "mainwindow/mainwindow.h"
#include "views/design_point_view.h"
#include "views/fitted_surface_view.h"

#include <QWidget>
#include <memory>

// The one top-level window: the main window on the left, the design point view
// above the fitted surface view on the right. The screen size must be known
// before it is built. Members are destroyed in reverse order: the fitted
// surface view, the design point view, the main window, then the container.
class ApplicationWindow {
public:
    ApplicationWindow();

    void show();

    QWidget* container() const { return topLevel.get(); }
    MainWindow& mainWindow() { return panel; }
    MyWidget& designPointView() { return designView; }
    MyWidget2& fittedSurfaceView() { return fitView; }

private:
    std::unique_ptr<QWidget> topLevel;
    MainWindow panel;
    MyWidget designView;
    MyWidget2 fitView;
};
