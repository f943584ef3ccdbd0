// The link engine over SNMPv3 against controller-sim's v3 users: discovery, then the display read
// and a key delivered at authPriv (SHA-256 with AES-128, SHA-512 with AES-256); a wrong passphrase
// and an unknown user refused with the controller's Report in words, and nothing shown from them.
#include "enginethread.h"
#include "simprocess.h"
#include "usmkeys.h"

#include <QProcessEnvironment>
#include <QtTest>

namespace {

constexpr int Patience = 20000;

QByteArray screenText(const LinkState &s)
{
    return QByteArray(reinterpret_cast<const char *>(s.screen), LinkRules::ScreenSize);
}

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

struct Outcomes : QObject
{
    QList<KeyOutcome> outcomes;
    void listen(LinkEngine *engine)
    {
        connect(engine, &LinkEngine::keyDone, this,
                [this](int, quint64, KeyOutcome outcome, const QString &) { outcomes << outcome; });
    }
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

private:
    SimProcess sim{QStringLiteral(CONTROLLER_SIM_PATH)};
    EngineThread thread;
    quint16 port = 0;
};

void TestLinkEngineV3::initTestCase()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("CONTROLLER_SIM_V3_PASSPHRASES", "fp256:authpass256:privpass256;fp512:authpass512:privpass512");
    sim.process.setProcessEnvironment(env);
    port = sim.start({"--v3-user", "fp256:SHA-256:AES", "--v3-user", "fp512:SHA-512:AES-256"});
    QVERIFY2(port != 0, "controller-sim did not start");
    thread.open();
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
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("authPassphrase");
    QTest::addColumn<QByteArray>("words");
    QTest::newRow("wrong passphrase") << QByteArray("fp256") << QByteArray("authpass25x")
                                      << QByteArray("wrong password or key");
    QTest::newRow("unknown user") << QByteArray("nobody") << QByteArray("authpass256")
                                  << QByteArray("unknown user");
}

void TestLinkEngineV3::refusedInWords()
{
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, authPassphrase);
    QFETCH(QByteArray, words);
    const int id = thread.add(v3Link(port, user, AuthProtocol::Sha256, PrivProtocol::Aes128,
                                     authPassphrase, "privpass256"));
    thread.engine->watch(id);
    QTRY_VERIFY_WITH_TIMEOUT(thread.state(id).counters.refused >= 2, Patience);
    const LinkState s = thread.state(id);
    QCOMPARE(QByteArray(s.lastError), words);
    QCOMPARE(s.counters.accepted, 0u);
    QVERIFY(!screenText(s).contains("MAIN MENU"));
    QVERIFY(thread.remove(id));
}

QTEST_GUILESS_MAIN(TestLinkEngineV3)
#include "tst_linkengine_v3.moc"
