// The latest keys of each controller with what became of them, as the panels show them, read
// back from the trail's last lines at a start and kept up as keys and outcomes are written.
#ifndef RECENTKEYS_H
#define RECENTKEYS_H

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QVector>

struct AuditEntry
{
    QDateTime time; // UTC
    QString user;
    QString address; // the client's
    QString controller;
    int code = 0;
    QString keyName;
    // The key's line in the trail, and what became of the key: "answered", "no answer",
    // "dropped: <reason>", or empty while in flight (or when the server stopped first).
    qint64 seq = 0;
    QString outcome;
};

class RecentKeys
{
public:
    // The panel shows this many of a controller's latest keys.
    static constexpr int PerController = 20;
    static const QString StoppedFirst;

    void key(const AuditEntry &entry);
    void outcome(const QString &controller, qint64 keySeq, const QString &outcome);
    // A line of the trail, as written: a key, an outcome, or neither (ignored).
    void readLine(const QByteArray &line);
    // Keys read back without an outcome were in flight when the server that sent them stopped:
    // nothing more will be learnt of them. Their sequence numbers.
    QVector<qint64> closeOpen();
    QVector<AuditEntry> of(const QString &controller) const { return latest.value(controller); }

private:
    QHash<QString, QVector<AuditEntry>> latest;
};

#endif // RECENTKEYS_H
