#include "sharedrecordings.h"

#include "recorder.h"
#include "recordingreader.h"
#include "serverlog.h"
#include "sharedtrail.h"

#include <algorithm>

namespace {

// Rows are removed oldest first until the live rows are this share of the limit.
constexpr double TrimTo = 0.75;
// The database's statistics lag its writes: the size is read at most this often, and after a
// trim not acted on again for a minute, so that one excess is not removed twice.
constexpr auto MeasureEvery = std::chrono::seconds(10);
constexpr auto TrimSettles = std::chrono::seconds(60);
// A row's header and line pointer (28 bytes) and its entries in the two indexes (16 bytes and
// the controller's id beside another 16), which pg_stats' widths leave out.
constexpr double RowOverhead = 60;
// A statement that takes longer than this (a replay, a batch behind a lock) is ended by the
// database, so that neither a replay nor the writer waits without end.
const char sessionSettings[] = "SET statement_timeout = 10000";

const char ageDelete[] =
    "DELETE FROM frontpanel_recordings WHERE t < $3::bigint AND " SHARED_LEADER_IS;
const char oldestDelete[] =
    "DELETE FROM frontpanel_recordings WHERE id < $3::bigint AND " SHARED_LEADER_IS;

QByteArray insertStatement(int rows)
{
    QByteArray sql = "INSERT INTO frontpanel_recordings"
                     " (controller, t, kind, rows, cursor, seq, usr, key, data)"
                     " SELECT v.* FROM (VALUES ";
    for (int r = 0; r < rows; ++r) {
        const int p = 3 + r * 9;
        if (r)
            sql += ',';
        sql += "($" + QByteArray::number(p) + "::text,$" + QByteArray::number(p + 1) +
               "::bigint,$" + QByteArray::number(p + 2) + "::smallint,$" +
               QByteArray::number(p + 3) + "::integer,$" + QByteArray::number(p + 4) +
               "::integer,$" + QByteArray::number(p + 5) + "::bigint,$" +
               QByteArray::number(p + 6) + "::text,$" + QByteArray::number(p + 7) +
               "::text,$" + QByteArray::number(p + 8) + "::bytea)";
    }
    sql += ") AS v WHERE " SHARED_LEADER_IS;
    return sql;
}

} // namespace

SharedRecordings::SharedRecordings(const QString &connection, const SharedTrail *trail)
    : connection(connection), trail(trail)
{}

bool SharedRecordings::connected()
{
    if (db.isOpen())
        return true;
    QString problem;
    if (db.open(connection, &problem) && db.run(sessionSettings, &problem))
        return true;
    db.close();
    if (problem != lastProblem)
        serverLog(LogLevel::Warning, "the recordings' database: %s", qPrintable(problem));
    lastProblem = problem;
    return false;
}

bool SharedRecordings::insert(const QVector<RecordingEvent> &batch, int from, int count,
                              const QByteArray &pid, const QByteArray &startUs)
{
    QList<QByteArray> params{pid, startUs};
    params.reserve(2 + count * 9);
    for (int i = from; i < from + count; ++i) {
        const RecordingEvent &e = batch[i];
        params << e.controller.toUtf8() << QByteArray::number(e.timeMs)
               << QByteArray::number(e.kind) << QByteArray::number(e.rowMask)
               << QByteArray::number(e.cursor) << QByteArray::number(e.seq) << e.user.toUtf8()
               << e.keyName.toUtf8() << "\\x" + e.data.toHex();
    }
    QString problem;
    qint64 affected = 0;
    if (!db.run(insertStatement(count).constData(), params, nullptr, &problem, &affected)) {
        if (problem != lastProblem)
            serverLog(LogLevel::Warning, "the recordings' database: %s", qPrintable(problem));
        lastProblem = problem;
        return false;
    }
    return affected == count;
}

int SharedRecordings::write(const QVector<RecordingEvent> &batch)
{
    QByteArray pid, startUs;
    if (!trail->leaderSession(&pid, &startUs) || !connected())
        return 0;
    QString problem;
    if (!db.run("BEGIN", &problem))
        return 0;
    for (int from = 0; from < batch.size(); from += RowsPerStatement) {
        if (!insert(batch, from, std::min<int>(RowsPerStatement, batch.size() - from), pid,
                    startUs)) {
            // Lost the lock, or the database: none of the batch is kept.
            db.run("ROLLBACK", &problem);
            return 0;
        }
    }
    if (!db.run("COMMIT", &problem))
        return 0;
    lastProblem.clear();
    return batch.size();
}

bool SharedRecordings::measure(qint64 *liveBytes)
{
    QList<PgSession::Row> rows;
    QString problem;
    if (!connected() ||
        !db.run("SELECT pg_total_relation_size('frontpanel_recordings'),"
                " coalesce((SELECT n_live_tup FROM pg_stat_user_tables"
                "  WHERE relid = 'frontpanel_recordings'::regclass), 0),"
                " coalesce((SELECT n_dead_tup FROM pg_stat_user_tables"
                "  WHERE relid = 'frontpanel_recordings'::regclass), 0),"
                " (SELECT sum(avg_width) FROM pg_stats"
                "  WHERE tablename = 'frontpanel_recordings' AND schemaname = current_schema()),"
                " (SELECT avg_width FROM pg_stats WHERE tablename = 'frontpanel_recordings'"
                "  AND schemaname = current_schema() AND attname = 'controller')",
                {}, &rows, &problem) ||
        rows.isEmpty())
        return false;
    const qint64 total = rows[0][0].toLongLong();
    const double live = rows[0][1].toDouble(), dead = rows[0][2].toDouble();
    bytes = total;
    // Space that vacuum freed stays in the table for new rows, so the size on disk says
    // nothing of what the rows hold once dead rows are gone: the live rows times their width
    // (as the last ANALYZE found it), a row's header and its two index entries. Before any
    // ANALYZE, the live rows' share of the size on disk, which holds until the first vacuum.
    if (!rows[0][3].isEmpty()) {
        const double width = rows[0][3].toDouble() + rows[0][4].toDouble() + RowOverhead;
        *liveBytes = std::min(total, qint64(live * width));
    } else {
        *liveBytes = live + dead > 0 ? qint64(double(total) * live / (live + dead)) : total;
    }
    measuredAt = Clock::now();
    measuredOnce = true;
    return true;
}

bool SharedRecordings::overSize(qint64 maxBytes)
{
    QByteArray pid, startUs;
    if (trail->leaderSession(&pid, &startUs) && keptBy != pid + ',' + startUs)
        return true;
    const Clock::time_point now = Clock::now();
    if ((measuredOnce && now - measuredAt < MeasureEvery) ||
        (trimmedOnce && now - trimmedAt < TrimSettles))
        return false;
    qint64 live = 0;
    return measure(&live) && live > maxBytes;
}

quint64 SharedRecordings::keepWithin(qint64 cutoffMs, qint64 maxBytes)
{
    QByteArray pid, startUs;
    if (!trail->leaderSession(&pid, &startUs) || !connected())
        return 0;
    keptBy = pid + ',' + startUs;
    QString problem;
    qint64 removed = 0, affected = 0;
    if (db.run(ageDelete, {pid, startUs, QByteArray::number(cutoffMs)}, nullptr, &problem,
               &affected))
        removed += affected;
    qint64 live = 0;
    const qint64 target = qint64(double(maxBytes) * TrimTo);
    if ((trimmedOnce && Clock::now() - trimmedAt < TrimSettles) || !measure(&live) ||
        live <= target)
        return quint64(removed);
    QList<PgSession::Row> rows;
    if (!db.run("SELECT min(id), max(id) FROM frontpanel_recordings", {}, &rows, &problem) ||
        rows.isEmpty() || rows[0][0].isEmpty())
        return quint64(removed);
    const qint64 first = rows[0][0].toLongLong();
    const qint64 count = rows[0][1].toLongLong() - first + 1;
    // The share of the rows that holds the excess, and a little more.
    const double share = std::min(1.0, double(live - target) / double(live) + 0.02);
    const qint64 cut = std::max<qint64>(1, qint64(double(count) * share));
    if (db.run(oldestDelete, {pid, startUs, QByteArray::number(first + cut)}, nullptr, &problem,
               &affected))
        removed += affected;
    trimmedAt = Clock::now();
    trimmedOnce = true;
    return quint64(removed);
}

bool SharedRecordings::read(const QString &controller, qint64 fromMs, qint64 toMs,
                            int maxEvents, Replay *replay, QString *error) const
{
    ReplayBuilder builder(controller, fromMs, toMs, maxEvents, replay);
    PgSession reader;
    QString problem;
    QList<PgSession::Row> rows;
    const QByteArray id = controller.toUtf8();
    auto fail = [&] {
        *error = QStringLiteral("the recordings cannot be read: %1").arg(problem);
        return false;
    };
    if (!reader.open(connection, &problem) || !reader.run(sessionSettings, &problem))
        return fail();
    // The last whole display at or before the start.
    if (!reader.run("SELECT t FROM frontpanel_recordings WHERE controller = $1"
                    " AND t <= $2::bigint AND kind = 1 ORDER BY t DESC LIMIT 1",
                    {id, QByteArray::number(fromMs)}, &rows, &problem))
        return fail();
    QByteArray afterT = rows.isEmpty() ? QByteArray::number(fromMs) : rows[0][0];
    QByteArray afterId = "0";
    const QByteArray until = QByteArray::number(builder.readUntil());
    const QByteArray page = QByteArray::number(RowsPerRead);
    RecordingEvent row;
    for (;;) {
        // A page at a time, after the last row read, in the order written.
        if (!reader.run("SELECT id, t, kind, rows, cursor, seq, usr, key, encode(data, 'hex')"
                        " FROM frontpanel_recordings WHERE controller = $1"
                        " AND t <= $2::bigint AND (t, id) > ($3::bigint, $4::bigint)"
                        " ORDER BY t, id LIMIT $5::integer",
                        {id, until, afterT, afterId, page}, &rows, &problem))
            return fail();
        for (const PgSession::Row &r : rows) {
            row.timeMs = r[1].toLongLong();
            row.kind = r[2].toInt();
            row.rowMask = r[3].toInt();
            row.cursor = r[4].toInt();
            row.seq = r[5].toLongLong();
            row.user = QString::fromUtf8(r[6]);
            row.keyName = QString::fromUtf8(r[7]);
            row.data = QByteArray::fromHex(r[8]);
            if (!builder.take(row))
                return true;
        }
        if (rows.size() < RowsPerRead)
            return true;
        afterT = rows.last()[1];
        afterId = rows.last()[0];
    }
}
