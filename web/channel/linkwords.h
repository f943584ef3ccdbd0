// A link's state in words for the pages ("answering (slow link, about 420 ms)", "no answer for
// 40 s"), told from the link's health and how its counters moved between two looks at it. The
// round trip and the loss are named in the words only when they matter, and only moved when the
// link's figures moved well away, so that the words change when the link does, not with every
// reply.
#ifndef LINKWORDS_H
#define LINKWORDS_H

#include "controllersource.h"

#include <QString>

// What a controller's link is doing, as the pages colour it and the metrics count it. Its words
// ("answering", ...) and letters (a, r, s, w) are made only where a message or a metric is
// written.
enum class LinkState { Answering, Refused, Silent, Waiting };
constexpr int LinkStateCount = 4;

struct LinkWords
{
    QString text = QStringLiteral("waiting for the first reply");
    LinkState state = LinkState::Waiting;
    // The round trip of the last accepted reply in ms.
    int figure = 0;
    // The round trip and loss the text names; -1 and 0 when it names none.
    int namedRoundTripMs = -1;
    int namedLostPercent = 0;
    // The counters at the last look.
    quint64 accepted = 0, refused = 0;

    bool sameWords(const LinkWords &other) const
    {
        return text == other.text && state == other.state;
    }
};

// A link this slow is said to be slow, with its round trip.
constexpr int SlowLinkMs = 250;
// A loss this high is said.
constexpr int NamedLossPercent = 3;

// The state as the pages' messages and the metrics' labels name it: "answering", "refused",
// "silent" or "waiting".
const char *linkStateName(LinkState state);
// The state as one letter (a, r, s, w), for the overview's summary of every controller.
char linkStateLetter(LinkState state);

// A station's serial line: "serial 9,600 bit/s, 4 stations: each display read every 3.7 s".
QString lineWords(const ControllerSnapshot &s);

// The words after the link was seen as now, given the words of the last look.
LinkWords nextLinkWords(const LinkWords &last, const ControllerSnapshot &now);

// A key's outcome as the audit trail and the panels' last keys say it: "answered", "no answer:
// may have reached the controller" (the display read after it shows whether it did), or
// "dropped: " and the reason. Stored trails hold these words: they do not change.
QString keyOutcomeWords(KeyOutcome outcome, const QString &dropReason);

#endif // LINKWORDS_H
