// The link engine over SNMPv3 against controller-sim's v3 users and net-snmp's agent (serving the
// display through a script): discovery, then the display read and a key delivered at authPriv
// (SHA-256 with AES-128, SHA-512 with AES-256); a wrong passphrase, an unknown user and a reply
// with one bit changed on the way refused in words, and nothing shown from them. An agent in the
// test whose clock jumps: the link resynchronises and goes on, or says so when it cannot.
#include "controllermodel.h"
#include "enginethread.h"
#include "simprocess.h"
#include "snmpagent.h"
#include "snmpbytes.h"
#include "snmpdprocess.h"
#include "usmkeys.h"
#include "v3agent.h"

#include <QProcessEnvironment>
#include <QtTest>

namespace {

QByteArray stretched(AuthProtocol auth, const QByteArray &passphrase)
{
    uint8_t key[UsmKeys::MaxKeyLength];
    if (!UsmKeys::passphraseToKey(auth, reinterpret_cast<const uint8_t *>(passphrase.constData()),
                                  size_t(passphrase.size()), key))
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(key), UsmKeys::keyLength(auth));
}

LinkConfig v3Link(int port, const QByteArray &user, AuthProtocol auth, PrivProtocol priv,
                  const QByteArray &authPassphrase, const QByteArray &privPassphrase)
{
    LinkConfig config = loopbackLink(port, 50);
    config.v3 = true;
    config.v3Config.user = user;
    config.v3Config.auth = auth;
    config.v3Config.priv = priv;
    config.v3Config.authKu = stretched(auth, authPassphrase);
    config.v3Config.privKu = stretched(auth, privPassphrase);
    return config;
}

// Carries datagrams between the engine and a peer, changing one bit of every long one on its way
// back (display replies are; Reports are short), inside the encrypted data at their end.
class BitFlipRelay
{
public:
    explicit BitFlipRelay(quint16 target) : target(target)
    {
        socket.setProxy(QNetworkProxy::NoProxy);
        socket.bind(QHostAddress::LocalHost, 0);
        QObject::connect(&socket, &QUdpSocket::readyRead, [this] { relay(); });
    }
    quint16 port() const { return socket.localPort(); }
    int flipped = 0;

private:
    void relay()
    {
        while (socket.hasPendingDatagrams()) {
            QHostAddress from;
            quint16 fromPort = 0;
            QByteArray d(int(socket.pendingDatagramSize()), '\0');
            d.resize(int(qMax<qint64>(0, socket.readDatagram(d.data(), d.size(), &from, &fromPort))));
            if (fromPort != target) {
                clientPort = fromPort;
                socket.writeDatagram(d, QHostAddress::LocalHost, target);
                continue;
            }
            if (d.size() > 200) {
                d[d.size() - 10] = char(d[d.size() - 10] ^ 0x04);
                ++flipped;
            }
            if (clientPort != 0)
                socket.writeDatagram(d, QHostAddress::LocalHost, clientPort);
        }
    }

    QUdpSocket socket;
    const quint16 target;
    quint16 clientPort = 0;
};

// The simulator's controller and v3 agent behind a socket on the test's thread, with an engine
// clock the test sets: jumpPerRequest moves it on before every request is judged.
class ClockPeer
{
public:
    bool start(const V3User &user)
    {
        QString error;
        socket.setProxy(QNetworkProxy::NoProxy);
        QObject::connect(&socket, &QUdpSocket::readyRead, [this] { answer(); });
        return v3.configure(QByteArray::fromHex("800004b604") + "clock-peer", 1, {user}, &error) &&
               socket.bind(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return socket.localPort(); }
    int32_t engineTime = 100;
    int32_t jumpPerRequest = 0;
    V3Agent v3;

private:
    void answer()
    {
        while (socket.hasPendingDatagrams()) {
            QHostAddress from;
            quint16 fromPort = 0;
            uint8_t in[1500], out[1500];
            const qint64 n = socket.readDatagram(reinterpret_cast<char *>(in), sizeof in, &from, &fromPort);
            if (n <= 0)
                continue;
            engineTime += jumpPerRequest;
            const int length = v3.handle(in, int(n), out, sizeof out, &agent, engineTime);
            if (length > 0)
                socket.writeDatagram(reinterpret_cast<const char *>(out), length, from, fromPort);
        }
    }

    ControllerModel model;
    SnmpAgent agent{&model};
    QUdpSocket socket;
};

} // namespace

class TestLinkEngineV3 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void displayAndKeyAtAuthPriv_data();
    void displayAndKeyAtAuthPriv();
    void refusedInWords_data();
    void refusedInWords();
    void displayAndKeyFromSnmpd_data();
    void displayAndKeyFromSnmpd();
    void clockJumps_data();
    void clockJumps();

private:
    SimProcess sim{QStringLiteral(CONTROLLER_SIM_PATH)};
    SnmpdProcess snmpd;
    EngineThread thread;
    quint16 port = 0;
    quint16 snmpdPort = 0;
};

void TestLinkEngineV3::initTestCase()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("CONTROLLER_SIM_V3_PASSPHRASES", "fp256:authpass256:privpass256;fp512:authpass512:privpass512");
    sim.process.setProcessEnvironment(env);
    port = sim.start({"--v3-user", "fp256:SHA-256:AES", "--v3-user", "fp512:SHA-512:AES-256"});
    QVERIFY2(port != 0, "controller-sim did not start");
    thread.open();
    if (SnmpdProcess::program().isEmpty())
        return; // its rows skip, and say why
    const QByteArray serve = snmpd.serveDisplay(
        SnmpBytes::firstBlock(4, 17, SnmpdProcess::displayRows(0)), SnmpdProcess::displayRows(8));
    QVERIFY(!serve.isEmpty());
    snmpdPort = snmpd.start("createUser fp256 SHA-256 authpass256 AES privpass256\nrwuser fp256 priv\n"
                            "createUser fp512 SHA-512 authpass512 AES256 privpass512\nrwuser fp512 priv\n" +
                            serve);
    QVERIFY2(snmpdPort != 0, "snmpd did not start");
}

void TestLinkEngineV3::displayAndKeyAtAuthPriv_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<int>("auth");
    QTest::addColumn<int>("priv");
    QTest::addColumn<QByteArray>("passphrase");
    QTest::newRow("SHA-256, AES-128") << QByteArray("fp256") << int(AuthProtocol::Sha256)
                                      << int(PrivProtocol::Aes128) << QByteArray("256");
    QTest::newRow("SHA-512, AES-256") << QByteArray("fp512") << int(AuthProtocol::Sha512)
                                      << int(PrivProtocol::Aes256) << QByteArray("512");
}

void TestLinkEngineV3::displayAndKeyAtAuthPriv()
{
    QFETCH(QByteArray, user);
    QFETCH(int, auth);
    QFETCH(int, priv);
    QFETCH(QByteArray, passphrase);
    const int id = thread.add(v3Link(port, user, AuthProtocol(auth), PrivProtocol(priv),
                                     "authpass" + passphrase, "privpass" + passphrase));
    QVERIFY(id != 0);
    thread.engine->watch(id);
    QTRY_VERIFY_WITH_TIMEOUT(screenText(thread.state(id)).contains("MAIN MENU"), Patience);
    QTRY_VERIFY_WITH_TIMEOUT(thread.state(id).counters.accepted >= 4, Patience);
    QCOMPARE(thread.state(id).counters.refused, 0u);

    Outcomes outcomes;
    outcomes.listen(thread.engine);
    QVERIFY(thread.engine->pressKey(id, 2) != 0);
    QTRY_COMPARE_WITH_TIMEOUT(outcomes.outcomes, QList<KeyOutcome>{KeyOutcome::Answered}, Patience);
    QTRY_VERIFY_WITH_TIMEOUT(screenText(thread.state(id)).contains("PHASE TIMING"), Patience);
    QVERIFY(thread.engine->pressKey(id, 17) != 0); // Main Menu, for the next row
    QTRY_COMPARE_WITH_TIMEOUT(outcomes.outcomes.size(), 2, Patience);
    QTRY_VERIFY_WITH_TIMEOUT(screenText(thread.state(id)).contains("MAIN MENU"), Patience);
    QVERIFY(thread.remove(id));
}

void TestLinkEngineV3::refusedInWords_data()
{
    QTest::addColumn<bool>("fromSnmpd");
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("authPassphrase");
    QTest::addColumn<bool>("flipBits");
    QTest::addColumn<QByteArray>("words");
    for (const bool fromSnmpd : {false, true}) {
        const char *peer = fromSnmpd ? "snmpd" : "controller-sim";
        QTest::addRow("%s, wrong passphrase", peer)
            << fromSnmpd << QByteArray("fp256") << QByteArray("authpass25x") << false
            << QByteArray("wrong password or key");
        QTest::addRow("%s, unknown user", peer) << fromSnmpd << QByteArray("nobody")
                                                << QByteArray("authpass256") << false
                                                << QByteArray("unknown user");
        QTest::addRow("%s, one bit changed on the way", peer)
            << fromSnmpd << QByteArray("fp256") << QByteArray("authpass256") << true
            << QByteArray("reply failed authentication");
    }
}

void TestLinkEngineV3::refusedInWords()
{
    QFETCH(bool, fromSnmpd);
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, authPassphrase);
    QFETCH(bool, flipBits);
    QFETCH(QByteArray, words);
    if (fromSnmpd && snmpdPort == 0)
        QSKIP("snmpd is not installed (Debian package snmpd; scripts/deps.sh test)");
    std::unique_ptr<BitFlipRelay> relay;
    quint16 to = fromSnmpd ? snmpdPort : port;
    if (flipBits) {
        relay = std::make_unique<BitFlipRelay>(to);
        to = relay->port();
    }
    const int id = thread.add(v3Link(to, user, AuthProtocol::Sha256, PrivProtocol::Aes128,
                                     authPassphrase, "privpass256"));
    thread.engine->watch(id);
    QTRY_VERIFY_WITH_TIMEOUT(thread.state(id).counters.refused >= 2, Patience);
    const LinkState s = thread.state(id);
    QCOMPARE(QByteArray(s.lastError), words);
    QCOMPARE(s.counters.accepted, 0u);
    QVERIFY(!screenText(s).contains("MAIN MENU") && !screenText(s).contains("SNMPD ROW"));
    QVERIFY(!relay || relay->flipped >= 2);
    QVERIFY(thread.remove(id));
}

void TestLinkEngineV3::displayAndKeyFromSnmpd_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<int>("auth");
    QTest::addColumn<int>("priv");
    QTest::addColumn<QByteArray>("passphrase");
    QTest::addColumn<int>("key");
    QTest::newRow("SHA-256, AES-128") << QByteArray("fp256") << int(AuthProtocol::Sha256)
                                      << int(PrivProtocol::Aes128) << QByteArray("256") << 12;
    QTest::newRow("SHA-512, AES-256") << QByteArray("fp512") << int(AuthProtocol::Sha512)
                                      << int(PrivProtocol::Aes256) << QByteArray("512") << 0x1b;
}

void TestLinkEngineV3::displayAndKeyFromSnmpd()
{
    QFETCH(QByteArray, user);
    QFETCH(int, auth);
    QFETCH(int, priv);
    QFETCH(QByteArray, passphrase);
    QFETCH(int, key);
    if (snmpdPort == 0)
        QSKIP("snmpd is not installed (Debian package snmpd; scripts/deps.sh test)");
    const int id = thread.add(v3Link(snmpdPort, user, AuthProtocol(auth), PrivProtocol(priv),
                                     "authpass" + passphrase, "privpass" + passphrase));
    QVERIFY(id != 0);
    thread.engine->watch(id);
    const QByteArray rows = SnmpdProcess::displayRows(0) + SnmpdProcess::displayRows(8);
    QTRY_COMPARE_WITH_TIMEOUT(screenText(thread.state(id)).left(rows.size()), rows, Patience);
    QCOMPARE(thread.state(id).cursorRow, 4);
    QCOMPARE(thread.state(id).cursorColumn, 17);
    QCOMPARE(thread.state(id).counters.refused, 0u);

    Outcomes outcomes;
    outcomes.listen(thread.engine);
    QVERIFY(thread.engine->pressKey(id, uint8_t(key)) != 0);
    QTRY_COMPARE_WITH_TIMEOUT(outcomes.outcomes, QList<KeyOutcome>{KeyOutcome::Answered}, Patience);
    // snmpd hands the script a key code in hex.
    const QByteArray line = "." + QByteArray(SnmpBytes::KeyOid) + " octet \"" +
                            QByteArray(1, char(key)).toHex() + "\"\n";
    QTRY_VERIFY_WITH_TIMEOUT(snmpd.keys().endsWith(line), Patience);
    QVERIFY(thread.remove(id));
}

void TestLinkEngineV3::clockJumps_data()
{
    QTest::addColumn<int>("jumpPerRequest");
    QTest::addColumn<QByteArray>("words");
    // Once, as after a reboot that kept its boots: resynchronised in one Report, nothing refused.
    QTest::newRow("once") << 0 << QByteArray();
    // On every request, beyond the time window: no resend can catch up.
    QTest::newRow("on every request") << 1000 << QByteArray("not in time window: resynchronising");
}

void TestLinkEngineV3::clockJumps()
{
    QFETCH(int, jumpPerRequest);
    QFETCH(QByteArray, words);
    V3User user;
    QString error;
    QVERIFY2(V3User::make("fp256:SHA-256:AES", "authpass256", "privpass256", &user, &error),
             qPrintable(error));
    ClockPeer peer;
    QVERIFY(peer.start(user));
    const int id = thread.add(v3Link(peer.port(), "fp256", AuthProtocol::Sha256, PrivProtocol::Aes128,
                                     "authpass256", "privpass256"));
    thread.engine->watch(id);
    QTRY_VERIFY_WITH_TIMEOUT(thread.state(id).counters.accepted >= 2, Patience);

    peer.engineTime += 10000;
    peer.jumpPerRequest = jumpPerRequest;
    const LinkCounters before = thread.state(id).counters;
    const uint64_t accepted = before.accepted;
    if (words.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(thread.state(id).counters.accepted >= accepted + 4, Patience);
        QVERIFY(peer.v3.counters.notInTimeWindows >= 1);
        QCOMPARE(thread.state(id).counters.refused, 0u);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(thread.state(id).counters.refused >= 2, Patience);
        QCOMPARE(QByteArray(thread.state(id).lastError), words);
        // A poll may have been on its way when the clock began to jump; none after.
        QVERIFY(thread.state(id).counters.accepted <= accepted + 1);
        // Each request went out three times at most, never more.
        const uint64_t requests = thread.state(id).counters.requests - before.requests + 1;
        QVERIFY(peer.v3.counters.notInTimeWindows <= 3 * requests);
    }
    QVERIFY(thread.remove(id));
}

QTEST_GUILESS_MAIN(TestLinkEngineV3)
#include "tst_linkengine_v3.moc"
