// The link task against the simulator's controller server on loopback: what only a real socket
// shows. Timing is checked as ranges and lower bounds only; every wait is a QTRY with a generous
// timeout.
#include "commtask.h"
#include "serverthread.h"
#include "snmpbytes.h"
#include "taskhelpers.h"

#include <QScopeGuard>
#include <QtTest>

#include <mutex>

using namespace SnmpBytes;

namespace {

constexpr int Patience = 15000;

// The display these tests expect unless they give their own: every byte says where it came
// from, and the cursor is at row 3, column 7.
void showPatterns(ServerThread &controller)
{
    controller.server().setDisplay(3, 7, pattern(320, 'A'), pattern(320, 'B'));
}

// The request log without the requests of other pdu types, oldest first.
ServerThread::EventLog only(const ServerThread::EventLog &events, uint8_t type)
{
    ServerThread::EventLog out;
    for (const ServerThread::Event &e : events)
        if (e.request.pduType == type)
            out.push_back(e);
    return out;
}

} // namespace

class TestCommTaskLoopback : public QObject
{
    Q_OBJECT

private slots:
    void alternatesBlocksAndFillsScreen();
    void latencyOfImmediateReplies();
    void silentControllerGivesHundredAndLongerPause();
    void oversizeReplyIsDropped();
    void emptyDatagramDoesNotBlockReplies();
    void pollIntervalCorrection_data();
    void pollIntervalCorrection();
    void keyFollowsPollAndOnlyLastKeyIsSent();
    void keyStoredWhileRunning();
    void unansweredKeyIsNotRepeated();
    void stopBlanksScreenAndRestartResumes();
    void stopDropsWaitingKey();
    void connectHandshakeMovesToNewAddress();
    void restartAloneReconnects();
    void fallbackToDefaultController_data();
    void fallbackToDefaultController();
    void quitEndsThread_data();
    void quitEndsThread();
};

void TestCommTaskLoopback::alternatesBlocksAndFillsScreen()
{
    ServerThread controller;
    const quint16 port = controller.port();
    showPatterns(controller);
    QVERIFY(port != 0);
    CommTask task;
    auto guard = startPolling(task, port, 10);

    QTRY_VERIFY_WITH_TIMEOUT(controller.count(GetRequest) >= 8, Patience);
    const ServerThread::EventLog gets = only(controller.events(), GetRequest);
    for (int i = 0; i < int(gets.size()); ++i) {
        const Request &r = gets[i].request;
        QVERIFY(r.valid);
        QCOMPARE(r.community, QByteArray("harbor"));
        QCOMPARE(r.requestId, uint8_t(0));
        QCOMPARE(r.valueTag, uint8_t(0x05));
        QVERIFY(r.value.isEmpty());
        // First block first, then strictly alternating.
        QCOMPARE(r.oid, oidBytes(i % 2 == 0 ? FirstBlockOid : SecondBlockOid));
    }
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(task), pattern(320, 'A') + pattern(320, 'B') + "  ",
                              Patience);
    QCOMPARE(task.cursorRow.load(), 3);
    QCOMPARE(task.cursorColumn.load(), 7);
    for (int row = 0; row < CommTask::Rows; ++row)
        QCOMPARE(QByteArray(task.rowText(row)).size(), CommTask::Columns);
}

void TestCommTaskLoopback::latencyOfImmediateReplies()
{
    ServerThread controller;
    const quint16 port = controller.port();
    QVERIFY(port != 0);
    CommTask task;
    auto guard = startPolling(task, port, 10);

    // An answer found on the first try counts 3; a controller on the same machine is there
    // within a few tries.
    QTRY_VERIFY_WITH_TIMEOUT(task.latency >= 3 && task.latency <= 10, Patience);
    QTRY_VERIFY_WITH_TIMEOUT(controller.count(GetRequest) >= 10, Patience);
    const int figure = task.latency;
    qInfo("delay figure after %d polls of a loopback controller: %d", controller.count(GetRequest),
          figure);
    QVERIFY2(figure >= 3 && figure < 100, qPrintable(QString::number(figure)));
}

void TestCommTaskLoopback::silentControllerGivesHundredAndLongerPause()
{
    ServerThread controller;
    const quint16 port = controller.port();
    controller.server().setBehaviour(ControllerServer::Behaviour::Silent);
    QVERIFY(port != 0);
    CommTask task;
    auto guard = startPolling(task, port, 10);

    QTRY_COMPARE_WITH_TIMEOUT(task.latency.load(), 100, Patience);
    QTRY_VERIFY_WITH_TIMEOUT(controller.count(GetRequest) >= 4, Patience);
    // Each silent cycle waits 3 + 97 x 1 ms, then pauses pollInterval + 50 ms: requests are at
    // least 160 ms apart (110 ms without the extra pause).
    const ServerThread::EventLog gets = only(controller.events(), GetRequest);
    for (int i = 1; i < int(gets.size()); ++i) {
        const qint64 gap = gets[i].atMs - gets[i - 1].atMs;
        QVERIFY2(gap >= 158, qPrintable(QStringLiteral("gap %1 ms").arg(gap)));
    }
    QCOMPARE(screenOf(task), QByteArray(CommTask::ScreenSize, ' '));
}

void TestCommTaskLoopback::oversizeReplyIsDropped()
{
    ServerThread controller;
    const quint16 port = controller.port();
    showPatterns(controller);
    controller.server().setBehaviour(ControllerServer::Behaviour::Oversize);
    QVERIFY(port != 0);
    CommTask task;
    auto guard = startPolling(task, port, 10);

    // The 377-byte second block is taken; the 380-byte first block never is.
    QTRY_VERIFY_WITH_TIMEOUT(controller.count(GetRequest) >= 8, Patience);
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(task).mid(320, 320), pattern(320, 'B'), Patience);
    QTRY_VERIFY_WITH_TIMEOUT(controller.count(GetRequest) >= 12, Patience);
    QCOMPARE(screenOf(task).left(320), QByteArray(320, ' '));
    QCOMPARE(task.cursorRow.load(), 0);
    QVERIFY(task.latency >= 3 && task.latency < 100);
}

// An empty datagram counts zero bytes available; if the task went by that count it would sit
// in front of every later reply for good.
void TestCommTaskLoopback::emptyDatagramDoesNotBlockReplies()
{
    ServerThread controller;
    const quint16 port = controller.port();
    showPatterns(controller);
    controller.server().setBehaviour(ControllerServer::Behaviour::EmptyFirst);
    QVERIFY(port != 0);
    CommTask task;
    auto guard = startPolling(task, port, 10);

    QTRY_COMPARE_WITH_TIMEOUT(screenOf(task), pattern(320, 'A') + pattern(320, 'B') + "  ",
                              Patience);
    QTRY_VERIFY_WITH_TIMEOUT(task.latency >= 3 && task.latency < 100, Patience);
}

void TestCommTaskLoopback::pollIntervalCorrection_data()
{
    QTest::addColumn<int>("given");
    QTest::addColumn<int>("used");
    QTest::newRow("9 is below the range and becomes 100") << 9 << 100;
    QTest::newRow("10 stays") << 10 << 10;
    QTest::newRow("1000 stays") << 1000 << 1000;
    QTest::newRow("1001 is above the range and becomes 100") << 1001 << 100;
    QTest::newRow("unset 0 becomes 100") << 0 << 100;
    QTest::newRow("negative becomes 100") << -20 << 100;
}

void TestCommTaskLoopback::pollIntervalCorrection()
{
    QFETCH(int, given);
    QFETCH(int, used);
    ServerThread controller;
    const quint16 port = controller.port();
    QVERIFY(port != 0);
    CommTask task;
    auto guard = startPolling(task, port, given);

    // The correction runs before the first request goes out.
    QTRY_VERIFY_WITH_TIMEOUT(controller.requests() >= 1, Patience);
    QCOMPARE(task.pollInterval.load(), used);
}

void TestCommTaskLoopback::keyFollowsPollAndOnlyLastKeyIsSent()
{
    ServerThread controller;
    const quint16 port = controller.port();
    QVERIFY(port != 0);
    CommTask task;
    // Two codes stored before the first cycle reaches its key step: only the second goes.
    task.pendingKey = 5;
    task.pendingKey = 7;
    auto guard = startPolling(task, port, 10);

    QTRY_VERIFY_WITH_TIMEOUT(controller.count(GetRequest) >= 6, Patience);
    const ServerThread::EventLog events = controller.events();
    QCOMPARE(events[0].request.pduType, GetRequest);
    QCOMPARE(events[0].request.oid, oidBytes(FirstBlockOid));
    const Request &set = events[1].request;
    QCOMPARE(set.pduType, SetRequest);
    QCOMPARE(set.oid, oidBytes(KeyOid));
    QCOMPARE(set.valueTag, OctetString);
    QCOMPARE(set.value, QByteArray(1, 7));
    QCOMPARE(set.community, QByteArray("harbor"));
    QCOMPARE(events[2].request.oid, oidBytes(SecondBlockOid));
    QCOMPARE(controller.count(SetRequest), 1);
    QCOMPARE(task.pendingKey.load(), uint8_t(0));
}

void TestCommTaskLoopback::keyStoredWhileRunning()
{
    ServerThread controller;
    const quint16 port = controller.port();
    QVERIFY(port != 0);
    CommTask task;
    auto guard = startPolling(task, port, 10);

    QTRY_VERIFY_WITH_TIMEOUT(controller.count(GetRequest) >= 2, Patience);
    task.pendingKey = 12;
    QTRY_COMPARE_WITH_TIMEOUT(controller.count(SetRequest), 1, Patience);
    // The answer to the key was drained: the polls after it still get their replies.
    QTRY_VERIFY_WITH_TIMEOUT(controller.count(GetRequest) >= 8, Patience);
    const ServerThread::EventLog events = controller.events();
    int setAt = -1;
    for (int i = 0; i < int(events.size()); ++i)
        if (events[i].request.pduType == SetRequest)
            setAt = i;
    QVERIFY(setAt > 0);
    QCOMPARE(events[setAt].request.value, QByteArray(1, 12));
    QCOMPARE(events[setAt - 1].request.pduType, GetRequest);
    QCOMPARE(controller.count(SetRequest), 1);
    QTRY_VERIFY_WITH_TIMEOUT(task.latency >= 3 && task.latency < 100, Patience);
}

void TestCommTaskLoopback::unansweredKeyIsNotRepeated()
{
    ServerThread controller;
    const quint16 port = controller.port();
    controller.server().setBehaviour(ControllerServer::Behaviour::KeysUnanswered);
    QVERIFY(port != 0);
    CommTask task;
    task.pendingKey = 3;
    auto guard = startPolling(task, port, 10);

    QTRY_VERIFY_WITH_TIMEOUT(controller.count(GetRequest) >= 4, Patience);
    QCOMPARE(controller.count(SetRequest), 1);
    // The task waited about a second for the answer (5 ms, then 100 reads 10 ms apart) before
    // its next poll.
    const ServerThread::EventLog events = controller.events();
    QCOMPARE(events[1].request.pduType, SetRequest);
    const qint64 gap = events[2].atMs - events[1].atMs;
    QVERIFY2(gap >= 1000, qPrintable(QStringLiteral("gap %1 ms").arg(gap)));
}

void TestCommTaskLoopback::stopBlanksScreenAndRestartResumes()
{
    ServerThread controller;
    const quint16 port = controller.port();
    showPatterns(controller);
    QVERIFY(port != 0);
    CommTask task;
    auto guard = startPolling(task, port, 10);

    const QByteArray full = pattern(320, 'A') + pattern(320, 'B') + "  ";
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(task), full, Patience);

    task.stopRequested.store(true, std::memory_order_release);
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(task), QByteArray(CommTask::ScreenSize, '\0'), Patience);
    for (int row = 0; row < CommTask::Rows; ++row)
        QCOMPARE(QByteArray(task.rowText(row)), QByteArray());
    // The cursor keeps its last place.
    QCOMPARE(task.cursorRow.load(), 3);
    QCOMPARE(task.cursorColumn.load(), 7);
    // Stopped means silent: no request in a quarter of a second.
    const int before = controller.requests();
    QTest::qWait(250);
    QCOMPARE(controller.requests(), before);
    QVERIFY(task.stopRequested.load());

    // The blocks refill rows 0..15; the two bytes after them stay blank.
    task.restartRequested.store(true, std::memory_order_release);
    QTRY_COMPARE_WITH_TIMEOUT(
        screenOf(task), pattern(320, 'A') + pattern(320, 'B') + QByteArray(2, '\0'), Patience);
    QTRY_VERIFY_WITH_TIMEOUT(!task.stopRequested.load() && !task.restartRequested.load(), Patience);
    QVERIFY(controller.requests() > before);
}

void TestCommTaskLoopback::stopDropsWaitingKey()
{
    ServerThread controller;
    const quint16 port = controller.port();
    QVERIFY(port != 0);
    CommTask task;
    // Stopped with a key waiting before the first cycle: the stop takes the key away.
    task.pendingKey = 9;
    task.stopRequested = true;
    auto guard = startPolling(task, port, 10);

    QTRY_COMPARE_WITH_TIMEOUT(screenOf(task), QByteArray(CommTask::ScreenSize, '\0'), Patience);
    QCOMPARE(controller.requests(), 0);
    QCOMPARE(task.pendingKey.load(), uint8_t(0));

    task.restartRequested.store(true, std::memory_order_release);
    QTRY_VERIFY_WITH_TIMEOUT(controller.count(GetRequest) >= 6, Patience);
    QCOMPARE(controller.count(SetRequest), 0);
    QCOMPARE(controller.events().front().request.oid, oidBytes(FirstBlockOid));
}

void TestCommTaskLoopback::connectHandshakeMovesToNewAddress()
{
    ServerThread first;
    const quint16 firstPort = first.port();
    showPatterns(first);
    QVERIFY(firstPort != 0);
    // Another loopback address, so that the host text is handed over too, not just the port.
    ServerThread second(QHostAddress(QStringLiteral("127.0.0.2")));
    const quint16 secondPort = second.port();
    second.server().setDisplay(9, 11, pattern(320, 'C'), pattern(320, 'D'));
    if (secondPort == 0)
        QSKIP("127.0.0.2 cannot be bound on this machine");

    CommTask task;
    aim(task, "127.0.0.1", firstPort);
    task.pollInterval = 10;
    task.start();
    auto guard = joinAtEnd(task);
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(task).left(320), pattern(320, 'A'), Patience);

    // What the window's Connect does: stop, address under the lock, restart.
    task.stopRequested.store(true, std::memory_order_release);
    aim(task, "127.0.0.2", secondPort);
    task.restartRequested.store(true, std::memory_order_release);

    QTRY_COMPARE_WITH_TIMEOUT(
        screenOf(task), pattern(320, 'C') + pattern(320, 'D') + QByteArray(2, '\0'), Patience);
    QCOMPARE(task.cursorRow.load(), 9);
    QCOMPARE(task.cursorColumn.load(), 11);
    const int firstCount = first.requests();
    const int secondCount = second.requests();
    QTRY_VERIFY_WITH_TIMEOUT(second.requests() >= secondCount + 6, Patience);
    QCOMPARE(first.requests(), firstCount);
    // A restart keeps the alternation going; it does not start over with the first block.
    QVERIFY(second.count(GetRequest) >= 6);
}

void TestCommTaskLoopback::restartAloneReconnects()
{
    ServerThread first;
    const quint16 firstPort = first.port();
    QVERIFY(firstPort != 0);
    ServerThread second;
    const quint16 secondPort = second.port();
    second.server().setDisplay(1, 1, pattern(320, 'E'), pattern(320, 'F'));
    QVERIFY(secondPort != 0);

    CommTask task;
    aim(task, "127.0.0.1", firstPort);
    task.pollInterval = 10;
    task.start();
    auto guard = joinAtEnd(task);
    QTRY_VERIFY_WITH_TIMEOUT(first.count(GetRequest) >= 2, Patience);

    // A Connect whose stop the task took in together with the previous restart leaves only
    // the restart raised; the new address must still be used.
    aim(task, "127.0.0.1", secondPort);
    task.restartRequested.store(true, std::memory_order_release);
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(task).left(320), pattern(320, 'E'), Patience);
    QTRY_VERIFY_WITH_TIMEOUT(!task.restartRequested.load(), Patience);
}

void TestCommTaskLoopback::fallbackToDefaultController_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("null host") << QString() << 0;
    QTest::newRow("empty host with a valid port") << QString("") << 4000;
    QTest::newRow("valid host with port 12") << QString("127.0.0.3") << 12;
    QTest::newRow("valid host with port 65536") << QString("127.0.0.3") << 65536;
}

void TestCommTaskLoopback::fallbackToDefaultController()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    ServerThread controller(QHostAddress(QHostAddress::LocalHost), CommTask::DefaultPort);
    // Content of this run only, so that the screen proves this task reached this controller.
    const char letter = char('G' + QTest::currentDataTag()[0] % 8);
    controller.server().setDisplay(2, 3, pattern(320, letter), pattern(320, 'Z'));
    if (controller.port() == 0)
        QSKIP("127.0.0.1 port 501 cannot be bound here (needs root, or another program has it)");

    CommTask task;
    aim(task, host, port);
    task.pollInterval = 10;
    task.start();
    auto guard = joinAtEnd(task);
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(task).left(320), pattern(320, letter), Patience);
    QTRY_VERIFY_WITH_TIMEOUT(controller.count(GetRequest) >= 2, Patience);
}

void TestCommTaskLoopback::quitEndsThread_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("stopped");
    QTest::addColumn<int>("key");
    QTest::newRow("pausing a second between polls")
        << int(ControllerServer::Behaviour::Answer) << false << 0;
    QTest::newRow("waiting for a silent controller")
        << int(ControllerServer::Behaviour::Silent) << false << 0;
    QTest::newRow("stopped, waiting for the restart")
        << int(ControllerServer::Behaviour::Answer) << true << 0;
    QTest::newRow("draining the answer to a key")
        << int(ControllerServer::Behaviour::KeysUnanswered) << false << 4;
}

void TestCommTaskLoopback::quitEndsThread()
{
    QFETCH(int, mode);
    QFETCH(bool, stopped);
    QFETCH(int, key);
    ServerThread controller;
    controller.server().setBehaviour(ControllerServer::Behaviour(mode));
    const quint16 port = controller.port();
    QVERIFY(port != 0);
    CommTask task;
    aim(task, "127.0.0.1", port);
    task.pollInterval = 1000;
    task.stopRequested = stopped;
    task.pendingKey = uint8_t(key);
    task.start();

    if (stopped)
        QTRY_COMPARE_WITH_TIMEOUT(screenOf(task).left(40), QByteArray(40, '\0'), Patience);
    else if (key != 0)
        QTRY_COMPARE_WITH_TIMEOUT(controller.count(SetRequest), 1, Patience);
    else
        QTRY_VERIFY_WITH_TIMEOUT(controller.requests() >= 1, Patience);

    QElapsedTimer clock;
    clock.start();
    task.requestQuit();
    QVERIFY(task.wait(10000));
    qInfo("thread ended %lld ms after the quit request", clock.elapsed());
    QVERIFY(task.isFinished());
    QVERIFY(task.socket == nullptr);
    QVERIFY(task.packet == nullptr);
}

QTEST_GUILESS_MAIN(TestCommTaskLoopback)
#include "tst_commtask_loopback.moc"
