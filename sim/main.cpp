// controller-sim: a simulated traffic field controller on UDP. It answers the front panel's SNMPv1
// requests from a menu-driven display model, optionally late or not at all, to try the panel on a
// bad link.
#include "controllermodel.h"
#include "snmpagent.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QRandomGenerator>
#include <QTime>
#include <QTimer>
#include <QUdpSocket>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

volatile std::sig_atomic_t stopSignal = 0;

extern "C" void onStopSignal(int signal)
{
    stopSignal = signal;
}

// Largest datagram read: a request longer than this arrives cut off and fails as malformed.
constexpr int ReceiveSize = 4096;
// Largest reply: the UDP payload of one Ethernet frame.
constexpr int ReplySize = 1472;
constexpr int QueueSize = 64;

struct PendingReply
{
    QHostAddress peer;
    quint16 port = 0;
    qint64 due = 0;
    int length = 0;
    uint8_t bytes[ReplySize];
};

// Replies held back by --delay, oldest first. Every reply waits the same time, so they fall due
// in the order they were queued.
struct ReplyQueue
{
    PendingReply entries[QueueSize];
    int head = 0;
    int count = 0;
};

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
    const bool verbose = parser.isSet(verboseOption);

    QUdpSocket socket;
    // A controller answers on its own address: never ask the system proxy settings (that also
    // keeps Qt from starting its proxy-lookup thread).
    socket.setProxy(QNetworkProxy::NoProxy);
    // Not shared: a second simulator on the same port must fail here rather than steal requests.
    if (!socket.bind(address, quint16(port), QAbstractSocket::DontShareAddress)) {
        std::fprintf(stderr,
                     "controller-sim: cannot listen on %s port %d: %s\n"
                     "Ports below 1024 need privileges; run it on another port, e.g.\n"
                     "  controller-sim --port 1501\n"
                     "and point the front panel at that port.\n",
                     qPrintable(address.toString()), port, qPrintable(socket.errorString()));
        return 2;
    }
    std::printf("controller-sim listening on %s port %u\n", qPrintable(address.toString()),
                unsigned(socket.localPort()));
    std::fflush(stdout);

#ifdef Q_OS_UNIX
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#endif

    // The controller's clock starts at the local time of day.
    ControllerModel model(QTime::currentTime().msecsSinceStartOfDay() / 1000);
    SnmpAgent agent(&model);
    QElapsedTimer clock;
    clock.start();
    qint64 modelTime = 0;
    auto catchUp = [&] {
        const qint64 now = clock.elapsed();
        if (now > modelTime) {
            model.tick(int(now - modelTime));
            modelTime = now;
        }
    };

    static ReplyQueue queue;
    QTimer sendTimer;
    sendTimer.setSingleShot(true);
    QObject::connect(&sendTimer, &QTimer::timeout, &socket, [&] {
        const qint64 now = clock.elapsed();
        while (queue.count > 0 && queue.entries[queue.head].due <= now) {
            const PendingReply &r = queue.entries[queue.head];
            socket.writeDatagram(reinterpret_cast<const char *>(r.bytes), r.length, r.peer, r.port);
            queue.head = (queue.head + 1) % QueueSize;
            --queue.count;
        }
        if (queue.count > 0)
            sendTimer.start(int(queue.entries[queue.head].due - now));
    });

    static uint8_t request[ReceiveSize];
    static uint8_t reply[ReplySize];
    QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [&] {
        while (socket.hasPendingDatagrams()) {
            QHostAddress peer;
            quint16 peerPort = 0;
            const qint64 n = socket.readDatagram(reinterpret_cast<char *>(request), ReceiveSize,
                                                 &peer, &peerPort);
            if (n < 0)
                break;
            catchUp();
            const int length = agent.handle(request, int(n), reply, ReplySize);
            const char *fate = "";
            if (length > 0) {
                if (dropPercent > 0 &&
                    int(QRandomGenerator::global()->bounded(100)) < dropPercent) {
                    ++agent.counters.dropped;
                    fate = " (lost)";
                } else if (delay == 0) {
                    socket.writeDatagram(reinterpret_cast<const char *>(reply), length, peer,
                                         peerPort);
                } else if (queue.count == QueueSize) {
                    ++agent.counters.dropped;
                    fate = " (lost: delay queue full)";
                } else {
                    PendingReply &r = queue.entries[(queue.head + queue.count) % QueueSize];
                    r.peer = peer;
                    r.port = peerPort;
                    r.due = clock.elapsed() + delay;
                    r.length = length;
                    std::memcpy(r.bytes, reply, size_t(length));
                    ++queue.count;
                    if (!sendTimer.isActive())
                        sendTimer.start(delay);
                }
            }
            if (verbose) {
                char line[200];
                agent.describeLast(line, int(sizeof line));
                std::printf("%s:%u %s%s\n", qPrintable(peer.toString()), unsigned(peerPort), line,
                            fate);
                std::fflush(stdout);
            }
        }
    });

    // Keeps the clock and the ring timers moving between requests, and notices a stop signal.
    QTimer tickTimer;
    QObject::connect(&tickTimer, &QTimer::timeout, &socket, [&] {
        catchUp();
        if (stopSignal)
            QCoreApplication::quit();
    });
    tickTimer.start(100);

    const int status = app.exec();
    printCounters(agent.counters);
    return status;
}
