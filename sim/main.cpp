// controller-sim: a simulated traffic field controller on UDP. It answers the front panel's SNMPv1
// requests from a menu-driven display model, optionally late or not at all, to try the panel on a
// bad link.
#include "controllerbank.h"
#include "lineserver.h"
#include "openfiles.h"
#include "simoptions.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

volatile std::sig_atomic_t stopSignal = 0;

extern "C" void onStopSignal(int signal)
{
    stopSignal = signal;
}

void printCounters(const AgentCounters &c)
{
    std::printf(
        "controller-sim: requests %llu, replies %llu, bad version %llu, bad community %llu, "
        "malformed %llu, unknown OID %llu, bad value %llu, too big %llu, dropped %llu\n",
        (unsigned long long)c.requests, (unsigned long long)c.replies,
        (unsigned long long)c.badVersion, (unsigned long long)c.badCommunity,
        (unsigned long long)c.malformed, (unsigned long long)c.unknownOid,
        (unsigned long long)c.badValue, (unsigned long long)c.tooBig,
        (unsigned long long)c.dropped);
    std::fflush(stdout);
}

void stopOnSignal(QCoreApplication &app, QTimer *stopTimer)
{
#ifdef Q_OS_UNIX
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#endif
    // Notices a stop signal.
    QObject::connect(stopTimer, &QTimer::timeout, &app, [] {
        if (stopSignal)
            QCoreApplication::quit();
    });
    stopTimer->start(100);
}

// Where each display served is recorded; false when the file cannot be written.
bool openScreenLog(const SimOptions &options, FILE **screens)
{
    if (options.screenLog.isEmpty())
        return true;
    *screens = std::fopen(QFile::encodeName(options.screenLog).constData(), "a");
    if (!*screens)
        std::fprintf(stderr, "controller-sim: cannot write %s: %s\n",
                     qPrintable(options.screenLog), std::strerror(errno));
    return *screens != nullptr;
}

void printLine(const char *line)
{
    std::printf("%s\n", line);
    std::fflush(stdout);
}

int serveLine(QCoreApplication &app, const SimOptions &options)
{
    LineServer line(options.controllers, options.lineSpeed);
    QString path = options.pmppDevice;
    QString error;
    if (!(options.pmppPty ? line.openPty(&path, &error) : line.openDevice(path, &error))) {
        std::fprintf(stderr, "controller-sim: %s\n", qPrintable(error));
        return 2;
    }
    if (options.verbose)
        line.setVerbose(printLine);
    FILE *screens = nullptr;
    if (!openScreenLog(options, &screens))
        return 2;
    if (screens)
        line.setScreenLog([screens](const char *record) {
            std::fprintf(screens, "%s\n", record);
            std::fflush(screens);
        });
    std::printf("controller-sim serving stations 1-%d on %s at %d bit/s\n", options.controllers,
                qPrintable(path), options.lineSpeed);
    std::fflush(stdout);
    QTimer stopTimer;
    stopOnSignal(app, &stopTimer);
    const int status = app.exec();
    printCounters(line.counters());
    const LineServer::LineCounters c = line.lineCounters();
    std::printf("controller-sim: frames %llu, FCS errors %llu, malformed %llu, other stations "
                "%llu\n",
                (unsigned long long)c.frames, (unsigned long long)c.fcsErrors,
                (unsigned long long)c.malformed, (unsigned long long)c.otherStation);
    std::fflush(stdout);
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("controller-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SIM_VERSION));
    SimOptions options;
    const int refused = parseSimOptions(app.arguments(), &options);
    if (refused >= 0)
        return refused;

    if (options.pmppPty || !options.pmppDevice.isEmpty())
        return serveLine(app, options);

    // Room for the sockets, plus what Qt and the standard streams hold.
    allowOpenFiles(options.controllers + 64);
    ControllerBank bank;
    if (!bank.listen(options.address, options.port, options.controllers)) {
        std::fprintf(stderr, "controller-sim: %s\n", qPrintable(bank.failure(options.address)));
        return 2;
    }
    QString v3Error;
    if (!options.v3Users.empty() && !bank.enableV3(options.v3Users, &v3Error)) {
        std::fprintf(stderr, "controller-sim: %s\n", qPrintable(v3Error));
        return 2;
    }
    bank.setDelay(options.delay);
    bank.setDropPercent(options.dropPercent);
    if (options.verbose)
        bank.setVerbose(printLine);
    FILE *screens = nullptr;
    if (!openScreenLog(options, &screens))
        return 2;
    if (screens) {
        bank.setScreenLog([screens](const char *line) {
            std::fprintf(screens, "%s\n", line);
            std::fflush(screens);
        });
    }
    const unsigned first = bank.firstPort();
    if (bank.count() == 1)
        std::printf("controller-sim listening on %s port %u\n",
                    qPrintable(options.address.toString()), first);
    else
        std::printf("controller-sim listening on %s ports %u-%u\n",
                    qPrintable(options.address.toString()), first,
                    first + unsigned(bank.count()) - 1);
    std::fflush(stdout);

    QTimer stopTimer;
    stopOnSignal(app, &stopTimer);
    const int status = app.exec();
    printCounters(bank.counters());
    return status;
}
