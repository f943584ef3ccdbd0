// What the server tells the service manager and the monitoring, and how its controllers carry
// over a reload: the watchdog stops when the network thread is stuck, /metrics answers loopback
// or the bearer token only, and controllers keep their slots across reloads.
#include "accessrules.h"
#include "auditlog.h"
#include "controllerslots.h"
#include "door.h"
#include "userstore.h"
#include "waitfor.h"
#include "webserver.h"

#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// One controller whose snapshot can be made to hang, as a link engine that never lets go of its
// lock would: the server's network thread asks for it every second and then hangs with it.
class GatedSource : public ControllerSource
{
public:
    void close()
    {
        std::lock_guard<std::mutex> hold(lock);
        open = false;
    }
    bool hanging() const
    {
        std::lock_guard<std::mutex> hold(lock);
        return waiting;
    }
    void reopen()
    {
        {
            std::lock_guard<std::mutex> hold(lock);
            open = true;
        }
        opened.notify_all();
    }
    bool snapshot(int index, ControllerSnapshot *out) const override
    {
        std::unique_lock<std::mutex> hold(lock);
        waiting = !open;
        opened.wait(hold, [this] { return open; });
        waiting = false;
        std::memset(out->rows, ' ', sizeof out->rows);
        return index == 0;
    }
    quint64 pressKey(int, uint8_t) override { return 0; }
    void watch(int) override {}
    void unwatch(int) override {}

private:
    mutable std::mutex lock;
    mutable std::condition_variable opened;
    bool open = true;
    mutable bool waiting = false;
};

ControllerConfig controller(const char *id, int port, const char *group = "")
{
    ControllerConfig c;
    c.id = c.name = QString::fromLatin1(id);
    c.address = QStringLiteral("127.0.0.1");
    c.port = port;
    c.group = QString::fromLatin1(group);
    return c;
}

} // namespace

class TestWebService : public QObject
{
    Q_OBJECT

private slots:
    void watchdogStopsWhenTheNetworkThreadIsStuck();
    void metricsAccess_data();
    void metricsAccess();
    void slotsAcrossReloads();
};

void TestWebService::watchdogStopsWhenTheNetworkThreadIsStuck()
{
    QTemporaryDir dir;
    const QByteArray path = dir.filePath("notify").toUtf8();
    const int listener = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
    qputenv("NOTIFY_SOCKET", path);
    qputenv("WATCHDOG_USEC", "100000");
    // Counted as they arrive; anything but a watchdog ping is no concern of this test.
    int pings = 0;
    QSocketNotifier notifier(listener, QSocketNotifier::Read);
    connect(&notifier, &QSocketNotifier::activated, this, [&] {
        char text[256];
        ssize_t n;
        while ((n = ::recv(listener, text, sizeof text - 1, 0)) > 0) {
            text[n] = 0;
            if (std::strstr(text, "WATCHDOG=1"))
                ++pings;
        }
    });

    QString error;
    AuditLog audit;
    QVERIFY(audit.open(dir.filePath("audit.log"), &error));
    WebConfig config;
    config.listenPort = 0;
    config.controllers = {controller("c1", 1000)};
    GatedSource source;
    {
        WebServer server(config, std::make_shared<UserStore>(), &audit, &source);
        QVERIFY2(server.start(&error), qPrintable(error));
        QVERIFY2(waitFor([&] { return pings >= 5; }), "pings at 50 ms while the thread runs");

        source.close();
        QVERIFY2(waitFor([&] { return source.hanging(); }), "the next tick hangs");
        // A ping sent just before may still be on its way.
        QTest::qWait(100);
        const int whenStuck = pings;
        QTest::qWait(500);
        QCOMPARE(pings, whenStuck); // ten intervals without a ping

        source.reopen();
        QVERIFY2(waitFor([&] { return pings >= whenStuck + 5; }), "pings again once it runs");
    }
    qunsetenv("NOTIFY_SOCKET");
    qunsetenv("WATCHDOG_USEC");
    ::close(listener);
}

void TestWebService::metricsAccess_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QByteArray>("token");
    QTest::addColumn<QByteArray>("authorization");
    QTest::addColumn<int>("status");

    const QByteArray token = "a-token-of-twenty-four-chars-or-more";
    QTest::newRow("loopback, no token set") << "127.0.0.1" << QByteArray() << QByteArray() << 200;
    QTest::newRow("loopback v6") << "::1" << QByteArray() << QByteArray() << 200;
    QTest::newRow("loopback, token set, none sent") << "127.0.0.5" << token << QByteArray() << 200;
    QTest::newRow("outside, no token set") << "10.1.2.3" << QByteArray() << QByteArray() << 403;
    QTest::newRow("outside, none sent") << "10.1.2.3" << token << QByteArray() << 401;
    QTest::newRow("outside, right token") << "10.1.2.3" << token << "Bearer " + token << 200;
    QTest::newRow("outside, token one byte short")
        << "10.1.2.3" << token << "Bearer " + token.chopped(1) << 401;
    QTest::newRow("outside, token and more") << "10.1.2.3" << token << "Bearer " + token + "x" << 401;
    QTest::newRow("outside, basic scheme") << "10.1.2.3" << token << "Basic " + token << 401;
    QTest::newRow("outside, bare token") << "10.1.2.3" << token << token << 401;
    QTest::newRow("outside v6, no token set") << "fd00::7" << QByteArray() << QByteArray() << 403;
}

void TestWebService::metricsAccess()
{
    QFETCH(QString, address);
    QFETCH(QByteArray, token);
    QFETCH(QByteArray, authorization);
    QFETCH(int, status);

    WebConfig config;
    config.metricsToken = token;
    SessionStore sessions(60000);
    LoginThrottle throttle;
    Door door(config, std::make_shared<UserStore>(), &sessions, &throttle);
    door.metrics = [] { return QByteArray("frontpanel_sessions 0\n"); };
    HttpRequest request{boost::beast::http::verb::get, "/metrics", 11};
    if (!authorization.isEmpty())
        request.set(boost::beast::http::field::authorization, authorization.toStdString());
    const HttpResponse response = door.answer(request, address, 0);
    QCOMPARE(int(response.result_int()), status);
    QCOMPARE(response.body() == "frontpanel_sessions 0\n", status == 200);
}

void TestWebService::slotsAcrossReloads()
{
    ControllerSlots slots0 = ControllerSlots::from(
        {controller("a", 1001), controller("b", 1002), controller("c", 1003)});

    // b removed, d and e added, c moved to another port, a renamed.
    ControllerConfig renamed = controller("a", 1001, "north");
    SlotChanges first;
    const ControllerSlots slots1 = nextSlots(
        slots0, {controller("e", 1005), renamed, controller("c", 2003), controller("d", 1004)},
        &first);
    QCOMPARE(slots1.size(), 5);
    QCOMPARE(slots1.controllers[0].group, QStringLiteral("north"));
    QVERIFY(!slots1.isLive(1));
    QCOMPARE(slots1.controllers[1].id, QStringLiteral("b")); // kept for its keys' outcomes
    QCOMPARE(slots1.controllers[2].port, 2003);
    QCOMPARE(slots1.controllers[3].id, QStringLiteral("e"));
    QCOMPARE(slots1.controllers[4].id, QStringLiteral("d"));
    QCOMPARE(first.added, QVector<int>({3, 4}));
    QCOMPARE(first.removed, QVector<int>({1}));
    QCOMPARE(first.moved, QVector<int>({2}));
    QCOMPARE(first.renamed, QVector<int>({0}));
    QCOMPARE(slots1.liveControllers().size(), 4);

    // b comes back: a new slot, never the old one, whose last outcomes may still be on their way.
    SlotChanges second;
    const ControllerSlots slots2 =
        nextSlots(slots1, slots1.liveControllers() + QVector<ControllerConfig>{controller("b", 1002)},
                  &second);
    QCOMPARE(second.added, QVector<int>({5}));
    QVERIFY(!slots2.isLive(1));
    QVERIFY(second.removed.isEmpty() && second.moved.isEmpty() && second.renamed.isEmpty());

    // The same file again changes nothing.
    SlotChanges none;
    nextSlots(slots2, slots2.liveControllers(), &none);
    QVERIFY(!none.any());
}

QTEST_GUILESS_MAIN(TestWebService)
#include "tst_webservice.moc"
