// The browser front panel's server: the door (listening, TLS, caps and timeouts, the HTTP
// answers) and the page channel (open pages, control, keys and fan-out), run on a network thread
// of their own. All of the server's state lives on that thread; the controller source tells it
// of screen changes from its own thread, and is asked for snapshots and keys from this one, so
// its calls must be safe from any thread.
#ifndef WEBSERVER_H
#define WEBSERVER_H

#include "keytrail.h"
#include "authenticator.h"
#include "controllerslots.h"
#include "controllersource.h"
#include "webconfig.h"

#include <QMetaObject>
#include <QString>

#include <atomic>
#include <memory>
#include <thread>

class Recorder;

class SharedTrail;

class WebServer
{
public:
    // The audit log's head is written to standard error at start (by the program) and this often,
    // so that the journal holds heads to check a trail's end against.
    static constexpr qint64 AuditHeadEveryMs = 60 * 60 * 1000;

    // audit and source must outlive the server.
    WebServer(const WebConfig &config, std::shared_ptr<const Authenticator> users,
              KeyTrail *audit, ControllerSource *source);
    ~WebServer();
    WebServer(const WebServer &) = delete;
    WebServer &operator=(const WebServer &) = delete;

    // Listens as configured (TLS when a certificate and key are set) and starts the network
    // thread. False, with error, when the address cannot be bound or the certificate or key
    // cannot be used.
    bool start(QString *error);
    // Before start(): where watched displays and their keys are recorded (it must outlive the
    // server), and replays read.
    void setRecorder(Recorder *recorder);
    // Before start(), for a server of a pair: the shared trail, which says whether this server
    // leads (/ready, /metrics) and answers on the network thread. It must outlive the server.
    void setShared(SharedTrail *trail);
    quint16 port() const { return listeningPort; }
    bool usesTls() const { return tls; }

    // From any thread, after the source has its links for next: the controllers and users of
    // a reload. Sessions, control, pages and the audit trail carry on; what a removed or
    // demoted user had ends at once.
    void reload(const ControllerSlots &next, const SlotChanges &changes,
                std::shared_ptr<const Authenticator> users);

    // For tests of the timeouts, from any thread: moves the server's clock forward.
    void skipTime(qint64 ms) { skippedMs += ms; }

private:
    struct Rooms;

    qint64 now() const;
    void tick();
    void pingWatchdog(qint64 everyMs);
    QByteArray metricsText() const;

    WebConfig config;
    ControllerSource *source;
    Recorder *recorder = nullptr;
    SharedTrail *shared = nullptr;
    std::unique_ptr<Rooms> rooms;
    std::thread network;
    QMetaObject::Connection screenConnection, keyConnection;
    std::atomic<qint64> skippedMs{0};
    quint16 listeningPort = 0;
    bool tls = false;
};

#endif // WEBSERVER_H
