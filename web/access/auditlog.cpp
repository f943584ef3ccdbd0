#include "auditlog.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QStringList>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The latest keys are looked for in this much of the file's end, so that a start does not read
// years of trail.
constexpr qint64 TailBytes = 1 << 20;
// Every chained line starts so: {"seq":N,"prev":"<64 hex digits or a 32-digit log id>",
const QByteArray SeqPrefix = "{\"seq\":";
const QByteArray PrevPrefix = ",\"prev\":\"";

struct ChainFields
{
    qint64 seq = -1;
    QByteArray prev;
};

// The chain fields at the start of a line; seq -1 for a line without them (written before the
// trail was chained).
ChainFields chainFields(const QByteArray &line)
{
    ChainFields f;
    if (!line.startsWith(SeqPrefix))
        return f;
    int at = SeqPrefix.size();
    qint64 seq = 0;
    int digits = 0;
    while (at < line.size() && line[at] >= '0' && line[at] <= '9' && digits < 18) {
        seq = seq * 10 + (line[at] - '0');
        ++at;
        ++digits;
    }
    if (digits == 0 || line.mid(at, PrevPrefix.size()) != PrevPrefix)
        return f;
    at += PrevPrefix.size();
    const int end = line.indexOf('"', at);
    if (end < 0)
        return f;
    f.seq = seq;
    f.prev = line.mid(at, end - at);
    return f;
}

bool isHex(const QByteArray &text, int length)
{
    if (text.size() != length)
        return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

} // namespace

AuditLog::~AuditLog()
{
    if (fd >= 0)
        ::close(fd);
}

QByteArray AuditLog::sha256Hex(const QByteArray &bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.constData(), size_t(bytes.size()), digest, &length, EVP_sha256(),
                   nullptr) != 1)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
}

bool AuditLog::open(const QString &path, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    fd = ::open(name.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        *error = QStringLiteral("%1: cannot open the audit log: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat info{};
    ::fstat(fd, &info);
    size = qint64(info.st_size);
    const qint64 start = size > TailBytes ? size - TailBytes : 0;
    QByteArray tail(int(size - start), '\0');
    if (!tail.isEmpty() && ::pread(fd, tail.data(), size_t(tail.size()), off_t(start)) != tail.size()) {
        *error = QStringLiteral("%1: cannot read the audit log").arg(path);
        return false;
    }
    // A line the disk or a crash left half written is no entry: it goes.
    const int lastNewline = tail.lastIndexOf('\n');
    const qint64 whole = start + lastNewline + 1;
    if (whole < size) {
        if (::ftruncate(fd, off_t(whole)) != 0) {
            *error = QStringLiteral("%1: cannot cut off a partial last line").arg(path);
            return false;
        }
        tail.truncate(lastNewline + 1);
        size = whole;
    }
    // A tail that starts mid-file starts mid-line: that first piece is not a whole entry.
    int from = start > 0 ? tail.indexOf('\n') + 1 : 0;
    QByteArray lastLine;
    while (from < tail.size()) {
        const int end = tail.indexOf('\n', from);
        if (end < 0)
            break;
        lastLine = tail.mid(from, end - from + 1);
        latest.readLine(lastLine);
        from = end + 1;
    }
    latest.closeOpen();
    if (lastLine.isEmpty()) {
        // A new log: its first line carries a random id where the hash of a line before would be.
        lastHash = newTrailId();
        if (lastHash.isEmpty()) {
            *error = QStringLiteral("%1: no random log id to be had").arg(path);
            return false;
        }
        sequence = 0;
    } else {
        lastHash = sha256Hex(lastLine);
        // A trail written before lines were chained starts its chain at 1 after its last line.
        sequence = qMax<qint64>(0, chainFields(lastLine).seq);
    }
    return true;
}

QByteArray AuditLog::newTrailId()
{
    unsigned char id[16];
    if (RAND_bytes(id, sizeof id) != 1)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(id), sizeof id).toHex();
}

QByteArray AuditLog::chainedLine(qint64 seq, const QByteArray &prev, const QByteArray &fields)
{
    return SeqPrefix + QByteArray::number(seq) + PrevPrefix + prev + "\"," + fields + "}\n";
}

bool AuditLog::append(const AuditEntry &entry)
{
    if (!appendLine(entryJson(entry)))
        return false;
    AuditEntry kept = entry;
    kept.seq = sequence;
    latest.key(kept);
    return true;
}

QByteArray AuditLog::outcomeJson(qint64 keySeq, const QString &controller, const QString &outcome)
{
    const QJsonObject object{
        {QStringLiteral("time"),
         QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {QStringLiteral("controller"), controller},
        {QStringLiteral("of"), keySeq},
        {QStringLiteral("outcome"), outcome},
    };
    const QByteArray json = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return json.mid(1, json.size() - 2);
}

bool AuditLog::appendOutcome(qint64 keySeq, const QString &controller, const QString &outcome)
{
    if (!appendLine(outcomeJson(keySeq, controller, outcome)))
        return false;
    latest.outcome(controller, keySeq, outcome);
    return true;
}

void AuditLog::record(const AuditEntry &entry, Done done)
{
    const bool ok = append(entry);
    done(ok ? TrailWrite::Written : TrailWrite::Failed, ok ? sequence : 0);
}

void AuditLog::recordOutcome(qint64 keySeq, const QString &controller, const QString &outcome,
                             Done done)
{
    const bool ok = appendOutcome(keySeq, controller, outcome);
    done(ok ? TrailWrite::Written : TrailWrite::Failed, ok ? sequence : 0);
}

bool AuditLog::appendLine(const QByteArray &fields)
{
    if (fd < 0) {
        ++failures;
        return false;
    }
    const QByteArray line = chainedLine(sequence + 1, lastHash, fields);
    const ssize_t written = ::write(fd, line.constData(), size_t(line.size()));
    // On disk before the key leaves: a crash right after the send still leaves the entry.
    if (written != line.size() || ::fsync(fd) != 0) {
        // Nothing of a line that failed may stay to be found later.
        if (::ftruncate(fd, off_t(size)) != 0)
            ::fsync(fd);
        ++failures;
        return false;
    }
    size += line.size();
    ++sequence;
    ++this->written;
    lastHash = sha256Hex(line);
    return true;
}

QByteArray AuditLog::entryJson(const AuditEntry &entry)
{
    const QJsonObject object{
        {QStringLiteral("time"), entry.time.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("user"), entry.user},
        {QStringLiteral("address"), entry.address},
        {QStringLiteral("controller"), entry.controller},
        {QStringLiteral("code"), entry.code},
        {QStringLiteral("key"), entry.keyName},
    };
    const QByteArray json = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return json.mid(1, json.size() - 2);
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
    entry->seq = qint64(o.value(QStringLiteral("seq")).toDouble());
    // Outcome lines carry a time and a controller too, but no key.
    return entry->time.isValid() && !entry->controller.isEmpty() &&
           o.contains(QStringLiteral("key"));
}

bool AuditLog::verify(const QString &path, QString *report)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *report = QStringLiteral("%1:0: cannot read: %2").arg(path, file.errorString());
        return false;
    }
    return verifyLines(file.readAll(), path, report);
}

bool AuditLog::verifyLines(const QByteArray &all, const QString &path, QString *report)
{
    auto broken = [&](qint64 line, const QString &what) {
        *report = QStringLiteral("%1:%2: %3").arg(path).arg(line).arg(what);
        return false;
    };
    qint64 number = 0, expected = 0, legacy = 0;
    QByteArray previousLine;
    // Keys seen and outcomes seen, to name the keys that have none.
    QSet<qint64> keysWithoutOutcome;
    for (int from = 0; from < all.size();) {
        ++number;
        const int end = all.indexOf('\n', from);
        if (end < 0)
            return broken(number, QStringLiteral("partial line at the end (cut short)"));
        const QByteArray line = all.mid(from, end - from + 1);
        from = end + 1;
        const ChainFields f = chainFields(line);
        if (f.seq < 0) {
            // Lines from before the chain may only come first.
            if (expected > 0)
                return broken(number, QStringLiteral("line without sequence number inside the chain"));
            ++legacy;
            previousLine = line;
            continue;
        }
        if (expected == 0) {
            // The chain's first line: after the unchained lines, or a new log's random id.
            expected = f.seq;
            if (legacy == 0 && f.seq != 1)
                return broken(number, QStringLiteral("the log starts at sequence %1, not 1 "
                                                     "(lines removed from its start)")
                                          .arg(f.seq));
            const bool fits = previousLine.isEmpty() ? isHex(f.prev, 32)
                                                     : f.prev == sha256Hex(previousLine);
            if (!fits)
                return broken(number, QStringLiteral("the first chained line does not follow "
                                                     "the line before it"));
        } else if (f.seq != expected) {
            return broken(number, QStringLiteral("sequence %1 where %2 was due (a line removed "
                                                 "or moved)")
                                      .arg(f.seq)
                                      .arg(expected));
        } else if (f.prev != sha256Hex(previousLine)) {
            return broken(number, QStringLiteral("the line before it was changed, or lines were "
                                                 "moved"));
        }
        if (line.contains(",\"key\":\"")) {
            keysWithoutOutcome.insert(f.seq);
        } else {
            const int of = line.indexOf(",\"of\":");
            if (of > 0)
                keysWithoutOutcome.remove(line.mid(of + 6, 20).split(',').first().toLongLong());
        }
        ++expected;
        previousLine = line;
    }
    if (expected == 0) {
        *report = QStringLiteral("%1: %2 lines, no chained line yet").arg(path).arg(number);
        return true;
    }
    *report = QStringLiteral("%1: %2 lines, chain intact; head: sequence %3, sha256 %4")
                  .arg(path)
                  .arg(number)
                  .arg(expected - 1)
                  .arg(QString::fromLatin1(sha256Hex(previousLine)));
    if (!keysWithoutOutcome.isEmpty()) {
        QList<qint64> open = keysWithoutOutcome.values();
        std::sort(open.begin(), open.end());
        QStringList shown;
        for (int i = 0; i < open.size() && i < 20; ++i)
            shown << QString::number(open[i]);
        *report += QStringLiteral("\nkeys without an outcome (in flight when the server stopped): "
                                  "%1%2")
                       .arg(shown.join(QStringLiteral(", ")),
                            open.size() > 20 ? QStringLiteral(" and %1 more").arg(open.size() - 20)
                                             : QString());
    }
    return true;
}
