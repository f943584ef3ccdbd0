// SNMPv1 requests and the GetResponse check.
#include "ntcippacket.h"

#include <cstdio>
#include <cstring>

namespace {

// The community every controller of ours answers to.
const char BuiltInCommunity[] = "harbor";

// Bytes the length rule of our messages writes for x: one up to 126, 0x81 x up to 255,
// 0x82 hi lo above. 127 takes two bytes here although one would do in BER.
int32_t lengthSize(int32_t x)
{
    return x <= 126 ? 1 : (x <= 255 ? 2 : 3);
}

int32_t communityLength(const char *community)
{
    int32_t m = 0;
    while (m < NtcipPacket::CommunitySize - 1 && community[m] != '\0')
        ++m;
    return m;
}

// Reads a decimal arc; an empty one is 0. Returns false above 32 bits.
bool readArc(const char **text, uint64_t *arc)
{
    uint64_t a = 0;
    const char *p = *text;
    while (*p >= '0' && *p <= '9') {
        a = a * 10 + uint64_t(*p - '0');
        if (a > 0xFFFFFFFFu)
            return false;
        ++p;
    }
    *text = p;
    *arc = a;
    return true;
}

// Writes one sub-identifier base 128, high groups first with bit 7 set. Returns the bytes
// written, or -1 if they do not fit in room.
int32_t putSubIdentifier(uint64_t a, uint8_t *out, int32_t room)
{
    int32_t groups = 1;
    for (uint64_t rest = a >> 7; rest != 0; rest >>= 7)
        ++groups;
    if (groups > room)
        return -1;
    for (int32_t i = 0; i < groups; ++i) {
        const int shift = 7 * (groups - 1 - i);
        out[i] = uint8_t(((a >> shift) & 0x7F) | (i + 1 < groups ? 0x80 : 0));
    }
    return groups;
}

} // namespace

NtcipPacket::NtcipPacket()
    : valueLength(0), valueTypeName(""), valueType(0), oidLength(0), frameLength(0), address(1),
      requestId(0), inFrame(0), cursor(frame)
{
    // Buffers start zeroed so that no build or read ever sees leftovers of a previous owner.
    std::memset(frame, 0, sizeof frame);
    std::memset(value, 0, sizeof value);
    std::memset(community, 0, sizeof community);
    std::memcpy(community, BuiltInCommunity, sizeof BuiltInCommunity);
    std::memset(oid, 0, sizeof oid);
    std::memset(errorText, 0, sizeof errorText);
}

int32_t NtcipPacket::encodeOidText(const char *text, uint8_t *out, int32_t capacity)
{
    uint64_t first = 0;
    if (!readArc(&text, &first))
        return -1;
    uint64_t pair = 40 * first;
    if (*text == '.') {
        ++text;
        uint64_t second = 0;
        if (!readArc(&text, &second))
            return -1;
        pair += second;
    }
    int32_t n = putSubIdentifier(pair, out, capacity);
    if (n < 0)
        return -1;
    while (*text == '.') {
        ++text;
        uint64_t arc = 0;
        if (!readArc(&text, &arc))
            return -1;
        const int32_t used = putSubIdentifier(arc, out + n, capacity - n);
        if (used < 0)
            return -1;
        n += used;
    }
    return n;
}

int NtcipPacket::setOid(const char *text)
{
    // Encode aside first so that refused text leaves the last good OID in place.
    uint8_t encoded[OidSize];
    const int32_t n = encodeOidText(text, encoded, OidSize);
    if (n < 0)
        return 0;
    std::memcpy(oid, encoded, size_t(n));
    oidLength = n;
    cursor = oid + n;
    return 1;
}

void NtcipPacket::setOctetString(const uint8_t *bytes, int32_t length)
{
    if (length > MaxSendValue)
        length = MaxSendValue;
    if (length < 0)
        length = 0;
    if (length > 0)
        std::memmove(value, bytes, size_t(length));
    valueLength = length;
    valueType = OctetString;
}

// GetRequest and GetNextRequest: every length fits one byte (n <= 64, m <= 19), so the
// message is written front to back.
static int32_t buildGetLike(NtcipPacket &p, uint8_t pduType, int32_t n, const uint8_t *oidBytes)
{
    if (n < 0 || n > NtcipPacket::OidSize)
        n = 0;
    const int32_t m = communityLength(p.community);
    uint8_t *f = p.frame;
    f[0] = NtcipPacket::Sequence;
    f[1] = uint8_t(n + m + 24);
    f[2] = NtcipPacket::IntegerTag; // version 0 is SNMPv1
    f[3] = 0x01;
    f[4] = 0x00;
    f[5] = NtcipPacket::OctetString;
    f[6] = uint8_t(m);
    std::memcpy(f + 7, p.community, size_t(m));
    f += 7 + m;
    const uint8_t body[] = {pduType, uint8_t(n + 17),
                            NtcipPacket::IntegerTag, 0x01, p.requestId,
                            NtcipPacket::IntegerTag, 0x01, 0x00, // error status
                            NtcipPacket::IntegerTag, 0x01, 0x00, // error index
                            NtcipPacket::Sequence, uint8_t(n + 6),
                            NtcipPacket::Sequence, uint8_t(n + 4),
                            NtcipPacket::ObjectIdentifier, uint8_t(n)};
    std::memcpy(f, body, sizeof body);
    f += sizeof body;
    if (n > 0)
        std::memmove(f, oidBytes, size_t(n));
    f += n;
    f[0] = NtcipPacket::NullTag;
    f[1] = 0x00;
    p.frameLength = 26 + m + n;
    return p.frameLength;
}

void NtcipPacket::buildGet()
{
    buildGetLike(*this, GetRequest, oidLength, oid);
}

void NtcipPacket::buildGetNext(int32_t length, const uint8_t *oidBytes)
{
    buildGetLike(*this, GetNextRequest, length, oidBytes);
}

void NtcipPacket::buildGetNext()
{
    buildGetNext(oidLength, oid);
}

// The SetRequest is built inside out at the start of frame: each step shifts what is there by
// the size of its header and writes the header in front, so every length is known in time.

int32_t NtcipPacket::moveValueToFrame()
{
    int32_t length = valueLength;
    if (length < 0 || length > ValueSize)
        length = 0;
    std::memcpy(frame, value, size_t(length));
    return length;
}

int32_t NtcipPacket::encodeVarBind()
{
    const int32_t n = (oidLength >= 0 && oidLength <= OidSize) ? oidLength : 0;
    const int32_t valueBytes = moveValueToFrame();
    const int32_t header = n + 3 + lengthSize(valueBytes);
    std::memmove(frame + header, frame, size_t(valueBytes));
    uint8_t *h = frame;
    *h++ = ObjectIdentifier;
    *h++ = uint8_t(n);
    std::memcpy(h, oid, size_t(n));
    h += n;
    *h++ = uint8_t(valueType);
    encodeLength(h, valueBytes);
    return header + valueBytes;
}

int32_t NtcipPacket::encodeVarBindSequence(int32_t varBindLength)
{
    const int32_t header = 1 + lengthSize(varBindLength);
    std::memmove(frame + header, frame, size_t(varBindLength));
    frame[0] = Sequence;
    encodeLength(frame + 1, varBindLength);
    return header + varBindLength;
}

int32_t NtcipPacket::encodePduBody(int32_t sequenceLength)
{
    const int32_t header = 10 + lengthSize(sequenceLength);
    std::memmove(frame + header, frame, size_t(sequenceLength));
    const uint8_t fields[] = {IntegerTag, 0x01, requestId,
                              IntegerTag, 0x01, 0x00, // error status
                              IntegerTag, 0x01, 0x00, // error index
                              Sequence};
    std::memcpy(frame, fields, sizeof fields);
    encodeLength(frame + sizeof fields, sequenceLength);
    return header + sequenceLength;
}

int32_t NtcipPacket::encodeSetPdu(int32_t bodyLength)
{
    const int32_t m = communityLength(community);
    const int32_t header = m + 6 + lengthSize(bodyLength);
    std::memmove(frame + header, frame, size_t(bodyLength));
    uint8_t *h = frame;
    *h++ = IntegerTag;
    *h++ = 0x01;
    *h++ = 0x00;
    *h++ = OctetString;
    *h++ = uint8_t(m);
    std::memcpy(h, community, size_t(m));
    h += m;
    *h++ = SetRequest;
    encodeLength(h, bodyLength);
    return header + bodyLength;
}

void NtcipPacket::buildSet()
{
    const int32_t pdu = encodeSetPdu(encodePduBody(encodeVarBindSequence(encodeVarBind())));
    const int32_t header = 1 + lengthSize(pdu);
    std::memmove(frame + header, frame, size_t(pdu));
    frame[0] = Sequence;
    encodeLength(frame + 1, pdu);
    frameLength = header + pdu;
}

int32_t NtcipPacket::encodeLength(uint8_t *out, int32_t length)
{
    if (length <= 126) {
        out[0] = uint8_t(length);
        return 1;
    }
    if (length <= 255) {
        out[0] = 0x81;
        out[1] = uint8_t(length);
        return 2;
    }
    out[0] = 0x82;
    out[1] = uint8_t(length >> 8);
    out[2] = uint8_t(length & 0xFF);
    return 3;
}

int32_t NtcipPacket::decodeLength(const uint8_t **position)
{
    const uint8_t *p = *position;
    const uint8_t first = *p++;
    uint32_t length = 0;
    if (first < 0x80) {
        length = first;
    } else {
        // 0x80 alone is a length of 0; 0x80 + k is followed by k big-endian bytes.
        for (int k = first & 0x7F; k > 0; --k)
            length = (length << 8) | *p++;
    }
    *position = p;
    return int32_t(length);
}

int NtcipPacket::decodeLengthBounded(const uint8_t **position, const uint8_t *end,
                                     int32_t *length)
{
    const uint8_t *p = *position;
    if (p >= end)
        return 0;
    const uint8_t first = *p++;
    uint32_t decoded = 0;
    if (first < 0x80) {
        decoded = first;
    } else {
        // FF is reserved in BER and never starts a length.
        if (first == 0xFF)
            return -1;
        const int count = first & 0x7F;
        if (end - p < count)
            return 0;
        // Leading zero bytes are valid BER and add nothing; a byte that would shift a set bit
        // out of the 32-bit sum makes a length too large to be meant.
        for (int k = 0; k < count; ++k) {
            if (decoded > 0x00FFFFFFu)
                return -1;
            decoded = (decoded << 8) | *p++;
        }
        if (decoded > 0x7FFFFFFFu)
            return -1;
    }
    *position = p;
    *length = int32_t(decoded);
    return 1;
}

void NtcipPacket::loadFrame(const uint8_t *bytes, int32_t length)
{
    if (length < 0 || length > FrameSize) {
        frameLength = 0;
        return;
    }
    if (length > 0)
        std::memcpy(frame, bytes, size_t(length));
    frameLength = length;
}

int NtcipPacket::fail(const char *text)
{
    std::snprintf(errorText, sizeof errorText, "%s", text);
    return 0;
}

namespace {

// A bounded reader over the loaded reply: every read first asks whether the byte is there.
struct ReplyReader
{
    const uint8_t *p;
    const uint8_t *end;

    bool has(int32_t n) const { return n >= 0 && end - p >= n; }
    // Steps over a length the check does not use: a short form, 0x80, or 0x80 + k and k bytes.
    bool skipLength()
    {
        if (!has(1))
            return false;
        const uint8_t first = *p++;
        const int32_t extra = first > 0x80 ? first & 0x7F : 0;
        if (!has(extra))
            return false;
        p += extra;
        return true;
    }
};

const char EndsEarly[] = "Reply ends early";

} // namespace

int NtcipPacket::validateResponse(int bare)
{
    const int32_t m = communityLength(community);
    const int32_t loaded = frameLength < 0 ? 0 : (frameLength > FrameSize ? FrameSize : frameLength);
    ReplyReader r{frame, frame + loaded};
    cursor = frame;

    // One byte that must hold an expected value.
    auto expect = [&](uint8_t wanted, const char *text) -> bool {
        if (!r.has(1))
            return fail(EndsEarly);
        if (*r.p != wanted)
            return fail(text);
        ++r.p;
        return true;
    };
    // An INTEGER of one byte: tag 02, length 01, then its byte in *out.
    auto oneByteInteger = [&](uint8_t *out) -> bool {
        if (!expect(IntegerTag, "Expected integer tag") ||
            !expect(0x01, "Expected integer length 1"))
            return false;
        if (!r.has(1))
            return fail(EndsEarly);
        *out = *r.p++;
        return true;
    };

    if (!bare) {
        // PMPP header; the address byte on the wire is the low 8 bits of address * 4 + 1.
        if (!expect(uint8_t(address * 4 + 1), "Address does not match") ||
            !expect(PmppControl, "Control Style not 0x13") || !expect(PmppIpi, "ipi not 0xc1"))
            return 0;
    }

    if (!expect(Sequence, "No SNMP id (0x30)"))
        return 0;
    if (!r.skipLength())
        return fail(EndsEarly);
    uint8_t version = 0;
    if (!oneByteInteger(&version))
        return 0;
    if (version != 0)
        return fail("Expected SNMP version 0");
    if (!expect(OctetString, "Expected string tag") ||
        !expect(uint8_t(m), "Community Name string length did not match"))
        return 0;
    if (!r.has(m))
        return fail(EndsEarly);
    if (std::memcmp(r.p, community, size_t(m)) != 0)
        return fail("Name is not 'harbor'");
    r.p += m;
    if (!expect(GetResponse, "Expected get-response PDU (0xa2)"))
        return 0;
    if (!r.skipLength())
        return fail(EndsEarly);

    uint8_t id = 0;
    if (!oneByteInteger(&id))
        return 0;
    if (id != requestId)
        return fail("Sequence number did not match");
    uint8_t status = 0;
    if (!oneByteInteger(&status))
        return 0;
    if (status != 0) {
        std::snprintf(errorText, sizeof errorText, "SNMP error status was 0x%02x", status);
        return 0;
    }
    uint8_t index = 0;
    if (!oneByteInteger(&index))
        return 0;
    if (index != 0)
        return fail("SNMP error index was not 0");

    if (!expect(Sequence, "Expected begin of SNMP objects (0x30)"))
        return 0;
    if (!r.skipLength())
        return fail(EndsEarly);
    if (!expect(Sequence, "Expected first SNMP object (0x30)"))
        return 0;
    if (!r.skipLength())
        return fail(EndsEarly);

    if (!expect(ObjectIdentifier, "Expected OID tag"))
        return 0;
    if (!r.has(1))
        return fail(EndsEarly);
    const int32_t n = *r.p++;
    if (n > OidSize)
        return fail("Reply OID longer than 64 bytes");
    if (!r.has(n))
        return fail(EndsEarly);
    std::memcpy(oid, r.p, size_t(n));
    oidLength = n;
    r.p += n;

    if (!r.has(1))
        return fail(EndsEarly);
    const char *typeName = "UnknownTagID";
    int32_t typeCode = 0;
    switch (*r.p++) {
    case IntegerTag: typeName = "Integer"; typeCode = 1; break;
    case OctetString: typeName = "OctetString"; typeCode = 2; break;
    case NullTag: typeName = "PlaceHolder"; typeCode = 0; break;
    case ObjectIdentifier: typeName = "ObjectID"; typeCode = 5; break;
    case Counter: typeName = "Counter"; typeCode = 3; break;
    case Gauge: typeName = "Guage"; typeCode = 4; break;
    default:
        // An unknown tag names itself in valueTypeName and leaves errorText as it was.
        valueTypeName = typeName;
        valueType = 0;
        return 0;
    }

    int32_t length = 0;
    const int lengthRead = decodeLengthBounded(&r.p, r.end, &length);
    if (lengthRead == 0)
        return fail(EndsEarly);
    if (lengthRead < 0)
        return fail("Malformed value length");
    if (length > ValueSize)
        return fail("Reply value longer than 512 bytes");
    if (!r.has(length))
        return fail("Value runs past the end of the reply");
    std::memcpy(value, r.p, size_t(length));
    r.p += length;
    cursor = const_cast<uint8_t *>(r.p);
    valueLength = length;
    valueTypeName = typeName;
    valueType = typeCode;
    return 1;
}
