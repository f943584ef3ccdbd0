// The simulator's SNMP agent: requests built byte by byte, exact replies, error answers, and
// hostile datagrams that must be dropped and counted without a crash.
#include "allocationcount.h"
#include "controllermodel.h"
#include "ntcippacket.h"
#include "snmpagent.h"

#include "snmpbytes.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QTest>

#include <cstring>

namespace {

const QByteArray FirstBlockOid = QByteArray::fromHex("2b060104018936030502110c010201");
const QByteArray SecondBlockOid = QByteArray::fromHex("2b060104018936030502110c010202");
const QByteArray KeyOid = QByteArray::fromHex("2b060104018936030502110a00");
const QByteArray SysDescrOid = QByteArray::fromHex("2b06010201010100");
const QByteArray SysUpTimeOid = QByteArray::fromHex("2b06010201010300");
const QByteArray NullValue = QByteArray::fromHex("0500");

using SnmpBytes::hex;
using SnmpBytes::tlv;

QByteArray binding(const QByteArray &oid, const QByteArray &valueElement = NullValue)
{
    return tlv(0x30, tlv(0x06, oid) + valueElement);
}

// An SNMPv1 request; every field can be bent by the tests. requestId is the whole INTEGER element.
QByteArray request(uint8_t pdu, const QByteArray &bindings,
                   const QByteArray &requestId = hex("020100"),
                   const QByteArray &community = "harbor",
                   const QByteArray &version = hex("020100"))
{
    const QByteArray body = requestId + hex("020100") + hex("020100") + tlv(0x30, bindings);
    return tlv(0x30, version + tlv(0x04, community) + tlv(pdu, body));
}

QByteArray get(const QByteArray &oid)
{
    return request(0xA0, binding(oid));
}

QByteArray getNext(const QByteArray &oid)
{
    return request(0xA1, binding(oid));
}

QByteArray setKey(const QByteArray &valueElement)
{
    return request(0xA3, binding(KeyOid, valueElement));
}

// An OID of n arcs: 1.3 followed by n - 2 arcs of 1.
QByteArray longOid(int arcs)
{
    return QByteArray(1, char(0x2B)) + QByteArray(arcs - 2, char(0x01));
}

struct Agent
{
    ControllerModel model{8 * 3600};
    SnmpAgent agent{&model};
    uint8_t reply[2048];

    QByteArray handle(const QByteArray &req, int cap = 1472)
    {
        const int n = agent.handle(reinterpret_cast<const uint8_t *>(req.constData()),
                                   int(req.size()), reply, cap);
        return QByteArray(reinterpret_cast<const char *>(reply), n);
    }
};

// Runs the reply through the panel's own check, as the link task would.
bool validate(const QByteArray &reply, NtcipPacket *packet)
{
    packet->loadFrame(reinterpret_cast<const uint8_t *>(reply.constData()), int32_t(reply.size()));
    return packet->validateResponse(1) == 1;
}

} // namespace

class TestSnmpAgent : public QObject
{
    Q_OBJECT

private slots:
    void firstBlockReplyIsByteExact();
    void secondBlockReplyIsByteExact();
    void replyFields_data();
    void replyFields();
    void errorReplies_data();
    void errorReplies();
    void requestIdIsEchoed_data();
    void requestIdIsEchoed();
    void getNextWalksTheMibInOrder();
    void setPressesTheKey();
    void refusedSetPressesNothing();
    void twoBindingsInOneRequest();
    void replyThatDoesNotFitGetsTooBig();
    void replyNeverWritesPastCap();
    void dropsInvalidRequest_data();
    void dropsInvalidRequest();
    void everyTruncationIsMalformed_data();
    void everyTruncationIsMalformed();
    void randomGarbageIsDropped();
    void handlingAllocatesNothing();
    void mutatedRequestsNeverCrash();
};

void TestSnmpAgent::firstBlockReplyIsByteExact()
{
    // The panel's own 47-byte GetRequest, request id 0.
    const QByteArray req = hex("302d 020100 0406686172626f72 a020 020100 020100 020100 3015 3013"
                               "060f 2b060104018936030502110c010201 0500");
    QCOMPARE(req, get(FirstBlockOid));
    Agent a;
    const QByteArray reply = a.handle(req);
    QCOMPARE(reply.size(), 379);
    // Shortest length forms throughout: 82 xx xx only where the length is 256 or more.
    const QByteArray head = hex("30820177 020100 0406686172626f72 a2820168 020100 020100 020100"
                                "3082015b 30820157 060f 2b060104018936030502110c010201 04820142");
    QCOMPARE(reply.left(head.size()), head);
    QByteArray value(322, 0);
    a.model.firstBlock(reinterpret_cast<uint8_t *>(value.data()));
    QCOMPARE(reply.mid(head.size()), value);

    NtcipPacket packet;
    QVERIFY2(validate(reply, &packet), packet.errorText);
    QCOMPARE(packet.valueLength, 322);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(packet.oid), packet.oidLength),
             FirstBlockOid);
    QCOMPARE(int(packet.value[0]), a.model.cursorRow());
    QCOMPARE(int(packet.value[1]), a.model.cursorColumn());
}

void TestSnmpAgent::secondBlockReplyIsByteExact()
{
    Agent a;
    const QByteArray reply = a.handle(get(SecondBlockOid));
    QCOMPARE(reply.size(), 377);
    const QByteArray head = hex("30820175 020100 0406686172626f72 a2820166 020100 020100 020100"
                                "30820159 30820155 060f 2b060104018936030502110c010202 04820140");
    QCOMPARE(reply.left(head.size()), head);
    NtcipPacket packet;
    QVERIFY2(validate(reply, &packet), packet.errorText);
    QCOMPARE(packet.valueLength, 320);
    // The first byte of the lower half is a display character, which tells the blocks apart.
    QVERIFY(packet.value[0] > 16);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(packet.value), 40),
             QByteArray(a.model.rowText(8), 40));
}

void TestSnmpAgent::replyFields_data()
{
    QTest::addColumn<QByteArray>("req");
    QTest::addColumn<QByteArray>("oid");
    QTest::addColumn<int>("typeCode"); // NtcipPacket's code: 2 octet string
    QTest::addColumn<int>("valueLength");

    QTest::newRow("get key object before any key") << get(KeyOid) << KeyOid << 2 << 1;
    QTest::newRow("get sysDescr") << get(SysDescrOid) << SysDescrOid << 2 << 50;
    QTest::newRow("getnext from the controller subtree root gives the key object")
        << getNext(hex("2b0601040189 36")) << KeyOid << 2 << 1;
    QTest::newRow("getnext from the key object gives the first block")
        << getNext(KeyOid) << FirstBlockOid << 2 << 322;
    QTest::newRow("getnext from the first block gives the second")
        << getNext(FirstBlockOid) << SecondBlockOid << 2 << 320;
    QTest::newRow("getnext between key and display gives the first block")
        << getNext(hex("2b060104018936030502110b")) << FirstBlockOid << 2 << 322;
    QTest::newRow("getnext from 0.0 gives sysDescr")
        << getNext(hex("00")) << SysDescrOid << 2 << 50;
    QTest::newRow("message length in long form 81 2d")
        << hex("30812d 020100 0406686172626f72 a020 020100 020100 020100 3015 3013"
               "060f 2b060104018936030502110c010202 0500")
        << SecondBlockOid << 2 << 320;
    QTest::newRow("non-minimal long form 82 00 20 for the PDU")
        << hex("302f 020100 0406686172626f72 a0820020 020100 020100 020100 3015 3013"
               "060f 2b060104018936030502110c010202 0500")
        << SecondBlockOid << 2 << 320;
    QTest::newRow("get with a non-NULL value in the binding")
        << request(0xA0, binding(KeyOid, hex("020105"))) << KeyOid << 2 << 1;
}

void TestSnmpAgent::replyFields()
{
    QFETCH(QByteArray, req);
    QFETCH(QByteArray, oid);
    QFETCH(int, typeCode);
    QFETCH(int, valueLength);
    Agent a;
    const QByteArray reply = a.handle(req);
    NtcipPacket packet;
    QVERIFY2(validate(reply, &packet), packet.errorText);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(packet.oid), packet.oidLength), oid);
    QCOMPARE(packet.valueType, typeCode);
    QCOMPARE(packet.valueLength, valueLength);
    QCOMPARE(a.agent.counters.requests, 1u);
    QCOMPARE(a.agent.counters.replies, 1u);
}

void TestSnmpAgent::errorReplies_data()
{
    QTest::addColumn<QByteArray>("req");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("echoedBinding");

    const QByteArray unknown = hex("2b060104018936030502110c010203");
    QTest::newRow("get of an unknown OID is noSuchName")
        << get(unknown) << 2 << 1 << binding(unknown);
    QTest::newRow("get of a prefix of the first block is noSuchName")
        << get(hex("2b060104018936030502110c0102")) << 2 << 1
        << binding(hex("2b060104018936030502110c0102"));
    QTest::newRow("get one arc below the first block is noSuchName")
        << get(FirstBlockOid + char(0)) << 2 << 1 << binding(FirstBlockOid + char(0));
    QTest::newRow("getnext after the last object is end of MIB")
        << getNext(SecondBlockOid) << 2 << 1 << binding(SecondBlockOid);
    QTest::newRow("getnext beyond everything is end of MIB")
        << getNext(hex("50")) << 2 << 1 << binding(hex("50"));
    QTest::newRow("set key 0 is badValue")
        << setKey(hex("040100")) << 3 << 1 << binding(KeyOid, hex("040100"));
    QTest::newRow("set key 25 is badValue")
        << setKey(hex("040119")) << 3 << 1 << binding(KeyOid, hex("040119"));
    QTest::newRow("set key as INTEGER is badValue")
        << setKey(hex("020101")) << 3 << 1 << binding(KeyOid, hex("020101"));
    QTest::newRow("set key as two-byte string is badValue")
        << setKey(hex("04020101")) << 3 << 1 << binding(KeyOid, hex("04020101"));
    QTest::newRow("set key as empty string is badValue")
        << setKey(hex("0400")) << 3 << 1 << binding(KeyOid, hex("0400"));
    QTest::newRow("set of the read-only display block is noSuchName")
        << request(0xA3, binding(FirstBlockOid, hex("040101"))) << 2 << 1
        << binding(FirstBlockOid, hex("040101"));
    QTest::newRow("set of the second binding refused gives index 2")
        << request(0xA3, binding(KeyOid, hex("040101")) + binding(KeyOid, hex("040163"))) << 3 << 2
        << binding(KeyOid, hex("040101")) + binding(KeyOid, hex("040163"));
}

void TestSnmpAgent::errorReplies()
{
    QFETCH(QByteArray, req);
    QFETCH(int, status);
    QFETCH(int, index);
    QFETCH(QByteArray, echoedBinding);
    Agent a;
    const QByteArray reply = a.handle(req);
    // The whole reply, byte for byte: the request's bindings come back as they were sent.
    const QByteArray expected = tlv(
        0x30, hex("020100") + tlv(0x04, "harbor") +
                  tlv(0xA2, hex("020100") + tlv(0x02, QByteArray(1, char(status))) +
                                tlv(0x02, QByteArray(1, char(index))) + tlv(0x30, echoedBinding)));
    QCOMPARE(reply.toHex(' '), expected.toHex(' '));
    NtcipPacket packet;
    QVERIFY(!validate(reply, &packet));
    QCOMPARE(QByteArray(packet.errorText),
             QByteArray("SNMP error status was 0x0") + char('0' + status));
    QCOMPARE(a.agent.counters.replies, 1u);
    QCOMPARE(a.agent.counters.unknownOid + a.agent.counters.badValue, 1u);
    QCOMPARE(a.model.lastKey(), uint8_t(0));
}

void TestSnmpAgent::requestIdIsEchoed_data()
{
    QTest::addColumn<QByteArray>("requestId");
    QTest::addColumn<QByteArray>("echoed");

    QTest::newRow("zero") << hex("020100") << hex("020100");
    QTest::newRow("one byte 127") << hex("02017f") << hex("02017f");
    QTest::newRow("negative one byte") << hex("0201ff") << hex("0201ff");
    QTest::newRow("two bytes 128 keeps its sign byte") << hex("02020080") << hex("02020080");
    QTest::newRow("four bytes, largest") << hex("02047fffffff") << hex("02047fffffff");
    QTest::newRow("four bytes, most negative") << hex("020480000000") << hex("020480000000");
    QTest::newRow("four bytes as net-snmp sends") << hex("02041a2b3c4d") << hex("02041a2b3c4d");
    QTest::newRow("non-minimal 00 05 comes back minimal") << hex("02020005") << hex("020105");
}

void TestSnmpAgent::requestIdIsEchoed()
{
    QFETCH(QByteArray, requestId);
    QFETCH(QByteArray, echoed);
    Agent a;
    const QByteArray reply = a.handle(request(0xA0, binding(FirstBlockOid), requestId));
    // Each extra id byte makes the reply one byte longer than the 379 of id 0.
    QCOMPARE(reply.size(), 379 + echoed.size() - 3);
    const int at = reply.indexOf(char(0xA2));
    QVERIFY(at > 0);
    QCOMPARE(reply.mid(at + 4, echoed.size()), echoed);
}

void TestSnmpAgent::getNextWalksTheMibInOrder()
{
    Agent a;
    QByteArray oid = hex("00");
    QList<QByteArray> walk;
    for (int i = 0; i < 10; ++i) {
        const QByteArray reply = a.handle(getNext(oid));
        NtcipPacket packet;
        packet.errorText[0] = '\0';
        // The panel's check knows no TimeTicks (sysUpTime), but it has read the OID by then.
        const bool ok = validate(reply, &packet);
        if (!ok && QByteArray(packet.errorText) == "SNMP error status was 0x02")
            break;
        QVERIFY2(ok || QByteArray(packet.valueTypeName) == "UnknownTagID", packet.errorText);
        oid = QByteArray(reinterpret_cast<const char *>(packet.oid), packet.oidLength);
        walk.append(oid);
    }
    const QList<QByteArray> expected = {SysDescrOid, SysUpTimeOid, KeyOid, FirstBlockOid,
                                        SecondBlockOid};
    QCOMPARE(walk, expected);
}

void TestSnmpAgent::setPressesTheKey()
{
    Agent a;
    QCOMPARE(a.model.screen(), ControllerModel::Screen::MainMenu);
    // The panel's own 46-byte SetRequest for key 2.
    const QByteArray req = hex("302c 020100 0406686172626f72 a31f 020100 020100 020100 3014 3012"
                               "060d 2b060104018936030502110a00 040102");
    QCOMPARE(req, setKey(hex("040102")));
    const QByteArray reply = a.handle(req);
    // A GetResponse echoing the binding, the same size as the request.
    QCOMPARE(reply.toHex(), QByteArray(req).replace(char(0xA3), char(0xA2)).toHex());
    QCOMPARE(a.model.screen(), ControllerModel::Screen::PhaseTiming);
    QCOMPARE(a.model.lastKey(), uint8_t(2));

    NtcipPacket packet;
    QVERIFY2(validate(a.handle(get(KeyOid)), &packet), packet.errorText);
    QCOMPARE(packet.valueLength, 1);
    QCOMPARE(int(packet.value[0]), 2);
    QVERIFY2(validate(a.handle(get(FirstBlockOid)), &packet), packet.errorText);
    QVERIFY(QByteArray(reinterpret_cast<const char *>(packet.value) + 2, 40)
                .startsWith("PHASE TIMING"));
}

void TestSnmpAgent::refusedSetPressesNothing()
{
    Agent a;
    // The first binding is good, the second bad: a SET is all or nothing.
    a.handle(request(0xA3, binding(KeyOid, hex("040101")) + binding(KeyOid, hex("0401ff"))));
    QCOMPARE(a.model.lastKey(), uint8_t(0));
    QCOMPARE(a.model.screen(), ControllerModel::Screen::MainMenu);
}

void TestSnmpAgent::twoBindingsInOneRequest()
{
    Agent a;
    const QByteArray reply = a.handle(request(0xA0, binding(KeyOid) + binding(SecondBlockOid)));
    const QByteArray list =
        tlv(0x30, binding(KeyOid, hex("040100")) +
                      binding(SecondBlockOid, tlv(0x04, QByteArray(a.model.rowText(8), 40) +
                                                            QByteArray(a.model.rowText(9), 40) +
                                                            QByteArray(a.model.rowText(10), 40) +
                                                            QByteArray(a.model.rowText(11), 40) +
                                                            QByteArray(a.model.rowText(12), 40) +
                                                            QByteArray(a.model.rowText(13), 40) +
                                                            QByteArray(a.model.rowText(14), 40) +
                                                            QByteArray(a.model.rowText(15), 40))));
    QVERIFY(reply.endsWith(list));
    QCOMPARE(reply.size(), 4 + 3 + 8 + 4 + 9 + list.size());
}

void TestSnmpAgent::replyThatDoesNotFitGetsTooBig()
{
    Agent a;
    const QByteArray reply = a.handle(get(FirstBlockOid), 100);
    const QByteArray expected =
        tlv(0x30, hex("020100") + tlv(0x04, "harbor") +
                      tlv(0xA2, hex("020100 020101 020100") + tlv(0x30, binding(FirstBlockOid))));
    QCOMPARE(reply.toHex(' '), expected.toHex(' '));
    QCOMPARE(a.agent.counters.tooBig, 1u);

    // Nine bindings are more than the agent takes at once: tooBig with an empty list.
    QByteArray nine;
    for (int i = 0; i < 9; ++i)
        nine += binding(KeyOid);
    const QByteArray many = a.handle(request(0xA0, nine));
    QCOMPARE(many.toHex(' '),
             hex("3018 020100 0406686172626f72 a20b 020100 020101 020100 3000").toHex(' '));
}

void TestSnmpAgent::replyNeverWritesPastCap()
{
    Agent a;
    for (int cap = 1; cap < 400; ++cap) {
        std::memset(a.reply, 0xEE, sizeof a.reply);
        const int n = a.agent.handle(
            reinterpret_cast<const uint8_t *>(get(FirstBlockOid).constData()), 47, a.reply, cap);
        QVERIFY(n >= 0 && n <= cap);
        for (int i = cap; i < int(sizeof a.reply); ++i) {
            if (a.reply[i] != 0xEE)
                QFAIL(qPrintable(QString("byte %1 written with cap %2").arg(i).arg(cap)));
        }
        // Below 47 bytes not even the tooBig answer fits; from 379 on the whole reply does.
        if (cap < 47)
            QCOMPARE(n, 0);
        else if (cap < 379)
            QCOMPARE(n, 47);
        else
            QCOMPARE(n, 379);
    }
}

void TestSnmpAgent::dropsInvalidRequest_data()
{
    QTest::addColumn<QByteArray>("req");
    QTest::addColumn<QString>("counter");

    const QByteArray pduBody = hex("020100 020100 020100") + tlv(0x30, binding(FirstBlockOid));
    QTest::newRow("zero-length datagram") << QByteArray() << "malformed";
    QTest::newRow("SNMPv2c version 1")
        << request(0xA0, binding(FirstBlockOid), hex("020100"), "harbor", hex("020101"))
        << "badVersion";
    QTest::newRow("SNMPv3 version 3")
        << request(0xA0, binding(FirstBlockOid), hex("020100"), "harbor", hex("020103"))
        << "badVersion";
    QTest::newRow("community public")
        << request(0xA0, binding(FirstBlockOid), hex("020100"), "public") << "badCommunity";
    QTest::newRow("community in other case")
        << request(0xA0, binding(FirstBlockOid), hex("020100"), "Harbor") << "badCommunity";
    QTest::newRow("community with a trailing NUL")
        << request(0xA0, binding(FirstBlockOid), hex("020100"), QByteArray("harbor", 7))
        << "badCommunity";
    QTest::newRow("empty community")
        << request(0xA0, binding(FirstBlockOid), hex("020100"), "") << "badCommunity";
    QTest::newRow("message tag not SEQUENCE")
        << QByteArray(get(FirstBlockOid)).replace(0, 1, "\x31") << "malformed";
    QTest::newRow("message length past the datagram's end")
        << QByteArray(get(FirstBlockOid)).replace(1, 1, "\x2e") << "malformed";
    QTest::newRow("a byte after the message") << get(FirstBlockOid) + char(0) << "malformed";
    QTest::newRow("indefinite length 80")
        << hex("3080") + get(FirstBlockOid).mid(2) + hex("0000") << "malformed";
    QTest::newRow("five length bytes")
        << hex("30850000000031") + get(FirstBlockOid).mid(2) << "malformed";
    QTest::newRow("long-form length above 2^31")
        << hex("3084ffffffff") + get(FirstBlockOid).mid(2) << "malformed";
    QTest::newRow("long-form length cut off by the end") << hex("3082 01") << "malformed";
    QTest::newRow("long-form length 82 7fff past the end")
        << hex("30827fff") + get(FirstBlockOid).mid(2) << "malformed";
    QTest::newRow("PDU length exceeds its parent")
        << tlv(0x30,
               hex("020100") + tlv(0x04, "harbor") + hex("a0") + char(pduBody.size() + 1) + pduBody)
        << "malformed";
    QTest::newRow("binding list length exceeds the PDU")
        << tlv(0x30, hex("020100") + tlv(0x04, "harbor") +
                         tlv(0xA0, hex("020100 020100 020100 3016") +
                                       tlv(0x30, tlv(0x06, FirstBlockOid) + NullValue)))
        << "malformed";
    QTest::newRow("OID length exceeds its binding")
        << request(0xA0, hex("3013 0612") + FirstBlockOid + NullValue) << "malformed";
    QTest::newRow("version not an INTEGER")
        << request(0xA0, binding(FirstBlockOid), hex("020100"), "harbor", hex("040100"))
        << "malformed";
    QTest::newRow("empty version INTEGER")
        << request(0xA0, binding(FirstBlockOid), hex("020100"), "harbor", hex("0200"))
        << "malformed";
    QTest::newRow("GetResponse sent to the agent")
        << request(0xA2, binding(FirstBlockOid)) << "malformed";
    QTest::newRow("trap PDU") << request(0xA4, binding(FirstBlockOid)) << "malformed";
    QTest::newRow("high tag number form") << request(0xBF, binding(FirstBlockOid)) << "malformed";
    QTest::newRow("request id of five bytes")
        << request(0xA0, binding(FirstBlockOid), hex("02050000000001")) << "malformed";
    QTest::newRow("empty request id")
        << request(0xA0, binding(FirstBlockOid), hex("0200")) << "malformed";
    QTest::newRow("request id not an INTEGER")
        << request(0xA0, binding(FirstBlockOid), hex("040100")) << "malformed";
    QTest::newRow("empty OID") << request(0xA0, binding(QByteArray())) << "malformed";
    QTest::newRow("OID ending in a continuation byte")
        << get(hex("2b0601048936 89")) << "malformed";
    QTest::newRow("OID with a non-minimal 80 sub-identifier")
        << get(hex("2b06 8001")) << "malformed";
    QTest::newRow("OID arc above 32 bits") << get(hex("2b 9080808000")) << "malformed";
    QTest::newRow("OID with 129 arcs") << get(longOid(129)) << "malformed";
    QTest::newRow("huge OID of 1000 bytes") << get(longOid(1001)) << "malformed";
    QTest::newRow("binding without a value")
        << request(0xA0, tlv(0x30, tlv(0x06, FirstBlockOid))) << "malformed";
    QTest::newRow("binding with an extra element")
        << request(0xA0, tlv(0x30, tlv(0x06, FirstBlockOid) + NullValue + NullValue))
        << "malformed";
    QTest::newRow("binding list element not a SEQUENCE")
        << request(0xA0, tlv(0x31, tlv(0x06, FirstBlockOid) + NullValue)) << "malformed";
    QTest::newRow("OID tag replaced by OCTET STRING")
        << request(0xA0, tlv(0x30, tlv(0x04, FirstBlockOid) + NullValue)) << "malformed";
    QTest::newRow("value length past the binding")
        << request(0xA0, tlv(0x30, tlv(0x06, FirstBlockOid) + hex("0405"))) << "malformed";
}

void TestSnmpAgent::dropsInvalidRequest()
{
    QFETCH(QByteArray, req);
    QFETCH(QString, counter);
    Agent a;
    std::memset(a.reply, 0xEE, sizeof a.reply);
    QCOMPARE(a.handle(req).size(), 0);
    const AgentCounters &c = a.agent.counters;
    QCOMPARE(c.requests, 1u);
    QCOMPARE(c.replies, 0u);
    QCOMPARE(c.malformed, counter == "malformed" ? 1u : 0u);
    QCOMPARE(c.badVersion, counter == "badVersion" ? 1u : 0u);
    QCOMPARE(c.badCommunity, counter == "badCommunity" ? 1u : 0u);
    QCOMPARE(a.reply[0], uint8_t(0xEE));
    QCOMPARE(a.model.lastKey(), uint8_t(0));
}

void TestSnmpAgent::everyTruncationIsMalformed_data()
{
    QTest::addColumn<QByteArray>("req");
    QTest::newRow("get of the first block") << get(FirstBlockOid);
    QTest::newRow("getnext of the key object") << getNext(KeyOid);
    QTest::newRow("set of key 23") << setKey(hex("040117"));
    QTest::newRow("get with a four-byte request id")
        << request(0xA0, binding(SecondBlockOid), hex("020412345678"));
    QTest::newRow("get with long-form lengths")
        << hex("30812e 020100 0406686172626f72 a08120 020100 020100 020100"
               "3015 3013 060f 2b060104018936030502110c010202 0500");
}

void TestSnmpAgent::everyTruncationIsMalformed()
{
    QFETCH(QByteArray, req);
    Agent a;
    QVERIFY(a.handle(req).size() > 0);
    for (int n = 0; n < req.size(); ++n) {
        const uint64_t before = a.agent.counters.malformed;
        // A copy of exactly n bytes, so a sanitizer sees any read past the cut.
        const QByteArray cut(req.constData(), n);
        QCOMPARE(a.handle(cut).size(), 0);
        QCOMPARE(a.agent.counters.malformed, before + 1);
    }
    QCOMPARE(a.model.lastKey(), uint8_t(req.at(req.size() - 1) == 0x17 ? 23 : 0));
}

void TestSnmpAgent::randomGarbageIsDropped()
{
    Agent a;
    QRandomGenerator random(20240607);
    const int rounds = 20000;
    for (int i = 0; i < rounds; ++i) {
        QByteArray junk(int(random.bounded(600)), 0);
        for (char &ch : junk)
            ch = char(random.bounded(256));
        // Half of them start like a message, to get past the first check.
        if (junk.size() > 2 && (i & 1)) {
            junk[0] = char(0x30);
            junk[1] = char(junk.size() - 2 < 128 ? junk.size() - 2 : 0x82);
        }
        QCOMPARE(a.handle(junk).size(), 0);
    }
    QCOMPARE(a.agent.counters.requests, uint64_t(rounds));
    QCOMPARE(a.agent.counters.replies, 0u);
    QCOMPARE(a.agent.counters.malformed, uint64_t(rounds));
}

void TestSnmpAgent::mutatedRequestsNeverCrash()
{
    // Valid requests with a few bytes changed: whatever the agent makes of them, a reply it sends
    // is one well-formed GetResponse that fits, and every request is counted once.
    Agent a;
    QRandomGenerator random(77);
    const QByteArray seeds[] = {
        get(FirstBlockOid), getNext(KeyOid), setKey(hex("040115")),
        request(0xA0, binding(KeyOid) + binding(SecondBlockOid), hex("02041a2b3c4d"))};
    const int rounds = 20000;
    for (int i = 0; i < rounds; ++i) {
        QByteArray req = seeds[i % 4];
        const int changes = 1 + int(random.bounded(4));
        for (int k = 0; k < changes; ++k)
            req[int(random.bounded(req.size()))] = char(random.bounded(256));
        const QByteArray reply = a.handle(req, 1472);
        if (!reply.isEmpty()) {
            QCOMPARE(uint8_t(reply.at(0)), uint8_t(0x30));
            QVERIFY(reply.size() <= 1472);
            QVERIFY(reply.contains(char(0xA2)));
        }
    }
    const AgentCounters &c = a.agent.counters;
    QCOMPARE(c.requests, uint64_t(rounds));
    QCOMPARE(c.replies + c.malformed + c.badVersion + c.badCommunity, uint64_t(rounds));
}

void TestSnmpAgent::handlingAllocatesNothing()
{
    Agent a;
    const QByteArray requests[] = {get(FirstBlockOid),
                                   get(SecondBlockOid),
                                   getNext(KeyOid),
                                   setKey(hex("040115")),
                                   get(hex("2b0601")),
                                   setKey(hex("0401ff")),
                                   request(0xA0, binding(FirstBlockOid), hex("020100"), "public"),
                                   QByteArray(get(FirstBlockOid)).left(20)};
    if (!allocationCountWorks())
        QSKIP("no way to count allocations with this C library");
    countThisThread();
    const long before = long(countedThreadAllocations());
    for (int i = 0; i < 10000; ++i) {
        const QByteArray &req = requests[i % 8];
        a.agent.handle(reinterpret_cast<const uint8_t *>(req.constData()), int(req.size()), a.reply,
                       int(sizeof a.reply));
    }
    const long taken = long(countedThreadAllocations()) - before;
    QCOMPARE(taken, 0L);
    QCOMPARE(a.agent.counters.requests, 10000u);
    QCOMPARE(a.agent.counters.malformed, 1250u);
}

QTEST_GUILESS_MAIN(TestSnmpAgent)
#include "tst_snmpagent.moc"
