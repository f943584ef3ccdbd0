// controller-sim: a simulated traffic field controller on UDP. It answers the front panel's SNMPv1
// requests from a menu-driven display model, optionally late or not at all, to try the panel on a
// bad link.
#include "controllerbank.h"
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
        bank.setVerbose([](const char *line) {
            std::printf("%s\n", line);
            std::fflush(stdout);
        });
    FILE *screens = nullptr;
    if (!options.screenLog.isEmpty()) {
        screens = std::fopen(QFile::encodeName(options.screenLog).constData(), "a");
        if (!screens) {
            std::fprintf(stderr, "controller-sim: cannot write %s: %s\n",
                         qPrintable(options.screenLog), std::strerror(errno));
            return 2;
        }
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

#ifdef Q_OS_UNIX
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#endif
    // Notices a stop signal.
    QTimer stopTimer;
    QObject::connect(&stopTimer, &QTimer::timeout, &app, [] {
        if (stopSignal)
            QCoreApplication::quit();
    });
    stopTimer.start(100);

    const int status = app.exec();
    printCounters(bank.counters());
    return status;
}
