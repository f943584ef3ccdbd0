// The audit trail: one JSON line per key accepted for sending, on disk before the key goes to
// the controller. The file is only ever appended to, each line with one write and an fsync and
// no buffer in between, so a line that could not be written whole is cut back and never turns up
// later. Each line starts with its sequence number and the SHA-256 of the line before it (for
// the first line of a new log, a random log id), so that a line edited, removed or moved breaks
// the chain: verify() finds where.
#ifndef AUDITLOG_H
#define AUDITLOG_H

#include "keytrail.h"

#include <QByteArray>
#include <QString>
#include <QVector>

class AuditLog : public KeyTrail
{
public:
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

    // The trail's own: a line written is durable before done is called, which happens before
    // record() returns.
    void record(const AuditEntry &entry, Done done) override;
    void recordOutcome(qint64 keySeq, const QString &controller, const QString &outcome,
                       Done done) override;
    QVector<AuditEntry> recent(const QString &controller) const override
    {
        return latest.of(controller);
    }

    // The last line's sequence number and the SHA-256 of its bytes, in hex: kept elsewhere, it
    // shows a later cut at the end of the file.
    qint64 headSequence() const override { return sequence; }
    QByteArray headHash() const override { return lastHash; }
    quint64 linesWritten() const override { return written; }
    quint64 writeFailures() const override { return failures; }

    // Checks the chain of the file at path. True with the head, and the keys that have no
    // outcome (in flight when the server stopped), in report; false with "path:line: what" for
    // the first line that breaks it.
    static bool verify(const QString &path, QString *report);
    // The same for a trail's lines however kept (each ending in a newline); name stands for the
    // file in the report.
    static bool verifyLines(const QByteArray &all, const QString &name, QString *report);

    // A line of the trail: its sequence number, the hash of the line before (or a new trail's
    // random id) and the entry's own fields, with its newline.
    static QByteArray chainedLine(qint64 seq, const QByteArray &prev, const QByteArray &fields);
    // The fields of an outcome's line.
    static QByteArray outcomeJson(qint64 keySeq, const QString &controller,
                                  const QString &outcome);
    // A new trail's first "prev": 16 random bytes in hex; empty when no randomness is to be had.
    static QByteArray newTrailId();

    // The entry's own fields as a JSON object's members, without the braces' chain prefix.
    static QByteArray entryJson(const AuditEntry &entry);
    static bool fromJsonLine(const QByteArray &line, AuditEntry *entry);
    static QByteArray sha256Hex(const QByteArray &bytes);

private:
    bool appendLine(const QByteArray &fields);

    int fd = -1;
    qint64 size = 0;
    qint64 sequence = 0;
    // What the next line carries as "prev".
    QByteArray lastHash;
    quint64 written = 0, failures = 0;
    RecentKeys latest;
};

#endif // AUDITLOG_H
