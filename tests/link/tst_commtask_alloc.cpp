// Counts the heap allocations the link task's thread makes while it polls a loopback stand-in:
// a cycle must allocate nothing, the socket calls included. The whole process's malloc family
// is replaced (or, under a sanitizer, hooked), but only the task's thread is counted.
#include "commtask.h"
#include "fakecontroller.h"
#include "snmpbytes.h"

#include <QScopeGuard>
#include <QtTest>

#include <mutex>

// After every other header: it defines the C library's allocation functions.
#include "allocationcounter.h"

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
