// line-bench: stations on one serial line, polled as fast as the line lets them. Starts a socat
// pty pair, controller-sim serving --stations on one end at --speed, and one LinkEngine on the
// other end (or, with --via ser2net, on ser2net's raw TCP port in front of it); watches every
// station and prints the block reads the line carried a second beside what its speed allows for
// frames of the sizes it carried, and how often each display was read beside what the panel
// says. It asserts nothing.
//
//   line-bench --sim PATH [--speed 9600] [--stations 4] [--seconds 30] [--via pty|ser2net]
#include "benchtools.h"
#include "linkengine.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool waitUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms)
        runFor(10);
    return done();
}

struct Totals
{
    uint64_t accepted = 0;
    uint64_t noAnswer = 0;
    uint64_t late = 0;
    LineState line;
};

Totals totals(LinkEngine &engine, int line, const std::vector<int> &ids)
{
    Totals t;
    for (int id : ids) {
        LinkState s;
        engine.read(id, &s);
        t.accepted += s.counters.accepted;
        t.noAnswer += s.counters.noAnswer;
        t.late += s.counters.late;
    }
    engine.readLine(line, &t.line);
    return t;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QString sim, via = QStringLiteral("pty");
    int speed = 9600, stations = 4, seconds = 30;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--sim")
            sim = args[i + 1];
        else if (args[i] == "--speed")
            speed = args[i + 1].toInt();
        else if (args[i] == "--stations")
            stations = args[i + 1].toInt();
        else if (args[i] == "--seconds")
            seconds = args[i + 1].toInt();
        else if (args[i] == "--via")
            via = args[i + 1];
    }
    if (sim.isEmpty() || !SerialLine::usableSpeed(speed) || stations < 1 || stations > 62) {
        std::fprintf(stderr, "usage: line-bench --sim PATH [--speed 9600] [--stations 4] "
                             "[--seconds 30] [--via pty|ser2net]\n");
        return 2;
    }
    QTemporaryDir dir;
    const QString near = dir.filePath("near"), far = dir.filePath("far");
    QProcess socat, controllers, ser2net;
    socat.start("socat", {"pty,raw,echo=0,link=" + near, "pty,raw,echo=0,link=" + far});
    if (!waitUntil([&] { return QFile::exists(near) && QFile::exists(far); }, 10000)) {
        std::fprintf(stderr, "line-bench: socat made no pty pair\n");
        return 1;
    }
    controllers.start(sim, {"--pmpp-device", far, "--controllers", QString::number(stations),
                            "--line-speed", QString::number(speed)});
    if (!controllers.waitForReadyRead(10000)) {
        std::fprintf(stderr, "line-bench: controller-sim did not start\n");
        return 1;
    }
    SerialLineConfig config;
    config.speed = speed;
    if (via == "ser2net") {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 port = probe.serverPort();
        probe.close();
        ser2net.start("ser2net", {"-n", "-u", "-Y",
                                  QStringLiteral("connection: &line#  accepter: tcp,127.0.0.1,%1#"
                                                 "  connector: serialdev,%2,%3n81,local")
                                      .arg(port)
                                      .arg(near)
                                      .arg(speed)});
        waitUntil(
            [&] {
                QTcpSocket s;
                s.connectToHost(QHostAddress::LocalHost, port);
                return s.waitForConnected(200);
            },
            10000);
        config.host = "127.0.0.1";
        config.port = port;
    } else {
        config.device = near.toStdString();
    }

    LinkEngine engine;
    const int line = engine.addLine(config);
    std::vector<int> ids;
    for (int station = 1; station <= stations; ++station) {
        LinkConfig link;
        link.line = line;
        link.station = station;
        ids.push_back(engine.addLink(link));
        engine.watch(ids.back());
    }
    // Every station read twice before the count starts.
    waitUntil(
        [&] {
            for (int id : ids) {
                LinkState s;
                if (!engine.read(id, &s) || s.counters.accepted < 2)
                    return false;
            }
            return true;
        },
        60000);
    const Totals before = totals(engine, line, ids);
    const double cpuBefore = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    runFor(seconds * 1000);
    const double elapsed = clock.elapsed() / 1000.0;
    const Totals after = totals(engine, line, ids);
    const double cpu = cpuSeconds() - cpuBefore;

    const double reads = double(after.accepted - before.accepted) / elapsed;
    const uint64_t frames = after.line.framesIn - before.line.framesIn;
    const double bytes = double(after.line.bytesIn - before.line.bytesIn +
                                after.line.bytesOut - before.line.bytesOut);
    const double perRead = frames ? bytes / double(frames) : 0;
    const double allowed = perRead > 0 ? speed / 10.0 / perRead : 0;
    std::printf("line-bench: %d stations at %d bit/s through %s, %.0f s\n", stations, speed,
                qPrintable(via), elapsed);
    std::printf("  block reads a second: %.2f; the speed allows %.2f for %.0f bytes a read both "
                "ways (%.1f %%)\n",
                reads, allowed, perRead, allowed > 0 ? 100.0 * reads / allowed : 0.0);
    std::printf("  each display read every %.2f s; the panel says %.1f s\n",
                reads > 0 ? 2.0 * stations / reads : 0.0, after.line.displayCycleMs / 1000.0);
    std::printf("  polls unanswered in their wait %llu (late answers used %llu)\n",
                (unsigned long long)(after.noAnswer - before.noAnswer),
                (unsigned long long)(after.late - before.late));
    std::printf("  FCS errors %llu, malformed %llu, other stations %llu; engine CPU %.2f %%\n",
                (unsigned long long)(after.line.fcsErrors - before.line.fcsErrors),
                (unsigned long long)(after.line.malformed - before.line.malformed),
                (unsigned long long)(after.line.otherStation - before.line.otherStation),
                100.0 * cpu / elapsed);
    for (QProcess *p : {&ser2net, &controllers, &socat}) {
        p->terminate();
        p->waitForFinished(5000);
    }
    return 0;
}
