// The audit trail: one JSON line per key accepted for sending, written and flushed to disk before
// the key goes to the controller. The file is only ever appended to.
#ifndef AUDITLOG_H
#define AUDITLOG_H

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QString>
#include <QVector>

struct AuditEntry
{
    QDateTime time; // UTC
    QString user;
    QString address; // the client's
    QString controller;
    int code = 0;
    QString keyName;
};

class AuditLog
{
public:
    // The panel shows this many of a controller's latest keys.
    static constexpr int RecentKeys = 20;

    // Opens path for appending, creating it if needed, and takes the latest keys of each
    // controller from its end, so that they survive a restart.
    bool open(const QString &path, QString *error);
    // False when the line could not be written and flushed: the key must then not be sent.
    bool append(const AuditEntry &entry);
    // Oldest first.
    QVector<AuditEntry> recent(const QString &controller) const;

    static QByteArray toJsonLine(const AuditEntry &entry);
    static bool fromJsonLine(const QByteArray &line, AuditEntry *entry);

private:
    void remember(const AuditEntry &entry);

    QFile file;
    QHash<QString, QVector<AuditEntry>> latest;
};

#endif // AUDITLOG_H
