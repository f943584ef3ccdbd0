// The rules of one link to a controller, shared by the desktop's link task and the
// multi-controller engine: what is asked, what a reply must look like to be used, where a block
// lands on the screen, what the delay figure means and how long a link pauses.
#ifndef LINKRULES_H
#define LINKRULES_H

#include "displaygeometry.h"

#include <cstdint>

class NtcipPacket;

namespace LinkRules {

// The display mirror: 16 rows of 40 characters, then 2 bytes never shown.
constexpr int Rows = PanelDisplay::Rows;
constexpr int Columns = PanelDisplay::Columns;
constexpr int ScreenSize = 642;
// One read of a datagram; nothing we accept comes near it.
constexpr int ReceiveSize = 1024;

// Where a link goes when it is given no usable address or port. Ports 1..12 are taken for
// mistakes rather than a controller.
inline constexpr char DefaultHost[] = "127.0.0.1";
constexpr int DefaultPort = 501;
constexpr int LowestPort = 13;
constexpr int HighestPort = 65535;

constexpr int DefaultPollInterval = 100;
constexpr int ShortestPollInterval = 10;
constexpr int LongestPollInterval = 1000;

// The delay figure: 3 for a reply found at once, about the milliseconds waited, 100 when nothing
// came within about 100 ms.
constexpr int FirstWait = 3;
constexpr int NoReply = 100;
// Above this figure the controller is slow, and the pause grows to spare it.
constexpr int SlowLatency = 50;
constexpr int SlowExtraPause = 50;

inline bool usablePort(int port)
{
    return port >= LowestPort && port <= HighestPort;
}

inline bool usablePollInterval(int ms)
{
    return ms >= ShortestPollInterval && ms <= LongestPollInterval;
}

// The pause after a poll whose delay figure was figure.
inline int pauseAfter(int figure, int pollInterval)
{
    return figure > SlowLatency ? pollInterval + SlowExtraPause : pollInterval;
}

// Writes the GetRequest for one display block into the packet's frame.
void buildPoll(NtcipPacket &packet, bool firstBlock);
// Writes the SetRequest that presses key code into the packet's frame.
void buildKey(NtcipPacket &packet, uint8_t code);

// A display block taken out of a reply: its bytes stay in the packet's value buffer until the
// packet is used again.
struct Block
{
    const uint8_t *bytes = nullptr;
    int length = 0;
    // Where the bytes land in the screen.
    int offset = 0;
    // Only a first block carries the cursor (row 1..16, column 1..40, 0 for none).
    bool hasCursor = false;
    int cursorRow = 0;
    int cursorColumn = 0;
};

// Loads a received datagram into the packet and decides whether it is a display block and
// where it goes. Returns nullptr and fills block when the reply is used; otherwise the reason
// it was dropped (the packet's errorText when the message itself was refused).
// framed: the bytes are a PMPP frame's content (address, control, IPI, message), whose header
// is checked against the packet's station address.
const char *readBlock(NtcipPacket &packet, const uint8_t *bytes, int length, Block *block,
                      bool framed = false);

// What one request of a link asked for; its reply must name the same object.
enum class Asked : uint8_t { FirstBlock, SecondBlock, Key };

// The request id a reply carries: the byte of its one-byte INTEGER, or -1 when the datagram is
// no SNMPv1 GetResponse that starts with one. Reads only length bytes.
int replyRequestId(const uint8_t *bytes, int length);

// readBlock for the answer to one request: the request id must be requestId and the object the
// one asked for. A key's answer fills no block. Returns nullptr when the reply is used.
const char *readAnswer(NtcipPacket &packet, const uint8_t *bytes, int length, uint8_t requestId,
                       Asked asked, Block *block, bool framed = false);

// A PMPP frame's address, control and IPI before the message.
constexpr int PmppHeaderSize = 3;

} // namespace LinkRules

#endif // LINKRULES_H
