// Counts the C heap allocations of a process it is preloaded into
// (LD_PRELOAD), so the harness can see whether a call allocates: operator
// new and every extension module allocate through these functions. Each
// one forwards to the C library's own allocator.
#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
void* __libc_malloc(std::size_t size) noexcept;
void* __libc_calloc(std::size_t count, std::size_t size) noexcept;
void* __libc_realloc(void* block, std::size_t size) noexcept;
void* __libc_memalign(std::size_t alignment, std::size_t size) noexcept;
}

namespace {
std::atomic<unsigned long long> allocations{0};

void count() noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

#define QUORVANE_EXPORT __attribute__((visibility("default")))

extern "C" {

QUORVANE_EXPORT unsigned long long quorvane_heap_allocations() noexcept {
    return allocations.load(std::memory_order_relaxed);
}

QUORVANE_EXPORT void* malloc(std::size_t size) noexcept {
    count();
    return __libc_malloc(size);
}

QUORVANE_EXPORT void* calloc(std::size_t count_, std::size_t size) noexcept {
    count();
    return __libc_calloc(count_, size);
}

// A reallocation may move the block: it counts as an allocation.
QUORVANE_EXPORT void* realloc(void* block, std::size_t size) noexcept {
    count();
    return __libc_realloc(block, size);
}

QUORVANE_EXPORT void* memalign(std::size_t alignment, std::size_t size) noexcept {
    count();
    return __libc_memalign(alignment, size);
}

QUORVANE_EXPORT void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    count();
    return __libc_memalign(alignment, size);
}

QUORVANE_EXPORT int posix_memalign(void** block, std::size_t alignment, std::size_t size) noexcept {
    count();
    void* const result = __libc_memalign(alignment, size);
    if (result == nullptr) {
        return ENOMEM;
    }
    *block = result;
    return 0;
}

}  // extern "C"
