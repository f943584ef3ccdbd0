// The serial-link path on any byte stream: receiveByte until a frame completes, then
// unstuffFrame, checkFcs and, when the FCS holds, validateResponse behind the PMPP header.
// The same bytes, taken as a message, must also survive wrapFrame and the receiver unchanged.
// And the line's receiver: whatever came before, a right frame sent twice comes out whole.
#include "fuzzcheck.h"
#include "ntcippacket.h"
#include "pmppreceiver.h"

#include <cstdint>
#include <cstring>

namespace {

void receiveStream(const uint8_t *data, size_t size)
{
    static NtcipPacket p;
    p.inFrame = 0;
    for (size_t i = 0; i < size; ++i) {
        if (!p.receiveByte(data[i]))
            continue;
        // A complete frame holds both flags, or is cut at the buffer's end.
        FUZZ_CHECK(p.frameLength >= 2 && p.frameLength <= NtcipPacket::FrameSize);
        FUZZ_CHECK(p.frame[0] == NtcipPacket::PmppFlag);
        FUZZ_CHECK(p.frame[p.frameLength - 1] == NtcipPacket::PmppFlag ||
                   p.frameLength == NtcipPacket::FrameSize);
        FUZZ_CHECK(p.inFrame == 0);
        const int32_t received = p.frameLength;
        p.unstuffFrame();
        FUZZ_CHECK(p.frameLength >= 0 && p.frameLength < received);
        if (p.checkFcs() == 1)
            p.validateResponse(0);
        FUZZ_CHECK(std::memchr(p.errorText, '\0', sizeof p.errorText) != nullptr);
    }
}

void roundTrip(const uint8_t *data, size_t size)
{
    // Up to 506 bytes always fit, even with every byte escaped.
    if (size > 506)
        size = 506;
    static NtcipPacket sender;
    static NtcipPacket receiver;
    sender.address = size > 0 ? data[0] & 0x3F : 1;
    sender.loadFrame(data, int32_t(size));
    FUZZ_CHECK(sender.wrapFrame() == 1);
    FUZZ_CHECK(sender.frameLength >= int32_t(size) + 7 &&
               sender.frameLength <= 2 * int32_t(size) + 14);

    receiver.inFrame = 0;
    for (int32_t i = 0; i < sender.frameLength; ++i) {
        const int complete = receiver.receiveByte(sender.frame[i]);
        FUZZ_CHECK(complete == (i == sender.frameLength - 1 ? 1 : 0));
    }
    FUZZ_CHECK(receiver.frameLength == sender.frameLength);
    FUZZ_CHECK(std::memcmp(receiver.frame, sender.frame, size_t(sender.frameLength)) == 0);
    receiver.unstuffFrame();
    FUZZ_CHECK(receiver.frameLength == int32_t(size) + 5);
    FUZZ_CHECK(receiver.frame[0] == uint8_t(sender.address * 4 + 1));
    FUZZ_CHECK(receiver.frame[1] == NtcipPacket::PmppControl);
    FUZZ_CHECK(receiver.frame[2] == NtcipPacket::PmppIpi);
    FUZZ_CHECK(size == 0 || std::memcmp(receiver.frame + 3, data, size) == 0);
    FUZZ_CHECK(receiver.checkFcs() == 1);
}

void lineStream(const uint8_t *data, size_t size)
{
    PmppReceiver line;
    for (size_t i = 0; i < size; ++i) {
        if (line.push(data[i]) != PmppReceiver::Result::Frame)
            continue;
        FUZZ_CHECK(line.contentLength() >= 3 && line.contentLength() <= NtcipPacket::FrameSize);
        FUZZ_CHECK(line.wireLength() >= line.contentLength() + 4);
    }
    const PmppReceiver::Counters before = line.counters();
    static NtcipPacket good;
    good.address = 7;
    good.loadFrame(reinterpret_cast<const uint8_t *>("\x30\x03\x7e\x7d\x01"), 5);
    FUZZ_CHECK(good.wrapFrame() == 1);
    // A frame the stream left open may end whole at our first flag; ours must come out after.
    int whole = 0;
    int ours = 0;
    for (int copy = 0; copy < 2; ++copy)
        for (int32_t i = 0; i < good.frameLength; ++i)
            if (line.push(good.frame[i]) == PmppReceiver::Result::Frame) {
                ++whole;
                ours += line.contentLength() == 8 && line.content()[0] == 7 * 4 + 1 &&
                        std::memcmp(line.content() + 3, "\x30\x03\x7e\x7d\x01", 5) == 0;
            }
    FUZZ_CHECK(ours >= 1 && whole <= ours + 1);
    FUZZ_CHECK(line.counters().frames == before.frames + uint64_t(whole));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    receiveStream(data, size);
    roundTrip(data, size);
    lineStream(data, size);
    return 0;
}
