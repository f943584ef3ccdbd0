// Who may do what: login sessions, the brake on password guessing, and the control of a
// controller's keypad. Plain bookkeeping on a millisecond clock the caller passes in, so the
// timeouts are the same in the server and in its tests.
#ifndef ACCESSRULES_H
#define ACCESSRULES_H

#include "userstore.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

struct Session
{
    QString user;
    Role role = Role::Viewer;
    qint64 lastUsedMs = 0;
};

class SessionStore
{
public:
    explicit SessionStore(qint64 idleMs) : idleMs(idleMs) {}

    // A new session with a fresh random id of 256 bits, as URL-safe base64.
    QByteArray create(const QString &user, Role role, qint64 nowMs);
    // The session of id, its idle clock restarted; null when unknown or idle too long (and then
    // ended).
    Session *use(const QByteArray &id, qint64 nowMs);
    void end(const QByteArray &id);
    bool has(const QByteArray &id) const { return sessions.contains(id); }
    // Ends every idle session.
    void expire(qint64 nowMs);
    int count() const { return sessions.size(); }
    // The users with a session, each once.
    QStringList users() const;
    void setRole(const QString &user, Role role);
    void endUser(const QString &user);

private:
    qint64 idleMs;
    QHash<QByteArray, Session> sessions;
};

// Failures counted by key. After FreeFailures a key has to wait before it may try again, twice
// as long after each further failure.
class FailureCounter
{
public:
    static constexpr int FreeFailures = 5;
    static constexpr qint64 FirstWaitMs = 1000;
    static constexpr qint64 LongestWaitMs = 15 * 60 * 1000;
    // The table never holds more keys than this, so that guesses with made-up names cannot grow
    // it without end. Only a key that has stopped mattering (not held, and quiet for as long as
    // the longest wait, after which its count would start afresh anyway) makes room for a new
    // one: filling the table never wipes out a count that is still holding someone.
    static constexpr int MaxKeys = 10000;

    // Milliseconds until key may try again; 0 for now.
    qint64 waitFor(const QString &key, qint64 nowMs) const;
    // False when the table was full of keys that still matter and this one was not counted.
    bool failed(const QString &key, qint64 nowMs);
    void succeeded(const QString &key);
    int size() const { return records.size(); }

private:
    struct Record
    {
        int failures = 0;
        qint64 lastFailureMs = 0;
        qint64 blockedUntilMs = 0;
    };
    QHash<QString, Record> records;
};

// Failed logins, counted per user name at each client address and per address. A stranger who
// guesses a user's password holds back that name at the stranger's own address only: the user
// logs in from anywhere else as usual, and nobody can lock a colleague out from afar.
class LoginThrottle
{
public:
    qint64 waitFor(const QString &user, const QString &address, qint64 nowMs) const;
    void failed(const QString &user, const QString &address, qint64 nowMs);
    void succeeded(const QString &user, const QString &address);

private:
    static QString pairKey(const QString &user, const QString &address)
    {
        return address + QLatin1Char('\n') + user;
    }
    FailureCounter pairs;
    FailureCounter addresses;
};

// The keypad of each controller is held by at most one connection of an operator.
class ControlLocks
{
public:
    // Without a key for this long, control is released.
    static constexpr qint64 IdleMs = 5 * 60 * 1000;

    explicit ControlLocks(int controllers) : holders(controllers) {}
    // More controllers (a reload added some); the locks held stay.
    void resize(int controllers) { holders.resize(controllers); }

    // True when connection now holds the controller: it was free, already this connection's,
    // or its holder had been idle too long.
    bool take(int controller, quint64 connection, const QString &user, qint64 nowMs);
    bool release(int controller, quint64 connection);
    // The controllers released, for telling the watchers.
    QVector<int> releaseAll(quint64 connection);
    QVector<int> expire(qint64 nowMs);
    // A key from connection: true, and the idle clock restarted, only if it holds control.
    bool useForKey(int controller, quint64 connection, qint64 nowMs);
    // Empty when free.
    QString holder(int controller) const;
    bool holds(int controller, quint64 connection) const;

private:
    struct Holder
    {
        quint64 connection = 0; // 0: free
        QString user;
        qint64 lastUsedMs = 0;
    };
    QVector<Holder> holders;
};

#endif // ACCESSRULES_H
