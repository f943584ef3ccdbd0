// fleet: many controllers from one process. Starts controller-sim with --controllers N on
// loopback and polls every one of them, either through one LinkEngine (the default) or through
// N desktop link tasks, one thread each (--tasks), and prints figures; it asserts nothing.
//
//   fleet --sim PATH [--controllers N] [--seconds 60] [--poll 100] [--base-port 21000] [--tasks]
//         [--separate] [--v3]
//
// --v3: two measured phases in one run, the same controllers first over SNMPv1 and then over
// SNMPv3 at authPriv (SHA-256, AES-128; the simulator is given that user), and the engine's
// CPU per poll of each and their ratio.
// One controller-sim --controllers N serves them all; without --base-port it is started with
// --port 0 and the ports are taken from its first line ("port P" or "ports FIRST-LAST"), so that
// runs side by side on one machine do not meet. --separate starts one controller-sim per
// controller instead (their clocks then start a few milliseconds apart, which blurs freshness by
// as much).
// CPU is this process's (the pollers) in percent of one core after a 3 s warm-up; RSS is peak
// and final. Polls per second are counted per link against 1000 / poll. Freshness: every
// controller's clock (row 0, "hh:mm:ss") turns over whenever a whole second has passed since
// that controller was made, which is some time between the simulator's launch and its
// "listening" line; the delay from that turn to the new text on the poller's screen, counted
// from the line (too short by up to the start-up time) and from the launch (too long by as much).
// Keys (engine only): a random key every 20 ms on a random link; pressed, sent (a newer press
// replaces a waiting one), arrived (the simulator's requests less the polls sent) and answered by
// the controller.
#include "benchtools.h"
#include "commtask.h"
#include "linkengine.h"
#include "usmkeys.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTime>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

long statusKiB(const char *field)
{
    FILE *f = std::fopen("/proc/self/status", "r");
    char line[256];
    long kib = 0;
    while (f && std::fgets(line, sizeof line, f))
        if (std::strncmp(line, field, std::strlen(field)) == 0)
            kib = std::atol(line + std::strlen(field));
    if (f)
        std::fclose(f);
    return kib;
}

struct FleetOptions
{
    QString sim;
    int controllers = 10, seconds = 60, poll = 100, basePort = 0;
    bool tasks = false;
    // One controller-sim process per controller, for a simulator without --controllers.
    bool separate = false;
    // A second phase over SNMPv3.
    bool v3 = false;
};

bool parseOptions(const QStringList &args, FleetOptions *o)
{
    for (int i = 1; i < args.size(); ++i) {
        const QString a = args[i];
        const QString next = i + 1 < args.size() ? args[i + 1] : QString();
        if (a == "--sim")
            o->sim = next, ++i;
        else if (a == "--controllers")
            o->controllers = next.toInt(), ++i;
        else if (a == "--seconds")
            o->seconds = next.toInt(), ++i;
        else if (a == "--poll")
            o->poll = next.toInt(), ++i;
        else if (a == "--base-port")
            o->basePort = next.toInt(), ++i;
        else if (a == "--tasks")
            o->tasks = true;
        else if (a == "--separate")
            o->separate = true;
        else if (a == "--v3")
            o->v3 = true;
    }
    if (o->separate && o->basePort == 0)
        o->basePort = 21000;
    // The link tasks and one simulator per controller speak SNMPv1 only.
    return !o->sim.isEmpty() && o->controllers >= 1 && !(o->v3 && (o->tasks || o->separate));
}

// One run of the benchmark: the simulators, the pollers, what is measured, and the report.
class Fleet
{
public:
    static constexpr int WarmUpMs = 3000;

    explicit Fleet(const FleetOptions &options)
        : o(options), lastClock(size_t(options.controllers)),
          requestsAtStart(size_t(options.controllers))
    {
        clock.start();
    }

    bool startSimulators();
    // Samples figures and screens and storms keys after the warm-up, and quits the event loop
    // when the time is up, after the SNMPv3 phase if there is one.
    void measure(QCoreApplication *app);
    void stop();

private:
    void startPollers(bool v3);
    void startPhase(bool v3);
    // Reports the phase, and its CPU per poll.
    double endPhase();
    void report(double *cpuPerPoll);
    void noteClock(int i, const uint8_t *screen);
    void printSimulatorCounters();

    FleetOptions o;
    QElapsedTimer clock;
    QProcess simulator;
    std::vector<std::unique_ptr<QProcess>> others;
    qint64 simLaunchMs = 0, simStartMs = -1;
    LinkEngine engine;
    std::vector<int> ids;
    int firstId = 1;
    bool phaseV3 = false;
    QCoreApplication *app = nullptr;
    double v1CpuPerPoll = 0;
    qint64 phaseStartMs = 0;
    std::vector<std::unique_ptr<CommTask>> taskList;
    std::vector<double> figures, freshness, freshnessFromLaunch;
    std::vector<QByteArray> lastClock;
    LinkState state;
    QTimer sampler, taskScreens, keyStorm;
    long keysPressed = 0;
    std::vector<uint64_t> requestsAtStart;
    double cpuAtStart = 0, simCpuAtStart = 0;
    qint64 startMs = 0;
    uint64_t polls = 0, sent = 0, answered = 0;
    // Samples (every 250 ms) that found a link silent.
    uint64_t silentSamples = 0;
};

bool Fleet::startSimulators()
{
    simulator.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    for (int i = 1; o.separate && i < o.controllers; ++i) {
        others.push_back(std::make_unique<QProcess>());
        others.back()->start(o.sim,
                             {"--bind", "127.0.0.1", "--port", QString::number(o.basePort + i)});
    }
    simLaunchMs = clock.elapsed();
    QStringList arguments = {"--bind", "127.0.0.1", "--port", QString::number(o.basePort)};
    if (!o.separate)
        arguments << "--controllers" << QString::number(o.controllers);
    if (o.v3) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("CONTROLLER_SIM_V3_PASSPHRASES", "fleet:fleet-auth-pass:fleet-priv-pass");
        simulator.setProcessEnvironment(env);
        arguments << "--v3-user"
                  << "fleet:SHA-256:AES";
    }
    simulator.start(o.sim, arguments);
    QByteArray simOutput;
    while (simStartMs < 0 && simulator.waitForReadyRead(10000)) {
        simOutput += simulator.readAllStandardOutput();
        const int at = simOutput.indexOf("listening");
        if (at >= 0 && simOutput.indexOf('\n', at) > at)
            simStartMs = clock.elapsed();
    }
    // "listening on 127.0.0.1 port P" for one controller, "... ports FIRST-LAST" for more.
    const QRegularExpressionMatch ports =
        QRegularExpression(QStringLiteral("listening on \\S+ ports? (\\d+)(?:-(\\d+))?"))
            .match(QString::fromLatin1(simOutput));
    if (simStartMs < 0 || !ports.hasMatch()) {
        std::fprintf(stderr, "fleet: controller-sim did not start\n");
        return false;
    }
    if (!o.separate) {
        const int first = ports.captured(1).toInt();
        const int last = ports.captured(2).isEmpty() ? first : ports.captured(2).toInt();
        if (last - first + 1 != o.controllers) {
            std::fprintf(stderr, "fleet: controller-sim serves %d controllers, not %d\n",
                         last - first + 1, o.controllers);
            return false;
        }
        o.basePort = first;
    }
    std::printf("fleet: controller-sim up %lld ms after its launch\n",
                (long long)(simStartMs - simLaunchMs));
    return true;
}

void Fleet::noteClock(int i, const uint8_t *screen)
{
    const QByteArray now = clockOf(screen);
    if (now.isEmpty() || now == lastClock[size_t(i)])
        return;
    const qint64 seen = clock.elapsed();
    const QTime before = QTime::fromString(QString::fromLatin1(lastClock[size_t(i)]));
    const QTime after = QTime::fromString(QString::fromLatin1(now));
    // A clock back on the screen after a page without one is no turn of the clock.
    if (before.isValid() && before.secsTo(after) == 1 && seen - phaseStartMs > WarmUpMs) {
        // Seen just after a clock that turned before the line: a short delay, not 990 ms.
        qint64 fromLine = (seen - simStartMs) % 1000;
        if (fromLine > 1000 - (simStartMs - simLaunchMs))
            fromLine = 0;
        freshness.push_back(double(fromLine));
        freshnessFromLaunch.push_back(double((seen - simLaunchMs) % 1000));
    }
    lastClock[size_t(i)] = now;
}

void Fleet::startPollers(bool v3)
{
    if (o.tasks) {
        for (int i = 0; i < o.controllers; ++i) {
            auto task = std::make_unique<CommTask>();
            {
                std::lock_guard<std::mutex> locker(task->addressLock);
                task->host = QStringLiteral("127.0.0.1");
                task->port = o.basePort + i;
            }
            task->pollInterval = o.poll;
            task->start();
            taskList.push_back(std::move(task));
        }
        return;
    }
    // The passphrases stretched once, as the server does, not once per link.
    LinkConfig config;
    config.address = QStringLiteral("127.0.0.1");
    config.pollInterval = o.poll;
    config.v3 = v3;
    if (v3) {
        uint8_t ku[UsmKeys::MaxKeyLength];
        const int length = UsmKeys::keyLength(AuthProtocol::Sha256);
        config.v3Config.user = "fleet";
        UsmKeys::passphraseToKey(AuthProtocol::Sha256,
                                 reinterpret_cast<const uint8_t *>("fleet-auth-pass"), 15, ku);
        config.v3Config.authKu = QByteArray(reinterpret_cast<const char *>(ku), length);
        UsmKeys::passphraseToKey(AuthProtocol::Sha256,
                                 reinterpret_cast<const uint8_t *>("fleet-priv-pass"), 15, ku);
        config.v3Config.privKu = QByteArray(reinterpret_cast<const char *>(ku), length);
    }
    // Added over two poll intervals, so that the links do not all poll in the same
    // millisecond and every phase of the controllers' clock is seen.
    ids.assign(size_t(o.controllers), 0);
    for (int i = 0; i < o.controllers; ++i) {
        QTimer::singleShot(2 * o.poll * i / o.controllers, &engine, [this, i, config]() mutable {
            config.port = o.basePort + i;
            ids[size_t(i)] = engine.addLink(config);
            engine.watch(ids[size_t(i)]);
        });
    }
}

void Fleet::startPhase(bool v3)
{
    phaseV3 = v3;
    phaseStartMs = clock.elapsed();
    figures.clear();
    freshness.clear();
    freshnessFromLaunch.clear();
    std::fill(lastClock.begin(), lastClock.end(), QByteArray());
    startPollers(v3);
    QTimer::singleShot(WarmUpMs, app, [this] {
        cpuAtStart = cpuSeconds();
        simCpuAtStart = processCpuSeconds(simulator.processId());
        startMs = clock.elapsed();
        for (int i = 0; !o.tasks && i < o.controllers; ++i)
            if (engine.read(ids[size_t(i)], &state))
                requestsAtStart[size_t(i)] = state.counters.requests;
        if (!o.tasks)
            keyStorm.start(20);
    });
    QTimer::singleShot(WarmUpMs + o.seconds * 1000, app, [this] {
        keyStorm.stop();
        const double cpuPerPoll = endPhase();
        if (!o.v3 || phaseV3) {
            if (phaseV3)
                std::printf("fleet: engine CPU per poll, SNMPv3 over SNMPv1: %.2f\n",
                            cpuPerPoll / v1CpuPerPoll);
            app->quit();
            return;
        }
        v1CpuPerPoll = cpuPerPoll;
        for (int id : ids)
            engine.removeLink(id);
        firstId = ids.back() + 1;
        startPhase(true);
    });
}

double Fleet::endPhase()
{
    double cpuPerPoll = 0;
    report(&cpuPerPoll);
    return cpuPerPoll;
}

void Fleet::measure(QCoreApplication *application)
{
    app = application;
    QObject::connect(&engine, &LinkEngine::screenChanged, &engine, [this](int id) {
        static LinkState s;
        if (id >= firstId && engine.read(id, &s))
            noteClock(id - firstId, s.screen);
    });
    // Figures sampled every 250 ms; task screens looked at every 20 ms (they have no signal).
    QObject::connect(&sampler, &QTimer::timeout, [this] {
        if (clock.elapsed() - phaseStartMs < WarmUpMs)
            return;
        for (int i = 0; i < o.controllers; ++i) {
            if (o.tasks)
                figures.push_back(taskList[size_t(i)]->latency.load());
            else if (engine.read(ids[size_t(i)], &state) && state.figure > 0)
                figures.push_back(state.figure);
            // Every simulated controller answers: any silence the engine tells is false.
            if (!o.tasks && state.health == LinkWait::Health::Silent)
                ++silentSamples;
        }
    });
    sampler.start(250);
    QObject::connect(&taskScreens, &QTimer::timeout, [this] {
        uint8_t row0[LinkRules::Columns];
        for (int i = 0; i < o.controllers; ++i) {
            {
                std::lock_guard<std::mutex> locker(taskList[size_t(i)]->screenLock);
                std::memcpy(row0, taskList[size_t(i)]->screen, sizeof row0);
            }
            noteClock(i, row0);
        }
    });
    if (o.tasks)
        taskScreens.start(20);
    QObject::connect(&keyStorm, &QTimer::timeout, [this] {
        const int i = int(QRandomGenerator::global()->bounded(o.controllers));
        engine.pressKey(ids[size_t(i)], uint8_t(1 + QRandomGenerator::global()->bounded(24)));
        ++keysPressed;
    });
    startPhase(false);
}

void Fleet::report(double *cpuPerPoll)
{
    const double wall = double(clock.elapsed() - startMs) / 1000.0;
    const double cpu = 100.0 * (cpuSeconds() - cpuAtStart) / wall;
    const double simCpu = 100.0 * (processCpuSeconds(simulator.processId()) - simCpuAtStart) / wall;
    const double wanted = 1000.0 / o.poll;
    std::printf("fleet: %s, %d controllers%s, poll %d ms, %.0f s measured\n",
                o.tasks ? "one link task thread per controller" : "one LinkEngine", o.controllers,
                phaseV3 ? " over SNMPv3 (SHA-256, AES-128)" : "", o.poll, wall);
    std::printf("  CPU %.1f %% of one core (controller-sim %.1f %%), RSS peak %.1f MiB, now %.1f "
                "MiB\n",
                cpu, simCpu, double(statusKiB("VmHWM:")) / 1024,
                double(statusKiB("VmRSS:")) / 1024);
    if (!o.tasks) {
        double total = 0, lowest = 1e9;
        int below = 0;
        uint64_t foreign = 0, refused = 0, noAnswer = 0, measuredPolls = 0;
        for (int i = 0; i < o.controllers; ++i) {
            engine.read(ids[size_t(i)], &state);
            measuredPolls += state.counters.requests - requestsAtStart[size_t(i)];
            const double rate = double(state.counters.requests - requestsAtStart[size_t(i)]) / wall;
            total += rate;
            lowest = std::min(lowest, rate);
            below += rate < 0.95 * wanted ? 1 : 0;
            polls += state.counters.requests;
            sent += state.counters.keysSent;
            answered += state.counters.keysAnswered;
            foreign += state.counters.foreign;
            refused += state.counters.refused;
            noAnswer += state.counters.noAnswer;
        }
        std::printf("  polls %.0f/s of %.0f wanted; slowest link %.2f/s (%.1f %%), %d links "
                    "below 95 %%\n",
                    total, wanted * o.controllers, lowest, 100 * lowest / wanted, below);
        std::printf("  no answer %llu, refused %llu, foreign %llu; false \"no answer\": %llu "
                    "samples of a link, %.2f link-seconds\n",
                    (unsigned long long)noAnswer, (unsigned long long)refused,
                    (unsigned long long)foreign, (unsigned long long)silentSamples,
                    double(silentSamples) * 0.25);
        // The key storm's sends are in the CPU too: they are few beside the polls.
        *cpuPerPoll = measuredPolls ? 1e6 * (cpuSeconds() - cpuAtStart) / double(measuredPolls) : 0;
        std::printf("  engine CPU per poll %.1f us\n", *cpuPerPoll);
    }
    std::printf(
        "  figure median %.0f, p95 %.0f; freshness over %zu clock changes: median %.0f-%.0f "
        "ms, p95 %.0f-%.0f ms\n",
        percentile(figures, 0.5), percentile(figures, 0.95), freshness.size(),
        percentile(freshness, 0.5), percentile(freshnessFromLaunch, 0.5),
        percentile(freshness, 0.95), percentile(freshnessFromLaunch, 0.95));
}

void Fleet::stop()
{
    for (auto &task : taskList)
        task->requestQuit();
    for (auto &task : taskList)
        task->wait();
    for (auto &other : others)
        other->terminate();
    for (auto &other : others)
        other->waitForFinished(5000);
    simulator.terminate();
    simulator.waitForFinished(5000);
    printSimulatorCounters();
}

// The simulator's own count of what arrived, printed as it ends.
void Fleet::printSimulatorCounters()
{
    const QByteArray counters = simulator.readAllStandardOutput().trimmed();
    const QByteArray last = counters.split('\n').last();
    std::printf("  %s\n", last.constData());
    if (!o.tasks) {
        // Every datagram the controllers took in is a poll or a key.
        const QRegularExpressionMatch requests =
            QRegularExpression(QStringLiteral("requests (\\d+)")).match(QString::fromLatin1(last));
        const long long arrived =
            requests.hasMatch() ? requests.captured(1).toLongLong() - (long long)polls : -1;
        std::printf("  keys: %ld pressed, %llu sent, %lld arrived, %llu answered\n", keysPressed,
                    (unsigned long long)sent, arrived, (unsigned long long)answered);
    } else {
        std::printf("  (polls per second for the tasks: the simulator's requests over the whole "
                    "run of %.0f s)\n",
                    double(clock.elapsed() - simStartMs) / 1000.0);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    FleetOptions options;
    if (!parseOptions(app.arguments(), &options)) {
        std::fprintf(stderr, "usage: fleet --sim PATH [--controllers N] [--seconds S] "
                             "[--poll MS] [--base-port P] [--tasks] [--separate] [--v3]\n");
        return 2;
    }
    Fleet fleet(options);
    if (!fleet.startSimulators())
        return 1;
    fleet.measure(&app);
    app.exec();
    fleet.stop();
    return 0;
}
