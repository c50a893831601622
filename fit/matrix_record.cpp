#include "fit/matrix_record.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

void matrixCreate(MatrixRecord** out, int dimensionCount)
{
    std::unique_ptr<MatrixRecord> record(new MatrixRecord);
    record->extents = new int[dimensionCount]();
    record->elements = nullptr;
    record->capacity = 0;
    record->dimensionCount = dimensionCount;
    record->ownsElements = true;
    *out = record.release();
}

void matrixGrow(MatrixRecord* record, int oldCount, int elementSize)
{
    // The product is formed wide: a shape whose element count does not fit
    // the record's 32-bit capacity cannot be held at all.
    std::int64_t wanted = 1;
    for (int d = 0; d < record->dimensionCount; ++d) {
        wanted *= record->extents[d];
        if (wanted > INT_MAX || wanted < -static_cast<std::int64_t>(INT_MAX))
            throw std::bad_alloc();
    }
    const int newCount = static_cast<int>(wanted);
    if (newCount <= record->capacity)
        return;

    std::int64_t newCapacity = record->capacity < 16 ? 16 : record->capacity;
    while (newCapacity < newCount)
        newCapacity *= 2;
    if (newCapacity > INT_MAX)
        newCapacity = INT_MAX;

    void* storage = std::calloc(static_cast<std::size_t>(newCapacity), static_cast<std::size_t>(elementSize));
    if (storage == nullptr)
        throw std::bad_alloc();

    if (record->elements != nullptr) {
        // The kept prefix can never be larger than the new storage, whatever
        // count the caller passes.
        std::int64_t keep = oldCount < 0 ? 0 : oldCount;
        if (keep > newCapacity)
            keep = newCapacity;
        std::memcpy(storage, record->elements, static_cast<std::size_t>(keep) * static_cast<std::size_t>(elementSize));
        if (record->ownsElements)
            std::free(record->elements);
    }
    record->elements = static_cast<double*>(storage);
    record->capacity = static_cast<int>(newCapacity);
    record->ownsElements = true;
}

void matrixRelease(MatrixRecord** handle)
{
    MatrixRecord* record = *handle;
    if (record == nullptr)
        return;
    if (record->elements != nullptr && record->ownsElements)
        std::free(record->elements);
    delete[] record->extents;
    delete record;
    *handle = nullptr;
}

double safePower(double base, double exponent)
{
    if (valueIsNaN(base) || valueIsNaN(exponent))
        return std::nan("");
    if (valueIsInfinite(exponent)) {
        const double magnitude = std::fabs(base);
        if (magnitude == 1.0)
            return std::nan("");
        if (magnitude > 1.0)
            return exponent > 0.0 ? HUGE_VAL : 0.0;
        return exponent > 0.0 ? 0.0 : HUGE_VAL;
    }
    const double magnitude = std::fabs(exponent);
    if (magnitude == 0.0)
        return 1.0;
    if (magnitude == 1.0)
        return exponent > 0.0 ? base : 1.0 / base;
    if (exponent == 2.0)
        return base * base;
    if (exponent == 0.5 && base >= 0.0)
        return std::sqrt(base);
    if (base < 0.0 && exponent > std::floor(exponent))
        return std::nan("");
    return std::pow(base, exponent);
}

bool valueIsNaN(double x)
{
    return x != x;
}

bool valueIsInfinite(double x)
{
    return x == HUGE_VAL || x == -HUGE_VAL;
}
