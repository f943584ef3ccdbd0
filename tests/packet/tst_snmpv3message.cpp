// The SNMPv3 message with USM parameters: net-snmp's own discovery probe read and written back
// byte for byte, round trips at every security level, and hostile datagrams refused without a
// byte read past their end.
#include "snmpv3message.h"

#include <QByteArray>
#include <QTest>

#include <cstring>

namespace {

// What net-snmp's snmpget -v3 sends first: an empty engine id and user, reportable, a
// GetRequest with no bindings, msgMaxSize 65507 (an INTEGER that needs its leading zero).
const QByteArray netSnmpProbe = QByteArray::fromHex(
    "303e020103301102042c150ac7020300ffe30401040201030410300e0400020100020100040004000400301404"
    "000400a00e020429a80a4f0201000201003000");

const uint8_t *bytes(const QByteArray &a)
{
    return reinterpret_cast<const uint8_t *>(a.constData());
}

SnmpV3::UsmParameters usm(const QByteArray &engine, int boots, int time, const QByteArray &user,
                          int authLength, int privLength)
{
    SnmpV3::UsmParameters p;
    std::memcpy(p.engineId, engine.constData(), size_t(engine.size()));
    p.engineIdLength = int(engine.size());
    p.engineBoots = boots;
    p.engineTime = time;
    std::memcpy(p.userName, user.constData(), size_t(user.size()));
    p.userNameLength = int(user.size());
    std::memset(p.auth, 0, sizeof p.auth);
    p.authLength = authLength;
    std::memset(p.priv, 0x5A, sizeof p.priv);
    p.privLength = privLength;
    return p;
}

QByteArray written(const SnmpV3::Header &h, const SnmpV3::UsmParameters &p, const QByteArray &data,
                   int *authOffset = nullptr)
{
    uint8_t out[2048];
    const int n = SnmpV3::write(out, sizeof out, h, p, bytes(data), int(data.size()), authOffset);
    return QByteArray(reinterpret_cast<const char *>(out), n);
}

} // namespace

class TestSnmpV3Message : public QObject
{
    Q_OBJECT

private slots:
    void netSnmpProbeReadAndWrittenBack();
    void roundTrips_data();
    void roundTrips();
    void hostile_data();
    void hostile();
    void everyCutRefused();
    void reportsNamed_data();
    void reportsNamed();
};

void TestSnmpV3Message::netSnmpProbeReadAndWrittenBack()
{
    SnmpV3::Message m;
    const char *error = nullptr;
    QVERIFY2(SnmpV3::read(bytes(netSnmpProbe), int(netSnmpProbe.size()), &m, &error), error);
    QCOMPARE(m.header.messageId, 0x2c150ac7);
    QCOMPARE(m.header.maxSize, 65507);
    QCOMPARE(int(m.header.flags), int(SnmpV3::ReportableFlag));
    QCOMPARE(m.header.securityModel, 3);
    QCOMPARE(m.usm.engineIdLength, 0);
    QCOMPARE(m.usm.userNameLength, 0);
    QCOMPARE(m.authOffset, -1);
    QVERIFY(!m.encrypted);

    const uint8_t *context, *pdu;
    int contextLength, pduLength;
    QVERIFY2(SnmpV3::readScopedPdu(m.data, m.dataLength, &context, &contextLength, &pdu,
                                   &pduLength, &error),
             error);
    QCOMPARE(contextLength, 0);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(pdu), pduLength).toHex(),
             QByteArray("a00e020429a80a4f0201000201003000"));

    // Written back from what was read: the same bytes, net-snmp's minimal encodings and all.
    uint8_t scoped[256];
    const int scopedLength = SnmpV3::writeScopedPdu(scoped, sizeof scoped, context, contextLength,
                                                    pdu, pduLength);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(scoped), scopedLength),
             QByteArray(reinterpret_cast<const char *>(m.data), m.dataLength));
    QCOMPARE(written(m.header, m.usm, QByteArray(reinterpret_cast<const char *>(m.data), m.dataLength)),
             netSnmpProbe);
}

void TestSnmpV3Message::roundTrips_data()
{
    QTest::addColumn<int>("flags");
    QTest::addColumn<QByteArray>("engine");
    QTest::addColumn<int>("boots");
    QTest::addColumn<int>("time");
    QTest::addColumn<int>("authLength");
    QTest::addColumn<int>("privLength");
    QTest::addColumn<int>("dataLength");

    const QByteArray engine = QByteArray::fromHex("80001f8880e9bd0c1d12667a5100000000");
    QTest::newRow("discovery") << int(SnmpV3::ReportableFlag) << QByteArray() << 0 << 0 << 0 << 0 << 20;
    QTest::newRow("authNoPriv, SHA-1") << int(SnmpV3::AuthFlag | SnmpV3::ReportableFlag) << engine
                                       << 7 << 123456 << 12 << 0 << 60;
    QTest::newRow("authPriv, SHA-512, long")
        << int(SnmpV3::AuthFlag | SnmpV3::PrivFlag | SnmpV3::ReportableFlag)
        << engine << 0x7FFFFFFF << 0x7FFFFFFF << 48 << 8 << 400;
    QTest::newRow("authPriv, 32-octet engine id")
        << int(SnmpV3::AuthFlag | SnmpV3::PrivFlag) << QByteArray(32, '\x81') << 128 << 32768
        << 24 << 8 << 127;
}

void TestSnmpV3Message::roundTrips()
{
    QFETCH(int, flags);
    QFETCH(QByteArray, engine);
    QFETCH(int, boots);
    QFETCH(int, time);
    QFETCH(int, authLength);
    QFETCH(int, privLength);
    QFETCH(int, dataLength);

    SnmpV3::Header h;
    h.messageId = 0x12345;
    h.flags = uint8_t(flags);
    const SnmpV3::UsmParameters p = usm(engine, boots, time, "frontpanel", authLength, privLength);
    // Plaintext data is a scoped PDU; encrypted data is any bytes.
    QByteArray data;
    if (flags & SnmpV3::PrivFlag) {
        for (int i = 0; i < dataLength; ++i)
            data.append(char(i * 37));
    } else {
        const QByteArray pdu = QByteArray::fromHex("a0") + char(dataLength) + QByteArray(dataLength, '\x05');
        uint8_t scoped[512];
        const int n = SnmpV3::writeScopedPdu(scoped, sizeof scoped, bytes(engine), int(engine.size()),
                                             bytes(pdu), int(pdu.size()));
        QVERIFY(n > 0);
        data = QByteArray(reinterpret_cast<const char *>(scoped), n);
    }
    int authOffset = -2;
    const QByteArray message = written(h, p, data, &authOffset);
    QVERIFY(!message.isEmpty());

    SnmpV3::Message m;
    const char *error = nullptr;
    QVERIFY2(SnmpV3::read(bytes(message), int(message.size()), &m, &error), error);
    QCOMPARE(m.header.messageId, h.messageId);
    QCOMPARE(int(m.header.flags), flags);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(m.usm.engineId), m.usm.engineIdLength), engine);
    QCOMPARE(m.usm.engineBoots, boots);
    QCOMPARE(m.usm.engineTime, time);
    QCOMPARE(QByteArray(m.usm.userName, m.usm.userNameLength), QByteArray("frontpanel"));
    QCOMPARE(m.usm.authLength, authLength);
    QCOMPARE(m.usm.privLength, privLength);
    QCOMPARE(m.authOffset, authLength > 0 ? authOffset : -1);
    QCOMPARE(m.encrypted, bool(flags & SnmpV3::PrivFlag));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(m.data), m.dataLength), data);
    // The authentication parameter sits where the writer said, as zeros to be filled.
    if (authLength > 0)
        QCOMPARE(message.mid(authOffset, authLength), QByteArray(authLength, '\0'));

    // Too small a buffer: nothing written.
    uint8_t small[64];
    QCOMPARE(SnmpV3::write(small, sizeof small, h, p, bytes(data), int(data.size()), nullptr),
             message.size() <= 64 ? int(message.size()) : 0);
}

void TestSnmpV3Message::hostile_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QByteArray>("error");

    const QByteArray p = netSnmpProbe;
    auto replaced = [&](int at, const char *hex) {
        QByteArray b = p;
        const QByteArray with = QByteArray::fromHex(hex);
        b.replace(at, with.size(), with);
        return b;
    };
    QTest::newRow("empty") << QByteArray() << QByteArray("empty datagram");
    QTest::newRow("trailing byte") << p + '\0' << QByteArray("not one BER sequence");
    QTest::newRow("version 1") << replaced(4, "01") << QByteArray("not an SNMPv3 message");
    QTest::newRow("indefinite length") << replaced(1, "80") << QByteArray("not one BER sequence");
    QTest::newRow("length past the end") << replaced(1, "3f") << QByteArray("not one BER sequence");
    QTest::newRow("negative message id") << replaced(9, "ac") << QByteArray("malformed msgGlobalData");
    QTest::newRow("maxSize below 484") << replaced(15, "000001") << QByteArray("malformed msgGlobalData");
    QTest::newRow("privacy without authentication")
        << replaced(20, "06") << QByteArray("msgFlags ask for privacy without authentication");
    QTest::newRow("another security model") << replaced(23, "02") << QByteArray("not the user-based security model");
    QTest::newRow("priv parameter of 1 octet")
        << QByteArray::fromHex("303f020103301102042c150ac7020300ffe30401040201030411300f04000201000201000400040004"
                               "0100301404000400a00e020429a80a4f0201000201003000")
        << QByteArray("malformed USM parameters");
    QTest::newRow("user name of 33 octets")
        << QByteArray::fromHex("305f020103301102042c150ac7020300ffe30401040201030431302f040002010002010004"
                               "21" + QByteArray(33, 'a').toHex() + "04000400301404000400a00e020429a80a4f0201000201003000")
        << QByteArray("malformed USM parameters");
}

void TestSnmpV3Message::hostile()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QByteArray, error);
    // The datagram alone in a buffer of its own size: ASan sees any read past it.
    QByteArray exact(datagram);
    SnmpV3::Message m;
    const char *why = nullptr;
    QVERIFY(!SnmpV3::read(bytes(exact), int(exact.size()), &m, &why));
    QCOMPARE(QByteArray(why), error);
}

void TestSnmpV3Message::everyCutRefused()
{
    for (int n = 0; n < netSnmpProbe.size(); ++n) {
        QByteArray cut = netSnmpProbe.left(n);
        SnmpV3::Message m;
        const char *why = nullptr;
        QVERIFY2(!SnmpV3::read(n ? bytes(cut) : nullptr, n, &m, &why), qPrintable(QString::number(n)));
        QVERIFY(why != nullptr);
    }
}

void TestSnmpV3Message::reportsNamed_data()
{
    QTest::addColumn<QByteArray>("pdu");
    QTest::addColumn<int>("stat");
    // A Report PDU around one binding: the name's content bytes, a Counter32 of 5.
    auto report = [](const char *requestId, const char *name) {
        const QByteArray oid = QByteArray::fromHex(name);
        const QByteArray binding = QByteArray("\x06", 1) + char(oid.size()) + oid +
                                   QByteArray::fromHex("410105");
        const QByteArray list = QByteArray("\x30", 1) + char(binding.size() + 2) + "\x30" +
                                char(binding.size()) + binding;
        const QByteArray body = QByteArray::fromHex(requestId) + QByteArray::fromHex("020100020100") + list;
        return QByteArray("\xa8", 1) + char(body.size()) + body;
    };
    const char *id = "0204 29a80a4f";
    QTest::newRow("unknown engine id") << report(id, "2b060106030f01010400") << int(SnmpV3::UsmStat::UnknownEngineIds);
    QTest::newRow("not in time window") << report(id, "2b060106030f01010200") << int(SnmpV3::UsmStat::NotInTimeWindows);
    QTest::newRow("decryption error") << report(id, "2b060106030f01010600") << int(SnmpV3::UsmStat::DecryptionErrors);
    QTest::newRow("negative request id") << report("0201ff", "2b060106030f01010300") << int(SnmpV3::UsmStat::UnknownUserNames);
    QTest::newRow("a counter USM does not have") << report(id, "2b060106030f01010700") << int(SnmpV3::UsmStat::None);
    QTest::newRow("counter zero") << report(id, "2b060106030f01010000") << int(SnmpV3::UsmStat::None);
    QTest::newRow("not the instance") << report(id, "2b060106030f01010401") << int(SnmpV3::UsmStat::None);
    QTest::newRow("another object") << report(id, "2b06010201010300") << int(SnmpV3::UsmStat::None);
    QByteArray response = report(id, "2b060106030f01010400");
    response[0] = char(0xA2);
    QTest::newRow("a GetResponse, not a Report") << response << int(SnmpV3::UsmStat::None);
    QTest::newRow("no binding") << QByteArray::fromHex("a80f020429a80a4f0201000201003000") << int(SnmpV3::UsmStat::None);
}

// The counter a Report names, and nothing from any cut of it: every prefix is refused.
void TestSnmpV3Message::reportsNamed()
{
    QFETCH(QByteArray, pdu);
    QFETCH(int, stat);
    QCOMPARE(int(SnmpV3::reportedStat(bytes(pdu), int(pdu.size()))), stat);
    for (int cut = 0; cut < pdu.size(); ++cut) {
        const QByteArray part = pdu.left(cut);
        QCOMPARE(int(SnmpV3::reportedStat(bytes(part), cut)), int(SnmpV3::UsmStat::None));
    }
}

QTEST_APPLESS_MAIN(TestSnmpV3Message)
#include "tst_snmpv3message.moc"
