// The door's answers to HTTP requests: the pages from the program's resources, login and
// logout, the session check, and whether a WebSocket upgrade may become a page. It sees whole
// requests that the connection has already bounded in size and time, and keeps no socket.
#ifndef DOOR_H
#define DOOR_H

#include "accessrules.h"
#include "authenticator.h"
#include "devicekey.h"
#include "httptypes.h"
#include "pageidentity.h"
#include "replayquery.h"
#include "webconfig.h"


#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

// A replay or export of one controller's recording, asked for by a page: read off the network
// thread, since a long range takes a while.
struct ReplayRequest
{
    ReplayQuery query;
    // Of the request, for the answer's framing.
    unsigned version = 11;
    bool head = false;
};

class Door
{
public:
    static constexpr char SessionCookie[] = "fpsession";

    // What the door has seen since the start, for /metrics.
    struct Counters
    {
        uint64_t responses[600] = {}; // by status code
        uint64_t refusedUpgrades = 0;
        uint64_t loginFailures = 0;
        // Logins answered 429 at once, by the brake that held them (LoginBrake's order).
        uint64_t loginsHeld[4] = {};
    };

    // All must outlive the door.
    Door(const WebConfig &config, std::shared_ptr<const Authenticator> users,
         SessionStore *sessions, LoginThrottle *throttle);
    void setListening(quint16 port, bool tls);
    bool usesTls() const { return tls; }

    static bool isLogin(const HttpRequest &request);
    static bool isReplay(const HttpRequest &request);

    // The recordings; null when nothing is recorded.
    void setRecordings(const RecordingStore *store) { recordings = store; }
    // GET /recording?controller=ID&from=MS&to=MS[&format=json|cast|txt], for any role: either an
    // answer to send at once (no session, a bad range), or nothing and the query for
    // replayAnswer(), which may run on any thread.
    std::optional<HttpResponse> startReplay(const HttpRequest &request, qint64 nowMs,
                                            ReplayRequest *replay);
    HttpResponse replayAnswer(const ReplayRequest &replay) const;
    // Every request but a login and an upgrade; address is the client's.
    HttpResponse answer(const HttpRequest &request, const QString &address, qint64 nowMs);

    // The users as they are now. A login holds on to the one it started with, so that a reload
    // in the meantime cannot pull it away from under the password thread.
    std::shared_ptr<const Authenticator> authenticator() const { return users; }
    void setAuthenticator(std::shared_ptr<const Authenticator> next) { users = std::move(next); }

    // Signs and checks the device cookies that let a user's own browsers past the brake on
    // guesses at that user from everywhere; load() it from a file to outlive restarts.
    DeviceKey &deviceKey() { return devices; }

    // A login in two steps, so that the password work can run off the network thread: first
    // the origin and the brakes on guessing. Either an answer to send at once, or nothing and
    // the name and password to check with Authenticator::authenticate() and then finishLogin().
    std::optional<HttpResponse> startLogin(const HttpRequest &request, const QString &address,
                                           qint64 nowMs, QString *name, QString *password);
    HttpResponse finishLogin(const HttpRequest &request, const QString &address,
                             const QString &name, const std::optional<User> &user, qint64 nowMs);

    // May this upgrade become a page? Checked on the HTTP request, before anything is accepted.
    bool admit(const HttpRequest &request, const QString &address, qint64 nowMs,
               PageIdentity *who, QString *refusal);

    // A plain answer with the security headers every answer carries.
    HttpResponse reply(const HttpRequest &request, int status, const char *type,
                       const QByteArray &body) const;

    // Told when logout ends a session, so that its pages close.
    std::function<void(const QByteArray &session)> sessionEnded;
    // The text of /metrics.
    std::function<QByteArray()> metrics;
    // Whether this server leads, for /ready: a load balancer sends pages to the one that does.
    std::function<bool()> leading;

    Counters counters;

private:
    HttpResponse logout(const HttpRequest &request);
    HttpResponse serveFile(const HttpRequest &request, const QByteArray &path, qint64 nowMs);
    HttpResponse sessionInfo(const HttpRequest &request);
    HttpResponse readyAnswer(const HttpRequest &request);
    HttpResponse metricsAnswer(const HttpRequest &request, const QString &address);
    QByteArray sessionOf(const HttpRequest &request) const;
    QByteArray cookieValue(const HttpRequest &request, const QByteArray &name) const;
    bool ownOrigin(const HttpRequest &request) const;
    QByteArray cookie(const QByteArray &value, bool clear) const;

    const WebConfig &config;
    std::shared_ptr<const Authenticator> users;
    SessionStore *sessions;
    LoginThrottle *throttle;
    DeviceKey devices;
    const RecordingStore *recordings = nullptr;
    quint16 port = 0;
    bool tls = false;
};

#endif // DOOR_H
