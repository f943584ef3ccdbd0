#include "recorder.h"

#include <sqlite3.h>

#include <QFileInfo>

#include <algorithm>
#include <chrono>

namespace {

using namespace Recording;

// A replay from any instant starts at the whole display before it: at most this far back.
constexpr qint64 WholeEveryMs = 60000;
// The age limit is enforced this often; the size limit after every batch that passes it.
constexpr qint64 AgePassMs = 60000;
// Rows are removed oldest first until the content is this share of the limit, so that a full
// database is not trimmed again after every batch.
constexpr double TrimTo = 0.75;

// auto_vacuum must come first, before anything is written to a new file: it lets retention
// give pages back to the disk.
const char schema[] =
    "CREATE TABLE IF NOT EXISTS events("
    " controller TEXT NOT NULL, t INTEGER NOT NULL, kind INTEGER NOT NULL,"
    " rows INTEGER NOT NULL DEFAULT 0, cursor INTEGER NOT NULL DEFAULT -1,"
    " seq INTEGER NOT NULL DEFAULT 0, user TEXT NOT NULL DEFAULT '',"
    " key TEXT NOT NULL DEFAULT '', data BLOB);"
    "CREATE INDEX IF NOT EXISTS events_by_time ON events(controller, t);";

bool exec(sqlite3 *db, const char *sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

qint64 pragmaNumber(sqlite3 *db, const char *sql)
{
    sqlite3_stmt *statement = nullptr;
    qint64 value = 0;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return value;
}

// The write-ahead log is checkpointed (and cut back) well before it could pass a small limit.
void tune(sqlite3 *db, qint64 maxBytes)
{
    const qint64 walPages = std::clamp<qint64>(maxBytes / 4096 / 8, 16, 1000);
    exec(db, "PRAGMA journal_mode=WAL;");
    exec(db, "PRAGMA synchronous=NORMAL;");
    exec(db, QByteArray("PRAGMA wal_autocheckpoint=" + QByteArray::number(walPages) + ';'));
    exec(db, QByteArray("PRAGMA journal_size_limit=" + QByteArray::number(walPages * 4096) + ';'));
    sqlite3_busy_timeout(db, 2000);
}

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
    sqlite3 *db = nullptr;
    const QByteArray name = QFile::encodeName(path);
    int rc = sqlite3_open_v2(name.constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                             nullptr);
    if (rc == SQLITE_OK) {
        exec(db, "PRAGMA auto_vacuum=INCREMENTAL;");
        tune(db, wanted.maxBytes);
        rc = sqlite3_exec(db, schema, nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) {
        *error = QStringLiteral("%1: %2").arg(path, QString::fromUtf8(db ? sqlite3_errmsg(db)
                                                                          : sqlite3_errstr(rc)));
        sqlite3_close(db);
        return false;
    }
    sqlite3_close(db);
    file = path;
    limits = wanted;
    bytes = measure();
    writer = std::thread([this] { run(); });
    return true;
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
    sqlite3 *db = nullptr;
    const QByteArray name = QFile::encodeName(file);
    const bool opened =
        sqlite3_open_v2(name.constData(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
    if (opened)
        tune(db, limits.maxBytes);
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
            if (opened && writeBatch(db, batch))
                written.fetch_add(quint64(batch.size()), std::memory_order_relaxed);
            else
                failures.fetch_add(quint64(batch.size()), std::memory_order_relaxed);
        }
        if (opened) {
            const qint64 now = nowMs();
            const qint64 size = measure();
            bytes = size;
            if (size > limits.maxBytes || now - agePassAt >= AgePassMs) {
                keepWithinLimits(db, now);
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
    sqlite3_close(db);
}

bool Recorder::writeBatch(sqlite3 *db, const QVector<Event> &batch)
{
    static const char insert[] =
        "INSERT INTO events(controller, t, kind, rows, cursor, seq, user, key, data)"
        " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)";
    sqlite3_stmt *statement = nullptr;
    if (!exec(db, "BEGIN") ||
        sqlite3_prepare_v2(db, insert, -1, &statement, nullptr) != SQLITE_OK) {
        exec(db, "ROLLBACK");
        return false;
    }
    bool ok = true;
    for (const Event &e : batch) {
        const QByteArray controller = e.controller.toUtf8();
        const QByteArray user = e.user.toUtf8();
        const QByteArray key = e.keyName.toUtf8();
        sqlite3_bind_text(statement, 1, controller.constData(), controller.size(),
                          SQLITE_TRANSIENT);
        sqlite3_bind_int64(statement, 2, e.timeMs);
        sqlite3_bind_int(statement, 3, e.kind);
        sqlite3_bind_int(statement, 4, e.rowMask);
        sqlite3_bind_int(statement, 5, e.cursor);
        sqlite3_bind_int64(statement, 6, e.seq);
        sqlite3_bind_text(statement, 7, user.constData(), user.size(), SQLITE_TRANSIENT);
        sqlite3_bind_text(statement, 8, key.constData(), key.size(), SQLITE_TRANSIENT);
        sqlite3_bind_blob(statement, 9, e.data.constData(), e.data.size(), SQLITE_TRANSIENT);
        ok = sqlite3_step(statement) == SQLITE_DONE;
        sqlite3_reset(statement);
        if (!ok)
            break;
    }
    sqlite3_finalize(statement);
    if (ok && exec(db, "COMMIT"))
        return true;
    exec(db, "ROLLBACK");
    return false;
}

// Old rows go by age, then the oldest by insertion order (rowid, which follows time) until the
// content is well under the size limit; the freed pages go back to the disk.
void Recorder::keepWithinLimits(sqlite3 *db, qint64 now)
{
    const qint64 cutoff = now - qint64(limits.days) * 86400000;
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, "DELETE FROM events WHERE t < ?", -1, &statement, nullptr) ==
        SQLITE_OK) {
        sqlite3_bind_int64(statement, 1, cutoff);
        if (sqlite3_step(statement) == SQLITE_DONE)
            removed.fetch_add(quint64(sqlite3_changes(db)), std::memory_order_relaxed);
    }
    sqlite3_finalize(statement);

    const qint64 target = qint64(double(limits.maxBytes) * TrimTo);
    for (int round = 0; round < 8; ++round) {
        const qint64 pageSize = pragmaNumber(db, "PRAGMA page_size");
        const qint64 content = (pragmaNumber(db, "PRAGMA page_count") -
                                pragmaNumber(db, "PRAGMA freelist_count")) *
                               pageSize;
        if (content <= target)
            break;
        const qint64 first = pragmaNumber(db, "SELECT min(rowid) FROM events");
        const qint64 rows = pragmaNumber(db, "SELECT max(rowid) FROM events") - first + 1;
        if (rows <= 0)
            break;
        // The share of the rows that holds the excess, and a little more.
        const double share = std::min(1.0, double(content - target) / double(content) + 0.02);
        const qint64 cut = std::max<qint64>(1, qint64(double(rows) * share));
        if (sqlite3_prepare_v2(db, "DELETE FROM events WHERE rowid < ?", -1, &statement,
                               nullptr) == SQLITE_OK) {
            sqlite3_bind_int64(statement, 1, first + cut);
            if (sqlite3_step(statement) == SQLITE_DONE)
                removed.fetch_add(quint64(sqlite3_changes(db)), std::memory_order_relaxed);
        }
        sqlite3_finalize(statement);
    }
    exec(db, "PRAGMA incremental_vacuum;");
    exec(db, "PRAGMA wal_checkpoint(TRUNCATE);");
    bytes = measure();
}

qint64 Recorder::measure() const
{
    return QFileInfo(file).size() + QFileInfo(file + QStringLiteral("-wal")).size();
}
