// The requests NtcipPacket builds, read back by net-snmp's own parser.
#include "netsnmpdecoder.h"
#include "ntcippacket.h"
#include "snmpbytes.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QTest>

#include <climits>

namespace {

using SnmpBytes::FirstBlockOid;
using SnmpBytes::KeyOid;

QByteArray frameBytes(const NtcipPacket &p)
{
    return QByteArray(reinterpret_cast<const char *>(p.frame), p.frameLength);
}

// The checks every message of ours must pass: one SNMPv1 binding, community "harbor",
// request id 0, no error, the OID given.
void checkEnvelope(const DecodedMessage &m, int pduType, const QString &oid)
{
    QVERIFY(m.parsed);
    QCOMPARE(m.version, 0L);
    QCOMPARE(m.community, QByteArray("harbor"));
    QCOMPARE(m.pduType, pduType);
    QCOMPARE(m.requestId, 0L);
    QCOMPARE(m.errorStatus, 0L);
    QCOMPARE(m.errorIndex, 0L);
    QCOMPARE(m.bindingCount, 1);
    QCOMPARE(m.oid, oid);
}

DecodedMessage buildSetAndDecode(NtcipPacket &p)
{
    p.setOid(KeyOid);
    p.buildSet();
    return decodeWithNetSnmp(frameBytes(p));
}

} // namespace

class TestNetSnmp : public QObject
{
    Q_OBJECT

private slots:
    void getRequest();
    void getNextRequests();
    void requestOids_data();
    void requestOids();
    void setOctetString_data();
    void setOctetString();
    void setInteger_data();
    void setInteger();
    void randomIntegers();
    void setUnsigned_data();
    void setUnsigned();
    void randomCountersAndGauges();
    void setOidValue_data();
    void setOidValue();
};

void TestNetSnmp::getRequest()
{
    NtcipPacket p;
    p.setOid(FirstBlockOid);
    p.buildGet();
    QCOMPARE(p.frameLength, 47);
    const DecodedMessage m = decodeWithNetSnmp(frameBytes(p));
    checkEnvelope(m, 0xA0, FirstBlockOid);
    QCOMPARE(m.valueType, 0x05); // NULL
}

void TestNetSnmp::getNextRequests()
{
    NtcipPacket p;
    p.setOid(KeyOid);
    p.buildGetNext();
    checkEnvelope(decodeWithNetSnmp(frameBytes(p)), 0xA1, KeyOid);

    // The form with explicit bytes: 1.3.6.1.4.1.1206, whatever oid holds.
    const uint8_t enterprise[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x89, 0x36};
    p.buildGetNext(int32_t(sizeof enterprise), enterprise);
    const DecodedMessage m = decodeWithNetSnmp(frameBytes(p));
    checkEnvelope(m, 0xA1, "1.3.6.1.4.1.1206");
    QCOMPARE(m.valueType, 0x05);
}

void TestNetSnmp::requestOids_data()
{
    QTest::addColumn<QString>("oid");
    QTest::newRow("display row") << QString(FirstBlockOid);
    QTest::newRow("arcs 127 and 128") << QStringLiteral("1.3.6.1.4.1.127.128");
    QTest::newRow("arc 16383, last two-byte arc") << QStringLiteral("1.3.6.1.4.1.16383.0");
    QTest::newRow("enterprise above 16383") << QStringLiteral("1.3.6.1.4.1.41112.1.4");
    QTest::newRow("largest arc") << QStringLiteral("1.3.6.1.4294967295");
    QTest::newRow("first arc 2 with a large second") << QStringLiteral("2.999.1");
}

void TestNetSnmp::requestOids()
{
    QFETCH(QString, oid);
    NtcipPacket p;
    QCOMPARE(p.setOid(oid.toLatin1().constData()), 1);
    p.buildGet();
    checkEnvelope(decodeWithNetSnmp(frameBytes(p)), 0xA0, oid);
    p.buildGetNext();
    checkEnvelope(decodeWithNetSnmp(frameBytes(p)), 0xA1, oid);
}

void TestNetSnmp::setOctetString_data()
{
    QTest::addColumn<int>("length");
    QTest::newRow("empty value") << 0;
    QTest::newRow("one byte, a key code") << 1;
    QTest::newRow("126 bytes, last one-byte length") << 126;
    QTest::newRow("127 bytes, written 81 7F") << 127;
    QTest::newRow("255 bytes, last two-byte length") << 255;
    QTest::newRow("256 bytes, written 82 01 00") << 256;
}

void TestNetSnmp::setOctetString()
{
    QFETCH(int, length);
    QRandomGenerator rng(uint32_t(length) + 11);
    QByteArray value(length, '\0');
    for (int i = 0; i < length; ++i)
        value[i] = char(rng.bounded(256));
    NtcipPacket p;
    p.setOctetString(reinterpret_cast<const uint8_t *>(value.constData()), length);
    const DecodedMessage m = buildSetAndDecode(p);
    checkEnvelope(m, 0xA3, KeyOid);
    QCOMPARE(m.valueType, 0x04);
    QCOMPARE(m.valueBytes, value);
}

void TestNetSnmp::setInteger_data()
{
    QTest::addColumn<int>("v");
    QTest::newRow("0") << 0;
    QTest::newRow("127") << 127;
    QTest::newRow("128") << 128;
    QTest::newRow("0x4000, written 00 40 00") << 0x4000;
    QTest::newRow("0x200000, written 00 20 00 00") << 0x200000;
    QTest::newRow("0x10000000, written with five bytes") << 0x10000000;
    QTest::newRow("INT_MAX") << INT_MAX;
    QTest::newRow("-1") << -1;
    QTest::newRow("-128") << -128;
    QTest::newRow("-129") << -129;
    QTest::newRow("-0x4001, written FF BF FF") << -0x4001;
    QTest::newRow("-0x10000000") << -0x10000000;
    QTest::newRow("-0x10000001, below the four-byte range") << -0x10000001;
    QTest::newRow("-0x7FFFFFFF") << -0x7FFFFFFF;
    QTest::newRow("INT_MIN") << INT_MIN;
}

void TestNetSnmp::setInteger()
{
    QFETCH(int, v);
    NtcipPacket p;
    p.setInteger(v);
    const DecodedMessage m = buildSetAndDecode(p);
    checkEnvelope(m, 0xA3, KeyOid);
    QCOMPARE(m.valueType, 0x02);
    QCOMPARE(m.integer, (long long)v);
}

void TestNetSnmp::randomIntegers()
{
    QRandomGenerator rng(0x5E7);
    NtcipPacket p;
    for (int i = 0; i < 3000; ++i) {
        const int bits = int(rng.bounded(33));
        const uint32_t magnitude = bits == 0 ? 0 : rng.generate() >> (32 - bits);
        const int32_t v = rng.bounded(2) ? int32_t(magnitude) : int32_t(~magnitude);
        p.setInteger(v);
        const DecodedMessage m = buildSetAndDecode(p);
        QVERIFY(m.parsed);
        QCOMPARE(m.valueType, 0x02);
        QCOMPARE(m.integer, (long long)v);
    }
}

void TestNetSnmp::setUnsigned_data()
{
    QTest::addColumn<uint>("u");
    QTest::addColumn<int>("type");
    QTest::newRow("counter 0") << 0u << 0x41;
    QTest::newRow("counter 0xFFFFFFFF") << 0xFFFFFFFFu << 0x41;
    QTest::newRow("counter 0x80000000") << 0x80000000u << 0x41;
    QTest::newRow("gauge 200") << 200u << 0x42;
    QTest::newRow("gauge 0x0FFFFFFF") << 0x0FFFFFFFu << 0x42;
    QTest::newRow("gauge 0x10000000") << 0x10000000u << 0x42;
}

void TestNetSnmp::setUnsigned()
{
    QFETCH(uint, u);
    QFETCH(int, type);
    NtcipPacket p;
    if (type == 0x41)
        p.setCounter(u);
    else
        p.setGauge(u);
    const DecodedMessage m = buildSetAndDecode(p);
    checkEnvelope(m, 0xA3, KeyOid);
    QCOMPARE(m.valueType, type);
    QCOMPARE(m.unsignedValue, (unsigned long long)u);
}

void TestNetSnmp::randomCountersAndGauges()
{
    QRandomGenerator rng(0xC6);
    NtcipPacket p;
    for (int i = 0; i < 3000; ++i) {
        const int bits = int(rng.bounded(33));
        const uint32_t u = bits == 0 ? 0 : rng.generate() >> (32 - bits);
        if (i % 2)
            p.setCounter(u);
        else
            p.setGauge(u);
        const DecodedMessage m = buildSetAndDecode(p);
        QVERIFY(m.parsed);
        QCOMPARE(m.valueType, i % 2 ? 0x41 : 0x42);
        QCOMPARE(m.unsignedValue, (unsigned long long)u);
    }
}

void TestNetSnmp::setOidValue_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("decoded");
    QTest::newRow("enterprise 1206")
        << QStringLiteral("1.3.6.1.4.1.1206") << QStringLiteral("1.3.6.1.4.1.1206");
    QTest::newRow("one arc 1 is 1.0 in BER") << QStringLiteral("1") << QStringLiteral("1.0");
    QTest::newRow("key OID") << QString(KeyOid) << QString(KeyOid);
    QTest::newRow("arc 16384, three bytes")
        << QStringLiteral("1.3.6.1.4.1.16384") << QStringLiteral("1.3.6.1.4.1.16384");
    QTest::newRow("largest arc") << QStringLiteral("1.3.4294967295")
                                 << QStringLiteral("1.3.4294967295");
    QTest::newRow("first arc 2, second 100")
        << QStringLiteral("2.100.7") << QStringLiteral("2.100.7");
}

void TestNetSnmp::setOidValue()
{
    QFETCH(QString, text);
    QFETCH(QString, decoded);
    NtcipPacket p;
    QCOMPARE(p.setOidValue(text.toLatin1().constData()), 1);
    const DecodedMessage m = buildSetAndDecode(p);
    checkEnvelope(m, 0xA3, KeyOid);
    QCOMPARE(m.valueType, 0x06);
    QCOMPARE(m.oidValue, decoded);
}

QTEST_APPLESS_MAIN(TestNetSnmp)
#include "tst_netsnmp.moc"
