// One link's SNMPv3 authentication and privacy (RFC 3414 HMAC, RFC 7860 for SHA-2, RFC 3826
// AES-CFB-128 and net-snmp's AES-192/256): the algorithms are fetched from OpenSSL once per
// process, and each link keeps its contexts, keyed once per engine id and reused for every
// message.
#ifndef USMCRYPTO_H
#define USMCRYPTO_H

#include "usmkeys.h"

#include <cstdint>

enum class PrivProtocol { None, Aes128, Aes192, Aes256 };

typedef struct evp_mac_ctx_st EVP_MAC_CTX;
typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

class UsmCrypto
{
public:
    UsmCrypto() = default;
    ~UsmCrypto();
    UsmCrypto(const UsmCrypto &) = delete;
    UsmCrypto &operator=(const UsmCrypto &) = delete;

    // The AES key length of a privacy protocol; 0 for none.
    static int privKeyLength(PrivProtocol protocol);
    // "AES" (or "AES-128"), "AES-192", "AES-256" or "NONE", in capitals; false for any other.
    static bool parsePrivProtocol(const char *name, PrivProtocol *out);

    // The localised keys of one engine id (privKey: privKeyLength() octets, or null for none).
    // False when OpenSSL cannot give the algorithm.
    bool setKeys(AuthProtocol auth, const uint8_t *authKey, PrivProtocol priv,
                 const uint8_t *privKey);
    int macLength() const { return UsmKeys::macLength(auth); }

    // The HMAC of the bytes, whole (out: at least 64 octets); the message carries its first
    // macLength() octets.
    bool mac(const uint8_t *bytes, int length, uint8_t *out);
    // Signs a written message whose authentication parameter, at authOffset, is still zeros.
    bool sign(uint8_t *message, int length, int authOffset);
    // Checks a received message in place: the parameter is zeroed for the HMAC and put back.
    bool verify(uint8_t *message, int length, int authOffset);

    // AES-CFB-128 with the IV of RFC 3826: engine boots and time, most significant octet first,
    // then the 8-octet salt. in and out may be the same bytes.
    bool encrypt(const uint8_t *in, int length, uint8_t *out, int32_t boots, int32_t time,
                 const uint8_t *salt);
    bool decrypt(const uint8_t *in, int length, uint8_t *out, int32_t boots, int32_t time,
                 const uint8_t *salt);

private:
    bool crypt(EVP_CIPHER_CTX *ctx, bool encrypting, const uint8_t *in, int length, uint8_t *out,
               int32_t boots, int32_t time, const uint8_t *salt);

    AuthProtocol auth = AuthProtocol::Sha1;
    EVP_MAC_CTX *hmac = nullptr;
    EVP_CIPHER_CTX *encryptor = nullptr;
    EVP_CIPHER_CTX *decryptor = nullptr;
    uint8_t privKey[32] = {};
    int privLength = 0;
};

#endif // USMCRYPTO_H
