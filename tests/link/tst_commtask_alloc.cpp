// Counts the heap allocations the link task's thread makes while it polls a loopback controller:
// a cycle must allocate nothing, the socket calls included. The whole process's malloc family
// is replaced (or, under a sanitizer, hooked), but only the task's thread is counted.
#include "allocationcount.h"
#include "commtask.h"
#include "serverthread.h"
#include "snmpbytes.h"
#include "taskhelpers.h"

#include <QtTest>

using namespace SnmpBytes;

namespace {

constexpr int Patience = 30000;

// The link task with its thread marked for counting before the loop starts.
class CountedTask : public CommTask
{
protected:
    void run() override
    {
        countThisThread();
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
    if (!allocationCountWorks())
        QSKIP("no way to count allocations with this C library");
}

void TestCommTaskAlloc::cycleAllocatesNothing_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("keys");
    QTest::addColumn<int>("cycles");
    QTest::newRow("answered polls") << int(ControllerServer::Behaviour::Answer) << false << 300;
    QTest::newRow("answered polls with a key in each cycle")
        << int(ControllerServer::Behaviour::Answer) << true << 60;
    QTest::newRow("silent controller") << int(ControllerServer::Behaviour::Silent) << false << 20;
    QTest::newRow("380-byte replies dropped")
        << int(ControllerServer::Behaviour::Oversize) << false << 200;
}

void TestCommTaskAlloc::cycleAllocatesNothing()
{
    QFETCH(int, mode);
    QFETCH(bool, keys);
    QFETCH(int, cycles);

    ServerThread controller;
    controller.server().setBehaviour(ControllerServer::Behaviour(mode));
    const quint16 port = controller.port();
    QVERIFY(port != 0);
    CountedTask task;
    auto guard = startPolling(task, port, 10);

    // Connecting allocates (socket, packet, Qt's socket engine); a few cycles pass first.
    QTRY_VERIFY_WITH_TIMEOUT(controller.count(GetRequest) >= 6, Patience);
    if (keys) {
        task.pendingKey = 1;
        QTRY_VERIFY_WITH_TIMEOUT(controller.count(SetRequest) >= 1, Patience);
    }
    const long before = long(countedThreadAllocations());
    const int firstRequest = controller.count(GetRequest);
    if (keys) {
        // One key per cycle: the next one is stored as soon as the last one arrived.
        for (int i = 0; i < cycles; ++i) {
            const int sets = controller.count(SetRequest);
            task.pendingKey = uint8_t(1 + i % 24);
            QTRY_VERIFY_WITH_TIMEOUT(controller.count(SetRequest) > sets, Patience);
        }
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(controller.count(GetRequest) >= firstRequest + cycles, Patience);
    }
    const long after = long(countedThreadAllocations());
    const int polled = controller.count(GetRequest) - firstRequest;

    qInfo("%d cycles (%s): %ld allocations on the task's thread, %.3f per cycle", polled,
          QTest::currentDataTag(), after - before, double(after - before) / polled);
    QCOMPARE(after - before, 0L);
    // The counter does count this thread: the connection allocated.
    QVERIFY(before > 0);
}

QTEST_GUILESS_MAIN(TestCommTaskAlloc)
#include "tst_commtask_alloc.moc"
