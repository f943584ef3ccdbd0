// The browser front panel's server rules, over real sockets on loopback: sessions and their
// cookie, the WebSocket's checks, keys judged on the server, control, the audit trail before the
// key, login throttling, files only from the resources, and hostile input.
#include "accessrules.h"
#include "auditlog.h"
#include "doorlimits.h"
#include "linkwords.h"
#include "userstore.h"
#include "waitfor.h"
#include "webserver.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>
#include <QWebSocket>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Two controllers: the first changes as the test sets it, the second never; keys are recorded together with what the audit trail held
// at the moment each key was handed over. The server calls it from its network thread and the
// test reads and sets it from its own: everything is under one lock.
class RecordingSource : public ControllerSource
{
public:
    QString auditPath;

    RecordingSource()
    {
        std::memset(link0.rows, ' ', sizeof link0.rows);
        std::memcpy(link0.rows[0], "MAIN MENU", 9);
    }

    QVector<int> keys() const
    {
        std::lock_guard<std::mutex> hold(lock);
        return pressed;
    }
    QVector<QByteArray> auditAtKey() const
    {
        std::lock_guard<std::mutex> hold(lock);
        return auditBefore;
    }
    int watchers(int index) const
    {
        std::lock_guard<std::mutex> hold(lock);
        return watching[index];
    }
    // What the link of controller 0 reports.
    void setLink0(const std::function<void(ControllerSnapshot &)> &change)
    {
        std::lock_guard<std::mutex> hold(lock);
        change(link0);
    }

    bool snapshot(int index, ControllerSnapshot *out) const override
    {
        std::lock_guard<std::mutex> hold(lock);
        if (index < 0 || index > 1)
            return false;
        if (index == 0) {
            *out = link0;
            ++looksAt0;
            return true;
        }
        out->cursorRow = 3;
        out->cursorColumn = 2;
        out->figure = 4;
        std::memset(out->rows, ' ', sizeof out->rows);
        std::memcpy(out->rows[0], "MAIN MENU", 9);
        return true;
    }
    quint64 pressKey(int index, uint8_t code) override
    {
        std::lock_guard<std::mutex> hold(lock);
        QFile file(auditPath);
        file.open(QIODevice::ReadOnly);
        auditBefore.append(file.readAll());
        pressed.append(index * 100 + code);
        return quint64(pressed.size());
    }
    void watch(int index) override
    {
        std::lock_guard<std::mutex> hold(lock);
        ++watching[index];
    }
    void unwatch(int index) override
    {
        std::lock_guard<std::mutex> hold(lock);
        --watching[index];
    }

    // How often the server looked at controller 0.
    mutable std::atomic<int> looksAt0{0};

private:
    mutable std::mutex lock;
    ControllerSnapshot link0;
    QVector<int> pressed;
    QVector<QByteArray> auditBefore;
    int watching[2] = {0, 0};
};

struct HttpReply
{
    int status = 0;
    QByteArray head;
    QByteArray body;
    QByteArray header(const QByteArray &name) const
    {
        for (const QByteArray &line : head.split('\n')) {
            if (line.toLower().startsWith(name.toLower() + ':'))
                return line.mid(name.size() + 1).trimmed();
        }
        return QByteArray();
    }
};

} // namespace

class TestWebSecurity : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void loginCookie();
    void logoutAndIdleEndSessions();
    void loginFromForeignPageRefused();
    void configuredHostNames();
    void secureCookieUnderTls();
    void upgradeChecks_data();
    void upgradeChecks();
    void stateInWords();
    void linkWordsFollowTheLink_data();
    void linkWordsFollowTheLink();
    void overviewSendsTilesInViewAndChangedRows();
    void keysJudgedOnServer();
    void controlLock();
    void lateOverviewKeepsThePanel();
    void badKeyCodes_data();
    void badKeyCodes();
    void failedLoginsThrottled();
    void guessesFromManyAddressesSlowed();
    void passwordsNeverLogged();
    void staticFilesOnlyFromResources_data();
    void staticFilesOnlyFromResources();
    void hostileMessages();
    void pageThatStopsReadingGetsTheLatestOnly();
    void malformedRequestsLeaveMemoryFlat();
    void heldConnectionsCappedPerAddress();

private:
    // One request on a new connection, from the given loopback address.
    HttpReply http(const QByteArray &request, const QHostAddress &from = QHostAddress::LocalHost);
    HttpReply post(const QByteArray &path, const QByteArray &body, const QByteArray &cookie = {},
                   const QByteArray &origin = {});
    QByteArray login(const QByteArray &user, const QByteArray &password);
    struct Page
    {
        std::unique_ptr<QWebSocket> socket;
        QStringList messages;
        int closeCode = -1;
    };
    std::unique_ptr<Page> openSocket(const QByteArray &cookie, const QByteArray &origin = {},
                                     const QString &path = QStringLiteral("/ws"));
    // The first message of that type not yet looked at that satisfies match; the messages up to
    // it are used up. Never just "the next one": the server may send an older state first.
    QJsonObject waitForMatch(Page *page, const QString &type,
                             const std::function<bool(const QJsonObject &)> &match);
    QJsonObject waitForType(Page *page, const QString &type)
    {
        return waitForMatch(page, type, [](const QJsonObject &) { return true; });
    }
    // The status line's code of a WebSocket upgrade request sent by hand.
    int upgradeStatus(const QByteArray &cookie, const QByteArray &origin,
                      const QByteArray &path = "/ws");
    void send(Page *page, const QJsonObject &message);
    QByteArray origin() const { return "http://127.0.0.1:" + QByteArray::number(server->port()); }

    QTemporaryDir dir;
    std::shared_ptr<UserStore> users = std::make_shared<UserStore>();
    std::unique_ptr<AuditLog> audit;
    std::unique_ptr<RecordingSource> source;
    std::unique_ptr<WebServer> server;
    WebConfig config;
};

void TestWebSecurity::initTestCase()
{
    QString error;
    const QString usersPath = dir.filePath("users");
    QVERIFY(UserStore::addUser(usersPath, "ann", Role::Operator, "ann-secret-1", &error));
    QVERIFY(UserStore::addUser(usersPath, "bob", Role::Operator, "bob-secret-2", &error));
    QVERIFY(UserStore::addUser(usersPath, "vic", Role::Viewer, "vic-secret-3", &error));
    QVERIFY2(users->load(usersPath, &error), qPrintable(error));
    config.listenPort = 0;
    for (const char *id : {"c1", "c2"}) {
        ControllerConfig c;
        c.id = c.name = QString::fromLatin1(id);
        c.address = QStringLiteral("127.0.0.1");
        config.controllers.append(c);
    }
}

void TestWebSecurity::init()
{
    QFile::remove(dir.filePath("audit.log"));
    audit.reset(new AuditLog);
    QString error;
    QVERIFY(audit->open(dir.filePath("audit.log"), &error));
    source.reset(new RecordingSource);
    source->auditPath = dir.filePath("audit.log");
    server.reset(new WebServer(config, users, audit.get(), source.get()));
    QVERIFY2(server->start(&error), qPrintable(error));
}

void TestWebSecurity::cleanup()
{
    server.reset();
}

HttpReply TestWebSecurity::http(const QByteArray &request, const QHostAddress &from)
{
    QTcpSocket socket;
    socket.bind(from);
    socket.connectToHost(QHostAddress::LocalHost, server->port());
    socket.write(request);
    QByteArray data;
    HttpReply reply;
    waitFor([&] {
        data += socket.readAll();
        const int end = data.indexOf("\r\n\r\n");
        if (end < 0)
            return socket.state() == QAbstractSocket::UnconnectedState;
        reply.head = data.left(end);
        const int length = reply.header("Content-Length").toInt();
        return data.size() >= end + 4 + length;
    });
    const int end = data.indexOf("\r\n\r\n");
    if (end >= 0) {
        reply.head = data.left(end);
        reply.body = data.mid(end + 4);
        reply.status = data.mid(9, 3).toInt();
    }
    return reply;
}

HttpReply TestWebSecurity::post(const QByteArray &path, const QByteArray &body,
                                const QByteArray &cookie, const QByteArray &origin)
{
    QByteArray request =
        "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(server->port()) +
        "\r\nOrigin: " + (origin.isEmpty() ? this->origin() : origin) +
        "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
        "\r\n";
    if (!cookie.isEmpty())
        request += "Cookie: " + cookie + "\r\n";
    return http(request + "\r\n" + body);
}

// The session cookie as the browser sends it back, or empty.
QByteArray TestWebSecurity::login(const QByteArray &user, const QByteArray &password)
{
    const HttpReply reply =
        post("/login", "{\"user\":\"" + user + "\",\"password\":\"" + password + "\"}");
    return reply.status == 200 ? reply.header("Set-Cookie").split(';').first() : QByteArray();
}

std::unique_ptr<TestWebSecurity::Page>
TestWebSecurity::openSocket(const QByteArray &cookie, const QByteArray &origin, const QString &path)
{
    auto page = std::make_unique<Page>();
    page->socket = std::make_unique<QWebSocket>(
        QString::fromLatin1(origin.isNull() ? this->origin() : origin));
    Page *p = page.get();
    connect(p->socket.get(), &QWebSocket::textMessageReceived, this,
            [p](const QString &text) { p->messages.append(text); });
    connect(p->socket.get(), &QWebSocket::disconnected, this,
            [p]() { p->closeCode = p->socket->closeCode(); });
    QNetworkRequest request(
        QUrl(QStringLiteral("ws://127.0.0.1:%1%2").arg(server->port()).arg(path)));
    if (!cookie.isEmpty())
        request.setRawHeader("Cookie", cookie);
    p->socket->open(request);
    return page;
}

QJsonObject TestWebSecurity::waitForMatch(Page *page, const QString &type,
                                          const std::function<bool(const QJsonObject &)> &match)
{
    QJsonObject found;
    waitFor([&] {
        for (int i = 0; i < page->messages.size(); ++i) {
            const QJsonObject o = QJsonDocument::fromJson(page->messages[i].toUtf8()).object();
            if (o.value("type").toString() == type && match(o)) {
                found = o;
                page->messages.erase(page->messages.begin(), page->messages.begin() + i + 1);
                return true;
            }
        }
        return false;
    });
    return found;
}

int TestWebSecurity::upgradeStatus(const QByteArray &cookie, const QByteArray &origin,
                                   const QByteArray &path)
{
    QByteArray request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                         QByteArray::number(server->port()) +
                         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                         "Sec-WebSocket-Version: 13\r\n";
    if (!origin.isEmpty())
        request += "Origin: " + origin + "\r\n";
    if (!cookie.isEmpty())
        request += "Cookie: " + cookie + "\r\n";
    return http(request + "\r\n").status;
}

namespace {

auto holderIs(const QString &user)
{
    return [user](const QJsonObject &o) { return o.value("holder").toString() == user; };
}

auto mine(bool yours)
{
    return [yours](const QJsonObject &o) { return o.value("yours").toBool() == yours; };
}

} // namespace

void TestWebSecurity::send(Page *page, const QJsonObject &message)
{
    page->socket->sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson()));
}

void TestWebSecurity::loginCookie()
{
    const HttpReply reply = post("/login", "{\"user\":\"ann\",\"password\":\"ann-secret-1\"}");
    QCOMPARE(reply.status, 200);
    const QByteArray setCookie = reply.header("Set-Cookie");
    const QList<QByteArray> parts = setCookie.split(';');
    QVERIFY(parts.first().startsWith("fpsession="));
    const QByteArray id = parts.first().mid(10);
    // 128 bits and more: 22 base64 characters and more.
    QVERIFY2(QByteArray::fromBase64(id, QByteArray::Base64UrlEncoding).size() >= 16, id);
    QVERIFY(setCookie.contains("; HttpOnly"));
    QVERIFY(setCookie.contains("; SameSite=Strict"));
    QVERIFY(!setCookie.contains("Secure")); // plain HTTP on loopback
    QVERIFY(reply.header("Content-Security-Policy").contains("default-src 'none'"));

    // Each login is a new id, and a browser's old id is not kept on.
    const QByteArray second = login("ann", "ann-secret-1");
    QVERIFY(!second.isEmpty() && second != parts.first());
    const QByteArray third =
        post("/login", "{\"user\":\"ann\",\"password\":\"ann-secret-1\"}", second)
            .header("Set-Cookie")
            .split(';')
            .first();
    QVERIFY(third != second);
    const QByteArray page = "GET / HTTP/1.1\r\nHost: x\r\nCookie: ";
    QCOMPARE(http(page + second + "\r\n\r\n").status, 303);
    QCOMPARE(http(page + third + "\r\n\r\n").status, 200);
    QCOMPARE(http("GET / HTTP/1.1\r\nHost: x\r\n\r\n").status, 303);
}

void TestWebSecurity::logoutAndIdleEndSessions()
{
    const QByteArray cookie = login("ann", "ann-secret-1");
    auto page = openSocket(cookie);
    QVERIFY(!waitForType(page.get(), "hello").isEmpty());
    QCOMPARE(post("/logout", "", cookie).status, 200);
    QVERIFY(
        waitFor([&] { return page->closeCode == QWebSocketProtocol::CloseCodePolicyViolated; }));
    QCOMPARE(http("GET / HTTP/1.1\r\nHost: x\r\nCookie: " + cookie + "\r\n\r\n").status, 303);
    // A socket for the ended session is refused before it is a socket.
    QCOMPARE(upgradeStatus(cookie, origin()), 403);

    // Idle: a page that only listens does not keep its session alive.
    const QByteArray idle = login("ann", "ann-secret-1");
    auto listening = openSocket(idle);
    QVERIFY(!waitForType(listening.get(), "hello").isEmpty());
    server->skipTime(qint64(config.sessionIdleMinutes) * 60 * 1000);
    QVERIFY(waitFor(
        [&] { return listening->closeCode == QWebSocketProtocol::CloseCodePolicyViolated; }));
    QCOMPARE(http("GET / HTTP/1.1\r\nHost: x\r\nCookie: " + idle + "\r\n\r\n").status, 303);
}

void TestWebSecurity::loginFromForeignPageRefused()
{
    const HttpReply reply = post("/login", "{\"user\":\"ann\",\"password\":\"ann-secret-1\"}", {},
                                 "http://evil.example");
    QCOMPARE(reply.status, 403);
    QVERIFY(reply.header("Set-Cookie").isEmpty());
}

// A page reached by a configured name is the server's own; any other name is not.
void TestWebSecurity::configuredHostNames()
{
    WebConfig named = config;
    named.hostNames = QStringList{QStringLiteral("panel.example")};
    WebServer namedServer(named, users, audit.get(), source.get());
    QString error;
    QVERIFY2(namedServer.start(&error), qPrintable(error));
    const QByteArray port = QByteArray::number(namedServer.port());
    const QByteArray body = "{\"user\":\"ann\",\"password\":\"ann-secret-1\"}";
    auto loginAs = [&](const QByteArray &host) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, namedServer.port());
        socket.write("POST /login HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
                     "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        QByteArray reply;
        waitFor([&] {
            reply += socket.readAll();
            return reply.contains("\r\n\r\n{");
        });
        return reply.mid(9, 3).toInt();
    };
    QCOMPARE(loginAs("panel.example:" + port), 200);
    QCOMPARE(loginAs("PANEL.example:" + port), 200);
    QCOMPARE(loginAs("127.0.0.1:" + port), 200);
    QCOMPARE(loginAs("evil.example:" + port), 403);
    QCOMPARE(loginAs("panel.example.evil:" + port), 403);
}

void TestWebSecurity::secureCookieUnderTls()
{
    QProcess openssl;
    openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                              "-subj", "/CN=127.0.0.1", "-keyout", dir.filePath("key.pem"), "-out",
                              dir.filePath("cert.pem")});
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
        QSKIP("openssl cannot make a test certificate");
    WebConfig tlsConfig = config;
    tlsConfig.tlsCertificate = dir.filePath("cert.pem");
    tlsConfig.tlsKey = dir.filePath("key.pem");
    WebServer tlsServer(tlsConfig, users, audit.get(), source.get());
    QString error;
    QVERIFY2(tlsServer.start(&error), qPrintable(error));
    QVERIFY(tlsServer.usesTls());

    QSslSocket socket;
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket.connectToHostEncrypted("127.0.0.1", tlsServer.port());
    QVERIFY(waitFor([&] { return socket.isEncrypted(); }));
    const QByteArray body = "{\"user\":\"ann\",\"password\":\"ann-secret-1\"}";
    const QByteArray host = "127.0.0.1:" + QByteArray::number(tlsServer.port());
    socket.write("POST /login HTTP/1.1\r\nHost: " + host + "\r\nOrigin: https://" + host +
                 "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QByteArray reply;
    QVERIFY(waitFor([&] {
        reply += socket.readAll();
        return reply.contains("\r\n\r\n{");
    }));
    QVERIFY2(reply.startsWith("HTTP/1.1 200"), reply);
    const int at = reply.indexOf("Set-Cookie: ");
    QVERIFY(at > 0);
    const QByteArray cookie = reply.mid(at, reply.indexOf("\r\n", at) - at);
    QVERIFY2(cookie.endsWith("; Secure"), cookie);
    QVERIFY(cookie.contains("HttpOnly; SameSite=Strict"));
    QVERIFY(reply.contains("Strict-Transport-Security: max-age="));
}

void TestWebSecurity::upgradeChecks_data()
{
    QTest::addColumn<QByteArray>("cookie");
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("own origin and a session") << QByteArray("ok") << QByteArray() << "/ws" << true;
    QTest::newRow("no session cookie") << QByteArray() << QByteArray() << "/ws" << false;
    QTest::newRow("made-up session id")
        << QByteArray("fpsession=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA") << QByteArray()
        << "/ws" << false;
    QTest::newRow("another site's page")
        << QByteArray("ok") << QByteArray("http://evil.example") << "/ws" << false;
    QTest::newRow("rebound DNS name on our port")
        << QByteArray("ok") << QByteArray("http://evil.example:PORT") << "/ws" << false;
    QTest::newRow("no origin at all") << QByteArray("ok") << QByteArray("") << "/ws" << false;
    QTest::newRow("another path") << QByteArray("ok") << QByteArray() << "/other" << false;
}

void TestWebSecurity::upgradeChecks()
{
    QFETCH(QByteArray, cookie);
    QFETCH(QByteArray, origin);
    QFETCH(QString, path);
    QFETCH(bool, accepted);
    if (cookie == "ok")
        cookie = login("vic", "vic-secret-3");
    origin.replace("PORT", QByteArray::number(server->port()));
    if (accepted) {
        auto page = openSocket(cookie, origin, path);
        QCOMPARE(waitForType(page.get(), "hello").value("user").toString(), QStringLiteral("vic"));
        return;
    }
    // Refused on the HTTP request: never switched to a WebSocket.
    QCOMPARE(upgradeStatus(cookie, origin.isNull() ? this->origin() : origin, path.toLatin1()),
             403);
}

// The state is told from how the link's counters moved since the last look.
void TestWebSecurity::stateInWords()
{
    auto page = openSocket(login("vic", "vic-secret-3"));
    QVERIFY(!waitForType(page.get(), "hello").isEmpty());
    send(page.get(), {{"type", "overview"}, {"show", QJsonArray{0}}});
    QCOMPARE(waitForType(page.get(), "state").value("text").toString(),
             QStringLiteral("waiting for the first reply"));
    // The state the page is sent once the link looks like this (a screen change or the
    // once-a-second look, whichever comes first).
    auto expect = [&](const QString &text, const QString &kind,
                      const std::function<void(ControllerSnapshot &)> &change) {
        source->setLink0(change);
        emit source->screenChanged(0);
        const QJsonObject state = waitForMatch(page.get(), "state", [&](const QJsonObject &o) {
            return o.value("controller").toString() == "c1" && o.value("text").toString() == text;
        });
        QCOMPARE(state.value("text").toString(), text);
        QCOMPARE(state.value("kind").toString(), kind);
    };
    expect("answering", "answering", [](ControllerSnapshot &link) {
        link.counters.accepted = 1;
        link.figure = 12;
        link.sinceReplyMs = 0;
        link.health = LinkWait::Health::Answering;
    });
    expect("replies refused: SNMP error status was 0x02", "refused", [](ControllerSnapshot &link) {
        link.counters.refused = 1;
        link.lastError = QStringLiteral("SNMP error status was 0x02");
    });
    expect("no answer for 40 s", "silent", [](ControllerSnapshot &link) {
        link.counters.noAnswer = 3;
        link.sinceReplyMs = 40400;
        link.health = LinkWait::Health::Silent;
    });
    // Still silent with no new poll counted: the seconds go on.
    expect("no answer for 41 s", "silent",
           [](ControllerSnapshot &link) { link.sinceReplyMs = 41900; });
    expect("answering", "answering", [](ControllerSnapshot &link) {
        link.counters.accepted = 2;
        link.figure = 7;
        link.health = LinkWait::Health::Answering;
    });
}

// The words a link is described by, step by step: each step a look at the link after a reply
// ("round trip ms/lost %") or while it is silent ("silent SECONDS", -1 for never answered).
void TestWebSecurity::linkWordsFollowTheLink_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("words");
    QTest::newRow("near") << QStringList{"5/0"} << "answering";
    QTest::newRow("slow") << QStringList{"423/0"} << "answering (slow link, about 420 ms)";
    QTest::newRow("lossy") << QStringList{"20/8"} << "answering, 8 % of polls lost";
    QTest::newRow("slow and lossy")
        << QStringList{"1234/5"} << "answering (slow link, about 1200 ms), 5 % of polls lost";
    QTest::newRow("small moves keep the words")
        << QStringList{"420/0", "470/0", "380/2", "215/0"} << "answering (slow link, about 420 ms)";
    QTest::newRow("a large move is said") << QStringList{"420/0", "700/0"}
                                          << "answering (slow link, about 700 ms)";
    QTest::newRow("fast again") << QStringList{"420/0", "150/0"} << "answering";
    QTest::newRow("loss gone") << QStringList{"20/8", "20/1"} << "answering";
    QTest::newRow("loss moves by little") << QStringList{"20/8", "20/9", "20/6"}
                                          << "answering, 8 % of polls lost";
    QTest::newRow("silent") << QStringList{"20/0", "silent 40"} << "no answer for 40 s";
    QTest::newRow("never answered") << QStringList{"silent -1"} << "no answer yet";
    QTest::newRow("back from silence") << QStringList{"20/0", "silent 40", "600/30"}
                                       << "answering (slow link, about 600 ms), 30 % of polls lost";
    QTest::newRow("serial line")
        << QStringList{"line 9600 4 3650", "3/0"}
        << "answering (serial 9,600 bit/s, 4 stations: each display read every 3.7 s)";
    QTest::newRow("serial line closed")
        << QStringList{"line 1200 1 14960", "3/0", "closed", "silent 12"}
        << "no answer for 12 s: serial line not open (cannot open /dev/ttyS9)";
}

void TestWebSecurity::linkWordsFollowTheLink()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, words);
    LinkWords shown;
    ControllerSnapshot link;
    for (const QString &step : steps) {
        if (step.startsWith("silent ")) {
            const int seconds = step.mid(7).toInt();
            link.health = LinkWait::Health::Silent;
            link.sinceReplyMs = seconds < 0 ? -1 : seconds * 1000 + 300;
        } else if (step.startsWith("line ")) {
            link.lineSpeed = step.section(' ', 1, 1).toInt();
            link.lineStations = step.section(' ', 2, 2).toInt();
            link.lineCycleMs = step.section(' ', 3, 3).toInt();
        } else if (step == "closed") {
            link.lineOpen = false;
            link.lastError = "cannot open /dev/ttyS9";
        } else {
            ++link.counters.accepted;
            link.health = LinkWait::Health::Answering;
            link.roundTripMs = step.section('/', 0, 0).toInt();
            link.lostPercent = step.section('/', 1, 1).toInt();
            link.figure = link.roundTripMs;
        }
        shown = nextLinkWords(shown, link);
    }
    QCOMPARE(shown.text, words);
}

namespace {

// A display as a page draws it: all the rows of a screen message, or its changed rows applied to
// the display before.
void applyScreen(QStringList *display, const QJsonObject &screen)
{
    if (screen.contains("rows")) {
        display->clear();
        for (const QJsonValue &row : screen.value("rows").toArray())
            display->append(row.toString());
        return;
    }
    for (const QJsonValue &change : screen.value("changed").toArray()) {
        const int row = change.toArray().at(0).toInt();
        if (row >= 0 && row < display->size())
            (*display)[row] = change.toArray().at(1).toString();
    }
}

void writeRow(ControllerSnapshot &link, int row, const QByteArray &text)
{
    std::memset(link.rows[row], ' ', sizeof link.rows[row]);
    std::memcpy(link.rows[row], text.constData(), size_t(text.size()));
}

} // namespace

// An overview page is sent the screens and words of the tiles it has in view and a summary of
// all; a screen carries the rows that changed since the page's last one, the words go out when
// they change (not with every figure), and a page back from a panel is sent only what changed.
void TestWebSecurity::overviewSendsTilesInViewAndChangedRows()
{
    auto page = openSocket(login("vic", "vic-secret-3"));
    auto panel = openSocket(login("ann", "ann-secret-1"));
    QVERIFY(!waitForType(page.get(), "hello").isEmpty());
    QVERIFY(!waitForType(panel.get(), "hello").isEmpty());
    send(panel.get(), {{"type", "watch"}, {"controller", "c1"}});
    QVERIFY(waitFor([&] { return source->watchers(0) == 1; }));

    // Only c2 in view (indexes into the hello's list; out-of-range ones are passed over).
    send(page.get(), {{"type", "overview"}, {"show", QJsonArray{1, 7, -1, 0.5, "0"}}});
    const QJsonObject summary = waitForType(page.get(), "summary");
    QCOMPARE(summary.value("kinds").toString(), QStringLiteral("ww"));
    QCOMPARE(summary.value("counts").toObject().value("waiting").toInt(), 2);
    QCOMPARE(waitForType(page.get(), "screen").value("controller").toString(), QStringLiteral("c2"));
    source->setLink0([](ControllerSnapshot &link) {
        link.counters.accepted = 1;
        link.figure = 12;
        writeRow(link, 1, "PHASE 1");
    });
    emit source->screenChanged(0);
    // The tick's summary follows the kinds; c1 was never in view, so nothing of it came.
    QCOMPARE(waitForMatch(page.get(), "summary", [](const QJsonObject &o) {
                 return o.value("kinds").toString() == "aw";
             }).value("counts").toObject().value("answering").toInt(),
             1);
    for (const QString &m : page->messages)
        QVERIFY2(!m.contains("\"c1\""), qPrintable(m));

    send(page.get(), {{"type", "overview"}, {"show", QJsonArray{0, 1}}});
    QStringList tile;
    applyScreen(&tile, waitForMatch(page.get(), "screen", [](const QJsonObject &o) {
                    return o.value("controller").toString() == "c1";
                }));
    QCOMPARE(tile.value(1).trimmed(), QStringLiteral("PHASE 1"));
    QCOMPARE(waitForType(page.get(), "state").value("text").toString(), QStringLiteral("answering"));

    // A new figure and row 3: the tile gets row 3 alone and no words; the panel gets the figure.
    source->setLink0([](ControllerSnapshot &link) {
        link.counters.accepted = 2;
        link.figure = 31;
        writeRow(link, 3, "GREEN 2");
    });
    emit source->screenChanged(0);
    const QJsonObject changed = waitForMatch(page.get(), "screen", [](const QJsonObject &o) {
        return o.value("controller").toString() == "c1";
    });
    QVERIFY(!changed.contains("rows"));
    QCOMPARE(changed.value("changed").toArray().size(), 1);
    applyScreen(&tile, changed);
    QCOMPARE(tile.value(3).trimmed(), QStringLiteral("GREEN 2"));
    QCOMPARE(tile.value(1).trimmed(), QStringLiteral("PHASE 1"));
    QCOMPARE(waitForMatch(panel.get(), "state", [](const QJsonObject &o) {
                 return o.value("figure").toInt() == 31;
             }).value("text").toString(),
             QStringLiteral("answering"));

    // To a panel and back: nothing changed meanwhile, so the next message of c1 is its next
    // change's row, and no screen of c2 comes again.
    send(page.get(), {{"type", "watch"}, {"controller", "c2"}});
    QVERIFY(!waitForType(page.get(), "control").isEmpty());
    send(page.get(), {{"type", "overview"}, {"show", QJsonArray{0, 1}}});
    // Its answer tells that the server has read the overview message before the change.
    send(page.get(), {{"type", "watch"}, {"controller", "none"}});
    QVERIFY(waitFor([&] { return page->messages.join('\n').contains("\"refused\""); }));
    source->setLink0([](ControllerSnapshot &link) { writeRow(link, 5, "WALK"); });
    emit source->screenChanged(0);
    QVERIFY(waitFor([&] {
        return page->messages.join('\n').contains("WALK");
    }));
    int screens = 0;
    for (const QString &m : page->messages) {
        const QJsonObject o = QJsonDocument::fromJson(m.toUtf8()).object();
        if (o.value("type") == "screen") {
            ++screens;
            QCOMPARE(o.value("controller").toString(), QStringLiteral("c1"));
            QVERIFY(!o.contains("rows"));
        }
        QVERIFY2(o.value("type") != "state", qPrintable(m));
    }
    QCOMPARE(screens, 1);
}

void TestWebSecurity::keysJudgedOnServer()
{
    auto viewer = openSocket(login("vic", "vic-secret-3"));
    auto op = openSocket(login("ann", "ann-secret-1"));
    QVERIFY(!waitForType(viewer.get(), "hello").isEmpty());
    QVERIFY(!waitForType(op.get(), "hello").isEmpty());
    send(viewer.get(), {{"type", "watch"}, {"controller", "c1"}});
    send(op.get(), {{"type", "watch"}, {"controller", "c1"}});
    QCOMPARE(waitForType(op.get(), "screen").value("rows").toArray().first().toString().left(9),
             QStringLiteral("MAIN MENU"));
    QVERIFY(waitFor([&] { return source->watchers(0) == 2; }));

    // A viewer's key and take, and an operator's key without control, never reach the link.
    send(viewer.get(), {{"type", "key"}, {"controller", "c1"}, {"code", 17}});
    QVERIFY(waitForType(viewer.get(), "refused").value("message").toString().contains("viewers"));
    send(viewer.get(), {{"type", "take"}, {"controller", "c1"}});
    QVERIFY(waitForType(viewer.get(), "refused").value("message").toString().contains("viewers"));
    send(op.get(), {{"type", "key"}, {"controller", "c1"}, {"code", 17}});
    QCOMPARE(waitForType(op.get(), "refused").value("message").toString(),
             QStringLiteral("take control first"));
    QVERIFY(source->keys().isEmpty());

    send(op.get(), {{"type", "take"}, {"controller", "c1"}});
    QVERIFY(!waitForMatch(op.get(), "control", mine(true)).isEmpty());
    send(op.get(), {{"type", "key"}, {"controller", "c1"}, {"code", 17}});
    const QJsonArray recent = waitForType(op.get(), "keys").value("keys").toArray();
    QCOMPARE(recent.size(), 1);
    QCOMPARE(recent[0].toObject().value("key").toString(), QStringLiteral("Main Menu"));
    QCOMPARE(source->keys(), QVector<int>{17});
    // The trail held the key's line before the key was handed on.
    const QJsonObject line = QJsonDocument::fromJson(source->auditAtKey().first()).object();
    QCOMPARE(line.value("user").toString(), QStringLiteral("ann"));
    QCOMPARE(line.value("address").toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(line.value("controller").toString(), QStringLiteral("c1"));
    QCOMPARE(line.value("code").toInt(), 17);
    QCOMPARE(line.value("key").toString(), QStringLiteral("Main Menu"));
    QVERIFY(line.value("time").toString().endsWith('Z'));

    QCOMPARE(recent[0].toObject().value("outcome").toString(), QString()); // on its way

    // What became of it reaches the trail, tied to the key's line, and the panel.
    emit source->keyDone(0, 1, KeyOutcome::Answered, QString());
    const auto outcomeIs = [](const QString &outcome) {
        return [outcome](const QJsonObject &o) {
            return o.value("keys").toArray().last().toObject().value("outcome").toString() ==
                   outcome;
        };
    };
    QVERIFY(!waitForMatch(viewer.get(), "keys", outcomeIs("answered")).isEmpty());
    // A key the link could not send: the trail says why, and so does the operator's page.
    send(op.get(), {{"type", "key"}, {"controller", "c1"}, {"code", 3}});
    QVERIFY(waitFor([&] { return source->keys().size() == 2; }));
    emit source->keyDone(0, 2, KeyOutcome::Dropped,
                         QStringLiteral("no answer from the controller for 4 s"));
    QVERIFY(!waitForMatch(op.get(), "keys",
                          outcomeIs("dropped: no answer from the controller for 4 s"))
                 .isEmpty());
    QCOMPARE(waitForType(op.get(), "refused").value("message").toString(),
             QStringLiteral("key not sent: no answer from the controller for 4 s"));
    QFile trail(dir.filePath("audit.log"));
    QVERIFY(trail.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = trail.readAll().trimmed().split('\n');
    QCOMPARE(lines.size(), 4); // key, its outcome, key, its outcome
    QVERIFY2(lines[1].contains("\"of\":1,\"outcome\":\"answered\""), lines[1]);
    QVERIFY2(lines[3].contains("\"of\":3,\"outcome\":\"dropped: no answer"), lines[3]);
    QString report;
    QVERIFY2(AuditLog::verify(dir.filePath("audit.log"), &report), qPrintable(report));
    QVERIFY2(!report.contains("without an outcome"), qPrintable(report));

    // Control of c1 is no licence for c2.
    send(op.get(), {{"type", "key"}, {"controller", "c2"}, {"code", 17}});
    QVERIFY(!waitForMatch(op.get(), "refused", [](const QJsonObject &o) {
                 return o.value("controller").toString() == "c2";
             }).isEmpty());
    QCOMPARE(source->keys().size(), 2);
}

void TestWebSecurity::controlLock()
{
    auto ann = openSocket(login("ann", "ann-secret-1"));
    auto bob = openSocket(login("bob", "bob-secret-2"));
    for (Page *p : {ann.get(), bob.get()}) {
        QVERIFY(!waitForType(p, "hello").isEmpty());
        send(p, {{"type", "watch"}, {"controller", "c1"}});
        QVERIFY(!waitForType(p, "keys").isEmpty());
    }
    send(ann.get(), {{"type", "take"}, {"controller", "c1"}});
    QVERIFY(!waitForMatch(bob.get(), "control", holderIs("ann")).isEmpty());
    send(bob.get(), {{"type", "take"}, {"controller", "c1"}});
    QCOMPARE(waitForType(bob.get(), "refused").value("message").toString(),
             QStringLiteral("ann has control"));

    // Handed back.
    send(ann.get(), {{"type", "release"}, {"controller", "c1"}});
    QVERIFY(!waitForMatch(bob.get(), "control", holderIs("")).isEmpty());
    send(bob.get(), {{"type", "take"}, {"controller", "c1"}});
    QVERIFY(!waitForMatch(bob.get(), "control", mine(true)).isEmpty());
    QVERIFY(!waitForMatch(ann.get(), "control", holderIs("bob")).isEmpty());

    // Five minutes without a key.
    server->skipTime(ControlLocks::IdleMs);
    QVERIFY(!waitForMatch(ann.get(), "control", holderIs("")).isEmpty());
    send(bob.get(), {{"type", "key"}, {"controller", "c1"}, {"code", 1}});
    QVERIFY(!waitForType(bob.get(), "refused").isEmpty());

    // Leaving: the page closes, or goes to another controller.
    send(ann.get(), {{"type", "take"}, {"controller", "c1"}});
    QVERIFY(!waitForMatch(bob.get(), "control", holderIs("ann")).isEmpty());
    ann->socket->close();
    QVERIFY(!waitForMatch(bob.get(), "control", holderIs("")).isEmpty());
    QVERIFY(waitFor([&] { return source->watchers(0) == 1; }));
    send(bob.get(), {{"type", "take"}, {"controller", "c1"}});
    QVERIFY(!waitForMatch(bob.get(), "control", mine(true)).isEmpty());
    send(bob.get(), {{"type", "watch"}, {"controller", "c2"}});
    QVERIFY(!waitForMatch(bob.get(), "keys", [](const QJsonObject &o) {
                 return o.value("controller").toString() == "c2";
             }).isEmpty());
    send(bob.get(), {{"type", "watch"}, {"controller", "c1"}});
    const QJsonObject back = waitForMatch(bob.get(), "control", [](const QJsonObject &o) {
        return o.value("controller").toString() == "c1";
    });
    QVERIFY(!back.isEmpty());
    QCOMPARE(back.value("holder").toString(), QString());
    QVERIFY(source->keys().isEmpty());
}

// An overview message the page sent for a view it has since left arrives after its watch: the
// page stays on its panel. One from a later view (the page went back) takes it off.
void TestWebSecurity::lateOverviewKeepsThePanel()
{
    auto op = openSocket(login("ann", "ann-secret-1"));
    QVERIFY(!waitForType(op.get(), "hello").isEmpty());
    send(op.get(), {{"type", "watch"}, {"controller", "c1"}, {"view", 2}});
    send(op.get(), {{"type", "overview"}, {"show", QJsonArray{0, 1}}, {"view", 1}});
    send(op.get(), {{"type", "take"}, {"controller", "c1"}});
    QVERIFY(!waitForMatch(op.get(), "control", mine(true)).isEmpty());
    send(op.get(), {{"type", "overview"}, {"show", QJsonArray{0, 1}}, {"view", 3}});
    send(op.get(), {{"type", "take"}, {"controller", "c1"}});
    QCOMPARE(waitForType(op.get(), "refused").value("message").toString(),
             QStringLiteral("open the controller's panel first"));
}

void TestWebSecurity::badKeyCodes_data()
{
    QTest::addColumn<QJsonValue>("code");
    QTest::newRow("0 is no key") << QJsonValue(0);
    QTest::newRow("25 is past the last key") << QJsonValue(25);
    QTest::newRow("negative") << QJsonValue(-1);
    QTest::newRow("a fraction") << QJsonValue(1.5);
    QTest::newRow("a string") << QJsonValue("1");
    QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined);
}

void TestWebSecurity::badKeyCodes()
{
    QFETCH(QJsonValue, code);
    auto op = openSocket(login("ann", "ann-secret-1"));
    QVERIFY(!waitForType(op.get(), "hello").isEmpty());
    send(op.get(), {{"type", "watch"}, {"controller", "c1"}});
    send(op.get(), {{"type", "take"}, {"controller", "c1"}});
    QVERIFY(!waitForMatch(op.get(), "control", mine(true)).isEmpty());
    QJsonObject key{{"type", "key"}, {"controller", "c1"}};
    if (!code.isUndefined())
        key.insert("code", code);
    send(op.get(), key);
    QCOMPARE(waitForType(op.get(), "refused").value("message").toString(),
             QStringLiteral("no such key"));
    QVERIFY(source->keys().isEmpty());
    QCOMPARE(QFile(dir.filePath("audit.log")).size(), 0);
}

void TestWebSecurity::failedLoginsThrottled()
{
    for (int i = 0; i < FailureCounter::FreeFailures; ++i)
        QCOMPARE(post("/login", "{\"user\":\"bob\",\"password\":\"guess\"}").status, 401);
    // Now even the right password waits, at this address.
    const HttpReply held = post("/login", "{\"user\":\"bob\",\"password\":\"bob-secret-2\"}");
    QCOMPARE(held.status, 429);
    QCOMPARE(held.header("Retry-After"), QByteArray("1"));
    // The address is held too, whatever name it tries.
    QCOMPARE(post("/login", "{\"user\":\"ann\",\"password\":\"ann-secret-1\"}").status, 429);
    // A stranger's guesses never lock the user out elsewhere: bob from another address is in.
    const QByteArray body = "{\"user\":\"bob\",\"password\":\"bob-secret-2\"}";
    const QByteArray fromElsewhere =
        "POST /login HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(server->port()) +
        "\r\nOrigin: " + origin() + "\r\nContent-Length: " + QByteArray::number(body.size()) +
        "\r\n\r\n" + body;
    QCOMPARE(http(fromElsewhere, QHostAddress("127.0.0.2")).status, 200);
    server->skipTime(FailureCounter::FirstWaitMs);
    QVERIFY(!login("bob", "bob-secret-2").isEmpty());

    // Each further failure doubles the wait, per key.
    FailureCounter counter;
    for (int i = 0; i < FailureCounter::FreeFailures - 1; ++i)
        counter.failed("x", 0);
    QCOMPARE(counter.waitFor("x", 0), 0);
    counter.failed("x", 0);
    QCOMPARE(counter.waitFor("x", 0), 1000);
    counter.failed("x", 1000);
    QCOMPARE(counter.waitFor("x", 1000), 2000);
    QCOMPARE(counter.waitFor("y", 1000), 0);
    for (int i = 0; i < 40; ++i)
        counter.failed("x", 2000);
    QCOMPARE(counter.waitFor("x", 2000), FailureCounter::LongestWaitMs);

    // A full table never forgets a count that still holds someone back: new keys are not
    // counted until old ones have gone quiet, and then the oldest quiet one makes room.
    for (int i = 1; i < FailureCounter::MaxKeys; ++i)
        QVERIFY(counter.failed(QString::number(i), 2000 + i));
    QCOMPARE(counter.size(), FailureCounter::MaxKeys);
    QVERIFY(!counter.failed("newcomer", 3000));
    QCOMPARE(counter.waitFor("x", 3000), FailureCounter::LongestWaitMs - 1000);
    const qint64 later = 2000 + FailureCounter::LongestWaitMs + 2;
    QVERIFY(counter.failed("newcomer", later));
    QCOMPARE(counter.size(), FailureCounter::MaxKeys);
}

// Guesses at one user spread over many addresses: each address alone stays under its brake, so
// the brake on the user from everywhere does the work, and lets the user's own browsers by.
void TestWebSecurity::guessesFromManyAddressesSlowed()
{
    // A guesser that asks as soon as any of its addresses may: how long the guesses take.
    auto guessingTime = [](int guesses, int addresses) {
        LoginThrottle throttle;
        qint64 now = 0;
        for (int made = 0; made < guesses; ++made) {
            qint64 soonest = -1;
            QString from;
            for (int a = 0; a < addresses; ++a) {
                const QString address = QStringLiteral("2001:db8::%1").arg(a + 1);
                const qint64 wait = throttle.check("bob", address, false, now).waitMs;
                if (soonest < 0 || wait < soonest) {
                    soonest = wait;
                    from = address;
                }
            }
            now += soonest;
            throttle.failed("bob", from, now);
        }
        return now;
    };
    const qint64 oneAddress = guessingTime(30, 1);
    const qint64 spread = guessingTime(300, 30);
    QVERIFY2(spread >= oneAddress, qPrintable(QStringLiteral("%1 ms for 300 from 30 addresses, "
                                                             "%2 ms for 30 from one")
                                                  .arg(spread)
                                                  .arg(oneAddress)));

    // Through the door: bob logged in before from 127.0.0.30, then a guesser tries one
    // password from each of ten other addresses.
    const QByteArray good = "{\"user\":\"bob\",\"password\":\"bob-secret-2\"}";
    auto loginFrom = [&](const QByteArray &body, const char *address, const QByteArray &cookie) {
        QByteArray request = "POST /login HTTP/1.1\r\nHost: 127.0.0.1:" +
                             QByteArray::number(server->port()) + "\r\nOrigin: " + origin() +
                             "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
        if (!cookie.isEmpty())
            request += "Cookie: " + cookie + "\r\n";
        return http(request + "\r\n" + body, QHostAddress(QString::fromLatin1(address)));
    };
    const HttpReply before = loginFrom(good, "127.0.0.30", {});
    QCOMPARE(before.status, 200);
    QByteArray device;
    for (const QByteArray &line : before.head.split('\n')) {
        if (line.toLower().startsWith("set-cookie: fpdevice="))
            device = line.mid(12).split(';').first().trimmed();
    }
    QVERIFY2(!device.isEmpty(), before.head.constData());
    QVERIFY2(before.head.contains("Path=/login; Max-Age=") && before.head.contains("HttpOnly"),
             before.head.constData());
    // Ann's device cookie is taken before the guesses: her login hashes a password, which on a
    // loaded machine under a sanitizer can outlast bob's one-second hold.
    const HttpReply annBefore =
        loginFrom("{\"user\":\"ann\",\"password\":\"ann-secret-1\"}", "127.0.0.32", {});
    QByteArray annDevice = annBefore.head.mid(annBefore.head.indexOf("fpdevice="));
    annDevice = annDevice.left(annDevice.indexOf(';'));
    for (int a = 0; a < LoginThrottle::UserRule.freeFailures; ++a) {
        const QByteArray address = "127.0.0." + QByteArray::number(40 + a);
        QCOMPARE(loginFrom("{\"user\":\"bob\",\"password\":\"guess\"}", address, {}).status,
                 401);
    }
    // A browser new to bob waits, even with the right password and from a fresh address...
    const HttpReply held = loginFrom(good, "127.0.0.31", {});
    QCOMPARE(held.status, 429);
    QCOMPARE(held.header("Retry-After"), QByteArray("1"));
    // ...and so does a device cookie that is not bob's, or not ours.
    QByteArray forged = device;
    forged[forged.size() - 2] = forged[forged.size() - 2] == 'A' ? 'B' : 'A';
    QCOMPARE(loginFrom(good, "127.0.0.31", forged).status, 429);
    QCOMPARE(loginFrom(good, "127.0.0.31", annDevice).status, 429);
    // The browser that logged in as bob before gets in at once.
    QCOMPARE(loginFrom(good, "127.0.0.30", device).status, 200);
    // /metrics counts what the user brake held back.
    const HttpReply metrics = http("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QVERIFY2(metrics.body.contains("frontpanel_logins_held_total{brake=\"user\"} 3"),
             metrics.body.constData());
    // A new browser gets in after a short wait, once the guessing pauses.
    server->skipTime(LoginThrottle::UserRule.firstWaitMs);
    QCOMPARE(loginFrom(good, "127.0.0.31", {}).status, 200);
}

void TestWebSecurity::passwordsNeverLogged()
{
    // Everything the process writes to stderr and through Qt's message handler is caught.
    QTemporaryFile errors;
    QVERIFY(errors.open());
    std::fflush(stderr);
    const int savedStderr = dup(STDERR_FILENO);
    dup2(errors.handle(), STDERR_FILENO);
    static QByteArray qtMessages;
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &text) {
            qtMessages += text.toUtf8();
        });

    post("/login", "{\"user\":\"ann\",\"password\":\"Sw0rdfish-wrong\"}");
    post("/login", "{\"user\":\"Sw0rdfish-name\",\"password\":\"Sw0rdfish-other\"}");
    auto op = openSocket(login("ann", "ann-secret-1"));
    QVERIFY(!waitForType(op.get(), "hello").isEmpty());
    send(op.get(), {{"type", "watch"}, {"controller", "c1"}});
    send(op.get(), {{"type", "take"}, {"controller", "c1"}});
    send(op.get(), {{"type", "key"}, {"controller", "c1"}, {"code", 5}});
    QVERIFY(waitFor([&] { return source->keys().size() == 1; }));

    std::fflush(stderr);
    dup2(savedStderr, STDERR_FILENO);
    close(savedStderr);
    qInstallMessageHandler(previous);
    errors.seek(0);
    const QByteArray written = errors.readAll() + qtMessages;
    QVERIFY2(written.contains("failed login"), written); // the check can see what is written
    QFile trail(dir.filePath("audit.log"));
    QVERIFY(trail.open(QIODevice::ReadOnly));
    const QByteArray everything = written + trail.readAll();
    for (const char *secret : {"Sw0rdfish", "ann-secret-1"})
        QVERIFY2(!everything.contains(secret), secret);
}

void TestWebSecurity::staticFilesOnlyFromResources_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("status");

    QTest::newRow("the login page") << QByteArray("/login") << 200;
    QTest::newRow("a script, with a query") << QByteArray("/app.js?v=2") << 200;
    QTest::newRow("a file next to the program") << QByteArray("/secret.txt") << 404;
    QTest::newRow("dot-dot") << QByteArray("/../../../../etc/passwd") << 404;
    QTest::newRow("encoded dot-dot") << QByteArray("/%2e%2e/%2e%2e/etc/passwd") << 404;
    QTest::newRow("dot-dot behind a real name") << QByteArray("/app.js/../../etc/passwd") << 404;
    QTest::newRow("absolute path") << QByteArray("//etc/passwd") << 404;
    QTest::newRow("resource path") << QByteArray("/:/web/app.js") << 404;
    QTest::newRow("resource prefix") << QByteArray("/web/app.js") << 404;
}

void TestWebSecurity::staticFilesOnlyFromResources()
{
    QFETCH(QByteArray, path);
    QFETCH(int, status);
    QFile secret(QDir::current().filePath("secret.txt"));
    QVERIFY(secret.open(QIODevice::WriteOnly));
    secret.write("not for the web\n");
    secret.close();
    const HttpReply reply = http("GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
    secret.remove();
    QCOMPARE(reply.status, status);
    QVERIFY(!reply.body.contains("not for the web"));
    QVERIFY(!reply.body.contains("root:"));
}

void TestWebSecurity::hostileMessages()
{
    const QByteArray cookie = login("ann", "ann-secret-1");
    auto page = openSocket(cookie);
    QVERIFY(!waitForType(page.get(), "hello").isEmpty());
    page->socket->sendTextMessage(QStringLiteral("{\"type\":"));
    QCOMPARE(waitForType(page.get(), "error").value("message").toString(),
             QStringLiteral("malformed JSON"));
    page->socket->sendTextMessage(QStringLiteral("[1,2,3]"));
    QCOMPARE(waitForType(page.get(), "error").value("message").toString(),
             QStringLiteral("malformed JSON"));
    send(page.get(), {{"type", "shutdown"}});
    QCOMPARE(waitForType(page.get(), "error").value("message").toString(),
             QStringLiteral("unknown message type \"shutdown\""));
    page->socket->sendBinaryMessage("\x01\x02");
    QVERIFY(!waitForType(page.get(), "error").isEmpty());

    // Oversized: the socket is dropped, the server goes on.
    page->socket->sendTextMessage(QString(int(DoorLimits::MaxMessageBytes) * 4, QLatin1Char('x')));
    QVERIFY(waitFor([&] { return page->closeCode >= 0; }));

    // A flood closes its own socket only.
    auto flood = openSocket(cookie);
    auto calm = openSocket(cookie);
    QVERIFY(!waitForType(flood.get(), "hello").isEmpty());
    QVERIFY(!waitForType(calm.get(), "hello").isEmpty());
    for (int i = 0; i < DoorLimits::MaxMessagesPerSecond * 2; ++i)
        send(flood.get(), {{"type", "overview"}});
    QVERIFY(
        waitFor([&] { return flood->closeCode == QWebSocketProtocol::CloseCodePolicyViolated; }));
    send(calm.get(), {{"type", "watch"}, {"controller", "c2"}});
    QVERIFY(!waitForType(calm.get(), "screen").isEmpty());
}

namespace {

// A WebSocket client on a plain socket with a small receive buffer, so that the server sees a
// page that stops reading as soon as the test stops reading.
class StalledPage
{
public:
    StalledPage(quint16 port, const QByteArray &cookie, const QByteArray &origin)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
            return;
        const QByteArray upgrade = "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                                   "\r\nOrigin: " + origin +
                                   "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                   "Sec-WebSocket-Version: 13\r\nCookie: " + cookie + "\r\n\r\n";
        ::send(fd, upgrade.constData(), upgrade.size(), 0);
        timeval wait{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        while (!received.contains("\r\n\r\n") && readSome()) {
        }
        upgraded = received.startsWith("HTTP/1.1 101");
        received = received.mid(received.indexOf("\r\n\r\n") + 4);
    }
    ~StalledPage() { ::close(fd); }

    // A masked text frame, as a browser sends it.
    void sendText(const QByteArray &text)
    {
        QByteArray frame;
        frame += char(0x81);
        frame += char(0x80 | text.size());
        frame += QByteArray(4, '\0'); // a zero mask leaves the text as it is
        frame += text;
        ::send(fd, frame.constData(), frame.size(), 0);
    }

    bool readSome()
    {
        char chunk[65536];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n > 0)
            received.append(chunk, int(n));
        return n > 0;
    }

    // Whole text frames received so far.
    QList<QByteArray> texts() const
    {
        QList<QByteArray> out;
        for (int at = 0; at + 2 <= received.size();) {
            qint64 length = quint8(received[at + 1]) & 0x7f;
            int header = 2;
            if (length == 126) {
                if (at + 4 > received.size())
                    break;
                length = (quint8(received[at + 2]) << 8) | quint8(received[at + 3]);
                header = 4;
            } else if (length == 127) {
                break; // never this large here
            }
            if (at + header + length > received.size())
                break;
            if ((quint8(received[at]) & 0x0f) == 1)
                out.append(received.mid(at + header, int(length)));
            at += header + int(length);
        }
        return out;
    }

    bool upgraded = false;

private:
    int fd = -1;
    QByteArray received;
};

qint64 residentKb()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    return statm.readAll().split(' ').value(1).toLongLong() * (sysconf(_SC_PAGESIZE) / 1024);
}

} // namespace

// A page that stops reading while its controller's screen changes thousands of times is owed only
// the newest screen, not each one: what reaches it once it reads again is a small part of what
// was sent, and it ends with the display as it is, though most screens carried only the rows
// that changed.
void TestWebSecurity::pageThatStopsReadingGetsTheLatestOnly()
{
    StalledPage page(server->port(), login("vic", "vic-secret-3"), origin());
    QVERIFY(page.upgraded);
    page.sendText("{\"type\":\"watch\",\"controller\":\"c1\"}");
    QVERIFY(waitFor([&] { return source->watchers(0) == 1; }));
    QStringList expected(ControllerSnapshot::Rows);
    // Each change is looked at on its own, as replies come, so that the page's queue holds a
    // screen when the next one is sent.
    int changes = 0;
    auto change = [&](int row, const QByteArray &text) {
        source->setLink0([&](ControllerSnapshot &link) { writeRow(link, row, text); });
        expected[row] = QString::fromLatin1(text).leftJustified(ControllerSnapshot::Columns);
    };
    auto looked = [&] {
        ++changes;
        const int before = source->looksAt0;
        emit source->screenChanged(0);
        while (source->looksAt0 == before)
            std::this_thread::yield();
    };
    // Every row changes, many times over what the socket's buffers hold: the page falls behind.
    for (int i = 0; i < 6000; ++i) {
        for (int row = 0; row < ControllerSnapshot::Rows; ++row)
            change(row, QByteArray::number(i).repeated(8).left(ControllerSnapshot::Columns));
        looked();
    }
    // Then one row at a time: a screen of this row alone taking the place of the waiting one
    // would leave the row before it as it was.
    for (int row = 1; row < ControllerSnapshot::Rows; ++row) {
        change(row, "ROW " + QByteArray::number(row));
        looked();
    }
    int screens = 0, read = 0;
    QStringList display;
    QVERIFY(waitFor([&] {
        page.readSome();
        const QList<QByteArray> texts = page.texts();
        for (; read < texts.size(); ++read) {
            const QJsonObject o = QJsonDocument::fromJson(texts[read]).object();
            if (o.value("type").toString() == "screen") {
                ++screens;
                applyScreen(&display, o);
            }
        }
        return display == expected;
    }, 20000));
    std::printf("screens received by a page that stopped reading: %d of %d\n", screens, changes);
    QVERIFY2(screens < changes, qPrintable(QString::number(screens)));
}

void TestWebSecurity::malformedRequestsLeaveMemoryFlat()
{
    const QByteArray garbage[] = {
        "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", // a TLS hello on the plain port
        "GET / HTTP/9.9\r\n\r\n",
        "GET /" + QByteArray(9000, 'a') + " HTTP/1.1\r\n\r\n",
        "POST /login HTTP/1.1\r\nContent-Length: -5\r\n\r\n",
        "GET / HTTP/1.1\r\nHost x\r\n\0\0\0\r\n\r\n",
        "\r\n\r\n\r\n",
        "BREW /pot HTCPCP/1.0\r\n\r\n",
    };
    auto round = [&](int count) {
        constexpr int Batch = 50;
        for (int sent = 0; sent < count; sent += Batch) {
            std::vector<std::unique_ptr<QTcpSocket>> sockets;
            for (int i = 0; i < Batch; ++i) {
                auto s = std::make_unique<QTcpSocket>();
                s->connectToHost(QHostAddress::LocalHost, server->port());
                s->write(garbage[(sent + i) % std::size(garbage)]);
                sockets.push_back(std::move(s));
            }
            // Each is answered or dropped by the server; a request left half-way (the server
            // waits for its end) is given up by the client, as a real one would.
            waitFor(
                [&] {
                    for (auto &s : sockets) {
                        if (s->state() != QAbstractSocket::UnconnectedState &&
                            s->bytesAvailable() == 0)
                            return false;
                    }
                    return true;
                },
                100);
            sockets.clear();
        }
        QTest::qWait(50);
    };
    round(2000); // warms up Qt's and the allocator's caches
    const qint64 before = residentKb();
    round(8000);
    const qint64 after = residentKb();
    std::printf("resident memory around 8000 malformed requests: %lld kB -> %lld kB\n",
                (long long)before, (long long)after);
    QCOMPARE(http("GET /login HTTP/1.1\r\nHost: x\r\n\r\n").status, 200);
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer keeps freed memory in quarantine: resident memory grows by design.
    QSKIP("resident memory is not judged under AddressSanitizer");
#endif
    QVERIFY2(after - before < 4096, qPrintable(QStringLiteral("grew %1 kB").arg(after - before)));
}

void TestWebSecurity::heldConnectionsCappedPerAddress()
{
    // Requests begun and never finished: the server waits for their end, up to its cap.
    std::vector<std::unique_ptr<QTcpSocket>> held;
    for (int i = 0; i < DoorLimits::MaxConnectionsPerAddress + 36; ++i) {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QHostAddress::LocalHost, server->port());
        s->write("GET / HTTP/1.1\r\nHost: x\r\n");
        held.push_back(std::move(s));
    }
    auto open = [&] {
        return std::count_if(held.begin(), held.end(), [](const auto &s) {
            return s->state() == QAbstractSocket::ConnectedState;
        });
    };
    QVERIFY(waitFor([&] { return open() == DoorLimits::MaxConnectionsPerAddress; }));
    QTest::qWait(200);
    QCOMPARE(open(), DoorLimits::MaxConnectionsPerAddress);

    // Another address is served meanwhile; loopback answers for all of 127/8.
    QTcpSocket other;
    QVERIFY(other.bind(QHostAddress("127.0.0.2")));
    other.connectToHost(QHostAddress::LocalHost, server->port());
    other.write("GET /login HTTP/1.1\r\nHost: x\r\n\r\n");
    QByteArray reply;
    QVERIFY(waitFor([&] {
        reply += other.readAll();
        return reply.contains("\r\n\r\n");
    }));
    QVERIFY2(reply.startsWith("HTTP/1.1 200"), reply.left(40));

    // Once they leave, their address is served again.
    held.clear();
    QVERIFY(waitFor([&] { return http("GET /login HTTP/1.1\r\nHost: x\r\n\r\n").status == 200; }));
}

QTEST_GUILESS_MAIN(TestWebSecurity)
#include "tst_websecurity.moc"
