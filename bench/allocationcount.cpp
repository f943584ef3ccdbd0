// Counts every malloc, calloc, realloc and aligned allocation of the process by putting our own
// entry points in front of glibc's. operator new ends in malloc, so C++ allocations count too,
// and so do net-snmp's. glibc only: it exports its allocator as __libc_*.
#include "allocationcount.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *pointer);
}

namespace {
std::atomic<uint64_t> allocations{0};

void count()
{
    allocations.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

uint64_t allocationCount()
{
    return allocations.load(std::memory_order_relaxed);
}

extern "C" {

void *malloc(size_t size)
{
    count();
    return __libc_malloc(size);
}

void *calloc(size_t count_, size_t size)
{
    count();
    return __libc_calloc(count_, size);
}

void *realloc(void *pointer, size_t size)
{
    count();
    return __libc_realloc(pointer, size);
}

void *memalign(size_t alignment, size_t size)
{
    count();
    return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size)
{
    count();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void **out, size_t alignment, size_t size)
{
    count();
    void *p = __libc_memalign(alignment, size);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}

void free(void *pointer)
{
    __libc_free(pointer);
}

} // extern "C"
