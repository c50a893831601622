#pragma once

#include <functional>

// Worker count for a request: 1 and up as asked, 0 or less for every
// hardware thread (at least 1).
int resolveThreadCount(int requested);

// Calls work(worker, index) once for every index in [0, count) on up to
// `workers` threads; the calling thread is worker 0 and takes part. Indices
// are handed out one by one, so a thread that cannot be started only leaves
// its share to the others. When `work` throws, no further indices are
// started and the first exception is rethrown here once every thread ended.
void parallelFor(int count, int workers, const std::function<void(int worker, int index)>& work);
