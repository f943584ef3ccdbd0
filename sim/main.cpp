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
#include <cstdarg>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif
#include <algorithm>
#include <memory>
#include <vector>

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

constexpr int MostControllers = 5000;
// Tries at a run of free ports when the system picks the first one.
constexpr int PortRunTries = 20;

// Every simulated controller of the process, on consecutive ports, served by the one event loop.
struct Fleet
{
    std::vector<std::unique_ptr<ControllerServer>> servers;
    // Why the last try failed, and on which port.
    QString error;
    QAbstractSocket::SocketError failure = QAbstractSocket::UnknownSocketError;
    int failedPort = 0;

    // With firstPort 0 the system picks the first port and the others must follow it; a run that
    // meets a busy port, or the end of the port range, is given up and another one tried.
    bool listen(const QHostAddress &address, int firstPort, int count)
    {
        const int tries = firstPort == 0 ? PortRunTries : 1;
        for (int t = 0; t < tries; ++t) {
            servers.clear();
            int next = firstPort;
            while (int(servers.size()) < count && next <= 65535) {
                // Each controller's clock starts at the local time of day.
                auto server = std::make_unique<ControllerServer>(
                    QTime::currentTime().msecsSinceStartOfDay() / 1000);
                if (!server->listen(address, quint16(next))) {
                    error = server->errorString();
                    failure = server->bindError();
                    failedPort = next;
                    break;
                }
                next = server->port() + 1;
                servers.push_back(std::move(server));
            }
            if (int(servers.size()) == count)
                return true;
            if (next > 65535) {
                error = QStringLiteral("not enough ports left below 65536");
                failure = QAbstractSocket::UnknownSocketError;
                failedPort = next - 1;
            }
        }
        servers.clear();
        return false;
    }

    AgentCounters counters() const
    {
        AgentCounters sum;
        for (const auto &server : servers) {
            const AgentCounters c = server->counters();
            sum.requests += c.requests;
            sum.replies += c.replies;
            sum.badVersion += c.badVersion;
            sum.badCommunity += c.badCommunity;
            sum.malformed += c.malformed;
            sum.unknownOid += c.unknownOid;
            sum.badValue += c.badValue;
            sum.tooBig += c.tooBig;
            sum.dropped += c.dropped;
        }
        return sum;
    }
};

// Every controller holds a socket: lift the soft limit on open files as far as the hard one
// allows, so that a few thousand controllers fit where the default is 1024.
void allowOpenFiles(int wanted)
{
#ifdef Q_OS_UNIX
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= rlim_t(wanted))
        return;
    limit.rlim_cur =
        limit.rlim_max == RLIM_INFINITY ? rlim_t(wanted) : std::min(limit.rlim_max, rlim_t(wanted));
    setrlimit(RLIMIT_NOFILE, &limit);
#else
    (void)wanted;
#endif
}

// A command line that cannot be run: the reason, the hint every refusal ends with, status 2.
int refuse(const char *format, ...)
{
    std::fputs("controller-sim: ", stderr);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputs("\nTry controller-sim --help.\n", stderr);
    return 2;
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
    const QCommandLineOption bindOption(
        QStringLiteral("bind"),
        QStringLiteral("IPv4 or IPv6 address to listen on (default 127.0.0.1; 0.0.0.0 or :: for "
                       "every interface)."),
        QStringLiteral("ADDR"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("UDP port, 0 to 65535 (default 501, which needs privileges; 0 = any free "
                       "port, named on the first line)."),
        QStringLiteral("N"), QStringLiteral("501"));
    const QCommandLineOption delayOption(
        QStringLiteral("delay"),
        QStringLiteral("Hold every reply back MS milliseconds, 0 to 60000 (default 0). Up to 64 "
                       "replies per controller wait at a time; more are lost."),
        QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption dropOption(
        QStringLiteral("drop"),
        QStringLiteral("Lose PERCENT of the replies at random, 0 to 100 (default 0; 100 answers "
                       "nothing)."),
        QStringLiteral("PERCENT"), QStringLiteral("0"));
    const QCommandLineOption controllersOption(
        QStringLiteral("controllers"),
        QStringLiteral("Simulate N independent controllers on consecutive ports from --port, 1 to "
                       "5000 (default 1). With more than one, the first line says \"ports "
                       "FIRST-LAST\" and each --verbose line starts with its controller's port "
                       "in brackets."),
        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Print one line per request."));
    parser.addOptions(
        {bindOption, portOption, delayOption, dropOption, controllersOption, verboseOption});
    if (!parser.parse(app.arguments()))
        return refuse("%s", qPrintable(parser.errorText()));
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    // Qt prints this one with its own options added, and exits.
    if (parser.isSet(QStringLiteral("help-all")))
        parser.process(app);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        return refuse("unexpected argument '%s' (a port is given with --port)",
                      qPrintable(parser.positionalArguments().constFirst()));

    QHostAddress address;
    int port = 0;
    int delay = 0;
    int dropPercent = 0;
    int count = 1;
    if (!address.setAddress(parser.value(bindOption)))
        return refuse("--bind needs an IPv4 or IPv6 address, not '%s'",
                      qPrintable(parser.value(bindOption)));
    if (!parseInt(parser.value(portOption), 0, 65535, &port))
        return refuse("--port needs a number from 0 to 65535, not '%s'",
                      qPrintable(parser.value(portOption)));
    if (!parseInt(parser.value(delayOption), 0, ControllerServer::LongestDelay, &delay))
        return refuse("--delay needs milliseconds from 0 to %d, not '%s'",
                      ControllerServer::LongestDelay, qPrintable(parser.value(delayOption)));
    if (!parseInt(parser.value(dropOption), 0, 100, &dropPercent))
        return refuse("--drop needs a percentage from 0 to 100, not '%s'",
                      qPrintable(parser.value(dropOption)));
    if (!parseInt(parser.value(controllersOption), 1, MostControllers, &count))
        return refuse("--controllers needs a number from 1 to %d, not '%s'", MostControllers,
                      qPrintable(parser.value(controllersOption)));
    if (port != 0 && port + count - 1 > 65535)
        return refuse("%d controllers from port %d would pass port 65535", count, port);

    const bool verbose = parser.isSet(verboseOption);
    // Room for the sockets, plus what Qt and the standard streams hold.
    allowOpenFiles(count + 64);
    Fleet fleet;
    if (!fleet.listen(address, port, count)) {
        const QString where =
            QStringLiteral("%1 port %2").arg(address.toString()).arg(fleet.failedPort);
        if (fleet.failure == QAbstractSocket::AddressInUseError)
            std::fprintf(stderr, "controller-sim: %s is already in use by another program.\n",
                         qPrintable(where));
        else if (fleet.failure == QAbstractSocket::SocketAccessError && fleet.failedPort < 1024)
            std::fprintf(stderr,
                         "controller-sim: cannot listen on %s: ports below 1024 need "
                         "privileges.\n",
                         qPrintable(where));
        else
            std::fprintf(stderr, "controller-sim: cannot listen on %s: %s\n", qPrintable(where),
                         qPrintable(fleet.error));
        std::fprintf(stderr, "Run it on a free port, e.g.\n"
                             "  controller-sim --port 1501\n"
                             "(or --port 0 for any free one) and point the front panel at it.\n");
        return 2;
    }
    for (const auto &server : fleet.servers) {
        server->setDelay(delay);
        server->setDropPercent(dropPercent);
        if (verbose)
            server->setVerbose([count, p = server->port()](const char *line) {
                if (count > 1)
                    std::printf("[%u] %s\n", unsigned(p), line);
                else
                    std::printf("%s\n", line);
                std::fflush(stdout);
            });
    }
    const unsigned first = fleet.servers.front()->port();
    if (count == 1)
        std::printf("controller-sim listening on %s port %u\n", qPrintable(address.toString()),
                    first);
    else
        std::printf("controller-sim listening on %s ports %u-%u\n", qPrintable(address.toString()),
                    first, first + unsigned(count) - 1);
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
    printCounters(fleet.counters());
    return status;
}
