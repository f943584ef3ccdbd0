// A link's requests: its polls, its keys and the display reads that follow a key, the waits
// for their answers and the pauses between them.
#include "enginelink.h"

#include "engineclock.h"

#include <algorithm>
#include <cstdio>

using namespace LinkRules;
using namespace EngineLimits;

bool LinkEngine::sendKey(Link *link, int64_t now)
{
    if (link->line && link->line->io.state() != SerialLine::State::Open) {
        dropKeys(link, QStringLiteral("the serial line is not connected"));
        return false;
    }
    for (;;) {
        KeyQueue::Key key;
        {
            std::lock_guard<std::mutex> locker(link->lock);
            if (link->keys.empty())
                return false;
            key = link->keys.front();
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
        if (!stale && !link->extraRequests.allows(now, true))
            return false;
        {
            std::lock_guard<std::mutex> locker(link->lock);
            link->keys.pop();
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
            if (link->keys.empty())
                return;
            ticket = link->keys.pop().ticket;
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
        more = !link->keys.empty();
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
    if (!link->extraRequests.allows(now, true)) {
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
    sent.sentNs = EngineClock::realtimeNs();
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
    if (link->echoReadsLeft > 0 && link->extraRequests.allows(now, true)) {
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
    s.keysWaiting = link->keys.size() + (link->keyInFlight != 0 ? 1 : 0);
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


int64_t LinkEngine::waitFor(const Link *link, Asked asked) const
{
    int64_t ms = link->roundTrip.waitMs();
    if (link->line) {
        const int bytes = link->packet.frameLength + (asked == Asked::Key ? 0 : BlockAnswerBytes);
        ms += (link->line->io.bytesNs(bytes) + 999999) / 1000000;
    }
    return ms;
}
