// A link's SNMPv3 crypto against published vectors: HMAC from RFC 2202 (MD5, SHA-1) and RFC 4231
// (SHA-224 to SHA-512), AES-CFB-128 from NIST SP 800-38A with its IV laid out as RFC 3826's
// boots, time and salt; then a signed message that fails its check after any one bit changes.
#include "snmpv3message.h"
#include "usmcrypto.h"

#include <QByteArray>
#include <QTest>

#include <cstring>

namespace {

const uint8_t *bytes(const QByteArray &a)
{
    return reinterpret_cast<const uint8_t *>(a.constData());
}

} // namespace

class TestUsmCrypto : public QObject
{
    Q_OBJECT

private slots:
    void hmacVectors_data();
    void hmacVectors();
    void aesCfbVectors_data();
    void aesCfbVectors();
    void signedMessageRefusesAnyChangedBit();
};

void TestUsmCrypto::hmacVectors_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QByteArray>("expected");
    // "Hi There" under a key of 0x0b octets as long as the hash (RFC 2202 test 1, RFC 4231 test 1
    // uses 20 octets for all: the key is padded to the block by HMAC).
    QTest::newRow("MD5, RFC 2202") << int(AuthProtocol::Md5) << QByteArray("9294727a3638bb1c13f48ef8158bfc9d");
    QTest::newRow("SHA-1, RFC 2202") << int(AuthProtocol::Sha1) << QByteArray("b617318655057264e28bc0b6fb378c8ef146be00");
    QTest::newRow("SHA-224, RFC 4231")
        << int(AuthProtocol::Sha224) << QByteArray("896fb1128abbdf196832107cd49df33f47b4b1169912ba4f53684b22");
    QTest::newRow("SHA-256, RFC 4231")
        << int(AuthProtocol::Sha256)
        << QByteArray("b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    QTest::newRow("SHA-512, RFC 4231")
        << int(AuthProtocol::Sha512)
        << QByteArray("87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e696c203a126854");
}

void TestUsmCrypto::hmacVectors()
{
    QFETCH(int, protocol);
    QFETCH(QByteArray, expected);
    const AuthProtocol p = AuthProtocol(protocol);
    // The key as the protocol's key length: RFC 2202's MD5 key is 16 octets, the others 20; for
    // SHA-224 and longer, 20 octets of 0x0b padded with zeros is the same HMAC key.
    uint8_t key[UsmKeys::MaxKeyLength] = {};
    std::memset(key, 0x0b, p == AuthProtocol::Md5 ? 16 : 20);
    UsmCrypto crypto;
    QVERIFY(crypto.setKeys(p, key, PrivProtocol::None, nullptr));
    uint8_t out[UsmKeys::MaxKeyLength];
    const QByteArray data = "Hi There";
    QVERIFY(crypto.mac(bytes(data), int(data.size()), out));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(out), UsmKeys::keyLength(p)).toHex(), expected);
    // The context is reused: the same answer again.
    QVERIFY(crypto.mac(bytes(data), int(data.size()), out));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(out), UsmKeys::keyLength(p)).toHex(), expected);
}

void TestUsmCrypto::aesCfbVectors_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("cipher");
    // SP 800-38A F.3.13, F.3.15, F.3.17: the first two blocks of the CFB128 examples.
    QTest::newRow("AES-128") << int(PrivProtocol::Aes128) << QByteArray("2b7e151628aed2a6abf7158809cf4f3c")
                             << QByteArray("3b3fd92eb72dad20333449f8e83cfb4ac8a64537a0b3a93fcde3cdad9f1ce58b");
    QTest::newRow("AES-192") << int(PrivProtocol::Aes192)
                             << QByteArray("8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b")
                             << QByteArray("cdc80d6fddf18cab34c25909c99a417467ce7f7f81173621961a2b70171d3d7a");
    QTest::newRow("AES-256") << int(PrivProtocol::Aes256)
                             << QByteArray("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4")
                             << QByteArray("dc7e84bfda79164b7ecd8486985d386039ffed143b28b1c832113c6331e5407b");
}

void TestUsmCrypto::aesCfbVectors()
{
    QFETCH(int, protocol);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, cipher);
    const QByteArray plain =
        QByteArray::fromHex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51");
    // SP 800-38A's IV 000102..0f as boots 0x00010203, time 0x04050607 and salt 08..0f.
    const uint8_t salt[8] = {8, 9, 10, 11, 12, 13, 14, 15};
    uint8_t authKey[20] = {};
    UsmCrypto crypto;
    QVERIFY(crypto.setKeys(AuthProtocol::Sha1, authKey, PrivProtocol(protocol),
                           bytes(QByteArray::fromHex(key))));
    uint8_t out[64];
    // An odd length too: CFB is a stream, and a PDU is any number of octets.
    for (int length : {32, 23}) {
        QVERIFY(crypto.encrypt(bytes(plain), length, out, 0x00010203, 0x04050607, salt));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(out), length).toHex(),
                 QByteArray::fromHex(cipher).left(length).toHex());
        QVERIFY(crypto.decrypt(out, length, out, 0x00010203, 0x04050607, salt));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(out), length), plain.left(length));
    }
}

void TestUsmCrypto::signedMessageRefusesAnyChangedBit()
{
    SnmpV3::Header header;
    header.messageId = 42;
    header.flags = SnmpV3::AuthFlag | SnmpV3::PrivFlag | SnmpV3::ReportableFlag;
    SnmpV3::UsmParameters usm;
    const QByteArray engine = QByteArray::fromHex("80001f8880e9bd0c1d12667a5100000000");
    std::memcpy(usm.engineId, engine.constData(), size_t(engine.size()));
    usm.engineIdLength = int(engine.size());
    usm.engineBoots = 3;
    usm.engineTime = 1234;
    std::memcpy(usm.userName, "fp", 2);
    usm.userNameLength = 2;
    usm.authLength = UsmKeys::macLength(AuthProtocol::Sha512);
    std::memset(usm.auth, 0, sizeof usm.auth);
    usm.privLength = 8;
    std::memcpy(usm.priv, "\0\0\0\0\0\0\0\x01", 8);

    uint8_t authKey[64], privKey[32];
    for (int i = 0; i < 64; ++i)
        authKey[i] = uint8_t(i);
    for (int i = 0; i < 32; ++i)
        privKey[i] = uint8_t(0xA0 + i);
    UsmCrypto crypto;
    QVERIFY(crypto.setKeys(AuthProtocol::Sha512, authKey, PrivProtocol::Aes256, privKey));
    // A GetRequest for the first display block, in its scoped PDU.
    const QByteArray pdu = QByteArray::fromHex(
        "a020020101020100020100301530130"
        "60f2b060104018936030502110c0102010500");
    uint8_t scopedBytes[128];
    const int scopedLength = SnmpV3::writeScopedPdu(scopedBytes, sizeof scopedBytes, usm.engineId,
                                                    usm.engineIdLength, bytes(pdu), int(pdu.size()));
    QVERIFY(scopedLength > 0);
    const QByteArray scoped(reinterpret_cast<const char *>(scopedBytes), scopedLength);
    uint8_t encrypted[128];
    QVERIFY(crypto.encrypt(bytes(scoped), int(scoped.size()), encrypted, 3, 1234, usm.priv));
    uint8_t message[512];
    int authOffset = 0;
    const int length = SnmpV3::write(message, sizeof message, header, usm, encrypted,
                                     int(scoped.size()), &authOffset);
    QVERIFY(length > 0);
    QVERIFY(crypto.sign(message, length, authOffset));
    QVERIFY(crypto.verify(message, length, authOffset));

    for (int bit = 0; bit < length * 8; ++bit) {
        message[bit / 8] ^= uint8_t(1 << (bit % 8));
        SnmpV3::Message m;
        const char *error = nullptr;
        // A changed bit either breaks the message's shape or its HMAC: never both pass.
        const bool read = SnmpV3::read(message, length, &m, &error);
        QVERIFY2(!(read && crypto.verify(message, length, m.authOffset)), qPrintable(QString::number(bit)));
        message[bit / 8] ^= uint8_t(1 << (bit % 8));
    }
    SnmpV3::Message m;
    const char *error = nullptr;
    QVERIFY(SnmpV3::read(message, length, &m, &error) && crypto.verify(message, length, m.authOffset));
    uint8_t plain[64];
    QVERIFY(crypto.decrypt(m.data, m.dataLength, plain, m.usm.engineBoots, m.usm.engineTime, m.usm.priv));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(plain), m.dataLength), scoped);
}

QTEST_APPLESS_MAIN(TestUsmCrypto)
#include "tst_usmcrypto.moc"
