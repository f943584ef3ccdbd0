#include "sharedtrail.h"

#include "auditlog.h"
#include "pgsession.h"
#include "serverlog.h"
#include "sharedaccess.h"
#include "sharedschema.h"

#include <chrono>
#include <memory>

namespace {

const char tryLock[] =
    "SELECT pg_try_advisory_lock(" SHARED_LOCK_CLASS ", " SHARED_LOCK_OBJECT ")";
const char holdsLock[] = "SELECT " SHARED_HOLDS_LOCK;
// The fence: the row goes in only while this session holds the lock.
const char insertLine[] = "INSERT INTO frontpanel_audit (seq, line) SELECT $1::bigint, $2::text"
                          " WHERE " SHARED_HOLDS_LOCK;

using Clock = std::chrono::steady_clock;

QByteArray withoutNewline(const QByteArray &line)
{
    return line.endsWith('\n') ? line.left(line.size() - 1) : line;
}

} // namespace

struct SharedTrail::Connection
{
    PgSession session;
};

SharedTrail::SharedTrail(const QString &connection)
    : connection(connection), db(std::make_unique<Connection>())
{}

SharedTrail::~SharedTrail()
{
    {
        std::lock_guard<std::mutex> hold(lock);
        stopping = true;
        post = nullptr;
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
}

bool SharedTrail::start(QString *error)
{
    QString problem;
    if (connect(&problem)) {
        currentRole = int(ServerRole::Waiting);
    } else {
        // Wrong tables stop the start; an absent database is waited for.
        if (db->session.isOpen()) {
            *error = problem;
            return false;
        }
        serverLog(LogLevel::Warning, "the database cannot be reached yet (%s): trying again",
                  qPrintable(problem));
        lastProblem = problem;
    }
    thread = std::thread([this] { run(); });
    return true;
}

void SharedTrail::setPost(Post to, TookOver then)
{
    std::unique_lock<std::mutex> hold(lock);
    post = std::move(to);
    tookOver = std::move(then);
    deliverHandOver();
}

// With the lock held; hands over what the last takeover read once there is a thread to take it.
void SharedTrail::deliverHandOver()
{
    if (!handOver || !post || !tookOver)
        return;
    std::shared_ptr<AccessSnapshot> snapshot(handOver.release());
    TookOver then = tookOver;
    post([then, snapshot] { then(*snapshot); });
}

void SharedTrail::writeBehind(const char *sql, const QList<QByteArray> &params)
{
    Job job;
    job.sql = sql;
    job.params = params;
    enqueue(std::move(job));
}

bool SharedTrail::connect(QString *error)
{
    PgSession &s = db->session;
    if (!s.open(connection, error))
        return false;
    // Each line durable on the database before its key leaves; the session of a leader that
    // stops speaking ended, and with it the lock; no statement or lock wait without end; the
    // database's side of a vanished host noticed too.
    const QByteArray silence = QByteArray::number(SilenceMs);
    if (!s.run("SET synchronous_commit = on", error) ||
        !s.run(("SET idle_session_timeout = " + silence).constData(), error) ||
        !s.run(("SET idle_in_transaction_session_timeout = " + silence).constData(), error) ||
        !s.run("SET statement_timeout = 5000", error) || !s.run("SET lock_timeout = 2000", error) ||
        !s.run("SET tcp_keepalives_idle = 4", error) ||
        !s.run("SET tcp_keepalives_interval = 2", error) ||
        !s.run("SET tcp_keepalives_count = 3", error) || !SharedSchema::check(s, error)) {
        return false;
    }
    return true;
}

void SharedTrail::setRoleChanged(std::function<void()> changed)
{
    {
        std::lock_guard<std::mutex> hold(lock);
        roleChanged = changed;
    }
    if (changed)
        changed();
}

bool SharedTrail::leaderSession(QByteArray *pid, QByteArray *startUs) const
{
    std::lock_guard<std::mutex> hold(lock);
    if (leaderPid.isEmpty() || role() != ServerRole::Leading)
        return false;
    *pid = leaderPid;
    *startUs = leaderStartUs;
    return true;
}

void SharedTrail::setRole(ServerRole to)
{
    const ServerRole from = ServerRole(currentRole.exchange(int(to)));
    if (from == to)
        return;
    std::function<void()> changed;
    {
        std::lock_guard<std::mutex> hold(lock);
        changed = roleChanged;
        if (to != ServerRole::Leading)
            leaderPid.clear();
    }
    if (changed)
        changed();
    if (to == ServerRole::Leading)
        serverLog(LogLevel::Info, "leading: this server holds the lock and sends keys");
}

void SharedTrail::run()
{
    Clock::time_point nextBeat = Clock::now();
    int retryMs = HeartbeatMs;
    std::unique_lock<std::mutex> hold(lock);
    while (!stopping) {
        if (!db->session.isOpen()) {
            hold.unlock();
            QString problem;
            const bool up = connect(&problem);
            if (up) {
                lastProblem.clear();
                toldWaiting = false;
                retryMs = HeartbeatMs;
                setRole(ServerRole::Waiting);
                nextBeat = Clock::now();
            } else {
                db->session.close();
                setRole(ServerRole::Connecting);
                if (problem != lastProblem)
                    serverLog(LogLevel::Warning, "the database: %s", qPrintable(problem));
                lastProblem = problem;
            }
            hold.lock();
            if (!up) {
                // Lines asked for meanwhile are refused, never kept for later.
                refuseQueued(hold);
                wake.wait_for(hold, std::chrono::milliseconds(retryMs),
                              [this] { return stopping || !jobs.empty(); });
                retryMs = std::min(retryMs * 2, 5 * HeartbeatMs);
            }
            continue;
        }
        wake.wait_until(hold, nextBeat, [this] { return stopping || !jobs.empty(); });
        if (stopping)
            break;
        hold.unlock();
        // The beat comes first even under a stream of lines, so a waiting server still asks for
        // the lock.
        if (Clock::now() >= nextBeat) {
            if (role() == ServerRole::Leading)
                checkLock();
            else
                tryToLead();
            nextBeat = Clock::now() + std::chrono::milliseconds(HeartbeatMs);
        }
        hold.lock();
        if (!jobs.empty()) {
            Job job = std::move(jobs.front());
            jobs.pop_front();
            hold.unlock();
            handle(job);
            hold.lock();
        }
    }
    hold.unlock();
    // The session ends with the thread; its lock goes with it.
    db->session.close();
}

void SharedTrail::refuseQueued(std::unique_lock<std::mutex> &hold)
{
    while (!jobs.empty()) {
        Job job = std::move(jobs.front());
        jobs.pop_front();
        hold.unlock();
        answer(job.done, TrailWrite::NotLeading, 0);
        hold.lock();
    }
}

void SharedTrail::tryToLead()
{
    QString error;
    QList<PgSession::Row> rows;
    if (!db->session.run(tryLock, {}, &rows, &error) || rows.isEmpty()) {
        stepDown(error);
        return;
    }
    if (rows[0][0] != "t") {
        if (!toldWaiting)
            serverLog(LogLevel::Info, "waiting: another server leads");
        toldWaiting = true;
        setRole(ServerRole::Waiting);
        return;
    }
    toldWaiting = false;
    if (!takeOver(&error)) {
        // Without the head of the chain this server cannot write; the lock goes back.
        if (error != lastProblem)
            serverLog(LogLevel::Error, "cannot take over from the trail: %s", qPrintable(error));
        lastProblem = error;
        QString ignored;
        db->session.run("SELECT pg_advisory_unlock_all()", &ignored);
        stepDown(error);
    }
}

// The chain continues from the table's last line; the keys the server before left without an
// outcome get one, so that every key in the trail says what became of it.
bool SharedTrail::takeOver(QString *error)
{
    QList<PgSession::Row> rows;
    if (!db->session.run("SELECT line FROM frontpanel_audit ORDER BY seq DESC LIMIT $1",
                         {QByteArray::number(TailLines)}, &rows, error))
        return false;
    RecentKeys fresh;
    qint64 seq = 0;
    QByteArray prev;
    for (int i = rows.size() - 1; i >= 0; --i)
        fresh.readLine(rows[i][0] + '\n');
    if (rows.isEmpty()) {
        prev = AuditLog::newTrailId();
        if (prev.isEmpty()) {
            *error = QStringLiteral("no random trail id to be had");
            return false;
        }
    } else {
        const QByteArray last = rows[0][0] + '\n';
        prev = AuditLog::sha256Hex(last);
        const QByteArray number = last.mid(7, last.indexOf(',') - 7);
        seq = number.toLongLong();
        if (!last.startsWith("{\"seq\":") || seq <= 0) {
            *error = QStringLiteral("the trail's last line has no sequence number");
            return false;
        }
    }
    auto access = std::make_unique<AccessSnapshot>();
    if (!SharedAccess::load(db->session, access.get(), error))
        return false;
    QList<PgSession::Row> self;
    if (!db->session.run("SELECT pg_backend_pid(),"
                         " (extract(epoch FROM backend_start) * 1000000)::bigint"
                         " FROM pg_stat_activity WHERE pid = pg_backend_pid()",
                         {}, &self, error))
        return false;
    if (self.isEmpty()) {
        *error = QStringLiteral("the database does not show this server's own session");
        return false;
    }
    const QVector<qint64> open = fresh.closeOpen();
    {
        std::unique_lock<std::mutex> hold(lock);
        latest = fresh;
        headSeq = seq;
        headLineHash = prev;
        leaderPid = self[0][0];
        leaderStartUs = self[0][1];
        handOver = std::move(access);
        deliverHandOver();
    }
    setRole(ServerRole::Leading);
    for (qint64 keySeq : open) {
        QString controller;
        for (const PgSession::Row &row : rows) {
            AuditEntry e;
            if (AuditLog::fromJsonLine(row[0], &e) && e.seq == keySeq)
                controller = e.controller;
        }
        qint64 at = 0;
        if (write(AuditLog::outcomeJson(keySeq, controller, RecentKeys::StoppedFirst), &at) !=
            TrailWrite::Written)
            break;
    }
    return true;
}

void SharedTrail::checkLock()
{
    QString error;
    QList<PgSession::Row> rows;
    if (!db->session.run(holdsLock, {}, &rows, &error) || rows.isEmpty())
        stepDown(error);
    else if (rows[0][0] != "t")
        stepDown(QStringLiteral("the lock is no longer this server's"));
}

void SharedTrail::stepDown(const QString &why)
{
    if (role() == ServerRole::Leading)
        serverLog(LogLevel::Warning, "no longer leading: %s", qPrintable(why));
    setRole(db->session.isOpen() ? ServerRole::Waiting : ServerRole::Connecting);
}

TrailWrite SharedTrail::write(const QByteArray &fields, qint64 *seq)
{
    qint64 next;
    QByteArray prev;
    {
        std::lock_guard<std::mutex> hold(lock);
        next = headSeq + 1;
        prev = headLineHash;
    }
    const QByteArray line = AuditLog::chainedLine(next, prev, fields);
    QString error;
    qint64 affected = 0;
    if (!db->session.run(insertLine, {QByteArray::number(next), withoutNewline(line)}, nullptr,
                         &error, &affected)) {
        ++failures;
        serverLog(LogLevel::Error, "the database did not take line %lld: %s", (long long)next,
                  qPrintable(error));
        // Connected, the database refused this line (a full disk, say): the key is not sent and
        // the server still leads. A lost connection has lost the lock with it.
        if (db->session.isOpen())
            return TrailWrite::Failed;
        stepDown(error);
        return TrailWrite::NotLeading;
    }
    if (affected != 1) {
        ++failures;
        stepDown(QStringLiteral("the lock is no longer this server's"));
        return TrailWrite::NotLeading;
    }
    ++written;
    std::lock_guard<std::mutex> hold(lock);
    headSeq = next;
    headLineHash = AuditLog::sha256Hex(line);
    *seq = next;
    return TrailWrite::Written;
}

void SharedTrail::handle(Job &job)
{
    if (job.sql) {
        QString error;
        // A waiting server has nothing to write: the leader's copy is the one that counts.
        if (role() == ServerRole::Leading && !db->session.run(job.sql, job.params, nullptr, &error))
            serverLog(LogLevel::Warning, "the database did not take a session change: %s",
                      qPrintable(error));
        return;
    }
    if (role() != ServerRole::Leading) {
        answer(job.done, TrailWrite::NotLeading, 0);
        return;
    }
    qint64 seq = 0;
    const TrailWrite result = write(job.fields, &seq);
    if (result == TrailWrite::Written) {
        std::lock_guard<std::mutex> hold(lock);
        if (job.isKey) {
            job.entry.seq = seq;
            latest.key(job.entry);
        } else {
            latest.outcome(job.entry.controller, job.keySeq, job.outcome);
        }
    }
    answer(job.done, result, seq);
}

void SharedTrail::answer(const Done &done, TrailWrite result, qint64 seq)
{
    // Posted under the lock (a post only queues), so that once setPost(nullptr) returns no
    // answer is still on its way into the context that is going.
    std::lock_guard<std::mutex> hold(lock);
    if (post && done)
        post([done, result, seq] { done(result, seq); });
}

void SharedTrail::record(const AuditEntry &entry, Done done)
{
    Job job;
    job.fields = AuditLog::entryJson(entry);
    job.entry = entry;
    job.done = std::move(done);
    enqueue(std::move(job));
}

void SharedTrail::recordOutcome(qint64 keySeq, const QString &controller, const QString &outcome,
                                Done done)
{
    Job job;
    job.fields = AuditLog::outcomeJson(keySeq, controller, outcome);
    job.isKey = false;
    job.entry.controller = controller;
    job.keySeq = keySeq;
    job.outcome = outcome;
    job.done = std::move(done);
    enqueue(std::move(job));
}

void SharedTrail::enqueue(Job job)
{
    {
        std::lock_guard<std::mutex> hold(lock);
        if (int(jobs.size()) < MaxQueued) {
            jobs.push_back(std::move(job));
            wake.notify_one();
            return;
        }
    }
    ++failures;
    answer(job.done, TrailWrite::Failed, 0);
}

QVector<AuditEntry> SharedTrail::recent(const QString &controller) const
{
    std::lock_guard<std::mutex> hold(lock);
    return latest.of(controller);
}

qint64 SharedTrail::headSequence() const
{
    std::lock_guard<std::mutex> hold(lock);
    return headSeq;
}

QByteArray SharedTrail::headHash() const
{
    std::lock_guard<std::mutex> hold(lock);
    return headLineHash;
}

bool SharedTrail::verify(const QString &connection, QString *report)
{
    PgSession db;
    QString error;
    QList<PgSession::Row> rows;
    if (!db.open(connection, &error) || !SharedSchema::check(db, &error) ||
        !db.run("SELECT line FROM frontpanel_audit ORDER BY seq", {}, &rows, &error)) {
        *report = QStringLiteral("database:0: %1").arg(error);
        return false;
    }
    QByteArray all;
    for (const PgSession::Row &row : rows)
        all += row[0] + '\n';
    return AuditLog::verifyLines(all, QStringLiteral("database"), report);
}
