#include "webserver.h"

#include "accessrules.h"
#include "door.h"
#include "doorlimits.h"
#include "doorservices.h"
#include "listener.h"
#include "metrics.h"
#include "pagechannel.h"
#include "recorder.h"
#include "serverlog.h"
#include "servicenotify.h"
#include "sharedaccess.h"
#include "sharedtrail.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include <chrono>
#include <exception>
#include <optional>

namespace net = boost::asio;

// Declared in the order they may be torn down in reverse: the context last built is the first
// gone, and with it every connection still open, while the rooms those connections call into
// are still there.
struct WebServer::Rooms
{
    Rooms(const WebConfig &config, std::shared_ptr<const Authenticator> users, KeyTrail *audit,
          ControllerSource *source)
        : audit(audit), sessions(qint64(config.sessionIdleMinutes) * 60 * 1000),
          door(config, std::move(users), &sessions, &throttle),
          channel(config, &sessions, audit, source),
          // A directory that is slow to answer holds one thread, not every login.
          passwordWork(config.auth == WebConfig::Auth::Pam ? 4 : 1)
    {}

    KeyTrail *audit;
    // When the audit log's head is next written to the log (the journal under systemd).
    qint64 nextHeadLogMs = 0;

    SessionStore sessions;
    // What a server of a pair writes behind of its sessions and control.
    std::optional<SharedAccess> mirror;
    LoginThrottle throttle;
    Door door;
    PageChannel channel;
    net::thread_pool passwordWork;
    net::thread_pool recordingWork{1};
    std::optional<net::ssl::context> tls;
    DoorServices services;
    ConnectionCaps caps{DoorLimits::MaxConnectionsPerAddress, DoorLimits::MaxConnections};
    net::io_context context{1};
    std::optional<net::executor_work_guard<net::io_context::executor_type>> work;
    std::optional<Listener> listener;
    std::optional<net::steady_timer> ticker;
    std::optional<net::steady_timer> watchdog;
};

WebServer::WebServer(const WebConfig &config, std::shared_ptr<const Authenticator> users,
                     KeyTrail *audit, ControllerSource *source)
    : config(config), source(source)
{
    rooms = std::make_unique<Rooms>(this->config, std::move(users), audit, source);
    rooms->services.door = &rooms->door;
    rooms->services.channel = &rooms->channel;
    rooms->services.passwordWork = &rooms->passwordWork;
    rooms->services.recordingWork = &rooms->recordingWork;
    rooms->services.now = [this] { return now(); };
    rooms->door.sessionEnded = [this](const QByteArray &session) {
        rooms->channel.endSession(session);
    };
    rooms->door.metrics = [this] { return metricsText(); };
    rooms->door.leading = [this] { return rooms->audit->leading(); };
}

WebServer::~WebServer()
{
    QObject::disconnect(screenConnection);
    QObject::disconnect(keyConnection);
    // The trail's answers stop before the context they are run on goes.
    if (shared)
        shared->setPost(nullptr);
    if (network.joinable()) {
        net::post(rooms->context, [this] {
            rooms->listener->stop();
            rooms->ticker->cancel();
            rooms->watchdog->cancel();
            rooms->channel.closeAll();
            rooms->work.reset();
            rooms->context.stop();
        });
        network.join();
    }
    rooms->passwordWork.join();
    rooms->recordingWork.join();
}

void WebServer::setShared(SharedTrail *trail)
{
    shared = trail;
    if (trail)
        rooms->mirror.emplace(trail);
}

void WebServer::setRecorder(Recorder *to)
{
    recorder = to;
    rooms->channel.setRecorder(to);
    rooms->door.setRecordings(to ? to->store() : nullptr);
}

qint64 WebServer::now() const
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() +
           skippedMs.load();
}

bool WebServer::start(QString *error)
{
    if (!config.tlsCertificate.isEmpty() || !config.tlsKey.isEmpty()) {
        rooms->tls.emplace(net::ssl::context::tls_server);
        net::ssl::context &context = *rooms->tls;
        boost::system::error_code ec;
        context.set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                                net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 |
                                net::ssl::context::no_tlsv1_1,
                            ec);
        if (!ec)
            context.use_certificate_chain_file(config.tlsCertificate.toStdString(), ec);
        if (!ec)
            context.use_private_key_file(config.tlsKey.toStdString(), net::ssl::context::pem, ec);
        if (ec) {
            *error = QStringLiteral("cannot use the TLS certificate %1 and key %2: %3")
                         .arg(config.tlsCertificate, config.tlsKey,
                              QString::fromStdString(ec.message()));
            return false;
        }
        tls = true;
    }
    QString keyError;
    if (!config.deviceKey.isEmpty() && !rooms->door.deviceKey().load(config.deviceKey, &keyError))
        serverLog(LogLevel::Warning, "%s; browsers are known until the server stops",
                  qPrintable(keyError));
    rooms->listener.emplace(rooms->context, rooms->tls ? &*rooms->tls : nullptr, &rooms->services,
                            &rooms->caps);
    if (!rooms->listener->open(config.listenAddress, config.listenPort, error))
        return false;
    listeningPort = rooms->listener->port();
    rooms->door.setListening(listeningPort, tls);

    // Screen changes come on the source's thread and are served on the network thread.
    screenConnection =
        QObject::connect(source, &ControllerSource::screenChanged, [this](int slot) {
            net::post(rooms->context, [this, slot] { rooms->channel.screenChanged(slot); });
        });
    keyConnection =
        QObject::connect(source, &ControllerSource::keyDone,
                         [this](int slot, quint64 ticket, KeyOutcome outcome,
                                const QString &reason) {
                             net::post(rooms->context, [this, slot, ticket, outcome, reason] {
                                 rooms->channel.keyDone(slot, ticket, outcome, reason);
                             });
                         });
    if (shared) {
        rooms->channel.setMirror(&*rooms->mirror);
        shared->setPost(
            [this](std::function<void()> done) { net::post(rooms->context, std::move(done)); },
            [this](const AccessSnapshot &left) { rooms->channel.adopt(left, now()); });
    }
    rooms->work.emplace(rooms->context.get_executor());
    rooms->ticker.emplace(rooms->context);
    rooms->watchdog.emplace(rooms->context);
    const qint64 watchdogMs = ServiceNotify::watchdogPingMs();
    net::post(rooms->context, [this, watchdogMs] {
        rooms->listener->start();
        tick();
        if (watchdogMs > 0)
            pingWatchdog(watchdogMs);
    });
    network = std::thread([this] {
        for (;;) {
            try {
                rooms->context.run();
                return;
            } catch (const std::exception &e) {
                // A handler's surprise must not take every page down with it.
                serverLog(LogLevel::Error, "unexpected error: %s", e.what());
            }
        }
    });
    return true;
}

void WebServer::tick()
{
    const qint64 t = now();
    rooms->channel.tick(t);
    if (rooms->nextHeadLogMs == 0) {
        rooms->nextHeadLogMs = t + AuditHeadEveryMs;
    } else if (t >= rooms->nextHeadLogMs) {
        rooms->nextHeadLogMs = t + AuditHeadEveryMs;
        serverLog(LogLevel::Info, "audit log head: sequence %lld, sha256 %s",
                  (long long)rooms->audit->headSequence(), rooms->audit->headHash().constData());
    }
    rooms->ticker->expires_after(std::chrono::seconds(1));
    rooms->ticker->async_wait([this](boost::system::error_code ec) {
        if (!ec)
            tick();
    });
}

// From the network thread's own timer: when that thread is stuck, the pings stop and systemd
// restarts the server.
void WebServer::pingWatchdog(qint64 everyMs)
{
    ServiceNotify::watchdog();
    rooms->watchdog->expires_after(std::chrono::milliseconds(everyMs));
    rooms->watchdog->async_wait([this, everyMs](boost::system::error_code ec) {
        if (!ec)
            pingWatchdog(everyMs);
    });
}

void WebServer::reload(const ControllerSlots &next, const SlotChanges &changes,
                       std::shared_ptr<const Authenticator> users)
{
    net::post(rooms->context, [this, next, changes, users] {
        rooms->door.setAuthenticator(users);
        rooms->channel.reconfigure(next, changes);
        // A directory may be slow to say who is in which group: asked on the password thread.
        net::post(rooms->passwordWork, [this, users, names = rooms->channel.sessionUsers()] {
            QHash<QString, std::optional<Role>> roles;
            for (const QString &name : names)
                roles.insert(name, users->currentRole(name));
            net::post(rooms->context, [this, roles] { rooms->channel.applyRoles(roles); });
        });
    });
}

QByteArray WebServer::metricsText() const
{
    const ControllerSlots &bySlot = rooms->channel.controllerSlots();
    QVector<ControllerFigures> controllers;
    controllers.reserve(bySlot.size());
    for (int i = 0; i < bySlot.size(); ++i) {
        if (!bySlot.isLive(i))
            continue;
        const ControllerConfig &c = bySlot.controllers[i];
        ControllerFigures f;
        f.id = c.id;
        f.name = c.name;
        f.group = c.group;
        f.address = c.where();
        f.state = rooms->channel.linkWords(i).state;
        ControllerSnapshot s;
        if (source->snapshot(i, &s)) {
            f.lastReplyAgeSeconds = s.sinceReplyMs < 0 ? -1 : double(s.sinceReplyMs) / 1000;
            f.counters = s.counters;
            f.roundTripSeconds = s.roundTripMs < 0 ? -1 : s.roundTripMs / 1000.0;
            f.roundTripVariationSeconds = s.variationMs < 0 ? -1 : s.variationMs / 1000.0;
            f.lostRatio = s.lostPercent / 100.0;
        }
        controllers.append(f);
    }
    ServerFigures server;
    server.sessions = rooms->sessions.count();
    server.pages = rooms->channel.pageCount();
    server.connections = rooms->caps.total();
    server.connectionCap = rooms->caps.cap();
    server.connectionsClosedForRoom = rooms->caps.closedForRoom();
    server.responses = rooms->door.counters.responses;
    server.refusedUpgrades = rooms->door.counters.refusedUpgrades;
    server.loginFailures = rooms->door.counters.loginFailures;
    const uint64_t *held = rooms->door.counters.loginsHeld;
    server.heldUserAtAddress = held[int(LoginBrake::UserAtAddress)];
    server.heldAddress = held[int(LoginBrake::Address)];
    server.heldUser = held[int(LoginBrake::User)];
    server.leading = rooms->audit->leading();
    server.auditLines = rooms->audit->linesWritten();
    server.auditWriteFailures = rooms->audit->writeFailures();
    server.strangerDatagrams = source->strangerDatagrams();
    if (recorder) {
        server.recordingEvents = recorder->eventsWritten();
        server.recordingWriteFailures = recorder->writeFailures();
        server.recordingBytes = uint64_t(recorder->bytesOnDisk());
    }
    return formatMetrics(controllers, source->lines(), server, readProcessFigures());
}
