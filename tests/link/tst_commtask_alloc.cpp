// Counts the heap allocations the link task's thread makes while it polls a loopback stand-in:
// a cycle must allocate nothing, the socket calls included. The whole process's malloc family
// is replaced (or, under a sanitizer, hooked), but only the task's thread is counted.
#include "commtask.h"
#include "fakecontroller.h"
#include "snmpbytes.h"

#include <QScopeGuard>
#include <QtTest>

#include <mutex>
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

using namespace SnmpBytes;

namespace {

constexpr int Patience = 30000;

// The link task with its thread marked for counting before the loop starts.
class CountedTask : public CommTask
{
protected:
    void run() override
    {
        countThisThread = true;
        CommTask::run();
    }
};

} // namespace

class TestCommTaskAlloc : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cycleAllocatesNothing_data();
    void cycleAllocatesNothing();
};

void TestCommTaskAlloc::initTestCase()
{
    if (!installCounter())
        QSKIP("no way to count allocations with this C library");
}

void TestCommTaskAlloc::cycleAllocatesNothing_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("keys");
    QTest::addColumn<int>("cycles");
    QTest::newRow("answered polls") << int(FakeController::Answer) << false << 300;
    QTest::newRow("answered polls with a key in each cycle")
        << int(FakeController::Answer) << true << 60;
    QTest::newRow("silent controller") << int(FakeController::Silent) << false << 20;
    QTest::newRow("380-byte replies dropped") << int(FakeController::Oversize) << false << 200;
}

void TestCommTaskAlloc::cycleAllocatesNothing()
{
    QFETCH(int, mode);
    QFETCH(bool, keys);
    QFETCH(int, cycles);

    FakeController fake;
    fake.setMode(FakeController::Mode(mode));
    const quint16 port = fake.open();
    QVERIFY(port != 0);
    CountedTask task;
    {
        std::lock_guard<std::mutex> locker(task.addressLock);
        task.host = QStringLiteral("127.0.0.1");
        task.port = port;
    }
    task.pollInterval = 10;
    task.start();
    auto guard = qScopeGuard([&task] {
        task.requestQuit();
        task.wait();
    });

    // Connecting allocates (socket, packet, Qt's socket engine); a few cycles pass first.
    QTRY_VERIFY_WITH_TIMEOUT(fake.count(GetRequest) >= 6, Patience);
    if (keys) {
        task.pendingKey = 1;
        QTRY_VERIFY_WITH_TIMEOUT(fake.count(SetRequest) >= 1, Patience);
    }
    const long before = allocations.load();
    const int firstRequest = fake.count(GetRequest);
    if (keys) {
        // One key per cycle: the next one is stored as soon as the last one arrived.
        for (int i = 0; i < cycles; ++i) {
            const int sets = fake.count(SetRequest);
            task.pendingKey = uint8_t(1 + i % 24);
            QTRY_VERIFY_WITH_TIMEOUT(fake.count(SetRequest) > sets, Patience);
        }
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(fake.count(GetRequest) >= firstRequest + cycles, Patience);
    }
    const long after = allocations.load();
    const int polled = fake.count(GetRequest) - firstRequest;

    qInfo("%d cycles (%s): %ld allocations on the task's thread, %.3f per cycle", polled,
          QTest::currentDataTag(), after - before, double(after - before) / polled);
    QCOMPARE(after - before, 0L);
    // The counter does count this thread: the connection allocated.
    QVERIFY(before > 0);
}

QTEST_GUILESS_MAIN(TestCommTaskAlloc)
#include "tst_commtask_alloc.moc"
