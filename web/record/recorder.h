// The recording of what the pages showed: each change of a controller's display and cursor, as
// the rows that changed, and each key with its user and outcome, in a store (an SQLite file of
// the server's own, or a pair's shared table). The server's network thread hands events over and
// never waits: a writer thread takes them in batches, one transaction each, and keeps the store
// within its age and size limits. An event that cannot be written (a full disk, a queue that a
// stalled disk let fill, a server that no longer leads) is counted and dropped; keys and pages go
// on regardless.
#ifndef RECORDER_H
#define RECORDER_H

#include "displaygeometry.h"
#include "recordingstore.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVector>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace Recording {
constexpr int Rows = PanelDisplay::Rows;
constexpr int Columns = PanelDisplay::Columns;
constexpr int DisplayBytes = PanelDisplay::Cells;

// The rows (PanelDisplay::changedRows) in which the display of screen to differs from that of screen
// from, as the caller numbers its screens; 0 is no screen.
struct ScreenChange
{
    quint64 from = 0, to = 0;
    uint32_t rows = 0;
};

// What an event row is. A whole display is written when recording of a controller starts and
// once a minute after, so that a replay from any instant needs only the rows after one of them.
enum Kind { Change = 0, Whole = 1, Key = 2, Outcome = 3, Pause = 4 };
} // namespace Recording

class Recorder
{
public:
    struct Limits
    {
        int days = 90;
        qint64 maxBytes = qint64(2) << 30;
        // How long events wait for their batch, and how many may wait at most.
        int batchMs = 500;
        int queueCap = 100000;
    };

    Recorder() = default;
    ~Recorder(); // writes what waits, then stops
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    // Records into the SQLite file at path, made if needed, and starts the writer. False with a
    // reason when the file cannot be opened or is not a recording.
    bool open(const QString &path, const Limits &limits, QString *error);
    // Records into store and starts the writer.
    void open(std::unique_ptr<RecordingStore> store, const Limits &limits);
    bool isOpen() const { return writer.joinable(); }
    // What replays and exports read; null until open.
    const RecordingStore *store() const { return kept.get(); }

    // From one thread (the network thread): display is 640 characters, row after row, and the
    // cursor 1-based (0 when hidden). Only the rows that differ from the controller's last
    // recorded display are kept: those of change when it starts from that display, so that a
    // reply's changed rows are worked out once for the pages and the recording.
    void screen(const QString &controller, qint64 timeMs, const QByteArray &display,
                int cursorRow, int cursorColumn, const Recording::ScreenChange &change = {});
    // The controller is no longer recorded (nobody watches it): its next screen is written whole.
    void pause(const QString &controller, qint64 timeMs);
    void key(const QString &controller, qint64 timeMs, const QString &user,
             const QString &keyName, qint64 seq);
    void outcome(const QString &controller, qint64 timeMs, qint64 seq, const QString &outcome);

    // Blocks until every event handed over so far is written or counted as failed (tests, stop).
    void flush();

    // Since the start, from any thread.
    quint64 eventsWritten() const { return written.load(std::memory_order_relaxed); }
    quint64 writeFailures() const { return failures.load(std::memory_order_relaxed); }
    quint64 eventsRemoved() const { return removed.load(std::memory_order_relaxed); }
    // The database's size after the last batch (its file and its write-ahead log).
    qint64 bytesOnDisk() const { return kept ? kept->bytesOnDisk() : 0; }

private:
    using Event = RecordingEvent;
    struct Last
    {
        QByteArray display;
        int cursor = -1;
        qint64 wholeAt = 0;
        // The caller's number of the display, 0 when it gave none.
        quint64 screen = 0;
    };

    void hand(Event &&event);
    void run();

    std::unique_ptr<RecordingStore> kept;
    Limits limits;
    QHash<QString, Last> last; // the producer's alone

    std::mutex lock;
    std::condition_variable wake, drained;
    QVector<Event> queue;
    quint64 handed = 0, done = 0; // under lock
    bool stopping = false, flushWanted = false;
    std::thread writer;

    std::atomic<quint64> written{0}, failures{0}, removed{0};
};

#endif // RECORDER_H
