// Serial lines: each one half duplex, its stations taking turns, keys before polls.
#include "enginelink.h"

#include "engineclock.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

using namespace LinkRules;
using namespace EngineLimits;

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
        if (!(*it)->keys.empty()) {
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
        const int64_t readNs = EngineClock::realtimeNs();
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
