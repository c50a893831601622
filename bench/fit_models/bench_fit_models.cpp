// Time and peak memory of the largest surface models on 200,000 points, each
// in a fresh child process so that its peak is its own. The points sit in
// attached buffers of the fitting run's size, as the run passes them.

#include "fit/surface_models.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace {

using Model = void (*)(MatrixRecord*, MatrixRecord*, MatrixRecord*, int, double*, MatrixRecord*);

const int pointCount = 200000;
const int bufferLength = 2625000;

long peakKilobytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

MatrixRecord* attachedBuffer()
{
    MatrixRecord* record = nullptr;
    matrixCreate(&record, 1);
    record->elements = static_cast<double*>(std::malloc(sizeof(double) * bufferLength));
    return record;
}

// Capacity the growth rule gives a record of `count` elements (storage is
// zero-filled by calloc and never touched here, so this costs no memory).
long long capacityFor(int count)
{
    MatrixRecord* record = nullptr;
    matrixCreate(&record, 1);
    record->extents[0] = count;
    matrixGrow(record, 0, 8);
    const long long capacity = record->capacity;
    matrixRelease(&record);
    return capacity;
}

void runModel(const char* name, Model fit, int terms)
{
    MatrixRecord* x = attachedBuffer();
    MatrixRecord* y = attachedBuffer();
    MatrixRecord* z = attachedBuffer();
    MatrixRecord* fitted = nullptr;
    matrixCreate(&fitted, 1);
    // A surface-like cloud in design units (mm): x on one side, y across.
    for (int p = 0; p < pointCount; ++p) {
        const double u = std::fmod(0.5 + p * 0.7548776662466927, 1.0);
        const double v = std::fmod(0.5 + p * 0.5698402909980532, 1.0);
        x->elements[p] = 0.05 + 6.0 * u;
        y->elements[p] = -4.0 + 8.0 * v;
        z->elements[p] = 12.0 + 0.02 * x->elements[p] * x->elements[p] - 0.03 * y->elements[p] * y->elements[p]
                         + 0.001 * std::sin(x->elements[p] * y->elements[p]);
    }
    double coefficients[25];

    const long before = peakKilobytes();
    const auto start = std::chrono::steady_clock::now();
    fit(x, y, z, pointCount, coefficients, fitted);
    const auto stop = std::chrono::steady_clock::now();
    const long after = peakKilobytes();

    double residual = 0.0;
    for (int p = 0; p < pointCount; ++p)
        residual += std::fabs(z->elements[p] - fitted->elements[p]);
    const double seconds = std::chrono::duration<double>(stop - start).count();
    const double budget = (3.0 * terms + 4.0) * pointCount * 8.0 / 1024.0;
    const long long n = pointCount;
    // Point table, target heights, A, and A^T whose storage P takes over.
    const long long reserved = capacityFor(pointCount * 3) + capacityFor(pointCount)
                               + 2 * capacityFor(pointCount * terms);
    std::printf("%s: n = %d, k = %d\n", name, pointCount, terms);
    std::printf("  time                       %.3f s\n", seconds);
    std::printf("  peak RSS before / after     %ld / %ld KiB\n", before, after);
    std::printf("  increase over baseline      %ld KiB (%.1f MiB)\n", after - before, (after - before) / 1024.0);
    std::printf("  budget (3k+4)*n*8           %.0f KiB (%.1f MiB), increase/budget = %.3f\n", budget,
                budget / 1024.0, (after - before) / budget);
    std::printf("  capacity of working records %.1f MiB (%lld doubles reserved, %lld filled)\n",
                reserved * 8.0 / 1048576.0, reserved, (2LL * terms + 4) * n);
    std::printf("  mean |z - fit|              %.3g\n", residual / pointCount);

    for (MatrixRecord* record : {x, y, z, fitted})
        matrixRelease(&record);
}

struct Case {
    const char* name;
    Model fit;
    int terms;
};

} // namespace

int main()
{
    const Case cases[] = {{"fitSurface2Terms25", fitSurface2Terms25, 25}, {"fitSurface1Terms15", fitSurface1Terms15, 15}};
    int failures = 0;
    for (const Case& c : cases) {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            runModel(c.name, c.fit, c.terms);
            std::fflush(stdout);
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            ++failures;
    }
    return failures == 0 ? 0 : 1;
}
