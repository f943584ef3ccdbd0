// The recordings in an SQLite file of this server's own, in write-ahead-log mode: written by the
// recorder's thread, read beside it read-only by replays and exports.
#ifndef RECORDINGFILE_H
#define RECORDINGFILE_H

#include "recordingstore.h"

#include <atomic>
#include <memory>

struct sqlite3;

class RecordingFile : public RecordingStore
{
public:
    // Creates the database and its table if needed. Null with a reason when the file cannot be
    // opened or is not a recording.
    static std::unique_ptr<RecordingFile> create(const QString &path, qint64 maxBytes,
                                                 QString *error);
    ~RecordingFile() override;

    QString path() const { return file; }

    bool start() override;
    int write(const QVector<RecordingEvent> &batch) override;
    bool overSize(qint64 maxBytes) override;
    quint64 keepWithin(qint64 cutoffMs, qint64 maxBytes) override;
    qint64 bytesOnDisk() const override { return bytes.load(std::memory_order_relaxed); }
    void stop() override;
    bool read(const QString &controller, qint64 fromMs, qint64 toMs, int maxEvents,
              Replay *replay, QString *error) const override;

private:
    RecordingFile(const QString &path, qint64 maxBytes);
    qint64 measure() const;

    const QString file;
    const qint64 walPages;
    sqlite3 *db = nullptr; // the writer's
    std::atomic<qint64> bytes{0};
};

#endif // RECORDINGFILE_H
