// The engine's rules for slow and lossy links without sockets: the reply wait learnt from round
// trips, the lost fraction, the pause while silent, and which reply answers which request.
#include "deadlineheap.h"
#include "linkrules.h"
#include "linkwait.h"
#include "ntcippacket.h"
#include "snmpbytes.h"

#include <QtTest>

#include <map>
#include <vector>

using namespace SnmpBytes;
using LinkRules::Asked;

class TestLinkWait : public QObject
{
    Q_OBJECT

private slots:
    void waitFromRoundTrips_data();
    void waitFromRoundTrips();
    void lostFraction_data();
    void lostFraction();
    void pauseWhileSilent_data();
    void pauseWhileSilent();
    void replyMatchesItsRequest_data();
    void replyMatchesItsRequest();
    void requestIdOfEveryCutReply();
    void extraRequestsKeepTheirRate_data();
    void extraRequestsKeepTheirRate();
    void deadlinesComeInOrder();
};

// Steps: a round trip in ms, or "t" for a request that went unanswered.
void TestLinkWait::waitFromRoundTrips_data()
{
    QTest::addColumn<int>("longest");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("wait");
    QTest::addColumn<int>("smoothed");
    QTest::addColumn<int>("variation");
    QTest::newRow("unknown link") << 5000 << QStringList{} << 1000 << -1 << -1;
    QTest::newRow("longest below the first wait") << 500 << QStringList{} << 500 << -1 << -1;
    // RFC 6298: the first sample sets the smoothed trip and half of it as the variation.
    QTest::newRow("first sample") << 5000 << QStringList{"100"} << 300 << 100 << 50;
    // Then 7/8 and 1/8, 3/4 and 1/4: 112.5 ms and 62.5 ms, a wait of 362.5 rounded up.
    QTest::newRow("second sample") << 5000 << QStringList{"100", "200"} << 363 << 113 << 63;
    QTest::newRow("a LAN waits the shortest")
        << 5000 << QStringList{"1", "1", "1"} << 100 << 1 << 0;
    QTest::newRow("satellite") << 5000 << QStringList{"650"} << 1950 << 650 << 325;
    QTest::newRow("kept to the longest") << 5000 << QStringList{"2000"} << 5000 << 2000 << 1000;
    QTest::newRow("a miss doubles the wait") << 5000 << QStringList{"100", "t"} << 600 << 100 << 50;
    QTest::newRow("misses double up to the longest")
        << 5000 << QStringList{"100", "t", "t", "t", "t", "t"} << 5000 << 100 << 50;
    QTest::newRow("unknown link backs off") << 5000 << QStringList{"t", "t"} << 4000 << -1 << -1;
    QTest::newRow("a reply after misses sets it again")
        << 5000 << QStringList{"100", "t", "t", "100"} << 250 << 100 << 38;
    QTest::newRow("a clock's jump is no sample")
        << 5000 << QStringList{"-5", "70000"} << 1000 << -1 << -1;
}

void TestLinkWait::waitFromRoundTrips()
{
    QFETCH(int, longest);
    QFETCH(QStringList, steps);
    LinkWait::RoundTrip trip(longest);
    for (const QString &step : steps) {
        if (step == "t")
            trip.timedOut();
        else
            trip.sample(int64_t(step.toInt()) * 1000);
    }
    QTEST(trip.waitMs(), "wait");
    QTEST(trip.smoothedMs(), "smoothed");
    QTEST(trip.variationMs(), "variation");
}

// Steps: "a" the next poll answered, "l" lost, "late N" poll N answered after its wait.
void TestLinkWait::lostFraction_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("percent");
    QTest::newRow("no poll yet") << QStringList{} << 0;
    QTest::newRow("one of four") << QStringList{"a", "a", "l", "a"} << 25;
    QTest::newRow("a late reply is no loss") << QStringList{"a", "l", "a", "late 1"} << 0;
    QStringList old;
    for (int i = 0; i < 10; ++i)
        old << "l";
    for (int i = 0; i < 60; ++i)
        old << "a";
    // Polls 6 to 69 are in the window: 4 of them lost.
    QTest::newRow("only the last 64 count") << old << 6;
    QStringList gone{"l"};
    for (int i = 0; i < 64; ++i)
        gone << "a";
    gone << "late 0";
    QTest::newRow("a late reply to a poll out of the window") << gone << 0;
    QStringList lossy;
    for (int i = 0; i < 64; ++i)
        lossy << (i % 8 == 0 ? "l" : "a");
    QTest::newRow("one in eight") << lossy << 12;
}

void TestLinkWait::lostFraction()
{
    QFETCH(QStringList, steps);
    LinkWait::PollHistory history;
    uint64_t poll = 0;
    for (const QString &step : steps) {
        if (step == "a")
            history.answered(poll++);
        else if (step == "l")
            history.lost(poll++);
        else
            history.answeredLate(uint64_t(step.mid(5).toInt()));
    }
    QTEST(history.lostPercent(), "percent");
}

void TestLinkWait::pauseWhileSilent_data()
{
    // The pause while answering: the poll interval (watched) or the slow one.
    QTest::addColumn<int>("interval");
    QTest::addColumn<int>("misses");
    QTest::addColumn<int>("pause");
    QTest::newRow("answering") << 100 << 0 << 100;
    QTest::newRow("unwatched, answering") << 5000 << 0 << 5000;
    QTest::newRow("a miss: asked again soon") << 100 << 3 << 100;
    QTest::newRow("unwatched, a miss: asked again soon") << 5000 << 1 << 100;
    QTest::newRow("silent: twice") << 100 << 4 << 200;
    QTest::newRow("then doubling") << 100 << 6 << 800;
    QTest::newRow("up to the slow interval") << 100 << 10 << 5000;
    QTest::newRow("for ever silent") << 100 << 1000 << 5000;
    QTest::newRow("unwatched, silent: the slow interval") << 5000 << 4 << 5000;
}

void TestLinkWait::pauseWhileSilent()
{
    QFETCH(int, interval);
    QFETCH(int, misses);
    QTEST(LinkWait::pauseAfterMisses(misses, interval, 100, 5000), "pause");
}

void TestLinkWait::replyMatchesItsRequest_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("requestId");
    QTest::addColumn<int>("asked");
    // Empty for a reply that is used.
    QTest::addColumn<QString>("refusal");
    const QByteArray first = reply(FirstBlockOid, firstBlock(2, 3, pattern(320, 'A')), 5);
    const QByteArray key = message(GetResponse, 9, oidBytes(KeyOid), OctetString, "\x05");
    QTest::newRow("its block") << first << 5 << int(Asked::FirstBlock) << "";
    QTest::newRow("another request's id")
        << first << 6 << int(Asked::FirstBlock) << "Sequence number did not match";
    QTest::newRow("the other block's object")
        << reply(SecondBlockOid, pattern(320, 'B'), 5) << 5 << int(Asked::FirstBlock)
        << "Reply names another object than its request";
    QTest::newRow("a first block's object with a second block in it")
        << reply(FirstBlockOid, pattern(320, 'B'), 5) << 5 << int(Asked::FirstBlock)
        << "Block does not match its request";
    QTest::newRow("a block for a key")
        << first << 5 << int(Asked::Key) << "Reply names another object than its request";
    QTest::newRow("its key") << key << 9 << int(Asked::Key) << "";
    QTest::newRow("a key refused")
        << message(GetResponse, 9, oidBytes(KeyOid), OctetString, "\x05", 2) << 9 << int(Asked::Key)
        << "SNMP error status was 0x02";
    QTest::newRow("a key's answer to a block request")
        << key << 9 << int(Asked::SecondBlock) << "Value shorter than four rows";
}

void TestLinkWait::replyMatchesItsRequest()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, requestId);
    QFETCH(int, asked);
    QFETCH(QString, refusal);
    NtcipPacket packet;
    std::strcpy(packet.community, "harbor");
    LinkRules::Block block;
    const char *why =
        LinkRules::readAnswer(packet, reinterpret_cast<const uint8_t *>(reply.constData()),
                              int(reply.size()), uint8_t(requestId), Asked(asked), &block);
    QCOMPARE(QString::fromLatin1(why ? why : ""), refusal);
    QCOMPARE(LinkRules::replyRequestId(reinterpret_cast<const uint8_t *>(reply.constData()),
                                       int(reply.size())),
             int(uint8_t(reply.at(reply.indexOf("\x02\x01", 12) + 2))));
}

// Cut anywhere, a reply gives its id only once the id's byte is there, and is never read past.
void TestLinkWait::requestIdOfEveryCutReply()
{
    const QByteArray whole = reply(SecondBlockOid, pattern(320, 'B'), 77);
    const int idAt = whole.indexOf(QByteArray("\x02\x01\x4d", 3)) + 2;
    QVERIFY(idAt > 10);
    for (int n = 0; n <= whole.size(); ++n) {
        // A copy of exactly n bytes, so that ASan sees a read past them.
        std::vector<uint8_t> cut(whole.constData(), whole.constData() + n);
        const int id = LinkRules::replyRequestId(cut.data(), n);
        QCOMPARE(id, n > idAt ? 77 : -1);
    }
    QCOMPARE(LinkRules::replyRequestId(nullptr, 10), -1);
}

void TestLinkWait::extraRequestsKeepTheirRate_data()
{
    // Times (ms) at which a request is asked for, and which ones may go: a second's worth of
    // credit at first, then one share (50 ms at 20 a second) as time gives it back.
    QTest::addColumn<QList<int>>("asks");
    QTest::addColumn<int>("allowed");
    QList<int> burst;
    for (int i = 0; i < 30; ++i)
        burst << 1000;
    QTest::newRow("a burst: a second's worth") << burst << 20;
    QList<int> paced;
    for (int i = 0; i < 40; ++i)
        paced << 1000 + 50 * i;
    QTest::newRow("at the rate: all") << paced << 40;
    QList<int> fast;
    for (int i = 0; i < 60; ++i)
        fast << 1000 + 25 * i;
    // 20 from the credit, then one per 50 ms of the 1,475 ms that pass.
    QTest::newRow("twice the rate") << fast << 49;
}

void TestLinkWait::extraRequestsKeepTheirRate()
{
    QFETCH(QList<int>, asks);
    LinkWait::RequestCredit credit(20);
    int allowed = 0;
    for (int at : asks) {
        const bool may = credit.allows(at, false);
        const bool took = credit.allows(at, true);
        QCOMPARE(took, may);
        allowed += took ? 1 : 0;
    }
    QTEST(allowed, "allowed");
}

// Deadlines added, moved either way and removed in a seeded random order come out in the order
// of a plain sorted reference, each owner's index always naming its own entry.
void TestLinkWait::deadlinesComeInOrder()
{
    struct Owner
    {
        int heapIndex = -1;
        int64_t due = 0;
        bool in = false;
    };
    std::vector<Owner> owners(300);
    DeadlineHeap<Owner> heap;
    QRandomGenerator random(7);
    std::multimap<int64_t, Owner *> reference;
    auto forget = [&](Owner *o) {
        for (auto it = reference.lower_bound(o->due); it != reference.end(); ++it)
            if (it->second == o) {
                reference.erase(it);
                return;
            }
    };
    for (int step = 0; step < 20000; ++step) {
        Owner *o = &owners[random.bounded(int(owners.size()))];
        const int64_t due = random.bounded(100000);
        const int what = random.bounded(10);
        if (!o->in) {
            heap.add(o, due);
        } else if (what < 7) {
            forget(o);
            heap.move(o, due);
        } else {
            forget(o);
            heap.remove(o);
            QCOMPARE(o->heapIndex, -1);
            o->in = false;
            continue;
        }
        o->due = due;
        o->in = true;
        reference.emplace(due, o);
        if (step % 5 == 0) {
            // Take the earliest, as a wake does.
            QCOMPARE(heap.firstDue(), reference.begin()->first);
            Owner *first = heap.first();
            QCOMPARE(first->due, heap.firstDue());
            forget(first);
            heap.remove(first);
            first->in = false;
        }
    }
    int64_t last = -1;
    while (!heap.empty()) {
        QVERIFY(heap.firstDue() >= last);
        last = heap.firstDue();
        QCOMPARE(heap.first()->due, last);
        forget(heap.first());
        heap.remove(heap.first());
    }
    QVERIFY(reference.empty());
}

QTEST_GUILESS_MAIN(TestLinkWait)
#include "tst_linkwait.moc"
