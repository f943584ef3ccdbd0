// Counts the heap allocations of the threads that set countThisThread: the whole process's
// malloc family is replaced (or, under a sanitizer, hooked). Include it in one file of a test.
#ifndef ALLOCATIONCOUNTER_H
#define ALLOCATIONCOUNTER_H

#include <atomic>
#include <cstddef>
#include <cstdlib>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define COUNT_WITH_SANITIZER_HOOKS 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define COUNT_WITH_SANITIZER_HOOKS 1
#endif

namespace {

// Set on the task's thread only; constant-initialised so that reading it never allocates.
thread_local bool countThisThread = false;
std::atomic<long> allocations{0};

inline void noteAllocation()
{
    if (countThisThread)
        allocations.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

#if defined(COUNT_WITH_SANITIZER_HOOKS)
// Part of every sanitizer runtime (GCC's and clang's); GCC ships no header that declares it.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void *,
                                                                            size_t),
                                                         void (*freeHook)(const volatile void *));

namespace {
void countingHook(const volatile void *, size_t)
{
    noteAllocation();
}
void ignoreFree(const volatile void *) {}
bool installCounter()
{
    // The runtime takes the pair only when both hooks are given.
    return __sanitizer_install_malloc_and_free_hooks(countingHook, ignoreFree) != 0;
}
} // namespace

#elif defined(__GLIBC__)
// glibc's own entry points stay reachable under these names; every allocation in the process,
// operator new and Qt's containers included, passes through the functions below.
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *p, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *p);

void *malloc(size_t size)
{
    noteAllocation();
    return __libc_malloc(size);
}
void *calloc(size_t count, size_t size)
{
    noteAllocation();
    return __libc_calloc(count, size);
}
void *realloc(void *p, size_t size)
{
    noteAllocation();
    return __libc_realloc(p, size);
}
void *memalign(size_t alignment, size_t size)
{
    noteAllocation();
    return __libc_memalign(alignment, size);
}
void *aligned_alloc(size_t alignment, size_t size)
{
    noteAllocation();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void **out, size_t alignment, size_t size)
{
    noteAllocation();
    void *p = __libc_memalign(alignment, size);
    if (!p)
        return 12; // ENOMEM
    *out = p;
    return 0;
}
void free(void *p)
{
    __libc_free(p);
}
}

namespace {
bool installCounter()
{
    return true;
}
} // namespace

#else
namespace {
bool installCounter()
{
    return false;
}
} // namespace
#endif

#endif // ALLOCATIONCOUNTER_H
