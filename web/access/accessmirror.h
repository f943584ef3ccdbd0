// What a server of a pair tells the database of its login sessions and of who holds control, so
// that the other server can take over from it with the pages still logged in and the operator
// still in control. Each change is written behind, never waited for. A session's id goes to the
// database only as its SHA-256: whoever reads the table cannot use it to log in.
#ifndef ACCESSMIRROR_H
#define ACCESSMIRROR_H

#include "userstore.h"

#include <QByteArray>
#include <QString>
#include <QVector>

class AccessMirror
{
public:
    virtual ~AccessMirror() = default;
    virtual void sessionSaved(const QByteArray &idHash, const QString &user, Role role,
                              qint64 idleMs) = 0;
    virtual void sessionEnded(const QByteArray &idHash) = 0;
    virtual void controlSaved(const QString &controller, const QString &user,
                              const QByteArray &sessionHash, qint64 idleMs) = 0;
    virtual void controlEnded(const QString &controller) = 0;
};

// What a server that takes over reads back.
struct AccessSnapshot
{
    struct SessionRow
    {
        QByteArray idHash;
        QString user;
        Role role = Role::Viewer;
        qint64 idleMs = 0;
    };
    struct ControlRow
    {
        QString controller;
        QString user;
        QByteArray sessionHash;
        qint64 idleMs = 0;
    };
    QVector<SessionRow> sessions;
    QVector<ControlRow> controls;
};

// The form a session id is kept in by the mirror: SHA-256, in hex.
QByteArray sessionHash(const QByteArray &id);

#endif // ACCESSMIRROR_H
