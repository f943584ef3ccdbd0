#include "sharedschema.h"

#include "pgsession.h"

namespace {

// The statements that take the tables to each version from the one before; a version's are
// never changed once shipped, only followed by the next one's.
struct Step
{
    int version;
    const char *sql;
};
const Step steps[] = {
    // The audit trail, one row per line of the chain, the line's text exactly as the file would
    // hold it (without its newline).
    {1, "CREATE TABLE frontpanel_audit ("
        " seq bigint PRIMARY KEY CHECK (seq > 0),"
        " line text NOT NULL,"
        " written timestamptz NOT NULL DEFAULT now())"},
    // The login sessions, by the SHA-256 of their id, and who holds control of which
    // controller, for the server that takes over.
    {1, "CREATE TABLE frontpanel_sessions ("
        " id_hash text PRIMARY KEY,"
        " usr text NOT NULL,"
        " role text NOT NULL,"
        " last_used timestamptz NOT NULL)"},
    {1, "CREATE TABLE frontpanel_control ("
        " controller text PRIMARY KEY,"
        " usr text NOT NULL,"
        " session_hash text NOT NULL,"
        " last_used timestamptz NOT NULL)"},
    // The recordings of what the pages showed, as the file keeps them, in the order written.
    {2, "CREATE TABLE frontpanel_recordings ("
        " id bigserial PRIMARY KEY,"
        " controller text NOT NULL,"
        " t bigint NOT NULL,"
        " kind smallint NOT NULL,"
        " rows integer NOT NULL DEFAULT 0,"
        " cursor integer NOT NULL DEFAULT -1,"
        " seq bigint NOT NULL DEFAULT 0,"
        " usr text NOT NULL DEFAULT '',"
        " key text NOT NULL DEFAULT '',"
        " data bytea)"},
    {2, "CREATE INDEX frontpanel_recordings_by_time ON frontpanel_recordings (controller, t)"},
};

// The version the tables are at: 0 for none yet; -1 (with error) when it cannot be read.
int versionOf(PgSession &db, QString *error)
{
    QList<PgSession::Row> rows;
    if (!db.run("SELECT to_regclass('frontpanel_version') IS NOT NULL", {}, &rows, error) ||
        rows.isEmpty())
        return -1;
    if (rows[0][0] != "t")
        return 0;
    if (!db.run("SELECT version FROM frontpanel_version", {}, &rows, error))
        return -1;
    return rows.isEmpty() ? 0 : rows[0][0].toInt();
}

} // namespace

bool SharedSchema::create(PgSession &db, QString *report, QString *error)
{
    if (!db.run("BEGIN", error))
        return false;
    // Two servers started with --init-database at once: one waits for the other's transaction.
    QString ignored;
    auto fail = [&] {
        db.run("ROLLBACK", &ignored);
        return false;
    };
    if (!db.run("CREATE TABLE IF NOT EXISTS frontpanel_version (version integer NOT NULL)",
                error) ||
        !db.run("LOCK TABLE frontpanel_version", error))
        return fail();
    const int from = versionOf(db, error);
    if (from < 0)
        return fail();
    if (from > Version) {
        *error = QStringLiteral("the database is at version %1, made by a newer frontpanel-web; "
                                "this one knows version %2")
                     .arg(from)
                     .arg(Version);
        return fail();
    }
    for (const Step &step : steps) {
        if (step.version > from && !db.run(step.sql, error))
            return fail();
    }
    if (!db.run("DELETE FROM frontpanel_version", error) ||
        !db.run("INSERT INTO frontpanel_version (version) VALUES ($1)",
                {QByteArray::number(Version)}, nullptr, error) ||
        !db.run("COMMIT", error))
        return fail();
    *report = from == Version ? QStringLiteral("the database is at version %1 already").arg(Version)
              : from == 0     ? QStringLiteral("the database's tables are made (version %1)").arg(Version)
                              : QStringLiteral("the database is brought from version %1 to %2")
                                .arg(from)
                                .arg(Version);
    return true;
}

bool SharedSchema::check(PgSession &db, QString *error)
{
    const int at = versionOf(db, error);
    if (at < 0)
        return false;
    if (at == Version)
        return true;
    *error = at < Version ? QStringLiteral("the database is at version %1, this server needs %2: "
                                           "run frontpanel-web --init-database")
                                .arg(at)
                                .arg(Version)
                          : QStringLiteral("the database is at version %1, made by a newer "
                                           "frontpanel-web; this one knows version %2")
                                .arg(at)
                                .arg(Version);
    return false;
}
