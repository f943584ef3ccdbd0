// The request building and reply placement of a controller link.
#include "linkrules.h"

#include "ntcippacket.h"

#include <cstring>

namespace LinkRules {

namespace {

// The display blocks and the key of the controller's front panel.
const char FirstBlockOid[] = "1.3.6.1.4.1.1206.3.5.2.17.12.1.2.1";
const char SecondBlockOid[] = "1.3.6.1.4.1.1206.3.5.2.17.12.1.2.2";
const char KeyOid[] = "1.3.6.1.4.1.1206.3.5.2.17.10.0";

// A first block of 2 + 320 bytes in a reply with the six-letter community and three-byte
// lengths is exactly this long; a reply above it is not one of ours.
constexpr int LargestReply = 379;
// Four rows: a shorter value cannot be a display block.
constexpr int SmallestBlock = 160;
// The cursor bytes of a first block: row 1..16 and column 1..40, 0 for none. A second block
// starts with display characters, which lie above 16.
constexpr int LastCursorRow = PanelDisplay::Rows;
constexpr int LastCursorColumn = PanelDisplay::Columns;

} // namespace

void buildPoll(NtcipPacket &packet, bool firstBlock)
{
    packet.setOid(firstBlock ? FirstBlockOid : SecondBlockOid);
    packet.buildGet();
}

void buildKey(NtcipPacket &packet, uint8_t code)
{
    packet.setOid(KeyOid);
    packet.setOctetString(&code, 1);
    packet.buildSet();
}

namespace {

// Loads a reply of a size ours can have and checks it as a GetResponse; the refusal, or nullptr.
const char *loadReply(NtcipPacket &packet, const uint8_t *bytes, int length, bool framed)
{
    const int header = framed ? PmppHeaderSize : 0;
    if (!bytes || length < 1 + header || length > LargestReply + header)
        return "Reply size outside 1..379 bytes";
    packet.loadFrame(bytes, length);
    packet.errorText[0] = '\0';
    if (!packet.validateResponse(framed ? 0 : 1))
        return packet.errorText[0] != '\0' ? packet.errorText : "Unknown value type";
    return nullptr;
}

} // namespace

const char *readBlock(NtcipPacket &packet, const uint8_t *bytes, int length, Block *block,
                      bool framed)
{
    if (const char *refusal = loadReply(packet, bytes, length, framed))
        return refusal;
    const int n = packet.valueLength;
    if (n < SmallestBlock)
        return "Value shorter than four rows";
    const uint8_t *value = packet.value;
    const int b0 = value[0];
    const int b1 = value[1];
    if (b0 <= LastCursorRow && b1 <= LastCursorColumn) {
        // First block: cursor row and column, then the rows from row 0 on.
        block->bytes = value + 2;
        block->length = n - 2;
        block->offset = 0;
        block->hasCursor = true;
        block->cursorRow = b0;
        block->cursorColumn = b1;
        return nullptr;
    }
    // Second block: it lands at the offset equal to its own length, so 320 bytes fill rows
    // 8..15. One longer than 321 bytes would run past the screen: such a block is no layout
    // we know, and it is dropped whole rather than shown cut.
    if (2 * n > ScreenSize)
        return "Second block longer than the screen";
    block->bytes = value;
    block->length = n;
    block->offset = n;
    block->hasCursor = false;
    return nullptr;
}

int replyRequestId(const uint8_t *bytes, int length)
{
    if (!bytes || length < 1 || length > LargestReply)
        return -1;
    const uint8_t *p = bytes;
    const uint8_t *end = bytes + length;
    int32_t n = 0;
    // SEQUENCE, version 0, community, GetResponse, then the request id.
    if (*p++ != NtcipPacket::Sequence || NtcipPacket::decodeLengthBounded(&p, end, &n) != 1)
        return -1;
    if (end - p < 5 || p[0] != NtcipPacket::IntegerTag || p[1] != 0x01 || p[2] != 0x00 ||
        p[3] != NtcipPacket::OctetString)
        return -1;
    p += 4;
    if (NtcipPacket::decodeLengthBounded(&p, end, &n) != 1 || n > end - p)
        return -1;
    p += n;
    if (end - p < 1 || *p++ != NtcipPacket::GetResponse ||
        NtcipPacket::decodeLengthBounded(&p, end, &n) != 1)
        return -1;
    if (end - p < 3 || p[0] != NtcipPacket::IntegerTag || p[1] != 0x01)
        return -1;
    return p[2];
}

const char *readAnswer(NtcipPacket &packet, const uint8_t *bytes, int length, uint8_t requestId,
                       Asked asked, Block *block, bool framed)
{
    packet.requestId = requestId;
    const char *refusal = asked == Asked::Key ? loadReply(packet, bytes, length, framed)
                                              : readBlock(packet, bytes, length, block, framed);
    if (refusal)
        return refusal;
    // The three objects' encodings, made once.
    struct Encoded
    {
        uint8_t bytes[3][NtcipPacket::OidSize];
        int length[3];
    };
    static const Encoded encoded = [] {
        Encoded e{};
        const char *texts[3] = {FirstBlockOid, SecondBlockOid, KeyOid};
        NtcipPacket p;
        for (int i = 0; i < 3; ++i) {
            p.setOid(texts[i]);
            std::memcpy(e.bytes[i], p.oid, size_t(p.oidLength));
            e.length[i] = p.oidLength;
        }
        return e;
    }();
    const int which = int(asked);
    if (encoded.length[which] != packet.oidLength ||
        std::memcmp(encoded.bytes[which], packet.oid, size_t(packet.oidLength)) != 0)
        return "Reply names another object than its request";
    if (asked != Asked::Key && block->hasCursor != (asked == Asked::FirstBlock))
        return "Block does not match its request";
    return nullptr;
}

} // namespace LinkRules
