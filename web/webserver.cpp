#include "webserver.h"

#include "keytable.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QWebSocket>

#include <cstdio>

namespace {

// The page's only sources are the server itself; nothing inline, nothing framed.
const QByteArray contentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

struct StaticFile
{
    const char *path;
    const char *resource;
    const char *type;
    bool needsSession;
};

// Every file the server gives out: a URL path is only ever compared with this table.
const StaticFile staticFiles[] = {
    {"/", ":/web/index.html", "text/html; charset=utf-8", true},
    {"/login", ":/web/login.html", "text/html; charset=utf-8", false},
    {"/app.js", ":/web/app.js", "text/javascript; charset=utf-8", false},
    {"/login.js", ":/web/login.js", "text/javascript; charset=utf-8", false},
    {"/style.css", ":/web/style.css", "text/css; charset=utf-8", false},
};

// The browser's names (KeyboardEvent.key) for a Qt key of the key table.
QStringList browserKeys(int qtKey)
{
    if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9)
        return {QString(QChar('0' + (qtKey - Qt::Key_0)))};
    if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) {
        const QChar upper('A' + (qtKey - Qt::Key_A));
        return {upper.toLower(), upper};
    }
    static const struct
    {
        int qtKey;
        const char *name;
    } named[] = {
        {Qt::Key_Space, " "},           {Qt::Key_Asterisk, "*"},       {Qt::Key_Period, "."},
        {Qt::Key_Delete, "Delete"},     {Qt::Key_Up, "ArrowUp"},       {Qt::Key_Down, "ArrowDown"},
        {Qt::Key_Left, "ArrowLeft"},    {Qt::Key_Right, "ArrowRight"}, {Qt::Key_Home, "Home"},
        {Qt::Key_PageDown, "PageDown"}, {Qt::Key_Escape, "Escape"},    {Qt::Key_End, "End"},
        {Qt::Key_Minus, "-"},           {Qt::Key_Plus, "+"},           {Qt::Key_Slash, "/"},
        {Qt::Key_Return, "Enter"},      {Qt::Key_Enter, "Enter"},      {Qt::Key_PageUp, "PageUp"},
    };
    for (const auto &n : named) {
        if (n.qtKey == qtKey)
            return {QString::fromLatin1(n.name)};
    }
    return {};
}

QJsonArray keyTableJson()
{
    static const char *gridNames[] = {"menu", "nav", "special"};
    QJsonArray keys;
    for (const KeyTable::Key &key : KeyTable::keys) {
        QStringList keyboard;
        if (key.shortcut)
            keyboard += browserKeys(key.shortcut);
        for (const KeyTable::KeyboardKey &k : KeyTable::keyboardKeys) {
            if (k.code == key.code)
                keyboard += browserKeys(k.qtKey);
        }
        keyboard.removeDuplicates();
        keys.append(QJsonObject{
            {QStringLiteral("code"), key.code},
            {QStringLiteral("name"), QString::fromLatin1(key.name)},
            {QStringLiteral("caption"), QString::fromLatin1(key.caption)},
            {QStringLiteral("grid"), QString::fromLatin1(gridNames[key.grid])},
            {QStringLiteral("row"), key.row},
            {QStringLiteral("column"), key.column},
            {QStringLiteral("keyboard"), QJsonArray::fromStringList(keyboard)},
        });
    }
    return keys;
}

QString addressText(const QHostAddress &address)
{
    bool ok = false;
    const QHostAddress v4(address.toIPv4Address(&ok));
    return ok ? v4.toString() : address.toString();
}

} // namespace

WebServer::WebServer(const WebConfig &config, const UserStore *users, AuditLog *audit,
                     ControllerSource *source, QObject *parent)
    : QAbstractHttpServer(parent), config(config), users(users), audit(audit), source(source),
      sessions(qint64(config.sessionIdleMinutes) * 60 * 1000), controls(config.controllers.size()),
      views(config.controllers.size())
{
    clock.start();
    for (LinkView &view : views) {
        view.kind = QStringLiteral("waiting");
        view.text = QStringLiteral("waiting for the first reply");
    }
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &WebServer::acceptSockets);
    connect(source, &ControllerSource::screenChanged, this, &WebServer::onScreenChanged);
    connect(&ticker, &QTimer::timeout, this, &WebServer::tick);
    ticker.start(1000);
}

bool WebServer::start(QString *error)
{
    if (!config.tlsCertificate.isEmpty() || !config.tlsKey.isEmpty()) {
        QFile certFile(config.tlsCertificate), keyFile(config.tlsKey);
        if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read the TLS certificate %1 or key %2")
                         .arg(config.tlsCertificate, config.tlsKey);
            return false;
        }
        const QSslCertificate certificate(&certFile, QSsl::Pem);
        const QSslKey key(&keyFile, QSsl::Rsa, QSsl::Pem);
        QSslKey usableKey = key;
        if (key.isNull()) {
            keyFile.seek(0);
            usableKey = QSslKey(&keyFile, QSsl::Ec, QSsl::Pem);
        }
        if (certificate.isNull() || usableKey.isNull()) {
            *error = QStringLiteral("the TLS certificate %1 or key %2 is not PEM")
                         .arg(config.tlsCertificate, config.tlsKey);
            return false;
        }
        sslSetup(certificate, usableKey);
        tls = true;
    }
    listeningPort = listen(QHostAddress(config.listenAddress), quint16(config.listenPort));
    if (listeningPort == 0) {
        *error = QStringLiteral("cannot listen on %1 port %2")
                     .arg(config.listenAddress)
                     .arg(config.listenPort);
        return false;
    }
    // Connected after QHttpServer's own handler, which has taken the new sockets by then.
    for (QTcpServer *server : servers())
        connect(server, &QTcpServer::newConnection, this,
                [this, server] { limitConnections(server); });
    return true;
}

void WebServer::limitConnections(QTcpServer *server)
{
    // QHttpServer keeps no hook for a new connection; its sockets stay children of the
    // listening server, so the new ones are those not counted yet.
    for (QTcpSocket *socket : server->findChildren<QTcpSocket *>(Qt::FindDirectChildrenOnly)) {
        if (countedSockets.contains(socket))
            continue;
        const QString address = addressText(socket->peerAddress());
        countedSockets.insert(socket);
        ++connectionsPerAddress[address];
        connect(socket, &QObject::destroyed, this, [this, socket, address] {
            countedSockets.remove(socket);
            if (--connectionsPerAddress[address] <= 0)
                connectionsPerAddress.remove(address);
        });
        if (connectionsPerAddress[address] > MaxConnectionsPerAddress)
            socket->abort();
    }
}

// HTTP

bool WebServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    // QHttpServer 6.4 upgrades a socket when the handler claims the request without answering
    // it; the upgraded socket is checked in acceptSockets() before anything is sent on it.
    if (request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0)
        return true;
    const QString path = request.url().path();
    const auto method = request.method();
    if (path == QLatin1String("/login") && method == QHttpServerRequest::Method::Post) {
        login(request, socket);
    } else if (path == QLatin1String("/logout") && method == QHttpServerRequest::Method::Post) {
        logout(request, socket);
    } else if (method == QHttpServerRequest::Method::Get ||
               method == QHttpServerRequest::Method::Head) {
        serveStatic(request, socket, path);
    } else {
        respond(request, socket, 405, "text/plain", "method not allowed\n");
    }
    return true;
}

void WebServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    respond(request, socket, 404, "text/plain", "not found\n");
}

void WebServer::respond(const QHttpServerRequest &request, QTcpSocket *socket, int status,
                        const QByteArray &type, const QByteArray &body,
                        const QList<QPair<QByteArray, QByteArray>> &extra)
{
    QHttpServerResponder responder = makeResponder(request, socket);
    responder.writeStatusLine(QHttpServerResponder::StatusCode(status));
    responder.writeHeader("Content-Type", type);
    responder.writeHeader("Content-Length", QByteArray::number(body.size()));
    responder.writeHeader("Content-Security-Policy", contentSecurityPolicy);
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    responder.writeHeader("X-Frame-Options", "DENY");
    responder.writeHeader("Referrer-Policy", "no-referrer");
    responder.writeHeader("Cache-Control", "no-store");
    if (tls)
        responder.writeHeader("Strict-Transport-Security", "max-age=31536000");
    for (const auto &header : extra)
        responder.writeHeader(header.first, header.second);
    responder.writeBody(request.method() == QHttpServerRequest::Method::Head ? QByteArray() : body);
}

void WebServer::serveStatic(const QHttpServerRequest &request, QTcpSocket *socket,
                            const QString &path)
{
    for (const StaticFile &file : staticFiles) {
        if (path != QLatin1String(file.path))
            continue;
        if (file.needsSession && !sessions.use(sessionOf(request.value("cookie")), now())) {
            respond(request, socket, 303, "text/plain", "log in first\n", {{"Location", "/login"}});
            return;
        }
        QFile resource(QString::fromLatin1(file.resource));
        if (!resource.open(QIODevice::ReadOnly)) {
            respond(request, socket, 500, "text/plain", "page missing from the program\n");
            return;
        }
        respond(request, socket, 200, file.type, resource.readAll());
        return;
    }
    respond(request, socket, 404, "text/plain", "not found\n");
}

QByteArray WebServer::sessionOf(const QByteArray &cookieHeader) const
{
    const QByteArray prefix = QByteArray(SessionCookie) + '=';
    for (const QByteArray &part : cookieHeader.split(';')) {
        const QByteArray cookie = part.trimmed();
        if (cookie.startsWith(prefix))
            return cookie.mid(prefix.size());
    }
    return QByteArray();
}

bool WebServer::ownOrigin(const QByteArray &origin, const QByteArray &host) const
{
    if (origin.isEmpty() || host.isEmpty())
        return false;
    const QByteArray scheme = tls ? "https://" : "http://";
    if (origin != scheme + host)
        return false;
    // The Host must be a name of this server, or a page from a rebound DNS name could pass.
    const QByteArray port = ':' + QByteArray::number(listeningPort);
    const QByteArray lowerHost = host.toLower();
    for (const QString &name : config.hostNames) {
        // Browsers leave out the scheme's default port.
        if (lowerHost == name.toLatin1() + port || lowerHost == name.toLatin1())
            return true;
    }
    const QHostAddress listenAddress(config.listenAddress);
    if (listenAddress == QHostAddress::Any || listenAddress == QHostAddress::AnyIPv4 ||
        listenAddress == QHostAddress::AnyIPv6)
        return QHostAddress(QUrl(QString::fromLatin1(origin)).host()).isNull() == false;
    QList<QByteArray> names = {config.listenAddress.toLatin1() + port};
    if (listenAddress.isLoopback())
        names << "localhost" + port;
    return names.contains(host);
}

void WebServer::login(const QHttpServerRequest &request, QTcpSocket *socket)
{
    // A login form on another site must not log a browser in here.
    if (!ownOrigin(request.value("origin"), request.value("host"))) {
        respond(request, socket, 403, "application/json", "{\"error\":\"foreign origin\"}");
        return;
    }
    if (request.body().size() > MaxRequestBodyBytes) {
        respond(request, socket, 413, "application/json", "{\"error\":\"too large\"}");
        return;
    }
    const QJsonObject body = QJsonDocument::fromJson(request.body()).object();
    const QString name = body.value(QStringLiteral("user")).toString();
    const QString password = body.value(QStringLiteral("password")).toString();
    const QString address = addressText(request.remoteAddress());
    const QString userKey = QStringLiteral("user:") + name;
    const QString addressKey = QStringLiteral("address:") + address;
    const qint64 t = now();
    const qint64 wait = qMax(throttle.waitFor(userKey, t), throttle.waitFor(addressKey, t));
    if (wait > 0) {
        const QByteArray seconds = QByteArray::number((wait + 999) / 1000);
        respond(request, socket, 429, "application/json",
                "{\"error\":\"too many failed logins: try again in " + seconds + " s\"}",
                {{"Retry-After", seconds}});
        return;
    }
    const User *user = users->check(name, password);
    if (!user) {
        throttle.failed(userKey, t);
        throttle.failed(addressKey, t);
        std::fprintf(stderr, "frontpanel-web: failed login from %s\n", qPrintable(address));
        respond(request, socket, 401, "application/json",
                "{\"error\":\"wrong user name or password\"}");
        return;
    }
    throttle.succeeded(userKey);
    // A session id the browser brought along is never promoted: login always makes a new one.
    sessions.end(sessionOf(request.value("cookie")));
    const QByteArray id = sessions.create(user->name, user->role, t);
    QByteArray cookie =
        QByteArray(SessionCookie) + '=' + id + "; Path=/; HttpOnly; SameSite=Strict";
    if (tls)
        cookie += "; Secure";
    const QJsonObject reply{{QStringLiteral("user"), user->name},
                            {QStringLiteral("role"), UserStore::roleName(user->role)}};
    respond(request, socket, 200, "application/json",
            QJsonDocument(reply).toJson(QJsonDocument::Compact), {{"Set-Cookie", cookie}});
}

void WebServer::logout(const QHttpServerRequest &request, QTcpSocket *socket)
{
    if (!ownOrigin(request.value("origin"), request.value("host"))) {
        respond(request, socket, 403, "application/json", "{\"error\":\"foreign origin\"}");
        return;
    }
    const QByteArray id = sessionOf(request.value("cookie"));
    if (!id.isEmpty()) {
        sessions.end(id);
        // The session's sockets end with it.
        for (Client &client : clients) {
            if (client.session == id)
                client.socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                                     QStringLiteral("logged out"));
        }
    }
    QByteArray cookie =
        QByteArray(SessionCookie) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict";
    if (tls)
        cookie += "; Secure";
    respond(request, socket, 200, "application/json", "{}", {{"Set-Cookie", cookie}});
}

// WebSocket

void WebServer::acceptSockets()
{
    while (hasPendingWebSocketConnections()) {
        QWebSocket *socket = nextPendingWebSocketConnection().release();
        socket->setParent(this);
        // The upgrade has been answered already; the checks come before anything else is sent.
        const QNetworkRequest &upgrade = socket->request();
        const Session *session = nullptr;
        const QByteArray sessionId = sessionOf(upgrade.rawHeader("Cookie"));
        QString refusal;
        if (socket->requestUrl().path() != QLatin1String("/ws"))
            refusal = QStringLiteral("no such socket");
        else if (!ownOrigin(socket->origin().toLatin1(), upgrade.rawHeader("Host")))
            refusal = QStringLiteral("foreign origin");
        else if (!(session = sessions.use(sessionId, now())))
            refusal = QStringLiteral("log in first");
        if (!refusal.isEmpty()) {
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated, refusal);
            socket->deleteLater();
            continue;
        }
        socket->setMaxAllowedIncomingFrameSize(MaxMessageBytes);
        socket->setMaxAllowedIncomingMessageSize(MaxMessageBytes);
        Client client;
        client.id = ++lastClientId;
        client.socket = socket;
        client.session = sessionId;
        client.user = session->user;
        client.role = session->role;
        client.address = addressText(socket->peerAddress());
        client.windowStartMs = now();
        const quint64 id = client.id;
        clients.insert(id, client);
        connect(socket, &QWebSocket::textMessageReceived, this, [this, id](const QString &text) {
            auto it = clients.find(id);
            if (it != clients.end())
                onMessage(&*it, text);
        });
        connect(socket, &QWebSocket::binaryMessageReceived, this, [this, id]() {
            auto it = clients.find(id);
            if (it != clients.end())
                sendTo(&*it, {{QStringLiteral("type"), QStringLiteral("error")},
                              {QStringLiteral("message"), QStringLiteral("text messages only")}});
        });
        // Queued: a socket closed while the clients are being walked leaves the table alone
        // until the walk is over.
        connect(
            socket, &QWebSocket::disconnected, this, [this, id]() { onDisconnected(id); },
            Qt::QueuedConnection);
        sendTo(&clients[id], helloMessage(clients[id]));
    }
}

void WebServer::onMessage(Client *client, const QString &text)
{
    const qint64 t = now();
    if (t - client->windowStartMs >= 1000) {
        client->windowStartMs = t;
        client->messagesInWindow = 0;
    }
    if (++client->messagesInWindow > MaxMessagesPerSecond) {
        client->socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                              QStringLiteral("too many messages"));
        return;
    }
    // Logout or the idle timeout may have ended the session since the socket opened.
    if (!sessions.use(client->session, t)) {
        client->socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                              QStringLiteral("session ended"));
        return;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        sendTo(client, {{QStringLiteral("type"), QStringLiteral("error")},
                        {QStringLiteral("message"), QStringLiteral("malformed JSON")}});
        return;
    }
    const QJsonObject message = document.object();
    const QString type = message.value(QStringLiteral("type")).toString();
    const QString controllerId = message.value(QStringLiteral("controller")).toString();
    const int index = indexOf(controllerId);

    if (type == QLatin1String("overview")) {
        leaveController(client);
        client->overview = true;
        for (int i = 0; i < views.size(); ++i) {
            sendTo(client, screenMessage(i));
            sendTo(client, stateMessage(i));
        }
        return;
    }
    if (type != QLatin1String("watch") && type != QLatin1String("take") &&
        type != QLatin1String("release") && type != QLatin1String("key")) {
        sendTo(client, {{QStringLiteral("type"), QStringLiteral("error")},
                        {QStringLiteral("message"),
                         QStringLiteral("unknown message type \"%1\"").arg(type.left(40))}});
        return;
    }
    if (index < 0) {
        refuse(client, controllerId.left(40), QStringLiteral("no such controller"));
        return;
    }
    if (type == QLatin1String("watch")) {
        if (client->watching != index) {
            leaveController(client);
            client->watching = index;
            source->watch(index);
        }
        client->overview = false;
        sendTo(client, screenMessage(index));
        sendTo(client, stateMessage(index));
        sendTo(client, controlMessage(index, *client));
        sendTo(client, keysMessage(index));
        return;
    }
    if (client->role != Role::Operator) {
        refuse(client, controllerId, QStringLiteral("viewers cannot press keys or take control"));
        return;
    }
    if (type == QLatin1String("take")) {
        if (client->watching != index) {
            refuse(client, controllerId, QStringLiteral("open the controller's panel first"));
        } else if (!controls.take(index, client->id, client->user, t)) {
            refuse(client, controllerId,
                   QStringLiteral("%1 has control").arg(controls.holder(index)));
        } else {
            for (Client &other : clients) {
                if (other.watching == index)
                    sendTo(&other, controlMessage(index, other));
            }
        }
        return;
    }
    if (type == QLatin1String("release")) {
        if (controls.release(index, client->id)) {
            for (Client &other : clients) {
                if (other.watching == index)
                    sendTo(&other, controlMessage(index, other));
            }
        }
        return;
    }
    // A key.
    const QJsonValue codeValue = message.value(QStringLiteral("code"));
    const KeyTable::Key *key = codeValue.isDouble() ? KeyTable::keyOf(codeValue.toInt()) : nullptr;
    if (!key || codeValue.toDouble() != double(codeValue.toInt())) {
        refuse(client, controllerId, QStringLiteral("no such key"));
        return;
    }
    if (!controls.useForKey(index, client->id, t)) {
        const QString holder = controls.holder(index);
        refuse(client, controllerId,
               holder.isEmpty() ? QStringLiteral("take control first")
                                : QStringLiteral("%1 has control").arg(holder));
        return;
    }
    AuditEntry entry;
    entry.time = QDateTime::currentDateTimeUtc();
    entry.user = client->user;
    entry.address = client->address;
    entry.controller = controllerId;
    entry.code = key->code;
    entry.keyName = QString::fromLatin1(key->name);
    if (!audit->append(entry)) {
        refuse(client, controllerId,
               QStringLiteral("the audit log cannot be written: the key was not sent"));
        return;
    }
    source->pressKey(index, key->code);
    sendToViewers(index, keysMessage(index), false);
}

void WebServer::refuse(Client *client, const QString &controller, const QString &message)
{
    sendTo(client, {{QStringLiteral("type"), QStringLiteral("refused")},
                    {QStringLiteral("controller"), controller},
                    {QStringLiteral("message"), message}});
}

void WebServer::leaveController(Client *client)
{
    if (client->watching < 0)
        return;
    const int index = client->watching;
    client->watching = -1;
    source->unwatch(index);
    if (controls.release(index, client->id)) {
        for (Client &other : clients) {
            if (other.watching == index)
                sendTo(&other, controlMessage(index, other));
        }
    }
}

void WebServer::onDisconnected(quint64 id)
{
    auto it = clients.find(id);
    if (it == clients.end())
        return;
    leaveController(&*it);
    it->socket->deleteLater();
    clients.erase(it);
}

void WebServer::sendTo(Client *client, const QJsonObject &message)
{
    client->socket->sendTextMessage(
        QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

void WebServer::sendToViewers(int index, const QJsonObject &message, bool overviewToo)
{
    const QString text = QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
    for (Client &client : clients) {
        if (client.watching == index || (overviewToo && client.overview))
            client.socket->sendTextMessage(text);
    }
}

QJsonObject WebServer::helloMessage(const Client &client) const
{
    QJsonArray controllers;
    for (const ControllerConfig &c : config.controllers) {
        controllers.append(QJsonObject{{QStringLiteral("id"), c.id},
                                       {QStringLiteral("name"), c.name},
                                       {QStringLiteral("group"), c.group}});
    }
    return {{QStringLiteral("type"), QStringLiteral("hello")},
            {QStringLiteral("user"), client.user},
            {QStringLiteral("role"), UserStore::roleName(client.role)},
            {QStringLiteral("controllers"), controllers},
            {QStringLiteral("keys"), keyTableJson()}};
}

QJsonObject WebServer::screenMessage(int index) const
{
    ControllerSnapshot s;
    QJsonArray rows;
    if (source->snapshot(index, &s)) {
        for (const auto &row : s.rows) {
            QString line(ControllerSnapshot::Columns, QLatin1Char(' '));
            // Controllers speak ASCII; anything else shows as a blank rather than garbage.
            for (int c = 0; c < ControllerSnapshot::Columns; ++c) {
                const unsigned char ch = static_cast<unsigned char>(row[c]);
                if (ch >= 0x20 && ch < 0x7f)
                    line[c] = QLatin1Char(char(ch));
            }
            rows.append(line);
        }
    }
    return {{QStringLiteral("type"), QStringLiteral("screen")},
            {QStringLiteral("controller"), config.controllers[index].id},
            {QStringLiteral("rows"), rows},
            {QStringLiteral("cursor"), QJsonArray{s.cursorRow, s.cursorColumn}},
            {QStringLiteral("figure"), s.figure}};
}

QJsonObject WebServer::stateMessage(int index) const
{
    return {{QStringLiteral("type"), QStringLiteral("state")},
            {QStringLiteral("controller"), config.controllers[index].id},
            {QStringLiteral("text"), views[index].text},
            {QStringLiteral("kind"), views[index].kind}};
}

QJsonObject WebServer::controlMessage(int index, const Client &to) const
{
    return {{QStringLiteral("type"), QStringLiteral("control")},
            {QStringLiteral("controller"), config.controllers[index].id},
            {QStringLiteral("holder"), controls.holder(index)},
            {QStringLiteral("yours"), controls.holds(index, to.id)}};
}

QJsonObject WebServer::keysMessage(int index) const
{
    QJsonArray keys;
    for (const AuditEntry &e : audit->recent(config.controllers[index].id)) {
        keys.append(QJsonObject{{QStringLiteral("time"), e.time.toString(Qt::ISODate)},
                                {QStringLiteral("user"), e.user},
                                {QStringLiteral("key"), e.keyName}});
    }
    return {{QStringLiteral("type"), QStringLiteral("keys")},
            {QStringLiteral("controller"), config.controllers[index].id},
            {QStringLiteral("keys"), keys}};
}

void WebServer::onScreenChanged(int index)
{
    if (index < 0 || index >= views.size())
        return;
    sendToViewers(index, screenMessage(index), true);
    updateState(index);
}

// The state in words, from how the link's counters moved since the last look: replies taken,
// replies refused, or polls that went unanswered.
void WebServer::updateState(int index)
{
    ControllerSnapshot s;
    if (!source->snapshot(index, &s))
        return;
    LinkView &v = views[index];
    QString text = v.text, kind = v.kind;
    if (s.accepted != v.accepted) {
        kind = QStringLiteral("answering");
        text = QStringLiteral("answering, %1 ms").arg(s.figure);
    } else if (s.refused != v.refused) {
        kind = QStringLiteral("refused");
        text = QStringLiteral("replies refused: %1").arg(s.lastError);
    } else if (s.noAnswer != v.noAnswer || kind == QLatin1String("silent")) {
        kind = QStringLiteral("silent");
        text = s.sinceReplyMs < 0 ? QStringLiteral("no answer yet")
                                  : QStringLiteral("no answer for %1 s").arg(s.sinceReplyMs / 1000);
    }
    v.accepted = s.accepted;
    v.refused = s.refused;
    v.noAnswer = s.noAnswer;
    if (text != v.text || kind != v.kind) {
        v.text = text;
        v.kind = kind;
        sendToViewers(index, stateMessage(index), true);
    }
}

void WebServer::tick()
{
    const qint64 t = now();
    for (int index : controls.expire(t)) {
        for (Client &other : clients) {
            if (other.watching == index)
                sendTo(&other, controlMessage(index, other));
        }
    }
    // Pushes to a page do not keep its session alive; only what the user does.
    sessions.expire(t);
    for (Client &client : clients) {
        if (!sessions.has(client.session) && client.socket->isValid())
            client.socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                                 QStringLiteral("session ended"));
    }
    for (int i = 0; i < views.size(); ++i)
        updateState(i);
}

int WebServer::indexOf(const QString &controllerId) const
{
    for (int i = 0; i < config.controllers.size(); ++i) {
        if (config.controllers[i].id == controllerId)
            return i;
    }
    return -1;
}
