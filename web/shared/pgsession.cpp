#include "pgsession.h"

#include <QRegularExpression>
#include <QVector>

#include <libpq-fe.h>

namespace {

// Given before the city's own connection string, which may override any of them: a database host
// that vanishes is noticed within about 10 s, whether the link is idle or a statement is on its
// way.
const char *const defaultKeys[] = {"connect_timeout", "keepalives",      "keepalives_idle",
                                   "keepalives_interval", "keepalives_count",
                                   "tcp_user_timeout", "application_name"};
const char *const defaultValues[] = {"5", "1", "4", "2", "3", "10000", "frontpanel-web"};
constexpr int Defaults = int(sizeof defaultKeys / sizeof defaultKeys[0]);

// The database's notices ("already exists, skipping") are not the operator's business.
void dropNotice(void *, const char *) {}

QString words(const char *message)
{
    // libpq words a lost connection over three lines; the log keeps one.
    return QString::fromUtf8(message).simplified();
}

} // namespace

PgSession::~PgSession()
{
    close();
}

bool PgSession::open(const QString &connection, QString *error)
{
    close();
    const QByteArray given = connection.toUtf8();
    const char *keys[Defaults + 2];
    const char *values[Defaults + 2];
    for (int i = 0; i < Defaults; ++i) {
        keys[i] = defaultKeys[i];
        values[i] = defaultValues[i];
    }
    keys[Defaults] = "dbname";
    values[Defaults] = given.constData();
    keys[Defaults + 1] = nullptr;
    values[Defaults + 1] = nullptr;
    conn = PQconnectdbParams(keys, values, 1);
    if (!conn || PQstatus(conn) != CONNECTION_OK) {
        *error = conn ? words(PQerrorMessage(conn)) : QStringLiteral("out of memory");
        close();
        return false;
    }
    PQsetNoticeProcessor(conn, dropNotice, nullptr);
    return true;
}

void PgSession::close()
{
    if (conn)
        PQfinish(conn);
    conn = nullptr;
}

bool PgSession::run(const char *sql, const QList<QByteArray> &params, QList<Row> *rows,
                    QString *error, qint64 *affected)
{
    if (!conn) {
        *error = QStringLiteral("not connected");
        return false;
    }
    QVector<const char *> values;
    for (const QByteArray &p : params)
        values.append(p.constData());
    PGresult *result = PQexecParams(conn, sql, int(values.size()), nullptr, values.constData(),
                                    nullptr, nullptr, 0);
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (!ok) {
        *error = words(result ? PQresultErrorMessage(result) : PQerrorMessage(conn));
        if (error->isEmpty())
            *error = words(PQerrorMessage(conn));
    } else {
        if (rows) {
            rows->clear();
            const int columns = PQnfields(result);
            for (int r = 0; r < PQntuples(result); ++r) {
                Row row;
                for (int c = 0; c < columns; ++c)
                    row.append(QByteArray(PQgetvalue(result, r, c), PQgetlength(result, r, c)));
                rows->append(row);
            }
        }
        if (affected)
            *affected = QByteArray(PQcmdTuples(result)).toLongLong();
    }
    PQclear(result);
    if (PQstatus(conn) != CONNECTION_OK)
        close();
    return ok;
}

bool PgSession::looksLikeConnection(const QString &text)
{
    static const QRegularExpression keyword(QStringLiteral("^\\s*[A-Za-z_]+\\s*="));
    return text.startsWith(QLatin1String("postgresql://")) ||
           text.startsWith(QLatin1String("postgres://")) || keyword.match(text).hasMatch();
}
