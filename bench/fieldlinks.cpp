// field-bench: one LinkEngine polling controllers behind emulated field networks. For each
// profile of sim/fieldlink.py it starts controller-sim --controllers N and the relay in front of
// it, watches every controller at the poll interval, types keys in bursts, and prints figures;
// it asserts nothing.
//
//   field-bench --sim PATH --relay PATH/fieldlink.py [--profiles lan,lte,...] [--controllers 20]
//               [--seconds 40] [--keys 200] [--poll 100]
//
// Per profile:
// - complete display: from a link's start to its screen holding both blocks (the clock of row 0
//   and the menu's row 9), median and worst, beside 3 round trips + 1 s;
// - freshness: from each turn of a controller's clock (a whole second after the simulator's
//   "listening" line) to the new time on the engine's screen, median and p95;
// - false "no answer": every controller answers, so any sample (every 100 ms) finding a link
//   silent counts, in link-seconds;
// - key echo: from pressing a key alone (every other turn of the typist; the others press a
//   burst of 5) to the screen's title changing, median and p95, beside 2 round trips + 30 ms +
//   the bytes' time (a key's request and answer, a display reply, and one display reply that may
//   be on the line ahead of them);
// - keys: pressed, sent by the engine, SetRequests the relay took from it and gave the
//   controller (and copies the network itself doubled), answered, "no answer", dropped;
// - engine CPU per poll, and snmpget with its defaults (1 s, 5 retries) reading both blocks
//   through the same line after the engine stopped, as the anchor.
#include "benchtools.h"
#include "linkengine.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTime>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <vector>

namespace {

// The nominal round trip, its jitter (+-), the share of datagrams held back to be reordered
// and the bit rate of each profile, as fieldlink.py has them, for the bounds printed beside.
struct Nominal
{
    const char *name;
    int roundTripMs;
    int jitterMs;
    double reorderPercent;
    int bitRate;
};
const Nominal Profiles[] = {
    {"lan", 0, 0, 0, 0},           {"lte", 60, 20, 0, 0},       {"busy-cellular", 350, 200, 2, 0},
    {"radio-9600", 80, 0, 0, 9600}, {"satellite", 650, 50, 0, 0},
};

// The 95th percentile of two round trips on the line alone, drawn the way the relay draws
// each way's delay (half the trip, +- half the jitter, a reordered datagram held back by the
// jitter and 10 ms more): a jittery line's p95 lies above twice its mean, whatever the engine.
double lineTwoTripsP95(const Nominal &n)
{
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> jitter(-n.jitterMs / 2.0, n.jitterMs / 2.0);
    std::uniform_real_distribution<double> share(0, 100);
    std::vector<double> trips(20000);
    for (double &t : trips) {
        t = 0;
        for (int way = 0; way < 4; ++way)
            t += n.roundTripMs / 2.0 + jitter(rng)
                 + (share(rng) < n.reorderPercent ? n.jitterMs + 10 : 0);
    }
    return percentile(trips, 0.95);
}
// A display reply and a key's request and answer, in bytes, for the bytes' time.
constexpr int ReplyBytes = 379;
constexpr int KeyBytes = 2 * 56 + 45;
constexpr int KeyHelp = 22;
constexpr int BurstKeys = 5;

struct Options
{
    QString sim, relay;
    QStringList profiles;
    int controllers = 20, seconds = 40, keys = 200, poll = 100;
};

class Run : public QObject
{
public:
    Run(const Options &o, const Nominal &profile) : o(o), profile(profile) {}
    bool start();
    void measure(QEventLoop *loop);
    void report();

private:
    struct Watched
    {
        int id = 0;
        qint64 addedMs = 0, completeMs = -1;
        QByteArray clock;
        // Each turn of the clock seen: when, and the controller's seconds then.
        std::vector<std::pair<qint64, int>> turns;
        // The title before the key whose echo is awaited, and when that key was pressed.
        QByteArray titleBefore;
        qint64 pressedMs = -1;
        uint64_t echoTicket = 0;
    };
    bool startProcess(QProcess &p, const QString &program, const QStringList &arguments,
                      const char *wanted, QString *line);
    void screenChanged(int id);
    void pressBurst();
    void anchor();

    Options o;
    Nominal profile;
    QElapsedTimer clock;
    QTemporaryDir scratch;
    QProcess sim, relay;
    QList<int> ports;
    qint64 simLineMs = 0;
    LinkEngine engine;
    std::vector<Watched> links;
    std::map<int, size_t> byId;
    std::vector<double> complete, freshness, echo, anchorMs;
    uint64_t silentSamples = 0;
    bool alone = false;
    QMap<QString, int> dropReasons;
    int pressed = 0, answered = 0, noAnswer = 0, dropped = 0, anchorFailed = 0;
    double cpuAtStart = 0, cpuPerPoll = 0;
    uint64_t polls = 0, sent = 0;
    QTimer sampler, typist;
};

bool Run::startProcess(QProcess &p, const QString &program, const QStringList &arguments,
                       const char *wanted, QString *line)
{
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(program, arguments);
    QByteArray out;
    while (p.waitForReadyRead(10000)) {
        out += p.readAllStandardOutput();
        const int at = out.indexOf(wanted);
        if (at >= 0 && out.indexOf('\n', at) > at) {
            *line = QString::fromLatin1(out.mid(at, out.indexOf('\n', at) - at));
            return true;
        }
    }
    return false;
}

bool Run::start()
{
    clock.start();
    QString line;
    if (!startProcess(
            sim, o.sim,
            {"--bind", "127.0.0.1", "--port", "0", "--controllers", QString::number(o.controllers)},
            "listening", &line))
        return false;
    simLineMs = clock.elapsed();
    const int first = line.section(' ', -1).section('-', 0, 0).toInt();
    if (!startProcess(relay, QStringLiteral("python3"),
                      {o.relay, "--target", QStringLiteral("127.0.0.1:%1").arg(first), "--count",
                       QString::number(o.controllers), "--profile", profile.name, "--seed", "1",
                       "--stats", scratch.filePath("stats.json")},
                      "listening", &line))
        return false;
    for (const QString &port : line.section(' ', -1).split(','))
        ports << port.toInt();
    return ports.size() == o.controllers;
}

void Run::screenChanged(int id)
{
    const auto it = byId.find(id);
    LinkState s;
    if (it == byId.end() || !engine.read(id, &s))
        return;
    Watched &w = links[it->second];
    const qint64 now = clock.elapsed();
    const QByteArray row9(reinterpret_cast<const char *>(s.screen) + 9 * LinkRules::Columns,
                          LinkRules::Columns);
    if (w.completeMs < 0 && !clockOf(s.screen).isEmpty() && !row9.trimmed().isEmpty()) {
        w.completeMs = now;
        complete.push_back(double(now - w.addedMs));
    }
    const QByteArray time = clockOf(s.screen);
    if (!time.isEmpty() && time != w.clock) {
        const QTime before = QTime::fromString(QString::fromLatin1(w.clock));
        const QTime after = QTime::fromString(QString::fromLatin1(time));
        if (before.isValid() && before.secsTo(after) == 1)
            w.turns.emplace_back(now, after.msecsSinceStartOfDay() / 1000);
        w.clock = time;
    }
    // The title: row 0 without the clock.
    const QByteArray title(reinterpret_cast<const char *>(s.screen), LinkRules::Columns - 8);
    if (w.pressedMs >= 0 && title != w.titleBefore) {
        echo.push_back(double(now - w.pressedMs));
        w.pressedMs = -1;
    }
}

void Run::pressBurst()
{
    const int i = int(QRandomGenerator::global()->bounded(o.controllers));
    Watched &w = links[size_t(i)];
    LinkState s;
    if (!engine.read(w.id, &s))
        return;
    // Every other turn a key alone, whose echo is timed.
    alone = !alone;
    const int count = alone ? 1 : BurstKeys;
    for (int k = 0; k < count && pressed < o.keys; ++k) {
        const uint64_t ticket = engine.pressKey(w.id, KeyHelp);
        if (ticket == 0)
            continue;
        ++pressed;
        // When no key of the link is still on its way.
        if (alone && s.keysWaiting == 0 && w.pressedMs < 0) {
            w.titleBefore =
                QByteArray(reinterpret_cast<const char *>(s.screen), LinkRules::Columns - 8);
            w.pressedMs = clock.elapsed();
            w.echoTicket = ticket;
        }
    }
}

void Run::measure(QEventLoop *loop)
{
    connect(&engine, &LinkEngine::screenChanged, this, [this](int id) { screenChanged(id); });
    connect(&engine, &LinkEngine::keyDone, this,
            [this](int id, quint64 ticket, KeyOutcome outcome, const QString &reason) {
                answered += outcome == KeyOutcome::Answered;
                if (outcome == KeyOutcome::Dropped)
                    ++dropReasons[reason.section(QLatin1Char(' '), 0, 3)];
                noAnswer += outcome == KeyOutcome::NoAnswer;
                dropped += outcome == KeyOutcome::Dropped;
                const auto it = byId.find(id);
                // A key that never got an answer has no echo to time.
                if (it != byId.end() && links[it->second].echoTicket == ticket &&
                    outcome != KeyOutcome::Answered)
                    links[it->second].pressedMs = -1;
            });
    for (int i = 0; i < o.controllers; ++i) {
        LinkConfig config;
        config.address = QStringLiteral("127.0.0.1");
        config.port = ports[i];
        config.pollInterval = o.poll;
        Watched w;
        w.addedMs = clock.elapsed();
        w.id = engine.addLink(config);
        engine.watch(w.id);
        byId[w.id] = links.size();
        links.push_back(w);
    }
    cpuAtStart = cpuSeconds();
    connect(&sampler, &QTimer::timeout, this, [this] {
        LinkState s;
        for (const Watched &w : links)
            if (engine.read(w.id, &s) && s.health == LinkWait::Health::Silent)
                ++silentSamples;
    });
    sampler.start(100);
    // Keys from the fifth second on, a burst at a time, spread over the run.
    connect(&typist, &QTimer::timeout, this, [this] { pressBurst(); });
    QTimer::singleShot(5000, this, [this] {
        // Turns press 1 and BurstKeys keys in turn.
        typist.start(
            std::max(50, (o.seconds - 10) * 1000 * (1 + BurstKeys) / 2 / std::max(1, o.keys)));
    });
    QTimer::singleShot(o.seconds * 1000, this, [this, loop] {
        typist.stop();
        sampler.stop();
        // Whatever is still queued gets its outcome before the figures are taken.
        QTimer::singleShot(5000, loop, [this, loop] {
            const double cpu = cpuSeconds() - cpuAtStart;
            LinkState s;
            for (const Watched &w : links) {
                if (engine.read(w.id, &s)) {
                    polls += s.counters.requests;
                    sent += s.counters.keysSent;
                }
                engine.removeLink(w.id);
            }
            cpuPerPoll = polls ? 1e6 * cpu / double(polls) : 0;
            anchor();
            loop->quit();
        });
    });
}

// snmpget as a technician would run it, through the first controller's line.
void Run::anchor()
{
    for (int i = 0; i < 10; ++i) {
        QProcess get;
        QElapsedTimer t;
        t.start();
        get.start(QStringLiteral("snmpget"),
                  {"-v1", "-c", "harbor", "-m", "", QStringLiteral("127.0.0.1:%1").arg(ports[0]),
                   "1.3.6.1.4.1.1206.3.5.2.17.12.1.2.1", "1.3.6.1.4.1.1206.3.5.2.17.12.1.2.2"});
        if (!get.waitForFinished(20000) || get.exitCode() != 0)
            ++anchorFailed;
        else
            anchorMs.push_back(double(t.elapsed()));
    }
}

void Run::report()
{
    ::kill(pid_t(relay.processId()), SIGTERM);
    relay.waitForFinished(5000);
    sim.terminate();
    sim.waitForFinished(5000);
    QFile file(scratch.filePath("stats.json"));
    file.open(QIODevice::ReadOnly);
    const QJsonArray lines =
        QJsonDocument::fromJson(file.readAll()).object().value("lines").toArray();
    int taken = 0, delivered = 0, again = 0, mostAhead = 0;
    for (const QJsonValue &line : lines) {
        for (const char *way : {"up", "down"})
            mostAhead = std::max(mostAhead,
                                 line.toObject().value(way).toObject().value("most_ahead").toInt());
        const QJsonObject keys = line.toObject().value("keys").toObject();
        taken += keys.value("sent").toInt();
        delivered += keys.value("delivered").toInt();
        again += keys.value("delivered_again").toInt();
    }
    // A controller's clock turns a whole number of seconds after it was made, at about the
    // simulator's line; its seconds then are not known, but the freshest turn seen took less
    // than a second (the slowest profile's trip is 650 ms), which fixes them.
    for (const Watched &w : links) {
        qint64 least = std::numeric_limits<qint64>::max();
        for (const auto &[seen, second] : w.turns)
            least = std::min(least, seen - simLineMs - qint64(second) * 1000);
        const qint64 offset =
            least == std::numeric_limits<qint64>::max() ? 0 : (least % 1000 + 1000) % 1000 - least;
        for (const auto &[seen, second] : w.turns)
            freshness.push_back(double(seen - simLineMs - qint64(second) * 1000 + offset));
    }
    const int rtt = profile.roundTripMs;
    const double bytesMs =
        profile.bitRate ? 1000.0 * 10 * (2 * ReplyBytes + KeyBytes) / profile.bitRate : 0;
    std::printf("%s: %d controllers, poll %d ms, %d s\n", profile.name, o.controllers, o.poll,
                o.seconds);
    std::printf("  complete display: %zu of %d, median %.0f ms, worst %.0f ms (bound %d ms)\n",
                complete.size(), o.controllers, percentile(complete, 0.5),
                percentile(complete, 1.0), 3 * rtt + 1000);
    std::printf("  freshness over %zu clock turns: median %.0f ms, p95 %.0f ms\n", freshness.size(),
                percentile(freshness, 0.5), percentile(freshness, 0.95));
    std::printf("  false \"no answer\": %.1f link-seconds\n", double(silentSamples) / 10);
    std::printf("  key echo over %zu keys alone: median %.0f ms, p95 %.0f ms (bound %.0f ms; the "
                "line's own p95 for two round trips %.0f ms)\n",
                echo.size(), percentile(echo, 0.5), percentile(echo, 0.95),
                2.0 * rtt + 30 + bytesMs, lineTwoTripsP95(profile));
    std::printf("  keys: %d pressed, %llu sent; the line took %d SetRequests from the engine and "
                "gave the controller %d (and %d copies the network doubled); %d answered, %d no "
                "answer, %d dropped\n",
                pressed, (unsigned long long)sent, taken, delivered, again, answered, noAnswer,
                dropped);
    for (auto it = dropReasons.cbegin(); it != dropReasons.cend(); ++it)
        std::printf("    dropped %d: %s ...\n", it.value(), qPrintable(it.key()));
    if (profile.bitRate)
        std::printf("  on the line, a datagram found at most %d others ahead of it\n", mostAhead);
    std::printf("  CPU per poll %.1f us over %llu polls (the engine and this bench's sampling)\n",
                cpuPerPoll, (unsigned long long)polls);
    std::printf("  snmpget (1 s, 5 retries), both blocks: median %.0f ms, p95 %.0f ms, %d of 10 "
                "failed\n",
                percentile(anchorMs, 0.5), percentile(anchorMs, 0.95), anchorFailed);
    std::fflush(stdout);
}

bool parseOptions(const QStringList &args, Options *o)
{
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const QString a = args[i], v = args[i + 1];
        if (a == "--sim")
            o->sim = v;
        else if (a == "--relay")
            o->relay = v;
        else if (a == "--profiles")
            o->profiles = v.split(',');
        else if (a == "--controllers")
            o->controllers = v.toInt();
        else if (a == "--seconds")
            o->seconds = v.toInt();
        else if (a == "--keys")
            o->keys = v.toInt();
        else if (a == "--poll")
            o->poll = v.toInt();
        else
            return false;
    }
    if (o->profiles.isEmpty())
        for (const Nominal &p : Profiles)
            o->profiles << p.name;
    return !o->sim.isEmpty() && !o->relay.isEmpty() && o->controllers >= 1 && o->seconds >= 15;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Options options;
    if (!parseOptions(app.arguments(), &options)) {
        std::fprintf(stderr, "usage: field-bench --sim PATH --relay PATH [--profiles a,b] "
                             "[--controllers N] [--seconds S>=15] [--keys N] [--poll MS]\n");
        return 2;
    }
    for (const QString &name : options.profiles) {
        const Nominal *profile = nullptr;
        for (const Nominal &p : Profiles)
            if (name == QLatin1String(p.name))
                profile = &p;
        if (!profile) {
            std::fprintf(stderr, "field-bench: no profile %s\n", qPrintable(name));
            return 2;
        }
        Run run(options, *profile);
        if (!run.start()) {
            std::fprintf(stderr, "field-bench: controller-sim or the relay did not start\n");
            return 1;
        }
        QEventLoop loop;
        run.measure(&loop);
        loop.exec();
        run.report();
    }
    return 0;
}
