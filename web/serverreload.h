// Reloading a running server (SIGHUP, `systemctl reload`): the configuration's controllers and
// the users are read again and handed to the links and the server, while sessions, control,
// pages and the audit log carry on. Files that do not read change nothing.
#ifndef SERVERRELOAD_H
#define SERVERRELOAD_H

#include "controllerslots.h"
#include "startup.h"
#include "webconfig.h"

#include <QObject>
#include <QString>

class EngineSource;
class QSocketNotifier;
class WebServer;

class ServerReload : public QObject
{
    Q_OBJECT

public:
    // current: what the server runs with now; status: the line systemd shows once ready again.
    ServerReload(const StartOptions &options, const WebConfig &current, const QString &status,
                 EngineSource *source, WebServer *server, QObject *parent = nullptr);
    ~ServerReload() override;

    // From now on SIGHUP reloads, on this thread's event loop. False, with error, when the
    // signal cannot be caught.
    bool catchHangup(QString *error);

    // Reads the files again and applies them. False, with why, when nothing was changed.
    bool reload(QString *error);

signals:
    void reloaded(bool changed);

private:
    StartOptions options;
    WebConfig current;
    ControllerSlots bySlot;
    QString status;
    EngineSource *source;
    WebServer *server;
    QSocketNotifier *notifier = nullptr;
    int wakeFds[2] = {-1, -1};
};

#endif // SERVERRELOAD_H
