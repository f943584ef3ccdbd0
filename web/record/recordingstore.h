// Where the recordings are kept: the writer's side, run on the recorder's own thread, and the
// reader's, run for a replay or an export on any thread. A file of this server's own
// (RecordingFile) or a table a pair of servers shares.
#ifndef RECORDINGSTORE_H
#define RECORDINGSTORE_H

#include <QByteArray>
#include <QString>
#include <QVector>

struct Replay;

// One row of a recording, as the writer hands it over and a reader gets it back.
struct RecordingEvent
{
    QString controller;
    qint64 timeMs = 0;
    int kind = 0; // Recording::Kind
    int rowMask = 0;
    int cursor = -1;
    qint64 seq = 0;
    QString user;
    QString keyName;
    QByteArray data;
};

class RecordingStore
{
public:
    virtual ~RecordingStore() = default;

    // The writer's thread calls these, and only it. start before anything else: false when the
    // store cannot be written at all (its batches are then counted as failed).
    virtual bool start() = 0;
    // One batch, all or nothing: the number of events kept (0 or the batch's size).
    virtual int write(const QVector<RecordingEvent> &batch) = 0;
    // Whether the size limit is passed now (checked after every batch).
    virtual bool overSize(qint64 maxBytes) = 0;
    // Removes what is older than cutoffMs, then the oldest until well within maxBytes; the
    // number of rows removed.
    virtual quint64 keepWithin(qint64 cutoffMs, qint64 maxBytes) = 0;
    // What the recordings take, as last measured (any thread).
    virtual qint64 bytesOnDisk() const = 0;
    virtual void stop() = 0;

    // From any thread, while the writer runs: one controller's recording from fromMs to toMs
    // (readReplay's rules). False with a reason when it cannot be read.
    virtual bool read(const QString &controller, qint64 fromMs, qint64 toMs, int maxEvents,
                      Replay *replay, QString *error) const = 0;
};

#endif // RECORDINGSTORE_H
