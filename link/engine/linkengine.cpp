#include "enginelink.h"

#include "engineclock.h"

#include <QHostAddress>
#include <QSocketNotifier>

#include <algorithm>
#include <cmath>
#include <cstring>

#include <arpa/inet.h>
#include <sys/timerfd.h>

using namespace LinkRules;
using namespace EngineLimits;

LinkEngine::LinkEngine(QObject *parent) : QObject(parent), io(std::make_unique<Buffers>())
{
    epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    wakeFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (epollFd < 0 || wakeFd < 0)
        return;
    epoll_event timer{};
    timer.events = EPOLLIN;
    // The engine itself stands for the timer; every other entry is a link.
    timer.data.ptr = this;
    if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &timer) != 0)
        return;
    readyNotifier = new QSocketNotifier(epollFd, QSocketNotifier::Read, this);
    connect(readyNotifier, &QSocketNotifier::activated, this, [this] { onReady(); });
}

LinkEngine::~LinkEngine()
{
    {
        std::lock_guard<std::mutex> locker(tableLock);
        links.clear();
    }
    for (SharedSocket &shared : sharedSockets)
        if (shared.fd >= 0)
            ::close(shared.fd);
    delete readyNotifier;
    if (wakeFd >= 0)
        ::close(wakeFd);
    if (epollFd >= 0)
        ::close(epollFd);
}

int64_t LinkEngine::clockMs()
{
    return EngineClock::monotonicMs();
}

int LinkEngine::addLink(const LinkConfig &config)
{
    if (!readyNotifier)
        return 0;
    auto link = std::make_unique<Link>();
    if (config.line != 0) {
        auto found = lines.find(config.line);
        if (found == lines.end() || config.station < FirstStation ||
            config.station > LastStation || found->second->stations[config.station] || config.v3)
            return 0;
        link->line = found->second.get();
    }
    QHostAddress address(config.address);
    int port = config.port;
    if (address.protocol() != QAbstractSocket::IPv4Protocol || !usablePort(port)) {
        address = QHostAddress(QString::fromLatin1(DefaultHost));
        port = DefaultPort;
    }
    link->peer.sin_family = AF_INET;
    link->peer.sin_port = htons(uint16_t(port));
    link->peer.sin_addr.s_addr = htonl(address.toIPv4Address());

    // A controller on loopback is answered from loopback; any other from every interface.
    const bool loopback = address.isLoopback();
    const bool peerTaken = byPeer.count(DatagramSocket::peerKey(link->peer)) != 0;
    if (link->line) {
        // Its frames go on the line's descriptor.
    } else if (peerTaken) {
        link->ownFd = DatagramSocket::open(loopback);
        link->fd = link->ownFd;
    } else {
        SharedSocket &shared = sharedSockets[loopback ? 0 : 1];
        if (shared.fd < 0) {
            shared.fd = DatagramSocket::open(loopback);
            if (shared.fd >= 0)
                DatagramSocket::enlargeReceiveBuffer(shared.fd, SharedReceiveBuffer);
            epoll_event readable{};
            readable.events = EPOLLIN;
            readable.data.ptr = &shared;
            if (shared.fd >= 0 && ::epoll_ctl(epollFd, EPOLL_CTL_ADD, shared.fd, &readable) != 0) {
                ::close(shared.fd);
                shared.fd = -1;
            }
        }
        link->fd = shared.fd;
    }
    if (link->fd < 0 && !link->line)
        return 0;

    const int community =
        int(qMin(config.community.size(), qsizetype(NtcipPacket::CommunitySize - 1)));
    std::memset(link->packet.community, 0, sizeof link->packet.community);
    std::memcpy(link->packet.community, config.community.constData(), size_t(community));
    link->pollInterval =
        usablePollInterval(config.pollInterval) ? config.pollInterval : DefaultPollInterval;
    link->slowInterval = config.slowInterval > 0 ? config.slowInterval : DefaultSlowInterval;
    if (config.v3)
        link->v3 = std::make_unique<V3Link>(config.v3Config);
    link->roundTrip = LinkWait::RoundTrip(config.longestWait);
    link->state.waitMs = link->roundTrip.waitMs();
    link->lastRequestId = (lastId * RequestIdStride) % LastRequestId;
    std::memset(link->state.screen, ' ', sizeof link->state.screen);
    link->state.lastError[0] = '\0';

    Link *raw = link.get();
    if (raw->line) {
        raw->packet.address = config.station;
        raw->line->waiting.reserve(size_t(raw->line->stationCount + 1));
    } else if (raw->ownFd >= 0) {
        epoll_event readable{};
        readable.events = EPOLLIN;
        readable.data.ptr = raw;
        if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, raw->ownFd, &readable) != 0)
            return 0;
    } else {
        byPeer.emplace(DatagramSocket::peerKey(raw->peer), raw);
    }
    {
        // Other threads read a line's stations under the table's lock (readLine).
        std::lock_guard<std::mutex> locker(tableLock);
        raw->id = ++lastId;
        links.emplace(raw->id, std::move(link));
        if (raw->line) {
            raw->line->stations[config.station] = raw;
            ++raw->line->stationCount;
        }
    }
    if (raw->line)
        publishLine(raw->line);
    // The first poll comes at once when someone watches (watch() wakes the link); otherwise
    // somewhere in the slow interval, so that links added together do not poll in step for
    // ever after. The golden ratio's fractions of consecutive ids spread evenly.
    const int64_t spread = int64_t(std::fmod(raw->id * 0.6180339887, 1.0) * raw->slowInterval);
    // The heap never grows inside a cycle: only here.
    raw->due = clockMs() + spread;
    deadlines.add(raw, raw->due);
    armWakeTimer();
    return raw->id;
}

bool LinkEngine::removeLink(int id)
{
    std::unique_ptr<Link> gone;
    {
        std::lock_guard<std::mutex> locker(tableLock);
        auto it = links.find(id);
        if (it == links.end())
            return false;
        gone = std::move(it->second);
        links.erase(it);
        if (Line *line = gone->line) {
            line->stations[gone->packet.address] = nullptr;
            --line->stationCount;
        }
    }
    if (Line *line = gone->line) {
        line->waiting.erase(std::remove(line->waiting.begin(), line->waiting.end(), gone.get()),
                            line->waiting.end());
        if (line->holder == gone.get())
            releaseLine(line, clockMs());
        publishLine(line);
    } else if (gone->ownFd >= 0) {
        ::epoll_ctl(epollFd, EPOLL_CTL_DEL, gone->ownFd, nullptr);
        // Removed from a slot while a wake is being served: the wake's events for it are void,
        // and the link being read stops reading.
        for (int i = eventIndex + 1; i < eventCount; ++i)
            if (io->events[i].data.ptr == gone.get())
                io->events[i].data.ptr = nullptr;
    } else {
        // What its controller sends from now on is a stranger's; a link of its own socket to
        // the same controller stays on that socket.
        byPeer.erase(DatagramSocket::peerKey(gone->peer));
    }
    ++removals;
    deadlines.remove(gone.get());
    if (gone->keyInFlight != 0)
        emit keyDone(gone->id, gone->keyInFlight, KeyOutcome::NoAnswer, QString());
    dropKeys(gone.get(), QStringLiteral("the controller was removed"));
    armWakeTimer();
    return true;
}

int LinkEngine::linkCount() const
{
    std::lock_guard<std::mutex> locker(tableLock);
    return int(links.size());
}

LinkEngine::Link *LinkEngine::find(int id) const
{
    auto it = links.find(id);
    return it == links.end() ? nullptr : it->second.get();
}

bool LinkEngine::read(int id, LinkState *out) const
{
    std::lock_guard<std::mutex> locker(tableLock);
    const Link *link = find(id);
    if (!link)
        return false;
    std::lock_guard<std::mutex> stateLocker(link->lock);
    *out = link->state;
    return true;
}

uint64_t LinkEngine::pressKey(int id, uint8_t code)
{
    uint64_t ticket = 0;
    {
        std::lock_guard<std::mutex> locker(tableLock);
        Link *link = find(id);
        if (!link)
            return 0;
        std::lock_guard<std::mutex> keyLocker(link->lock);
        if (link->keys.size() == MaxQueuedKeys)
            return 0;
        ticket = ++lastTicket;
        link->keys.push({code, ticket, clockMs()});
    }
    // A link resting between polls sends it now, not after its pause.
    QMetaObject::invokeMethod(this, "keyWake", Qt::QueuedConnection, Q_ARG(int, id));
    return ticket;
}

bool LinkEngine::watch(int id)
{
    {
        std::lock_guard<std::mutex> locker(tableLock);
        Link *link = find(id);
        if (!link)
            return false;
        if (link->watchers.fetch_add(1, std::memory_order_acq_rel) != 0)
            return true;
    }
    // Someone looks now: a link resting at its slow interval polls at once.
    QMetaObject::invokeMethod(this, "wake", Qt::QueuedConnection, Q_ARG(int, id));
    return true;
}

bool LinkEngine::unwatch(int id)
{
    std::lock_guard<std::mutex> locker(tableLock);
    Link *link = find(id);
    if (!link)
        return false;
    int n = link->watchers.load(std::memory_order_relaxed);
    while (n > 0 && !link->watchers.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel)) {
    }
    return true;
}

void LinkEngine::wake(int id)
{
    Link *link = find(id);
    if (!link || link->phase != Link::Idle)
        return;
    const int64_t now = clockMs();
    if (link->due > now) {
        schedule(link, now);
        armWakeTimer();
    }
}

void LinkEngine::keyWake(int id)
{
    Link *link = find(id);
    if (!link || link->phase == Link::AwaitingKeyAnswer || link->echoReadsLeft > 0)
        return;
    const int64_t now = clockMs();
    // On a line nothing goes beside a request, nor past the stations waiting their turn: the
    // key goes when this station has the line next, before its poll.
    if (link->line && (link->phase != Link::Idle || link->waitingForLine))
        return;
    if (link->phase == Link::AwaitingReply) {
        // A key does not wait for a poll's reply, which on a slow link costs a round trip: it goes
        // now, and the poll's reply is still taken when it comes. A key's request and answer are
        // small beside a display block, so a narrow line carries the two.
        const int poll = link->latestIndex();
        if (sendKey(link, now)) {
            link->recent[poll].superseded = true;
            armWakeTimer();
        }
        return;
    }
    if (link->due > now && link->extraRequests.allows(now, false)) {
        schedule(link, now);
        armWakeTimer();
    }
}

void LinkEngine::onReady()
{
    behind = false;
    // Level-triggered: a socket or timer left ready after this turn is reported again.
    for (int round = 0; round < EpollRoundsPerTurn; ++round) {
        const int n = ::epoll_wait(epollFd, io->events, MaxEvents, 0);
        if (n <= 0)
            break;
        eventCount = n;
        for (eventIndex = 0; eventIndex < eventCount; ++eventIndex) {
            void *ready = io->events[eventIndex].data.ptr;
            if (ready == this) {
                uint64_t expirations = 0;
                // Clears the descriptor's readable state; the count itself is not needed.
                if (::read(wakeFd, &expirations, sizeof expirations) > 0)
                    armedDue = -1;
            } else if (ready == &sharedSockets[0] || ready == &sharedSockets[1]) {
                readSharedSocket(static_cast<SharedSocket *>(ready)->fd);
            } else if (Line *line = lineOf(ready)) {
                const uint32_t events = io->events[eventIndex].events;
                if (line->io.state() == SerialLine::State::Connecting) {
                    if (line->io.finishConnect(clockMs()))
                        openLine(line, clockMs());
                    else
                        lineFailed(line, clockMs(), line->io.error());
                } else {
                    readLineBytes(line, (events & (EPOLLHUP | EPOLLERR)) != 0);
                }
            } else if (ready) {
                readOwnSocket(static_cast<Link *>(ready));
            }
        }
        eventIndex = eventCount = 0;
        if (n < MaxEvents)
            break;
        behind = behind || round == EpollRoundsPerTurn - 1;
    }
    // Every deadline due by now, whether the timer or a datagram woke the thread: links whose
    // times fall close together share one wake.
    const int64_t now = clockMs();
    while (!deadlines.empty() && deadlines.firstDue() <= now)
        handleDue(deadlines.first(), now);
    armWakeTimer();
}

void LinkEngine::armWakeTimer()
{
    if (deadlines.empty())
        return;
    // Onto the grid, unless it is due already: a key or a read after one goes at once.
    int64_t due = deadlines.firstDue();
    if (due > clockMs())
        due = (due + WakeGrid - 1) / WakeGrid * WakeGrid;
    // A timer set for the same time or earlier stays: nearly every reply moves its link's
    // deadline later, and an early wake that finds nothing due costs less than a timerfd_settime
    // per reply. It is set again only when a deadline comes before it, or after it fired.
    if (armedDue >= 0 && armedDue <= due)
        return;
    armedDue = due;
    itimerspec when{};
    // Absolute time on the monotonic clock; a time already past fires at once.
    when.it_value.tv_sec = time_t(due / 1000);
    when.it_value.tv_nsec = long(due % 1000) * 1000000;
    ::timerfd_settime(wakeFd, TFD_TIMER_ABSTIME, &when, nullptr);
}

void LinkEngine::schedule(Link *link, int64_t due)
{
    link->due = due;
    deadlines.move(link, due);
}
