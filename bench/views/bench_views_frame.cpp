// Frame time of the design point view with a full design file (207,360 lines,
// 414,720 points), for both ways of sending the points to GL, against the
// frame time of an empty view (clear, transforms, read-back).
//
// Writes "outputall.txt" into the working directory. Needs an X server:
//   xvfb-run -a -s "-screen 0 1920x1080x24" build/bin/bench_views_frame [frames]

#include "views/design_point_view.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QSurfaceFormat>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

namespace {

void quietDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    // Every frame of the view logs a line; only warnings are worth showing.
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

// A cloud shaped like a design: 1920 columns of 108 lines, two curved surfaces
// inside the visible cube of +-50 mm.
void writeDesignFile(const char *name)
{
    std::FILE *file = std::fopen(name, "w");
    if (!file) {
        std::fprintf(stderr, "cannot write %s\n", name);
        std::exit(1);
    }
    for (int b = 0; b < 1920; ++b) {
        for (int r = 0; r < 108; ++r) {
            const double x = -40.0 + 80.0 * b / 1919.0;
            const double y = -25.0 + 50.0 * r / 107.0;
            std::fprintf(file, "%g %g %g %g %g %g\n", x, y, 10.0 + 0.01 * x * x, x * 0.9, y * 0.9,
                         -10.0 + 0.02 * y * y);
        }
    }
    std::fclose(file);
}

double msPerFrame(MyWidget &view, int frames, QImage *last)
{
    for (int i = 0; i < 3; ++i)
        view.grabFramebuffer();
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < frames; ++i)
        *last = view.grabFramebuffer();
    return double(clock.nsecsElapsed()) / 1e6 / frames;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    qInstallMessageHandler(quietDebug);
    QSurfaceFormat format;
    format.setDepthBufferSize(24);
    QSurfaceFormat::setDefaultFormat(format);
    const int frames = argc > 1 ? std::atoi(argv[1]) : 40;

    writeDesignFile("outputall.txt");
    MyWidget view(QSize(576, 540));  // the view on a 1920 x 1080 screen
    view.show();
    if (!QTest::qWaitForWindowExposed(&view)) {
        std::fprintf(stderr, "the view was never shown\n");
        return 1;
    }
    QElapsedTimer loadClock;
    loadClock.start();
    view.shownew();
    const double loadMs = double(loadClock.nsecsElapsed()) / 1e6;
    std::printf("points %d (groups %d), view %dx%d, load %.1f ms\n", view.points().pointCount(),
                view.points().groupCount, view.width(), view.height(), loadMs);

    QImage immediate, arrays, empty;
    view.setDrawPath(Showoutput::DrawPath::Immediate);
    const double immediateMs = msPerFrame(view, frames, &immediate);
    view.setDrawPath(Showoutput::DrawPath::VertexArrays);
    const double arraysMs = msPerFrame(view, frames, &arrays);

    QFile::remove("outputall.txt");
    view.shownew();
    const double emptyMs = msPerFrame(view, frames, &empty);

    std::printf("frame, immediate mode (glBegin/glVertex3f): %8.2f ms\n", immediateMs);
    std::printf("frame, vertex arrays (glDrawArrays):        %8.2f ms\n", arraysMs);
    std::printf("frame, empty view (clear and read-back):    %8.2f ms\n", emptyMs);
    std::printf("same picture: %s; %d frames each\n", immediate == arrays ? "yes" : "NO", frames);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak memory %ld MB\n", usage.ru_maxrss / 1024);
    return immediate == arrays ? 0 : 1;
}
