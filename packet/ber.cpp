#include "ber.h"

namespace ber {

bool Reader::readLength(int *length)
{
    if (pos == end)
        return false;
    const uint8_t first = *pos;
    if (first < 0x80) {
        ++pos;
        *length = first;
        return true;
    }
    // 0x80 is the indefinite form, which SNMP does not allow; more than four length bytes
    // cannot describe anything that fits a datagram.
    const int count = first & 0x7F;
    if (count == 0 || count > 4 || remaining() < 1 + count)
        return false;
    uint32_t value = 0;
    for (int i = 1; i <= count; ++i)
        value = (value << 8) | pos[i];
    if (value > 0x7FFFFFFF)
        return false;
    pos += 1 + count;
    *length = int(value);
    return true;
}

bool Reader::readElement(uint8_t *tag, Reader *content)
{
    const uint8_t *start = pos;
    if (pos == end)
        return false;
    const uint8_t t = *pos++;
    // The high-tag-number form (low five bits all set) has no place in SNMPv1.
    int length = 0;
    if ((t & 0x1F) == 0x1F || !readLength(&length) || length > remaining()) {
        pos = start;
        return false;
    }
    *tag = t;
    *content = Reader(pos, pos + length);
    pos += length;
    return true;
}

bool Reader::readExpected(uint8_t tag, Reader *content)
{
    const uint8_t *start = pos;
    uint8_t t = 0;
    if (!readElement(&t, content))
        return false;
    if (t != tag) {
        pos = start;
        return false;
    }
    return true;
}

bool Reader::readInteger(int32_t *value)
{
    Reader content;
    const uint8_t *start = pos;
    if (!readExpected(Integer, &content))
        return false;
    const int n = content.remaining();
    if (n < 1 || n > 4) {
        pos = start;
        return false;
    }
    const uint8_t *p = content.position();
    uint32_t v = (p[0] & 0x80) ? 0xFFFFFFFFu : 0u;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    *value = int32_t(v);
    return true;
}

bool Reader::readNonNegative(int32_t *value)
{
    Reader content;
    const uint8_t *start = pos;
    if (!readExpected(Integer, &content))
        return false;
    const int n = content.remaining();
    const uint8_t *p = content.position();
    // A fifth byte may only be the leading zero that keeps a 32-bit value positive, and the
    // value must still fit in 31 bits.
    if (n < 1 || n > 5 || (p[0] & 0x80) || (n == 5 && (p[0] != 0 || (p[1] & 0x80)))) {
        pos = start;
        return false;
    }
    uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    *value = int32_t(v);
    return true;
}

bool Reader::readOctets(int maxLength, const uint8_t **content, int *length)
{
    Reader c;
    const uint8_t *start = pos;
    if (!readExpected(OctetString, &c) || c.remaining() > maxLength) {
        pos = start;
        return false;
    }
    *content = c.position();
    *length = c.remaining();
    return true;
}

bool decodeOid(const uint8_t *bytes, int length, uint32_t *arcs, int maxArcs, int *count)
{
    if (length < 1 || maxArcs < 2)
        return false;
    int n = 0;
    int i = 0;
    while (i < length) {
        // 0x80 as the first byte of a sub-identifier would be a non-minimal leading zero.
        if (bytes[i] == 0x80)
            return false;
        uint64_t v = 0;
        bool done = false;
        while (i < length) {
            const uint8_t b = bytes[i++];
            v = (v << 7) | (b & 0x7F);
            if (v > 0xFFFFFFFFu)
                return false;
            if (!(b & 0x80)) {
                done = true;
                break;
            }
        }
        if (!done)
            return false;
        if (n == 0) {
            // The first sub-identifier carries the first two arcs: 40 * x + y, x at most 2.
            const uint32_t first = v < 40 ? 0 : (v < 80 ? 1 : 2);
            arcs[n++] = first;
            arcs[n++] = uint32_t(v - 40 * first);
        } else {
            if (n == maxArcs)
                return false;
            arcs[n++] = uint32_t(v);
        }
    }
    *count = n;
    return true;
}

int encodeOid(const uint32_t *arcs, int count, uint8_t *out, int capacity)
{
    if (count < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] > 39))
        return -1;
    int n = 0;
    for (int i = 1; i < count; ++i) {
        const uint64_t v = i == 1 ? uint64_t(arcs[0]) * 40 + arcs[1] : arcs[i];
        uint8_t groups[10];
        int g = 0;
        uint64_t rest = v;
        do {
            groups[g++] = uint8_t(rest & 0x7F);
            rest >>= 7;
        } while (rest);
        if (n + g > capacity)
            return -1;
        while (g > 1)
            out[n++] = uint8_t(groups[--g] | 0x80);
        out[n++] = groups[0];
    }
    return n;
}

int compareOids(const uint32_t *a, int aCount, const uint32_t *b, int bCount)
{
    const int n = aCount < bCount ? aCount : bCount;
    for (int i = 0; i < n; ++i) {
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
    }
    if (aCount == bCount)
        return 0;
    return aCount < bCount ? -1 : 1;
}

int lengthSize(int n)
{
    if (n < 0x80)
        return 1;
    if (n < 0x100)
        return 2;
    if (n < 0x10000)
        return 3;
    return 4;
}

int integerSize(int32_t v)
{
    int n = 4;
    // Drop leading bytes that only repeat the sign of the next byte.
    while (n > 1) {
        const int32_t top = v >> (8 * (n - 1) - 1);
        if (top != 0 && top != -1)
            break;
        --n;
    }
    return n;
}

int unsignedSize(uint32_t v)
{
    int n = 1;
    while (n < 5 && (uint64_t(v) >> (8 * n - 1)) != 0)
        ++n;
    return n;
}

void Writer::put(uint8_t byte)
{
    if (pos == end) {
        overflow = true;
        return;
    }
    *pos++ = byte;
}

void Writer::header(uint8_t tag, int contentLength)
{
    put(tag);
    const int extra = lengthSize(contentLength) - 1;
    if (extra == 0) {
        put(uint8_t(contentLength));
        return;
    }
    put(uint8_t(0x80 | extra));
    for (int i = extra - 1; i >= 0; --i)
        put(uint8_t(contentLength >> (8 * i)));
}

void Writer::bytes(const uint8_t *data, int length)
{
    for (int i = 0; i < length; ++i)
        put(data[i]);
}

void Writer::element(uint8_t tag, const uint8_t *content, int length)
{
    header(tag, length);
    bytes(content, length);
}

void Writer::integer(int32_t v)
{
    const int n = integerSize(v);
    header(Integer, n);
    for (int i = n - 1; i >= 0; --i)
        put(uint8_t(uint32_t(v) >> (8 * i)));
}

void Writer::unsignedValue(uint8_t tag, uint32_t v)
{
    const int n = unsignedSize(v);
    header(tag, n);
    for (int i = n - 1; i >= 0; --i)
        put(i >= 4 ? 0 : uint8_t(v >> (8 * i)));
}

} // namespace ber
