// bench_cemented_colour DIR [ROWS]: the colour of a cemented prism as the
// simulated capture sees it. The rays of every pixel centre (of the central
// fraction ROWS of the rows, default 1) are traced, as a capture traces them,
// through the prism of DIR/prism.json at F (486.13 nm) and at C (656.27 nm),
// each glass at its catalogue index there; per half the image displacement
// F minus C of each pixel's outgoing ray (f / pitch times the change of its
// slope: its image in a camera of the prism camera's focal length), its mean
// and RMS, over the half and without the 32 columns next to the centre, and
// the wall time of the traces.

#include "fit/prism_file.h"
#include "simulate/simulation.h"
#include "materials/material.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <cmath>
#include <cstdio>

namespace {

struct Shift {
    double sumX = 0.0, sumY = 0.0, sumSquare = 0.0;
    long count = 0;
    void add(double dx, double dy)
    {
        sumX += dx;
        sumY += dy;
        sumSquare += dx * dx + dy * dy;
        ++count;
    }
    double meanX() const { return count ? sumX / count : std::nan(""); }
    double meanY() const { return count ? sumY / count : std::nan(""); }
    double rms() const { return count ? std::sqrt(sumSquare / count) : std::nan(""); }
};

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_cemented_colour DIR [ROWS]\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const double rows = argc > 2 ? std::atof(argv[2]) : 1.0;
    PrismFileContent content;
    QString error;
    if (!readPrismFile(QDir(dir).filePath(QString::fromLatin1(prismFileName)), &content, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 2;
    }
    simulate::SimulatedCamera design;
    if (!simulate::loadPrismCamera(QDir(dir).filePath(QString::fromLatin1(prismFileName)), &design, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 2;
    }
    simulate::RayField field[2];
    QElapsedTimer timer;
    timer.start();
    const double wavelengths[2] = {materials::lineF, materials::lineC};
    for (int k = 0; k < 2; ++k) {
        simulate::SimulatedCamera camera;
        if (!simulate::cementedPrismCameraAt(design.geometry, content.fit, design.digest, wavelengths[k], &camera,
                                             &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 2;
        }
        std::printf("%.2f nm: crown n = %.6f, flint n = %.6f\n", wavelengths[k], camera.geometry.refractiveIndex,
                    camera.geometry.secondIndex);
        field[k] = simulate::RayField::trace(camera.rig, 0, nullptr, rows);
    }
    const double traceSeconds = timer.nsecsElapsed() * 1e-9;
    const double pxPerSlope = design.geometry.focalLength / 0.0055;
    constexpr int seam = 32;
    Shift all[2], outside[2];
    const int columns = field[0].columns();
    for (int v = 0; v < field[0].rows(); ++v)
        for (int b = 0; b < columns; ++b) {
            verify::Vec3 o0, d0, o1, d1;
            if (!field[0].pixelRay(b, v, &o0, &d0) || !field[1].pixelRay(b, v, &o1, &d1))
                continue;
            const int half = b < columns / 2 ? 0 : 1;
            const double dx = pxPerSlope * (d0.x() - d1.x()), dy = pxPerSlope * (d0.y() - d1.y());
            all[half].add(dx, dy);
            if (std::abs(b - columns / 2 + 0.5) > seam)
                outside[half].add(dx, dy);
        }
    std::printf("%s: %s on %s, traced at F and C in %.2f s (rows %.2f)\n", argv[1],
                qPrintable(content.fit.interface.crown), qPrintable(content.fit.interface.flint), traceSeconds, rows);
    std::printf("| half | pixels | mean F-C x, y px | RMS px | without %d centre columns: mean x px | RMS px |\n",
                seam);
    for (int half = 0; half < 2; ++half)
        std::printf("| %s | %ld | %.4f, %.2g | %.4f | %.4f | %.4f |\n", half == 0 ? "left" : "right", all[half].count,
                    all[half].meanX(), all[half].meanY(), all[half].rms(), outside[half].meanX(), outside[half].rms());
    return 0;
}
