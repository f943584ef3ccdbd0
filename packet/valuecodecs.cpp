// BER value codecs and OID text.
#include "ntcippacket.h"

#include <cstdio>
#include <cstring>

char NtcipPacket::oidTextBuffer[128];

namespace {

// Writes v as its low k bytes, big-endian, into out.
void putBigEndian(uint8_t *out, uint32_t v, int32_t k)
{
    for (int32_t i = 0; i < k; ++i)
        out[i] = uint8_t(v >> (8 * (k - 1 - i)));
}

// Appends text to out while the whole of it and the NUL still fit; keeps out NUL-terminated.
// Returns false when it did not fit, so that the caller ends the text at a whole arc.
bool appendWhole(char *out, int32_t capacity, int32_t *used, const char *text)
{
    const int32_t length = int32_t(std::strlen(text));
    if (*used + length + 1 > capacity)
        return false;
    std::memcpy(out + *used, text, size_t(length) + 1);
    *used += length;
    return true;
}

// Reads one sub-identifier, base 128 with bit 7 set on every byte but its last. Returns the
// number of bytes it took, or 0 when the bytes end inside it or it does not fit 32 bits.
int32_t readSubIdentifier(const uint8_t *bytes, int32_t n, uint32_t *arc)
{
    uint64_t a = 0;
    for (int32_t i = 0; i < n; ++i) {
        a = (a << 7) | (bytes[i] & 0x7F);
        if (a > 0xFFFFFFFFu)
            return 0;
        if (!(bytes[i] & 0x80)) {
            *arc = uint32_t(a);
            return i + 1;
        }
    }
    return 0;
}

} // namespace

// INTEGER content, big-endian two's complement. The positive thresholds are 2^7, 2^14, 2^21
// and 2^28, so some values take a byte more than the shortest form (0x4000 is 00 40 00); every
// controller we talk to reads these forms. Below -0x10000000 the four-byte two's complement is
// written: it is the shortest BER form and reads back as the same 32 bits.
void NtcipPacket::setInteger(int32_t v)
{
    int32_t k = 0;
    if (v >= 0) {
        k = v <= 0x7F ? 1 : v <= 0x3FFF ? 2 : v <= 0x1FFFFF ? 3 : v <= 0x0FFFFFFF ? 4 : 5;
    } else {
        k = v >= -0x80 ? 1 : v >= -0x4000 ? 2 : v >= -0x200000 ? 3 : 4;
    }
    // A five-byte value is 00 and the four bytes of v, so that the sign stays positive.
    if (k == 5) {
        value[0] = 0x00;
        putBigEndian(value + 1, uint32_t(v), 4);
    } else {
        putBigEndian(value, uint32_t(v), k);
    }
    valueLength = k;
    valueType = IntegerTag;
}

// Counter and Gauge content: unsigned, with a leading 00 from 0x10000000 on so that a BER
// reader never takes a value with its top bit set as negative.
void NtcipPacket::setUnsigned(uint32_t u)
{
    const int32_t k = u <= 0x7F ? 1 : u <= 0x3FFF ? 2 : u <= 0x1FFFFF ? 3 : u <= 0x0FFFFFFF ? 4 : 5;
    if (k == 5) {
        value[0] = 0x00;
        putBigEndian(value + 1, u, 4);
    } else {
        putBigEndian(value, u, k);
    }
    valueLength = k;
}

void NtcipPacket::setGauge(uint32_t u)
{
    setUnsigned(u);
    valueType = Gauge;
}

void NtcipPacket::setCounter(uint32_t u)
{
    setUnsigned(u);
    valueType = Counter;
}

// One to four bytes are plain two's complement with the sign in the first byte. Any other
// length is read as the five-byte form: a leading 00, then the 32 bits.
int32_t NtcipPacket::getInteger() const
{
    const int32_t first = int8_t(value[0]);
    switch (valueLength) {
    case 1:
        return first;
    case 2:
        return first * 0x100 + value[1];
    case 3:
        return first * 0x10000 + value[1] * 0x100 + value[2];
    case 4:
        return int32_t(uint32_t(value[0]) << 24 | uint32_t(value[1]) << 16 |
                       uint32_t(value[2]) << 8 | value[3]);
    default:
        return int32_t(uint32_t(value[1]) << 24 | uint32_t(value[2]) << 16 |
                       uint32_t(value[3]) << 8 | value[4]);
    }
}

uint32_t NtcipPacket::getCounter() const
{
    return uint32_t(getInteger());
}

uint32_t NtcipPacket::getGauge() const
{
    return uint32_t(getInteger());
}

int NtcipPacket::setOidValue(const char *text)
{
    // Encode aside first so that refused text leaves the last value in place.
    uint8_t encoded[ValueSize];
    const int32_t n = encodeOidText(text, encoded, ValueSize);
    if (n < 0)
        return 0;
    std::memcpy(value, encoded, size_t(n));
    valueLength = n;
    valueType = ObjectIdentifier;
    return 1;
}

// The first sub-identifier holds two arcs: 40 * first + second below 80, else 2 and the rest.
// A second arc of 0 is not printed, so that a one-arc OID ("1" is the byte 28) reads back as
// one arc. Every further sub-identifier is one arc. Text ends where the bytes end inside a
// sub-identifier, and at the last whole arc that fits capacity.
void NtcipPacket::oidBytesToText(const uint8_t *bytes, int32_t n, char *out, int32_t capacity)
{
    if (capacity <= 0)
        return;
    out[0] = '\0';
    int32_t used = 0;
    char arcText[16];
    uint32_t sub = 0;
    int32_t taken = n > 0 ? readSubIdentifier(bytes, n, &sub) : 0;
    if (taken == 0)
        return;
    const uint32_t first = sub < 80 ? sub / 40 : 2;
    const uint32_t second = sub - 40 * first;
    std::snprintf(arcText, sizeof arcText, "%u", first);
    if (!appendWhole(out, capacity, &used, arcText))
        return;
    if (second != 0) {
        std::snprintf(arcText, sizeof arcText, ".%u", second);
        if (!appendWhole(out, capacity, &used, arcText))
            return;
    }
    for (int32_t i = taken; i < n; i += taken) {
        taken = readSubIdentifier(bytes + i, n - i, &sub);
        if (taken == 0)
            return;
        std::snprintf(arcText, sizeof arcText, ".%u", sub);
        if (!appendWhole(out, capacity, &used, arcText))
            return;
    }
}

void NtcipPacket::oidToText(char *text)
{
    const int32_t n = oidLength < 0 ? 0 : (oidLength > OidSize ? OidSize : oidLength);
    // No arc takes more than four characters per byte ("6.39", ".127", ".16383").
    oidBytesToText(oid, n, text, 4 * n + 1);
    cursor = oid + n;
}

const char *NtcipPacket::oidValueToText()
{
    const int32_t n = valueLength < 0 ? 0 : (valueLength > ValueSize ? ValueSize : valueLength);
    oidBytesToText(value, n, oidTextBuffer, int32_t(sizeof oidTextBuffer));
    return oidTextBuffer;
}

int32_t NtcipPacket::copyFrame(uint8_t *out)
{
    cursor = frame;
    std::memcpy(out, cursor, FrameSize);
    cursor += FrameSize;
    return FrameSize;
}
