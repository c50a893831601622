#include "design/design_record.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <stdexcept>

namespace {

// Length in doubles; throws for counts no allocation could satisfy, before
// any size arithmetic can overflow.
std::size_t checkedLength(std::int64_t factor, int a, int b = 1)
{
    if (a < 0 || b < 0)
        throw std::bad_array_new_length();
    const std::uint64_t limit = std::uint64_t(PTRDIFF_MAX) / sizeof(double);
    const std::uint64_t product = std::uint64_t(a) * std::uint64_t(b);  // < 2^62
    if (product != 0 && std::uint64_t(factor) > limit / product)
        throw std::bad_array_new_length();
    return std::size_t(std::uint64_t(factor) * product);
}

// Every buffer set with its length as factor * a * b doubles.
template <typename Visit>
void forEachBufferSet(DesignRecord& r, Visit visit)
{
    const int q = r.quarterSteps;
    const int h = r.halfSteps;
    visit(&DesignRecord::rowPass, 1, q, 1);
    visit(&DesignRecord::columnPass, 1, h, 1);
    visit(&DesignRecord::rowHeights, 4, q, 1);
    visit(&DesignRecord::rowX, 4, q, 1);
    visit(&DesignRecord::columnZ, 2, h, 1);
    visit(&DesignRecord::columnX, 2, h, 1);
    visit(&DesignRecord::columnY, 2, h, 1);
    // Grid sets: factor 0 stands for designGridLength.
    visit(&DesignRecord::gridZ, 0, q, h);
    visit(&DesignRecord::gridX, 0, q, h);
    visit(&DesignRecord::gridY, 0, q, h);
    visit(&DesignRecord::passX, 1, h, 1);
    visit(&DesignRecord::passY, 1, h, 1);
}

double* newVector(int componentCount)
{
    return new double[checkedLength(1, componentCount)];
}

} // namespace

std::size_t designGridLength(const DesignRecord& record)
{
    const std::size_t full = checkedLength(8, record.quarterSteps, record.halfSteps);
    const std::size_t stride = std::size_t(record.gridStride > 1 ? record.gridStride : 1);
    return (full + stride - 1) / stride;
}

void designRecordCreate(DesignRecord* record, int componentCount, int quarterSteps, int halfSteps)
{
    designRecordCreate(record, componentCount, quarterSteps, halfSteps, 1);
}

void designRecordCreate(DesignRecord* record, int componentCount, int quarterSteps, int halfSteps,
                        int gridStride)
{
    DesignRecord& r = *record;
    if (gridStride != 1 && gridStride != designGridFileStride)
        throw std::invalid_argument("designRecordCreate: grid stride must be 1 or 10");
    r.gridStride = gridStride;
    r.nodeHeights[0] = r.nodeHeights[1] = nullptr;
    r.state = r.derivative = r.accumulator = r.stepStart = nullptr;
    forEachBufferSet(r, [&r](double** DesignRecord::*set, std::int64_t, int, int) { r.*set = nullptr; });
    r.componentCount = componentCount;
    r.quarterSteps = quarterSteps;
    r.halfSteps = halfSteps;

    r.state = newVector(componentCount);
    r.derivative = newVector(componentCount);
    r.accumulator = newVector(componentCount);
    r.stepStart = newVector(componentCount);
    // Pointer arrays first, cleared, so a failure among the rows leaves a
    // record that release can walk.
    forEachBufferSet(r, [&r](double** DesignRecord::*set, std::int64_t, int, int) {
        r.*set = new double*[checkedLength(1, r.componentCount)]();
    });
    forEachBufferSet(r, [&r](double** DesignRecord::*set, std::int64_t factor, int a, int b) {
        const std::size_t length = factor == 0 ? designGridLength(r) : checkedLength(factor, a, b);
        for (int c = 0; c < r.componentCount; ++c)
            (r.*set)[c] = new double[length];
    });
}

void designRecordRelease(DesignRecord* record)
{
    if (!record)
        return;
    DesignRecord& r = *record;
    forEachBufferSet(r, [&r](double** DesignRecord::*set, std::int64_t, int, int) {
        if (!(r.*set))
            return;
        for (int c = 0; c < r.componentCount; ++c) {
            delete[] (r.*set)[c];
            (r.*set)[c] = nullptr;
        }
    });
    forEachBufferSet(r, [&r](double** DesignRecord::*set, std::int64_t, int, int) {
        delete[] (r.*set);
        r.*set = nullptr;
    });
    for (double** vector : {&r.state, &r.derivative, &r.accumulator, &r.stepStart}) {
        delete[] *vector;
        *vector = nullptr;
    }
}

ScopedDesignRecord::ScopedDesignRecord(int componentCount, int quarterSteps, int halfSteps, int gridStride)
{
    try {
        designRecordCreate(&record_, componentCount, quarterSteps, halfSteps, gridStride);
    } catch (...) {
        designRecordRelease(&record_);
        throw;
    }
}

ScopedDesignRecord::~ScopedDesignRecord()
{
    designRecordRelease(&record_);
}

void fillDesignRecord(DesignRecord& record, const DesignParameters& p)
{
    record.focalLength = static_cast<double>(p.focalLength);
    record.pixelSize = pixelPitch;
    record.resolutionX = static_cast<double>(p.resolutionX);
    record.prismAngle = static_cast<double>(p.angleDeg) * 3.1415926535898 / 180;
    record.prismDistance = static_cast<double>(p.prismDistance);
    record.prismSize = static_cast<double>(p.prismSize);
    record.refractiveIndex = static_cast<double>(p.refractiveIndex);
    record.virtualPinholeX = -p.centralRayHitX;
    record.pinholeHeight = static_cast<double>(p.prismDistance + p.focalLength);
    record.step = pixelPitch;
    record.startExitHeight = 0.0;
    record.startEntranceHeight = p.centralRayHitY;
}

DesignParameters toDesignParameters(const PanelParameters& p, const CentralRayHit& hit)
{
    DesignParameters d;
    d.focalLength = p.focalLength;
    d.resolutionX = designResolutionX;
    d.angleDeg = p.designAngleDeg;
    d.prismDistance = p.prismDistance;
    d.prismSize = p.prismSize;
    d.refractiveIndex = p.designRefractiveIndex();
    d.centralRayHitX = hit.x;
    d.centralRayHitY = hit.y;
    return d;
}
