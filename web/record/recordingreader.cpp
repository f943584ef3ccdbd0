#include "recordingreader.h"

#include "recorder.h"

#include <sqlite3.h>

#include <QFile>
#include <QHash>

namespace {

using namespace Recording;

int rowCount(int mask)
{
    int n = 0;
    for (int r = 0; r < Rows; ++r)
        n += (mask >> r) & 1;
    return n;
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

QByteArray printableText(const QByteArray &bytes)
{
    QByteArray text = bytes;
    for (char &c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            c = ' ';
    }
    return text;
}

ReplayBuilder::ReplayBuilder(const QString &controller, qint64 from, qint64 to, int most,
                             Replay *into)
    : replay(into), fromMs(from), lastMs(to + OutcomeGraceMs), maxEvents(most)
{
    *replay = Replay();
    replay->controller = controller;
    replay->fromMs = from;
    replay->toMs = to;
    replay->display = QByteArray(DisplayBytes, ' ');
}

bool ReplayBuilder::take(const RecordingEvent &row)
{
    const qint64 t = row.timeMs;
    if (t > lastMs)
        return false;
    const bool inRange = t > fromMs && t <= replay->toMs;
    if (row.kind == Outcome) {
        const auto key = keyBySeq.constFind(row.seq);
        if (key != keyBySeq.cend())
            replay->keys[*key].outcome = QString::fromUtf8(printableText(row.data));
        return true;
    }
    if (t > replay->toMs)
        return true; // only outcomes matter past the end
    if (inRange && taken == maxEvents) {
        replay->cut = true;
        replay->toMs = t - 1;
        return true;
    }
    if (row.kind == Key) {
        if (!inRange)
            return true;
        ReplayKey key;
        key.timeMs = t;
        key.seq = row.seq;
        key.user = row.user;
        key.key = row.keyName;
        keyBySeq.insert(key.seq, replay->keys.size());
        replay->keys.append(key);
        ++taken;
        return true;
    }
    ReplayChange change;
    change.timeMs = t;
    if (row.kind == Pause) {
        change.pause = true;
    } else if (row.kind == Change || row.kind == Whole) {
        change.rowMask = row.rowMask & ((1 << Rows) - 1);
        change.cursor = row.cursor >= 0 && row.cursor < DisplayBytes ? row.cursor : -1;
        if (row.data.size() != rowCount(change.rowMask) * Columns)
            return true; // damaged: its rows cannot be placed
        change.rows = printableText(row.data);
    } else {
        return true;
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
    return true;
}

bool readReplay(const QString &path, const QString &controller, qint64 fromMs, qint64 toMs,
                int maxEvents, Replay *replay, QString *error)
{
    ReplayBuilder builder(controller, fromMs, toMs, maxEvents, replay);
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
            sqlite3_bind_int64(events.get(), 3, builder.readUntil());
        }
        int rc = SQLITE_ROW;
        RecordingEvent row;
        while (ok && (rc = sqlite3_step(events.get())) == SQLITE_ROW) {
            sqlite3_stmt *s = events.get();
            row.timeMs = sqlite3_column_int64(s, 0);
            row.kind = sqlite3_column_int(s, 1);
            row.rowMask = sqlite3_column_int(s, 2);
            row.cursor = sqlite3_column_int(s, 3);
            row.seq = sqlite3_column_int64(s, 4);
            if (row.kind == Key) {
                row.user = columnText(s, 5);
                row.keyName = columnText(s, 6);
            }
            row.data = QByteArray(static_cast<const char *>(sqlite3_column_blob(s, 7)),
                                  sqlite3_column_bytes(s, 7));
            if (!builder.take(row)) {
                rc = SQLITE_DONE;
                break;
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
