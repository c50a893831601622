#include "app/application_window.h"

#include "mainwindow/shared_state.h"

#include <QApplication>
#include <QBoxLayout>
#include <QStyle>

namespace {

// Three tenths of the screen's width; half the height the column has once
// the window's margins and the spacing between the views are taken off, so
// that the window fits the screen (half the screen's height each would make
// it taller than the screen).
QSize viewSize()
{
    const QStyle* style = QApplication::style();
    const int margins = style->pixelMetric(QStyle::PM_LayoutTopMargin) + style->pixelMetric(QStyle::PM_LayoutBottomMargin);
    const int spacing = std::max(0, style->pixelMetric(QStyle::PM_LayoutVerticalSpacing));
    return QSize(int(0.3 * screenWidth), (screenHeight - margins - spacing) / 2);
}

} // namespace

ApplicationWindow::ApplicationWindow()
    : topLevel(std::make_unique<QWidget>()),
      designView(viewSize()),
      fitView(viewSize())
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
