// A controller stand-in for the link tests: a UDP socket on a loopback address, served by its
// own thread and event loop so that it answers at once while the test thread waits. It logs
// every request it gets and answers display GETs with the blocks it is given. Its own state is
// guarded with the standard library's locks, which ThreadSanitizer follows (Qt's are not built
// for it).
#ifndef FAKECONTROLLER_H
#define FAKECONTROLLER_H

#include "snmpbytes.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QThread>
#include <QUdpSocket>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

class FakeController : public QThread
{
public:
    enum Mode {
        Answer,         // display GETs get their block, key SETs an echo
        Silent,         // nothing gets an answer
        KeysUnanswered, // display GETs are answered, key SETs are not
        Oversize,       // display GETs get a 380-byte reply
        EmptyFirst,     // every answer comes after an empty datagram
    };

    struct Event
    {
        SnmpBytes::Request request;
        qint64 atMs = 0;
    };

    explicit FakeController(const QHostAddress &address = QHostAddress::LocalHost,
                            quint16 wantedPort = 0)
        : address(address), wantedPort(wantedPort)
    {
        upper = SnmpBytes::pattern(320, 'A');
        lower = SnmpBytes::pattern(320, 'B');
    }

    ~FakeController() override
    {
        quit();
        wait();
        // Pairs with the store at the end of run(): QThread::wait() synchronises inside Qt, where
        // ThreadSanitizer cannot see it, and the next test's controller may be built at this
        // very address.
        served.load(std::memory_order_acquire);
    }

    // Starts the thread and binds; the port, or 0 when the address could not be bound.
    quint16 open()
    {
        start();
        std::unique_lock<std::mutex> locker(lock);
        readyChanged.wait(locker, [this] { return ready; });
        return boundPort;
    }

    void setMode(Mode m) { mode.store(m); }
    void setDisplay(uint8_t row, uint8_t column, const QByteArray &rows0to7,
                    const QByteArray &rows8to15)
    {
        std::lock_guard<std::mutex> locker(lock);
        cursorRow = row;
        cursorColumn = column;
        upper = rows0to7;
        lower = rows8to15;
    }

    // A deep copy taken under the lock: no container is shared between the two threads.
    using EventLog = std::vector<Event>;
    EventLog events() const
    {
        std::lock_guard<std::mutex> locker(lock);
        return log;
    }
    int count(uint8_t pduType) const
    {
        int n = 0;
        for (const Event &e : events())
            n += e.request.pduType == pduType ? 1 : 0;
        return n;
    }
    int requests() const { return int(events().size()); }

protected:
    void run() override
    {
        serve();
        // The thread's last touch of this object; the destructor's acquire pairs with it.
        served.store(true, std::memory_order_release);
    }

private:
    void serve()
    {
        QUdpSocket socket;
        socket.setProxy(QNetworkProxy::NoProxy);
        clock.start();
        // Exclusive, so that no other program on the machine shares the port with us.
        const bool bound = socket.bind(address, wantedPort, QUdpSocket::DontShareAddress);
        {
            std::lock_guard<std::mutex> locker(lock);
            boundPort = bound ? socket.localPort() : 0;
            ready = true;
        }
        readyChanged.notify_all();
        if (!bound)
            return;
        QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [this, &socket] {
            while (socket.hasPendingDatagrams()) {
                QByteArray datagram(
                    int(socket.pendingDatagramSize() < 0 ? 0 : socket.pendingDatagramSize()), '\0');
                QHostAddress from;
                quint16 fromPort = 0;
                const qint64 n =
                    socket.readDatagram(datagram.data(), datagram.size(), &from, &fromPort);
                if (n < 0)
                    continue;
                datagram.truncate(int(n));
                const QByteArray answer = handle(datagram);
                if (answer.isEmpty())
                    continue;
                if (mode.load() == EmptyFirst)
                    socket.writeDatagram(QByteArray(), from, fromPort);
                socket.writeDatagram(answer, from, fromPort);
            }
        });
        exec();
    }

    QByteArray handle(const QByteArray &datagram)
    {
        using namespace SnmpBytes;
        Event e;
        e.request = parse(datagram);
        e.atMs = clock.elapsed();
        std::lock_guard<std::mutex> locker(lock);
        log.push_back(e);
        const Request &r = e.request;
        const Mode m = mode.load();
        if (!r.valid || m == Silent)
            return QByteArray();
        if (r.pduType == SetRequest) {
            if (m == KeysUnanswered)
                return QByteArray();
            return message(GetResponse, r.requestId, r.oid, r.valueTag, r.value);
        }
        if (r.pduType != GetRequest)
            return QByteArray();
        QByteArray value;
        if (r.oid == oidBytes(FirstBlockOid))
            value = firstBlock(cursorRow, cursorColumn,
                               m == Oversize ? upper + QByteArray(1, 'x') : upper);
        else if (r.oid == oidBytes(SecondBlockOid))
            value = lower;
        else
            return QByteArray();
        return message(GetResponse, r.requestId, r.oid, OctetString, value);
    }

    const QHostAddress address;
    const quint16 wantedPort;
    std::atomic<Mode> mode{Answer};
    std::atomic<bool> served{false};
    QElapsedTimer clock;

    mutable std::mutex lock;
    std::condition_variable readyChanged;
    bool ready = false;
    quint16 boundPort = 0;
    EventLog log;
    uint8_t cursorRow = 3;
    uint8_t cursorColumn = 7;
    QByteArray upper;
    QByteArray lower;
};

#endif // FAKECONTROLLER_H
