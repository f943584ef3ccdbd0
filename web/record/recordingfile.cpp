#include "recordingfile.h"

#include "recordingreader.h"

#include <sqlite3.h>

#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

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
qint64 walPagesFor(qint64 maxBytes)
{
    return std::clamp<qint64>(maxBytes / 4096 / 8, 16, 1000);
}

void tune(sqlite3 *db, qint64 walPages)
{
    exec(db, "PRAGMA journal_mode=WAL;");
    exec(db, "PRAGMA synchronous=NORMAL;");
    exec(db, QByteArray("PRAGMA wal_autocheckpoint=" + QByteArray::number(walPages) + ';'));
    exec(db, QByteArray("PRAGMA journal_size_limit=" + QByteArray::number(walPages * 4096) + ';'));
    sqlite3_busy_timeout(db, 2000);
}

} // namespace

RecordingFile::RecordingFile(const QString &path, qint64 maxBytes)
    : file(path), walPages(walPagesFor(maxBytes))
{
    bytes = measure();
}

RecordingFile::~RecordingFile()
{
    stop();
}

std::unique_ptr<RecordingFile> RecordingFile::create(const QString &path, qint64 maxBytes,
                                                     QString *error)
{
    sqlite3 *db = nullptr;
    const QByteArray name = QFile::encodeName(path);
    int rc = sqlite3_open_v2(name.constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                             nullptr);
    if (rc == SQLITE_OK) {
        exec(db, "PRAGMA auto_vacuum=INCREMENTAL;");
        tune(db, walPagesFor(maxBytes));
        rc = sqlite3_exec(db, schema, nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) {
        *error = QStringLiteral("%1: %2").arg(path, QString::fromUtf8(db ? sqlite3_errmsg(db)
                                                                          : sqlite3_errstr(rc)));
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_close(db);
    return std::unique_ptr<RecordingFile>(new RecordingFile(path, maxBytes));
}

bool RecordingFile::start()
{
    const QByteArray name = QFile::encodeName(file);
    if (sqlite3_open_v2(name.constData(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        db = nullptr;
        return false;
    }
    tune(db, walPages);
    return true;
}

void RecordingFile::stop()
{
    sqlite3_close(db);
    db = nullptr;
}

int RecordingFile::write(const QVector<RecordingEvent> &batch)
{
    static const char insert[] =
        "INSERT INTO events(controller, t, kind, rows, cursor, seq, user, key, data)"
        " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)";
    sqlite3_stmt *statement = nullptr;
    if (!exec(db, "BEGIN") ||
        sqlite3_prepare_v2(db, insert, -1, &statement, nullptr) != SQLITE_OK) {
        exec(db, "ROLLBACK");
        return 0;
    }
    bool ok = true;
    for (const RecordingEvent &e : batch) {
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
        return batch.size();
    exec(db, "ROLLBACK");
    return 0;
}

bool RecordingFile::overSize(qint64 maxBytes)
{
    bytes = measure();
    return bytes > maxBytes;
}

// Old rows go by age, then the oldest by insertion order (rowid, which follows time) until the
// content is well under the size limit; the freed pages go back to the disk.
quint64 RecordingFile::keepWithin(qint64 cutoff, qint64 maxBytes)
{
    quint64 removed = 0;
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, "DELETE FROM events WHERE t < ?", -1, &statement, nullptr) ==
        SQLITE_OK) {
        sqlite3_bind_int64(statement, 1, cutoff);
        if (sqlite3_step(statement) == SQLITE_DONE)
            removed += quint64(sqlite3_changes(db));
    }
    sqlite3_finalize(statement);

    const qint64 target = qint64(double(maxBytes) * TrimTo);
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
                removed += quint64(sqlite3_changes(db));
        }
        sqlite3_finalize(statement);
    }
    exec(db, "PRAGMA incremental_vacuum;");
    exec(db, "PRAGMA wal_checkpoint(TRUNCATE);");
    bytes = measure();
    return removed;
}

qint64 RecordingFile::measure() const
{
    return QFileInfo(file).size() + QFileInfo(file + QStringLiteral("-wal")).size();
}

bool RecordingFile::read(const QString &controller, qint64 fromMs, qint64 toMs, int maxEvents,
                         Replay *replay, QString *error) const
{
    return readReplay(file, controller, fromMs, toMs, maxEvents, replay, error);
}
