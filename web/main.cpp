// frontpanel-web: the front panel of many controllers in any browser.
#include "auditlog.h"
#include "recorder.h"
#include "doorlimits.h"
#include "enginesource.h"
#include "linkengine.h"
#include "openfiles.h"
#include "serverlog.h"
#include "serverreload.h"
#include "servicenotify.h"
#include "sharedrecordings.h"
#include "sharedtrail.h"
#include "startup.h"
#include "webserver.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // A file at its size limit (RLIMIT_FSIZE) must be a failed write, as a full disk is: the key
    // is refused and the server serves on. The default action would end the process.
    std::signal(SIGXFSZ, SIG_IGN);
    StartOptions options;
    QString error, warning;
    if (!parseStartOptions(app.arguments(), &options, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 2;
    }
    if (!options.addUser.isEmpty())
        return addUserCommand(options);
    if (!options.verifyAudit.isEmpty())
        return verifyAuditCommand(options);
    if (options.initDatabase)
        return initDatabaseCommand(options);

    // Every file is read and checked before anything listens.
    WebConfig config;
    std::shared_ptr<const Authenticator> users;
    AuditLog audit;
    std::unique_ptr<SharedTrail> shared;
    KeyTrail *trail = &audit;
    if (!loadStartConfig(options, &config, &error, &warning) ||
        !(users = makeAuthenticator(config, &error, &warning))) {
        serverLog(LogLevel::Error, "%s", qPrintable(error));
        return 1;
    }
    // A server of a pair keeps its trail in the shared database; one alone, in its file.
    if (!config.database.isEmpty()) {
        shared = std::make_unique<SharedTrail>(config.database);
        trail = shared.get();
    }
    if (!(shared ? shared->start(&error) : audit.open(config.auditLog, &error))) {
        serverLog(LogLevel::Error, "%s", qPrintable(error));
        return 1;
    }
    if (!warning.isEmpty())
        serverLog(LogLevel::Warning, "%s", qPrintable(warning));
    Recorder recorder;
    Recorder::Limits limits;
    limits.days = config.recordingDays;
    limits.maxBytes = qint64(config.recordingMaxMb) << 20;
    // A pair records into the shared database, so that a replay shows what the pages saw
    // whichever server led; one alone, into its file.
    if (shared && !config.recordingsOff)
        recorder.open(std::make_unique<SharedRecordings>(config.database, shared.get()), limits);
    else if (!config.recordingsOff && !recorder.open(config.recordings, limits, &error)) {
        serverLog(LogLevel::Error, "cannot record the displays: %s", qPrintable(error));
        return 1;
    }

    // Every client connection and every link holds a descriptor; the usual soft limit of 1,024
    // is far below what the door allows. A margin for the audit log and the listener.
    allowOpenFiles(DoorLimits::MaxConnections + config.controllers.size() + 256);
    LinkEngine engine;
    EngineSource source(&engine);
    // A server of a pair polls while it leads, and rests once it knows another leads. Without
    // the database it stays as it was: the one that led keeps the displays live (and sends no
    // key), the one that waited stays quiet, so a serial line never has two masters.
    if (shared) {
        source.setResting(true);
        shared->setRoleChanged([&source, trail = shared.get()] {
            QMetaObject::invokeMethod(
                &source,
                [&source, trail] {
                    const ServerRole role = trail->role();
                    if (role != ServerRole::Connecting)
                        source.setResting(role == ServerRole::Waiting);
                },
                Qt::QueuedConnection);
        });
    }
    WebServer server(config, users, trail, &source);
    server.setShared(shared.get());
    if (recorder.isOpen())
        server.setRecorder(&recorder);
    if (!source.addControllers(config, &error) || !server.start(&error)) {
        serverLog(LogLevel::Error, "%s", qPrintable(error));
        return 1;
    }
    const QString serving = QStringLiteral("serving %1://%2:%3/")
                                .arg(server.usesTls() ? "https" : "http", config.listenAddress)
                                .arg(server.port());
    ServerReload reload(options, config, serving, &source, &server);
    if (!reload.catchHangup(&error)) {
        serverLog(LogLevel::Error, "%s", qPrintable(error));
        return 1;
    }
    std::printf("frontpanel-web: %s (%d controllers)\n", qPrintable(serving),
                int(config.controllers.size()));
    std::fflush(stdout);
    // Kept by the journal, the head shows a later cut at the end of the trail.
    serverLog(LogLevel::Info, "audit log head: sequence %lld, sha256 %s",
              (long long)trail->headSequence(), trail->headHash().constData());
    ServiceNotify::ready(serving);
    return app.exec();
}
