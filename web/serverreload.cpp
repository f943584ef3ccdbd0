#include "serverreload.h"

#include "enginesource.h"
#include "serverlog.h"
#include "servicenotify.h"
#include "webserver.h"

#include <QSocketNotifier>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The signal handler may only write a byte; the loop does the work.
int hangupWriteFd = -1;

void onHangup(int)
{
    const int saved = errno;
    const char byte = 1;
    if (hangupWriteFd >= 0)
        [[maybe_unused]] const ssize_t ignored = ::write(hangupWriteFd, &byte, 1);
    errno = saved;
}

// What a reload cannot change in a running server, named for the log.
QStringList restartOnlyChanges(const WebConfig &a, const WebConfig &b)
{
    QStringList changed;
    if (a.listenAddress != b.listenAddress)
        changed << QStringLiteral("listen");
    if (a.listenPort != b.listenPort)
        changed << QStringLiteral("port");
    if (a.tlsCertificate != b.tlsCertificate || a.tlsKey != b.tlsKey)
        changed << QStringLiteral("tls-cert/tls-key");
    if (a.auditLog != b.auditLog)
        changed << QStringLiteral("audit");
    if (a.hostNames != b.hostNames)
        changed << QStringLiteral("host-names");
    if (a.sessionIdleMinutes != b.sessionIdleMinutes)
        changed << QStringLiteral("session-idle-minutes");
    if (a.slowIntervalMs != b.slowIntervalMs)
        changed << QStringLiteral("slow-interval");
    if (a.metricsToken != b.metricsToken)
        changed << QStringLiteral("metrics-token");
    if (a.recordings != b.recordings || a.recordingsOff != b.recordingsOff ||
        a.recordingDays != b.recordingDays || a.recordingMaxMb != b.recordingMaxMb)
        changed << QStringLiteral("recordings");
    return changed;
}

} // namespace

ServerReload::ServerReload(const StartOptions &options, const WebConfig &current,
                           const QString &status, EngineSource *source, WebServer *server,
                           QObject *parent)
    : QObject(parent), options(options), current(current),
      bySlot(ControllerSlots::from(current.controllers)), status(status), source(source),
      server(server)
{
}

ServerReload::~ServerReload()
{
    if (wakeFds[0] >= 0) {
        std::signal(SIGHUP, SIG_DFL);
        hangupWriteFd = -1;
        ::close(wakeFds[0]);
        ::close(wakeFds[1]);
    }
}

bool ServerReload::catchHangup(QString *error)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, wakeFds) != 0) {
        *error = QStringLiteral("cannot catch SIGHUP: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    hangupWriteFd = wakeFds[1];
    notifier = new QSocketNotifier(wakeFds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char bytes[64];
        // Several signals before the loop came round are one reload.
        while (::read(wakeFds[0], bytes, sizeof bytes) > 0) {
        }
        QString why;
        reload(&why);
    });
    struct sigaction action{};
    action.sa_handler = onHangup;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGHUP, &action, nullptr) != 0) {
        *error = QStringLiteral("cannot catch SIGHUP: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    return true;
}

bool ServerReload::reload(QString *error)
{
    ServiceNotify::reloading();
    WebConfig next;
    QString warning;
    std::shared_ptr<const Authenticator> users;
    if (loadStartConfig(options, &next, error, &warning))
        users = makeAuthenticator(next, error, &warning);
    if (!users) {
        serverLog(LogLevel::Error, "reload refused, nothing changed: %s", qPrintable(*error));
        ServiceNotify::ready(status);
        emit reloaded(false);
        return false;
    }
    if (!warning.isEmpty())
        serverLog(LogLevel::Warning, "%s", qPrintable(warning));
    const QStringList restartOnly = restartOnlyChanges(current, next);
    if (!restartOnly.isEmpty())
        serverLog(LogLevel::Warning, "reload: %s changed in [server]: takes a restart",
                  qPrintable(restartOnly.join(QStringLiteral(", "))));

    SlotChanges changes;
    const ControllerSlots slotsAfter = nextSlots(bySlot, next.controllers, &changes);
    QString linkError;
    if (!source->applySlots(slotsAfter, changes, &linkError))
        serverLog(LogLevel::Error, "reload: %s", qPrintable(linkError));
    server->reload(slotsAfter, changes, users);
    bySlot = slotsAfter;
    current.controllers = next.controllers;
    current.auth = next.auth;
    current.usersFile = next.usersFile;
    current.operatorGroup = next.operatorGroup;
    current.viewerGroup = next.viewerGroup;
    serverLog(LogLevel::Notice,
              "reloaded: %d controllers (%d added, %d removed, %d moved, %d renamed); users %s",
              int(next.controllers.size()), int(changes.added.size()), int(changes.removed.size()),
              int(changes.moved.size()), int(changes.renamed.size()),
              next.auth == WebConfig::Auth::Pam ? "through PAM"
                                                : qPrintable(QStringLiteral("from ") + next.usersFile));
    ServiceNotify::ready(status);
    emit reloaded(true);
    return true;
}
