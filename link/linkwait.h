// How long an engine link waits for a reply, and when it calls its controller silent. Field links
// run from a LAN's millisecond to a busy cell's second and a satellite's 650 ms, so the wait is
// learnt per link from the round trips it measures, as TCP learns its retransmission timer
// (RFC 6298): the smoothed round trip plus four times its variation, kept within bounds.
#ifndef LINKWAIT_H
#define LINKWAIT_H

#include <cstdint>

namespace LinkWait {

// Where a link stands: no reply yet, answering, or silent by the rule below.
enum class Health { Waiting, Answering, Silent };

// Never shorter: a LAN controller answers in a millisecond, but its processor may pause.
constexpr int ShortestMs = 100;
// A link that has not answered yet.
constexpr int FirstMs = 1000;
// The longest a controller is waited for unless it is configured otherwise.
constexpr int DefaultLongestMs = 5000;
constexpr int LongestAllowedMs = 60000;
// One lost datagram is not silence: a link is silent after this many polls in a row went
// unanswered, and not before this long without a reply.
constexpr int MissesForSilence = 4;
constexpr int64_t SilenceMs = 2000;
// The polls whose fate the lost fraction is told from.
constexpr int LossWindow = 64;

class RoundTrip
{
public:
    explicit RoundTrip(int longestMs = DefaultLongestMs);

    // A reply came this long after its request left (the first copy of the request only: a
    // reply to a request sent twice could be either's, Karn's rule).
    void sample(int64_t microseconds);
    // A request went unanswered: the next waits twice as long, up to the longest, until a reply
    // in time sets the wait again. A reply to a request whose wait ran out is no sample (as
    // Karn's rule leaves out a segment sent twice): a controller that was paused answers what
    // queued up seconds late, and that is not its round trip. So a link whose round trip grew
    // past its wait learns it from the replies that come within the grown one.
    void timedOut();

    int waitMs() const { return wait; }
    // -1 before the first sample.
    int smoothedMs() const { return smoothedUs < 0 ? -1 : int((smoothedUs + 500) / 1000); }
    int variationMs() const { return smoothedUs < 0 ? -1 : int((variationUs + 500) / 1000); }
    int longestMs() const { return longest; }

private:
    int64_t smoothedUs = -1;
    int64_t variationUs = 0;
    int wait = FirstMs;
    int longest;
};

// The fate of a link's last polls, answered or lost, each in one bit by its number.
class PollHistory
{
public:
    void answered(uint64_t poll) { set(poll, false); }
    void lost(uint64_t poll) { set(poll, true); }
    // A reply that came after its poll was given up: the poll was not lost after all, if it is
    // still in the window.
    void answeredLate(uint64_t poll);
    // Lost polls in percent of those in the window; 0 before any.
    int lostPercent() const;

private:
    void set(uint64_t poll, bool lost);
    uint64_t lostBits = 0;
    // Polls judged so far, and the number of the newest.
    uint64_t judged = 0;
    uint64_t newest = 0;
};

// The pause before the next poll. intervalMs is the link's pause while it answers (its poll
// interval when watched, else the slow one). After a miss the link asks again at its poll
// interval, to tell a lost datagram from silence soon; once silent, the pause doubles from the
// poll interval up to the slow one, so a dead controller is asked less and less often.
int pauseAfterMisses(int misses, int intervalMs, int pollIntervalMs, int slowIntervalMs);

// Room for requests beyond the polls (keys, and the reads that show their effect at once), so
// that a controller never sees a burst: a credit in milliseconds of the rate's time grows with
// time up to a second's worth, and each such request uses up one share.
class RequestCredit
{
public:
    explicit RequestCredit(int perSecond) : share(1000 / perSecond) {}
    // Whether a request may go now; take uses up its share.
    bool allows(int64_t nowMs, bool take);

private:
    int64_t share;
    int64_t credit = 1000;
    int64_t creditAt = 0;
};

// Silent: enough polls in a row unanswered over long enough. quietMs counts from the last reply,
// or from the first request of a link that never had one.
inline bool silent(int misses, int64_t quietMs)
{
    return misses >= MissesForSilence && quietMs >= SilenceMs;
}

} // namespace LinkWait

#endif // LINKWAIT_H
