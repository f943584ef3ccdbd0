// The SNMP exchange of NtcipPacket: request bytes, reply checks and hostile replies.
#include "ntcippacket.h"

#include "snmpbytes.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QTest>

#include <cstring>

namespace {

using SnmpBytes::FirstBlockOid;
using SnmpBytes::KeyOid;
// The same OIDs' content bytes, written out by hand.
const QByteArray FirstBlockOidBytes = QByteArray::fromHex("2b060104018936030502110c010201");
const QByteArray KeyOidBytes = QByteArray::fromHex("2b060104018936030502110a00");


QByteArray frameBytes(const NtcipPacket &p)
{
    return QByteArray(reinterpret_cast<const char *>(p.frame), p.frameLength);
}

using SnmpBytes::hex;
using SnmpBytes::tlv;

// A GetResponse as a controller sends it; every field can be bent by the tests.
struct Reply
{
    QByteArray community = "harbor";
    uint8_t version = 0;
    uint8_t pdu = 0xA2;
    uint8_t requestId = 0;
    uint8_t status = 0;
    uint8_t index = 0;
    QByteArray oid = FirstBlockOidBytes;
    uint8_t valueTag = 0x04;
    QByteArray value = QByteArray(322, 'A');
    // Empty: the value's length in the shortest form. Otherwise these bytes stand for it.
    QByteArray valueLengthField;

    QByteArray bytes() const
    {
        const QByteArray valueField =
            valueLengthField.isEmpty() ? tlv(valueTag, value)
                                       : QByteArray(1, char(valueTag)) + valueLengthField + value;
        QByteArray binding = tlv(0x06, oid) + valueField;
        QByteArray body = tlv(0x02, QByteArray(1, char(requestId))) +
                          tlv(0x02, QByteArray(1, char(status))) +
                          tlv(0x02, QByteArray(1, char(index))) + tlv(0x30, tlv(0x30, binding));
        return tlv(0x30, tlv(0x02, QByteArray(1, char(version))) + tlv(0x04, community) +
                             tlv(pdu, body));
    }
};

int validate(NtcipPacket &p, const QByteArray &bytes, int bare = 1)
{
    p.loadFrame(reinterpret_cast<const uint8_t *>(bytes.constData()), int32_t(bytes.size()));
    return p.validateResponse(bare);
}

// Marks value, valueLength and errorText so that a test can see whether they were touched.
void mark(NtcipPacket &p)
{
    std::memset(p.value, 0xEE, sizeof p.value);
    p.valueLength = 77;
    std::strcpy(p.errorText, "untouched");
}

// A refused reply: its text in errorText, value and valueLength untouched, frame unchanged and
// the OID length inside its buffer.
void checkRefused(const QByteArray &bytes, const QByteArray &error)
{
    NtcipPacket p;
    mark(p);
    QCOMPARE(validate(p, bytes), 0);
    QCOMPARE(QByteArray(p.errorText), error);
    QCOMPARE(p.valueLength, 77);
    QCOMPARE(int(p.value[0]), 0xEE);
    QCOMPARE(frameBytes(p), bytes);
    QVERIFY(p.oidLength >= 0 && p.oidLength <= NtcipPacket::OidSize);
}

} // namespace

class TestNtcipPacket : public QObject
{
    Q_OBJECT

private slots:
    void constructorState();

    void setOid_data();
    void setOid();
    void setOidRefusesWhatDoesNotFit_data();
    void setOidRefusesWhatDoesNotFit();

    void setOctetString();
    void buildGetDisplayBlock();
    void buildGetNext();
    void buildSetKeyCode();
    void buildSetLengthBoundaries_data();
    void buildSetLengthBoundaries();
    void buildSetTwoHundredByteValue();

    void loadFrameRefusesOutOfRangeLengths_data();
    void loadFrameRefusesOutOfRangeLengths();

    void acceptedReplies_data();
    void acceptedReplies();
    void refusedReplies_data();
    void refusedReplies();
    void unknownValueTag();
    void framedHeader_data();
    void framedHeader();

    void hostileReplies_data();
    void hostileReplies();
    void everyTruncationIsRefused();
    void randomBytesNeverEscapeTheBuffers();
};

void TestNtcipPacket::constructorState()
{
    NtcipPacket p;
    QCOMPARE(p.address, 1);
    QCOMPARE(p.frameLength, 0);
    QCOMPARE(int(p.requestId), 0);
    QCOMPARE(int(p.inFrame), 0);
    QCOMPARE(QByteArray(p.community), QByteArray("harbor"));
}

void TestNtcipPacket::setOid_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("encoded");

    QTest::newRow("key OID") << QByteArray(KeyOid) << KeyOidBytes;
    QTest::newRow("first display block") << QByteArray(FirstBlockOid) << FirstBlockOidBytes;
    QTest::newRow("single arc 2") << QByteArray("2") << hex("50");
    QTest::newRow("single arc 1") << QByteArray("1") << hex("28");
    QTest::newRow("arc 127 one byte") << QByteArray("1.3.127") << hex("2b7f");
    QTest::newRow("arc 128 two bytes") << QByteArray("1.3.128") << hex("2b8100");
    QTest::newRow("arc 1206") << QByteArray("1.3.1206") << hex("2b8936");
    QTest::newRow("arc 16383 last of two bytes") << QByteArray("1.3.16383") << hex("2bff7f");
    QTest::newRow("arc 16384 takes three bytes") << QByteArray("1.3.16384") << hex("2b818000");
    QTest::newRow("largest 32-bit arc") << QByteArray("1.3.4294967295") << hex("2b8fffffff7f");
    QTest::newRow("first pair 127") << QByteArray("2.47") << hex("7f");
    QTest::newRow("first pair 180 in base 128") << QByteArray("2.100") << hex("8134");
    QTest::newRow("text ends at other character") << QByteArray("1.3.6x.7") << hex("2b06");
}

void TestNtcipPacket::setOid()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, encoded);
    NtcipPacket p;
    QCOMPARE(p.setOid(text.constData()), 1);
    QCOMPARE(p.oidLength, int32_t(encoded.size()));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(p.oid), p.oidLength), encoded);
}

void TestNtcipPacket::setOidRefusesWhatDoesNotFit_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("fits");

    // "1.3" is one byte; every ".1" adds one.
    QByteArray exactly64 = "1.3";
    for (int i = 0; i < 63; ++i)
        exactly64 += ".1";
    QTest::newRow("64 bytes fit") << exactly64 << true;
    QTest::newRow("65 bytes refused") << exactly64 + ".1" << false;
    QTest::newRow("two-byte arc crossing 64") << exactly64.left(exactly64.size() - 2) + ".200"
                                              << false;
    QTest::newRow("arc above 32 bits refused") << QByteArray("1.3.4294967296") << false;
    QTest::newRow("very long digit run refused") << QByteArray("1.3.") + QByteArray(400, '9')
                                                 << false;
}

void TestNtcipPacket::setOidRefusesWhatDoesNotFit()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, fits);
    NtcipPacket p;
    p.setOid(KeyOid);
    const int result = p.setOid(text.constData());
    QCOMPARE(result, fits ? 1 : 0);
    if (fits) {
        QCOMPARE(p.oidLength, 64);
    } else {
        // The previous OID stays usable.
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(p.oid), p.oidLength), KeyOidBytes);
    }
}

void TestNtcipPacket::setOctetString()
{
    NtcipPacket p;
    uint8_t bytes[300];
    for (int i = 0; i < 300; ++i)
        bytes[i] = uint8_t(i);
    p.setOctetString(bytes, 300);
    QCOMPARE(p.valueLength, 256);
    QCOMPARE(p.valueType, 4);
    QCOMPARE(int(p.value[255]), 255);

    p.setOctetString(bytes, -5);
    QCOMPARE(p.valueLength, 0);

    p.setOid(KeyOid);
    p.setOctetString(bytes, 0);
    p.buildSet();
    QCOMPARE(frameBytes(p).right(2), hex("0400"));
}

void TestNtcipPacket::buildGetDisplayBlock()
{
    NtcipPacket p;
    p.setOid(FirstBlockOid);
    p.buildGet();
    const QByteArray expected = hex("302d 020100 0406686172626f72 a020 020100 020100 020100 3015 3013 060f") +
                                FirstBlockOidBytes + hex("0500");
    QCOMPARE(p.frameLength, 47);
    QCOMPARE(frameBytes(p), expected);

    // Building again without setOid gives the same message.
    p.buildGet();
    QCOMPARE(frameBytes(p), expected);
}

void TestNtcipPacket::buildGetNext()
{
    NtcipPacket p;
    p.setOid(KeyOid);
    p.buildGetNext();
    QCOMPARE(p.frameLength, 26 + 6 + 13);
    QCOMPARE(int(p.frame[13]), 0xA1);
    QCOMPARE(frameBytes(p).mid(30, 13), KeyOidBytes);

    const uint8_t two[] = {0x2B, 0x06};
    p.buildGetNext(2, two);
    QCOMPARE(frameBytes(p), hex("3020 020100 0406686172626f72 a113 020100 020100 020100 3008 3006 0602 2b06 0500"));
    // The packet's own OID is not replaced by the explicit one.
    QCOMPARE(p.oidLength, 13);
}

void TestNtcipPacket::buildSetKeyCode()
{
    NtcipPacket p;
    p.setOid(KeyOid);
    const uint8_t code = 23;
    p.setOctetString(&code, 1);
    p.buildSet();
    const QByteArray expected = hex("302c 020100 0406686172626f72 a31f 020100 020100 020100 3014 3012 060d") +
                                KeyOidBytes + hex("040117");
    QCOMPARE(p.frameLength, 46);
    QCOMPARE(frameBytes(p), expected);
}

void TestNtcipPacket::buildSetLengthBoundaries_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("lengthField");

    QTest::newRow("126 is one byte") << 126 << hex("7e");
    QTest::newRow("127 takes 81 7F") << 127 << hex("817f");
    QTest::newRow("255 takes 81 FF") << 255 << hex("81ff");
    QTest::newRow("256 takes 82 01 00") << 256 << hex("820100");
}

void TestNtcipPacket::buildSetLengthBoundaries()
{
    QFETCH(int, length);
    QFETCH(QByteArray, lengthField);
    NtcipPacket p;
    p.setOid(KeyOid);
    QByteArray value(length, 'v');
    p.setOctetString(reinterpret_cast<const uint8_t *>(value.constData()), length);
    p.buildSet();
    const QByteArray built = frameBytes(p);
    QVERIFY(built.endsWith(QByteArray(1, 0x04) + lengthField + value));
    // The outer length agrees with what was written.
    const uint8_t *position = p.frame + 1;
    const int32_t outer = NtcipPacket::decodeLength(&position);
    QCOMPARE(int(position - p.frame) + outer, p.frameLength);
}

void TestNtcipPacket::buildSetTwoHundredByteValue()
{
    NtcipPacket p;
    p.setOid(KeyOid);
    const QByteArray value(200, 'x');
    p.setOctetString(reinterpret_cast<const uint8_t *>(value.constData()), 200);
    p.buildSet();
    QCOMPARE(p.frameLength, 250);
    const QByteArray expected =
        hex("3081f7 020100 0406686172626f72 a381e9 020100 020100 020100 3081dd 3081da 060d") +
        KeyOidBytes + hex("0481c8") + value;
    QCOMPARE(frameBytes(p), expected);
}

void TestNtcipPacket::loadFrameRefusesOutOfRangeLengths_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("loaded");

    QTest::newRow("negative") << -1 << 0;
    QTest::newRow("zero") << 0 << 0;
    QTest::newRow("full 1024") << 1024 << 1024;
    QTest::newRow("1025 refused") << 1025 << 0;
}

void TestNtcipPacket::loadFrameRefusesOutOfRangeLengths()
{
    QFETCH(int, length);
    QFETCH(int, loaded);
    // A source larger than the frame: a refused length must copy nothing at all.
    static uint8_t source[2048];
    std::memset(source, 0x5A, sizeof source);
    NtcipPacket p;
    std::memset(p.frame, 0, sizeof p.frame);
    p.loadFrame(source, length);
    QCOMPARE(p.frameLength, loaded);
    QCOMPARE(int(p.frame[0]), loaded > 0 ? 0x5A : 0);
}

void TestNtcipPacket::acceptedReplies_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("typeName");
    QTest::addColumn<int>("typeCode");
    QTest::addColumn<QByteArray>("value");

    Reply display;
    QTest::newRow("first display block, 379 bytes")
        << display.bytes() << QByteArray("OctetString") << 2 << display.value;

    Reply null;
    null.valueTag = 0x05;
    null.value.clear();
    QTest::newRow("NULL placeholder") << null.bytes() << QByteArray("PlaceHolder") << 0
                                      << QByteArray();

    Reply gauge;
    gauge.valueTag = 0x42;
    gauge.value = hex("00c8");
    QTest::newRow("Gauge") << gauge.bytes() << QByteArray("Guage") << 4 << gauge.value;

    Reply integer;
    integer.valueTag = 0x02;
    integer.value = hex("ff38");
    QTest::newRow("Integer") << integer.bytes() << QByteArray("Integer") << 1 << integer.value;

    Reply counter;
    counter.valueTag = 0x41;
    counter.value = hex("00ffffffff");
    QTest::newRow("Counter") << counter.bytes() << QByteArray("Counter") << 3 << counter.value;

    Reply objectId;
    objectId.valueTag = 0x06;
    objectId.value = KeyOidBytes;
    QTest::newRow("ObjectID") << objectId.bytes() << QByteArray("ObjectID") << 5 << KeyOidBytes;

    // The message length in long form: 81 2F instead of 2F.
    Reply small;
    small.value = "ab";
    QByteArray longForm = small.bytes();
    QCOMPARE(int(uint8_t(longForm[1])), 0x2F);
    longForm.insert(1, char(0x81));
    QTest::newRow("message length 81 2F") << longForm << QByteArray("OctetString") << 2
                                          << QByteArray("ab");

    Reply big;
    big.value = QByteArray(256, 'b');
    QTest::newRow("value length 82 01 00")
        << big.bytes() << QByteArray("OctetString") << 2 << big.value;

    // Long-form value lengths with leading zero bytes: valid BER.
    Reply padded;
    padded.value = QByteArray(512, 'p');
    padded.valueLengthField = hex("850000000200");
    QTest::newRow("value length 85 00 00 00 02 00 is 512")
        << padded.bytes() << QByteArray("OctetString") << 2 << padded.value;
    padded.value = QByteArray(160, 'q');
    padded.valueLengthField = hex("8500000000a0");
    QTest::newRow("value length 85 00 00 00 00 A0 is 160")
        << padded.bytes() << QByteArray("OctetString") << 2 << padded.value;

    Reply full;
    full.value = QByteArray(512, 'f');
    QTest::newRow("value of 512 bytes fills value") << full.bytes() << QByteArray("OctetString")
                                                    << 2 << full.value;

    // A value length of 0x80 alone is an empty value.
    QByteArray emptyLong = null.bytes();
    emptyLong[emptyLong.size() - 1] = char(0x80);
    emptyLong[emptyLong.size() - 2] = char(0x04);
    QTest::newRow("value length 80 alone") << emptyLong << QByteArray("OctetString") << 2
                                           << QByteArray();
}

void TestNtcipPacket::acceptedReplies()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, typeName);
    QFETCH(int, typeCode);
    QFETCH(QByteArray, value);
    NtcipPacket p;
    mark(p);
    QCOMPARE(validate(p, bytes), 1);
    QCOMPARE(QByteArray(p.valueTypeName), typeName);
    QCOMPARE(p.valueType, typeCode);
    QCOMPARE(p.valueLength, int32_t(value.size()));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(p.value), p.valueLength), value);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(p.oid), p.oidLength), FirstBlockOidBytes);
    QCOMPARE(QByteArray(p.errorText), QByteArray("untouched"));
    QCOMPARE(frameBytes(p), bytes);
}

void TestNtcipPacket::refusedReplies_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("error");

    const QByteArray good = Reply().bytes();
    auto bent = [&](int at, char to) {
        QByteArray b = good;
        b[at] = to;
        return b;
    };
    // Offsets in the 379-byte reply: 30 82 01 77 | 02 01 00 | 04 06 harbor | a2 82 01 68 | ...
    QTest::newRow("message tag") << bent(0, 0x31) << QByteArray("No SNMP id (0x30)");
    QTest::newRow("version tag") << bent(4, 0x04) << QByteArray("Expected integer tag");
    QTest::newRow("version length") << bent(5, 0x02) << QByteArray("Expected integer length 1");
    QTest::newRow("version 2c") << bent(6, 0x01) << QByteArray("Expected SNMP version 0");
    QTest::newRow("community tag") << bent(7, 0x02) << QByteArray("Expected string tag");
    QTest::newRow("community length")
        << bent(8, 0x05) << QByteArray("Community Name string length did not match");
    QTest::newRow("community name") << bent(14, 'x') << QByteArray("Name is not 'harbor'");
    QTest::newRow("PDU type") << bent(15, char(0xA0))
                              << QByteArray("Expected get-response PDU (0xa2)");
    QTest::newRow("request id tag") << bent(19, 0x04) << QByteArray("Expected integer tag");
    QTest::newRow("request id length") << bent(20, 0x02)
                                       << QByteArray("Expected integer length 1");
    QTest::newRow("request id") << bent(21, 0x01) << QByteArray("Sequence number did not match");
    QTest::newRow("error status tag") << bent(22, 0x05) << QByteArray("Expected integer tag");
    QTest::newRow("error status length") << bent(23, 0x00)
                                         << QByteArray("Expected integer length 1");
    QTest::newRow("error status 2") << bent(24, 0x02) << QByteArray("SNMP error status was 0x02");
    QTest::newRow("error status ab") << bent(24, char(0xAB))
                                     << QByteArray("SNMP error status was 0xab");
    QTest::newRow("error index tag") << bent(25, 0x30) << QByteArray("Expected integer tag");
    QTest::newRow("error index length") << bent(26, 0x03)
                                        << QByteArray("Expected integer length 1");
    QTest::newRow("error index 1") << bent(27, 0x01) << QByteArray("SNMP error index was not 0");
    QTest::newRow("binding list tag") << bent(28, 0x31)
                                      << QByteArray("Expected begin of SNMP objects (0x30)");
    QTest::newRow("binding tag") << bent(32, 0x31)
                                 << QByteArray("Expected first SNMP object (0x30)");
    QTest::newRow("OID tag") << bent(36, 0x04) << QByteArray("Expected OID tag");
}

void TestNtcipPacket::refusedReplies()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, error);
    checkRefused(bytes, error);
}

void TestNtcipPacket::unknownValueTag()
{
    Reply reply;
    reply.valueTag = 0x43;
    reply.value = hex("0102");
    NtcipPacket p;
    p.setOid(KeyOid);
    mark(p);
    QCOMPARE(validate(p, reply.bytes()), 0);
    QCOMPARE(QByteArray(p.valueTypeName), QByteArray("UnknownTagID"));
    QCOMPARE(p.valueType, 0);
    QCOMPARE(QByteArray(p.errorText), QByteArray("untouched"));
    QCOMPARE(p.valueLength, 77);
    // The reply's OID has already replaced the request's.
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(p.oid), p.oidLength), FirstBlockOidBytes);
}

void TestNtcipPacket::framedHeader_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("error");

    QTest::newRow("default address accepted") << 1 << hex("0513c1") << 1 << QByteArray();
    QTest::newRow("address byte 04") << 1 << hex("0413c1") << 0
                                     << QByteArray("Address does not match");
    QTest::newRow("control 14") << 1 << hex("0514c1") << 0
                                << QByteArray("Control Style not 0x13");
    QTest::newRow("ipi c0") << 1 << hex("0513c0") << 0 << QByteArray("ipi not 0xc1");
    QTest::newRow("address 31 writes 7D") << 31 << hex("7d13c1") << 1 << QByteArray();
    QTest::newRow("address 64 wraps to 01") << 64 << hex("0113c1") << 1 << QByteArray();
    QTest::newRow("header cut short") << 1 << hex("05") << 0 << QByteArray("Reply ends early");
}

void TestNtcipPacket::framedHeader()
{
    QFETCH(int, address);
    QFETCH(QByteArray, header);
    QFETCH(int, result);
    QFETCH(QByteArray, error);
    NtcipPacket p;
    p.address = address;
    mark(p);
    Reply reply;
    reply.value = "framed";
    const QByteArray bytes = header.size() == 3 ? header + reply.bytes() : header;
    QCOMPARE(validate(p, bytes, 0), result);
    if (result)
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(p.value), p.valueLength),
                 QByteArray("framed"));
    else
        QCOMPARE(QByteArray(p.errorText), error);
}

void TestNtcipPacket::hostileReplies_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("error");

    Reply longOid;
    longOid.oid = QByteArray(65, 0x01);
    QTest::newRow("OID of 65 bytes") << longOid.bytes()
                                     << QByteArray("Reply OID longer than 64 bytes");

    Reply longValue;
    longValue.value = QByteArray(513, 'v');
    QTest::newRow("value of 513 bytes") << longValue.bytes()
                                        << QByteArray("Reply value longer than 512 bytes");

    // Value length claims more than the datagram holds.
    Reply shortValue;
    shortValue.value = QByteArray(100, 'v');
    QByteArray claimsMore = shortValue.bytes();
    claimsMore[claimsMore.size() - 101] = char(101);
    QTest::newRow("value length past the datagram's end")
        << claimsMore << QByteArray("Value runs past the end of the reply");

    // A long-form value length that decodes negative must not pass as an empty value.
    Reply empty;
    empty.value.clear();
    QByteArray negative = empty.bytes();
    negative.chop(1);
    negative += hex("84ffffffff");
    QTest::newRow("value length negative as 32 bits") << negative
                                                      << QByteArray("Malformed value length");
    // Summed into 32 bits this would be 32, and 32 bytes follow: the length is still refused.
    Reply wrapping;
    wrapping.value = QByteArray(32, 'w');
    wrapping.valueLengthField = hex("850100000020");
    QTest::newRow("value length wrapping 32 bits")
        << wrapping.bytes() << QByteArray("Malformed value length");
    QByteArray cutLength = empty.bytes();
    cutLength.chop(1);
    cutLength += hex("8201");
    QTest::newRow("value length field cut off") << cutLength << QByteArray("Reply ends early");

    // A skipped length whose extra bytes are not there.
    QTest::newRow("message length runs off the end") << hex("3084ffff")
                                                     << QByteArray("Reply ends early");
    QTest::newRow("empty datagram") << QByteArray() << QByteArray("Reply ends early");
}

void TestNtcipPacket::hostileReplies()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, error);
    checkRefused(bytes, error);
}

void TestNtcipPacket::everyTruncationIsRefused()
{
    const QByteArray full = Reply().bytes();
    QCOMPARE(full.size(), 379);
    NtcipPacket p;
    for (int length = 0; length < full.size(); ++length) {
        // Load the whole reply first, so the bytes past the cut are still in frame: a check that
        // read beyond frameLength would find a valid message there.
        validate(p, full);
        mark(p);
        p.loadFrame(reinterpret_cast<const uint8_t *>(full.constData()), length);
        QVERIFY2(p.validateResponse(1) == 0, qPrintable(QString::number(length)));
        QCOMPARE(p.frameLength, length);
        QCOMPARE(p.valueLength, 77);
        QVERIFY(std::strlen(p.errorText) < NtcipPacket::ErrorTextSize);
    }
    validate(p, full);
    QCOMPARE(p.validateResponse(1), 1);
}

void TestNtcipPacket::randomBytesNeverEscapeTheBuffers()
{
    // Random and mutated replies: whatever the verdict, lengths stay inside their buffers.
    QRandomGenerator random(20261207);
    const QByteArray good = Reply().bytes();
    NtcipPacket p;
    for (int round = 0; round < 20000; ++round) {
        QByteArray bytes;
        if (round % 2) {
            bytes = good.left(int(random.bounded(good.size() + 1)));
            for (int flips = int(random.bounded(4)) + 1; flips > 0 && !bytes.isEmpty(); --flips)
                bytes[int(random.bounded(bytes.size()))] = char(random.bounded(256));
        } else {
            bytes.resize(int(random.bounded(NtcipPacket::FrameSize + 1)));
            for (char &c : bytes)
                c = char(random.bounded(256));
        }
        const int result = validate(p, bytes, int(round % 3));
        QVERIFY(result == 0 || result == 1);
        QVERIFY(p.valueLength >= 0 && p.valueLength <= NtcipPacket::ValueSize);
        QVERIFY(p.oidLength >= 0 && p.oidLength <= NtcipPacket::OidSize);
        QVERIFY(std::memchr(p.errorText, 0, sizeof p.errorText) != nullptr);
    }
}

QTEST_APPLESS_MAIN(TestNtcipPacket)
#include "tst_ntcippacket.moc"
