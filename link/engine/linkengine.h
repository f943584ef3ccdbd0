// LinkEngine: links to any number of controllers from one thread's event loop. Each link polls
// its controller's display and sends its keys by the same rules as the desktop's link task, but
// waits on sockets and timers instead of sleeping, so thousands of links cost one thread, a
// shared socket, one descriptor in the event loop and a wake-up only when a datagram or a
// deadline is due.
//
// The links share one unconnected UDP socket (one bound to
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
//
// Keys wait in a queue per link (MaxQueuedKeys), each sent once and in order, and keyDone tells
// each one's fate; the display is read at once after the last key of a burst, and such requests
// beyond the polls are held to ExtraRequestsPerSecond per link. Links added together start their
// polls spread over their slow interval rather than all at once.
//
// A serial line is one more descriptor in the same set: half duplex, its stations take turns,
// each request framed in PMPP at the station's address and each answer read out of the line's
// bytes by a PmppReceiver.
//
// Where to read: linkengine.cpp wires it (links and lines added and removed, the wake, the
// deadlines); enginerequests.cpp sends polls and keys and judges their waits;
// enginereplies.cpp takes what comes back; enginelines.cpp shares a serial line; enginelink.h
// holds what the engine keeps per link and per line. The parts with one job each:
// datagramsocket.h (the sockets and their batched reads), deadlineheap.h, keyqueue.h,
// linkwait.h (the learnt wait, the pause, the rate of extra requests), serialline.h.
#ifndef LINKENGINE_H
#define LINKENGINE_H

#include "deadlineheap.h"
#include "keyoutcome.h"
#include "linkcounters.h"
#include "keyqueue.h"
#include "linkrules.h"
#include "linkwait.h"
#include "serialline.h"
#include "v3link.h"

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <atomic>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

class QSocketNotifier;

// The pause between polls of a controller nobody watches (ms): its tile still changes within
// seconds, for a fiftieth of what a watched one at the default poll interval costs.
constexpr int DefaultSlowInterval = 5000;

struct LinkConfig
{
    QString name;
    // The controller's IPv4 address as dotted text and its UDP port; an unusable pair falls
    // back to the built-in default controller, as the desktop's link task does.
    QString address;
    int port = LinkRules::DefaultPort;
    // Real controllers are configured with their own; up to 19 characters are used.
    QByteArray community = QByteArrayLiteral("harbor");
    // The pause between polls while someone watches the link, and while nobody does.
    int pollInterval = LinkRules::DefaultPollInterval;
    int slowInterval = DefaultSlowInterval;
    // The longest the link waits for a reply, however slow its round trips grow.
    int longestWait = LinkWait::DefaultLongestMs;
    // SNMPv3 instead of the community: every request authenticated (and encrypted unless the
    // privacy protocol is none).
    bool v3 = false;
    V3LinkConfig v3Config;
    // A station on a serial line (LinkEngine::addLine's id) instead of address and port: its
    // requests go out in PMPP frames with the station's address, SNMPv1 only.
    int line = 0;
    int station = 1;
};

// A copy of one link's state, taken at one moment under the link's lock.
struct LinkState
{
    uint8_t screen[LinkRules::ScreenSize];
    int cursorRow = 0;
    int cursorColumn = 0;
    // The round trip of the last accepted reply in ms (at least 1); 0 before the first.
    int figure = 0;
    // When the last reply was accepted, on LinkEngine::clockMs(); -1 for never.
    int64_t lastReplyMs = -1;
    LinkWait::Health health = LinkWait::Health::Waiting;
    // The link's measured round trip and its variation in ms (-1 before the first), the wait
    // they give, and the share of its last polls that went unanswered.
    int roundTripMs = -1;
    int variationMs = -1;
    int waitMs = LinkWait::FirstMs;
    int lostPercent = 0;
    // Keys queued or awaiting their answer.
    int keysWaiting = 0;
    LinkCounters counters;
    char lastError[64];
};

// A copy of one serial line's state and counters.
struct LineState
{
    SerialLine::State state = SerialLine::State::Closed;
    int speed = 0;
    int stations = 0;
    // Stations whose link is answering now.
    int answering = 0;
    // How long the line takes, at its speed and with the sizes its frames have, to read every
    // station's display once: the shortest time between two reads of one display.
    int displayCycleMs = 0;
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
    uint64_t framesIn = 0;
    uint64_t framesOut = 0;
    uint64_t fcsErrors = 0;
    // Frames without a closing flag in reach, or too short to hold a header and an FCS.
    uint64_t malformed = 0;
    // Frames with a right FCS for a station the line does not have.
    uint64_t otherStation = 0;
    // Times the line was opened again after it failed.
    uint64_t reopened = 0;
    char lastError[96];
};

class LinkEngine : public QObject
{
    Q_OBJECT

public:
    // Keys wait in order, per link, at most this many.
    static constexpr int MaxQueuedKeys = KeyQueue::Capacity;
    // A key that waited longer (since it was pressed, or since the key before it went out) is
    // not sent into a screen that has moved on since; on a slow link, not longer than this many
    // of its waits. Nor is one sent into a silent link (one lost reply on a lossy link is no
    // reason to give up a key).
    static constexpr int64_t KeyMaxWaitMs = 5000;
    static constexpr int KeyMaxWaits = 8;
    // Keys and the reads that show their effect at once are requests beyond the poll: at most
    // this many a second per link, so that a controller never sees a burst.
    static constexpr int ExtraRequestsPerSecond = 20;
    // PMPP stations on a line: 63 is every station's address, 0 none of them.
    static constexpr int FirstStation = 1;
    static constexpr int LastStation = 62;

    explicit LinkEngine(QObject *parent = nullptr);
    ~LinkEngine() override;

    // On the engine's own thread. addLink opens the link's socket and polls at once; it returns
    // the link's id (never reused), or 0 when no socket could be opened.
    int addLink(const LinkConfig &config);
    bool removeLink(int id);
    int linkCount() const;
    // A serial line that links name in LinkConfig::line; opened at once and again whenever it
    // fails. Returns the line's id, or 0 when its speed or address is unusable. A line is
    // removed once no link is on it.
    int addLine(const SerialLineConfig &config);
    bool removeLine(int id);

    // From any thread; false for an id that is not (or no longer) there.
    bool read(int id, LinkState *out) const;
    bool readLine(int id, LineState *out) const;
    // Queues the key behind the link's other waiting keys; it is sent as soon as no request of
    // the link is outstanding, exactly once. Returns a ticket that keyDone() names, or 0 when
    // the link is not there or its queue is full.
    uint64_t pressKey(int id, uint8_t code);
    // A watched link polls at its poll interval, an unwatched one at its slow interval.
    // Watchers are counted; the first one makes an idle link poll at once.
    bool watch(int id);
    bool unwatch(int id);

    // Datagrams to the shared sockets from no link's controller, dropped unread. Any thread.
    uint64_t strangerDatagrams() const { return strangers.load(std::memory_order_relaxed); }

    // The monotonic clock of lastReplyMs, in milliseconds.
    static int64_t clockMs();

signals:
    // A reply changed the link's screen or cursor. Emitted on the engine's thread.
    void screenChanged(int linkId);
    // The fate of a key pressKey took; reason is set for Dropped. On the engine's thread; a
    // slot must not remove links.
    void keyDone(int linkId, quint64 ticket, KeyOutcome outcome, const QString &reason);

private:
    struct Link;
    struct Line;

    Link *find(int id) const;
    // Called from other threads by name (see pressKey), so that the id crosses in Qt's own
    // queued event: a lambda's functor made on one thread and run on this one races, to
    // ThreadSanitizer, through Qt's locks, which it cannot see.
    Q_INVOKABLE void wake(int id);
    // A batch of datagrams into io: how many, or -1. Sets behind when it filled the batch.
    int receive(int fd);
    void readSharedSocket(int fd);
    void readOwnSocket(Link *link);
    void takeDatagram(Link *link, const uint8_t *datagram, int length, int64_t receivedNs);
    // A reply that passed SNMPv3's checks, if the link speaks it.
    void takeReply(Link *link, const uint8_t *reply, int length, int64_t now, int64_t receivedNs);
    // A reply to a block request: its block shown unless a newer one is.
    bool showBlock(Link *link, uint64_t number, const LinkRules::Block &block, int figure,
                   int64_t now);
    // Builds the request (a key's code, or a block) with the link's next request id, sends it and
    // notes it among the link's recent ones.
    bool sendRequest(Link *link, LinkRules::Asked asked, uint8_t code, uint64_t ticket,
                     int64_t now);
    void publishHealth(Link *link, int64_t now);
    void handleDue(Link *link, int64_t now);
    void sendPoll(Link *link, int64_t now);
    void afterPoll(Link *link, int64_t now);
    // Sends the link's next key if one waits and the link may; false when none went out.
    bool sendKey(Link *link, int64_t now);
    void dropKeys(Link *link, const QString &reason);
    // After a key's answer, or the end of its wait: the display at once, cursor block first.
    void afterKey(Link *link, int64_t now);
    Q_INVOKABLE void keyWake(int id);
    void startPause(Link *link, int64_t now);
    bool send(Link *link);
    void onReady();
    void armWakeTimer();

    // Serial lines are half duplex: one request at a time, the stations taking turns. A
    // station that may not have the line waits in its queue, keys before polls.
    // Whether the link may send now; otherwise it waits its turn.
    bool lineGrant(Link *link, int64_t now);
    // After a station's request ended: the line goes to the next one if this one rests.
    void lineAfterRequest(Link *link, int64_t now);
    void releaseLine(Line *line, int64_t now);
    void openLine(Line *line, int64_t now);
    void lineFailed(Line *line, int64_t now, const char *why);
    // Reads what the line brought; hangup: the descriptor reported its other side gone.
    void readLineBytes(Line *line, bool hangup);
    void takeFrame(Line *line, int64_t now, int64_t receivedNs);
    bool sendOnLine(Link *link);
    void publishLine(Line *line);
    Line *lineOf(void *ready) const;
    // The wait for the request just sent: the round trip's, and on a line the bytes' time of
    // the request and its answer.
    int64_t waitFor(const Link *link, LinkRules::Asked asked) const;

    // Moves the link's one deadline.
    void schedule(Link *link, int64_t due);

    // The table is changed only on the engine's thread, under tableLock; other threads look
    // links up under it too.
    mutable std::mutex tableLock;
    std::map<int, std::unique_ptr<Link>> links;
    int lastId = 0;
    std::atomic<uint64_t> lastTicket{0};
    DeadlineHeap<Link> deadlines;

    // The shared sockets: [0] bound to loopback, [1] to every interface; opened when a link
    // first needs one. Their entries in epoll point here.
    struct SharedSocket
    {
        int fd = -1;
    };
    SharedSocket sharedSockets[2];
    // The link of each controller (address and port) on a shared socket.
    std::unordered_map<uint64_t, Link *> byPeer;
    std::atomic<uint64_t> strangers{0};

    // The sockets and the timerfd, behind the one notifier the event loop watches.
    int epollFd = -1;
    int wakeFd = -1;
    QSocketNotifier *readyNotifier = nullptr;
    // When the timerfd fires; -1 when it is not set or has fired.
    int64_t armedDue = -1;
    // Room for what one epoll_wait reports and what one socket's reads bring, taken once: the
    // system types stay out of this header.
    struct Buffers;
    std::unique_ptr<Buffers> io;
    // A read this turn filled its buffers: replies may be waiting unread, so no wait is judged
    // over until they are read.
    bool behind = false;
    // How many events the last epoll_wait reported, and the one being served.
    int eventCount = 0;
    int eventIndex = 0;
    // Counts removals, so that a loop that emitted a signal can tell its link may be gone.
    uint64_t removals = 0;
    // The serial lines, under tableLock like the links.
    std::map<int, std::unique_ptr<Line>> lines;
    int lastLineId = 0;
};

Q_DECLARE_METATYPE(KeyOutcome)

#endif // LINKENGINE_H
