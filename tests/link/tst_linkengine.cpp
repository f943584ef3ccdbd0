// The multi-controller engine on its own thread: links to controller-sim processes and to raw
// sockets that answer as hostile peers, read from the test thread while the engine polls.
#include "allocationcount.h"
#include "enginethread.h"
#include "serverthread.h"
#include "simprocess.h"
#include "snmpbytes.h"

#include <QDir>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <algorithm>
#include <mutex>

using namespace SnmpBytes;

namespace {

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

QUdpSocket *loopbackSocket(QObject *parent)
{
    auto *socket = new QUdpSocket(parent);
    socket->setProxy(QNetworkProxy::NoProxy);
    socket->bind(QHostAddress::LocalHost, 0);
    return socket;
}

} // namespace

class TestLinkEngine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void linksAreIndependent();
    void addAndRemoveAtRunTime();
    void unwatchedLinkPollsSlowly();
    void firstPollsSpread();
    void hostilePeer_data();
    void hostilePeer();
    void pollingAllocatesNothing();
    void keysInOrderOnceAndSeenAtOnce_data();
    void keysInOrderOnceAndSeenAtOnce();
    void keysNotSentIntoSilence();
    void slowLinksAreUsed_data();
    void slowLinksAreUsed();
    void lateBlockNeverOverwritesANewerOne();
    void keysThroughABusyCell();

private:
    SimProcess sim{QStringLiteral(CONTROLLER_SIM_PATH)};
    quint16 simPort = 0;
    EngineThread thread;
    LinkEngine *engine = nullptr;
};

void TestLinkEngine::initTestCase()
{
    simPort = sim.start();
    QVERIFY2(simPort != 0, "controller-sim did not report its port");
    engine = thread.open();
}

void TestLinkEngine::linksAreIndependent()
{
    SimProcess other(QStringLiteral(CONTROLLER_SIM_PATH));
    const quint16 otherPort = other.start();
    QVERIFY(otherPort != 0);
    // A port nobody answers on.
    QUdpSocket *closed = loopbackSocket(this);
    const int deadPort = closed->localPort();
    delete closed;

    const int a = thread.add(loopbackLink(simPort));
    const int b = thread.add(loopbackLink(otherPort));
    LinkConfig deadLink = loopbackLink(deadPort);
    // Silence is told after four misses over two seconds; short waits keep that short.
    deadLink.longestWait = 400;
    const int dead = thread.add(deadLink);
    QVERIFY(a && b && dead);
    // Counted on this thread; the receiver ends the connection with the test.
    QHash<int, int> changes;
    QObject receiver;
    connect(
        engine, &LinkEngine::screenChanged, &receiver, [&changes](int id) { ++changes[id]; },
        Qt::QueuedConnection);
    for (int id : {a, b, dead})
        engine->watch(id);

    for (int id : {a, b}) {
        QTRY_VERIFY_WITH_TIMEOUT(screenText(thread.state(id)).contains("MAIN MENU"), Patience);
        const LinkState s = thread.state(id);
        QVERIFY(s.cursorRow >= 1 && s.cursorRow <= LinkRules::Rows);
        QVERIFY(s.figure >= 1 && s.health == LinkWait::Health::Answering);
        QVERIFY(s.lastReplyMs > 0 && s.lastReplyMs <= LinkEngine::clockMs());
    }
    QTRY_VERIFY_WITH_TIMEOUT(thread.state(dead).health == LinkWait::Health::Silent, Patience);
    QVERIFY(thread.state(dead).counters.noAnswer >= uint64_t(LinkWait::MissesForSilence));
    QCOMPARE(thread.state(dead).figure, 0);
    QCOMPARE(thread.state(dead).counters.accepted, 0u);
    QTRY_VERIFY(changes.value(a) > 0 && changes.value(b) > 0);
    QCOMPARE(changes.value(dead), 0);

    // Help (22) on a: its own controller shows the help page, the other never gets the key.
    QVERIFY(engine->pressKey(a, 22));
    QTRY_VERIFY_WITH_TIMEOUT(screenText(thread.state(a)).contains("ARROWS MOVE THE CURSOR"),
                             Patience);
    QTRY_COMPARE(thread.state(a).counters.keysAnswered, 1u);
    const uint64_t bPolls = thread.state(b).counters.accepted;
    QTRY_VERIFY(thread.state(b).counters.accepted > bPolls + 5);
    QVERIFY(!screenText(thread.state(b)).contains("ARROWS MOVE THE CURSOR"));
    QCOMPARE(thread.state(b).counters.keysSent, 0u);
    for (int id : {a, b, dead}) {
        const LinkCounters c = thread.state(id).counters;
        QCOMPARE(c.foreign + c.refused + c.unexpected, 0u);
        QVERIFY(thread.remove(id));
    }
}

void TestLinkEngine::addAndRemoveAtRunTime()
{
    // Forty controllers of one simulator: their links share one socket, and their replies
    // find their links by the controller's port.
    SimProcess many{QStringLiteral(CONTROLLER_SIM_PATH)};
    const quint16 firstPort = many.start({"--controllers", "40"});
    QVERIFY2(firstPort != 0, "controller-sim --controllers 40 did not start");
    const int descriptorsBefore = openDescriptors();
    QList<int> ids;
    for (int i = 0; i < 40; ++i)
        ids << thread.add(loopbackLink(firstPort + i));
    QCOMPARE(engine->linkCount(), 40);
    // At most the shared socket, when no test before opened it.
    QVERIFY(openDescriptors() <= descriptorsBefore + 1);
    for (int id : ids) {
        QVERIFY(id > 0);
        engine->watch(id);
    }
    for (int id : ids)
        QTRY_VERIFY_WITH_TIMEOUT(thread.state(id).counters.accepted >= 2, Patience);

    // Every other link goes; the rest go on polling.
    QList<int> kept;
    for (int i = 0; i < ids.size(); ++i) {
        if (i % 2 == 0)
            QVERIFY(thread.remove(ids[i]));
        else
            kept << ids[i];
    }
    LinkState s;
    QVERIFY(!engine->read(ids[0], &s));
    QVERIFY(!thread.remove(ids[0]));
    QVERIFY(!engine->pressKey(ids[0], 1));
    QCOMPARE(engine->linkCount(), 20);
    for (int id : kept) {
        const uint64_t before = thread.state(id).counters.accepted;
        QTRY_VERIFY_WITH_TIMEOUT(thread.state(id).counters.accepted > before + 2, Patience);
    }
    // A new link gets an id never used before.
    const int again = thread.add(loopbackLink(firstPort));
    QVERIFY(again > ids.last());
    kept << again;
    for (int id : kept)
        QVERIFY(thread.remove(id));
    QCOMPARE(engine->linkCount(), 0);
    // No socket of a link of its own is left; the shared one stays for the next link.
    QVERIFY(openDescriptors() <= descriptorsBefore + 1);
}

void TestLinkEngine::unwatchedLinkPollsSlowly()
{
    LinkConfig slowConfig = loopbackLink(simPort);
    slowConfig.slowInterval = 60000;
    const int slow = thread.add(slowConfig);
    const int fast = thread.add(loopbackLink(simPort));
    engine->watch(fast);

    // Unwatched: at most the one poll somewhere in its first minute, then a minute's rest.
    QTRY_VERIFY_WITH_TIMEOUT(thread.state(fast).counters.accepted >= 30, Patience);
    QVERIFY(thread.state(slow).counters.requests <= 1u);

    // Watched: it polls at once and keeps its fast rate.
    engine->watch(slow);
    QTRY_VERIFY_WITH_TIMEOUT(screenText(thread.state(slow)).contains("MAIN MENU"), Patience);
    QTRY_VERIFY_WITH_TIMEOUT(thread.state(slow).counters.requests >= 10, Patience);

    // The second watcher leaving does not slow it; the last one does, after the running cycle.
    engine->watch(slow);
    engine->unwatch(slow);
    const uint64_t stillFast = thread.state(slow).counters.requests;
    QTRY_VERIFY_WITH_TIMEOUT(thread.state(slow).counters.requests >= stillFast + 10, Patience);
    engine->unwatch(slow);
    QTest::qWait(50);
    const uint64_t resting = thread.state(slow).counters.requests;
    QTest::qWait(500);
    QVERIFY(thread.state(slow).counters.requests <= resting + 1);
    QVERIFY(thread.remove(slow));
    QVERIFY(thread.remove(fast));
}

// Links added together, nobody watching, poll first at times spread over their slow interval
// rather than all at once (and so in step ever after).
void TestLinkEngine::firstPollsSpread()
{
    constexpr int Links = 20;
    constexpr int SlowInterval = 4000;
    SimProcess many{QStringLiteral(CONTROLLER_SIM_PATH)};
    const quint16 firstPort = many.start({"--controllers", QString::number(Links)});
    QVERIFY2(firstPort != 0, "controller-sim did not start");
    // The time of each link's first reply, as the engine's thread sees it.
    std::mutex lock;
    QHash<int, int64_t> firstReply;
    const QMetaObject::Connection seen = connect(
        engine, &LinkEngine::screenChanged, engine,
        [&](int id) {
            std::lock_guard<std::mutex> locker(lock);
            if (!firstReply.contains(id))
                firstReply.insert(id, LinkEngine::clockMs());
        },
        Qt::DirectConnection);
    QList<int> ids;
    for (int i = 0; i < Links; ++i) {
        LinkConfig config = loopbackLink(firstPort + i);
        config.slowInterval = SlowInterval;
        ids << thread.add(config);
    }
    auto replied = [&] {
        std::lock_guard<std::mutex> locker(lock);
        return firstReply.size();
    };
    QTRY_COMPARE_WITH_TIMEOUT(replied(), Links, Patience);
    disconnect(seen);
    int64_t first = INT64_MAX, last = 0;
    for (int64_t t : std::as_const(firstReply)) {
        first = std::min(first, t);
        last = std::max(last, t);
    }
    // Polls in step would answer within a few milliseconds of each other.
    QVERIFY2(last - first >= SlowInterval / 2, qPrintable(QString::number(last - first)));
    for (int id : ids)
        QVERIFY(thread.remove(id));
}

void TestLinkEngine::hostilePeer_data()
{
    QTest::addColumn<QString>("peer");
    // Expected counters after the one poll: accepted, refused, noAnswer, foreign, unexpected,
    // late.
    QTest::addColumn<QList<int>>("counts");
    QTest::newRow("garbage for a reply") << "garbage" << QList<int>{0, 1, 1, 0, 0, 0};
    QTest::newRow("380-byte reply") << "oversize" << QList<int>{0, 1, 1, 0, 0, 0};
    QTest::newRow("another controller's reply") << "other" << QList<int>{0, 0, 1, 1, 0, 0};
    QTest::newRow("reply to no request of ours") << "other id" << QList<int>{0, 1, 1, 0, 0, 0};
    QTest::newRow("reply naming the other block") << "other block" << QList<int>{0, 1, 1, 0, 0, 0};
    QTest::newRow("doubled reply") << "doubled" << QList<int>{1, 0, 0, 0, 1, 0};
    // Late, but the answer to the link's request: used, and counted late.
    QTest::newRow("reply after the wait ended") << "late" << QList<int>{1, 0, 1, 0, 0, 1};
    QTest::newRow("stranger floods the link's port") << "flood" << QList<int>{1, 0, 0, 100, 0, 0};
}

void TestLinkEngine::hostilePeer()
{
    QFETCH(QString, peer);
    QFETCH(QList<int>, counts);

    // A well-behaved neighbour polls all along.
    const int neighbour = thread.add(loopbackLink(simPort));
    engine->watch(neighbour);
    QTRY_VERIFY_WITH_TIMEOUT(thread.state(neighbour).counters.accepted >= 2, Patience);

    QUdpSocket *controller = loopbackSocket(this);
    QUdpSocket *stranger = loopbackSocket(this);
    auto cleanup = qScopeGuard([&] {
        delete controller;
        delete stranger;
    });
    // One poll in the test's time: the next one is a second and more away.
    const uint64_t strangersBefore = engine->strangerDatagrams();
    const int hostile = thread.add(loopbackLink(controller->localPort(), 1000));
    engine->watch(hostile);

    QTRY_VERIFY_WITH_TIMEOUT(controller->hasPendingDatagrams(), Patience);
    QByteArray request(int(controller->pendingDatagramSize()), '\0');
    QHostAddress from;
    quint16 fromPort = 0;
    controller->readDatagram(request.data(), request.size(), &from, &fromPort);
    QCOMPARE(parse(request).oid, oidBytes(FirstBlockOid));
    const uint8_t id = parse(request).requestId;
    QVERIFY(id >= 1 && id <= 127);
    const QByteArray good = reply(FirstBlockOid, firstBlock(2, 3, pattern(320, 'A')), id);
    const QByteArray strange = reply(FirstBlockOid, firstBlock(2, 3, QByteArray(320, 'X')), id);

    if (peer == "garbage") {
        controller->writeDatagram(QByteArray(200, '\x30'), from, fromPort);
    } else if (peer == "oversize") {
        controller->writeDatagram(good + QByteArray(380 - good.size(), '\0'), from, fromPort);
    } else if (peer == "other") {
        stranger->writeDatagram(good, from, fromPort);
    } else if (peer == "other id") {
        controller->writeDatagram(
            reply(FirstBlockOid, firstBlock(2, 3, QByteArray(320, 'X')), uint8_t(id % 127 + 1)),
            from, fromPort);
    } else if (peer == "other block") {
        controller->writeDatagram(reply(SecondBlockOid, QByteArray(320, 'X'), id), from, fromPort);
    } else if (peer == "doubled") {
        controller->writeDatagram(good, from, fromPort);
        controller->writeDatagram(good, from, fromPort);
    } else if (peer == "late") {
        QTRY_COMPARE_WITH_TIMEOUT(thread.state(hostile).counters.noAnswer, 1u, Patience);
        controller->writeDatagram(good, from, fromPort);
    } else if (peer == "flood") {
        for (int i = 0; i < 100; ++i)
            stranger->writeDatagram(strange, from, fromPort);
        controller->writeDatagram(good, from, fromPort);
    }

    // Foreign: what the link's own socket or the shared one took from anyone but a link's
    // controller, counted and dropped.
    auto counted = [&] {
        const LinkCounters c = thread.state(hostile).counters;
        const int strangers = int(engine->strangerDatagrams() - strangersBefore);
        return QList<int>{int(c.accepted),   int(c.refused),
                          int(c.noAnswer),   int(c.foreign) + strangers,
                          int(c.unexpected), int(c.late)};
    };
    QTRY_COMPARE_WITH_TIMEOUT(counted(), counts, Patience);
    const LinkState s = thread.state(hostile);
    QCOMPARE(s.counters.requests, 1u);
    QCOMPARE(s.lastError[0] != '\0', counts[1] > 0);
    QVERIFY(!screenText(s).contains('X'));
    QCOMPARE(screenText(s).startsWith(pattern(320, 'A')), counts[0] > 0);

    // The neighbour went on as before.
    const uint64_t before = thread.state(neighbour).counters.accepted;
    QTRY_VERIFY_WITH_TIMEOUT(thread.state(neighbour).counters.accepted > before + 2, Patience);
    // Nothing the hostile peer sent reached it. A poll the simulator answered too late on a
    // loaded machine is the machine's doing, not the peer's, and is not counted against it.
    const LinkCounters n = thread.state(neighbour).counters;
    QVERIFY2(n.refused + n.foreign + n.unexpected == 0,
             qPrintable(QStringLiteral("refused %1, foreign %2, unexpected %3, no answer %4")
                            .arg(n.refused)
                            .arg(n.foreign)
                            .arg(n.unexpected)
                            .arg(n.noAnswer)));
    QVERIFY(thread.remove(hostile));
    QVERIFY(thread.remove(neighbour));
}

void TestLinkEngine::pollingAllocatesNothing()
{
    if (!allocationCountWorks())
        QSKIP("no way to count allocations with this C library");
    QList<int> ids;
    for (int i = 0; i < 20; ++i) {
        ids << thread.add(loopbackLink(simPort));
        engine->watch(ids.last());
    }
    // Adding links allocates; a few cycles of each pass first.
    for (int id : ids)
        QTRY_VERIFY_WITH_TIMEOUT(thread.state(id).counters.accepted >= 3, Patience);
    thread.onEngine([] { countThisThread(); });
    const long before = long(countedThreadAllocations());
    uint64_t accepted = 0;
    for (int id : ids)
        accepted += thread.state(id).counters.accepted;
    // Keys too: each is sent after its link's next poll.
    for (int i = 0; i < ids.size(); i += 4)
        engine->pressKey(ids[i], 21);
    auto total = [&] {
        uint64_t n = 0;
        for (int id : ids)
            n += thread.state(id).counters.accepted;
        return n;
    };
    QTRY_VERIFY_WITH_TIMEOUT(total() >= accepted + 400, Patience);
    thread.onEngine([] { countThisThread(false); });
    const long after = long(countedThreadAllocations());
    qInfo("%llu replies: %ld allocations on the engine's thread",
          (unsigned long long)(total() - accepted), after - before);
    QCOMPARE(after - before, 0L);
#ifndef COUNT_WITH_SANITIZER_HOOKS
    // The counter does see the engine's thread. Checked in plain builds only: the sanitizer
    // hooks miss this allocation.
    thread.onEngine([] {
        countThisThread();
        // Through a volatile pointer, so that the compiler cannot drop the pair.
        void *(*volatile allocate)(size_t) = std::malloc;
        std::free(allocate(64));
        countThisThread(false);
    });
    QCOMPARE(long(countedThreadAllocations()), after + 1);
#endif
    for (int id : ids) {
        QCOMPARE(thread.state(id).counters.keysSent, uint64_t(ids.indexOf(id) % 4 == 0));
        QVERIFY(thread.remove(id));
    }
}

void TestLinkEngine::keysInOrderOnceAndSeenAtOnce_data()
{
    QTest::addColumn<int>("delay");
    QTest::newRow("controller answers at once") << 0;
    QTest::newRow("controller answers after 60 ms") << 60;
}

// A burst of keys, faster than any poll: every one reaches the controller once and in order, a
// full queue refuses the rest, and after each key the display is read at once rather than after
// the poll interval.
void TestLinkEngine::keysInOrderOnceAndSeenAtOnce()
{
    QFETCH(int, delay);
    qRegisterMetaType<KeyOutcome>();
    ServerThread controller;
    QVERIFY(controller.port() != 0);
    controller.onServer([delay](ControllerServer &s) { s.setDelay(delay); });
    LinkConfig config = loopbackLink(controller.port(), 1000);
    const int id = thread.add(config);
    engine->watch(id);
    QTRY_VERIFY_WITH_TIMEOUT(thread.state(id).counters.accepted >= 1, Patience);
    Outcomes heard;
    heard.listen(engine);

    // Pressed in one go on the engine's thread: nothing is sent in between.
    QList<quint64> tickets;
    thread.onEngine([&] {
        for (int i = 0; i < LinkEngine::MaxQueuedKeys + 3; ++i)
            tickets << engine->pressKey(id, uint8_t(i % 24 + 1));
    });
    const QList<quint64> accepted = tickets.mid(0, LinkEngine::MaxQueuedKeys);
    QVERIFY(!accepted.contains(0));
    QCOMPARE(tickets.mid(LinkEngine::MaxQueuedKeys), QList<quint64>(3, 0));
    QTRY_COMPARE_WITH_TIMEOUT(heard.tickets.size(), LinkEngine::MaxQueuedKeys, Patience);
    QCOMPARE(heard.tickets, accepted);
    QCOMPARE(heard.outcomes, QList<KeyOutcome>(LinkEngine::MaxQueuedKeys, KeyOutcome::Answered));
    QList<int> codes;
    for (int i = 0; i < LinkEngine::MaxQueuedKeys; ++i)
        codes << i % 24 + 1;
    QCOMPARE(controller.keys(), codes);

    // One more key, alone: its echo is read at once, cursor block first (the simulator's cursor
    // sits in the upper half), though polls are a second apart.
    QVERIFY(engine->pressKey(id, 17));
    QTRY_COMPARE_WITH_TIMEOUT(heard.tickets.size(), LinkEngine::MaxQueuedKeys + 1, Patience);
    QTRY_VERIFY_WITH_TIMEOUT(controller.events().back().request.pduType == GetRequest, Patience);
    const ServerThread::EventLog log = controller.events();
    int set = -1;
    for (int i = 0; i < int(log.size()); ++i)
        if (log[size_t(i)].request.pduType == SetRequest)
            set = i;
    QVERIFY(set >= 0 && set + 1 < int(log.size()));
    QCOMPARE(log[size_t(set + 1)].request.pduType, GetRequest);
    QCOMPARE(log[size_t(set + 1)].request.oid, oidBytes(FirstBlockOid));
    QVERIFY2(log[size_t(set + 1)].atMs - log[size_t(set)].atMs < 500 + delay,
             qPrintable(QString::number(log[size_t(set + 1)].atMs - log[size_t(set)].atMs)));
    QVERIFY(thread.remove(id));
}

// Keys pressed while the controller is silent are dropped with the reason, never sent late.
void TestLinkEngine::keysNotSentIntoSilence()
{
    qRegisterMetaType<KeyOutcome>();
    ServerThread controller;
    const int id = thread.add(loopbackLink(controller.port(), 50));
    engine->watch(id);
    QTRY_VERIFY_WITH_TIMEOUT(thread.state(id).counters.accepted >= 1, Patience);
    controller.server().setBehaviour(ControllerServer::Behaviour::Silent);
    QTRY_VERIFY_WITH_TIMEOUT(thread.state(id).health == LinkWait::Health::Silent, Patience);
    const int setsBefore = controller.keys().size();
    Outcomes heard;
    heard.listen(engine);
    QVERIFY(engine->pressKey(id, 5));
    QVERIFY(engine->pressKey(id, 6));
    QTRY_COMPARE_WITH_TIMEOUT(heard.tickets.size(), 2, Patience);
    QCOMPARE(heard.outcomes, QList<KeyOutcome>(2, KeyOutcome::Dropped));
    QVERIFY2(heard.reasons[0].startsWith("no answer from the controller for "),
             qPrintable(heard.reasons[0]));
    controller.server().setBehaviour(ControllerServer::Behaviour::Answer);
    QTRY_VERIFY_WITH_TIMEOUT(thread.state(id).health == LinkWait::Health::Answering, Patience);
    QCOMPARE(controller.keys().size(), setsBefore);
    QVERIFY(thread.remove(id));
}

void TestLinkEngine::slowLinksAreUsed_data()
{
    QTest::addColumn<int>("delay");
    QTest::newRow("cellular, 120 ms") << 120;
    QTest::newRow("busy cellular, 300 ms") << 300;
}

// A controller further away than the shortest wait: its display shows, no poll is given up once
// the link knows its round trip, and a key is answered, not given up.
void TestLinkEngine::slowLinksAreUsed()
{
    QFETCH(int, delay);
    qRegisterMetaType<KeyOutcome>();
    ServerThread controller;
    QVERIFY(controller.port() != 0);
    controller.onServer([delay](ControllerServer &s) { s.setDelay(delay); });
    const int id = thread.add(loopbackLink(controller.port(), 100));
    engine->watch(id);
    QTRY_VERIFY_WITH_TIMEOUT(screenText(thread.state(id)).contains("MAIN MENU") &&
                                 thread.state(id).counters.accepted >= 6,
                             Patience);
    const LinkState s = thread.state(id);
    QCOMPARE(s.counters.noAnswer, 0u);
    QCOMPARE(s.health, LinkWait::Health::Answering);
    QVERIFY2(s.roundTripMs >= delay && s.waitMs > s.roundTripMs,
             qPrintable(QStringLiteral("%1 ms, wait %2 ms").arg(s.roundTripMs).arg(s.waitMs)));

    Outcomes heard;
    heard.listen(engine);
    QVERIFY(engine->pressKey(id, 22));
    QTRY_COMPARE_WITH_TIMEOUT(heard.outcomes, QList<KeyOutcome>{KeyOutcome::Answered}, Patience);
    QTRY_VERIFY_WITH_TIMEOUT(screenText(thread.state(id)).contains("ARROWS MOVE THE CURSOR"),
                             Patience);
    QCOMPARE(controller.keys(), QList<int>{22});
    QCOMPARE(thread.state(id).counters.noAnswer, 0u);
    QVERIFY(thread.remove(id));
}

// Replies come back out of order: a first block answered after its wait, when a newer first
// block is on the screen already, is used (the link is alive) but does not put the older
// screen back.
void TestLinkEngine::lateBlockNeverOverwritesANewerOne()
{
    QUdpSocket *controller = loopbackSocket(this);
    auto cleanup = qScopeGuard([&] { delete controller; });
    LinkConfig config = loopbackLink(controller->localPort(), 50);
    config.longestWait = 200;
    const int id = thread.add(config);
    engine->watch(id);
    // Reads the next request; the reply to it is left to the caller.
    auto next = [&](QHostAddress *from, quint16 *port) {
        if (!QTest::qWaitFor([&] { return controller->hasPendingDatagrams(); }, Patience))
            return Request{};
        QByteArray request(int(controller->pendingDatagramSize()), '\0');
        controller->readDatagram(request.data(), request.size(), from, port);
        return parse(request);
    };
    QHostAddress from;
    quint16 port = 0;
    const Request held = next(&from, &port);
    QCOMPARE(held.oid, oidBytes(FirstBlockOid));
    // Unanswered: the link asks for the other block, then the first block again, and those
    // are answered.
    const Request second = next(&from, &port);
    QCOMPARE(second.oid, oidBytes(SecondBlockOid));
    controller->writeDatagram(reply(SecondBlockOid, pattern(320, 'S'), second.requestId), from,
                              port);
    const Request again = next(&from, &port);
    QCOMPARE(again.oid, oidBytes(FirstBlockOid));
    QVERIFY(again.requestId != held.requestId);
    controller->writeDatagram(
        reply(FirstBlockOid, firstBlock(4, 5, pattern(320, 'N')), again.requestId), from, port);
    QTRY_VERIFY_WITH_TIMEOUT(screenText(thread.state(id)).startsWith(pattern(320, 'N')), Patience);

    controller->writeDatagram(
        reply(FirstBlockOid, firstBlock(9, 9, pattern(320, 'O')), held.requestId), from, port);
    QTRY_COMPARE_WITH_TIMEOUT(thread.state(id).counters.late, 1u, Patience);
    const LinkState s = thread.state(id);
    QVERIFY(screenText(s).startsWith(pattern(320, 'N')));
    QCOMPARE(s.cursorRow, 4);
    QCOMPARE(s.counters.accepted, 3u);
    // The same late reply again is a doubled one.
    controller->writeDatagram(
        reply(FirstBlockOid, firstBlock(9, 9, pattern(320, 'O')), held.requestId), from, port);
    QTRY_COMPARE_WITH_TIMEOUT(thread.state(id).counters.unexpected, 1u, Patience);
    QCOMPARE(thread.state(id).counters.accepted, 3u);
    QVERIFY(thread.remove(id));
}

// Three controllers behind a busy cellular network (350 +- 200 ms, 5 % lost, 1 % doubled,
// reordering; seeded): every display completes, no controller is ever said to be silent, and of
// keys typed in bursts each leaves the engine once, none is dropped, and none is called answered
// that the controller was not given.
void TestLinkEngine::keysThroughABusyCell()
{
    qRegisterMetaType<KeyOutcome>();
    SimProcess controllers(QStringLiteral(CONTROLLER_SIM_PATH));
    const quint16 first = controllers.start({"--controllers", "3"});
    QVERIFY(first != 0);
    QTemporaryDir scratch;
    QProcess relay;
    relay.start("python3", {FIELDLINK_PATH, "--target", QStringLiteral("127.0.0.1:%1").arg(first),
                            "--count", "3", "--profile", "busy-cellular", "--seed", "7", "--stats",
                            scratch.filePath("stats.json")});
    QTRY_VERIFY_WITH_TIMEOUT(relay.canReadLine(), Patience);
    const QString line = QString::fromLatin1(relay.readLine()).trimmed();
    const QStringList ports = line.section(' ', -1).split(',');
    QCOMPARE(ports.size(), 3);

    QList<int> ids;
    for (const QString &port : ports) {
        ids << thread.add(loopbackLink(port.toInt(), 100));
        engine->watch(ids.back());
    }
    int silentLooks = 0;
    QTimer looker;
    connect(&looker, &QTimer::timeout, this, [&] {
        for (int id : ids)
            silentLooks += thread.state(id).health == LinkWait::Health::Silent;
    });
    looker.start(50);
    for (int id : ids)
        QTRY_VERIFY_WITH_TIMEOUT(screenText(thread.state(id)).contains("MAIN MENU") &&
                                     screenText(thread.state(id)).contains("SELECT 1-4"),
                                 Patience);

    Outcomes heard;
    heard.listen(engine);
    constexpr int Bursts = 4, BurstKeys = 4;
    for (int burst = 0; burst < Bursts; ++burst) {
        for (int id : ids)
            for (int k = 0; k < BurstKeys; ++k)
                QVERIFY(engine->pressKey(id, uint8_t(burst % 2 == 0 ? 13 : 14)));
        QTest::qWait(400);
    }
    const int keys = Bursts * BurstKeys * int(ids.size());
    QTRY_COMPARE_WITH_TIMEOUT(heard.outcomes.size(), keys, 60000);
    looker.stop();
    QVERIFY2(heard.outcomes.count(KeyOutcome::Dropped) == 0,
             qPrintable(heard.reasons.join(QLatin1Char('|'))));
    uint64_t sent = 0;
    for (int id : ids) {
        sent += thread.state(id).counters.keysSent;
        QVERIFY(thread.remove(id));
    }
    QCOMPARE(silentLooks, 0);

    relay.terminate();
    QVERIFY(relay.waitForFinished(10000));
    QFile stats(scratch.filePath("stats.json"));
    QVERIFY(stats.open(QIODevice::ReadOnly));
    int taken = 0, given = 0;
    for (const QJsonValue &carried : QJsonDocument::fromJson(stats.readAll())["lines"].toArray()) {
        taken += carried["keys"]["sent"].toInt();
        given += carried["keys"]["delivered"].toInt();
    }
    // Each key left the engine once: the relay took exactly as many SetRequests.
    QCOMPARE(uint64_t(keys), sent);
    QCOMPARE(taken, keys);
    // An answer comes only from a controller that was given the key.
    QVERIFY2(heard.outcomes.count(KeyOutcome::Answered) <= given,
             qPrintable(QStringLiteral("%1 answered, %2 given")
                            .arg(heard.outcomes.count(KeyOutcome::Answered))
                            .arg(given)));
}

QTEST_GUILESS_MAIN(TestLinkEngine)
#include "tst_linkengine.moc"
