// A ControllerServer on a thread of the test's own, for the link and panel tests: a std::thread
// that runs a QEventLoop, started and joined with the standard library. ThreadSanitizer sees that
// start and that join (QThread::wait synchronises inside Qt, where it cannot look), so whatever a
// test function's server left behind is ordered before the next function's fixture, which may be
// built at the same stack address.
#ifndef SERVERTHREAD_H
#define SERVERTHREAD_H

#include "controllerserver.h"
#include "snmpbytes.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QList>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

class ServerThread
{
public:
    struct Event
    {
        SnmpBytes::Request request;
        qint64 atMs = 0;
    };
    using EventLog = std::vector<Event>;

    // Starts the thread and binds; port() is 0 when the address could not be bound.
    explicit ServerThread(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost),
                          quint16 wantedPort = 0)
        : thread([this, address, wantedPort] { run(address, wantedPort); })
    {
        std::unique_lock<std::mutex> locker(lock);
        readyChanged.wait(locker, [this] { return served != nullptr; });
    }

    ~ServerThread()
    {
        stopRequested.store(true);
        thread.join();
    }

    quint16 port() const { return boundPort; }
    // Its switches, log and counters are safe to use from the test's thread.
    ControllerServer &server() { return *served; }

    // Answers at once, but with display blocks too short to be taken, so that a link task runs
    // short cycles while the screen and cursor stay as the test wrote them.
    void serveBlankDisplay() { served->setDisplay(0, 0, QByteArray(), QByteArray()); }

    // Every request so far, read back, oldest first.
    EventLog events() const
    {
        EventLog out;
        for (const ControllerServer::LoggedRequest &r : served->requestLog())
            out.push_back({SnmpBytes::parse(r.bytes), r.atMs});
        return out;
    }
    int count(uint8_t pduType) const
    {
        int n = 0;
        for (const Event &e : events())
            n += e.request.pduType == pduType ? 1 : 0;
        return n;
    }
    int requests() const { return int(served->requestLog().size()); }
    // The code of every key SET in order; -1 for a SET that carried no one-byte code.
    QList<int> keys() const
    {
        QList<int> out;
        for (const Event &e : events()) {
            if (e.request.pduType != SnmpBytes::SetRequest)
                continue;
            const bool oneByte =
                e.request.valueTag == SnmpBytes::OctetString && e.request.value.size() == 1;
            out.append(oneByte ? uint8_t(e.request.value[0]) : -1);
        }
        return out;
    }

private:
    void run(const QHostAddress &address, quint16 wantedPort)
    {
        // First the loop: it gives this thread, which Qt did not start, its event dispatcher,
        // and the socket's notifier needs one when it is bound.
        QEventLoop loop;
        ControllerServer server;
        server.setRequestLog(true);
        const bool bound = server.listen(address, wantedPort);
        // The stop request is an atomic the loop looks at, not an event posted from the test's
        // thread, so that nothing of ours is handed across inside Qt.
        QTimer stopCheck;
        QObject::connect(&stopCheck, &QTimer::timeout, &loop, [this, &loop] {
            if (stopRequested.load())
                loop.quit();
        });
        stopCheck.start(5);
        {
            std::lock_guard<std::mutex> locker(lock);
            boundPort = bound ? server.port() : 0;
            served = &server;
        }
        readyChanged.notify_all();
        loop.exec();
    }

    std::mutex lock;
    std::condition_variable readyChanged;
    ControllerServer *served = nullptr;
    quint16 boundPort = 0;
    std::atomic<bool> stopRequested{false};
    std::thread thread; // last: it starts once everything above is built
};

#endif // SERVERTHREAD_H
