// Every heap block of harvenlotek-cli (and of the window, which links this
// file too) starts on a 64-byte boundary.
//
// The linear algebra under OpenCV's calibration (the system's BLAS, e.g.
// ATLAS) picks its kernels by the alignment of the arrays it is handed, and
// different kernels add in different orders. With the allocator's usual
// 16-byte alignment, where a buffer lands depends on what other threads
// allocated before, so the same calibration could differ in its last bits
// from run to run. With every block aligned alike, a tolerance trial gives
// the same figures bit for bit on any thread, in any shard, in the window.

#include <cstdlib>
#include <new>

namespace {

constexpr std::size_t blockAlignment = 64;

void* allocate(std::size_t size, std::size_t alignment)
{
    if (alignment < blockAlignment)
        alignment = blockAlignment;
    const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
    return std::aligned_alloc(alignment, rounded == 0 ? alignment : rounded);
}

void* allocateOrThrow(std::size_t size, std::size_t alignment)
{
    for (;;) {
        if (void* p = allocate(size, alignment))
            return p;
        std::new_handler handler = std::get_new_handler();
        if (!handler)
            throw std::bad_alloc();
        handler();
    }
}

}  // namespace

void* operator new(std::size_t size) { return allocateOrThrow(size, blockAlignment); }
void* operator new[](std::size_t size) { return allocateOrThrow(size, blockAlignment); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, blockAlignment); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, blockAlignment); }
void* operator new(std::size_t size, std::align_val_t a) { return allocateOrThrow(size, std::size_t(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocateOrThrow(size, std::size_t(a)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
