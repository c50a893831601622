#include "mainwindow/mainwindow.h"
#include "mainwindow/shared_state.h"

#include <QApplication>
#include <QBoxLayout>
#include <QScreen>
#include <QSurfaceFormat>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    // Before any OpenGL widget exists, so both 3D views get a depth buffer.
    QSurfaceFormat format;
    format.setDepthBufferSize(24);
    QSurfaceFormat::setDefaultFormat(format);
    // Every window sizes itself from these: read them before creating any.
    screenWidth = QGuiApplication::primaryScreen()->availableGeometry().width();
    screenHeight = QGuiApplication::primaryScreen()->availableGeometry().height();
    QCoreApplication::setApplicationName(QStringLiteral("Harvenlotek"));
    QCoreApplication::setApplicationVersion(QStringLiteral("0.1"));

    // Lives until the process ends; it holds nothing to flush.
    QWidget* container = new QWidget;
    MainWindow mainWindow;
    // The design point view and the fitted surface view are constructed here.

    QHBoxLayout* row = new QHBoxLayout(container);
    QVBoxLayout* column = new QVBoxLayout;
    column->setAlignment(Qt::AlignTop);
    row->addWidget(&mainWindow, 1);
    row->addLayout(column, 0);
    // The two views go into the column here, each connected to its completion signal.

    // Without a window manager (a virtual X server) maximising does nothing:
    // start at the full available size so the panel is laid out either way.
    container->resize(screenWidth, screenHeight);
    container->showMaximized();
    const int result = application.exec();
    // Locals go in reverse order: the views, the main window, the format, the application.
    return result;
}
