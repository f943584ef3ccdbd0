// What the engine keeps of each link and each serial line, and the room its reads use: shared
// by the engine's files (the wiring, the requests, the replies, the lines) and by nothing else.
#ifndef ENGINELINK_H
#define ENGINELINK_H

#include "datagramsocket.h"
#include "keyqueue.h"
#include "linkengine.h"
#include "ntcippacket.h"
#include "pmppreceiver.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include <netinet/in.h>
#include <sys/epoll.h>
#include <unistd.h>

namespace EngineLimits {

// epoll_wait calls per wake when each fills the event array; what is left waits one turn.
constexpr int EpollRoundsPerTurn = 4;
constexpr int MaxEvents = 256;
// Reads of a shared socket per turn, a batch each. A flood on one socket does not hold the
// thread: what is left is read in the next turn of the loop.
constexpr int SharedReadsPerTurn = 8;
// The shared socket's receive buffer, in bytes.
constexpr int SharedReceiveBuffer = 8 << 20;
// Deadlines in the future are served on this grid (ms).
constexpr int64_t WakeGrid = 2;
// Engine requests carry ids 1..127: a one-byte INTEGER that stays positive.
constexpr int LastRequestId = 127;
// How far apart the first request ids of successive links start: prime to LastRequestId, so
// that two links to one controller do not step in time.
constexpr int RequestIdStride = 37;
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

} // namespace EngineLimits

// Room for what one epoll_wait reports and what one read brings, taken once.
struct LinkEngine::Buffers
{
    epoll_event events[EngineLimits::MaxEvents];
    DatagramBatch datagrams;
    // An SNMPv3 link's request as it goes out, and its reply as the link rules read it.
    uint8_t v3Out[V3Link::MessageSize];
    V3Link::Scratch v3Scratch;
    uint8_t v3Reply[LinkRules::ReceiveSize];
    uint8_t lineBytes[EngineLimits::LineReadSize];
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
    std::atomic<int> pollInterval{LinkRules::DefaultPollInterval};
    std::atomic<int> slowInterval{DefaultSlowInterval};
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
    // Room for requests beyond the polls: keys and the reads that show their effect.
    LinkWait::RequestCredit extraRequests{LinkEngine::ExtraRequestsPerSecond};

    // Keys in the order pressed: added from any thread, taken on the engine's, under lock.
    KeyQueue keys;

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
    int exchangeBytes = EngineLimits::NominalExchangeBytes;
    // Engine thread only; published into state.
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
    uint64_t framesOut = 0;
    uint64_t otherStation = 0;

    mutable std::mutex lock;
    LineState state;
};

#endif // ENGINELINK_H
