// SNMPv3 keys against the published vectors: RFC 3414 A.3 ("maplesyrup" and engine id
// 00..02) for MD5 and SHA-1, which are known answers even though MD5 is never used, and the
// same passphrase and engine id under SHA-256.
#include "usmkeys.h"

#include <QByteArray>
#include <QTest>

class TestUsmKeys : public QObject
{
    Q_OBJECT

private slots:
    void publishedVectors_data();
    void publishedVectors();
    void refusals();
};

void TestUsmKeys::publishedVectors_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QByteArray>("ku");
    QTest::addColumn<QByteArray>("kul");
    QTest::addColumn<int>("mac");

    QTest::newRow("MD5, RFC 3414 A.3.1")
        << int(AuthProtocol::Md5) << QByteArray("9faf3283884e92834ebc9847d8edd963")
        << QByteArray("526f5eed9fcce26f8964c2930787d82b") << 12;
    QTest::newRow("SHA-1, RFC 3414 A.3.2")
        << int(AuthProtocol::Sha1) << QByteArray("9fb5cc0381497b3793528939ff788d5d79145211")
        << QByteArray("6695febc9288e36282235fc7151f128497b38f3f") << 12;
    QTest::newRow("SHA-256")
        << int(AuthProtocol::Sha256)
        << QByteArray("ab51014d1e077f6017df2b12bee5f5aa72993177e9bb569c4dff5a4ca0b4afac")
        << QByteArray("8982e0e549e866db361a6b625d84cccc11162d453ee8ce3a6445c2d6776f0f8b") << 24;
}

void TestUsmKeys::publishedVectors()
{
    QFETCH(int, protocol);
    QFETCH(QByteArray, ku);
    QFETCH(QByteArray, kul);
    QFETCH(int, mac);
    const AuthProtocol p = AuthProtocol(protocol);
    const QByteArray passphrase = "maplesyrup";
    const QByteArray engineId = QByteArray::fromHex("000000000000000000000002");

    uint8_t key[UsmKeys::MaxKeyLength];
    QVERIFY(UsmKeys::passphraseToKey(p, reinterpret_cast<const uint8_t *>(passphrase.constData()),
                                     size_t(passphrase.size()), key));
    const int length = UsmKeys::keyLength(p);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(key), length).toHex(), ku);

    uint8_t localized[UsmKeys::MaxKeyLength];
    QVERIFY(UsmKeys::localizeKey(p, key, reinterpret_cast<const uint8_t *>(engineId.constData()),
                                 size_t(engineId.size()), localized));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(localized), length).toHex(), kul);
    QCOMPARE(UsmKeys::macLength(p), mac);

    // AES-128's key is the localised key's first 16 octets.
    uint8_t aes128[16];
    QVERIFY(UsmKeys::privacyKey(p, localized, 16, aes128));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(aes128), 16), QByteArray::fromHex(kul).left(16));
}

void TestUsmKeys::refusals()
{
    uint8_t key[UsmKeys::MaxKeyLength] = {};
    const uint8_t seven[] = "1234567";
    QVERIFY(!UsmKeys::passphraseToKey(AuthProtocol::Sha256, seven, 7, key));
    QVERIFY(!UsmKeys::passphraseToKey(AuthProtocol::Sha256, nullptr, 0, key));
    uint8_t engine[UsmKeys::MaxEngineIdLength + 1] = {};
    uint8_t out[UsmKeys::MaxKeyLength];
    QVERIFY(!UsmKeys::localizeKey(AuthProtocol::Sha256, key, engine, 0, out));
    QVERIFY(!UsmKeys::localizeKey(AuthProtocol::Sha256, key, engine, sizeof engine, out));
    QVERIFY(UsmKeys::localizeKey(AuthProtocol::Sha256, key, engine, sizeof engine - 1, out));

    AuthProtocol p;
    QVERIFY(UsmKeys::parseAuthProtocol("SHA-512", &p) && p == AuthProtocol::Sha512);
    QVERIFY(UsmKeys::parseAuthProtocol("SHA", &p) && p == AuthProtocol::Sha1);
    QVERIFY(!UsmKeys::parseAuthProtocol("sha-256", &p));
}

QTEST_APPLESS_MAIN(TestUsmKeys)
#include "tst_usmkeys.moc"
