#pragma once

// A growable dense array of one or two dimensions, stored column by column:
// element (i, j) of a matrix is at i + j * extents[0]. Users write the extents
// directly and then bring the storage in line with matrixGrow (the resize
// idiom: old count = product of the extents before the change).
struct MatrixRecord {
    double* elements;   // capacity elements, or null
    int* extents;       // dimensionCount lengths, owned by the record
    int capacity;
    int dimensionCount;
    bool ownsElements;  // storage is freed with free() on growth and release
};

// New record with all extents 0, no storage, ownsElements true.
void matrixCreate(MatrixRecord** out, int dimensionCount);
// Makes the storage hold the element count of the extents, keeping the first
// oldCount elements; capacity grows from 16 by doubling, new storage is zeroed.
// Throws std::bad_alloc when the storage cannot be had or the element count
// does not fit a 32-bit int.
void matrixGrow(MatrixRecord* record, int oldCount, int elementSize);
// Frees the record (and its owned storage) and nulls *handle; null is a no-op.
void matrixRelease(MatrixRecord** handle);

double safePower(double base, double exponent);
bool valueIsNaN(double x);
bool valueIsInfinite(double x);
