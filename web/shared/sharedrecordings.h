// The recordings of a pair of servers, in PostgreSQL's frontpanel_recordings, so that a replay
// shows what the pages saw whichever server led then. Only the leader writes: each batch goes
// in on the recorder's own connection by statements that check the trail's connection still
// holds the pair's lock, and the age and size limits are kept by the leader's deletes, fenced
// the same way. Reading needs no lead.
#ifndef SHAREDRECORDINGS_H
#define SHAREDRECORDINGS_H

#include "pgsession.h"
#include "recordingstore.h"

#include <atomic>
#include <chrono>

class SharedTrail;

class SharedRecordings : public RecordingStore
{
public:
    // Events in one statement; a batch is one transaction of as many as it needs.
    static constexpr int RowsPerStatement = 500;
    // Rows read back per statement for a replay.
    static constexpr int RowsPerRead = 2000;

    SharedRecordings(const QString &connection, const SharedTrail *trail);

    bool start() override { return true; }
    int write(const QVector<RecordingEvent> &batch) override;
    // Also true once when this server has taken the lead: the server before may have led for
    // less than an age pass.
    bool overSize(qint64 maxBytes) override;
    quint64 keepWithin(qint64 cutoffMs, qint64 maxBytes) override;
    qint64 bytesOnDisk() const override { return bytes.load(std::memory_order_relaxed); }
    void stop() override { db.close(); }
    bool read(const QString &controller, qint64 fromMs, qint64 toMs, int maxEvents,
              Replay *replay, QString *error) const override;

private:
    using Clock = std::chrono::steady_clock;
    // The writer's connection, opened when needed; false when it cannot be.
    bool connected();
    // The table's size on disk, and what its live rows hold by the database's statistics;
    // false when they cannot be read.
    bool measure(qint64 *liveBytes);
    bool insert(const QVector<RecordingEvent> &batch, int from, int count,
                const QByteArray &pid, const QByteArray &startUs);

    const QString connection;
    const SharedTrail *const trail;
    PgSession db; // the writer's
    QString lastProblem;
    // The leader's session that last kept the limits.
    QByteArray keptBy;
    Clock::time_point measuredAt, trimmedAt;
    bool measuredOnce = false, trimmedOnce = false;
    std::atomic<qint64> bytes{0};
};

#endif // SHAREDRECORDINGS_H
