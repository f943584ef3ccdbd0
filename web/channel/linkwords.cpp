#include "linkwords.h"

#include <QLocale>

#include <cstdlib>

namespace {

// A round trip as people say it: to 10 ms below a second, to 100 ms above.
int roundedMs(int ms)
{
    const int step = ms < 1000 ? 10 : 100;
    return (ms + step / 2) / step * step;
}

// The answering words, keeping the named figures of last until the link's moved well away.
void answeringWords(const LinkWords &last, const ControllerSnapshot &now, LinkWords *next)
{
    int roundTrip = last.namedRoundTripMs;
    if (now.roundTripMs < SlowLinkMs * 4 / 5)
        roundTrip = -1;
    else if (now.roundTripMs >= SlowLinkMs &&
             (roundTrip < 0 || std::abs(now.roundTripMs - roundTrip) * 5 > roundTrip))
        roundTrip = roundedMs(now.roundTripMs);
    int lost = last.namedLostPercent;
    if (now.lostPercent < NamedLossPercent - 1)
        lost = 0;
    else if (now.lostPercent >= NamedLossPercent &&
             (lost == 0 || std::abs(now.lostPercent - lost) >= 3))
        lost = now.lostPercent;
    next->namedRoundTripMs = roundTrip;
    next->namedLostPercent = lost;
    QString text = QStringLiteral("answering");
    if (now.lineSpeed > 0)
        text += QStringLiteral(" (%1)").arg(lineWords(now));
    if (roundTrip > 0)
        text += QStringLiteral(" (slow link, about %1 ms)").arg(roundTrip);
    if (lost > 0)
        text += QStringLiteral(", %1 % of polls lost").arg(lost);
    next->text = text;
}

} // namespace

QString lineWords(const ControllerSnapshot &s)
{
    // Tenths of a second below ten, whole seconds above.
    const int tenths = (s.lineCycleMs + 50) / 100;
    const QString cycle = tenths < 100 ? QStringLiteral("%1.%2").arg(tenths / 10).arg(tenths % 10)
                                       : QString::number((tenths + 5) / 10);
    return QStringLiteral("serial %1 bit/s, %2 %3: each display read every %4 s")
        .arg(QLocale(QLocale::English).toString(s.lineSpeed))
        .arg(s.lineStations)
        .arg(s.lineStations == 1 ? QStringLiteral("station") : QStringLiteral("stations"))
        .arg(cycle);
}

LinkWords nextLinkWords(const LinkWords &last, const ControllerSnapshot &now)
{
    LinkWords next = last;
    if (now.counters.accepted != last.accepted && now.health != LinkWait::Health::Silent) {
        next.state = LinkState::Answering;
        answeringWords(last, now, &next);
        next.figure = now.figure;
    } else if (now.counters.refused != last.refused) {
        next.state = LinkState::Refused;
        next.text = QStringLiteral("replies refused: %1").arg(now.lastError);
    } else if (now.health == LinkWait::Health::Silent) {
        // Still silent: the seconds go on.
        next.state = LinkState::Silent;
        next.text = now.sinceReplyMs < 0
                        ? QStringLiteral("no answer yet")
                        : QStringLiteral("no answer for %1 s").arg(now.sinceReplyMs / 1000);
        if (!now.lineOpen)
            next.text += QStringLiteral(": serial line not open (%1)").arg(now.lastError);
    } else if (last.state == LinkState::Answering) {
        answeringWords(last, now, &next);
    }
    next.accepted = now.counters.accepted;
    next.refused = now.counters.refused;
    return next;
}

const char *linkStateName(LinkState state)
{
    switch (state) {
    case LinkState::Answering:
        return "answering";
    case LinkState::Refused:
        return "refused";
    case LinkState::Silent:
        return "silent";
    case LinkState::Waiting:
        break;
    }
    return "waiting";
}

char linkStateLetter(LinkState state)
{
    return linkStateName(state)[0];
}

QString keyOutcomeWords(KeyOutcome outcome, const QString &dropReason)
{
    switch (outcome) {
    case KeyOutcome::Answered:
        return QStringLiteral("answered");
    case KeyOutcome::NoAnswer:
        return QStringLiteral("no answer: may have reached the controller");
    case KeyOutcome::Dropped:
        break;
    }
    return QStringLiteral("dropped: ") + dropReason;
}
