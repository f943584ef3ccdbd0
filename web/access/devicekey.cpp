#include "devicekey.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr auto Base64 = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;
// A user name is at most 64 characters; the whole note stays far below a header's limit.
constexpr int MaxValueBytes = 512;

} // namespace

DeviceKey::DeviceKey() : key(KeyBytes, '\0')
{
    if (RAND_bytes(reinterpret_cast<unsigned char *>(key.data()), KeyBytes) != 1)
        key.clear(); // signs nothing: no browser is known
}

bool DeviceKey::load(const QString &path, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) {
        QByteArray fresh(KeyBytes, '\0');
        if (RAND_bytes(reinterpret_cast<unsigned char *>(fresh.data()), KeyBytes) != 1) {
            *error = QStringLiteral("no random bytes for the device key");
            return false;
        }
        fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                    0600);
        const bool written = fd >= 0 && ::write(fd, fresh.constData(), KeyBytes) == KeyBytes &&
                             ::fsync(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        if (!written) {
            ::unlink(name.constData());
            *error = QStringLiteral("%1: cannot write the device key: %2")
                         .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        key = fresh;
        return true;
    }
    if (fd < 0) {
        *error = QStringLiteral("%1: cannot read the device key: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    char bytes[KeyBytes + 1];
    const ssize_t got = ::read(fd, bytes, sizeof bytes);
    ::close(fd);
    if (got != KeyBytes) {
        *error = QStringLiteral("%1: not a device key of %2 bytes").arg(path).arg(KeyBytes);
        return false;
    }
    key = QByteArray(bytes, KeyBytes);
    return true;
}

QByteArray DeviceKey::sign(const QByteArray &text) const
{
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (key.isEmpty() ||
        !HMAC(EVP_sha256(), key.constData(), key.size(),
              reinterpret_cast<const unsigned char *>(text.constData()), size_t(text.size()), mac,
              &length))
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(mac), int(length));
}

QByteArray DeviceKey::issue(const QString &user, qint64 nowMs) const
{
    const QByteArray text = user.toUtf8().toBase64(Base64) + '.' + QByteArray::number(nowMs);
    const QByteArray mac = sign(text);
    return mac.isEmpty() ? QByteArray() : text + '.' + mac.toBase64(Base64);
}

bool DeviceKey::vouchesFor(const QByteArray &value, const QString &user, qint64 nowMs) const
{
    if (value.size() > MaxValueBytes)
        return false;
    const int lastDot = value.lastIndexOf('.');
    if (lastDot <= 0)
        return false;
    const QByteArray text = value.left(lastDot);
    const auto given = QByteArray::fromBase64Encoding(value.mid(lastDot + 1),
                                                      QByteArray::Base64UrlEncoding |
                                                          QByteArray::AbortOnBase64DecodingErrors);
    const QByteArray expected = sign(text);
    if (!given || expected.isEmpty() || given.decoded.size() != expected.size() ||
        CRYPTO_memcmp(given.decoded.constData(), expected.constData(),
                      size_t(expected.size())) != 0)
        return false;
    // Signed by us: the fields are ours, but checked all the same.
    const QList<QByteArray> fields = text.split('.');
    if (fields.size() != 2 || fields[0] != user.toUtf8().toBase64(Base64))
        return false;
    bool ok = false;
    const qint64 issuedMs = fields[1].toLongLong(&ok);
    return ok && issuedMs <= nowMs + 60 * 1000 && nowMs - issuedMs < LifetimeMs;
}
