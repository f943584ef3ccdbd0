// The audit trail: one JSON line per key accepted for sending, on disk before the key goes to
// the controller. The file is only ever appended to, each line with one write and an fsync and
// no buffer in between, so a line that could not be written whole is cut back and never turns up
// later. Each line starts with its sequence number and the SHA-256 of the line before it (for
// the first line of a new log, a random log id), so that a line edited, removed or moved breaks
// the chain: verify() finds where.
#ifndef AUDITLOG_H
#define AUDITLOG_H

#include <QByteArray>
#include <QDateTime>
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
    // The key's line in the trail, and what became of the key: "answered", "no answer",
    // "dropped: <reason>", or empty while in flight (or when the server stopped first).
    qint64 seq = 0;
    QString outcome;
};

class AuditLog
{
public:
    // The panel shows this many of a controller's latest keys.
    static constexpr int RecentKeys = 20;

    AuditLog() = default;
    ~AuditLog();
    AuditLog(const AuditLog &) = delete;
    AuditLog &operator=(const AuditLog &) = delete;

    // Opens path for appending, creating it if needed; a partial line at its end (a crash or a
    // full disk) is cut off. Takes the chain's head and the latest keys of each controller from
    // the file, so that both survive a restart.
    bool open(const QString &path, QString *error);
    // False when the line could not be written whole and synced: the key must then not be sent,
    // and the file is as it was. On success the entry's line is headSequence().
    bool append(const AuditEntry &entry);
    // What became of the key on line keySeq, as its own line tied to the key's; the key's entry
    // in recent() shows it.
    bool appendOutcome(qint64 keySeq, const QString &controller, const QString &outcome);
    // Oldest first.
    QVector<AuditEntry> recent(const QString &controller) const;

    // The last line's sequence number and the SHA-256 of its bytes, in hex: kept elsewhere, it
    // shows a later cut at the end of the file.
    qint64 headSequence() const { return sequence; }
    QByteArray headHash() const { return lastHash; }
    // Since this process opened the log: lines written, and lines that could not be.
    quint64 linesWritten() const { return written; }
    quint64 writeFailures() const { return failures; }

    // Checks the chain of the file at path. True with the head, and the keys that have no
    // outcome (in flight when the server stopped), in report; false with "path:line: what" for
    // the first line that breaks it.
    static bool verify(const QString &path, QString *report);

    // The entry's own fields as a JSON object's members, without the braces' chain prefix.
    static QByteArray entryJson(const AuditEntry &entry);
    static bool fromJsonLine(const QByteArray &line, AuditEntry *entry);
    static QByteArray sha256Hex(const QByteArray &bytes);

private:
    void remember(const AuditEntry &entry);
    void noteOutcome(const QString &controller, qint64 keySeq, const QString &outcome);
    bool appendLine(const QByteArray &fields);

    int fd = -1;
    qint64 size = 0;
    qint64 sequence = 0;
    // What the next line carries as "prev".
    QByteArray lastHash;
    quint64 written = 0, failures = 0;
    QHash<QString, QVector<AuditEntry>> latest;
};

#endif // AUDITLOG_H
