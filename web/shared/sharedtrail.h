// The audit trail of a pair of servers, in PostgreSQL, and which of the two leads. The server
// whose connection holds the pair's advisory lock leads: it records keys and so may send them.
// Every line is written on that same connection by a statement that checks the lock is still
// held, so a leader that was paused or cut off and lost the lock cannot record a key, and
// therefore cannot send one. The database ends a session silent for SilenceMs, which frees the
// lock of a leader that was stopped or hangs; a leader speaks every HeartbeatMs.
//
// The connection belongs to a thread of its own; the network thread hands it lines and gets the
// answers back through the post function.
#ifndef SHAREDTRAIL_H
#define SHAREDTRAIL_H

#include "accessmirror.h"
#include "keytrail.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// The pair's advisory lock, pg_try_advisory_lock(class, object): "FPNL", 1; and the condition
// that this session holds it now (a two-key advisory lock shows objsubid 2), which every
// statement that writes carries.
#define SHARED_LOCK_CLASS "1179667020"
#define SHARED_LOCK_OBJECT "1"
#define SHARED_HOLDS_LOCK                                                                          \
    "EXISTS (SELECT 1 FROM pg_locks WHERE locktype = 'advisory' AND granted"                       \
    " AND pid = pg_backend_pid() AND classid = " SHARED_LOCK_CLASS                                 \
    " AND objid = " SHARED_LOCK_OBJECT " AND objsubid = 2)"
// The condition, for a statement on another connection of the same server, that the lock is
// held now by the trail's connection, named by its backend's pid ($1) and start in microseconds
// since 1970 ($2) as leaderSession gives them: a pid alone could have been reused.
#define SHARED_LEADER_IS                                                                           \
    "EXISTS (SELECT 1 FROM pg_locks l JOIN pg_stat_activity a ON a.pid = l.pid"                    \
    " WHERE l.locktype = 'advisory' AND l.granted AND l.classid = " SHARED_LOCK_CLASS             \
    " AND l.objid = " SHARED_LOCK_OBJECT " AND l.objsubid = 2 AND l.pid = $1::int"                 \
    " AND (extract(epoch FROM a.backend_start) * 1000000)::bigint = $2::bigint)"

enum class ServerRole {
    // Not connected to the database (or it is at another version).
    Connecting,
    // Connected; another server holds the lock.
    Waiting,
    Leading,
};

class SharedTrail : public KeyTrail
{
public:
    static constexpr int HeartbeatMs = 1000;
    static constexpr int SilenceMs = 4000;
    // Lines waiting for the database beyond this are refused at once.
    static constexpr int MaxQueued = 1000;
    // Keys read back when this server takes over, for the panels' latest keys and the outcomes
    // left open by the server before.
    static constexpr int TailLines = 2000;

    using Post = std::function<void(std::function<void()>)>;
    using TookOver = std::function<void(const AccessSnapshot &)>;

    explicit SharedTrail(const QString &connection);
    ~SharedTrail() override;

    // Starts the thread. A database that answers but is at another version stops the start with
    // error; one that cannot be reached yet is tried again until it can.
    bool start(QString *error);
    // Where answers are run (the network thread); empty: answers are dropped. tookOver gets,
    // there, the sessions and control the server before left, each time this one takes over.
    void setPost(Post post, TookOver tookOver = nullptr);
    // A statement run on the trail's connection when its turn comes, if this server still
    // leads then; nobody waits for it.
    void writeBehind(const char *sql, const QList<QByteArray> &params);
    ServerRole role() const { return ServerRole(currentRole.load()); }
    // While this server leads, the trail's session as SHARED_LEADER_IS names it; false otherwise.
    bool leaderSession(QByteArray *pid, QByteArray *startUs) const;
    // Called on the trail's thread whenever the role changes, and once now: read role() then.
    void setRoleChanged(std::function<void()> changed);

    bool leading() const override { return role() == ServerRole::Leading; }
    void record(const AuditEntry &entry, Done done) override;
    void recordOutcome(qint64 keySeq, const QString &controller, const QString &outcome,
                       Done done) override;
    QVector<AuditEntry> recent(const QString &controller) const override;
    qint64 headSequence() const override;
    QByteArray headHash() const override;
    quint64 linesWritten() const override { return written.load(); }
    quint64 writeFailures() const override { return failures.load(); }

    // Checks the chain of the table as --verify-audit checks a file.
    static bool verify(const QString &connection, QString *report);

private:
    struct Job
    {
        QByteArray fields;
        // A key's entry, or for an outcome the key's line and what became of it.
        AuditEntry entry;
        bool isKey = true;
        qint64 keySeq = 0;
        QString outcome;
        Done done;
        // A statement written behind instead of a line.
        const char *sql = nullptr;
        QList<QByteArray> params;
    };

    void run();
    void refuseQueued(std::unique_lock<std::mutex> &hold);
    void enqueue(Job job);
    bool connect(QString *error);
    void tryToLead();
    bool takeOver(QString *error);
    void checkLock();
    void stepDown(const QString &why);
    // Writes one line, fenced by the lock: Written with its sequence number, or why not.
    TrailWrite write(const QByteArray &fields, qint64 *seq);
    void handle(Job &job);
    void answer(const Done &done, TrailWrite written, qint64 seq);
    void setRole(ServerRole to);
    // With the lock held.
    void deliverHandOver();

    const QString connection;
    std::atomic<int> currentRole{int(ServerRole::Connecting)};
    std::atomic<quint64> written{0}, failures{0};

    mutable std::mutex lock;
    std::condition_variable wake;
    std::deque<Job> jobs;
    bool stopping = false;
    Post post;
    std::function<void()> roleChanged;
    TookOver tookOver;
    // What the last takeover read, until it can be handed over.
    std::unique_ptr<AccessSnapshot> handOver;
    RecentKeys latest;
    qint64 headSeq = 0;
    QByteArray headLineHash;
    // The session that holds the lock, while this server leads.
    QByteArray leaderPid, leaderStartUs;

    // The thread's own.
    struct Connection;
    std::unique_ptr<Connection> db;
    QString lastProblem;
    bool toldWaiting = false;
    std::thread thread;
};

#endif // SHAREDTRAIL_H
