#include "usmkeys.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace {

// One hash over the pieces given, with the algorithm fetched for the call: keys are made once per
// engine id, so the fetch is no cost worth keeping.
class Hash
{
public:
    explicit Hash(AuthProtocol protocol)
        : md(EVP_MD_fetch(nullptr, UsmKeys::digestName(protocol), nullptr)), ctx(EVP_MD_CTX_new())
    {
        ok = md && ctx && EVP_DigestInit_ex2(ctx, md, nullptr) == 1;
    }
    ~Hash()
    {
        EVP_MD_CTX_free(ctx);
        EVP_MD_free(md);
    }
    Hash(const Hash &) = delete;
    Hash &operator=(const Hash &) = delete;

    void add(const uint8_t *bytes, size_t length)
    {
        ok = ok && EVP_DigestUpdate(ctx, bytes, length) == 1;
    }
    bool finish(uint8_t *out)
    {
        unsigned int length = 0;
        return ok && EVP_DigestFinal_ex(ctx, out, &length) == 1;
    }

private:
    EVP_MD *md;
    EVP_MD_CTX *ctx;
    bool ok = false;
};

} // namespace

namespace UsmKeys {

const char *digestName(AuthProtocol protocol)
{
    switch (protocol) {
    case AuthProtocol::Md5:
        return "MD5";
    case AuthProtocol::Sha1:
        return "SHA1";
    case AuthProtocol::Sha224:
        return "SHA224";
    case AuthProtocol::Sha256:
        return "SHA256";
    case AuthProtocol::Sha384:
        return "SHA384";
    case AuthProtocol::Sha512:
        return "SHA512";
    }
    return "";
}

int keyLength(AuthProtocol protocol)
{
    switch (protocol) {
    case AuthProtocol::Md5:
        return 16;
    case AuthProtocol::Sha1:
        return 20;
    case AuthProtocol::Sha224:
        return 28;
    case AuthProtocol::Sha256:
        return 32;
    case AuthProtocol::Sha384:
        return 48;
    case AuthProtocol::Sha512:
        return 64;
    }
    return 0;
}

int macLength(AuthProtocol protocol)
{
    switch (protocol) {
    case AuthProtocol::Md5:
    case AuthProtocol::Sha1:
        return 12;
    case AuthProtocol::Sha224:
        return 16;
    case AuthProtocol::Sha256:
        return 24;
    case AuthProtocol::Sha384:
        return 32;
    case AuthProtocol::Sha512:
        return 48;
    }
    return 0;
}

bool parseAuthProtocol(const char *name, AuthProtocol *out)
{
    static const struct
    {
        const char *name;
        AuthProtocol protocol;
    } names[] = {{"MD5", AuthProtocol::Md5},       {"SHA", AuthProtocol::Sha1},
                 {"SHA-1", AuthProtocol::Sha1},     {"SHA-224", AuthProtocol::Sha224},
                 {"SHA-256", AuthProtocol::Sha256}, {"SHA-384", AuthProtocol::Sha384},
                 {"SHA-512", AuthProtocol::Sha512}};
    for (const auto &entry : names) {
        if (std::strcmp(entry.name, name) == 0) {
            *out = entry.protocol;
            return true;
        }
    }
    return false;
}

bool passphraseToKey(AuthProtocol protocol, const uint8_t *passphrase, size_t length,
                     uint8_t *key)
{
    if (!passphrase || length < size_t(MinPassphraseLength))
        return false;
    Hash hash(protocol);
    // 1 MiB of the passphrase repeated, fed 64 octets at a time (RFC 3414 A.2.1).
    constexpr size_t Total = 1048576;
    uint8_t chunk[64];
    size_t index = 0;
    for (size_t done = 0; done < Total; done += sizeof chunk) {
        for (uint8_t &byte : chunk)
            byte = passphrase[index++ % length];
        hash.add(chunk, sizeof chunk);
    }
    return hash.finish(key);
}

bool localizeKey(AuthProtocol protocol, const uint8_t *ku, const uint8_t *engineId,
                 size_t engineIdLength, uint8_t *localized)
{
    if (engineIdLength == 0 || engineIdLength > size_t(MaxEngineIdLength))
        return false;
    const size_t length = size_t(keyLength(protocol));
    Hash hash(protocol);
    hash.add(ku, length);
    hash.add(engineId, engineIdLength);
    hash.add(ku, length);
    return hash.finish(localized);
}

bool privacyKey(AuthProtocol protocol, const uint8_t *localized, int length, uint8_t *out)
{
    const int step = keyLength(protocol);
    if (length <= 0 || length > 2 * MaxKeyLength)
        return false;
    uint8_t block[MaxKeyLength];
    std::memcpy(block, localized, size_t(step));
    for (int done = 0; done < length; done += step) {
        if (done > 0) {
            // The next block is the hash of the one before it.
            Hash hash(protocol);
            hash.add(block, size_t(step));
            if (!hash.finish(block))
                return false;
        }
        std::memcpy(out + done, block, size_t(std::min(step, length - done)));
    }
    return true;
}

} // namespace UsmKeys
