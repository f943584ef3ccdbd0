// SNMPv3's user-based security keys (RFC 3414, with the SHA-2 family of RFC 7860): a passphrase
// stretched into a key once, then localised to one agent's engine id. Both are slow on purpose
// and done once per engine id, never per message; the hashes come from OpenSSL.
#ifndef USMKEYS_H
#define USMKEYS_H

#include <cstddef>
#include <cstdint>

enum class AuthProtocol { Md5, Sha1, Sha224, Sha256, Sha384, Sha512 };

namespace UsmKeys {

// The longest digest (SHA-512) and the longest engine id (RFC 3411: 32 octets).
constexpr int MaxKeyLength = 64;
constexpr int MaxEngineIdLength = 32;
// RFC 3414 2.6: the passphrase is at least 8 octets; net-snmp refuses shorter ones too.
constexpr int MinPassphraseLength = 8;

// The hash's output: the length of a key.
int keyLength(AuthProtocol protocol);
// The hash's name as OpenSSL fetches it ("SHA256").
const char *digestName(AuthProtocol protocol);
// The authentication parameter's length in a message: 12 octets for MD5 and SHA-1 (HMAC-96),
// then 16, 24, 32 and 48 for SHA-224 to SHA-512 (RFC 7860).
int macLength(AuthProtocol protocol);
// "MD5", "SHA", "SHA-224" ... as net-snmp names them; null for a name that is none of them.
bool parseAuthProtocol(const char *name, AuthProtocol *out);

// Ku: the hash of 1 MiB of the passphrase repeated (RFC 3414 A.2). key receives keyLength()
// octets. False when the passphrase is shorter than MinPassphraseLength or the hash is not
// available.
bool passphraseToKey(AuthProtocol protocol, const uint8_t *passphrase, size_t length,
                     uint8_t *key);
// Kul = H(Ku | engineId | Ku). False for an engine id of 0 or more than MaxEngineIdLength octets.
bool localizeKey(AuthProtocol protocol, const uint8_t *ku, const uint8_t *engineId,
                 size_t engineIdLength, uint8_t *localized);
// A privacy key of keyLength octets from a localised key, extended where the hash is shorter
// than the cipher's key the way net-snmp's AES-192 and AES-256 do it (Kul | H(Kul) | ...).
bool privacyKey(AuthProtocol protocol, const uint8_t *localized, int keyLength, uint8_t *out);

} // namespace UsmKeys

#endif // USMKEYS_H
