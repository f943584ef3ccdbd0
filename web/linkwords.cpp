#include "linkwords.h"

LinkWords nextLinkWords(const LinkWords &last, const ControllerSnapshot &now)
{
    LinkWords next = last;
    if (now.accepted != last.accepted) {
        next.kind = QStringLiteral("answering");
        next.text = QStringLiteral("answering");
        next.figure = now.figure;
    } else if (now.refused != last.refused) {
        next.kind = QStringLiteral("refused");
        next.text = QStringLiteral("replies refused: %1").arg(now.lastError);
    } else if (now.noAnswer != last.noAnswer || last.kind == QLatin1String("silent")) {
        // Still silent with no new poll counted: the seconds go on.
        next.kind = QStringLiteral("silent");
        next.text = now.sinceReplyMs < 0
                        ? QStringLiteral("no answer yet")
                        : QStringLiteral("no answer for %1 s").arg(now.sinceReplyMs / 1000);
    }
    next.accepted = now.accepted;
    next.refused = now.refused;
    next.noAnswer = now.noAnswer;
    return next;
}

char kindLetter(const QString &kind)
{
    if (kind == QLatin1String("answering"))
        return 'a';
    if (kind == QLatin1String("silent"))
        return 's';
    if (kind == QLatin1String("refused"))
        return 'r';
    return 'w';
}
