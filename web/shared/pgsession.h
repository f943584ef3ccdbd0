// One connection to PostgreSQL through libpq: statements with their parameters as text, rows back
// as text. Blocking, so it belongs to a thread of its own; libpq's keepalive and TCP user timeout
// settings bound how long a vanished database host can hold it.
#ifndef PGSESSION_H
#define PGSESSION_H

#include <QByteArray>
#include <QList>
#include <QString>

struct pg_conn;

class PgSession
{
public:
    using Row = QList<QByteArray>;

    PgSession() = default;
    ~PgSession();
    PgSession(const PgSession &) = delete;
    PgSession &operator=(const PgSession &) = delete;

    // connection: a libpq connection string or URI. Settings it leaves out get bounds suited to
    // a server that must notice a lost database within seconds.
    bool open(const QString &connection, QString *error);
    void close();
    bool isOpen() const { return conn != nullptr; }

    // Runs one statement. rows (may be null) receives the result's rows; affected, the number of
    // rows a command changed. False with the database's words in error; a connection found
    // broken is closed.
    bool run(const char *sql, const QList<QByteArray> &params, QList<Row> *rows, QString *error,
             qint64 *affected = nullptr);
    bool run(const char *sql, QString *error) { return run(sql, {}, nullptr, error); }

    // Whether text reads as a libpq connection string or URI rather than a file's path.
    static bool looksLikeConnection(const QString &text);

private:
    pg_conn *conn = nullptr;
};

#endif // PGSESSION_H
