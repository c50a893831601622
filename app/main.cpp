#include "app/application_window.h"
#include "mainwindow/shared_state.h"

#include <QApplication>
#include <QScreen>
#include <QSurfaceFormat>
#include <clocale>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    // QApplication adopts the user's locale for the C library; the result files
    // are read and written with printf/scanf-style numbers, which must keep the
    // decimal point whatever the locale.
    std::setlocale(LC_NUMERIC, "C");
    // Before any OpenGL widget exists, so both 3D views get a depth buffer.
    QSurfaceFormat format;
    format.setDepthBufferSize(24);
    QSurfaceFormat::setDefaultFormat(format);
    // Every window sizes itself from these: read them before creating any.
    screenWidth = QGuiApplication::primaryScreen()->availableGeometry().width();
    screenHeight = QGuiApplication::primaryScreen()->availableGeometry().height();
    QCoreApplication::setApplicationName(QStringLiteral("Harvenlotek"));
    QCoreApplication::setApplicationVersion(QStringLiteral("0.1"));

    ApplicationWindow windows;
    windows.show();
    return application.exec();
}
