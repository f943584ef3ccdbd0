// A ControllerServer on a thread of the test's own (see loopthread.h), for the link and panel
// tests.
#ifndef SERVERTHREAD_H
#define SERVERTHREAD_H

#include "controllerserver.h"
#include "loopthread.h"
#include "snmpbytes.h"

#include <QHostAddress>
#include <QList>

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
        : thread([this, address, wantedPort](ControllerServer &server) {
              server.setRequestLog(true);
              boundPort = server.listen(address, wantedPort) ? server.port() : 0;
          }),
          served(&thread.get())
    {
    }

    quint16 port() const { return boundPort; }
    // Runs f on the server's thread, for what must be set there.
    void onServer(const std::function<void(ControllerServer &)> &f) { thread.onThread(f); }
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
    // Set on the server's thread before the constructor returns.
    quint16 boundPort = 0;
    LoopThread<ControllerServer> thread;
    ControllerServer *served;
};

#endif // SERVERTHREAD_H
