// The browser front panel's server: login and logout, the pages from the program's resources,
// and one WebSocket per page that carries displays out and keys in. Every key is checked here
// against the user's role and control, and written to the audit trail before it is handed on.
//
// Messages on the socket are JSON objects with a "type"; anything else is refused by name.
//   page to server: overview; watch {controller}; take {controller}; release {controller};
//                   key {controller, code}
//   server to page: hello {user, role, controllers, keys}; screen {controller, rows, cursor,
//                   figure}; state {controller, text, kind}; control {controller, holder,
//                   yours}; keys {controller, keys}; refused {controller, message};
//                   error {message}
#ifndef WEBSERVER_H
#define WEBSERVER_H

#include "accessrules.h"
#include "auditlog.h"
#include "controllersource.h"
#include "userstore.h"
#include "webconfig.h"

#include <QAbstractHttpServer>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QSet>
#include <QTimer>

class QTcpServer;
class QTcpSocket;
class QWebSocket;

class WebServer : public QAbstractHttpServer
{
    Q_OBJECT

public:
    // Largest message a page may send; the page's own are well under 200 bytes.
    static constexpr int MaxMessageBytes = 4096;
    // More messages than this in one second from one socket close it.
    static constexpr int MaxMessagesPerSecond = 50;
    static constexpr int MaxRequestBodyBytes = 4096;
    // Open connections from one client address beyond this are closed at once, so that
    // connections held open half-way through a request cannot take all memory or descriptors.
    static constexpr int MaxConnectionsPerAddress = 64;
    static constexpr char SessionCookie[] = "fpsession";

    // users and audit must outlive the server; the source too.
    WebServer(const WebConfig &config, const UserStore *users, AuditLog *audit,
              ControllerSource *source, QObject *parent = nullptr);

    // Listens as configured: TLS when a certificate and key are set. False, with error, when
    // the address cannot be bound or the certificate or key cannot be read.
    bool start(QString *error);
    quint16 port() const { return listeningPort; }
    bool usesTls() const { return tls; }

    // For tests of the timeouts: moves the server's clock forward.
    void skipTime(qint64 ms) { skippedMs += ms; }

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    struct Client
    {
        quint64 id = 0;
        QWebSocket *socket = nullptr;
        QByteArray session;
        QString user;
        Role role = Role::Viewer;
        QString address;
        bool overview = false;
        int watching = -1;
        qint64 windowStartMs = 0;
        int messagesInWindow = 0;
    };
    struct LinkView
    {
        QString text;
        QString kind;
        quint64 accepted = 0, refused = 0, noAnswer = 0;
    };

    qint64 now() const { return clock.elapsed() + skippedMs; }
    void login(const QHttpServerRequest &request, QTcpSocket *socket);
    void logout(const QHttpServerRequest &request, QTcpSocket *socket);
    void serveStatic(const QHttpServerRequest &request, QTcpSocket *socket, const QString &path);
    void respond(const QHttpServerRequest &request, QTcpSocket *socket, int status,
                 const QByteArray &type, const QByteArray &body,
                 const QList<QPair<QByteArray, QByteArray>> &extra = {});
    QByteArray sessionOf(const QByteArray &cookieHeader) const;
    bool ownOrigin(const QByteArray &origin, const QByteArray &host) const;

    void limitConnections(QTcpServer *server);
    void acceptSockets();
    void onMessage(Client *client, const QString &text);
    void onDisconnected(quint64 id);
    void refuse(Client *client, const QString &controller, const QString &message);
    void leaveController(Client *client);
    void sendTo(Client *client, const QJsonObject &message);
    void sendToViewers(int index, const QJsonObject &message, bool overviewToo);
    QJsonObject helloMessage(const Client &client) const;
    QJsonObject screenMessage(int index) const;
    QJsonObject stateMessage(int index) const;
    QJsonObject controlMessage(int index, const Client &to) const;
    QJsonObject keysMessage(int index) const;
    void onScreenChanged(int index);
    void updateState(int index);
    void tick();
    int indexOf(const QString &controllerId) const;

    WebConfig config;
    const UserStore *users;
    AuditLog *audit;
    ControllerSource *source;
    bool tls = false;
    quint16 listeningPort = 0;
    QElapsedTimer clock;
    qint64 skippedMs = 0;
    SessionStore sessions;
    LoginThrottle throttle;
    ControlLocks controls;
    QHash<quint64, Client> clients;
    QSet<QTcpSocket *> countedSockets;
    QHash<QString, int> connectionsPerAddress;
    quint64 lastClientId = 0;
    QVector<LinkView> views;
    QTimer ticker;
};

#endif // WEBSERVER_H
