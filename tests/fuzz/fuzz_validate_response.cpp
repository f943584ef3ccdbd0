// validateResponse on any datagram: bare, with a PMPP header expected, and behind a correct
// PMPP header. Besides memory safety it checks what the reply check promises its callers.
#include "fuzzcheck.h"
#include "ntcippacket.h"

#include <cstdint>
#include <cstring>

namespace {

void checkOne(NtcipPacket &p, int bare)
{
    const int32_t loaded = p.frameLength;
    uint8_t before[NtcipPacket::FrameSize];
    std::memcpy(before, p.frame, sizeof before);
    // Marks that show whether a refused reply touched the value.
    std::memset(p.value, 0xEE, 8);
    p.valueLength = 77;

    const int accepted = p.validateResponse(bare);

    FUZZ_CHECK(accepted == 0 || accepted == 1);
    FUZZ_CHECK(p.frameLength == loaded);
    FUZZ_CHECK(std::memcmp(before, p.frame, sizeof before) == 0);
    FUZZ_CHECK(std::memchr(p.errorText, '\0', sizeof p.errorText) != nullptr);
    FUZZ_CHECK(p.oidLength >= 0 && p.oidLength <= NtcipPacket::OidSize);
    if (accepted) {
        FUZZ_CHECK(p.valueLength >= 0 && p.valueLength <= NtcipPacket::ValueSize);
        FUZZ_CHECK(p.valueType >= 0 && p.valueType <= 5);
        // The value is the last valueLength bytes read, and they lie inside the datagram.
        FUZZ_CHECK(p.cursor >= p.frame + p.valueLength && p.cursor <= p.frame + loaded);
        FUZZ_CHECK(std::memcmp(p.value, p.cursor - p.valueLength, size_t(p.valueLength)) == 0);
    } else {
        FUZZ_CHECK(p.valueLength == 77);
        FUZZ_CHECK(p.value[0] == 0xEE && p.value[7] == 0xEE);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static NtcipPacket p;
    // Past 1024 bytes loadFrame refuses the datagram; that refusal must not validate either.
    const int32_t length =
        size > size_t(NtcipPacket::FrameSize) ? NtcipPacket::FrameSize : int32_t(size);
    p.loadFrame(data, int32_t(size));
    if (size > size_t(NtcipPacket::FrameSize))
        FUZZ_CHECK(p.frameLength == 0 && p.validateResponse(1) == 0);

    p.loadFrame(data, length);
    checkOne(p, 1);
    checkOne(p, 0);

    // The same bytes behind the header of station 1, so that the framed path gets past it.
    static uint8_t framed[NtcipPacket::FrameSize];
    const int32_t body = length > NtcipPacket::FrameSize - 3 ? NtcipPacket::FrameSize - 3 : length;
    framed[0] = 0x05;
    framed[1] = NtcipPacket::PmppControl;
    framed[2] = NtcipPacket::PmppIpi;
    if (body > 0)
        std::memcpy(framed + 3, data, size_t(body));
    p.loadFrame(framed, body + 3);
    checkOne(p, 0);
    return 0;
}
