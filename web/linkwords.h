// A link's state in words for the pages ("answering", "no answer for 40 s"), told from how the
// link's counters moved between two looks at it. The delay of the last reply is kept beside the
// words, not in them: the words change when the state does, not with every reply.
#ifndef LINKWORDS_H
#define LINKWORDS_H

#include "controllersource.h"

#include <QString>

struct LinkWords
{
    QString text = QStringLiteral("waiting for the first reply");
    // answering, refused, silent or waiting: the pages colour by it.
    QString kind = QStringLiteral("waiting");
    // The delay of the last accepted reply in ms (100 and up: the link's own figure for slow).
    int figure = 0;
    // The counters at the last look.
    quint64 accepted = 0, refused = 0, noAnswer = 0;

    bool sameWords(const LinkWords &other) const
    {
        return text == other.text && kind == other.kind;
    }
};

// The kind as one letter (a, s, r, w), for the overview's summary of every controller.
char kindLetter(const QString &kind);

// The words after the link was seen as now, given the words of the last look.
LinkWords nextLinkWords(const LinkWords &last, const ControllerSnapshot &now);

#endif // LINKWORDS_H
