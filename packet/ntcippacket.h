// The one message record of the front panel: an SNMPv1 message built or parsed in fixed buffers,
// with BER value codecs, OID text and PMPP framing for a serial link. Plain C++, no Qt, no
// allocation: every operation works inside the record's own buffers.
//
// Bounds. The builders and setters trust their callers to keep to the buffer sizes below, except
// where noted. Everything that reads bytes that came from outside (validateResponse, receiveByte,
// unstuffFrame, checkFcs, the OID text conversions) stays inside the bytes it was given.
#ifndef NTCIPPACKET_H
#define NTCIPPACKET_H

#include "ber.h"

#include <cstdint>

class NtcipPacket
{
public:
    // Buffer sizes.
    static constexpr int FrameSize = 1024;
    static constexpr int ValueSize = 512;
    static constexpr int CommunitySize = 20;
    static constexpr int OidSize = 64;
    static constexpr int ErrorTextSize = 64;
    // The largest value a SetRequest carries; setOctetString cuts longer input.
    static constexpr int MaxSendValue = 256;

    // BER tags and SNMPv1 PDU types, by the names this record's callers know them. The record
    // writes lengths by a rule of its own (see ntcippacket.cpp), which its peers rely on, so it
    // keeps its own writer; the tags are the shared ones.
    static constexpr uint8_t IntegerTag = ber::Integer;
    static constexpr uint8_t OctetString = ber::OctetString;
    static constexpr uint8_t NullTag = ber::Null;
    static constexpr uint8_t ObjectIdentifier = ber::ObjectIdentifier;
    static constexpr uint8_t Sequence = ber::Sequence;
    static constexpr uint8_t Counter = ber::Counter32;
    static constexpr uint8_t Gauge = ber::Gauge32;
    static constexpr uint8_t GetRequest = ber::GetRequest;
    static constexpr uint8_t GetNextRequest = ber::GetNextRequest;
    static constexpr uint8_t GetResponse = ber::GetResponse;
    static constexpr uint8_t SetRequest = ber::SetRequest;

    // PMPP header bytes after the address.
    static constexpr uint8_t PmppControl = 0x13;
    static constexpr uint8_t PmppIpi = 0xC1;
    static constexpr uint8_t PmppFlag = 0x7E;
    static constexpr uint8_t PmppEscape = 0x7D;

    // The record. Callers read these fields directly.
    uint8_t frame[FrameSize];
    uint8_t value[ValueSize];
    char community[CommunitySize];
    int32_t valueLength;
    const char *valueTypeName;
    // A BER tag after a value setter; a type code 0..5 after validateResponse (4 is Gauge there).
    int32_t valueType;
    uint8_t oid[OidSize];
    char errorText[ErrorTextSize];
    int32_t oidLength;
    int32_t frameLength;
    int32_t address;
    uint8_t requestId;
    uint8_t inFrame;
    uint8_t *cursor;

    NtcipPacket();

    // --- OID and value setters -------------------------------------------------------------
    // Encodes dotted text such as "1.3.6.1.4.1.1206.3.5.2.17.10.0" into oid/oidLength.
    // Arcs 0..127 take one byte and 128..16383 two; larger arcs, and a first pair 40 * x + y
    // above 127, are written as standard BER (base 128 over as many bytes as needed), which is
    // the same encoding byte for byte wherever both are defined. Text whose encoding would need
    // more than 64 bytes, or an arc above 4294967295, is refused: the result is 0 and oid and
    // oidLength keep their content. Otherwise the result is 1.
    int setOid(const char *text);
    // Copies up to 256 bytes into value; valueType = OCTET STRING. A negative length stores none.
    void setOctetString(const uint8_t *bytes, int32_t length);

    // --- Request builders (write frame and frameLength) -------------------------------------
    void buildGet();
    // GetNextRequest for the given OID content bytes (0..64 of them; outside that range, none).
    void buildGetNext(int32_t length, const uint8_t *oidBytes);
    void buildGetNext();
    void buildSet();
    // The steps of buildSet, each returning the number of bytes it leaves at the start of frame.
    int32_t moveValueToFrame();
    int32_t encodeVarBind();
    int32_t encodeVarBindSequence(int32_t varBindLength);
    int32_t encodePduBody(int32_t sequenceLength);
    int32_t encodeSetPdu(int32_t bodyLength);

    // --- Received messages -------------------------------------------------------------------
    // Copies a received datagram into frame. A length outside 0..1024 is refused: frameLength
    // becomes 0 and nothing is copied, so a cut-off datagram can never pass validation.
    void loadFrame(const uint8_t *bytes, int32_t length);
    // Checks the GetResponse in frame (bare: the SNMP message starts at frame[0]; else a
    // three-byte PMPP header comes first). Reads only the frameLength loaded bytes. Result 1
    // fills oid, oidLength, valueTypeName, valueType, valueLength and value; result 0 leaves
    // value and valueLength untouched and, except for an unknown value tag, sets errorText.
    int validateResponse(int bare);

    // --- BER value codecs and OID text -------------------------------------------------------
    // Content bytes only (no tag, no length) from value[0]. Non-negative values take 1 byte up to
    // 0x7F, 2 up to 0x3FFF, 3 up to 0x1FFFFF, 4 up to 0x0FFFFFFF, else 5 with a leading 00;
    // negative ones 1 down to -0x80, 2 down to -0x4000, 3 down to -0x200000, else the four-byte
    // two's complement. valueType = INTEGER.
    void setInteger(int32_t v);
    // The non-negative thresholds of setInteger for 0..0xFFFFFFFF; valueType is left alone.
    void setUnsigned(uint32_t u);
    void setGauge(uint32_t u);
    void setCounter(uint32_t u);
    // Two's complement of valueLength bytes (1..4); any other length is read as the five-byte
    // form, value[1..4]. valueType is not looked at.
    int32_t getInteger() const;
    uint32_t getCounter() const;
    uint32_t getGauge() const;
    // The setOid encoding, into value; valueType = OBJECT IDENTIFIER. Text whose encoding
    // would exceed the 512 bytes of value is refused (result 0, value unchanged).
    int setOidValue(const char *text);
    // Dotted text of oid; the buffer must hold 4 * oidLength + 1 characters (257 at most).
    // Sub-identifiers are read as BER (base 128 over as many bytes as needed), the counterpart
    // of setOid. The first one gives two arcs (below 80: x / 40 and x % 40, else 2 and x - 80);
    // a second arc of 0 is not printed, so the byte 28 reads "1". Where the bytes end inside a
    // sub-identifier the text ends before it. cursor ends just past the oidLength bytes.
    void oidToText(char *text);
    // The same for value as an OBJECT IDENTIFIER, into the shared oidTextBuffer, which it
    // returns; text that does not fit 128 bytes ends at the last whole arc that fits. One
    // buffer for every packet: use or copy the text before the next call, from one thread.
    const char *oidValueToText();
    static char oidTextBuffer[128];

    static int32_t encodeLength(uint8_t *out, int32_t length);
    // Reads a BER length and advances the position past it; trusts the bytes to be there.
    static int32_t decodeLength(const uint8_t **position);
    // The same for bytes from the network: reads nothing at or past end. Returns 1 with the
    // length in *length, 0 when the field is cut off by end, -1 when it is malformed (the
    // reserved first byte FF, a value above 0x7FFFFFFF, or one that does not fit 32 bits even
    // after its leading zero bytes). The position moves only on success.
    static int decodeLengthBounded(const uint8_t **position, const uint8_t *end, int32_t *length);
    // Copies all 1024 bytes of frame to out; returns 1024 and leaves cursor past frame's end.
    int32_t copyFrame(uint8_t *out);

    // --- PMPP framing --------------------------------------------------------------------------
    // Wraps the message in frame into a PMPP frame. Result 1, or 0 when the stuffed frame would
    // not fit 1024 bytes: then frame and frameLength are left as they were.
    int wrapFrame();
    // Feeds one received byte; 1 when a frame is complete in frame (both flags included, or
    // 1024 bytes without a closing flag). Bytes before an opening 7E are dropped. While a frame
    // is open, frameLength counts its bytes from the opening flag (1 after the flag) and places
    // the next byte, so moving cursor in between cannot make it write outside frame.
    int receiveByte(int byte);
    // Turns the received frame into address, control, IPI, message and FCS, without flags or
    // escapes. Reads at most frameLength bytes; stops at the closing flag or at frameLength,
    // and drops an escape byte that has nothing after it.
    void unstuffFrame();
    // 1 when the last two bytes of the unstuffed frame are the FCS-16 of those before them.
    // Otherwise 0 with "Received: %04X, Expected: %04X" in errorText; a frameLength below 2
    // gives 0 and "Frame too short for an FCS".
    int checkFcs();
    // frame = the byte 0x80 + n; frameLength = 1.
    void buildByteMessage(int n);
    // frame = the byte 0x90 + n and the given bytes; the length is kept to 0..1023.
    void buildByteDataMessage(int n, const uint8_t *bytes, int32_t length);

private:
    int fail(const char *text);
    // Encodes dotted OID text into out (capacity bytes). Returns the length, or -1 if refused.
    static int32_t encodeOidText(const char *text, uint8_t *out, int32_t capacity);
    // Dotted text of n OID content bytes into out, at most capacity characters with the NUL.
    static void oidBytesToText(const uint8_t *bytes, int32_t n, char *out, int32_t capacity);
};

// FCS-16 of RFC 1662 over length bytes; 0 for no bytes.
uint16_t fcs16(const uint8_t *bytes, int32_t length);

#endif // NTCIPPACKET_H
