#include "sharedaccess.h"

#include "pgsession.h"
#include "sharedtrail.h"

namespace {

// Times are the database's own clock, so that the two servers' clocks never have to agree.
const char saveSession[] =
    "INSERT INTO frontpanel_sessions (id_hash, usr, role, last_used)"
    " SELECT $1, $2, $3, now() - make_interval(secs => $4::double precision / 1000)"
    " WHERE " SHARED_HOLDS_LOCK
    " ON CONFLICT (id_hash) DO UPDATE SET usr = EXCLUDED.usr, role = EXCLUDED.role,"
    " last_used = EXCLUDED.last_used";
const char endSession[] =
    "DELETE FROM frontpanel_sessions WHERE id_hash = $1 AND " SHARED_HOLDS_LOCK;
const char saveControl[] =
    "INSERT INTO frontpanel_control (controller, usr, session_hash, last_used)"
    " SELECT $1, $2, $3, now() - make_interval(secs => $4::double precision / 1000)"
    " WHERE " SHARED_HOLDS_LOCK
    " ON CONFLICT (controller) DO UPDATE SET usr = EXCLUDED.usr,"
    " session_hash = EXCLUDED.session_hash, last_used = EXCLUDED.last_used";
const char endControl[] =
    "DELETE FROM frontpanel_control WHERE controller = $1 AND " SHARED_HOLDS_LOCK;
const char idleMs[] = "(extract(epoch FROM now() - last_used) * 1000)::bigint";

} // namespace

void SharedAccess::sessionSaved(const QByteArray &idHash, const QString &user, Role role,
                                qint64 idleMs)
{
    trail->writeBehind(saveSession, {idHash, user.toUtf8(), UserStore::roleName(role).toUtf8(),
                                     QByteArray::number(idleMs)});
}

void SharedAccess::sessionEnded(const QByteArray &idHash)
{
    trail->writeBehind(endSession, {idHash});
}

void SharedAccess::controlSaved(const QString &controller, const QString &user,
                                const QByteArray &sessionHash, qint64 idleMs)
{
    trail->writeBehind(saveControl, {controller.toUtf8(), user.toUtf8(), sessionHash,
                                     QByteArray::number(idleMs)});
}

void SharedAccess::controlEnded(const QString &controller)
{
    trail->writeBehind(endControl, {controller.toUtf8()});
}

bool SharedAccess::load(PgSession &db, AccessSnapshot *out, QString *error)
{
    QList<PgSession::Row> rows;
    if (!db.run((QByteArray("SELECT id_hash, usr, role, ") + idleMs +
                 " FROM frontpanel_sessions")
                    .constData(),
                {}, &rows, error))
        return false;
    for (const PgSession::Row &row : rows) {
        AccessSnapshot::SessionRow s;
        s.idHash = row[0];
        s.user = QString::fromUtf8(row[1]);
        s.idleMs = row[3].toLongLong();
        // A role this server does not know of gives the least.
        if (!UserStore::parseRole(QString::fromUtf8(row[2]), &s.role))
            s.role = Role::Viewer;
        out->sessions.append(s);
    }
    if (!db.run((QByteArray("SELECT controller, usr, session_hash, ") + idleMs +
                 " FROM frontpanel_control")
                    .constData(),
                {}, &rows, error))
        return false;
    for (const PgSession::Row &row : rows)
        out->controls.append(AccessSnapshot::ControlRow{
            QString::fromUtf8(row[0]), QString::fromUtf8(row[1]), row[2], row[3].toLongLong()});
    return true;
}
