#include "auditlog.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

namespace {

// The latest keys are looked for in this much of the file's end, so that a start does not read
// years of trail.
constexpr qint64 TailBytes = 1 << 20;

} // namespace

bool AuditLog::open(const QString &path, QString *error)
{
    file.setFileName(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append)) {
        *error = QStringLiteral("%1: cannot open the audit log: %2").arg(path, file.errorString());
        return false;
    }
    const qint64 size = file.size();
    const qint64 start = size > TailBytes ? size - TailBytes : 0;
    if (file.seek(start)) {
        QByteArray tail = file.read(size - start);
        // A tail that starts mid-file starts mid-line: that first piece is not a whole entry.
        int from = 0;
        if (start > 0)
            from = tail.indexOf('\n') + 1;
        while (from > -1 && from < tail.size()) {
            int end = tail.indexOf('\n', from);
            if (end < 0)
                end = tail.size();
            AuditEntry entry;
            if (fromJsonLine(tail.mid(from, end - from), &entry))
                remember(entry);
            from = end + 1;
        }
    }
    // Append mode writes at the end whatever the read position.
    return true;
}

bool AuditLog::append(const AuditEntry &entry)
{
    const QByteArray line = toJsonLine(entry);
    if (file.write(line) != line.size() || !file.flush())
        return false;
    // On disk before the key leaves: a crash right after the send still leaves the entry.
    if (::fsync(file.handle()) != 0)
        return false;
    remember(entry);
    return true;
}

QVector<AuditEntry> AuditLog::recent(const QString &controller) const
{
    return latest.value(controller);
}

void AuditLog::remember(const AuditEntry &entry)
{
    QVector<AuditEntry> &list = latest[entry.controller];
    if (list.size() == RecentKeys)
        list.removeFirst();
    list.append(entry);
}

QByteArray AuditLog::toJsonLine(const AuditEntry &entry)
{
    const QJsonObject object{
        {QStringLiteral("time"), entry.time.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("user"), entry.user},
        {QStringLiteral("address"), entry.address},
        {QStringLiteral("controller"), entry.controller},
        {QStringLiteral("code"), entry.code},
        {QStringLiteral("key"), entry.keyName},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

bool AuditLog::fromJsonLine(const QByteArray &line, AuditEntry *entry)
{
    const QJsonDocument document = QJsonDocument::fromJson(line);
    if (!document.isObject())
        return false;
    const QJsonObject o = document.object();
    entry->time =
        QDateTime::fromString(o.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
    entry->user = o.value(QStringLiteral("user")).toString();
    entry->address = o.value(QStringLiteral("address")).toString();
    entry->controller = o.value(QStringLiteral("controller")).toString();
    entry->code = o.value(QStringLiteral("code")).toInt();
    entry->keyName = o.value(QStringLiteral("key")).toString();
    return entry->time.isValid() && !entry->controller.isEmpty();
}
