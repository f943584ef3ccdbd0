// Frames out of a serial line's byte stream. The packet's byte-wise receiver collects one frame
// between two flags; this adds what a line needs around it: the closing flag of one frame may be
// the opening flag of the next (a receiver that joined in the middle of a frame, or lost a byte,
// finds its step again at the next flag), empty frames between doubled flags are nothing, and
// a frame is only handed on once its stuffing is removed and its FCS is right.
#ifndef PMPPRECEIVER_H
#define PMPPRECEIVER_H

#include "ntcippacket.h"

#include <cstdint>

class PmppReceiver
{
public:
    enum class Result : uint8_t {
        None,     // no frame ended with this byte
        Frame,    // a frame with a right FCS: content() holds it
        BadFcs,   // a frame whose FCS is wrong: dropped
        Malformed // shorter than a header and an FCS, or no closing flag within the buffer
    };

    struct Counters
    {
        uint64_t frames = 0;
        uint64_t fcsErrors = 0;
        uint64_t malformed = 0;
    };

    // Takes one byte from the line.
    Result push(uint8_t byte);
    // After Frame, until the next push: address, control, IPI and message, without the FCS.
    const uint8_t *content() const { return packet.frame; }
    int contentLength() const { return length; }
    // The bytes the last frame took on the line, both flags and the stuffing included.
    int wireLength() const { return wire; }
    // Inside a frame: bytes of it have come and its closing flag has not.
    bool midFrame() const { return packet.inFrame != 0 && packet.frameLength > 1; }
    const Counters &counters() const { return count; }

private:
    NtcipPacket packet;
    int length = 0;
    int wire = 0;
    // The flag that closed the last frame opens the next one at the next push, once the caller
    // is done with content().
    bool reopen = false;
    Counters count;
};

#endif // PMPPRECEIVER_H
