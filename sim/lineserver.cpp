#include "lineserver.h"

#include "screenrecord.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// How often bytes due at the line's rate are handed on.
constexpr int PaceMs = 2;

void makeRaw(int fd)
{
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return;
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    ::tcsetattr(fd, TCSANOW, &t);
}

} // namespace

struct LineServer::Station
{
    explicit Station(int number) : number(number), agent(&model) {}

    int number;
    ControllerModel model;
    SnmpAgent agent;
    qint64 modelTime = 0;
    QByteArray loggedScreen;
};

LineServer::LineServer(int count, int bitRate, QObject *parent) : QObject(parent), speed(bitRate)
{
    count = std::clamp(count, 1, MostStations);
    for (int i = 1; i <= count; ++i)
        stations.push_back(std::make_unique<Station>(i));
}

LineServer::~LineServer()
{
    delete notifier;
    if (descriptor >= 0)
        ::close(descriptor);
    if (heldSlave >= 0)
        ::close(heldSlave);
}

bool LineServer::openPty(QString *path, QString *error)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        *error = QStringLiteral("cannot make a pseudo-terminal: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
        if (master >= 0)
            ::close(master);
        return false;
    }
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) {
        *error = QStringLiteral("cannot name the pseudo-terminal");
        ::close(master);
        return false;
    }
    heldSlave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (heldSlave >= 0)
        makeRaw(heldSlave);
    *path = QString::fromLocal8Bit(name);
    serveOn(master);
    return true;
}

bool LineServer::openDevice(const QString &path, QString *error)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("cannot open %1: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    makeRaw(fd);
    serveOn(fd);
    return true;
}

void LineServer::serveOn(int fd)
{
    descriptor = fd;
    clock.start();
    notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] { readable(); });
    pace = new QTimer(this);
    pace->setTimerType(Qt::PreciseTimer);
    pace->setInterval(PaceMs);
    connect(pace, &QTimer::timeout, this, [this] { writeDue(); });
}

void LineServer::setRequestLog(bool on)
{
    std::lock_guard<std::mutex> locker(lock);
    logging = on;
}

std::vector<LineServer::LoggedRequest> LineServer::requestLog() const
{
    std::lock_guard<std::mutex> locker(lock);
    return log;
}

AgentCounters LineServer::counters() const
{
    std::lock_guard<std::mutex> locker(lock);
    AgentCounters sum;
    for (const auto &s : stations)
        sum += s->agent.counters;
    return sum;
}

LineServer::LineCounters LineServer::lineCounters() const
{
    std::lock_guard<std::mutex> locker(lock);
    return line;
}

void LineServer::readable()
{
    uint8_t bytes[1024];
    const ssize_t n = ::read(descriptor, bytes, sizeof bytes);
    if (n <= 0) {
        // A device whose other side went: wait for it a little rather than spin on it.
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            notifier->setEnabled(false);
            QTimer::singleShot(100, this, [this] { notifier->setEnabled(true); });
        }
        return;
    }
    for (ssize_t i = 0; i < n; ++i)
        if (receiver.push(bytes[i]) == PmppReceiver::Result::Frame)
            serveFrame();
    std::lock_guard<std::mutex> locker(lock);
    line.frames = receiver.counters().frames;
    line.fcsErrors = receiver.counters().fcsErrors;
    line.malformed = receiver.counters().malformed;
}

void LineServer::serveFrame()
{
    const uint8_t *content = receiver.content();
    const int length = receiver.contentLength();
    const int address = content[0];
    const int number = (address & 3) == 1 ? address >> 2 : 0;
    if (number < 1 || number > int(stations.size()) || length < 4) {
        std::lock_guard<std::mutex> locker(lock);
        ++line.otherStation;
        return;
    }
    Station &station = *stations[size_t(number - 1)];
    const uint8_t *request = content + 3;
    const int requestLength = length - 3;

    // Its clock moves when it is asked, in steps of at most an hour.
    const qint64 nowMs = clock.elapsed();
    while (nowMs > station.modelTime) {
        const int step = int(std::min<qint64>(nowMs - station.modelTime, 3600 * 1000));
        station.model.tick(step);
        station.modelTime += step;
    }
    NtcipPacket reply;
    int replyLength = 0;
    {
        std::lock_guard<std::mutex> locker(lock);
        if (logging)
            log.push_back({number,
                           QByteArray(reinterpret_cast<const char *>(request), requestLength),
                           nowMs});
        replyLength = station.agent.handle(request, requestLength, reply.frame,
                                           NtcipPacket::FrameSize / 2);
    }
    if (screenLog) {
        const QByteArray screen = screenBytes(station.model);
        if (screen != station.loggedScreen) {
            station.loggedScreen = screen;
            screenLog(screenRecord(station.model, "station", number).constData());
        }
    }
    if (verbose) {
        char described[200];
        station.agent.describeLast(described, int(sizeof described));
        char text[260];
        std::snprintf(text, sizeof text, "[station %d] %s", number, described);
        verbose(text);
    }
    if (replyLength <= 0)
        return;
    reply.frameLength = replyLength;
    reply.address = number;
    if (!reply.wrapFrame() || outLength - outSent + reply.frameLength > int(sizeof out))
        return;
    // The answer starts once the request's last byte would have come over the wire.
    if (outSent == outLength) {
        outSent = outLength = 0;
        started = clock.nsecsElapsed() +
                  qint64(receiver.wireLength()) * 10 * 1000000000 / speed;
    } else if (outSent > 0) {
        std::memmove(out, out + outSent, size_t(outLength - outSent));
        outLength -= outSent;
        // What was sent no longer counts towards what is due.
        started += qint64(outSent) * 10 * 1000000000 / speed;
        outSent = 0;
    }
    std::memcpy(out + outLength, reply.frame, size_t(reply.frameLength));
    outLength += reply.frameLength;
    if (!pace->isActive())
        pace->start();
    writeDue();
}

void LineServer::writeDue()
{
    const qint64 elapsed = clock.nsecsElapsed() - started;
    const int due = elapsed <= 0 ? 0
                                 : int(std::min<qint64>(outLength,
                                                        elapsed * speed / 10 / 1000000000));
    if (due > outSent) {
        const ssize_t n = ::write(descriptor, out + outSent, size_t(due - outSent));
        if (n > 0)
            outSent += int(n);
    }
    if (outSent == outLength)
        pace->stop();
}
