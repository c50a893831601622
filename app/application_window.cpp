#include "app/application_window.h"

#include "mainwindow/shared_state.h"

#include <QBoxLayout>

ApplicationWindow::ApplicationWindow()
    : topLevel(std::make_unique<QWidget>()),
      // Each view takes three tenths of the screen's width and half its height.
      designView(QSize(int(0.3 * screenWidth), int(0.5 * screenHeight))),
      fitView(QSize(int(0.3 * screenWidth), int(0.5 * screenHeight)))
{
    QHBoxLayout* row = new QHBoxLayout(topLevel.get());
    QVBoxLayout* column = new QVBoxLayout;
    column->setAlignment(Qt::AlignTop);
    row->addWidget(&panel, 1);
    row->addLayout(column, 0);

    // Only a design refreshes the upper view, only a fit the lower one.
    column->addWidget(&designView, 1);
    QObject::connect(&panel, "2workdonesignal()", &designView, "1shownew()", Qt::AutoConnection);
    column->addWidget(&fitView, 1);
    QObject::connect(&panel, "2workdonesignal2()", &fitView, "1shownew()", Qt::AutoConnection);
}

void ApplicationWindow::show()
{
    // Without a window manager (a virtual X server) maximising does nothing:
    // start at the full available size so the panel is laid out either way.
    topLevel->resize(screenWidth, screenHeight);
    topLevel->showMaximized();
}
