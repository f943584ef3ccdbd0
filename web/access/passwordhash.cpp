#include "passwordhash.h"

#include <argon2.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <QStringList>

namespace {

// What a users file may ask for. The file is the administrator's, but a slip of the finger must
// not make every login take a gigabyte or a minute.
constexpr int MinIterations = 1000;
constexpr int MaxIterations = 10000000;
constexpr int MaxMemoryKiB = 256 * 1024;
constexpr int MaxPasses = 64;
constexpr int MaxLanes = 16;

QByteArray derive(const PasswordHash &stored, const QByteArray &password)
{
    QByteArray out(PasswordHash::HashBytes, Qt::Uninitialized);
    bool ok = false;
    if (stored.scheme == PasswordHash::Scheme::Argon2id) {
        ok = argon2id_hash_raw(uint32_t(stored.passes), uint32_t(stored.memoryKiB),
                               uint32_t(stored.lanes), password.constData(),
                               size_t(password.size()), stored.salt.constData(),
                               size_t(stored.salt.size()), out.data(),
                               size_t(out.size())) == ARGON2_OK;
    } else {
        ok = PKCS5_PBKDF2_HMAC(password.constData(), password.size(),
                               reinterpret_cast<const unsigned char *>(stored.salt.constData()),
                               stored.salt.size(), stored.iterations, EVP_sha256(), out.size(),
                               reinterpret_cast<unsigned char *>(out.data())) == 1;
    }
    return ok ? out : QByteArray();
}

bool number(const QString &text, const QString &name, int low, int high, int *out,
            QString *error)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high) {
        *error = QStringLiteral("%1 must be a number from %2 to %3").arg(name).arg(low).arg(high);
        return false;
    }
    *out = value;
    return true;
}

} // namespace

PasswordHash PasswordHash::make(const QString &password)
{
    PasswordHash made;
    made.scheme = Scheme::Argon2id;
    made.passes = Argon2Passes;
    made.memoryKiB = Argon2MemoryKiB;
    made.lanes = Argon2Lanes;
    made.salt.resize(SaltBytes);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(made.salt.data()), SaltBytes) != 1)
        return made;
    made.hash = derive(made, password.toUtf8());
    return made;
}

bool PasswordHash::matches(const QString &password) const
{
    const QByteArray derived = derive(*this, password.toUtf8());
    return !hash.isEmpty() && derived.size() == hash.size() &&
           CRYPTO_memcmp(derived.constData(), hash.constData(), size_t(hash.size())) == 0;
}

bool PasswordHash::isCurrent() const
{
    return scheme == Scheme::Argon2id && memoryKiB >= Argon2MemoryKiB &&
           passes >= Argon2Passes;
}

QByteArray PasswordHash::parametersText() const
{
    if (scheme == Scheme::Pbkdf2Sha256)
        return QByteArray::number(iterations);
    return "argon2id,m=" + QByteArray::number(memoryKiB) + ",t=" + QByteArray::number(passes) +
           ",p=" + QByteArray::number(lanes);
}

bool PasswordHash::parseParameters(const QString &text, QString *error)
{
    if (!text.startsWith(QLatin1String("argon2id"))) {
        scheme = Scheme::Pbkdf2Sha256;
        if (!number(text, QStringLiteral("iterations"), MinIterations, MaxIterations,
                    &iterations, error)) {
            *error = QStringLiteral("iterations must be a number of at least %1 (or "
                                    "argon2id,m=KIB,t=PASSES,p=LANES)")
                         .arg(MinIterations);
            return false;
        }
        return true;
    }
    scheme = Scheme::Argon2id;
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4 || parts[0] != QLatin1String("argon2id") ||
        !parts[1].startsWith(QLatin1String("m=")) || !parts[2].startsWith(QLatin1String("t=")) ||
        !parts[3].startsWith(QLatin1String("p="))) {
        *error = QStringLiteral("expected argon2id,m=KIB,t=PASSES,p=LANES");
        return false;
    }
    if (!number(parts[3].mid(2), QStringLiteral("argon2id lanes (p)"), 1, MaxLanes, &lanes,
                error) ||
        !number(parts[2].mid(2), QStringLiteral("argon2id passes (t)"), 1, MaxPasses, &passes,
                error) ||
        !number(parts[1].mid(2), QStringLiteral("argon2id memory (m, KiB)"), 8 * lanes,
                MaxMemoryKiB, &memoryKiB, error))
        return false;
    return true;
}
