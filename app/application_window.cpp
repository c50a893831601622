#include "app/application_window.h"

#include "mainwindow/shared_state.h"

#include <QBoxLayout>

namespace {

// Three tenths of the screen's width; half the height the column has once
// the window's margins and the spacing between the views are taken off, so
// that the window fits the screen (half the screen's height each would make
// it taller than the screen).
constexpr int viewSpacing = 6;

QSize viewSize(const QMargins& margins)
{
    return QSize(int(0.3 * screenWidth), (screenHeight - margins.top() - margins.bottom() - viewSpacing) / 2);
}

} // namespace

ApplicationWindow::ApplicationWindow()
    : topLevel(std::make_unique<QWidget>()),
      designView(viewSize(QMargins())),
      fitView(viewSize(QMargins()))
{
    QHBoxLayout* row = new QHBoxLayout(topLevel.get());
    QVBoxLayout* column = new QVBoxLayout;
    column->setAlignment(Qt::AlignTop);
    column->setSpacing(viewSpacing);
    // The top-level window's own margins are known once its layout exists.
    designView.setFixedSize(viewSize(row->contentsMargins()));
    fitView.setFixedSize(viewSize(row->contentsMargins()));
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
