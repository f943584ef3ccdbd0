#include "recorder.h"

#include "recordingfile.h"

#include <algorithm>
#include <chrono>

namespace {

using namespace Recording;

// A replay from any instant starts at the whole display before it: at most this far back.
constexpr qint64 WholeEveryMs = 60000;
// The age limit is enforced this often; the size limit after every batch that passes it.
constexpr qint64 AgePassMs = 60000;

qint64 nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace

Recorder::~Recorder()
{
    if (!writer.joinable())
        return;
    {
        std::lock_guard<std::mutex> locker(lock);
        stopping = true;
    }
    wake.notify_all();
    writer.join();
}

bool Recorder::open(const QString &path, const Limits &wanted, QString *error)
{
    std::unique_ptr<RecordingFile> file = RecordingFile::create(path, wanted.maxBytes, error);
    if (!file)
        return false;
    open(std::move(file), wanted);
    return true;
}

void Recorder::open(std::unique_ptr<RecordingStore> store, const Limits &wanted)
{
    kept = std::move(store);
    limits = wanted;
    writer = std::thread([this] { run(); });
}

void Recorder::screen(const QString &controller, qint64 timeMs, const QByteArray &display,
                      int cursorRow, int cursorColumn, const Recording::ScreenChange &change)
{
    if (!isOpen() || display.size() != DisplayBytes)
        return;
    const bool onScreen =
        cursorRow >= 1 && cursorRow <= Rows && cursorColumn >= 1 && cursorColumn <= Columns;
    const int cursor = onScreen ? (cursorRow - 1) * Columns + cursorColumn - 1 : -1;
    Last &before = last[controller];
    Event event;
    event.controller = controller;
    event.timeMs = timeMs;
    event.cursor = cursor;
    if (before.display.isEmpty() || timeMs - before.wholeAt >= WholeEveryMs) {
        event.kind = Whole;
        event.rowMask = (1 << Rows) - 1;
        event.data = display;
        before.wholeAt = timeMs;
    } else {
        const bool known = change.from != 0 && change.from == before.screen;
        event.rowMask = known ? change.rows
                              : PanelDisplay::changedRows(display.constData(), before.display.constData());
        for (int r = 0; r < Rows; ++r) {
            if (event.rowMask & (uint32_t(1) << r))
                event.data.append(display.constData() + r * Columns, Columns);
        }
        if (event.rowMask == 0 && cursor == before.cursor)
            return;
    }
    before.display = display;
    before.cursor = cursor;
    before.screen = change.to;
    hand(std::move(event));
}

void Recorder::pause(const QString &controller, qint64 timeMs)
{
    if (!isOpen() || !last.remove(controller))
        return;
    Event event;
    event.controller = controller;
    event.timeMs = timeMs;
    event.kind = Pause;
    hand(std::move(event));
}

void Recorder::key(const QString &controller, qint64 timeMs, const QString &user,
                   const QString &keyName, qint64 seq)
{
    if (!isOpen())
        return;
    Event event;
    event.controller = controller;
    event.timeMs = timeMs;
    event.kind = Key;
    event.seq = seq;
    event.user = user;
    event.keyName = keyName;
    hand(std::move(event));
}

void Recorder::outcome(const QString &controller, qint64 timeMs, qint64 seq,
                       const QString &text)
{
    if (!isOpen())
        return;
    Event event;
    event.controller = controller;
    event.timeMs = timeMs;
    event.kind = Outcome;
    event.seq = seq;
    event.data = text.toUtf8();
    hand(std::move(event));
}

void Recorder::hand(Event &&event)
{
    {
        std::lock_guard<std::mutex> locker(lock);
        if (queue.size() < limits.queueCap) {
            queue.append(std::move(event));
            ++handed;
            return;
        }
    }
    failures.fetch_add(1, std::memory_order_relaxed);
}

void Recorder::flush()
{
    if (!isOpen())
        return;
    std::unique_lock<std::mutex> locker(lock);
    const quint64 target = handed;
    flushWanted = true;
    wake.notify_all();
    drained.wait(locker, [&] { return done >= target; });
}

void Recorder::run()
{
    const bool opened = kept->start();
    qint64 agePassAt = 0;
    QVector<Event> batch;
    for (;;) {
        {
            std::unique_lock<std::mutex> locker(lock);
            wake.wait_for(locker, std::chrono::milliseconds(limits.batchMs),
                          [&] { return stopping || flushWanted; });
            flushWanted = false;
            batch.swap(queue);
        }
        if (!batch.isEmpty()) {
            const int stored = opened ? kept->write(batch) : 0;
            written.fetch_add(quint64(stored), std::memory_order_relaxed);
            failures.fetch_add(quint64(batch.size() - stored), std::memory_order_relaxed);
        }
        if (opened) {
            const qint64 now = nowMs();
            if (kept->overSize(limits.maxBytes) || now - agePassAt >= AgePassMs) {
                removed.fetch_add(kept->keepWithin(now - qint64(limits.days) * 86400000,
                                                   limits.maxBytes),
                                  std::memory_order_relaxed);
                agePassAt = now;
            }
        }
        std::unique_lock<std::mutex> locker(lock);
        done += quint64(batch.size());
        batch.clear();
        drained.notify_all();
        if (stopping && queue.isEmpty())
            break;
    }
    kept->stop();
}
