#include "accessrules.h"

#include "serverlog.h"

#include <QRandomGenerator>

QByteArray SessionStore::create(const QString &user, Role role, qint64 nowMs)
{
    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    const QByteArray id =
        QByteArray(reinterpret_cast<const char *>(words), sizeof words)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    sessions.insert(id, Session{user, role, nowMs});
    return id;
}

Session *SessionStore::use(const QByteArray &id, qint64 nowMs)
{
    auto it = sessions.find(id);
    if (it == sessions.end())
        return nullptr;
    if (nowMs - it->lastUsedMs >= idleMs) {
        sessions.erase(it);
        return nullptr;
    }
    it->lastUsedMs = nowMs;
    return &*it;
}

void SessionStore::end(const QByteArray &id)
{
    sessions.remove(id);
}

QStringList SessionStore::users() const
{
    QStringList out;
    for (const Session &session : sessions) {
        if (!out.contains(session.user))
            out.append(session.user);
    }
    return out;
}

void SessionStore::setRole(const QString &user, Role role)
{
    for (Session &session : sessions) {
        if (session.user == user)
            session.role = role;
    }
}

void SessionStore::endUser(const QString &user)
{
    for (auto it = sessions.begin(); it != sessions.end();) {
        if (it->user == user)
            it = sessions.erase(it);
        else
            ++it;
    }
}

void SessionStore::expire(qint64 nowMs)
{
    for (auto it = sessions.begin(); it != sessions.end();) {
        if (nowMs - it->lastUsedMs >= idleMs)
            it = sessions.erase(it);
        else
            ++it;
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

bool ControlLocks::take(int controller, quint64 connection, const QString &user, qint64 nowMs)
{
    if (controller < 0 || controller >= holders.size())
        return false;
    Holder &h = holders[controller];
    if (h.connection != 0 && h.connection != connection && nowMs - h.lastUsedMs < IdleMs)
        return false;
    h = Holder{connection, user, nowMs};
    return true;
}

bool ControlLocks::release(int controller, quint64 connection)
{
    if (!holds(controller, connection))
        return false;
    holders[controller] = Holder{};
    return true;
}

QVector<int> ControlLocks::expire(qint64 nowMs)
{
    QVector<int> released;
    for (int i = 0; i < holders.size(); ++i) {
        if (holders[i].connection != 0 && nowMs - holders[i].lastUsedMs >= IdleMs) {
            holders[i] = Holder{};
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
        holders[controller] = Holder{};
        return false;
    }
    holders[controller].lastUsedMs = nowMs;
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
