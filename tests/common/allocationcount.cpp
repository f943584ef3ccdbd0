// Counts every malloc, calloc, realloc and aligned allocation of the process by putting our own
// entry points in front of glibc's. operator new ends in malloc, so C++ allocations count too,
// and so do Qt's and net-snmp's. glibc only: it exports its allocator as __libc_*. A sanitizer
// runtime owns malloc itself; there the count comes from its allocation hook.
#include "allocationcount.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

namespace {

std::atomic<uint64_t> allocations{0};
std::atomic<uint64_t> threadAllocations{0};
// Constant-initialised, so that reading it never allocates.
thread_local bool countedThread = false;

void count()
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (countedThread)
        threadAllocations.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

void countThisThread(bool on)
{
    countedThread = on;
}

uint64_t allocationCount()
{
    return allocations.load(std::memory_order_relaxed);
}

uint64_t countedThreadAllocations()
{
    return threadAllocations.load(std::memory_order_relaxed);
}

#if defined(COUNT_WITH_SANITIZER_HOOKS)
// Part of every sanitizer runtime (GCC's and clang's); GCC ships no header that declares it.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void *,
                                                                            size_t),
                                                         void (*freeHook)(const volatile void *));

namespace {
void countingHook(const volatile void *, size_t)
{
    count();
}
void ignoreFree(const volatile void *) {}
} // namespace

bool allocationCountWorks()
{
    // The runtime takes the pair only when both hooks are given; installing twice is harmless.
    static const bool installed =
        __sanitizer_install_malloc_and_free_hooks(countingHook, ignoreFree) != 0;
    return installed;
}

#elif defined(__GLIBC__)
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *pointer);

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

bool allocationCountWorks()
{
    return true;
}

#else
bool allocationCountWorks()
{
    return false;
}
#endif
