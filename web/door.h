// The door's answers to HTTP requests: the pages from the program's resources, login and
// logout, the session check, and whether a WebSocket upgrade may become a page. It sees whole
// requests that the connection has already bounded in size and time, and keeps no socket.
#ifndef DOOR_H
#define DOOR_H

#include "accessrules.h"
#include "pagechannel.h"
#include "userstore.h"
#include "webconfig.h"

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

class Door
{
public:
    static constexpr char SessionCookie[] = "fpsession";

    // All must outlive the door.
    Door(const WebConfig &config, const UserStore *users, SessionStore *sessions,
         LoginThrottle *throttle);
    void setListening(quint16 port, bool tls);
    bool usesTls() const { return tls; }

    static bool isLogin(const HttpRequest &request);
    // Every request but a login and an upgrade.
    HttpResponse answer(const HttpRequest &request, qint64 nowMs);

    // A login in two steps, so that the password work can run off the network thread: first
    // the origin and the brakes on guessing. Either an answer to send at once, or nothing and
    // the name and password to check with checkPassword() and then finishLogin().
    std::optional<HttpResponse> startLogin(const HttpRequest &request, const QString &address,
                                           qint64 nowMs, QString *name, QString *password);
    // From any thread: the users are only read.
    std::optional<User> checkPassword(const QString &name, const QString &password) const;
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

private:
    HttpResponse logout(const HttpRequest &request);
    HttpResponse serveFile(const HttpRequest &request, const QByteArray &path, qint64 nowMs);
    HttpResponse sessionInfo(const HttpRequest &request);
    QByteArray sessionOf(const HttpRequest &request) const;
    bool ownOrigin(const HttpRequest &request) const;
    QByteArray cookie(const QByteArray &value, bool clear) const;

    const WebConfig &config;
    const UserStore *users;
    SessionStore *sessions;
    LoginThrottle *throttle;
    quint16 port = 0;
    bool tls = false;
};

#endif // DOOR_H
