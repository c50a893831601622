#include "core/parallel_for.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

int resolveThreadCount(int requested)
{
    if (requested > 0)
        return requested;
    return std::max(1u, std::thread::hardware_concurrency());
}

void parallelFor(int count, int workers, const std::function<void(int, int)>& work)
{
    if (count <= 0)
        return;
    workers = std::max(1, std::min(workers, count));
    std::atomic<int> next{0};
    std::exception_ptr failure;
    std::mutex failureLock;
    auto drain = [&](int worker) {
        for (int index = next.fetch_add(1); index < count; index = next.fetch_add(1)) {
            try {
                work(worker, index);
            } catch (...) {
                const std::lock_guard<std::mutex> hold(failureLock);
                if (!failure)
                    failure = std::current_exception();
                next = count;  // the other threads stop after their current index
                return;
            }
        }
    };

    std::vector<std::thread> threads;
    threads.reserve(std::size_t(workers - 1));
    for (int worker = 1; worker < workers; ++worker) {
        try {
            threads.emplace_back(drain, worker);
        } catch (const std::system_error&) {
            break;  // fewer threads; the ones running take the rest
        }
    }
    drain(0);
    for (std::thread& thread : threads)
        thread.join();
    if (failure)
        std::rethrow_exception(failure);
}
