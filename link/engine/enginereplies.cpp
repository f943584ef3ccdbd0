// What comes back: datagrams from the sockets (through SNMPv3 where a link speaks it) and
// frames from the lines, matched to the request they answer and shown.
#include "enginelink.h"

#include "engineclock.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

using namespace LinkRules;
using namespace EngineLimits;

int LinkEngine::receive(int fd)
{
    const int n = io->datagrams.receive(fd);
    // A full batch: more may wait unread.
    if (n == DatagramBatch::Size)
        behind = true;
    return n;
}

void LinkEngine::readSharedSocket(int fd)
{
    DatagramBatch &batch = io->datagrams;
    for (int round = 0; round < SharedReadsPerTurn; ++round) {
        const int count = receive(fd);
        for (int i = 0; i < count; ++i) {
            const sockaddr_in &from = batch.sender(i);
            // Looked up for every datagram: a slot of the one before may have removed a link.
            const auto it = from.sin_family == AF_INET ? byPeer.find(DatagramSocket::peerKey(from))
                                                       : byPeer.end();
            if (it == byPeer.end()) {
                strangers.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            takeDatagram(it->second, batch.data(i), batch.length(i), batch.receivedNs(i));
        }
        if (count < DatagramBatch::Size)
            return;
    }
}

void LinkEngine::readOwnSocket(Link *link)
{
    DatagramBatch &batch = io->datagrams;
    const int count = receive(link->ownFd);
    const uint64_t removalsBefore = removals;
    for (int i = 0; i < count; ++i) {
        if (!DatagramSocket::samePeer(batch.sender(i), link->peer)) {
            std::lock_guard<std::mutex> locker(link->lock);
            ++link->state.counters.foreign;
            continue;
        }
        takeDatagram(link, batch.data(i), batch.length(i), batch.receivedNs(i));
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
