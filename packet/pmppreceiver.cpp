#include "pmppreceiver.h"

namespace {
// Address, control and IPI, then the two FCS bytes.
constexpr int HeaderAndFcs = 5;
} // namespace

PmppReceiver::Result PmppReceiver::push(uint8_t byte)
{
    if (reopen) {
        reopen = false;
        packet.receiveByte(NtcipPacket::PmppFlag);
    }
    if (!packet.receiveByte(byte))
        return Result::None;
    wire = packet.frameLength;
    const bool closed = packet.frame[wire - 1] == NtcipPacket::PmppFlag;
    if (!closed) {
        // The buffer filled without a closing flag: nothing of it can be trusted, and the next
        // flag starts afresh.
        ++count.malformed;
        return Result::Malformed;
    }
    reopen = true;
    if (wire == 2)
        return Result::None;
    packet.unstuffFrame();
    if (packet.frameLength < HeaderAndFcs) {
        ++count.malformed;
        return Result::Malformed;
    }
    if (!packet.checkFcs()) {
        ++count.fcsErrors;
        return Result::BadFcs;
    }
    length = packet.frameLength - 2;
    ++count.frames;
    return Result::Frame;
}
