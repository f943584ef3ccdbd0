// controller-sim: a simulated traffic field controller on UDP. It answers the front panel's SNMPv1
// requests from a menu-driven display model, optionally late or not at all, to try the panel on a
// bad link.
#include "controllerserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QTime>
#include <QTimer>

#include <csignal>
#include <cstdio>

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

bool parseInt(const QString &text, int low, int high, int *out)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < low || v > high)
        return false;
    *out = v;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("controller-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SIM_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated traffic field controller: an SNMPv1 agent (community \"harbor\") serving a\n"
        "16 x 40 menu-driven front-panel display and accepting key presses."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption bindOption(QStringLiteral("bind"),
                                        QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                        QStringLiteral("ADDR"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(
        QStringLiteral("port"), QStringLiteral("UDP port (default 501; 0 = any free port)."),
        QStringLiteral("N"), QStringLiteral("501"));
    const QCommandLineOption delayOption(QStringLiteral("delay"),
                                         QStringLiteral("Hold every reply back MS milliseconds."),
                                         QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption dropOption(
        QStringLiteral("drop"), QStringLiteral("Lose PERCENT of the replies at random (100: all)."),
        QStringLiteral("PERCENT"), QStringLiteral("0"));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Print one line per request."));
    parser.addOptions({bindOption, portOption, delayOption, dropOption, verboseOption});
    if (!parser.parse(app.arguments())) {
        std::fprintf(stderr, "controller-sim: %s\nTry controller-sim --help.\n",
                     qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    QHostAddress address;
    int port = 0;
    int delay = 0;
    int dropPercent = 0;
    if (!address.setAddress(parser.value(bindOption))) {
        std::fprintf(stderr, "controller-sim: --bind needs an IP address, not '%s'\n",
                     qPrintable(parser.value(bindOption)));
        return 2;
    }
    if (!parseInt(parser.value(portOption), 0, 65535, &port)) {
        std::fprintf(stderr, "controller-sim: --port needs a number from 0 to 65535\n");
        return 2;
    }
    if (!parseInt(parser.value(delayOption), 0, 60000, &delay)) {
        std::fprintf(stderr, "controller-sim: --delay needs milliseconds from 0 to 60000\n");
        return 2;
    }
    if (!parseInt(parser.value(dropOption), 0, 100, &dropPercent)) {
        std::fprintf(stderr, "controller-sim: --drop needs a percentage from 0 to 100\n");
        return 2;
    }

    // The controller's clock starts at the local time of day.
    ControllerServer server(QTime::currentTime().msecsSinceStartOfDay() / 1000);
    server.setDelay(delay);
    server.setDropPercent(dropPercent);
    if (parser.isSet(verboseOption))
        server.setVerbose([](const char *line) {
            std::printf("%s\n", line);
            std::fflush(stdout);
        });
    if (!server.listen(address, quint16(port))) {
        std::fprintf(stderr,
                     "controller-sim: cannot listen on %s port %d: %s\n"
                     "Ports below 1024 need privileges; run it on another port, e.g.\n"
                     "  controller-sim --port 1501\n"
                     "and point the front panel at that port.\n",
                     qPrintable(address.toString()), port, qPrintable(server.errorString()));
        return 2;
    }
    std::printf("controller-sim listening on %s port %u\n", qPrintable(address.toString()),
                unsigned(server.port()));
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
    printCounters(server.counters());
    return status;
}
