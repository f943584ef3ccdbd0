#include "recentkeys.h"

#include "auditlog.h"

#include <QJsonDocument>
#include <QJsonObject>

const QString RecentKeys::StoppedFirst = QStringLiteral("unknown: the server stopped first");

void RecentKeys::key(const AuditEntry &entry)
{
    QVector<AuditEntry> &list = latest[entry.controller];
    if (list.size() == PerController)
        list.removeFirst();
    list.append(entry);
}

void RecentKeys::outcome(const QString &controller, qint64 keySeq, const QString &outcome)
{
    auto it = latest.find(controller);
    if (it == latest.end())
        return;
    for (AuditEntry &e : *it) {
        if (e.seq == keySeq)
            e.outcome = outcome;
    }
}

void RecentKeys::readLine(const QByteArray &line)
{
    AuditEntry entry;
    if (AuditLog::fromJsonLine(line, &entry)) {
        key(entry);
    } else if (line.contains(",\"outcome\":\"")) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        outcome(o.value(QStringLiteral("controller")).toString(),
                qint64(o.value(QStringLiteral("of")).toDouble()),
                o.value(QStringLiteral("outcome")).toString());
    }
}

QVector<qint64> RecentKeys::closeOpen()
{
    QVector<qint64> open;
    for (QVector<AuditEntry> &list : latest) {
        for (AuditEntry &e : list) {
            if (e.outcome.isEmpty()) {
                e.outcome = StoppedFirst;
                open.append(e.seq);
            }
        }
    }
    return open;
}
