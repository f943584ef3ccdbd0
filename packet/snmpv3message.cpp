#include "snmpv3message.h"

#include "ber.h"

#include <cstring>

namespace SnmpV3 {

namespace {

constexpr int32_t MinMaxSize = 484; // RFC 3412: msgMaxSize INTEGER (484..2147483647)
// Every message of ours and every message we read fits a UDP datagram.
constexpr int MaxContent = 0xFFFF;
// contextName is read and passed over; no agent of ours uses one.
constexpr int MaxContextNameLength = 255;
constexpr int MaxCommunityLength = 255;

bool usmInRange(const UsmParameters &usm)
{
    return usm.engineIdLength >= 0 && usm.engineIdLength <= MaxEngineIdLength &&
           usm.engineBoots >= 0 && usm.engineTime >= 0 && usm.userNameLength >= 0 &&
           usm.userNameLength <= MaxUserNameLength && usm.authLength >= 0 &&
           usm.authLength <= MaxAuthLength && (usm.privLength == 0 || usm.privLength == PrivLength);
}

// A reader over length bytes at in, or an empty one when there are none.
ber::Reader readerOver(const uint8_t *in, int length)
{
    return in && length > 0 ? ber::Reader(in, in + length) : ber::Reader();
}

} // namespace

int write(uint8_t *out, int capacity, const Header &header, const UsmParameters &usm,
          const uint8_t *data, int dataLength, int *authOffset)
{
    using ber::elementSize;
    using ber::integerSize;
    if (!out || capacity <= 0 || !usmInRange(usm) || dataLength < 0 || dataLength > MaxContent ||
        header.messageId < 0 || header.maxSize < MinMaxSize || header.securityModel < 1)
        return 0;
    const int usmContent = elementSize(usm.engineIdLength) +
                           elementSize(integerSize(usm.engineBoots)) +
                           elementSize(integerSize(usm.engineTime)) +
                           elementSize(usm.userNameLength) + elementSize(usm.authLength) +
                           elementSize(usm.privLength);
    const int usmSequence = elementSize(usmContent);
    const int globalContent = elementSize(integerSize(header.messageId)) +
                              elementSize(integerSize(header.maxSize)) + elementSize(1) +
                              elementSize(integerSize(header.securityModel));
    const bool encrypted = header.flags & PrivFlag;
    const int dataSize = encrypted ? elementSize(dataLength) : dataLength;
    const int messageContent =
        elementSize(1) + elementSize(globalContent) + elementSize(usmSequence) + dataSize;
    if (messageContent > MaxContent || elementSize(messageContent) > capacity)
        return 0;

    ber::Writer w(out, capacity);
    w.header(ber::Sequence, messageContent);
    w.integer(3);
    w.header(ber::Sequence, globalContent);
    w.integer(header.messageId);
    w.integer(header.maxSize);
    w.octets(&header.flags, 1);
    w.integer(header.securityModel);
    w.header(ber::OctetString, usmSequence);
    w.header(ber::Sequence, usmContent);
    w.octets(usm.engineId, usm.engineIdLength);
    w.integer(usm.engineBoots);
    w.integer(usm.engineTime);
    w.octets(reinterpret_cast<const uint8_t *>(usm.userName), usm.userNameLength);
    const int authAt = w.size() + 1 + ber::lengthSize(usm.authLength);
    w.octets(usm.auth, usm.authLength);
    w.octets(usm.priv, usm.privLength);
    if (encrypted)
        w.octets(data, dataLength);
    else
        w.bytes(data, dataLength);
    if (!w.ok())
        return 0;
    if (authOffset)
        *authOffset = usm.authLength > 0 ? authAt : -1;
    return w.size();
}

bool read(const uint8_t *in, int length, Message *message, const char **error)
{
    auto fail = [&](const char *why) {
        *error = why;
        return false;
    };
    if (!in || length <= 0)
        return fail("empty datagram");
    ber::Reader outer = readerOver(in, length), m;
    if (!outer.readExpected(ber::Sequence, &m) || !outer.atEnd())
        return fail("not one BER sequence");
    int32_t version;
    if (!m.readNonNegative(&version) || version != 3)
        return fail("not an SNMPv3 message");

    ber::Reader g;
    if (!m.readExpected(ber::Sequence, &g))
        return fail("no msgGlobalData");
    Header &h = message->header;
    const uint8_t *flags;
    int flagsLength;
    if (!g.readNonNegative(&h.messageId) || !g.readNonNegative(&h.maxSize) ||
        h.maxSize < MinMaxSize || !g.readOctets(1, &flags, &flagsLength) || flagsLength != 1 ||
        !g.readNonNegative(&h.securityModel) || !g.atEnd())
        return fail("malformed msgGlobalData");
    h.flags = flags[0];
    // Privacy without authentication is not a level that exists (RFC 3412 7.2 (5)).
    if ((h.flags & PrivFlag) && !(h.flags & AuthFlag))
        return fail("msgFlags ask for privacy without authentication");
    if (h.securityModel != UserSecurityModel)
        return fail("not the user-based security model");

    ber::Reader s, u;
    if (!m.readExpected(ber::OctetString, &s))
        return fail("no msgSecurityParameters");
    if (!s.readExpected(ber::Sequence, &u) || !s.atEnd())
        return fail("malformed msgSecurityParameters");
    UsmParameters &p = message->usm;
    const uint8_t *engineId, *user, *auth, *priv;
    int userLength;
    if (!u.readOctets(MaxEngineIdLength, &engineId, &p.engineIdLength) ||
        !u.readNonNegative(&p.engineBoots) || !u.readNonNegative(&p.engineTime) ||
        !u.readOctets(MaxUserNameLength, &user, &userLength) ||
        !u.readOctets(MaxAuthLength, &auth, &p.authLength) ||
        !u.readOctets(PrivLength, &priv, &p.privLength) || !u.atEnd())
        return fail("malformed USM parameters");
    if (p.privLength != 0 && p.privLength != PrivLength)
        return fail("malformed USM parameters");
    std::memcpy(p.engineId, engineId, size_t(p.engineIdLength));
    std::memcpy(p.userName, user, size_t(userLength));
    p.userNameLength = userLength;
    std::memcpy(p.auth, auth, size_t(p.authLength));
    std::memcpy(p.priv, priv, size_t(p.privLength));
    message->authOffset = p.authLength > 0 ? int(auth - in) : -1;

    message->encrypted = h.flags & PrivFlag;
    const uint8_t *start = m.position();
    ber::Reader data;
    if (message->encrypted) {
        if (!m.readExpected(ber::OctetString, &data))
            return fail("no encrypted PDU");
        message->data = data.position();
        message->dataLength = data.remaining();
    } else {
        if (!m.readExpected(ber::Sequence, &data))
            return fail("no scoped PDU");
        message->data = start;
        message->dataLength = int(m.position() - start);
    }
    if (!m.atEnd())
        return fail("bytes after the message");
    return true;
}

bool readScopedPdu(const uint8_t *in, int length, const uint8_t **contextEngineId,
                   int *contextEngineIdLength, const uint8_t **pdu, int *pduLength,
                   const char **error)
{
    // A decrypted PDU may carry padding after the sequence (a block cipher's); CFB adds none,
    // but what follows the sequence is no concern of ours either way.
    ber::Reader outer = readerOver(in, length), r;
    if (!outer.readExpected(ber::Sequence, &r)) {
        *error = "not a scoped PDU";
        return false;
    }
    const uint8_t *name;
    int nameLength;
    if (!r.readOctets(MaxEngineIdLength, contextEngineId, contextEngineIdLength) ||
        !r.readOctets(MaxContextNameLength, &name, &nameLength)) {
        *error = "malformed scoped PDU";
        return false;
    }
    // The PDU: any context-class constructed tag with its length, and nothing after.
    const uint8_t *start = r.position();
    const int left = r.remaining();
    if (left < 2 || !ber::isPduTag(start[0])) {
        *error = "no PDU in the scoped PDU";
        return false;
    }
    uint8_t tag;
    ber::Reader body;
    if (!r.readElement(&tag, &body) || !r.atEnd()) {
        *error = "malformed PDU";
        return false;
    }
    *pdu = start;
    *pduLength = left;
    return true;
}

int writeScopedPdu(uint8_t *out, int capacity, const uint8_t *contextEngineId,
                   int contextEngineIdLength, const uint8_t *pdu, int pduLength)
{
    if (!out || capacity <= 0 || contextEngineIdLength < 0 ||
        contextEngineIdLength > MaxEngineIdLength || pduLength < 0)
        return 0;
    const int content = ber::elementSize(contextEngineIdLength) + ber::elementSize(0) + pduLength;
    if (content > MaxContent || ber::elementSize(content) > capacity)
        return 0;
    ber::Writer w(out, capacity);
    w.header(ber::Sequence, content);
    w.octets(contextEngineId, contextEngineIdLength);
    w.octets(nullptr, 0);
    w.bytes(pdu, pduLength);
    return w.ok() ? w.size() : 0;
}

namespace {

const uint8_t UsmStatsPrefix[] = {0x2b, 6, 1, 6, 3, 15, 1, 1};

} // namespace

void writeUsmStatOid(UsmStat stat, uint8_t *out)
{
    std::memcpy(out, UsmStatsPrefix, sizeof UsmStatsPrefix);
    out[sizeof UsmStatsPrefix] = uint8_t(stat);
    out[sizeof UsmStatsPrefix + 1] = 0;
}

UsmStat reportedStat(const uint8_t *pdu, int length)
{
    ber::Reader outer = readerOver(pdu, length), r, list, binding, oid, skipped;
    if (!outer.readExpected(ber::Report, &r))
        return UsmStat::None;
    // Request id, error status and index, whatever their values; then the first binding's name.
    for (int i = 0; i < 3; ++i)
        if (!r.readExpected(ber::Integer, &skipped))
            return UsmStat::None;
    if (!r.readExpected(ber::Sequence, &list) || !list.readExpected(ber::Sequence, &binding) ||
        !binding.readExpected(ber::ObjectIdentifier, &oid) ||
        oid.remaining() != UsmStatOidLength)
        return UsmStat::None;
    const uint8_t *o = oid.position();
    if (std::memcmp(o, UsmStatsPrefix, sizeof UsmStatsPrefix) != 0 || o[9] != 0 ||
        o[8] < uint8_t(UsmStat::UnsupportedSecLevels) || o[8] > uint8_t(UsmStat::DecryptionErrors))
        return UsmStat::None;
    return UsmStat(o[8]);
}

bool readV1Message(const uint8_t *in, int length, const uint8_t **community, int *communityLength,
                   const uint8_t **pdu, int *pduLength)
{
    ber::Reader outer = readerOver(in, length), r, version;
    if (!outer.readExpected(ber::Sequence, &r) || !outer.atEnd() ||
        !r.readExpected(ber::Integer, &version) ||
        !r.readOctets(MaxCommunityLength, community, communityLength))
        return false;
    *pdu = r.position();
    *pduLength = r.remaining();
    return *pduLength >= 2 && ber::isPduTag((*pdu)[0]);
}

int writeV1Message(uint8_t *out, int capacity, const uint8_t *community, int communityLength,
                   const uint8_t *pdu, int pduLength)
{
    if (!out || capacity <= 0 || communityLength < 0 || communityLength > MaxCommunityLength ||
        pduLength < 0)
        return 0;
    const int content = ber::elementSize(1) + ber::elementSize(communityLength) + pduLength;
    if (content > MaxContent)
        return 0;
    ber::Writer w(out, capacity);
    w.header(ber::Sequence, content);
    w.integer(0);
    w.octets(community, communityLength);
    w.bytes(pdu, pduLength);
    return w.ok() ? w.size() : 0;
}

} // namespace SnmpV3
