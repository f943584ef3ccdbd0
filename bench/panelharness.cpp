// panel-harness: the front panel's own window, driven through its widgets the way a person would,
// against a controller-sim child process on loopback. No hook in the program: the harness types
// the address into the form, clicks Connect or keypad buttons, and reads the display's text items
// out of the window's scene.
//
//   panel-harness --sim PATH live [--seconds 60] [--poll 100]
//   panel-harness --sim PATH soak [--seconds 600] [--drop 20] [--delay 30]
//
// live: CPU of this process (panel + a light observer) in percent of one core after warm-up,
// peak RSS, polls per second seen by the simulator, and display freshness: the simulator's clock
// (row 0, "hh:mm:ss") turns over whenever its elapsed time crosses a whole second, counted from
// the moment it printed its "listening" line; the delay from that turn to the new text in the
// row item, read when the scene reports a change, is the freshness of that character.
//
// soak: random keypad buttons, one waiting key at a time; the simulator's --verbose lines tell
// which SETs arrived. Requests, replies, keys, peak and final RSS; fails on a lost key, a dead
// simulator, or RSS growth above 1 MiB after warm-up.
#include "mainwindow.h"
#include "simprocess.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDial>
#include <QElapsedTimer>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QGraphicsView>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTime>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <unistd.h>

namespace {

constexpr int KeyQuietMs = 6000;
const char KeyOid[] = "1.3.6.1.4.1.1206.3.5.2.17.10.0";
const char *const KeypadButtons[] = {
    "pushButton_0",  "pushButton_1",    "pushButton_2",     "pushButton_3",      "pushButton_4",
    "pushButton_5",  "pushButton_6",    "pushButton_7",     "pushButton_8",      "pushButton_9",
    "pushButton_mm", "pushButton_sm",   "pushButton_help",  "pushButton_status", "pushButton_right",
    "pushButton_up", "pushButton_left", "pushButton_enter", "pushButton_down",   "pushButton_sf",
    "pushButton_c",  "pushButton_np",   "pushButton_nd",    "pushButton_ns"};

// CPU seconds (user + system) of this process, from /proc/self/stat.
double cpuSeconds()
{
    FILE *f = std::fopen("/proc/self/stat", "r");
    if (!f)
        return -1;
    char buffer[1024];
    const size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
    std::fclose(f);
    buffer[n] = '\0';
    // Fields 14 and 15 (utime, stime) follow the ")" that closes the command name.
    const char *p = std::strrchr(buffer, ')');
    unsigned long utime = 0, stime = 0;
    if (!p || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                          &stime) != 2)
        return -1;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// A "VmRSS:"-style line of /proc/self/status, in KiB.
long statusKiB(const char *field)
{
    FILE *f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long value = -1;
    const size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, field, length) == 0) {
            value = std::atol(line + length);
            break;
        }
    }
    std::fclose(f);
    return value;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

struct Options
{
    QString sim;
    QString mode;
    int seconds = 0;
    int poll = 100;
    int drop = 20;
    int delay = 30;
};

class Harness : public QObject
{
public:
    explicit Harness(const Options &o) : options(o) {}

    int run()
    {
        clock.start();
        if (!startSimulator())
            return 2;
        window.show();
        connectPanel();

        scene = window.findChild<QGraphicsView *>(QStringLiteral("graphicsView"))->scene();
        if (options.mode == QLatin1String("live"))
            connect(scene, &QGraphicsScene::changed, this, [this] { observeClock(); });
        else
            QTimer::singleShot(1000, this, [this] { pressNextKey(); });

        warmUpMs = options.mode == QLatin1String("live")
                       ? 5000
                       : qint64(std::min(60, std::max(10, options.seconds / 5))) * 1000;
        QTimer::singleShot(int(warmUpMs), this, [this] {
            cpuAtWarmUp = cpuSeconds();
            cpuClockAtWarmUp = clock.elapsed();
            rssAtWarmUp = statusKiB("VmRSS:");
        });
        // The last key gets longer than the 5 s a key may take to arrive before the counts are
        // read, so that a key pressed just before the end is not taken for lost.
        QTimer::singleShot(std::max(0, options.seconds * 1000 - KeyQuietMs), this,
                           [this] { pressing = false; });
        QTimer::singleShot(options.seconds * 1000, this, [this] { finish(); });
        return QApplication::exec();
    }

private:
    bool startSimulator()
    {
        QStringList args;
        if (options.mode == QLatin1String("soak"))
            args << QStringLiteral("--verbose") << QStringLiteral("--drop")
                 << QString::number(options.drop) << QStringLiteral("--delay")
                 << QString::number(options.delay);
        // The clock of the simulated controller starts right before its first line.
        port = simulator.start(args);
        simulatorStartMs = clock.elapsed();
        if (port == 0) {
            std::fprintf(stderr, "panel-harness: %s did not report its port: %s\n",
                         qPrintable(options.sim),
                         simulator.process.readAllStandardError().constData());
            return false;
        }
        connect(&simulator.process, &QProcess::readyReadStandardOutput, this,
                [this] { readSimulator(); });
        return true;
    }

    // Types 127.0.0.1, the port and the poll interval into the form and clicks Connect.
    void connectPanel()
    {
        const int octets[] = {127, 0, 0, 1};
        for (int i = 0; i < 4; ++i)
            spinBox(QStringLiteral("spinBox_%1").arg(i + 1))->setValue(octets[i]);
        spinBox(QStringLiteral("spinBox_5"))->setValue(port);
        window.findChild<QDial *>(QStringLiteral("dial"))->setValue(options.poll);
        button("commandLinkButton")->click();
        connectedMs = clock.elapsed();
    }

    QSpinBox *spinBox(const QString &name) { return window.findChild<QSpinBox *>(name); }
    QAbstractButton *button(const char *name)
    {
        return window.findChild<QAbstractButton *>(QLatin1String(name));
    }

    // The row whose text ends in the controller's clock.
    QString clockText() const
    {
        static const QRegularExpression clockAtEnd(QStringLiteral("(\\d\\d:\\d\\d:\\d\\d)$"));
        const auto items = scene->items();
        for (QGraphicsItem *item : items) {
            auto *text = qgraphicsitem_cast<QGraphicsSimpleTextItem *>(item);
            if (!text)
                continue;
            const auto match = clockAtEnd.match(text->text());
            if (match.hasMatch())
                return match.captured(1);
        }
        return QString();
    }

    void observeClock()
    {
        const QString now = clockText();
        if (now.isEmpty() || now == lastClock)
            return;
        const qint64 seen = clock.elapsed();
        if (!lastClock.isEmpty() && seen > warmUpMs) {
            const QTime before = QTime::fromString(lastClock, QStringLiteral("hh:mm:ss"));
            const QTime after = QTime::fromString(now, QStringLiteral("hh:mm:ss"));
            if (before.secsTo(after) != 1)
                ++skippedSeconds; // a second the display never showed
            // The newest turn of the simulator's clock at or before this moment.
            freshness.push_back(double((seen - simulatorStartMs) % 1000));
        }
        lastClock = now;
    }

    void readSimulator()
    {
        while (simulator.process.canReadLine()) {
            const QByteArray line = simulator.process.readLine();
            if (line.contains("requests ") && line.contains("replies ")) {
                counterLine = QString::fromLatin1(line).trimmed();
                continue;
            }
            if (line.contains(" set ") && line.contains(KeyOid))
                ++keysReceived;
        }
    }

    void pressNextKey()
    {
        if (finishing || !pressing)
            return;
        if (keysReceived < keysSent) {
            if (clock.elapsed() - pressedAtMs > 5000) {
                ++keysLost;
                keysReceived = keysSent; // count each loss once and go on
            } else {
                QTimer::singleShot(10, this, [this] { pressNextKey(); });
                return;
            }
        }
        const int pick = int(QRandomGenerator::global()->bounded(
            quint32(sizeof KeypadButtons / sizeof KeypadButtons[0])));
        button(KeypadButtons[pick])->click();
        ++keysSent;
        pressedAtMs = clock.elapsed();
        QTimer::singleShot(int(QRandomGenerator::global()->bounded(300)), this,
                           [this] { pressNextKey(); });
    }

    void finish()
    {
        finishing = true;
        const double cpu = cpuSeconds() - cpuAtWarmUp;
        const double wall = double(clock.elapsed() - cpuClockAtWarmUp) / 1000.0;
        const long peakKiB = statusKiB("VmHWM:");
        const long finalKiB = statusKiB("VmRSS:");
        const double linkSeconds = double(clock.elapsed() - connectedMs) / 1000.0;

        // The simulator prints its counters when it is asked to stop.
        const bool simulatorDied = simulator.stop() != 0;
        readSimulator();
        unsigned long long requests = 0, replies = 0, dropped = 0;
        const QRegularExpression counters(
            QStringLiteral("requests (\\d+), replies (\\d+).*dropped (\\d+)"));
        const auto match = counters.match(counterLine);
        if (match.hasMatch()) {
            requests = match.captured(1).toULongLong();
            replies = match.captured(2).toULongLong();
            dropped = match.captured(3).toULongLong();
        }

        int status = 0;
        std::printf("run: %d s, poll %d ms, simulator on 127.0.0.1 port %d\n", options.seconds,
                    options.poll, port);
        std::printf("simulator: %s\n", qPrintable(counterLine));
        std::printf("polls per second on the wire: %.2f (%llu requests in %.1f s)\n",
                    double(requests) / linkSeconds, requests, linkSeconds);
        std::printf("peak RSS (VmHWM): %.1f MiB\n", double(peakKiB) / 1024.0);
        if (options.mode == QLatin1String("live")) {
            std::printf("CPU: %.2f %% of one core (%.2f s over %.1f s after warm-up)\n",
                        100.0 * cpu / wall, cpu, wall);
            std::printf("display freshness over %zu clock changes: median %.0f ms, p95 %.0f ms, "
                        "max %.0f ms; seconds never shown: %d\n",
                        freshness.size(), percentile(freshness, 0.5), percentile(freshness, 0.95),
                        percentile(freshness, 1.0), skippedSeconds);
            if (freshness.size() < 50) {
                std::printf("FAIL: fewer than 50 clock changes observed\n");
                status = 1;
            }
        } else {
            const long growth = finalKiB - rssAtWarmUp;
            std::printf("requests %llu, replies %llu (sent by the simulator %llu, lost on purpose "
                        "%llu)\n",
                        requests, replies, replies - dropped, dropped);
            std::printf("keys sent %d, keys received by the simulator %d, lost %d\n", keysSent,
                        keysReceived, keysLost);
            std::printf("RSS: after warm-up %.1f MiB, final %.1f MiB, growth %+ld KiB\n",
                        double(rssAtWarmUp) / 1024.0, double(finalKiB) / 1024.0, growth);
            if (keysLost > 0 || keysReceived != keysSent) {
                std::printf("FAIL: keys were lost\n");
                status = 1;
            }
            if (growth > 1024) {
                std::printf("FAIL: RSS grew by more than 1 MiB after warm-up\n");
                status = 1;
            }
        }
        if (simulatorDied || counterLine.isEmpty()) {
            std::printf("FAIL: the simulator died\n");
            status = 1;
        }
        std::fflush(stdout);
        QApplication::exit(status);
    }

    Options options;
    MainWindow window;
    SimProcess simulator{options.sim};
    QGraphicsScene *scene = nullptr;
    QElapsedTimer clock;
    qint64 simulatorStartMs = 0;
    qint64 connectedMs = 0;
    qint64 warmUpMs = 0;
    int port = 0;
    double cpuAtWarmUp = 0;
    qint64 cpuClockAtWarmUp = 0;
    long rssAtWarmUp = 0;
    QString lastClock;
    std::vector<double> freshness;
    int skippedSeconds = 0;
    QString counterLine;
    int keysSent = 0;
    int keysReceived = 0;
    int keysLost = 0;
    qint64 pressedAtMs = 0;
    bool finishing = false;
    bool pressing = true;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Options options;
    const QStringList args = QApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == QLatin1String("--sim") && hasValue)
            options.sim = args[++i];
        else if (a == QLatin1String("--seconds") && hasValue)
            options.seconds = args[++i].toInt();
        else if (a == QLatin1String("--poll") && hasValue)
            options.poll = args[++i].toInt();
        else if (a == QLatin1String("--drop") && hasValue)
            options.drop = args[++i].toInt();
        else if (a == QLatin1String("--delay") && hasValue)
            options.delay = args[++i].toInt();
        else if (a == QLatin1String("live") || a == QLatin1String("soak"))
            options.mode = a;
        else {
            std::fprintf(stderr, "panel-harness: unknown argument '%s'\n", qPrintable(a));
            return 2;
        }
    }
    if (options.sim.isEmpty() || options.mode.isEmpty()) {
        std::fprintf(stderr, "usage: panel-harness --sim PATH live|soak [--seconds N] [--poll MS] "
                             "[--drop PERCENT] [--delay MS]\n");
        return 2;
    }
    if (options.seconds <= 0)
        options.seconds = options.mode == QLatin1String("live") ? 60 : 600;
    Harness harness(options);
    return harness.run();
}
