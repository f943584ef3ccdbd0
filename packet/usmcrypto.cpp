#include "usmcrypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstring>

namespace {

// Fetched once for the process: a fetch per message would cost a lookup and allocations.
struct Algorithms
{
    EVP_MAC *hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_CIPHER *aes[3] = {EVP_CIPHER_fetch(nullptr, "AES-128-CFB", nullptr),
                          EVP_CIPHER_fetch(nullptr, "AES-192-CFB", nullptr),
                          EVP_CIPHER_fetch(nullptr, "AES-256-CFB", nullptr)};
};

const Algorithms &algorithms()
{
    static const Algorithms fetched;
    return fetched;
}

} // namespace

UsmCrypto::~UsmCrypto()
{
    EVP_MAC_CTX_free(hmac);
    EVP_CIPHER_CTX_free(encryptor);
    EVP_CIPHER_CTX_free(decryptor);
    OPENSSL_cleanse(privKey, sizeof privKey);
}

bool UsmCrypto::parsePrivProtocol(const char *name, PrivProtocol *out)
{
    static const struct
    {
        const char *name;
        PrivProtocol protocol;
    } names[] = {{"AES", PrivProtocol::Aes128},
                 {"AES-128", PrivProtocol::Aes128},
                 {"AES-192", PrivProtocol::Aes192},
                 {"AES-256", PrivProtocol::Aes256},
                 {"NONE", PrivProtocol::None}};
    for (const auto &entry : names) {
        if (std::strcmp(entry.name, name) == 0) {
            *out = entry.protocol;
            return true;
        }
    }
    return false;
}

int UsmCrypto::privKeyLength(PrivProtocol protocol)
{
    switch (protocol) {
    case PrivProtocol::None:
        return 0;
    case PrivProtocol::Aes128:
        return 16;
    case PrivProtocol::Aes192:
        return 24;
    case PrivProtocol::Aes256:
        return 32;
    }
    return 0;
}

bool UsmCrypto::setKeys(AuthProtocol authProtocol, const uint8_t *authKey, PrivProtocol priv,
                        const uint8_t *key)
{
    const Algorithms &a = algorithms();
    auth = authProtocol;
    if (!a.hmac)
        return false;
    if (!hmac && !(hmac = EVP_MAC_CTX_new(a.hmac)))
        return false;
    char digest[16];
    std::strncpy(digest, UsmKeys::digestName(auth), sizeof digest - 1);
    digest[sizeof digest - 1] = '\0';
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_END};
    if (EVP_MAC_init(hmac, authKey, size_t(UsmKeys::keyLength(auth)), params) != 1)
        return false;

    privLength = privKeyLength(priv);
    if (privLength == 0)
        return true;
    EVP_CIPHER *cipher = a.aes[priv == PrivProtocol::Aes128 ? 0 : priv == PrivProtocol::Aes192 ? 1 : 2];
    if (!cipher || !key)
        return false;
    std::memcpy(privKey, key, size_t(privLength));
    if (!encryptor && !(encryptor = EVP_CIPHER_CTX_new()))
        return false;
    if (!decryptor && !(decryptor = EVP_CIPHER_CTX_new()))
        return false;
    // The cipher is given once here; every message after passes only its key and IV.
    const uint8_t zeroIv[16] = {};
    return EVP_EncryptInit_ex2(encryptor, cipher, privKey, zeroIv, nullptr) == 1 &&
           EVP_DecryptInit_ex2(decryptor, cipher, privKey, zeroIv, nullptr) == 1;
}

bool UsmCrypto::mac(const uint8_t *bytes, int length, uint8_t *out)
{
    size_t written = 0;
    // A null key keeps the one setKeys gave and starts a new computation.
    return hmac && length >= 0 && EVP_MAC_init(hmac, nullptr, 0, nullptr) == 1 &&
           EVP_MAC_update(hmac, bytes, size_t(length)) == 1 &&
           EVP_MAC_final(hmac, out, &written, UsmKeys::MaxKeyLength) == 1;
}

bool UsmCrypto::sign(uint8_t *message, int length, int authOffset)
{
    const int n = macLength();
    if (authOffset < 0 || authOffset + n > length)
        return false;
    uint8_t full[UsmKeys::MaxKeyLength];
    if (!mac(message, length, full))
        return false;
    std::memcpy(message + authOffset, full, size_t(n));
    return true;
}

bool UsmCrypto::verify(uint8_t *message, int length, int authOffset)
{
    const int n = macLength();
    if (authOffset < 0 || authOffset + n > length)
        return false;
    uint8_t received[UsmKeys::MaxKeyLength];
    std::memcpy(received, message + authOffset, size_t(n));
    std::memset(message + authOffset, 0, size_t(n));
    uint8_t full[UsmKeys::MaxKeyLength];
    const bool computed = mac(message, length, full);
    std::memcpy(message + authOffset, received, size_t(n));
    // Compared in full whatever the first difference, so that timing tells nothing.
    return computed && CRYPTO_memcmp(full, received, size_t(n)) == 0;
}

bool UsmCrypto::encrypt(const uint8_t *in, int length, uint8_t *out, int32_t boots, int32_t time,
                        const uint8_t *salt)
{
    return crypt(encryptor, true, in, length, out, boots, time, salt);
}

bool UsmCrypto::decrypt(const uint8_t *in, int length, uint8_t *out, int32_t boots, int32_t time,
                        const uint8_t *salt)
{
    return crypt(decryptor, false, in, length, out, boots, time, salt);
}

bool UsmCrypto::crypt(EVP_CIPHER_CTX *ctx, bool encrypting, const uint8_t *in, int length,
                      uint8_t *out, int32_t boots, int32_t time, const uint8_t *salt)
{
    if (!ctx || privLength == 0 || length < 0)
        return false;
    uint8_t iv[16];
    for (int i = 0; i < 4; ++i) {
        iv[i] = uint8_t(uint32_t(boots) >> (24 - 8 * i));
        iv[4 + i] = uint8_t(uint32_t(time) >> (24 - 8 * i));
    }
    std::memcpy(iv + 8, salt, 8);
    int written = 0, last = 0;
    const bool ok = (encrypting ? EVP_EncryptInit_ex2(ctx, nullptr, privKey, iv, nullptr)
                                : EVP_DecryptInit_ex2(ctx, nullptr, privKey, iv, nullptr)) == 1 &&
                    EVP_CipherUpdate(ctx, out, &written, in, length) == 1 &&
                    EVP_CipherFinal_ex(ctx, out + written, &last) == 1;
    return ok && written + last == length;
}
