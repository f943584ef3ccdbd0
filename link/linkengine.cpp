// The multi-controller link engine. The links share one unconnected UDP socket (one bound to
// loopback for controllers there, one bound to every interface for the others), so descriptors
// do not grow with the number of controllers; a datagram goes to the link whose controller's
// address and port sent it, found in a hash map, and one from anyone else is counted and
// dropped unread. A second link to a controller another link already has gets a socket of its
// own, since the address could not tell their replies apart. Each link has one deadline: the
// next poll, the end of the reply wait or the end of the key answer wait.
//
// A link has at most one poll out at a time, so a slow or narrow line paces itself by its round
// trip; a key alone may go out while a poll awaits its reply, so that it does not wait a round
// trip for it. Each request carries its own request id, and a reply is matched to one of the
// link's last few requests by its id and the object it names, never by when it came: a reply
// later than its wait is still used (a block newer than it already shown is not overwritten),
// a doubled one is counted and dropped. The wait is learnt from round trips measured between
// the kernel's receive timestamp and the time taken just after the send, so a thread that is
// late to read its socket does not blame the controller. Sockets are read with
// recvmmsg and written with sendto on the descriptor: Qt's datagram calls with an address
// allocate on every call, and a poll cycle allocates nothing. The deadlines wake the thread
// through one timerfd for the same reason, on a grid of a couple of milliseconds so that links
// whose times fall close together share a wake; a deadline already due (a key) never waits
// for the grid.
//
// The sockets and the timerfd sit in one epoll instance, and only its descriptor is given to
// the event loop: Qt's dispatcher polls each descriptor it watches on every wake. A wake takes
// what epoll reports ready and then serves every deadline that is due, whichever woke it.
#include "linkengine.h"

#include "ntcippacket.h"
#include "pmppreceiver.h"

#include <QHostAddress>
#include <QSocketNotifier>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

using namespace LinkRules;

namespace {

// epoll_wait calls per wake when each fills the event array; what is left waits one turn.
constexpr int EpollRoundsPerTurn = 4;
constexpr int MaxEvents = 256;
// One socket's datagrams are read at once and used before the next read. A flood on one socket
// does not hold the thread: what is left is read in the next turn of the loop.
constexpr int DatagramsPerTurn = 32;
// Reads of a shared socket per turn, DatagramsPerTurn each.
constexpr int SharedReadsPerTurn = 8;
// The shared socket's receive buffer, in bytes.
constexpr int SharedReceiveBuffer = 8 << 20;
// Deadlines in the future are served on this grid (ms).
constexpr int64_t WakeGrid = 2;
// Engine requests carry ids 1..127: a one-byte INTEGER that stays positive.
constexpr int LastRequestId = 127;
// A station waiting for its line has no deadline of its own until the line is free.
constexpr int64_t NoDeadline = int64_t(1) << 60;
// What a display block adds to its request in the answer: the block and a few longer lengths.
constexpr int BlockAnswerBytes = 330;
// A line whose answer is still coming in is not given up while its bytes keep coming: a quiet
// gap of this many bytes' time, at least QuietLeastMs, ends it; and never more than a whole
// frame's time past the wait.
constexpr int QuietBytes = 16;
constexpr int64_t QuietLeastMs = 20;
// What one read of a line takes at once.
constexpr int LineReadSize = 2048;
constexpr int LineReadsPerTurn = 4;
// A display block read on a line before any was measured: a 57-byte request and its
// 385-byte answer.
constexpr int NominalExchangeBytes = 442;

int64_t realtimeNs()
{
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The kernel's receive time of a datagram read with SO_TIMESTAMPNS, or now when it gave none.
int64_t receivedAt(msghdr &header)
{
    for (cmsghdr *c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS &&
            c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec t{};
            std::memcpy(&t, CMSG_DATA(c), sizeof t);
            return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
        }
    }
    return realtimeNs();
}

// A controller's address and port as one key.
uint64_t peerKey(const sockaddr_in &a)
{
    return (uint64_t(a.sin_addr.s_addr) << 16) | a.sin_port;
}

} // namespace

struct LinkEngine::Buffers
{
    epoll_event events[MaxEvents];
    uint8_t datagrams[DatagramsPerTurn][ReceiveSize];
    // An SNMPv3 link's request as it goes out, and its reply as the link rules read it.
    uint8_t v3Out[V3Link::MessageSize];
    V3Link::Scratch v3Scratch;
    uint8_t v3Reply[ReceiveSize];
    uint8_t lineBytes[LineReadSize];
    sockaddr_in senders[DatagramsPerTurn];
    // Each datagram's receive timestamp.
    alignas(cmsghdr) char control[DatagramsPerTurn][CMSG_SPACE(sizeof(timespec))];
    iovec vectors[DatagramsPerTurn];
    mmsghdr received[DatagramsPerTurn];
};

struct LinkEngine::Link
{
    enum Phase { Idle, AwaitingReply, AwaitingKeyAnswer };

    int id = 0;
    // Its serial line, or null for a link over UDP.
    Line *line = nullptr;
    bool waitingForLine = false;
    sockaddr_in peer{};
    // The socket its requests go out on: a shared one, or its own (ownFd) when another link
    // has its controller.
    int fd = -1;
    int ownFd = -1;
    NtcipPacket packet;
    // Null for an SNMPv1 link.
    std::unique_ptr<V3Link> v3;
    // Reports that made the current request go out again (discovery, the time window).
    int resends = 0;

    // The link's last requests, newest at recentNext - 1: what a reply may answer.
    struct Sent
    {
        // The link's count of requests when this one left, from 1; 0 for an empty entry.
        uint64_t number = 0;
        // Its number among the polls (for the lost fraction), or the key's ticket.
        uint64_t poll = 0;
        uint64_t ticket = 0;
        // CLOCK_REALTIME just after the send, the clock of the kernel's receive timestamps.
        int64_t sentNs = 0;
        uint8_t requestId = 0;
        LinkRules::Asked asked = LinkRules::Asked::FirstBlock;
        // Sent more than once, or its wait ran out: its reply tells no round trip.
        bool unmeasured = false;
        // A poll a key went out ahead of: its reply is taken whenever it comes, and no wait of
        // its own is judged.
        bool superseded = false;
        bool answered = false;
    };
    static constexpr int RecentRequests = 8;
    Sent recent[RecentRequests];
    int recentNext = 0;
    int latestIndex() const { return (recentNext + RecentRequests - 1) % RecentRequests; }
    Sent &latest() { return recent[latestIndex()]; }
    uint64_t requestCount = 0;
    uint64_t pollCount = 0;
    int lastRequestId = 0;
    // The request whose block each half of the screen shows.
    uint64_t shownRequest[2] = {0, 0};
    LinkWait::RoundTrip roundTrip;
    LinkWait::PollHistory history;
    // Polls unanswered since the last reply.
    int misses = 0;
    int64_t firstRequestMs = -1;

    // Set from any thread.
    std::atomic<int> pollInterval{DefaultPollInterval};
    std::atomic<int> slowInterval{5000};
    std::atomic<int> watchers{0};

    // Engine thread only.
    Phase phase = Idle;
    int64_t due = 0;
    // When the wait for the outstanding request ends.
    int64_t waitEnds = 0;
    int heapIndex = -1;
    bool firstBlockNext = true;
    // The round trip of the last reply, which decides the pause after a poll.
    int lastFigure = 0;
    // The key whose SetRequest awaits its answer, and when the last key went out.
    uint64_t keyInFlight = 0;
    int64_t lastKeySentMs = -1;
    // Reads of the display that follow a key at once: its cursor block, then the other.
    int echoReadsLeft = 0;
    // Room for requests beyond the polls, in milliseconds of the rate's time: it grows with
    // time up to a full second's worth and each such request uses up one share.
    int64_t extraCredit = 1000;
    int64_t creditAt = 0;

    // Keys in the order pressed: added from any thread, taken on the engine's, under lock.
    struct QueuedKey
    {
        uint8_t code;
        uint64_t ticket;
        int64_t pressedAt;
    };
    QueuedKey keys[LinkEngine::MaxQueuedKeys];
    int keyFirst = 0;
    int keyCount = 0;

    // What other threads read, under lock.
    mutable std::mutex lock;
    LinkState state;

    ~Link()
    {
        if (ownFd >= 0)
            ::close(ownFd);
    }
};

struct LinkEngine::Line
{
    explicit Line(const SerialLineConfig &config) : io(config) {}

    int id = 0;
    SerialLine io;
    PmppReceiver receiver;
    // The station whose request is on the line, or who has it next; null when it is free.
    Link *holder = nullptr;
    // Stations that want the line, in the order they asked; room for all of them is taken
    // when a station is added.
    std::vector<Link *> waiting;
    Link *stations[LinkEngine::LastStation + 1] = {};
    int stationCount = 0;
    int64_t lastByteMs = -1;
    // Its descriptor is in the epoll set (a closed one leaves it by itself).
    bool watched = false;
    // The bytes of the request on the line, and the bytes a display block's read takes both
    // ways, smoothed.
    int requestBytes = 0;
    int exchangeBytes = NominalExchangeBytes;
    // Engine thread only; published into state.
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
    uint64_t framesOut = 0;
    uint64_t otherStation = 0;

    mutable std::mutex lock;
    LineState state;
};

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
    for (int i = 0; i < DatagramsPerTurn; ++i) {
        io->vectors[i].iov_base = io->datagrams[i];
        io->vectors[i].iov_len = sizeof io->datagrams[i];
        io->received[i].msg_hdr.msg_name = &io->senders[i];
        io->received[i].msg_hdr.msg_iov = &io->vectors[i];
        io->received[i].msg_hdr.msg_iovlen = 1;
        io->received[i].msg_hdr.msg_control = io->control[i];
    }
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
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
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
    const bool peerTaken = byPeer.count(peerKey(link->peer)) != 0;
    if (link->line) {
        // Its frames go on the line's descriptor.
    } else if (peerTaken) {
        link->ownFd = openSocket(loopback);
        link->fd = link->ownFd;
    } else {
        SharedSocket &shared = sharedSockets[loopback ? 0 : 1];
        if (shared.fd < 0) {
            shared.fd = openSocket(loopback);
            // Every controller's replies queue here: a burst of hundreds must fit while the
            // thread is busy, which the default buffer (about 300 replies) does not. Forced
            // where we may (root, CAP_NET_ADMIN), else as far as net.core.rmem_max allows.
            const int room = SharedReceiveBuffer;
            if (shared.fd >= 0 &&
                ::setsockopt(shared.fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)
                ::setsockopt(shared.fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
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
    link->slowInterval = config.slowInterval > 0 ? config.slowInterval : 5000;
    if (config.v3)
        link->v3 = std::make_unique<V3Link>(config.v3Config);
    link->roundTrip = LinkWait::RoundTrip(config.longestWait);
    link->state.waitMs = link->roundTrip.waitMs();
    // Ids start apart so that two links to one controller do not step in time.
    link->lastRequestId = (lastId * 37) % LastRequestId;
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
        byPeer.emplace(peerKey(raw->peer), raw);
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
    // The heap never grows inside a cycle: its room is taken here.
    heap.reserve(links.size());
    heap.push_back({0, raw});
    raw->heapIndex = int(heap.size()) - 1;
    // The first poll comes at once when someone watches (watch() wakes the link); otherwise
    // somewhere in the slow interval, so that links added together do not poll in step for
    // ever after. The golden ratio's fractions of consecutive ids spread evenly.
    const int64_t spread = int64_t(std::fmod(raw->id * 0.6180339887, 1.0) * raw->slowInterval);
    schedule(raw, clockMs() + spread);
    armWakeTimer();
    return raw->id;
}

int LinkEngine::openSocket(bool loopback)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = loopback ? htonl(INADDR_LOOPBACK) : htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        ::close(fd);
        return -1;
    }
    // The kernel's receive time with each datagram: round trips are measured from it.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    return fd;
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
        byPeer.erase(peerKey(gone->peer));
    }
    ++removals;
    heapRemove(gone.get());
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
        if (link->keyCount == MaxQueuedKeys)
            return 0;
        ticket = ++lastTicket;
        link->keys[(link->keyFirst + link->keyCount) % MaxQueuedKeys] = {code, ticket, clockMs()};
        ++link->keyCount;
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

bool LinkEngine::setPollInterval(int id, int ms)
{
    if (!usablePollInterval(ms))
        return false;
    std::lock_guard<std::mutex> locker(tableLock);
    Link *link = find(id);
    if (!link)
        return false;
    link->pollInterval.store(ms, std::memory_order_relaxed);
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
    if (link->due > now && extraRequest(link, now, false)) {
        schedule(link, now);
        armWakeTimer();
    }
}

bool LinkEngine::extraRequest(Link *link, int64_t now, bool take)
{
    constexpr int64_t share = 1000 / ExtraRequestsPerSecond;
    const int64_t credit = std::min<int64_t>(1000, link->extraCredit + (now - link->creditAt));
    link->extraCredit = credit;
    link->creditAt = now;
    if (credit < share)
        return false;
    if (take)
        link->extraCredit -= share;
    return true;
}

bool LinkEngine::sendKey(Link *link, int64_t now)
{
    if (link->line && link->line->io.state() != SerialLine::State::Open) {
        dropKeys(link, QStringLiteral("the serial line is not connected"));
        return false;
    }
    for (;;) {
        Link::QueuedKey key{};
        {
            std::lock_guard<std::mutex> locker(link->lock);
            if (link->keyCount == 0)
                return false;
            key = link->keys[link->keyFirst];
        }
        // Keys are not sent into a situation that has changed since they were pressed.
        int64_t lastReply;
        LinkWait::Health health;
        {
            std::lock_guard<std::mutex> locker(link->lock);
            lastReply = link->state.lastReplyMs;
            health = link->state.health;
        }
        if (health == LinkWait::Health::Silent) {
            dropKeys(link, lastReply < 0 ? QStringLiteral("no answer from the controller yet")
                                         : QStringLiteral("no answer from the controller for %1 s")
                                               .arg((now - lastReply) / 1000));
            return false;
        }
        // A key behind others waits from when the one before it went: a queue a slow link works
        // through is no reason to drop the keys at its end; one that has stopped moving is.
        const int64_t longestWait =
            std::max<int64_t>(KeyMaxWaitMs, int64_t(KeyMaxWaits) * link->roundTrip.waitMs());
        const bool stale = now - std::max(key.pressedAt, link->lastKeySentMs) > longestWait;
        if (!stale && !extraRequest(link, now, true))
            return false;
        {
            std::lock_guard<std::mutex> locker(link->lock);
            link->keyFirst = (link->keyFirst + 1) % MaxQueuedKeys;
            --link->keyCount;
        }
        if (stale) {
            emit keyDone(link->id, key.ticket, KeyOutcome::Dropped,
                         QStringLiteral("waited more than %1 s").arg(longestWait / 1000));
            continue;
        }
        {
            std::lock_guard<std::mutex> locker(link->lock);
            ++link->state.counters.keysSent;
        }
        // Sent once, whatever send() says: a datagram the kernel refused may still have left,
        // and a key is never sent twice. No answer then ends its wait.
        sendRequest(link, Asked::Key, key.code, key.ticket, now);
        link->keyInFlight = key.ticket;
        link->lastKeySentMs = now;
        link->echoReadsLeft = 0;
        link->phase = Link::AwaitingKeyAnswer;
        link->waitEnds = now + waitFor(link, Asked::Key);
        schedule(link, link->waitEnds);
        return true;
    }
}

void LinkEngine::dropKeys(Link *link, const QString &reason)
{
    for (;;) {
        uint64_t ticket = 0;
        {
            std::lock_guard<std::mutex> locker(link->lock);
            if (link->keyCount == 0)
                return;
            ticket = link->keys[link->keyFirst].ticket;
            link->keyFirst = (link->keyFirst + 1) % MaxQueuedKeys;
            --link->keyCount;
        }
        emit keyDone(link->id, ticket, KeyOutcome::Dropped, reason);
    }
}

void LinkEngine::afterKey(Link *link, int64_t now)
{
    link->keyInFlight = 0;
    // Keys typed in a burst follow each other, a round trip apiece; the display is read after
    // the last, not between them, which on a slow link would double the burst's time.
    bool more;
    {
        std::lock_guard<std::mutex> locker(link->lock);
        more = link->keyCount > 0;
    }
    if (more && sendKey(link, now))
        return;
    // The key's effect shows first in the block that holds the cursor's row.
    int cursorRow;
    {
        std::lock_guard<std::mutex> locker(link->lock);
        cursorRow = link->state.cursorRow;
    }
    link->firstBlockNext = cursorRow <= Rows / 2;
    if (!extraRequest(link, now, true)) {
        startPause(link, now);
        return;
    }
    link->echoReadsLeft = 2;
    link->phase = Link::Idle;
    schedule(link, now);
}

bool LinkEngine::sendRequest(Link *link, Asked asked, uint8_t code, uint64_t ticket, int64_t now)
{
    link->lastRequestId = link->lastRequestId % LastRequestId + 1;
    link->packet.requestId = uint8_t(link->lastRequestId);
    if (asked == Asked::Key)
        buildKey(link->packet, code);
    else
        buildPoll(link->packet, asked == Asked::FirstBlock);
    link->resends = 0;
    if (link->firstRequestMs < 0)
        link->firstRequestMs = now;
    Link::Sent &sent = link->recent[link->recentNext];
    link->recentNext = (link->recentNext + 1) % Link::RecentRequests;
    sent = Link::Sent{};
    sent.number = ++link->requestCount;
    sent.ticket = ticket;
    sent.requestId = link->packet.requestId;
    sent.asked = asked;
    const bool out = send(link);
    sent.sentNs = realtimeNs();
    // On a line the request is on its way until its last byte is: the answer starts after.
    if (link->line)
        sent.sentNs += link->line->io.bytesNs(link->packet.frameLength);
    if (asked != Asked::Key && out)
        sent.poll = link->pollCount++;
    return out;
}

bool LinkEngine::send(Link *link)
{
    if (link->line)
        return sendOnLine(link);
    const uint8_t *bytes = link->packet.frame;
    int length = link->packet.frameLength;
    if (link->v3) {
        bool probe = false;
        length = link->v3->wrap(bytes, length, io->v3Out, int(sizeof io->v3Out), clockMs(), &probe,
                                &io->v3Scratch);
        bytes = io->v3Out;
        if (length <= 0) {
            std::lock_guard<std::mutex> locker(link->lock);
            std::snprintf(link->state.lastError, sizeof link->state.lastError,
                          "cannot build the SNMPv3 request");
            return false;
        }
    }
    const ssize_t n = ::sendto(link->fd, bytes, size_t(length), 0,
                               reinterpret_cast<const sockaddr *>(&link->peer), sizeof link->peer);
    return n == length;
}

void LinkEngine::sendPoll(Link *link, int64_t now)
{
    const Asked asked = link->firstBlockNext ? Asked::FirstBlock : Asked::SecondBlock;
    link->firstBlockNext = !link->firstBlockNext;
    if (link->echoReadsLeft > 0)
        --link->echoReadsLeft;
    {
        std::lock_guard<std::mutex> locker(link->lock);
        ++link->state.counters.requests;
    }
    // A poll into a line that is down is waited for like one lost on the way, so that its
    // stations go silent as the line's missing answers say.
    if (!sendRequest(link, asked, 0, 0, now) && !link->line) {
        // Nothing to wait for: the key and the pause follow as after any poll.
        afterPoll(link, now);
        return;
    }
    link->phase = Link::AwaitingReply;
    link->waitEnds = now + waitFor(link, asked);
    schedule(link, link->waitEnds);
}

void LinkEngine::afterPoll(Link *link, int64_t now)
{
    if (sendKey(link, now))
        return;
    // The other block of a key's echo follows at once too.
    if (link->echoReadsLeft > 0 && extraRequest(link, now, true)) {
        link->phase = Link::Idle;
        schedule(link, now);
        return;
    }
    link->echoReadsLeft = 0;
    startPause(link, now);
}

void LinkEngine::startPause(Link *link, int64_t now)
{
    const bool watched = link->watchers.load(std::memory_order_acquire) > 0;
    const int slow = link->slowInterval.load(std::memory_order_relaxed);
    const int poll = link->pollInterval.load(std::memory_order_relaxed);
    const int interval = pauseAfter(link->lastFigure, watched ? poll : slow);
    link->phase = Link::Idle;
    schedule(link, now + LinkWait::pauseAfterMisses(link->misses, interval, poll, slow));
}

void LinkEngine::publishHealth(Link *link, int64_t now)
{
    std::lock_guard<std::mutex> locker(link->lock);
    LinkState &s = link->state;
    const int64_t quietSince = s.lastReplyMs >= 0 ? s.lastReplyMs : link->firstRequestMs;
    if (LinkWait::silent(link->misses, quietSince < 0 ? 0 : now - quietSince))
        s.health = LinkWait::Health::Silent;
    else
        s.health = s.lastReplyMs >= 0 ? LinkWait::Health::Answering : LinkWait::Health::Waiting;
    s.roundTripMs = link->roundTrip.smoothedMs();
    s.variationMs = link->roundTrip.variationMs();
    s.waitMs = link->roundTrip.waitMs();
    s.lostPercent = link->history.lostPercent();
    s.keysWaiting = link->keyCount + (link->keyInFlight != 0 ? 1 : 0);
}

void LinkEngine::handleDue(Link *link, int64_t now)
{
    // Replies may wait unread in a socket this turn could not empty: the wait is not over
    // until they are read, for at most one more wait.
    if (link->phase != Link::Idle && behind && now - link->waitEnds < link->roundTrip.waitMs()) {
        schedule(link, now + WakeGrid);
        return;
    }
    if (Line *line = link->line) {
        // An answer still coming in on the line is waited for while its bytes keep coming.
        if (link->phase != Link::Idle && line->holder == link && line->receiver.midFrame()) {
            const int64_t quiet =
                std::max(QuietLeastMs, line->io.bytesNs(QuietBytes) / 1000000 + 1);
            const int64_t longest = link->waitEnds + line->io.bytesNs(NtcipPacket::FrameSize) / 1000000;
            if (now - line->lastByteMs < quiet && now < longest) {
                schedule(link, line->lastByteMs + quiet);
                return;
            }
        }
        if (link->phase == Link::Idle && !lineGrant(link, now))
            return;
    }
    switch (link->phase) {
    case Link::Idle:
        if (link->echoReadsLeft == 0 && sendKey(link, now))
            break;
        sendPoll(link, now);
        break;
    case Link::AwaitingReply: {
        Link::Sent &sent = link->latest();
        sent.unmeasured = true;
        link->history.lost(sent.poll);
        link->roundTrip.timedOut();
        ++link->misses;
        {
            std::lock_guard<std::mutex> locker(link->lock);
            ++link->state.counters.noAnswer;
        }
        publishHealth(link, now);
        afterPoll(link, now);
        lineAfterRequest(link, now);
        break;
    }
    case Link::AwaitingKeyAnswer:
        // Not answered: the key is not sent again.
        link->latest().unmeasured = true;
        link->roundTrip.timedOut();
        emit keyDone(link->id, link->keyInFlight, KeyOutcome::NoAnswer, QString());
        afterKey(link, now);
        publishHealth(link, now);
        lineAfterRequest(link, now);
        break;
    }
}

int LinkEngine::receive(int fd)
{
    for (int i = 0; i < DatagramsPerTurn; ++i) {
        io->received[i].msg_hdr.msg_namelen = sizeof io->senders[i];
        io->received[i].msg_hdr.msg_controllen = sizeof io->control[i];
    }
    // One call for all that waits, and no second one to learn that nothing more does. MSG_TRUNC:
    // each datagram's real length, so that an oversize one is refused by size.
    const int n = ::recvmmsg(fd, io->received, DatagramsPerTurn, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (n == DatagramsPerTurn)
        behind = true;
    return n;
}

void LinkEngine::readSharedSocket(int fd)
{
    for (int round = 0; round < SharedReadsPerTurn; ++round) {
        const int count = receive(fd);
        for (int i = 0; i < count; ++i) {
            const sockaddr_in &from = io->senders[i];
            // Looked up for every datagram: a slot of the one before may have removed a link.
            const auto it = from.sin_family == AF_INET ? byPeer.find(peerKey(from)) : byPeer.end();
            if (it == byPeer.end()) {
                strangers.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            takeDatagram(it->second, io->datagrams[i], int(io->received[i].msg_len),
                         receivedAt(io->received[i].msg_hdr));
        }
        if (count < DatagramsPerTurn)
            return;
    }
}

void LinkEngine::readOwnSocket(Link *link)
{
    const int count = receive(link->ownFd);
    const uint64_t removalsBefore = removals;
    for (int i = 0; i < count; ++i) {
        const sockaddr_in &from = io->senders[i];
        if (from.sin_family != AF_INET || from.sin_port != link->peer.sin_port ||
            from.sin_addr.s_addr != link->peer.sin_addr.s_addr) {
            std::lock_guard<std::mutex> locker(link->lock);
            ++link->state.counters.foreign;
            continue;
        }
        takeDatagram(link, io->datagrams[i], int(io->received[i].msg_len),
                     receivedAt(io->received[i].msg_hdr));
        // A slot connected to screenChanged may have removed this link.
        if (removals != removalsBefore)
            return;
    }
}

void LinkEngine::takeDatagram(Link *link, const uint8_t *datagram, int n, int64_t receivedNs)
{
    const int64_t now = clockMs();
    if (!link->v3) {
        takeReply(link, datagram, n, now, receivedNs);
        return;
    }
    const char *words = "";
    int v1Length = 0;
    const V3Link::Outcome outcome = link->v3->unwrap(
        datagram, n, io->v3Reply, int(sizeof io->v3Reply), &v1Length, now, &words, &io->v3Scratch);
    if (outcome == V3Link::Outcome::Resynchronised && link->phase != Link::Idle &&
        link->resends < 2) {
        // The engine id or its clock is known now: the request goes again, with the wait it had
        // left. Twice at most, so that a confused agent cannot keep us busy; a third Report is
        // refused in its words. Its reply tells no round trip.
        ++link->resends;
        link->latest().unmeasured = true;
        send(link);
        return;
    }
    if (outcome != V3Link::Outcome::Reply) {
        std::lock_guard<std::mutex> locker(link->lock);
        ++link->state.counters.refused;
        std::snprintf(link->state.lastError, sizeof link->state.lastError, "%s", words);
        return;
    }
    takeReply(link, io->v3Reply, v1Length, now, receivedNs);
}

void LinkEngine::takeReply(Link *link, const uint8_t *reply, int length, int64_t now,
                           int64_t receivedNs)
{
    const int currentIndex = link->latestIndex();
    // The request it answers, by its id; length is the datagram's own, which may exceed the
    // buffer, and is checked before a byte is read.
    const int header = link->line ? PmppHeaderSize : 0;
    const int requestId = length > header ? replyRequestId(reply + header, length - header) : -1;
    int index = -1;
    for (int i = 0; i < Link::RecentRequests && requestId > 0; ++i) {
        const int k = (currentIndex + Link::RecentRequests - i) % Link::RecentRequests;
        if (link->recent[k].number != 0 && link->recent[k].requestId == requestId) {
            index = k;
            break;
        }
    }
    const bool awaited = link->phase != Link::Idle;
    if (index < 0 && !awaited) {
        std::lock_guard<std::mutex> locker(link->lock);
        ++link->state.counters.unexpected;
        return;
    }
    Link::Sent &sent = link->recent[index < 0 ? currentIndex : index];
    if (index >= 0 && sent.answered) {
        // A doubled reply: its request was answered already.
        std::lock_guard<std::mutex> locker(link->lock);
        ++link->state.counters.unexpected;
        return;
    }
    // With no request of ours under its id, the check against the awaited one says why not.
    Block block;
    const char *refusal = readAnswer(link->packet, reply, length, sent.requestId, sent.asked,
                                     &block, link->line != nullptr);
    if (refusal) {
        // Not the reply: the wait goes on for the real one.
        std::lock_guard<std::mutex> locker(link->lock);
        ++link->state.counters.refused;
        std::snprintf(link->state.lastError, sizeof link->state.lastError, "%s", refusal);
        return;
    }
    sent.answered = true;
    const bool current = awaited && index == currentIndex;
    const bool late = !current && !sent.superseded;
    const int64_t roundTripUs = (receivedNs - sent.sentNs) / 1000;
    if (!sent.unmeasured)
        link->roundTrip.sample(roundTripUs);
    link->misses = 0;
    const int figure = int(std::max<int64_t>(1, (roundTripUs + 500) / 1000));
    if (sent.asked == Asked::Key) {
        {
            std::lock_guard<std::mutex> locker(link->lock);
            ++link->state.counters.keysAnswered;
            link->state.lastReplyMs = now;
            if (late)
                ++link->state.counters.late;
        }
        publishHealth(link, now);
        // A late answer's key was reported unanswered already: it is not reported twice.
        if (!current)
            return;
        emit keyDone(link->id, link->keyInFlight, KeyOutcome::Answered, QString());
        afterKey(link, now);
        publishHealth(link, now);
        lineAfterRequest(link, now);
        return;
    }
    if (late)
        link->history.answeredLate(sent.poll);
    else
        link->history.answered(sent.poll);
    link->lastFigure = figure;
    const bool changed = showBlock(link, sent.number, block, figure, now);
    {
        std::lock_guard<std::mutex> locker(link->lock);
        if (late)
            ++link->state.counters.late;
    }
    publishHealth(link, now);
    if (current) {
        afterPoll(link, now);
        lineAfterRequest(link, now);
    }
    if (changed)
        emit screenChanged(link->id);
}

bool LinkEngine::showBlock(Link *link, uint64_t number, const Block &block, int figure, int64_t now)
{
    std::lock_guard<std::mutex> locker(link->lock);
    LinkState &s = link->state;
    s.figure = figure;
    s.lastReplyMs = now;
    ++s.counters.accepted;
    // A late reply never puts an older block over a newer one.
    uint64_t &shown = link->shownRequest[block.hasCursor ? 0 : 1];
    if (number < shown)
        return false;
    shown = number;
    uint8_t *target = s.screen + block.offset;
    bool changed = std::memcmp(target, block.bytes, size_t(block.length)) != 0;
    std::memcpy(target, block.bytes, size_t(block.length));
    if (block.hasCursor) {
        changed = changed || s.cursorRow != block.cursorRow || s.cursorColumn != block.cursorColumn;
        s.cursorRow = block.cursorRow;
        s.cursorColumn = block.cursorColumn;
    }
    return changed;
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
    while (!heap.empty() && heap.front().due <= now)
        handleDue(heap.front().link, now);
    armWakeTimer();
}

void LinkEngine::armWakeTimer()
{
    if (heap.empty())
        return;
    // Onto the grid, unless it is due already: a key or a read after one goes at once.
    int64_t due = heap.front().due;
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
    // Either way: a link just added sits at the end with a due time that is not its own yet.
    link->due = due;
    heap[size_t(link->heapIndex)].due = due;
    siftUp(link->heapIndex);
    siftDown(link->heapIndex);
}

void LinkEngine::heapRemove(Link *link)
{
    const int i = link->heapIndex;
    const int last = int(heap.size()) - 1;
    if (i < 0 || i > last)
        return;
    heapSwap(i, last);
    heap.pop_back();
    link->heapIndex = -1;
    if (i < last) {
        siftUp(i);
        siftDown(i);
    }
}

void LinkEngine::siftUp(int i)
{
    while (i > 0) {
        const int parent = (i - 1) / 2;
        if (heap[size_t(parent)].due <= heap[size_t(i)].due)
            return;
        heapSwap(i, parent);
        i = parent;
    }
}

void LinkEngine::siftDown(int i)
{
    const int n = int(heap.size());
    for (;;) {
        int smallest = i;
        const int left = 2 * i + 1;
        const int right = left + 1;
        if (left < n && heap[size_t(left)].due < heap[size_t(smallest)].due)
            smallest = left;
        if (right < n && heap[size_t(right)].due < heap[size_t(smallest)].due)
            smallest = right;
        if (smallest == i)
            return;
        heapSwap(i, smallest);
        i = smallest;
    }
}

void LinkEngine::heapSwap(int i, int j)
{
    std::swap(heap[size_t(i)], heap[size_t(j)]);
    heap[size_t(i)].link->heapIndex = i;
    heap[size_t(j)].link->heapIndex = j;
}

// Serial lines.

int LinkEngine::addLine(const SerialLineConfig &config)
{
    if (!readyNotifier || !SerialLine::usableSpeed(config.speed) ||
        (config.device.empty() == config.host.empty()))
        return 0;
    auto line = std::make_unique<Line>(config);
    std::memset(line->state.lastError, 0, sizeof line->state.lastError);
    Line *raw = line.get();
    {
        std::lock_guard<std::mutex> locker(tableLock);
        raw->id = ++lastLineId;
        lines.emplace(raw->id, std::move(line));
    }
    openLine(raw, clockMs());
    return raw->id;
}

bool LinkEngine::removeLine(int id)
{
    std::unique_ptr<Line> gone;
    {
        std::lock_guard<std::mutex> locker(tableLock);
        auto it = lines.find(id);
        if (it == lines.end() || it->second->stationCount > 0)
            return false;
        gone = std::move(it->second);
        lines.erase(it);
    }
    // Its descriptor closes with it; events of this wake that name it are void.
    for (int i = eventIndex + 1; i < eventCount; ++i)
        if (io->events[i].data.ptr == gone.get())
            io->events[i].data.ptr = nullptr;
    return true;
}

bool LinkEngine::readLine(int id, LineState *out) const
{
    std::lock_guard<std::mutex> locker(tableLock);
    auto it = lines.find(id);
    if (it == lines.end())
        return false;
    const Line &line = *it->second;
    {
        std::lock_guard<std::mutex> lineLocker(line.lock);
        *out = line.state;
    }
    out->answering = 0;
    for (const Link *station : line.stations) {
        if (!station)
            continue;
        std::lock_guard<std::mutex> stateLocker(station->lock);
        out->answering += station->state.health == LinkWait::Health::Answering ? 1 : 0;
    }
    return true;
}

LinkEngine::Line *LinkEngine::lineOf(void *ready) const
{
    for (const auto &entry : lines)
        if (entry.second.get() == ready)
            return entry.second.get();
    return nullptr;
}

void LinkEngine::openLine(Line *line, int64_t now)
{
    if (line->io.state() == SerialLine::State::Closed) {
        line->watched = false;
        if (now < line->io.retryAt() || !line->io.open(now)) {
            publishLine(line);
            return;
        }
    }
    epoll_event interest{};
    interest.events = line->io.state() == SerialLine::State::Connecting ? EPOLLOUT : EPOLLIN;
    interest.data.ptr = line;
    if (::epoll_ctl(epollFd, line->watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, line->io.fd(),
                    &interest) != 0) {
        lineFailed(line, now, "cannot watch the line's descriptor");
        return;
    }
    line->watched = true;
    publishLine(line);
}

void LinkEngine::lineFailed(Line *line, int64_t now, const char *why)
{
    if (line->io.state() != SerialLine::State::Closed)
        line->io.fail(now, why);
    line->watched = false;
    // Whatever was on its way is lost; the stations' waits run out as for any lost answer,
    // and those waiting for their turn try the closed line now, which misses as well.
    line->holder = nullptr;
    for (Link *waiting : line->waiting) {
        waiting->waitingForLine = false;
        schedule(waiting, now);
    }
    line->waiting.clear();
    publishLine(line);
}

bool LinkEngine::lineGrant(Link *link, int64_t now)
{
    Line *line = link->line;
    if (line->io.state() == SerialLine::State::Closed)
        openLine(line, now);
    // Nothing goes out on a line that is not open: the station's request is missed at once.
    if (line->io.state() != SerialLine::State::Open)
        return true;
    if (line->holder == link)
        return true;
    if (!line->holder) {
        line->holder = link;
        return true;
    }
    if (!link->waitingForLine) {
        link->waitingForLine = true;
        line->waiting.push_back(link);
    }
    schedule(link, now + NoDeadline);
    return false;
}

void LinkEngine::lineAfterRequest(Link *link, int64_t now)
{
    // A station that sent its next key at once keeps the line; one that rests gives it up.
    if (link->line && link->line->holder == link && link->phase == Link::Idle)
        releaseLine(link->line, now);
}

void LinkEngine::releaseLine(Line *line, int64_t now)
{
    line->holder = nullptr;
    if (line->waiting.empty())
        return;
    auto next = line->waiting.begin();
    for (auto it = line->waiting.begin(); it != line->waiting.end(); ++it) {
        std::lock_guard<std::mutex> locker((*it)->lock);
        if ((*it)->keyCount > 0) {
            next = it;
            break;
        }
    }
    Link *link = *next;
    line->waiting.erase(next);
    link->waitingForLine = false;
    line->holder = link;
    schedule(link, now);
}

bool LinkEngine::sendOnLine(Link *link)
{
    Line *line = link->line;
    if (!link->packet.wrapFrame()) {
        std::lock_guard<std::mutex> locker(link->lock);
        std::snprintf(link->state.lastError, sizeof link->state.lastError,
                      "the request does not fit a frame");
        return false;
    }
    const int length = link->packet.frameLength;
    if (line->io.state() != SerialLine::State::Open)
        return false;
    line->requestBytes = length;
    if (!line->io.write(link->packet.frame, length)) {
        lineFailed(line, clockMs(),
                   line->io.isTcp() ? "the terminal server does not take what is sent"
                                    : "the serial device does not take what is sent");
        return false;
    }
    line->bytesOut += uint64_t(length);
    ++line->framesOut;
    publishLine(line);
    return true;
}

void LinkEngine::readLineBytes(Line *line, bool hangup)
{
    const int64_t now = clockMs();
    const uint64_t removalsBefore = removals;
    for (int round = 0; round < LineReadsPerTurn; ++round) {
        const int n = line->io.read(io->lineBytes, LineReadSize);
        if (n < 0 || (n == 0 && hangup)) {
            lineFailed(line, now, line->io.isTcp() ? "the terminal server closed the connection"
                                                   : "the serial device hung up");
            return;
        }
        if (n == 0)
            break;
        const int64_t readNs = realtimeNs();
        line->lastByteMs = now;
        line->bytesIn += uint64_t(n);
        for (int i = 0; i < n; ++i) {
            if (line->receiver.push(io->lineBytes[i]) != PmppReceiver::Result::Frame)
                continue;
            // The answer began about its bytes' time before its last byte came.
            takeFrame(line, now, readNs - line->io.bytesNs(line->receiver.wireLength()));
            // A slot may have removed a station, or with the last one the line.
            if (removals != removalsBefore && !lineOf(line))
                return;
        }
        if (n < LineReadSize)
            break;
    }
    publishLine(line);
}

void LinkEngine::takeFrame(Line *line, int64_t now, int64_t receivedNs)
{
    const uint8_t *content = line->receiver.content();
    const int length = line->receiver.contentLength();
    // The address byte is the station times four plus one.
    const int address = content[0];
    const int station = (address & 3) == 1 ? address >> 2 : -1;
    Link *link = station >= FirstStation && station <= LastStation ? line->stations[station]
                                                                    : nullptr;
    if (!link) {
        ++line->otherStation;
        return;
    }
    if (link == line->holder && length > BlockAnswerBytes / 2) {
        // A display block's read, both ways: what the line's pace is worked out from.
        const int exchange = line->requestBytes + line->receiver.wireLength();
        line->exchangeBytes += (exchange - line->exchangeBytes) / 4;
    }
    takeReply(link, content, length, now, receivedNs);
}

void LinkEngine::publishLine(Line *line)
{
    const PmppReceiver::Counters &frames = line->receiver.counters();
    std::lock_guard<std::mutex> locker(line->lock);
    LineState &s = line->state;
    s.state = line->io.state();
    s.speed = line->io.config().speed;
    s.stations = line->stationCount;
    s.displayCycleMs = int(line->io.bytesNs(2 * line->exchangeBytes * line->stationCount) / 1000000);
    s.bytesIn = line->bytesIn;
    s.bytesOut = line->bytesOut;
    s.framesIn = frames.frames;
    s.framesOut = line->framesOut;
    s.fcsErrors = frames.fcsErrors;
    s.malformed = frames.malformed;
    s.otherStation = line->otherStation;
    s.reopened = line->io.reopened();
    std::snprintf(s.lastError, sizeof s.lastError, "%s", line->io.error());
}

int64_t LinkEngine::waitFor(const Link *link, Asked asked) const
{
    int64_t ms = link->roundTrip.waitMs();
    if (link->line) {
        const int bytes = link->packet.frameLength + (asked == Asked::Key ? 0 : BlockAnswerBytes);
        ms += (link->line->io.bytesNs(bytes) + 999999) / 1000000;
    }
    return ms;
}
