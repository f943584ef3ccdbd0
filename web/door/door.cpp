#include "door.h"

#include "serverlog.h"
#include "staticfiles.h"

#include <boost/beast/http/field.hpp>
#include <boost/beast/http/verb.hpp>

#include <QDateTime>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

namespace http = boost::beast::http;

namespace {

// The page's only sources are the server itself; nothing inline, nothing framed.
const char contentSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; manifest-src 'self'; worker-src 'self'; base-uri 'none'; "
    "form-action 'self'; frame-ancestors 'none'";

// Browsers that once reached the server over TLS keep to TLS for a year.
const char StrictTransportSecurity[] = "max-age=31536000";

QByteArray field(const HttpRequest &request, http::field name)
{
    const auto value = request[name];
    return QByteArray(value.data(), int(value.size()));
}

QByteArray pathOf(const HttpRequest &request)
{
    const auto target = request.target();
    QByteArray path(target.data(), int(target.size()));
    const int query = path.indexOf('?');
    return query < 0 ? path : path.left(query);
}

} // namespace

Door::Door(const WebConfig &config, std::shared_ptr<const Authenticator> users,
           SessionStore *sessions, LoginThrottle *throttle)
    : config(config), users(std::move(users)), sessions(sessions), throttle(throttle)
{
}

void Door::setListening(quint16 listeningPort, bool usesTls)
{
    port = listeningPort;
    tls = usesTls;
}

bool Door::isLogin(const HttpRequest &request)
{
    return request.method() == http::verb::post && pathOf(request) == "/login";
}

bool Door::isReplay(const HttpRequest &request)
{
    return (request.method() == http::verb::get || request.method() == http::verb::head) &&
           pathOf(request) == "/recording";
}

std::optional<HttpResponse> Door::startReplay(const HttpRequest &request, qint64 nowMs,
                                              ReplayRequest *replay)
{
    if (!sessions->use(sessionOf(request), nowMs))
        return reply(request, 401, "text/plain", "log in first\n");
    if (!recordings)
        return reply(request, 404, "text/plain", "nothing is recorded on this server\n");
    const auto target = request.target();
    const QByteArray text(target.data(), int(target.size()));
    const int mark = text.indexOf('?');
    ReplayQuery &query = replay->query;
    const QByteArray refusal = Replays::parse(mark < 0 ? QByteArray() : text.mid(mark + 1), &query);
    if (!refusal.isEmpty())
        return reply(request, 400, "text/plain", refusal);
    query.store = recordings;
    query.title = query.controller;
    for (const ControllerConfig &c : config.controllers) {
        if (c.id == query.controller && c.name != query.controller)
            query.title = QStringLiteral("%1 (%2)").arg(c.name, query.controller);
    }
    replay->version = request.version();
    replay->head = request.method() == http::verb::head;
    return std::nullopt;
}

HttpResponse Door::replayAnswer(const ReplayRequest &replay) const
{
    HttpRequest bare;
    bare.version(replay.version);
    bare.method(replay.head ? http::verb::head : http::verb::get);
    const ReplayAnswer answer = Replays::answer(replay.query);
    HttpResponse response = reply(bare, answer.status, answer.type, answer.body);
    if (!answer.fileName.isEmpty())
        response.set(http::field::content_disposition,
                     "attachment; filename=\"" + answer.fileName.toStdString() + '"');
    return response;
}

HttpResponse Door::reply(const HttpRequest &request, int status, const char *type,
                         const QByteArray &body) const
{
    HttpResponse response{http::status(status), request.version()};
    response.set(http::field::server, "frontpanel-web");
    response.set(http::field::content_type, type);
    response.set("Content-Security-Policy", contentSecurityPolicy);
    response.set("X-Content-Type-Options", "nosniff");
    response.set("X-Frame-Options", "DENY");
    response.set("Referrer-Policy", "no-referrer");
    response.set(http::field::cache_control, "no-store");
    if (tls)
        response.set(http::field::strict_transport_security, StrictTransportSecurity);
    response.body().assign(body.constData(), size_t(body.size()));
    response.prepare_payload();
    // A HEAD gets the length of what a GET would get, and no body.
    if (request.method() == http::verb::head)
        response.body().clear();
    return response;
}

HttpResponse Door::answer(const HttpRequest &request, const QString &address, qint64 nowMs)
{
    const QByteArray path = pathOf(request);
    const http::verb method = request.method();
    if (method == http::verb::post && path == "/logout")
        return logout(request);
    if (method == http::verb::get || method == http::verb::head) {
        if (path == "/session")
            return sessionInfo(request);
        if (path == "/metrics")
            return metricsAnswer(request, address);
        if (path == "/ready")
            return readyAnswer(request);
        return serveFile(request, path, nowMs);
    }
    if (path == "/login" && method == http::verb::post)
        return reply(request, 500, "text/plain", "login goes through startLogin\n");
    return reply(request, 405, "text/plain", "method not allowed\n");
}

HttpResponse Door::serveFile(const HttpRequest &request, const QByteArray &path, qint64 nowMs)
{
    const StaticFile *file = findStaticFile(path);
    if (!file)
        return reply(request, 404, "text/plain", "not found\n");
    if (file->needsSession && !sessions->use(sessionOf(request), nowMs)) {
        HttpResponse response = reply(request, 303, "text/plain", "log in first\n");
        response.set(http::field::location, "/login");
        return response;
    }
    const bool gzip =
        !file->gzip.isEmpty() && acceptsGzip(field(request, http::field::accept_encoding));
    const QByteArray &etag = gzip ? file->gzipEtag : file->etag;
    const bool unchanged = etagMatches(field(request, http::field::if_none_match), etag);
    HttpResponse response = reply(request, unchanged ? 304 : 200, file->type,
                                  unchanged ? QByteArray() : gzip ? file->gzip : file->body);
    if (gzip && !unchanged)
        response.set(http::field::content_encoding, "gzip");
    // A 304 has no content, and a length there would have to be the 200's: none is sent.
    if (unchanged)
        response.erase(http::field::content_length);
    // Kept by the browser and asked after each time: an unchanged file costs a 304.
    response.set(http::field::cache_control, file->needsSession ? "private, no-cache" : "no-cache");
    response.set(http::field::etag, etag.toStdString());
    response.set(http::field::vary, "Accept-Encoding");
    return response;
}

// Whether the page's session still stands: the page asks before it reconnects, and goes to the
// login page when it does not. Does not count as use.
HttpResponse Door::sessionInfo(const HttpRequest &request)
{
    const QByteArray id = sessionOf(request);
    if (id.isEmpty() || !sessions->has(id))
        return reply(request, 401, "application/json", "{\"error\":\"log in first\"}");
    return reply(request, 200, "application/json", "{}");
}

// Says no more than whether this server is the one to send pages to: a load balancer on
// another host asks it.
HttpResponse Door::readyAnswer(const HttpRequest &request)
{
    if (!leading || leading())
        return reply(request, 200, "text/plain", "leading\n");
    return reply(request, 503, "text/plain", "not leading\n");
}

// The figures tell an outsider which controllers exist and how they fare: loopback (a
// Prometheus or an exporter on the same machine) or the configured bearer token only.
HttpResponse Door::metricsAnswer(const HttpRequest &request, const QString &address)
{
    bool allowed = QHostAddress(address).isLoopback();
    if (!allowed && !config.metricsToken.isEmpty()) {
        const QByteArray given = field(request, http::field::authorization);
        const QByteArray expected = "Bearer " + config.metricsToken;
        unsigned char difference = given.size() == expected.size() ? 0 : 1;
        for (int i = 0; i < given.size() && i < expected.size(); ++i)
            difference |= static_cast<unsigned char>(given[i] ^ expected[i]);
        allowed = difference == 0;
    }
    if (!allowed) {
        if (config.metricsToken.isEmpty())
            return reply(request, 403, "text/plain", "metrics are served to loopback only\n");
        HttpResponse response = reply(request, 401, "text/plain", "a bearer token is needed\n");
        response.set(http::field::www_authenticate, "Bearer");
        return response;
    }
    return reply(request, 200, "text/plain; version=0.0.4; charset=utf-8",
                 metrics ? metrics() : QByteArray());
}

QByteArray Door::sessionOf(const HttpRequest &request) const
{
    return cookieValue(request, SessionCookie);
}

QByteArray Door::cookieValue(const HttpRequest &request, const QByteArray &name) const
{
    const QByteArray prefix = name + '=';
    for (const QByteArray &part : field(request, http::field::cookie).split(';')) {
        const QByteArray cookie = part.trimmed();
        if (cookie.startsWith(prefix))
            return cookie.mid(prefix.size());
    }
    return QByteArray();
}

bool Door::ownOrigin(const HttpRequest &request) const
{
    const QByteArray origin = field(request, http::field::origin);
    const QByteArray host = field(request, http::field::host);
    if (origin.isEmpty() || host.isEmpty())
        return false;
    const QByteArray scheme = tls ? "https://" : "http://";
    if (origin != scheme + host)
        return false;
    // The Host must be a name of this server, or a page from a rebound DNS name could pass.
    const QByteArray portText = ':' + QByteArray::number(port);
    const QByteArray lowerHost = host.toLower();
    for (const QString &name : config.hostNames) {
        // Browsers leave out the scheme's default port.
        if (lowerHost == name.toLatin1() + portText || lowerHost == name.toLatin1())
            return true;
    }
    const QHostAddress listenAddress(config.listenAddress);
    if (listenAddress == QHostAddress::Any || listenAddress == QHostAddress::AnyIPv4 ||
        listenAddress == QHostAddress::AnyIPv6)
        return !QHostAddress(QUrl(QString::fromLatin1(origin)).host()).isNull();
    QList<QByteArray> names = {config.listenAddress.toLatin1() + portText};
    if (listenAddress.isLoopback())
        names << "localhost" + portText;
    return names.contains(host);
}

QByteArray Door::cookie(const QByteArray &value, bool clear) const
{
    QByteArray text = QByteArray(SessionCookie) + '=' + value + "; Path=/; ";
    if (clear)
        text += "Max-Age=0; ";
    text += "HttpOnly; SameSite=Strict";
    if (tls)
        text += "; Secure";
    return text;
}

std::optional<HttpResponse> Door::startLogin(const HttpRequest &request, const QString &address,
                                             qint64 nowMs, QString *name, QString *password)
{
    // A login form on another site must not log a browser in here.
    if (!ownOrigin(request))
        return reply(request, 403, "application/json", "{\"error\":\"foreign origin\"}");
    const QJsonObject body =
        QJsonDocument::fromJson(QByteArray::fromRawData(request.body().data(),
                                                        int(request.body().size())))
            .object();
    *name = body.value(QStringLiteral("user")).toString();
    *password = body.value(QStringLiteral("password")).toString();
    const bool knownDevice =
        devices.vouchesFor(cookieValue(request, DeviceKey::CookieName), *name,
                           QDateTime::currentMSecsSinceEpoch());
    const LoginThrottle::Verdict held = throttle->check(*name, address, knownDevice, nowMs);
    if (held.waitMs > 0) {
        ++counters.loginsHeld[int(held.brake)];
        const QByteArray seconds = QByteArray::number((held.waitMs + 999) / 1000);
        HttpResponse response =
            reply(request, 429, "application/json",
                  "{\"error\":\"too many failed logins: try again in " + seconds + " s\"}");
        response.set(http::field::retry_after, seconds.constData());
        return response;
    }
    return std::nullopt;
}

HttpResponse Door::finishLogin(const HttpRequest &request, const QString &address,
                               const QString &name, const std::optional<User> &user,
                               qint64 nowMs)
{
    if (!user) {
        ++counters.loginFailures;
        throttle->failed(name, address, nowMs);
        serverLog(LogLevel::Notice, "failed login from %s", qPrintable(address));
        return reply(request, 401, "application/json",
                     "{\"error\":\"wrong user name or password\"}");
    }
    throttle->succeeded(name, address);
    // A session id the browser brought along is never promoted: login always makes a new one.
    sessions->end(sessionOf(request));
    const QByteArray id = sessions->create(user->name, user->role, nowMs);
    const QJsonObject body{{QStringLiteral("user"), user->name},
                           {QStringLiteral("role"), UserStore::roleName(user->role)}};
    HttpResponse response = reply(request, 200, "application/json",
                                  QJsonDocument(body).toJson(QJsonDocument::Compact));
    response.set(http::field::set_cookie, cookie(id, false).constData());
    // This browser is now one of the user's own, for the brake on guesses from everywhere. Sent
    // back with logins only.
    const QByteArray note = devices.issue(user->name, QDateTime::currentMSecsSinceEpoch());
    if (!note.isEmpty()) {
        QByteArray text = QByteArray(DeviceKey::CookieName) + '=' + note +
                          "; Path=/login; Max-Age=" +
                          QByteArray::number(DeviceKey::LifetimeMs / 1000) +
                          "; HttpOnly; SameSite=Strict";
        if (tls)
            text += "; Secure";
        response.insert(http::field::set_cookie, text.constData());
    }
    return response;
}

HttpResponse Door::logout(const HttpRequest &request)
{
    if (!ownOrigin(request))
        return reply(request, 403, "application/json", "{\"error\":\"foreign origin\"}");
    const QByteArray id = sessionOf(request);
    if (!id.isEmpty()) {
        sessions->end(id);
        if (sessionEnded)
            sessionEnded(id);
    }
    HttpResponse response = reply(request, 200, "application/json", "{}");
    response.set(http::field::set_cookie, cookie(QByteArray(), true).constData());
    return response;
}

bool Door::admit(const HttpRequest &request, const QString &address, qint64 nowMs,
                 PageIdentity *who, QString *refusal)
{
    const Session *session = nullptr;
    const QByteArray id = sessionOf(request);
    if (pathOf(request) != "/ws")
        *refusal = QStringLiteral("no such socket");
    else if (!ownOrigin(request))
        *refusal = QStringLiteral("foreign origin");
    else if (!(session = sessions->use(id, nowMs)))
        *refusal = QStringLiteral("log in first");
    if (!session)
        return false;
    who->session = id;
    who->user = session->user;
    who->role = session->role;
    who->address = address;
    return true;
}
