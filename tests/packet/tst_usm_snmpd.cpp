// Our SNMPv3 message, keys and crypto against net-snmp's agent as the judge: snmpd on a loopback
// port with users of its own configuration. Discovery by an empty probe, then an authPriv
// GetRequest for sysDescr.0 whose answer must pass our HMAC check and decrypt to a GetResponse;
// a wrong passphrase gets the agent's wrong-digest Report.
#include "snmpbytes.h"
#include "snmpdprocess.h"
#include "snmpv3message.h"
#include "usmcrypto.h"
#include "usmkeys.h"

#include <QNetworkProxy>
#include <QUdpSocket>
#include <QtTest>

#include <cstring>

namespace {

constexpr int Patience = 20000;
// sysDescr.0.
const QByteArray SysDescr = QByteArray::fromHex("2b06010201010100");

const uint8_t *bytes(const QByteArray &a)
{
    return reinterpret_cast<const uint8_t *>(a.constData());
}

using SnmpBytes::tlv;

// A GetRequest PDU for the OID (its content bytes), or with no binding at all.
QByteArray getRequest(int requestId, const QByteArray &oid)
{
    const QByteArray bindings =
        oid.isEmpty() ? QByteArray() : tlv(0x30, tlv(0x06, oid) + QByteArray::fromHex("0500"));
    return tlv(0xA0, tlv(0x02, QByteArray(1, char(requestId))) + QByteArray::fromHex("020100020100") +
                         tlv(0x30, bindings));
}

struct User
{
    QByteArray name;
    AuthProtocol auth;
    QByteArray authName;
    PrivProtocol priv;
    QByteArray privName;
};

} // namespace

class TestUsmSnmpd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void authPrivGet_data();
    void authPrivGet();

private:
    // Sends the datagram until an answer comes (snmpd drops what comes in its first moments).
    QByteArray exchange(const QByteArray &datagram);

    SnmpdProcess agent;
    quint16 port = 0;
};

void TestUsmSnmpd::initTestCase()
{
    if (SnmpdProcess::program().isEmpty())
        QSKIP("snmpd is not installed (Debian package snmpd; scripts/deps.sh test)");
    port = agent.start("createUser u256 SHA-256 authpass256 AES privpass256\nrouser u256 priv\n"
                       "createUser u512 SHA-512 authpass512 AES256 privpass512\nrouser u512 priv\n"
                       "createUser u224 SHA-224 authpass224 AES192 privpass224\nrouser u224 priv\n"
                       "createUser u1 SHA authpass001 AES privpass001\nrouser u1 priv\n");
    QVERIFY2(port != 0, "snmpd did not start");
}

QByteArray TestUsmSnmpd::exchange(const QByteArray &datagram)
{
    QUdpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    if (!socket.bind(QHostAddress::LocalHost, 0))
        return QByteArray();
    QByteArray answer;
    QElapsedTimer timer;
    timer.start();
    qint64 lastSent = -1000;
    while (answer.isEmpty() && timer.elapsed() < Patience && agent.running()) {
        if (timer.elapsed() - lastSent >= 500) {
            socket.writeDatagram(datagram, QHostAddress::LocalHost, port);
            lastSent = timer.elapsed();
        }
        if (socket.waitForReadyRead(50)) {
            answer.resize(4096);
            answer.resize(int(qMax<qint64>(0, socket.readDatagram(answer.data(), answer.size()))));
        }
    }
    return answer;
}

void TestUsmSnmpd::authPrivGet_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<int>("auth");
    QTest::addColumn<QByteArray>("authPassphrase");
    QTest::addColumn<int>("priv");
    QTest::addColumn<QByteArray>("privPassphrase");

    QTest::newRow("SHA-256, AES-128") << QByteArray("u256") << int(AuthProtocol::Sha256)
                                      << QByteArray("authpass256") << int(PrivProtocol::Aes128)
                                      << QByteArray("privpass256");
    QTest::newRow("SHA-512, AES-256") << QByteArray("u512") << int(AuthProtocol::Sha512)
                                      << QByteArray("authpass512") << int(PrivProtocol::Aes256)
                                      << QByteArray("privpass512");
    QTest::newRow("SHA-224, AES-192") << QByteArray("u224") << int(AuthProtocol::Sha224)
                                      << QByteArray("authpass224") << int(PrivProtocol::Aes192)
                                      << QByteArray("privpass224");
    QTest::newRow("SHA-1, AES-128") << QByteArray("u1") << int(AuthProtocol::Sha1)
                                    << QByteArray("authpass001") << int(PrivProtocol::Aes128)
                                    << QByteArray("privpass001");
    QTest::newRow("wrong passphrase") << QByteArray("u256") << int(AuthProtocol::Sha256)
                                      << QByteArray("authpass25x") << int(PrivProtocol::Aes128)
                                      << QByteArray("privpass256");
}

void TestUsmSnmpd::authPrivGet()
{
    QFETCH(QByteArray, user);
    QFETCH(int, auth);
    QFETCH(QByteArray, authPassphrase);
    QFETCH(int, priv);
    QFETCH(QByteArray, privPassphrase);
    const AuthProtocol a = AuthProtocol(auth);
    const PrivProtocol p = PrivProtocol(priv);
    const bool wrong = authPassphrase.endsWith('x');

    // Discovery: an empty engine id and user, reportable.
    SnmpV3::Header header;
    header.messageId = 1001;
    header.maxSize = 65507;
    header.flags = SnmpV3::ReportableFlag;
    SnmpV3::UsmParameters usm;
    uint8_t scoped[512], message[1024];
    const QByteArray probePdu = getRequest(1, QByteArray());
    int scopedLength = SnmpV3::writeScopedPdu(scoped, sizeof scoped, nullptr, 0, bytes(probePdu),
                                              int(probePdu.size()));
    int length = SnmpV3::write(message, sizeof message, header, usm, scoped, scopedLength, nullptr);
    QVERIFY(length > 0);
    const QByteArray report = exchange(QByteArray(reinterpret_cast<const char *>(message), length));
    QVERIFY2(!report.isEmpty(), "snmpd did not answer the discovery probe");
    SnmpV3::Message r;
    const char *error = nullptr;
    QVERIFY2(SnmpV3::read(bytes(report), int(report.size()), &r, &error), error);
    QVERIFY(r.usm.engineIdLength >= 5);
    const uint8_t *context, *pdu;
    int contextLength, pduLength;
    QVERIFY2(SnmpV3::readScopedPdu(r.data, r.dataLength, &context, &contextLength, &pdu, &pduLength,
                                   &error),
             error);
    QCOMPARE(int(SnmpV3::reportedStat(pdu, pduLength)), int(SnmpV3::UsmStat::UnknownEngineIds));

    // The keys, localised to the engine id the agent told.
    uint8_t ku[UsmKeys::MaxKeyLength], authKey[UsmKeys::MaxKeyLength], privKu[UsmKeys::MaxKeyLength],
        privLocal[UsmKeys::MaxKeyLength], privKey[32];
    QVERIFY(UsmKeys::passphraseToKey(a, bytes(authPassphrase), size_t(authPassphrase.size()), ku));
    QVERIFY(UsmKeys::localizeKey(a, ku, r.usm.engineId, size_t(r.usm.engineIdLength), authKey));
    QVERIFY(UsmKeys::passphraseToKey(a, bytes(privPassphrase), size_t(privPassphrase.size()), privKu));
    QVERIFY(UsmKeys::localizeKey(a, privKu, r.usm.engineId, size_t(r.usm.engineIdLength), privLocal));
    QVERIFY(UsmKeys::privacyKey(a, privLocal, UsmCrypto::privKeyLength(p), privKey));
    UsmCrypto crypto;
    QVERIFY(crypto.setKeys(a, authKey, p, privKey));

    // The authPriv GetRequest.
    header.messageId = 1002;
    header.flags = SnmpV3::AuthFlag | SnmpV3::PrivFlag | SnmpV3::ReportableFlag;
    std::memcpy(usm.engineId, r.usm.engineId, size_t(r.usm.engineIdLength));
    usm.engineIdLength = r.usm.engineIdLength;
    usm.engineBoots = r.usm.engineBoots;
    usm.engineTime = r.usm.engineTime;
    std::memcpy(usm.userName, user.constData(), size_t(user.size()));
    usm.userNameLength = int(user.size());
    usm.authLength = crypto.macLength();
    std::memset(usm.auth, 0, sizeof usm.auth);
    usm.privLength = SnmpV3::PrivLength;
    std::memcpy(usm.priv, "\x01\x23\x45\x67\x89\xab\xcd\xef", 8);
    const QByteArray getPdu = getRequest(2, SysDescr);
    scopedLength = SnmpV3::writeScopedPdu(scoped, sizeof scoped, usm.engineId, usm.engineIdLength,
                                          bytes(getPdu), int(getPdu.size()));
    uint8_t encrypted[512];
    QVERIFY(crypto.encrypt(scoped, scopedLength, encrypted, usm.engineBoots, usm.engineTime, usm.priv));
    int authOffset = 0;
    length = SnmpV3::write(message, sizeof message, header, usm, encrypted, scopedLength, &authOffset);
    QVERIFY(length > 0 && crypto.sign(message, length, authOffset));
    QByteArray answer = exchange(QByteArray(reinterpret_cast<const char *>(message), length));
    QVERIFY2(!answer.isEmpty(), "snmpd did not answer the authPriv GetRequest");
    SnmpV3::Message g;
    QVERIFY2(SnmpV3::read(bytes(answer), int(answer.size()), &g, &error), error);

    if (wrong) {
        // Unauthenticated and in clear: a Report of usmStatsWrongDigests.
        QVERIFY(!(g.header.flags & SnmpV3::AuthFlag));
        QVERIFY(!g.encrypted);
        QVERIFY2(SnmpV3::readScopedPdu(g.data, g.dataLength, &context, &contextLength, &pdu,
                                       &pduLength, &error),
                 error);
        QCOMPARE(int(SnmpV3::reportedStat(pdu, pduLength)), int(SnmpV3::UsmStat::WrongDigests));
        return;
    }
    QVERIFY(g.header.flags & SnmpV3::AuthFlag);
    QVERIFY(g.encrypted);
    QCOMPARE(g.header.messageId, 1002);
    QVERIFY2(crypto.verify(reinterpret_cast<uint8_t *>(answer.data()), int(answer.size()), g.authOffset),
             "the agent's HMAC does not check out");
    uint8_t plain[1024];
    QVERIFY(crypto.decrypt(g.data, g.dataLength, plain, g.usm.engineBoots, g.usm.engineTime, g.usm.priv));
    QVERIFY2(SnmpV3::readScopedPdu(plain, g.dataLength, &context, &contextLength, &pdu, &pduLength, &error),
             error);
    QCOMPARE(int(pdu[0]), 0xA2); // a GetResponse, not a Report
    const QByteArray response(reinterpret_cast<const char *>(pdu), pduLength);
    QVERIFY(response.contains(SysDescr));
    // One bit changed in the agent's answer: our check refuses it.
    answer[answer.size() / 2] = char(answer[answer.size() / 2] ^ 0x10);
    QVERIFY(!crypto.verify(reinterpret_cast<uint8_t *>(answer.data()), int(answer.size()), g.authOffset));
}

QTEST_GUILESS_MAIN(TestUsmSnmpd)
#include "tst_usm_snmpd.moc"
