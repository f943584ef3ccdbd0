#include "recordingreader.h"

#include "recorder.h"

#include <sqlite3.h>

#include <QFile>
#include <QHash>

namespace {

using namespace Recording;

// An outcome may come well after its key (no answer is known only after the retries).
constexpr qint64 OutcomeGraceMs = 60000;

int rowCount(int mask)
{
    int n = 0;
    for (int r = 0; r < Rows; ++r)
        n += (mask >> r) & 1;
    return n;
}

// Only printable ASCII leaves the database: a replay or an export goes to a terminal.
QByteArray printable(const void *bytes, int size)
{
    QByteArray text(static_cast<const char *>(bytes), size);
    for (char &c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            c = ' ';
    }
    return text;
}

QString columnText(sqlite3_stmt *statement, int column)
{
    const auto *text = sqlite3_column_text(statement, column);
    return text ? QString::fromUtf8(reinterpret_cast<const char *>(text),
                                    sqlite3_column_bytes(statement, column))
                : QString();
}

class Statement
{
public:
    Statement(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &s, nullptr); }
    ~Statement() { sqlite3_finalize(s); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    sqlite3_stmt *get() const { return s; }

private:
    sqlite3_stmt *s = nullptr;
};

} // namespace

void applyChange(const ReplayChange &change, QByteArray *display, int *cursor)
{
    if (change.pause)
        return;
    int at = 0;
    for (int r = 0; r < Rows; ++r) {
        if (!(change.rowMask & (1 << r)))
            continue;
        if (at + Columns > change.rows.size())
            return;
        display->replace(r * Columns, Columns, change.rows.constData() + at, Columns);
        at += Columns;
    }
    *cursor = change.cursor;
}

bool readReplay(const QString &path, const QString &controller, qint64 fromMs, qint64 toMs,
                int maxEvents, Replay *replay, QString *error)
{
    *replay = Replay();
    replay->controller = controller;
    replay->fromMs = fromMs;
    replay->toMs = toMs;
    replay->display = QByteArray(DisplayBytes, ' ');

    sqlite3 *db = nullptr;
    const QByteArray name = QFile::encodeName(path);
    if (sqlite3_open_v2(name.constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        *error = QStringLiteral("the recordings cannot be read: %1")
                     .arg(QString::fromUtf8(sqlite3_errmsg(db)));
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, 2000);
    const QByteArray id = controller.toUtf8();
    bool ok = true;
    {
        // The last whole display at or before the start.
        qint64 start = fromMs;
        Statement whole(db, "SELECT t FROM events WHERE controller = ? AND t <= ? AND kind = 1"
                            " ORDER BY t DESC LIMIT 1");
        Statement events(db, "SELECT t, kind, rows, cursor, seq, user, key, data FROM events"
                             " WHERE controller = ? AND t >= ? AND t <= ? ORDER BY t, rowid");
        ok = whole.get() && events.get();
        if (ok) {
            sqlite3_bind_text(whole.get(), 1, id.constData(), id.size(), SQLITE_STATIC);
            sqlite3_bind_int64(whole.get(), 2, fromMs);
            if (sqlite3_step(whole.get()) == SQLITE_ROW)
                start = sqlite3_column_int64(whole.get(), 0);
            sqlite3_bind_text(events.get(), 1, id.constData(), id.size(), SQLITE_STATIC);
            sqlite3_bind_int64(events.get(), 2, start);
            sqlite3_bind_int64(events.get(), 3, toMs + OutcomeGraceMs);
        }
        QHash<qint64, int> keyBySeq;
        int taken = 0;
        int rc = SQLITE_ROW;
        while (ok && (rc = sqlite3_step(events.get())) == SQLITE_ROW) {
            sqlite3_stmt *row = events.get();
            const qint64 t = sqlite3_column_int64(row, 0);
            const int kind = sqlite3_column_int(row, 1);
            if (t > replay->toMs + OutcomeGraceMs) {
                rc = SQLITE_DONE;
                break;
            }
            const bool inRange = t > fromMs && t <= replay->toMs;
            if (kind == Outcome) {
                const auto key = keyBySeq.constFind(sqlite3_column_int64(row, 4));
                if (key != keyBySeq.cend())
                    replay->keys[*key].outcome = QString::fromUtf8(printable(
                        sqlite3_column_blob(row, 7), sqlite3_column_bytes(row, 7)));
                continue;
            }
            if (t > replay->toMs)
                continue; // only outcomes matter past the end
            if (inRange && taken == maxEvents) {
                replay->cut = true;
                replay->toMs = t - 1;
                continue;
            }
            if (kind == Key) {
                if (!inRange)
                    continue;
                ReplayKey key;
                key.timeMs = t;
                key.seq = sqlite3_column_int64(row, 4);
                key.user = columnText(row, 5);
                key.key = columnText(row, 6);
                keyBySeq.insert(key.seq, replay->keys.size());
                replay->keys.append(key);
                ++taken;
                continue;
            }
            ReplayChange change;
            change.timeMs = t;
            if (kind == Pause) {
                change.pause = true;
            } else if (kind == Change || kind == Whole) {
                change.rowMask = sqlite3_column_int(row, 2) & ((1 << Rows) - 1);
                const int cursor = sqlite3_column_int(row, 3);
                change.cursor = cursor >= 0 && cursor < DisplayBytes ? cursor : -1;
                const int size = sqlite3_column_bytes(row, 7);
                if (size != rowCount(change.rowMask) * Columns)
                    continue; // damaged: its rows cannot be placed
                change.rows = printable(sqlite3_column_blob(row, 7), size);
            } else {
                continue;
            }
            if (inRange) {
                replay->changes.append(change);
                ++taken;
            } else {
                applyChange(change, &replay->display, &replay->cursor);
                replay->recordedAtStart = !change.pause;
                if (change.pause)
                    replay->display.fill(' ');
            }
        }
        if (ok && rc != SQLITE_DONE)
            ok = false;
    }
    if (!ok)
        *error = QStringLiteral("the recordings cannot be read: %1")
                     .arg(QString::fromUtf8(sqlite3_errmsg(db)));
    sqlite3_close(db);
    return ok;
}
