#include "accessrules.h"

#include "serverlog.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

QByteArray SessionStore::create(const QString &user, Role role, qint64 nowMs)
{
    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    const QByteArray id =
        QByteArray(reinterpret_cast<const char *>(words), sizeof words)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    Session &session = sessions.insert(id, Session{user, role, nowMs, nowMs}).value();
    saved(id, session, nowMs);
    return id;
}

QByteArray sessionHash(const QByteArray &id)
{
    return QCryptographicHash::hash(id, QCryptographicHash::Sha256).toHex();
}

QHash<QByteArray, Session>::iterator SessionStore::find(const QByteArray &id)
{
    auto it = sessions.find(id);
    if (it != sessions.end() || adopted.isEmpty() || id.isEmpty())
        return it;
    const auto before = adopted.find(sessionHash(id));
    if (before == adopted.end())
        return sessions.end();
    it = sessions.insert(id, *before);
    adopted.erase(before);
    return it;
}

void SessionStore::saved(const QByteArray &id, Session &session, qint64 nowMs)
{
    session.mirroredMs = nowMs;
    if (mirror)
        mirror->sessionSaved(sessionHash(id), session.user, session.role,
                             nowMs - session.lastUsedMs);
}

void SessionStore::ended(const QByteArray &id)
{
    if (mirror)
        mirror->sessionEnded(sessionHash(id));
}

void SessionStore::adopt(const QVector<AccessSnapshot::SessionRow> &rows, qint64 nowMs)
{
    QHash<QByteArray, Session> left;
    for (const AccessSnapshot::SessionRow &row : rows)
        left.insert(row.idHash, Session{row.user, row.role, nowMs - row.idleMs, nowMs});
    // The table is the truth: a session this server still had from before it waited, but
    // which ended on the other meanwhile (a logout), ends here too.
    for (auto it = sessions.begin(); it != sessions.end();) {
        const auto row = left.find(sessionHash(it.key()));
        if (row == left.end()) {
            it = sessions.erase(it);
            continue;
        }
        *it = *row;
        left.erase(row);
        ++it;
    }
    adopted = left;
}

Session *SessionStore::use(const QByteArray &id, qint64 nowMs)
{
    auto it = find(id);
    if (it == sessions.end())
        return nullptr;
    if (nowMs - it->lastUsedMs >= idleMs) {
        sessions.erase(it);
        ended(id);
        return nullptr;
    }
    it->lastUsedMs = nowMs;
    if (nowMs - it->mirroredMs >= MirrorEveryMs)
        saved(id, *it, nowMs);
    return &*it;
}

bool SessionStore::has(const QByteArray &id)
{
    return find(id) != sessions.end();
}

void SessionStore::end(const QByteArray &id)
{
    if (sessions.remove(id) || adopted.remove(sessionHash(id)))
        ended(id);
}

QStringList SessionStore::users() const
{
    QStringList out;
    for (const auto *table : {&sessions, &adopted}) {
        for (const Session &session : *table) {
            if (!out.contains(session.user))
                out.append(session.user);
        }
    }
    return out;
}

void SessionStore::setRole(const QString &user, Role role)
{
    for (auto it = sessions.begin(); it != sessions.end(); ++it) {
        if (it->user == user && it->role != role) {
            it->role = role;
            saved(it.key(), *it, it->lastUsedMs);
        }
    }
    for (auto it = adopted.begin(); it != adopted.end(); ++it) {
        if (it->user == user && it->role != role) {
            it->role = role;
            if (mirror)
                mirror->sessionSaved(it.key(), it->user, role, 0);
        }
    }
}

void SessionStore::endUser(const QString &user)
{
    for (auto it = sessions.begin(); it != sessions.end();) {
        if (it->user == user) {
            ended(it.key());
            it = sessions.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = adopted.begin(); it != adopted.end();) {
        if (it->user == user) {
            if (mirror)
                mirror->sessionEnded(it.key());
            it = adopted.erase(it);
        } else {
            ++it;
        }
    }
}

void SessionStore::expire(qint64 nowMs)
{
    for (auto it = sessions.begin(); it != sessions.end();) {
        if (nowMs - it->lastUsedMs >= idleMs) {
            ended(it.key());
            it = sessions.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = adopted.begin(); it != adopted.end();) {
        if (nowMs - it->lastUsedMs >= idleMs) {
            if (mirror)
                mirror->sessionEnded(it.key());
            it = adopted.erase(it);
        } else {
            ++it;
        }
    }
}

qint64 FailureCounter::waitFor(const QString &key, qint64 nowMs) const
{
    const auto it = records.constFind(key);
    if (it == records.constEnd() || it->blockedUntilMs <= nowMs)
        return 0;
    return it->blockedUntilMs - nowMs;
}

bool FailureCounter::failed(const QString &key, qint64 nowMs)
{
    if (!records.contains(key) && records.size() >= MaxKeys) {
        auto oldest = records.end();
        for (auto it = records.begin(); it != records.end(); ++it) {
            const bool mattersStill =
                it->blockedUntilMs > nowMs || nowMs - it->lastFailureMs <= rule.forgetMs;
            if (!mattersStill && (oldest == records.end() || it->lastFailureMs < oldest->lastFailureMs))
                oldest = it;
        }
        if (oldest == records.end())
            return false;
        records.erase(oldest);
    }
    Record &r = records[key];
    if (nowMs - r.lastFailureMs > rule.forgetMs)
        r.failures = 0;
    ++r.failures;
    r.lastFailureMs = nowMs;
    if (r.failures >= rule.freeFailures) {
        const int doublings = qMin(r.failures - rule.freeFailures, 20);
        r.blockedUntilMs = nowMs + qMin(rule.firstWaitMs << doublings, rule.longestWaitMs);
    }
    return true;
}

void FailureCounter::succeeded(const QString &key)
{
    records.remove(key);
}

LoginThrottle::Verdict LoginThrottle::check(const QString &user, const QString &address,
                                            bool knownDevice, qint64 nowMs) const
{
    Verdict verdict;
    auto consider = [&](qint64 waitMs, LoginBrake brake) {
        if (waitMs > verdict.waitMs)
            verdict = Verdict{waitMs, brake};
    };
    consider(pairs.waitFor(pairKey(user, address), nowMs), LoginBrake::UserAtAddress);
    consider(addresses.waitFor(address, nowMs), LoginBrake::Address);
    if (!knownDevice)
        consider(users.has(user) ? users.waitFor(user, nowMs) : spilled.waitFor(QString(), nowMs),
                 LoginBrake::User);
    return verdict;
}

void LoginThrottle::failed(const QString &user, const QString &address, qint64 nowMs)
{
    if (!pairs.failed(pairKey(user, address), nowMs) || !addresses.failed(address, nowMs))
        serverLog(LogLevel::Warning,
                  "the failed-login table is full; a failure from %s was not counted",
                  qPrintable(address));
    const bool counted = users.failed(user, nowMs);
    if (!counted)
        spilled.failed(QString(), nowMs);
    // Said once as the brake comes on, not at every guess after.
    if ((counted ? users.failures(user) : spilled.failures(QString())) == UserRule.freeFailures)
        serverLog(LogLevel::Warning,
                  "%d failed logins as %s from anywhere: logins as that user now wait, but for "
                  "browsers that logged in as it before",
                  UserRule.freeFailures,
                  !counted ? "names beyond the table's room"
                  : UserStore::validName(user) ? qPrintable(user)
                                               : "a name no user can have");
}

void LoginThrottle::succeeded(const QString &user, const QString &address)
{
    pairs.succeeded(pairKey(user, address));
}

void ControlLocks::saved(int controller, qint64 nowMs)
{
    Holder &h = holders[controller];
    h.mirroredMs = nowMs;
    if (mirror && idOfController)
        mirror->controlSaved(idOfController(controller), h.user, h.sessionHash,
                             nowMs - h.lastUsedMs);
}

void ControlLocks::ended(int controller)
{
    holders[controller] = Holder{};
    if (mirror && idOfController)
        mirror->controlEnded(idOfController(controller));
}

void ControlLocks::adopt(int controller, const QString &user, const QByteArray &sessionHash,
                         qint64 lastUsedMs)
{
    if (controller < 0 || controller >= holders.size())
        return;
    Holder &h = holders[controller];
    // A connection here of the same session keeps it.
    const quint64 connection =
        !user.isEmpty() && h.sessionHash == sessionHash ? h.connection : 0;
    h = user.isEmpty() ? Holder{} : Holder{connection, user, sessionHash, lastUsedMs, lastUsedMs};
}

bool ControlLocks::claim(int controller, quint64 connection, const QByteArray &session,
                         qint64 nowMs)
{
    if (controller < 0 || controller >= holders.size() || connection == 0)
        return false;
    Holder &h = holders[controller];
    if (h.connection != 0 || h.user.isEmpty() || h.sessionHash != sessionHash(session) ||
        nowMs - h.lastUsedMs >= IdleMs)
        return false;
    h.connection = connection;
    return true;
}

bool ControlLocks::take(int controller, quint64 connection, const QString &user,
                        const QByteArray &session, qint64 nowMs)
{
    if (controller < 0 || controller >= holders.size())
        return false;
    Holder &h = holders[controller];
    const QByteArray hash = sessionHash(session);
    // Held by another connection, or kept for another session's page to come back to.
    const bool other = h.connection != 0 ? h.connection != connection
                                         : !h.user.isEmpty() && h.sessionHash != hash;
    if (other && nowMs - h.lastUsedMs < IdleMs)
        return false;
    h = Holder{connection, user, hash, nowMs, nowMs};
    saved(controller, nowMs);
    return true;
}

bool ControlLocks::release(int controller, quint64 connection)
{
    if (!holds(controller, connection))
        return false;
    ended(controller);
    return true;
}

QVector<int> ControlLocks::expire(qint64 nowMs)
{
    QVector<int> released;
    for (int i = 0; i < holders.size(); ++i) {
        if (!holders[i].user.isEmpty() && nowMs - holders[i].lastUsedMs >= IdleMs) {
            ended(i);
            released.append(i);
        }
    }
    return released;
}

bool ControlLocks::useForKey(int controller, quint64 connection, qint64 nowMs)
{
    if (!holds(controller, connection))
        return false;
    // Past the idle time the control is gone even if expire() has not run yet.
    if (nowMs - holders[controller].lastUsedMs >= IdleMs) {
        ended(controller);
        return false;
    }
    holders[controller].lastUsedMs = nowMs;
    if (nowMs - holders[controller].mirroredMs >= MirrorEveryMs)
        saved(controller, nowMs);
    return true;
}

QString ControlLocks::holder(int controller) const
{
    if (controller < 0 || controller >= holders.size())
        return QString();
    return holders[controller].user;
}

bool ControlLocks::holds(int controller, quint64 connection) const
{
    return controller >= 0 && controller < holders.size() && connection != 0 &&
           holders[controller].connection == connection;
}
