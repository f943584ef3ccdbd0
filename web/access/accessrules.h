// Who may do what: login sessions, the brake on password guessing, and the control of a
// controller's keypad. Plain bookkeeping on a millisecond clock the caller passes in, so the
// timeouts are the same in the server and in its tests.
#ifndef ACCESSRULES_H
#define ACCESSRULES_H

#include "accessmirror.h"
#include "userstore.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

struct Session
{
    QString user;
    Role role = Role::Viewer;
    qint64 lastUsedMs = 0;
    // When its use was last told to the mirror.
    qint64 mirroredMs = 0;
};

class SessionStore
{
public:
    // A session's use is told to the mirror at most this often: after a changeover its idle
    // clock is that much behind at most.
    static constexpr qint64 MirrorEveryMs = 60 * 1000;

    explicit SessionStore(qint64 idleMs) : idleMs(idleMs) {}
    // Each change goes to mirror from now on (null: none).
    void setMirror(AccessMirror *to) { mirror = to; }
    // The sessions another server of the pair had: each becomes a session here when its page
    // comes back with the id that hashes to it.
    void adopt(const QVector<AccessSnapshot::SessionRow> &rows, qint64 nowMs);

    // A new session with a fresh random id of 256 bits, as URL-safe base64.
    QByteArray create(const QString &user, Role role, qint64 nowMs);
    // The session of id, its idle clock restarted; null when unknown or idle too long (and then
    // ended).
    Session *use(const QByteArray &id, qint64 nowMs);
    void end(const QByteArray &id);
    bool has(const QByteArray &id);
    // Ends every idle session.
    void expire(qint64 nowMs);
    int count() const { return sessions.size(); }
    // The users with a session, each once.
    QStringList users() const;
    void setRole(const QString &user, Role role);
    void endUser(const QString &user);

private:
    // The session of id, taking an adopted one in; end() when not found.
    QHash<QByteArray, Session>::iterator find(const QByteArray &id);
    void ended(const QByteArray &id);
    void saved(const QByteArray &id, Session &session, qint64 nowMs);

    qint64 idleMs;
    QHash<QByteArray, Session> sessions;
    // Adopted sessions no page has come back to yet, by the hash of their id.
    QHash<QByteArray, Session> adopted;
    AccessMirror *mirror = nullptr;
};

// Failures counted by key. After a rule's free failures a key has to wait before it may try
// again, twice as long after each further failure, up to the rule's longest wait.
class FailureCounter
{
public:
    struct Rule
    {
        int freeFailures;
        qint64 firstWaitMs;
        qint64 longestWaitMs;
        // A key quiet for this long starts its count afresh.
        qint64 forgetMs;
    };
    static constexpr int FreeFailures = 5;
    static constexpr qint64 FirstWaitMs = 1000;
    static constexpr qint64 LongestWaitMs = 15 * 60 * 1000;
    static constexpr Rule Default{FreeFailures, FirstWaitMs, LongestWaitMs, LongestWaitMs};
    // The table never holds more keys than this, so that guesses with made-up names cannot grow
    // it without end. Only a key that has stopped mattering (not held, and quiet for as long as
    // its count is kept) makes room for a new one: filling the table never wipes out a count
    // that is still holding someone.
    static constexpr int MaxKeys = 10000;

    explicit FailureCounter(Rule rule = Default) : rule(rule) {}

    // Milliseconds until key may try again; 0 for now.
    qint64 waitFor(const QString &key, qint64 nowMs) const;
    // False when the table was full of keys that still matter and this one was not counted.
    bool failed(const QString &key, qint64 nowMs);
    void succeeded(const QString &key);
    bool has(const QString &key) const { return records.contains(key); }
    int failures(const QString &key) const { return records.value(key).failures; }
    int size() const { return records.size(); }

private:
    struct Record
    {
        int failures = 0;
        qint64 lastFailureMs = 0;
        qint64 blockedUntilMs = 0;
    };
    Rule rule;
    QHash<QString, Record> records;
};

// Which brake held a login back.
enum class LoginBrake { None, UserAtAddress, Address, User };

// Failed logins, counted three ways. Per user name at each client address and per address: a
// stranger who guesses from one place holds back that place only, and nobody can lock a
// colleague out from afar. And per user name across all addresses, so that guesses spread over
// many addresses (an IPv6 /64 holds more than enough) are slowed as well: that brake only ever
// delays (a minute at most), and a browser the user has logged in from before (it shows a
// device cookie, see DeviceKey) passes it, so the real user is never kept out by it.
class LoginThrottle
{
public:
    // The brake on a user across addresses: more free failures than at one address, since it
    // adds up every browser's typing slips, and short waits, since it also holds back the
    // user's new browsers; a count is kept as long as at one address, so that a guesser gains
    // nothing by pausing.
    static constexpr FailureCounter::Rule UserRule{10, 1000, 60 * 1000,
                                                   FailureCounter::LongestWaitMs};

    struct Verdict
    {
        qint64 waitMs = 0;
        LoginBrake brake = LoginBrake::None;
    };
    // knownDevice: the browser showed a device cookie for this user.
    Verdict check(const QString &user, const QString &address, bool knownDevice,
                  qint64 nowMs) const;
    void failed(const QString &user, const QString &address, qint64 nowMs);
    void succeeded(const QString &user, const QString &address);

private:
    static QString pairKey(const QString &user, const QString &address)
    {
        return address + QLatin1Char('\n') + user;
    }
    FailureCounter pairs;
    FailureCounter addresses;
    FailureCounter users{UserRule};
    // Names that found the user table full are counted together here, so that filling the
    // table with made-up names does not switch the brake off for the rest.
    FailureCounter spilled{UserRule};
};

// The keypad of each controller is held by at most one connection of an operator.
class ControlLocks
{
public:
    // Without a key for this long, control is released.
    static constexpr qint64 IdleMs = 5 * 60 * 1000;

    // Control's use is told to the mirror at most this often.
    static constexpr qint64 MirrorEveryMs = 30 * 1000;

    explicit ControlLocks(int controllers) : holders(controllers) {}
    // Each change goes to mirror, the controllers named by idOf (null: none).
    void setMirror(AccessMirror *to, std::function<QString(int)> idOf)
    {
        mirror = to;
        idOfController = std::move(idOf);
    }
    // Control another server of the pair had given: held for the session until its page comes
    // back (claim()) or it runs idle. An empty user: the controller is free.
    void adopt(int controller, const QString &user, const QByteArray &sessionHash,
               qint64 lastUsedMs);
    // True when connection's session held control of controller on the server before and it
    // is now this connection's; not once it ran idle.
    bool claim(int controller, quint64 connection, const QByteArray &session, qint64 nowMs);
    // More controllers (a reload added some); the locks held stay.
    void resize(int controllers) { holders.resize(controllers); }

    // True when connection now holds the controller: it was free, already this connection's,
    // or its holder had been idle too long.
    bool take(int controller, quint64 connection, const QString &user,
              const QByteArray &session, qint64 nowMs);
    bool release(int controller, quint64 connection);
    // The controllers whose holder was idle too long, released, for telling the watchers.
    QVector<int> expire(qint64 nowMs);
    // A key from connection: true, and the idle clock restarted, only if it holds control.
    bool useForKey(int controller, quint64 connection, qint64 nowMs);
    // Empty when free.
    QString holder(int controller) const;
    bool holds(int controller, quint64 connection) const;

private:
    struct Holder
    {
        // 0: free, or held for a session whose page has not come back since a changeover.
        quint64 connection = 0;
        QString user; // empty: free
        QByteArray sessionHash;
        qint64 lastUsedMs = 0;
        qint64 mirroredMs = 0;
    };
    void saved(int controller, qint64 nowMs);
    void ended(int controller);

    QVector<Holder> holders;
    AccessMirror *mirror = nullptr;
    std::function<QString(int)> idOfController;
};

#endif // ACCESSRULES_H
