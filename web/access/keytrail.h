// Where the server records each key before it is sent, and its outcome after: the audit log file
// of a server alone, or the shared table of a pair of servers. A record may take a while (a
// database commit), so its answer comes back through a callback on the caller's thread; the
// file answers before record() returns.
#ifndef KEYTRAIL_H
#define KEYTRAIL_H

#include "recentkeys.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>

enum class TrailWrite {
    Written,
    // The line could not be made durable: the key must not be sent.
    Failed,
    // Another server leads (or none does yet): this one records and sends no key.
    NotLeading,
};

class KeyTrail
{
public:
    using Done = std::function<void(TrailWrite, qint64 seq)>;

    virtual ~KeyTrail() = default;
    // Whether keys may be recorded here now; the pair's waiting server says no.
    virtual bool leading() const { return true; }
    // done gets the line's sequence number once the key's line is durable, or why it is not.
    virtual void record(const AuditEntry &entry, Done done) = 0;
    // What became of the key on line keySeq, as its own line tied to the key's.
    virtual void recordOutcome(qint64 keySeq, const QString &controller, const QString &outcome,
                               Done done) = 0;
    // A controller's latest keys, oldest first.
    virtual QVector<AuditEntry> recent(const QString &controller) const = 0;
    virtual qint64 headSequence() const = 0;
    virtual QByteArray headHash() const = 0;
    // Since this process started: lines written, and lines that could not be.
    virtual quint64 linesWritten() const = 0;
    virtual quint64 writeFailures() const = 0;
};

#endif // KEYTRAIL_H
