#include "snmpv3message.h"

#include <cstring>

namespace SnmpV3 {

namespace {

constexpr uint8_t IntegerTag = 0x02;
constexpr uint8_t OctetStringTag = 0x04;
constexpr uint8_t SequenceTag = 0x30;
constexpr int32_t MinMaxSize = 484; // RFC 3412: msgMaxSize INTEGER (484..2147483647)

// --- writing: every piece's length is known before it is written --------------------------

int lengthOfLength(int n)
{
    return n < 0x80 ? 1 : n < 0x100 ? 2 : 3;
}

int tlvSize(int contentLength)
{
    return 1 + lengthOfLength(contentLength) + contentLength;
}

// Octets of the shortest two's complement of a non-negative value.
int integerContentLength(int32_t v)
{
    return v < 0x80 ? 1 : v < 0x8000 ? 2 : v < 0x800000 ? 3 : 4;
}

class Writer
{
public:
    Writer(uint8_t *out, int capacity) : p(out), begin(out), end(out + capacity) {}

    bool room(int n) const { return n <= end - p; }
    void header(uint8_t tag, int length)
    {
        *p++ = tag;
        if (length < 0x80) {
            *p++ = uint8_t(length);
        } else if (length < 0x100) {
            *p++ = 0x81;
            *p++ = uint8_t(length);
        } else {
            *p++ = 0x82;
            *p++ = uint8_t(length >> 8);
            *p++ = uint8_t(length);
        }
    }
    void integer(int32_t v)
    {
        const int n = integerContentLength(v);
        header(IntegerTag, n);
        for (int i = n - 1; i >= 0; --i)
            *p++ = uint8_t(uint32_t(v) >> (8 * i));
    }
    void octets(const uint8_t *bytes, int n)
    {
        header(OctetStringTag, n);
        if (n > 0)
            std::memcpy(p, bytes, size_t(n));
        p += n;
    }
    void raw(const uint8_t *bytes, int n)
    {
        std::memcpy(p, bytes, size_t(n));
        p += n;
    }
    int offset() const { return int(p - begin); }

private:
    uint8_t *p;
    uint8_t *begin;
    uint8_t *end;
};

bool usmInRange(const UsmParameters &usm)
{
    return usm.engineIdLength >= 0 && usm.engineIdLength <= MaxEngineIdLength &&
           usm.engineBoots >= 0 && usm.engineTime >= 0 && usm.userNameLength >= 0 &&
           usm.userNameLength <= MaxUserNameLength && usm.authLength >= 0 &&
           usm.authLength <= MaxAuthLength && (usm.privLength == 0 || usm.privLength == PrivLength);
}

// --- reading: a cursor that never passes its end ---------------------------------------------

class Reader
{
public:
    Reader(const uint8_t *in, int length) : p(in), end(in + length) {}

    // The next TLV, which must have the tag; its content is handed back and passed over.
    bool next(uint8_t tag, const uint8_t **content, int *length)
    {
        if (end - p < 2 || *p != tag)
            return false;
        const uint8_t first = p[1];
        const uint8_t *at = p + 2;
        int n;
        if (first < 0x80) {
            n = first;
        } else if (first == 0x81) {
            if (end - at < 1)
                return false;
            n = at[0];
            at += 1;
        } else if (first == 0x82) {
            if (end - at < 2)
                return false;
            n = (at[0] << 8) | at[1];
            at += 2;
        } else {
            // Indefinite lengths, and lengths of more than two octets, are no message of ours.
            return false;
        }
        if (n > end - at)
            return false;
        *content = at;
        *length = n;
        p = at + n;
        return true;
    }
    // A non-negative INTEGER of at most 31 bits (every integer in the header and USM's).
    bool integer(int32_t *out)
    {
        const uint8_t *c;
        int n;
        if (!next(IntegerTag, &c, &n) || n < 1 || n > 5 || (c[0] & 0x80))
            return false;
        // A fifth octet is only a leading zero; the value must still fit in 31 bits.
        if (n == 5 && (c[0] != 0 || (c[1] & 0x80)))
            return false;
        uint32_t v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 8) | c[i];
        if (v > 0x7FFFFFFFu)
            return false;
        *out = int32_t(v);
        return true;
    }
    bool octets(int maxLength, const uint8_t **content, int *length)
    {
        return next(OctetStringTag, content, length) && *length <= maxLength;
    }
    bool atEnd() const { return p == end; }
    const uint8_t *position() const { return p; }

private:
    const uint8_t *p;
    const uint8_t *end;
};

} // namespace

int write(uint8_t *out, int capacity, const Header &header, const UsmParameters &usm,
          const uint8_t *data, int dataLength, int *authOffset)
{
    if (!out || capacity <= 0 || !usmInRange(usm) || dataLength < 0 || dataLength > 0xFFFF ||
        header.messageId < 0 || header.maxSize < MinMaxSize || header.securityModel < 1)
        return 0;
    const int usmContent = tlvSize(usm.engineIdLength) +
                           tlvSize(integerContentLength(usm.engineBoots)) +
                           tlvSize(integerContentLength(usm.engineTime)) +
                           tlvSize(usm.userNameLength) + tlvSize(usm.authLength) +
                           tlvSize(usm.privLength);
    const int usmSequence = tlvSize(usmContent);
    const int globalContent = tlvSize(integerContentLength(header.messageId)) +
                              tlvSize(integerContentLength(header.maxSize)) + tlvSize(1) +
                              tlvSize(integerContentLength(header.securityModel));
    const bool encrypted = header.flags & PrivFlag;
    const int dataSize = encrypted ? tlvSize(dataLength) : dataLength;
    const int messageContent =
        tlvSize(1) + tlvSize(globalContent) + tlvSize(usmSequence) + dataSize;
    if (messageContent > 0xFFFF || tlvSize(messageContent) > capacity)
        return 0;

    Writer w(out, capacity);
    w.header(SequenceTag, messageContent);
    w.integer(3);
    w.header(SequenceTag, globalContent);
    w.integer(header.messageId);
    w.integer(header.maxSize);
    w.octets(&header.flags, 1);
    w.integer(header.securityModel);
    w.header(OctetStringTag, usmSequence);
    w.header(SequenceTag, usmContent);
    w.octets(usm.engineId, usm.engineIdLength);
    w.integer(usm.engineBoots);
    w.integer(usm.engineTime);
    w.octets(reinterpret_cast<const uint8_t *>(usm.userName), usm.userNameLength);
    const int authAt = w.offset() + 1 + lengthOfLength(usm.authLength);
    w.octets(usm.auth, usm.authLength);
    w.octets(usm.priv, usm.privLength);
    if (encrypted)
        w.octets(data, dataLength);
    else
        w.raw(data, dataLength);
    if (authOffset)
        *authOffset = usm.authLength > 0 ? authAt : -1;
    return w.offset();
}

bool read(const uint8_t *in, int length, Message *message, const char **error)
{
    auto fail = [&](const char *why) {
        *error = why;
        return false;
    };
    if (!in || length <= 0)
        return fail("empty datagram");
    Reader outer(in, length);
    const uint8_t *content;
    int contentLength;
    if (!outer.next(SequenceTag, &content, &contentLength) || !outer.atEnd())
        return fail("not one BER sequence");
    Reader m(content, contentLength);
    int32_t version;
    if (!m.integer(&version) || version != 3)
        return fail("not an SNMPv3 message");

    const uint8_t *global;
    int globalLength;
    if (!m.next(SequenceTag, &global, &globalLength))
        return fail("no msgGlobalData");
    Reader g(global, globalLength);
    Header &h = message->header;
    const uint8_t *flags;
    int flagsLength;
    if (!g.integer(&h.messageId) || !g.integer(&h.maxSize) || h.maxSize < MinMaxSize ||
        !g.octets(1, &flags, &flagsLength) || flagsLength != 1 || !g.integer(&h.securityModel) ||
        !g.atEnd())
        return fail("malformed msgGlobalData");
    h.flags = flags[0];
    // Privacy without authentication is not a level that exists (RFC 3412 7.2 (5)).
    if ((h.flags & PrivFlag) && !(h.flags & AuthFlag))
        return fail("msgFlags ask for privacy without authentication");
    if (h.securityModel != UserSecurityModel)
        return fail("not the user-based security model");

    const uint8_t *security;
    int securityLength;
    if (!m.next(OctetStringTag, &security, &securityLength))
        return fail("no msgSecurityParameters");
    Reader s(security, securityLength);
    const uint8_t *usmContent;
    int usmLength;
    if (!s.next(SequenceTag, &usmContent, &usmLength) || !s.atEnd())
        return fail("malformed msgSecurityParameters");
    Reader u(usmContent, usmLength);
    UsmParameters &p = message->usm;
    const uint8_t *engineId, *user, *auth, *priv;
    int userLength;
    if (!u.octets(MaxEngineIdLength, &engineId, &p.engineIdLength) ||
        !u.integer(&p.engineBoots) || !u.integer(&p.engineTime) ||
        !u.octets(MaxUserNameLength, &user, &userLength) ||
        !u.octets(MaxAuthLength, &auth, &p.authLength) ||
        !u.octets(PrivLength, &priv, &p.privLength) || !u.atEnd())
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
    const uint8_t *data;
    int dataLength;
    if (message->encrypted) {
        if (!m.next(OctetStringTag, &data, &dataLength))
            return fail("no encrypted PDU");
        message->data = data;
        message->dataLength = dataLength;
    } else {
        const uint8_t *start = m.position();
        if (!m.next(SequenceTag, &data, &dataLength))
            return fail("no scoped PDU");
        message->data = start;
        message->dataLength = int(data + dataLength - start);
    }
    if (!m.atEnd())
        return fail("bytes after the message");
    return true;
}

bool readScopedPdu(const uint8_t *in, int length, const uint8_t **contextEngineId,
                   int *contextEngineIdLength, const uint8_t **pdu, int *pduLength,
                   const char **error)
{
    Reader outer(in, length);
    const uint8_t *content;
    int contentLength;
    // A decrypted PDU may carry padding after the sequence (a block cipher's); CFB adds none,
    // but what follows the sequence is no concern of ours either way.
    if (!in || !outer.next(SequenceTag, &content, &contentLength)) {
        *error = "not a scoped PDU";
        return false;
    }
    Reader r(content, contentLength);
    const uint8_t *name;
    int nameLength;
    if (!r.octets(MaxEngineIdLength, contextEngineId, contextEngineIdLength) ||
        !r.octets(255, &name, &nameLength)) {
        *error = "malformed scoped PDU";
        return false;
    }
    const uint8_t *start = r.position();
    const int left = int(content + contentLength - start);
    // The PDU: any context-class constructed tag (0xA0 to 0xA8) with its length, and nothing after.
    if (left < 2 || (start[0] & 0xE0) != 0xA0) {
        *error = "no PDU in the scoped PDU";
        return false;
    }
    const uint8_t *body;
    int bodyLength;
    if (!r.next(start[0], &body, &bodyLength) || !r.atEnd()) {
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
    if (contextEngineIdLength < 0 || contextEngineIdLength > MaxEngineIdLength || pduLength < 0)
        return 0;
    const int content = tlvSize(contextEngineIdLength) + tlvSize(0) + pduLength;
    if (content > 0xFFFF || tlvSize(content) > capacity)
        return 0;
    Writer w(out, capacity);
    w.header(SequenceTag, content);
    w.octets(contextEngineId, contextEngineIdLength);
    w.octets(nullptr, 0);
    w.raw(pdu, pduLength);
    return w.offset();
}

namespace {

constexpr uint8_t ObjectIdTag = 0x06;
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
    Reader outer(pdu, length);
    const uint8_t *body, *bindings, *binding, *oid, *skipped;
    int bodyLength, bindingsLength, bindingLength, oidLength, skippedLength;
    if (!outer.next(ReportPdu, &body, &bodyLength))
        return UsmStat::None;
    // Request id, error status and index, whatever their values; then the first binding's name.
    Reader r(body, bodyLength);
    for (int i = 0; i < 3; ++i)
        if (!r.next(IntegerTag, &skipped, &skippedLength))
            return UsmStat::None;
    if (!r.next(SequenceTag, &bindings, &bindingsLength))
        return UsmStat::None;
    Reader list(bindings, bindingsLength);
    if (!list.next(SequenceTag, &binding, &bindingLength))
        return UsmStat::None;
    Reader first(binding, bindingLength);
    if (!first.next(ObjectIdTag, &oid, &oidLength) || oidLength != UsmStatOidLength ||
        std::memcmp(oid, UsmStatsPrefix, sizeof UsmStatsPrefix) != 0 || oid[9] != 0 ||
        oid[8] < uint8_t(UsmStat::UnsupportedSecLevels) ||
        oid[8] > uint8_t(UsmStat::DecryptionErrors))
        return UsmStat::None;
    return UsmStat(oid[8]);
}

bool readV1Message(const uint8_t *in, int length, const uint8_t **community, int *communityLength,
                   const uint8_t **pdu, int *pduLength)
{
    Reader outer(in, length);
    const uint8_t *content, *version;
    int contentLength, versionLength;
    if (!outer.next(SequenceTag, &content, &contentLength) || !outer.atEnd())
        return false;
    Reader r(content, contentLength);
    if (!r.next(IntegerTag, &version, &versionLength) || !r.octets(255, community, communityLength))
        return false;
    *pdu = r.position();
    *pduLength = int(content + contentLength - *pdu);
    return *pduLength >= 2 && ((*pdu)[0] & 0xE0) == 0xA0;
}

} // namespace SnmpV3
