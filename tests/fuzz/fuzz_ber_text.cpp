// The BER length readers and the OID text conversions on arbitrary bytes.
#include "fuzzcheck.h"
#include "ntcippacket.h"

#include <cstdint>
#include <cstring>

namespace {

void lengths(const uint8_t *data, size_t size)
{
    const uint8_t *end = data + size;
    const uint8_t *position = data;
    int32_t length = -1;
    const int result = NtcipPacket::decodeLengthBounded(&position, end, &length);
    FUZZ_CHECK(result >= -1 && result <= 1);
    if (result != 1) {
        FUZZ_CHECK(position == data);
        return;
    }
    FUZZ_CHECK(position > data && position <= end && length >= 0);

    // The unbounded reader trusts its count byte; give it the bytes the bounded one accepted
    // and it must read the same length over the same number of bytes.
    uint8_t padded[1 + 127];
    const size_t used = size_t(position - data);
    std::memcpy(padded, data, used);
    const uint8_t *trusting = padded;
    FUZZ_CHECK(NtcipPacket::decodeLength(&trusting) == length);
    FUZZ_CHECK(size_t(trusting - padded) == used);
}

bool printsBackExactly(const uint8_t *bytes, int32_t n)
{
    if (n == 0 || bytes[0] >= 0x80 || bytes[0] % 40 == 0)
        return false;
    for (int32_t i = 1; i < n; ++i) {
        if (bytes[i] < 0x80)
            continue;
        if (bytes[i] == 0x80 || i + 1 >= n || bytes[i + 1] >= 0x80)
            return false;
        ++i;
    }
    return true;
}

void oidText(const uint8_t *data, size_t size)
{
    static NtcipPacket p;
    const int32_t n = size > size_t(NtcipPacket::OidSize) ? NtcipPacket::OidSize : int32_t(size);
    std::memcpy(p.oid, data, size_t(n));
    p.oidLength = n;
    // 4 * 64 + 1 characters at most; the rest of the buffer must stay as it was.
    char text[512];
    std::memset(text, 0x5A, sizeof text);
    p.oidToText(text);
    const char *nul = static_cast<const char *>(std::memchr(text, '\0', sizeof text));
    FUZZ_CHECK(nul != nullptr && nul - text <= 4 * n);
    for (size_t i = size_t(4 * n + 1); i < sizeof text; ++i)
        FUZZ_CHECK(text[i] == 0x5A);
    FUZZ_CHECK(p.cursor >= p.oid && p.cursor <= p.oid + n);

    // Bytes in the shape the printer reads (a first byte with a non-zero second arc, then arcs
    // of one byte, or of two bytes without a leading zero group) print text that setOid encodes
    // back into the same bytes.
    if (printsBackExactly(data, n)) {
        static NtcipPacket q;
        FUZZ_CHECK(q.setOid(text) == 1);
        FUZZ_CHECK(q.oidLength == n && std::memcmp(q.oid, data, size_t(n)) == 0);
    }
}

void oidValueText(const uint8_t *data, size_t size)
{
    static NtcipPacket p;
    const int32_t n =
        size > size_t(NtcipPacket::ValueSize) ? NtcipPacket::ValueSize : int32_t(size);
    std::memcpy(p.value, data, size_t(n));
    p.valueLength = n;
    const char *text = p.oidValueToText();
    FUZZ_CHECK(text == NtcipPacket::oidTextBuffer);
    FUZZ_CHECK(std::memchr(text, '\0', sizeof NtcipPacket::oidTextBuffer) != nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    lengths(data, size);
    oidText(data, size);
    oidValueText(data, size);
    return 0;
}
