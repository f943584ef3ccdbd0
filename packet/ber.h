// The BER reader and writer that the SNMPv3 messages, the links and the simulated agents share.
// The reader is a bounded cursor over bytes that came from the network: every byte is asked for
// before it is read, and every element must lie inside what its parent still holds. The writer
// works in a caller's fixed buffer. Neither allocates.
#ifndef PACKET_BER_H
#define PACKET_BER_H

#include <cstdint>

namespace ber {

// Universal tags and the SNMP PDU tags.
constexpr uint8_t Integer = 0x02;
constexpr uint8_t OctetString = 0x04;
constexpr uint8_t Null = 0x05;
constexpr uint8_t ObjectIdentifier = 0x06;
constexpr uint8_t Sequence = 0x30;
constexpr uint8_t Counter32 = 0x41;
constexpr uint8_t Gauge32 = 0x42;
constexpr uint8_t TimeTicks = 0x43;
constexpr uint8_t GetRequest = 0xA0;
constexpr uint8_t GetNextRequest = 0xA1;
constexpr uint8_t GetResponse = 0xA2;
constexpr uint8_t SetRequest = 0xA3;
// What an SNMPv3 agent answers with when its security model refuses a message.
constexpr uint8_t Report = 0xA8;

// Whether a tag is a PDU's: context-specific and constructed (0xA0 to 0xBF).
inline bool isPduTag(uint8_t tag)
{
    return (tag & 0xE0) == 0xA0;
}

// SNMP allows at most 128 sub-identifiers in an OID.
constexpr int MaxArcs = 128;

class Reader
{
public:
    Reader() = default;
    Reader(const uint8_t *begin, const uint8_t *end) : pos(begin), end(end) {}

    bool atEnd() const { return pos == end; }
    int remaining() const { return int(end - pos); }
    const uint8_t *position() const { return pos; }

    // Reads one element: its tag, its length and a reader over exactly its content, then moves
    // past it. Fails (without moving) when the element does not fit what this reader holds.
    bool readElement(uint8_t *tag, Reader *content);
    // The same, failing also when the tag differs.
    bool readExpected(uint8_t tag, Reader *content);
    // An INTEGER of 1 to 4 content bytes, sign-extended to 32 bits.
    bool readInteger(int32_t *value);
    // A non-negative INTEGER of at most 31 bits, in 1 to 5 content bytes (a fifth only as a
    // leading zero): the SNMPv3 header's and USM's integers.
    bool readNonNegative(int32_t *value);
    // An OCTET STRING of at most maxLength bytes, as a view of its content.
    bool readOctets(int maxLength, const uint8_t **content, int *length);

private:
    bool readLength(int *length);

    const uint8_t *pos = nullptr;
    const uint8_t *end = nullptr;
};

// Decodes OID content bytes into arcs. Fails for an empty OID, a last byte that announces a
// continuation, a sub-identifier with a leading 0x80 (not minimal), one above 32 bits, or more
// than maxArcs arcs.
bool decodeOid(const uint8_t *bytes, int length, uint32_t *arcs, int maxArcs, int *count);
// Encodes arcs (at least two) as OID content bytes; returns the length, or -1 when they do not
// fit capacity or the first pair is invalid.
int encodeOid(const uint32_t *arcs, int count, uint8_t *out, int capacity);
// -1, 0 or 1 as a is before, equal to or after b in the lexicographic order of the MIB.
int compareOids(const uint32_t *a, int aCount, const uint32_t *b, int bCount);

// Bytes the shortest length form takes for a content length n (0 <= n < 2^24).
int lengthSize(int n);
// Bytes of a whole element with n content bytes.
inline int elementSize(int n)
{
    return 1 + lengthSize(n) + n;
}
// Content bytes of the shortest two's complement form of v (INTEGER is signed: 128 is 00 80).
int integerSize(int32_t v);
// Content bytes of an unsigned value encoded as a positive INTEGER-like type (TimeTicks).
int unsignedSize(uint32_t v);

class Writer
{
public:
    Writer(uint8_t *begin, int capacity) : start(begin), pos(begin), end(begin + capacity) {}

    void header(uint8_t tag, int contentLength);
    void bytes(const uint8_t *data, int length);
    void element(uint8_t tag, const uint8_t *content, int length);
    void integer(int32_t v);
    void unsignedValue(uint8_t tag, uint32_t v);
    void octets(const uint8_t *content, int length) { element(OctetString, content, length); }

    // False once anything did not fit; the bytes written stay inside the buffer.
    bool ok() const { return !overflow; }
    // Bytes written so far: also where the next byte goes, counted from the buffer's start.
    int size() const { return int(pos - start); }

private:
    void put(uint8_t byte);

    uint8_t *start;
    uint8_t *pos;
    uint8_t *end;
    bool overflow = false;
};

} // namespace ber

#endif // PACKET_BER_H
