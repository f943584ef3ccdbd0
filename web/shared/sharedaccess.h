// The login sessions and the control of a pair of servers in the database: what the leader writes
// behind as they change, and what a server that takes over reads back. Written on the trail's
// connection and, like the trail, only while it holds the lock.
#ifndef SHAREDACCESS_H
#define SHAREDACCESS_H

#include "accessmirror.h"

class PgSession;
class SharedTrail;

class SharedAccess : public AccessMirror
{
public:
    explicit SharedAccess(SharedTrail *trail) : trail(trail) {}

    void sessionSaved(const QByteArray &idHash, const QString &user, Role role,
                      qint64 idleMs) override;
    void sessionEnded(const QByteArray &idHash) override;
    void controlSaved(const QString &controller, const QString &user,
                      const QByteArray &sessionHash, qint64 idleMs) override;
    void controlEnded(const QString &controller) override;

    static bool load(PgSession &db, AccessSnapshot *out, QString *error);

private:
    SharedTrail *trail;
};

#endif // SHAREDACCESS_H
