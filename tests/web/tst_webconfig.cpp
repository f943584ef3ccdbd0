// The files of the browser front panel: the configuration, the users and the audit trail. Bad
// files must stop a start with the line at fault; users and audit entries must survive a round
// trip through their files.
#include "auditlog.h"
#include "startup.h"
#include "userstore.h"
#include "webconfig.h"

#include <QFile>
#include <QFileInfo>
#include <QPasswordDigestor>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

class TestWebConfig : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void goodConfig();
    void badConfig_data();
    void badConfig();
    void v3Secrets_data();
    void v3Secrets();
    void listenRules_data();
    void listenRules();
    void usersRoundTrip();
    void oldHashUpgradedAtLogin();
    void badUsers_data();
    void badUsers();
    void auditTrailAppendsAndKeepsLatest();
    void auditChainBreaksFound_data();
    void auditChainBreaksFound();
    void auditLineRefusedOnFullDiskNeverAppears();

private:
    QString write(const QString &name, const QByteArray &content);
    QScopedPointer<QTemporaryDir> dir;
};

void TestWebConfig::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
}

QString TestWebConfig::write(const QString &name, const QByteArray &content)
{
    const QString path = dir->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    file.write(content);
    return path;
}

void TestWebConfig::goodConfig()
{
    const QString path = write("web.conf", "; the city's east side\n"
                                           "[server]\n"
                                           "listen = 127.0.0.1\n"
                                           "port = 9090\n"
                                           "users = users\n"
                                           "slow-interval = 2000\n"
                                           "host-names = Panel.example.org, 10.0.0.9\n"
                                           "\n"
                                           "[main-1st]\n"
                                           "name = Main St, 1st Ave\n"
                                           "address = 10.20.0.11\n"
                                           "port = 1501\n"
                                           "community = east\n"
                                           "group = Main Street\n"
                                           "poll = 250\n"
                                           "[oak]\n"
                                           "address = 10.20.0.12\n");
    WebConfig config;
    QString error;
    QVERIFY2(loadWebConfig(path, &config, &error), qPrintable(error));
    QCOMPARE(config.listenPort, 9090);
    QCOMPARE(config.slowIntervalMs, 2000);
    QCOMPARE(config.hostNames, QStringList({"panel.example.org", "10.0.0.9"}));
    QCOMPARE(config.usersFile, dir->filePath("users"));
    QCOMPARE(config.controllers.size(), 2);
    const ControllerConfig &first = config.controllers[0];
    QCOMPARE(first.id, QStringLiteral("main-1st"));
    // An unquoted comma must not split the name.
    QCOMPARE(first.name, QStringLiteral("Main St, 1st Ave"));
    QCOMPARE(first.address, QStringLiteral("10.20.0.11"));
    QCOMPARE(first.port, 1501);
    QCOMPARE(first.community, QByteArray("east"));
    QCOMPARE(first.group, QStringLiteral("Main Street"));
    QCOMPARE(first.pollInterval, 250);
    const ControllerConfig &second = config.controllers[1];
    QCOMPARE(second.name, QStringLiteral("oak"));
    QCOMPARE(second.port, 501);
    QCOMPARE(second.community, QByteArray("harbor"));
    QCOMPARE(second.pollInterval, 100);
}

void TestWebConfig::badConfig_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");

    const QByteArray good = "[c1]\naddress = 10.0.0.1\n";
    QTest::newRow("text that is no key, section or comment")
        << QByteArray("[c1]\naddress = 10.0.0.1\nport 501\n") << ":3: expected key = value";
    QTest::newRow("section header without its bracket")
        << QByteArray("[server\n") << ":1: a section header needs its closing ]";
    QTest::newRow("key before any section")
        << QByteArray("port = 1\n" + good) << ":1: a key before";
    QTest::newRow("misspelt key") << QByteArray(good + "pol = 100\n") << ":3: unknown key \"pol\"";
    QTest::newRow("section twice")
        << QByteArray(good + "\n[c1]\n") << ":4: section [c1] appears twice";
    QTest::newRow("key twice") << QByteArray(good + "address = 10.0.0.2\n")
                               << ":3: key \"address\" appears twice";
    QTest::newRow("port out of range") << QByteArray(good + "port = 70000\n")
                                       << ":3: port must be a whole number from 13 to 65535";
    QTest::newRow("poll interval too short")
        << QByteArray(good + "poll = 5\n") << ":3: poll must be a whole number from 10 to 1000";
    QTest::newRow("reply wait below the shortest")
        << QByteArray(good + "max-wait = 50\n")
        << ":3: max-wait must be a whole number from 100 to 60000";
    QTest::newRow("address that is a name")
        << QByteArray("[c1]\naddress = cabinet-7\n") << ":2: address must be an IPv4 address";
    QTest::newRow("a quote never closed")
        << QByteArray(good + "name = \"Main & 1st\n[c2]\naddress = 10.0.0.3\n")
        << ":3: a quote \" that is never closed";
    QTest::newRow("controller without address")
        << QByteArray(good + "[c2]\nname = x\n") << ":3: controller [c2] needs an address";
    QTest::newRow("community too long")
        << QByteArray(good + "community = 01234567890123456789\n") << ":3: community must be";
    QTest::newRow("listen on a host name") << QByteArray("[server]\nlisten = example.org\n" + good)
                                           << ":2: listen must be an IP address";
    QTest::newRow("no controllers")
        << QByteArray("[server]\nport = 8080\n") << ":0: no controllers";
    const QByteArray v3 = "[server]\nv3-secrets = secrets\n" + good + "version = 3\nuser = fp\n";
    QTest::newRow("version 2") << QByteArray(good + "version = 2\n") << ":3: version must be 1 or 3";
    QTest::newRow("v3 without a user") << QByteArray(good + "version = 3\n") << ":3: version = 3 needs a user";
    QTest::newRow("v3 user on a v1 controller") << QByteArray(good + "user = fp\n") << ":3: user is for version = 3";
    QTest::newRow("v3 with MD5") << QByteArray(v3 + "auth = MD5\n") << ":7: MD5 is refused";
    QTest::newRow("v3 with DES") << QByteArray(v3 + "priv = DES\n") << ":7: DES is refused";
    QTest::newRow("v3 without authentication")
        << QByteArray(v3 + "security = noAuthNoPriv\n") << ":7: noAuthNoPriv is refused";
    QTest::newRow("v3 without secrets")
        << QByteArray(good + "version = 3\nuser = fp\n") << ":3: SNMPv3 controllers need v3-secrets";
    const QByteArray line = "[line east]\ndevice = /dev/ttyS0\n";
    const QByteArray station = line + "[s1]\nline = east\nstation = 1\n";
    QTest::newRow("line with neither device nor tcp")
        << QByteArray("[line east]\nspeed = 9600\n" + good) << ":1: [line east] needs device";
    QTest::newRow("line with both") << QByteArray(line + "tcp = 10.0.0.9:4001\n" + good)
                                    << ":1: [line east] needs device = /dev/... or tcp";
    QTest::newRow("terminal server by name")
        << QByteArray("[line east]\ntcp = ts-7:4001\n" + good) << ":2: tcp must be an IPv4";
    QTest::newRow("speed no port runs at")
        << QByteArray(line + "speed = 10000\n" + good) << ":3: speed must be 1200, 2400";
    QTest::newRow("two sections, one line")
        << QByteArray(line + "[line west]\ndevice = /dev/ttyS0\n" + good)
        << ":3: [line west] and [line east] name the same line";
    QTest::newRow("station of a line never named")
        << QByteArray("[s1]\nline = east\nstation = 1\n") << ":2: no [line east] section";
    QTest::newRow("station without its number")
        << QByteArray(line + "[s1]\nline = east\n") << ":3: controller [s1] on a line needs";
    QTest::newRow("station 63, every station's address")
        << QByteArray(line + "[s1]\nline = east\nstation = 63\n")
        << ":5: station must be a whole number from 1 to 62";
    QTest::newRow("one station twice")
        << QByteArray(station + "[s2]\nline = east\nstation = 1\n")
        << ":8: station 1 on line east is [s1] already";
    QTest::newRow("a line and an address") << QByteArray(station + "address = 10.0.0.1\n")
                                           << ":4: a controller on a line has a station";
    QTest::newRow("a station without a line")
        << QByteArray(good + "station = 2\n") << ":3: a station needs its line";
    QTest::newRow("SNMPv3 on a line")
        << QByteArray("[server]\nv3-secrets = secrets\n" + station + "version = 3\nuser = fp\n")
        << ":8: a controller on a serial line speaks SNMPv1";
    // The configuration is readable by more than the service; a database password in it, in
    // any of libpq's spellings, is refused.
    for (const char *database :
         {"host=db dbname=fp password=secret", "host=db password = secret",
          "postgresql://fp:secret@db/fp", "postgres://db/fp?sslmode=require&password=secret"})
        QTest::newRow(database) << QByteArray("[server]\ndatabase = ") + database + "\n\n" + good
                                << ":2: database must not hold the password";
}

void TestWebConfig::badConfig()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    const QString path = write("web.conf", content);
    WebConfig config;
    config.listenPort = 1234;
    QString error;
    QVERIFY(!loadWebConfig(path, &config, &error));
    QVERIFY2(error.startsWith(path + expected), qPrintable(error));
    // Nothing of a bad file is taken.
    QCOMPARE(config.listenPort, 1234);
}

void TestWebConfig::v3Secrets_data()
{
    QTest::addColumn<QByteArray>("secrets");
    QTest::addColumn<bool>("othersMayRead");
    QTest::addColumn<QString>("expected"); // empty: loaded

    const QByteArray good = "# v3 users\nfp:Auth-Pass-1:Priv-Pass-1\nother:Auth-Pass-2:Priv-Pass-2\n";
    QTest::newRow("loaded") << good << false << QString();
    QTest::newRow("readable by others") << good << true << ":0: the SNMPv3 secrets may be read";
    QTest::newRow("user missing") << QByteArray("other:Auth-Pass-2:Priv-Pass-2\n") << false
                                  << ":0: no passphrases for the SNMPv3 user \"fp\" of [c1]";
    QTest::newRow("passphrase too short") << QByteArray("fp:short:Priv-Pass-1\n") << false
                                          << ":0: the passphrases of the SNMPv3 user \"fp\" must be";
    QTest::newRow("a line that is no user") << QByteArray("fp:Auth-Pass-1\n") << false
                                            << ":1: expected NAME:AUTHPASS:PRIVPASS";
}

// The secrets reach the controller, and never an error: every refusal is checked for them.
void TestWebConfig::v3Secrets()
{
    QFETCH(QByteArray, secrets);
    QFETCH(bool, othersMayRead);
    QFETCH(QString, expected);
    const QString secretsPath = write("secrets", secrets);
    QFile::setPermissions(secretsPath, QFile::ReadOwner | QFile::WriteOwner |
                                           (othersMayRead ? QFile::ReadOther : QFile::Permissions()));
    const QString path = write("web.conf", "[server]\nv3-secrets = secrets\n[c1]\naddress = 10.0.0.1\n"
                                           "version = 3\nuser = fp\nauth = SHA-512\npriv = AES-256\n"
                                           "[c2]\naddress = 10.0.0.2\n");
    WebConfig config;
    QString error;
    QVERIFY2(loadWebConfig(path, &config, &error), qPrintable(error));
    QCOMPARE(config.controllers[0].auth, AuthProtocol::Sha512);
    QCOMPARE(config.controllers[0].priv, PrivProtocol::Aes256);
    const bool loaded = loadV3Secrets(&config, &error);
    QCOMPARE(loaded, expected.isEmpty());
    if (loaded) {
        QCOMPARE(config.controllers[0].authPassphrase, QByteArray("Auth-Pass-1"));
        QCOMPARE(config.controllers[0].privPassphrase, QByteArray("Priv-Pass-1"));
        QVERIFY(config.controllers[1].authPassphrase.isEmpty());
    } else {
        QVERIFY2(error.startsWith(secretsPath + expected), qPrintable(error));
        QVERIFY2(!error.contains("Pass") && !error.contains("short"), qPrintable(error));
    }
}

void TestWebConfig::listenRules_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<bool>("withTls");
    QTest::addColumn<bool>("insecure");
    QTest::addColumn<bool>("starts");
    QTest::addColumn<bool>("warns");

    QTest::newRow("default: loopback") << QString() << false << false << true << false;
    QTest::newRow("all addresses over plain HTTP") << "0.0.0.0" << false << false << false << false;
    QTest::newRow("a LAN address over plain HTTP")
        << "192.168.1.5" << false << false << false << false;
    QTest::newRow("a LAN address with TLS") << "192.168.1.5" << true << false << true << false;
    QTest::newRow("a LAN address, insecure asked for")
        << "192.168.1.5" << false << true << true << true;
    QTest::newRow("IPv6 loopback") << "::1" << false << false << true << false;
}

void TestWebConfig::listenRules()
{
    QFETCH(QString, listen);
    QFETCH(bool, withTls);
    QFETCH(bool, insecure);
    QFETCH(bool, starts);
    QFETCH(bool, warns);
    StartOptions options;
    options.configFile = write("web.conf", "[c1]\naddress = 10.0.0.1\n");
    options.listen = listen;
    options.insecureHttp = insecure;
    if (withTls) {
        options.tlsCertificate = dir->filePath("cert.pem");
        options.tlsKey = dir->filePath("key.pem");
    }
    WebConfig config;
    QString error, warning;
    QCOMPARE(loadStartConfig(options, &config, &error, &warning), starts);
    QCOMPARE(!warning.isEmpty(), warns);
    if (!starts)
        QVERIFY2(error.contains("--tls-cert"), qPrintable(error));
    if (listen.isEmpty()) {
        QCOMPARE(config.listenAddress, QStringLiteral("127.0.0.1"));
        QCOMPARE(config.listenPort, 8080);
    }
}

void TestWebConfig::usersRoundTrip()
{
    const QString path = dir->filePath("users");
    QString error;
    QVERIFY2(UserStore::addUser(path, "ann", Role::Operator, "Gr33n-Wave", &error),
             qPrintable(error));
    QVERIFY2(UserStore::addUser(path, "vic", Role::Viewer, "Gr33n-Wave", &error),
             qPrintable(error));
    // The hashes are for the owner and the server's group only.
    const QFile::Permissions others = QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther |
                                      QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(QFile::permissions(path) & others, QFile::Permissions());
    QVERIFY(QFile::permissions(path) & QFile::ReadOwner);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QVERIFY(!lines.join().contains("Gr33n-Wave"));
    // The same password under two salts gives two hashes, each Argon2id with its parameters.
    QVERIFY(lines[0].split(':').value(4) != lines[1].split(':').value(4));
    QCOMPARE(lines[0].split(':').value(2), QByteArray("argon2id,m=19456,t=2,p=1"));

    UserStore store;
    QVERIFY2(store.load(path, &error), qPrintable(error));
    const auto ann = store.check("ann", "Gr33n-Wave");
    QVERIFY(ann);
    QCOMPARE(ann->role, Role::Operator);
    QVERIFY(!store.check("ann", "gr33n-wave"));
    QVERIFY(!store.check("ann", ""));
    QVERIFY(!store.check("nobody", "Gr33n-Wave"));

    // Adding an existing user changes it in place, and keeps the file's mode.
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(UserStore::addUser(path, "ann", Role::Viewer, "Red-Clearance", &error));
    QCOMPARE(QFile::permissions(path) & (QFile::ReadGroup | QFile::ReadOther),
             QFile::Permissions());
    QVERIFY(store.load(path, &error));
    QCOMPARE(store.count(), 2);
    QVERIFY(!store.check("ann", "Gr33n-Wave"));
    QCOMPARE(store.check("ann", "Red-Clearance")->role, Role::Viewer);
}

// A users file written before Argon2id: its PBKDF2 lines (made here by Qt's own digestor, not
// by the code under test) still log in, and a right password replaces its line with Argon2id,
// leaving the other lines, the file's mode and a wrong password's line as they were.
void TestWebConfig::oldHashUpgradedAtLogin()
{
    const QByteArray saltAnn = "0123456789abcdef", saltVic = "fedcba9876543210";
    auto pbkdf2 = [](const QByteArray &name, const QByteArray &password, const QByteArray &salt) {
        const QByteArray hash = QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256,
                                                                   password, salt, 20000, 32);
        return name + ":operator:20000:" + salt.toBase64() + ':' + hash.toBase64() + '\n';
    };
    const QByteArray vicLine = pbkdf2("vic", "Amber-Phase", saltVic);
    const QString path = write("users", pbkdf2("ann", "Gr33n-Wave", saltAnn) + vicLine);
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    auto line = [&](int n) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll().split('\n').value(n)
                                              : QByteArray();
    };
    UserStore store;
    QString error;
    QVERIFY2(store.load(path, &error), qPrintable(error));
    QVERIFY(!store.check("vic", "amber-phase"));
    QCOMPARE(line(1) + '\n', vicLine);
    QVERIFY(store.check("ann", "Gr33n-Wave"));
    QVERIFY2(line(0).startsWith("ann:operator:argon2id,m=19456,t=2,p=1:"), line(0).constData());
    QCOMPARE(line(1) + '\n', vicLine);
    QCOMPARE(QFile::permissions(path) & (QFile::ReadGroup | QFile::ReadOther), QFile::ReadGroup);
    // The upgraded hash holds, in the running store and read afresh.
    QVERIFY(store.check("ann", "Gr33n-Wave"));
    QVERIFY(!store.check("ann", "Gr33n-wave"));
    UserStore again;
    QVERIFY2(again.load(path, &error), qPrintable(error));
    QVERIFY(again.check("ann", "Gr33n-Wave"));
    QVERIFY(again.check("vic", "Amber-Phase"));
}

void TestWebConfig::badUsers_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");

    const QByteArray salt = QByteArray(16, 's').toBase64();
    const QByteArray hash = QByteArray(32, 'h').toBase64();
    const QByteArray good = "ann:operator:20000:" + salt + ':' + hash + '\n';
    QTest::newRow("too few fields") << QByteArray("# users\nann:operator:20000\n")
                                    << ":2: expected name:role:parameters:salt:hash";
    QTest::newRow("unknown role") << QByteArray(good + "bob:admin:20000:" + salt + ':' + hash)
                                  << ":2: role \"admin\"";
    QTest::newRow("too few iterations")
        << QByteArray("ann:viewer:10:" + salt + ':' + hash) << ":1: iterations";
    QTest::newRow("argon2id without lanes")
        << QByteArray("ann:viewer:argon2id,m=19456,t=2:" + salt + ':' + hash)
        << ":1: expected argon2id,m=KIB,t=PASSES,p=LANES";
    QTest::newRow("argon2id asking for 4 GiB")
        << QByteArray("ann:viewer:argon2id,m=4194304,t=2,p=1:" + salt + ':' + hash)
        << ":1: argon2id memory";
    QTest::newRow("argon2id with no passes")
        << QByteArray("ann:viewer:argon2id,m=19456,t=0,p=1:" + salt + ':' + hash)
        << ":1: argon2id passes";
    QTest::newRow("hash not base64")
        << QByteArray("ann:viewer:20000:" + salt + ":***") << ":1: the hash";
    QTest::newRow("short hash") << QByteArray("ann:viewer:20000:" + salt + ":aGFzaA==")
                                << ":1: the hash";
    QTest::newRow("user twice") << QByteArray(good + good) << ":2: user \"ann\" appears twice";
    QTest::newRow("name with a space")
        << QByteArray("a b:viewer:20000:" + salt + ':' + hash) << ":1: user name";
    QTest::newRow("no users") << QByteArray("# nobody yet\n") << ":0: no users";
}

void TestWebConfig::badUsers()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    const QString path = write("users", content);
    UserStore store;
    QString error;
    QVERIFY(!store.load(path, &error));
    QVERIFY2(error.startsWith(path + expected), qPrintable(error));
}

void TestWebConfig::auditTrailAppendsAndKeepsLatest()
{
    const QByteArray earlier = "{\"note\":\"written by an earlier run\"}\n";
    const QString path = write("audit.log", earlier);
    {
        AuditLog log;
        QString error;
        QVERIFY2(log.open(path, &error), qPrintable(error));
        for (int i = 1; i <= 30; ++i) {
            AuditEntry e;
            e.time = QDateTime(QDate(2026, 5, 1), QTime(8, 0, i % 60), Qt::UTC);
            e.user = QStringLiteral("ann");
            e.address = QStringLiteral("10.1.1.%1").arg(i);
            e.controller = i % 5 == 0 ? QStringLiteral("oak") : QStringLiteral("main-1st");
            e.code = (i - 1) % 24 + 1;
            e.keyName = QString::number(i);
            QVERIFY(log.append(e));
        }
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray all = file.readAll();
    QVERIFY(all.startsWith(earlier));
    const QList<QByteArray> lines = all.split('\n');
    QCOMPARE(lines.size(), 32); // the earlier line, 30 entries, the empty piece after the last
    // Chained to the earlier line, which was written before lines carried a chain.
    QCOMPARE(lines[1],
             "{\"seq\":1,\"prev\":\"" + AuditLog::sha256Hex(earlier) +
                 "\",\"address\":\"10.1.1.1\",\"code\":1,\"controller\":\"main-1st\","
                 "\"key\":\"1\",\"time\":\"2026-05-01T08:00:01.000Z\",\"user\":\"ann\"}");
    QVERIFY(lines[2].startsWith("{\"seq\":2,\"prev\":\"" + AuditLog::sha256Hex(lines[1] + '\n') +
                                "\","));
    QString report;
    QVERIFY2(AuditLog::verify(path, &report), qPrintable(report));
    QVERIFY2(report.contains("head: sequence 30, sha256 " + AuditLog::sha256Hex(lines[30] + '\n')),
             qPrintable(report));
    // No outcome was written for any of them: all were in flight when the log was closed.
    QVERIFY2(report.endsWith("keys without an outcome (in flight when the server stopped): "
                             "1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, "
                             "20 and 10 more"),
             qPrintable(report));

    // A restart finds each controller's latest keys in the file.
    AuditLog reopened;
    QString error;
    QVERIFY(reopened.open(path, &error));
    const QVector<AuditEntry> main = reopened.recent("main-1st");
    QCOMPARE(main.size(), RecentKeys::PerController);
    // 24 of the 30 went to main-1st: its first four (1 to 4) fell off.
    QCOMPARE(main.first().keyName, QStringLiteral("6"));
    QCOMPARE(main.last().keyName, QStringLiteral("29"));
    QCOMPARE(main.last().outcome, QStringLiteral("unknown: the server stopped first"));
    QCOMPARE(reopened.recent("oak").size(), 6);
}

namespace {

AuditEntry someKey(int i)
{
    AuditEntry e;
    e.time = QDateTime(QDate(2026, 5, 1), QTime(9, 0, i % 60), Qt::UTC);
    e.user = QStringLiteral("bob");
    e.address = QStringLiteral("10.2.2.2");
    e.controller = QStringLiteral("main-1st");
    e.code = i % 24 + 1;
    e.keyName = QString::number(i);
    return e;
}

} // namespace

void TestWebConfig::auditChainBreaksFound_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("found");
    QTest::newRow("untouched") << "" << "chain intact; head: sequence 6";
    QTest::newRow("a key edited") << "edit 3" << ":4: the line before it was changed";
    QTest::newRow("a line removed") << "remove 3" << ":3: sequence 4 where 3 was due";
    QTest::newRow("two lines swapped") << "swap 2" << ":2: sequence 3 where 2 was due";
    QTest::newRow("the first line removed") << "remove 1" << ":1: the log starts at sequence 2";
    QTest::newRow("cut mid-line") << "cut" << ":6: partial line at the end";
    QTest::newRow("a line put in") << "insert 4" << ":4: sequence 2 where 4 was due";
}

// Six keys, then one change to the file as an editor (or a crash) would make it.
void TestWebConfig::auditChainBreaksFound()
{
    QFETCH(QString, change);
    QFETCH(QString, found);
    const QString path = dir->filePath("chained.log");
    QFile::remove(path);
    {
        AuditLog log;
        QString error;
        QVERIFY2(log.open(path, &error), qPrintable(error));
        for (int i = 1; i <= 6; ++i)
            QVERIFY(log.append(someKey(i)));
        QCOMPARE(log.headSequence(), 6);
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QList<QByteArray> lines = file.readAll().split('\n');
    file.close();
    lines.removeLast(); // the empty piece after the last newline
    const QStringList words = change.split(' ');
    const int at = words.value(1).toInt() - 1;
    if (words[0] == "edit")
        lines[at].replace("\"bob\"", "\"eve\"");
    else if (words[0] == "remove")
        lines.removeAt(at);
    else if (words[0] == "swap")
        lines.swapItemsAt(at, at + 1);
    else if (words[0] == "insert")
        lines.insert(at, lines[1]);
    QByteArray content = lines.join('\n') + '\n';
    if (words[0] == "cut")
        content.chop(10);
    write("chained.log", content);
    QString report;
    const bool intact = AuditLog::verify(path, &report);
    QCOMPARE(intact, change.isEmpty());
    QVERIFY2(report.contains(found), qPrintable(report));
}

// A full disk (here: the file-size limit, which fails a write the same way without root) refuses
// the key's line; nothing of it is in the file afterwards, not even once there is room again.
void TestWebConfig::auditLineRefusedOnFullDiskNeverAppears()
{
    const QString path = dir->filePath("full.log");
    AuditLog log;
    QString error;
    QVERIFY2(log.open(path, &error), qPrintable(error));
    QVERIFY(log.append(someKey(1)));
    const qint64 before = QFileInfo(path).size();

    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(before + 40); // room for part of a line only
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
    const bool refused = !log.append(someKey(2)) && !log.append(someKey(3));
    const qint64 during = QFileInfo(path).size();
    setrlimit(RLIMIT_FSIZE, &saved);
    QVERIFY(refused);
    QCOMPARE(during, before);

    QVERIFY(log.append(someKey(4)));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray all = file.readAll();
    QCOMPARE(all.count('\n'), 2);
    QVERIFY(!all.contains("\"key\":\"2\""));
    QVERIFY(!all.contains("\"key\":\"3\""));
    QVERIFY(all.contains("\"key\":\"4\""));
    QString report;
    QVERIFY2(AuditLog::verify(path, &report), qPrintable(report));

    // A partial line left by a crash is cut off when the log is opened again.
    file.close();
    QFile append(path);
    QVERIFY(append.open(QIODevice::Append));
    append.write("{\"seq\":3,\"prev\":\"ab");
    append.close();
    AuditLog reopened;
    QVERIFY(reopened.open(path, &error));
    QCOMPARE(QFileInfo(path).size(), qint64(all.size()));
    QVERIFY(reopened.append(someKey(5)));
    QVERIFY2(AuditLog::verify(path, &report), qPrintable(report));
    QVERIFY2(report.contains("head: sequence 3"), qPrintable(report));
}

QTEST_GUILESS_MAIN(TestWebConfig)
#include "tst_webconfig.moc"
