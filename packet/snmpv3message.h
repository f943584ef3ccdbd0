// The SNMPv3 message (RFC 3412) with the user-based security model's parameters (RFC 3414), as
// bytes: written into a caller's buffer and read from a datagram with every length checked
// against the bytes there are. No allocation, no crypto: authentication and privacy work on the
// offsets these functions hand back.
#ifndef SNMPV3MESSAGE_H
#define SNMPV3MESSAGE_H

#include <cstdint>

namespace SnmpV3 {

constexpr int MaxEngineIdLength = 32;
constexpr int MaxUserNameLength = 32;
// HMAC-SHA-512's truncated output (RFC 7860) is the longest authentication parameter.
constexpr int MaxAuthLength = 48;
// AES's salt (RFC 3826); DES's would be 8 too.
constexpr int PrivLength = 8;
constexpr int UserSecurityModel = 3;

// msgFlags.
constexpr uint8_t AuthFlag = 0x01;
constexpr uint8_t PrivFlag = 0x02;
constexpr uint8_t ReportableFlag = 0x04;

struct Header
{
    int32_t messageId = 0;
    int32_t maxSize = 1472;
    uint8_t flags = 0;
    int32_t securityModel = UserSecurityModel;
};

struct UsmParameters
{
    uint8_t engineId[MaxEngineIdLength];
    int engineIdLength = 0;
    int32_t engineBoots = 0;
    int32_t engineTime = 0;
    char userName[MaxUserNameLength];
    int userNameLength = 0;
    uint8_t auth[MaxAuthLength];
    int authLength = 0;
    uint8_t priv[PrivLength];
    int privLength = 0;
};

// A message read from a datagram: pointers into the datagram's own bytes.
struct Message
{
    Header header;
    UsmParameters usm;
    // Where the authentication parameter's bytes sit in the datagram (to be zeroed for the
    // HMAC check); -1 when its length is 0.
    int authOffset = -1;
    // msgData: a plaintext ScopedPDU (tag 0x30), or the encrypted one's bytes (the content of
    // an OCTET STRING) when encrypted is set.
    const uint8_t *data = nullptr;
    int dataLength = 0;
    bool encrypted = false;
};

// Writes the message into out (capacity bytes). data is the ScopedPDU's encoding, or the
// encrypted bytes when the header's PrivFlag is set (they are wrapped in an OCTET STRING here).
// usm.auth is written as given, its length included: zeros, for the HMAC to be computed over
// the whole message and written at *authOffset afterwards. Returns the length, or 0 when the
// message does not fit or a parameter is out of range.
int write(uint8_t *out, int capacity, const Header &header, const UsmParameters &usm,
          const uint8_t *data, int dataLength, int *authOffset);

// Reads a whole datagram. False, with a short reason in *error, for anything that is not one
// well-formed SNMPv3 message with USM parameters in range; nothing is read past length.
bool read(const uint8_t *in, int length, Message *message, const char **error);

// The ScopedPDU (contextEngineID, contextName, PDU) of a plaintext msgData: a view of the PDU
// (tag and all) inside it. False for anything else.
bool readScopedPdu(const uint8_t *in, int length, const uint8_t **contextEngineId,
                   int *contextEngineIdLength, const uint8_t **pdu, int *pduLength,
                   const char **error);

// Writes a ScopedPDU around a PDU's encoding; returns the length or 0 when it does not fit.
int writeScopedPdu(uint8_t *out, int capacity, const uint8_t *contextEngineId,
                   int contextEngineIdLength, const uint8_t *pdu, int pduLength);

// The usmStats counters of RFC 3414 (5), 1.3.6.1.6.3.15.1.1.N.0: what a Report's first binding
// names when USM refused a message.
enum class UsmStat {
    None = 0,
    UnsupportedSecLevels = 1,
    NotInTimeWindows = 2,
    UnknownUserNames = 3,
    UnknownEngineIds = 4,
    WrongDigests = 5,
    DecryptionErrors = 6,
};
constexpr int UsmStatOidLength = 10;

// The counter's OID as content bytes, UsmStatOidLength of them, into out.
void writeUsmStatOid(UsmStat stat, uint8_t *out);

// The counter a PDU (tag and all, as readScopedPdu gives it) names in its first binding, or
// None when it is not a Report of one.
UsmStat reportedStat(const uint8_t *pdu, int length);

// The community and the PDU (tag and all) of an SNMPv1 message, as views into it. False for
// anything else.
bool readV1Message(const uint8_t *in, int length, const uint8_t **community, int *communityLength,
                   const uint8_t **pdu, int *pduLength);

// Writes an SNMPv1 message (version 0, the community, the PDU as given) into out; returns its
// length, or 0 when it does not fit capacity.
int writeV1Message(uint8_t *out, int capacity, const uint8_t *community, int communityLength,
                   const uint8_t *pdu, int pduLength);

} // namespace SnmpV3

#endif // SNMPV3MESSAGE_H
