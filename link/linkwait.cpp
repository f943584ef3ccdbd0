#include "linkwait.h"

#include <algorithm>

namespace LinkWait {

namespace {

// A round trip above a minute is a clock's jump, not a measurement.
constexpr int64_t LongestSampleUs = 60'000'000;

} // namespace

RoundTrip::RoundTrip(int longestMs) : longest(std::clamp(longestMs, ShortestMs, LongestAllowedMs))
{
    wait = std::min(FirstMs, longest);
}

void RoundTrip::sample(int64_t us)
{
    if (us < 0 || us > LongestSampleUs)
        return;
    if (smoothedUs < 0) {
        smoothedUs = us;
        variationUs = us / 2;
    } else {
        const int64_t deviation = smoothedUs > us ? smoothedUs - us : us - smoothedUs;
        variationUs = (3 * variationUs + deviation) / 4;
        smoothedUs = (7 * smoothedUs + us) / 8;
    }
    const int64_t ms = (smoothedUs + 4 * variationUs + 999) / 1000;
    wait = int(std::clamp<int64_t>(ms, ShortestMs, longest));
}

void RoundTrip::timedOut()
{
    wait = std::min(2 * wait, longest);
}

void PollHistory::set(uint64_t poll, bool lost)
{
    // Polls are judged in the order they were sent; a bit is reused once its poll left the
    // window.
    const uint64_t bit = uint64_t(1) << (poll % LossWindow);
    lostBits = lost ? lostBits | bit : lostBits & ~bit;
    ++judged;
    newest = std::max(newest, poll);
}

void PollHistory::answeredLate(uint64_t poll)
{
    if (newest - poll < uint64_t(LossWindow))
        lostBits &= ~(uint64_t(1) << (poll % LossWindow));
}

int PollHistory::lostPercent() const
{
    const uint64_t window = std::min<uint64_t>(judged, LossWindow);
    if (window == 0)
        return 0;
    const uint64_t counted =
        window == LossWindow ? lostBits : lostBits & ((uint64_t(1) << window) - 1);
    // Before the window is full the bits in use are those of polls 0..judged-1, which are also
    // bits 0..judged-1: polls are numbered from 0.
    return int(uint64_t(__builtin_popcountll(counted)) * 100 / window);
}

int pauseAfterMisses(int misses, int intervalMs, int pollIntervalMs, int slowIntervalMs)
{
    if (misses == 0)
        return intervalMs;
    if (misses < MissesForSilence)
        return std::min(intervalMs, pollIntervalMs);
    const int doublings = std::min(misses - MissesForSilence + 1, 16);
    const int64_t grown = std::max<int64_t>(intervalMs, int64_t(pollIntervalMs) << doublings);
    return int(std::min<int64_t>(grown, slowIntervalMs));
}

bool RequestCredit::allows(int64_t nowMs, bool take)
{
    credit = std::min<int64_t>(1000, credit + (nowMs - creditAt));
    creditAt = nowMs;
    if (credit < share)
        return false;
    if (take)
        credit -= share;
    return true;
}

} // namespace LinkWait
