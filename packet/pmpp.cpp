// PMPP framing and FCS-16.
#include "ntcippacket.h"

#include <cstdio>
#include <cstring>

namespace {

// RFC 1662 lookup table for the reflected polynomial x^16 + x^12 + x^5 + 1 (0x8408).
// clang-format off
const uint16_t FcsTable[256] = {
    0x0000, 0x1189, 0x2312, 0x329b, 0x4624, 0x57ad, 0x6536, 0x74bf,
    0x8c48, 0x9dc1, 0xaf5a, 0xbed3, 0xca6c, 0xdbe5, 0xe97e, 0xf8f7,
    0x1081, 0x0108, 0x3393, 0x221a, 0x56a5, 0x472c, 0x75b7, 0x643e,
    0x9cc9, 0x8d40, 0xbfdb, 0xae52, 0xdaed, 0xcb64, 0xf9ff, 0xe876,
    0x2102, 0x308b, 0x0210, 0x1399, 0x6726, 0x76af, 0x4434, 0x55bd,
    0xad4a, 0xbcc3, 0x8e58, 0x9fd1, 0xeb6e, 0xfae7, 0xc87c, 0xd9f5,
    0x3183, 0x200a, 0x1291, 0x0318, 0x77a7, 0x662e, 0x54b5, 0x453c,
    0xbdcb, 0xac42, 0x9ed9, 0x8f50, 0xfbef, 0xea66, 0xd8fd, 0xc974,
    0x4204, 0x538d, 0x6116, 0x709f, 0x0420, 0x15a9, 0x2732, 0x36bb,
    0xce4c, 0xdfc5, 0xed5e, 0xfcd7, 0x8868, 0x99e1, 0xab7a, 0xbaf3,
    0x5285, 0x430c, 0x7197, 0x601e, 0x14a1, 0x0528, 0x37b3, 0x263a,
    0xdecd, 0xcf44, 0xfddf, 0xec56, 0x98e9, 0x8960, 0xbbfb, 0xaa72,
    0x6306, 0x728f, 0x4014, 0x519d, 0x2522, 0x34ab, 0x0630, 0x17b9,
    0xef4e, 0xfec7, 0xcc5c, 0xddd5, 0xa96a, 0xb8e3, 0x8a78, 0x9bf1,
    0x7387, 0x620e, 0x5095, 0x411c, 0x35a3, 0x242a, 0x16b1, 0x0738,
    0xffcf, 0xee46, 0xdcdd, 0xcd54, 0xb9eb, 0xa862, 0x9af9, 0x8b70,
    0x8408, 0x9581, 0xa71a, 0xb693, 0xc22c, 0xd3a5, 0xe13e, 0xf0b7,
    0x0840, 0x19c9, 0x2b52, 0x3adb, 0x4e64, 0x5fed, 0x6d76, 0x7cff,
    0x9489, 0x8500, 0xb79b, 0xa612, 0xd2ad, 0xc324, 0xf1bf, 0xe036,
    0x18c1, 0x0948, 0x3bd3, 0x2a5a, 0x5ee5, 0x4f6c, 0x7df7, 0x6c7e,
    0xa50a, 0xb483, 0x8618, 0x9791, 0xe32e, 0xf2a7, 0xc03c, 0xd1b5,
    0x2942, 0x38cb, 0x0a50, 0x1bd9, 0x6f66, 0x7eef, 0x4c74, 0x5dfd,
    0xb58b, 0xa402, 0x9699, 0x8710, 0xf3af, 0xe226, 0xd0bd, 0xc134,
    0x39c3, 0x284a, 0x1ad1, 0x0b58, 0x7fe7, 0x6e6e, 0x5cf5, 0x4d7c,
    0xc60c, 0xd785, 0xe51e, 0xf497, 0x8028, 0x91a1, 0xa33a, 0xb2b3,
    0x4a44, 0x5bcd, 0x6956, 0x78df, 0x0c60, 0x1de9, 0x2f72, 0x3efb,
    0xd68d, 0xc704, 0xf59f, 0xe416, 0x90a9, 0x8120, 0xb3bb, 0xa232,
    0x5ac5, 0x4b4c, 0x79d7, 0x685e, 0x1ce1, 0x0d68, 0x3ff3, 0x2e7a,
    0xe70e, 0xf687, 0xc41c, 0xd595, 0xa12a, 0xb0a3, 0x8238, 0x93b1,
    0x6b46, 0x7acf, 0x4854, 0x59dd, 0x2d62, 0x3ceb, 0x0e70, 0x1ff9,
    0xf78f, 0xe606, 0xd49d, 0xc514, 0xb1ab, 0xa022, 0x92b9, 0x8330,
    0x7bc7, 0x6a4e, 0x58d5, 0x495c, 0x3de3, 0x2c6a, 0x1ef1, 0x0f78,
};
// clang-format on

// A PMPP address byte: the station address shifted past the two low bits, with bit 0 set.
uint8_t addressByte(int32_t address)
{
    return uint8_t(uint32_t(address) * 4 + 1);
}

bool needsEscape(uint8_t b)
{
    return b == NtcipPacket::PmppFlag || b == NtcipPacket::PmppEscape;
}

} // namespace

uint16_t fcs16(const uint8_t *bytes, int32_t length)
{
    uint16_t fcs = 0xFFFF;
    for (int32_t i = 0; i < length; ++i)
        fcs = uint16_t((fcs >> 8) ^ FcsTable[(fcs ^ bytes[i]) & 0xFF]);
    return uint16_t(fcs ^ 0xFFFF);
}

// Header, message and FCS are built unstuffed in a work area, then copied into frame between
// the flags with 7D and 7E escaped. The stuffed size is counted first, so a message whose frame
// would not fit is refused before frame is touched.
int NtcipPacket::wrapFrame()
{
    const int32_t n = frameLength;
    if (n < 0 || n + 5 > FrameSize)
        return 0;
    uint8_t work[FrameSize];
    work[0] = addressByte(address);
    work[1] = PmppControl;
    work[2] = PmppIpi;
    std::memcpy(work + 3, frame, size_t(n));
    const uint16_t fcs = fcs16(work, n + 3);
    work[n + 3] = uint8_t(fcs & 0xFF); // low byte goes first
    work[n + 4] = uint8_t(fcs >> 8);

    int32_t stuffed = 2; // the two flags
    for (int32_t i = 0; i < n + 5; ++i)
        stuffed += needsEscape(work[i]) ? 2 : 1;
    if (stuffed > FrameSize)
        return 0;

    int32_t out = 0;
    frame[out++] = PmppFlag;
    for (int32_t i = 0; i < n + 5; ++i) {
        if (needsEscape(work[i])) {
            frame[out++] = PmppEscape;
            frame[out++] = uint8_t(work[i] ^ 0x20);
        } else {
            frame[out++] = work[i];
        }
    }
    frame[out++] = PmppFlag;
    frameLength = out;
    return 1;
}

// While a frame is open, frameLength counts the bytes already in frame and decides where the
// next one goes. cursor only mirrors that position: other operations move cursor between two
// received bytes (copyFrame leaves it past the end of frame, setOid puts it into oid), and a
// position taken from it could write outside frame.
int NtcipPacket::receiveByte(int byte)
{
    const uint8_t b = uint8_t(byte);
    if (!inFrame) {
        if (b != PmppFlag)
            return 0;
        inFrame = 1;
        frame[0] = PmppFlag;
        frameLength = 1;
        cursor = frame + 1;
        return 0;
    }
    int32_t position = frameLength;
    if (position < 1) {
        // Something emptied frame in the middle of a frame: start it again behind a flag.
        frame[0] = PmppFlag;
        position = 1;
    } else if (position > FrameSize - 1) {
        position = FrameSize - 1;
    }
    frame[position] = b;
    frameLength = position + 1;
    cursor = frame + frameLength;
    if (b == PmppFlag || frameLength == FrameSize) {
        inFrame = 0;
        return 1;
    }
    return 0;
}

// Reads the received bytes behind the opening flag up to the closing flag, or to frameLength
// when no closing flag came. An escape byte with nothing after it is dropped.
void NtcipPacket::unstuffFrame()
{
    uint8_t copy[FrameSize];
    std::memcpy(copy, frame, FrameSize);
    const int32_t end = frameLength < 0 ? 0 : (frameLength > FrameSize ? FrameSize : frameLength);
    int32_t out = 0;
    for (int32_t i = 1; i < end; ++i) {
        uint8_t b = copy[i];
        if (b == PmppFlag)
            break;
        if (b == PmppEscape) {
            if (++i >= end)
                break;
            b = uint8_t(copy[i] ^ 0x20);
        }
        frame[out++] = b;
    }
    frameLength = out;
}

// The last two bytes of the unstuffed frame are its FCS, low byte first.
int NtcipPacket::checkFcs()
{
    const int32_t n = frameLength;
    if (n < 2)
        return fail("Frame too short for an FCS");
    if (n > FrameSize)
        return fail("Frame length past the buffer");
    const uint16_t expected = fcs16(frame, n - 2);
    const uint16_t received = uint16_t(frame[n - 1] << 8 | frame[n - 2]);
    if (received == expected)
        return 1;
    std::snprintf(errorText, sizeof errorText, "Received: %04X, Expected: %04X", received,
                  expected);
    return 0;
}

void NtcipPacket::buildByteMessage(int n)
{
    frame[0] = uint8_t(uint32_t(n) + 0x80);
    frameLength = 1;
}

// The length is kept to what fits behind the header byte; bytes may lie inside frame.
void NtcipPacket::buildByteDataMessage(int n, const uint8_t *bytes, int32_t length)
{
    if (length < 0)
        length = 0;
    if (length > FrameSize - 1)
        length = FrameSize - 1;
    if (length > 0)
        std::memmove(frame + 1, bytes, size_t(length));
    frame[0] = uint8_t(uint32_t(n) + 0x90);
    frameLength = length + 1;
}
