// BER value codecs, OID text and BER length fields of NtcipPacket.
#include "ntcippacket.h"

#include "snmpbytes.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QStringList>
#include <QTest>

#include <climits>
#include <cstring>

namespace {

using SnmpBytes::hex;

QByteArray valueBytes(const NtcipPacket &p)
{
    return QByteArray(reinterpret_cast<const char *>(p.value), p.valueLength);
}

void loadValue(NtcipPacket &p, const QByteArray &bytes)
{
    std::memcpy(p.value, bytes.constData(), size_t(bytes.size()));
    p.valueLength = int32_t(bytes.size());
}

void loadOid(NtcipPacket &p, const QByteArray &bytes)
{
    std::memcpy(p.oid, bytes.constData(), size_t(bytes.size()));
    p.oidLength = int32_t(bytes.size());
}

// Content bytes read as standard BER two's complement, wide enough for the five-byte form.
// Independent of getInteger: a positive value must not read back negative here.
long long berSigned(const QByteArray &bytes)
{
    long long v = bytes.isEmpty() ? 0 : static_cast<signed char>(bytes[0]);
    for (int i = 1; i < bytes.size(); ++i)
        v = v * 256 + static_cast<unsigned char>(bytes[i]);
    return v;
}

// A value of random magnitude (random bit width) and sign, so every threshold gets hit.
int32_t randomInteger(QRandomGenerator &rng)
{
    const int bits = int(rng.bounded(33));
    const uint32_t magnitude = bits == 0 ? 0 : rng.generate() >> (32 - bits);
    return rng.bounded(2) ? int32_t(magnitude) : int32_t(~magnitude);
}

// Dotted OID text of random arcs inside the BER range: first 0..2, second within 0..39 below 2.
QString randomOidText(QRandomGenerator &rng, int maxArcs)
{
    const uint32_t first = rng.bounded(3u);
    // A second arc of 0 is not printed back; keep it out of the round trips.
    const uint32_t second = 1 + (first < 2 ? rng.bounded(39u) : rng.bounded(1000u));
    QStringList arcs{QString::number(first), QString::number(second)};
    const int more = int(rng.bounded(maxArcs - 1));
    for (int i = 0; i < more; ++i) {
        const int bits = 1 + int(rng.bounded(32));
        arcs << QString::number(rng.generate() >> (32 - bits));
    }
    return arcs.join(QLatin1Char('.'));
}

} // namespace

class TestValueCodecs : public QObject
{
    Q_OBJECT

private slots:
    void setInteger_data();
    void setInteger();
    void setUnsigned_data();
    void setUnsigned();
    void getInteger_data();
    void getInteger();
    void integerRoundTrips();
    void unsignedRoundTrips();

    void setOidValue_data();
    void setOidValue();
    void setOidValueMatchesSetOid();
    void setOidValueRefusesWhatDoesNotFit_data();
    void setOidValueRefusesWhatDoesNotFit();

    void oidText_data();
    void oidText();
    void oidTextReadsOnlyCountedBytes();
    void oidToTextFullOidFitsItsBuffer();
    void oidValueToTextCutsAtWholeArc_data();
    void oidValueToTextCutsAtWholeArc();
    void oidTextRoundTrips();

    void encodeLength_data();
    void encodeLength();
    void decodeLength_data();
    void decodeLength();
    void decodeLengthLongForms_data();
    void decodeLengthLongForms();
    void decodeLengthBoundedRefuses_data();
    void decodeLengthBoundedRefuses();

    void copyFrame_data();
    void copyFrame();
};

// --- Integers ---------------------------------------------------------------------------------

void TestValueCodecs::setInteger_data()
{
    QTest::addColumn<int>("v");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("0") << 0 << hex("00");
    QTest::newRow("127, last one-byte value") << 127 << hex("7f");
    QTest::newRow("128 needs a sign byte") << 128 << hex("0080");
    QTest::newRow("0x3FFF, last two-byte value") << 0x3FFF << hex("3fff");
    QTest::newRow("0x4000 takes three bytes") << 0x4000 << hex("004000");
    QTest::newRow("0x7FFF takes three bytes") << 0x7FFF << hex("007fff");
    QTest::newRow("0x1FFFFF, last three-byte value") << 0x1FFFFF << hex("1fffff");
    QTest::newRow("0x200000 takes four bytes") << 0x200000 << hex("00200000");
    QTest::newRow("0x0FFFFFFF, last four-byte value") << 0x0FFFFFFF << hex("0fffffff");
    QTest::newRow("0x10000000 takes five bytes") << 0x10000000 << hex("0010000000");
    QTest::newRow("INT_MAX") << INT_MAX << hex("007fffffff");
    QTest::newRow("-1") << -1 << hex("ff");
    QTest::newRow("-128, last one-byte value") << -128 << hex("80");
    QTest::newRow("-129") << -129 << hex("ff7f");
    QTest::newRow("-0x4000, last two-byte value") << -0x4000 << hex("c000");
    QTest::newRow("-0x4001 takes three bytes") << -0x4001 << hex("ffbfff");
    QTest::newRow("-0x200000, last three-byte value") << -0x200000 << hex("e00000");
    QTest::newRow("-0x200001 takes four bytes") << -0x200001 << hex("ffdfffff");
    QTest::newRow("-0x10000000") << -0x10000000 << hex("f0000000");
    QTest::newRow("-0x10000001, four-byte two's complement") << -0x10000001 << hex("efffffff");
    QTest::newRow("-0x40000000") << -0x40000000 << hex("c0000000");
    QTest::newRow("INT_MIN") << INT_MIN << hex("80000000");
}

void TestValueCodecs::setInteger()
{
    QFETCH(int, v);
    QFETCH(QByteArray, bytes);
    NtcipPacket p;
    std::memset(p.value, 0xEE, sizeof p.value);
    p.setInteger(v);
    QCOMPARE(valueBytes(p), bytes);
    QCOMPARE(p.valueType, 2);
    QCOMPARE(uint8_t(p.value[bytes.size()]), uint8_t(0xEE)); // nothing written past the content
    QCOMPARE(p.getInteger(), v);
    QCOMPARE(berSigned(bytes), (long long)v);
}

void TestValueCodecs::setUnsigned_data()
{
    QTest::addColumn<uint>("u");
    QTest::addColumn<int>("setter"); // 0 setUnsigned, 0x41 setCounter, 0x42 setGauge
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("type");
    QTest::newRow("counter 0xFFFFFFFF") << 0xFFFFFFFFu << 0x41 << hex("00ffffffff") << 0x41;
    QTest::newRow("gauge 200") << 200u << 0x42 << hex("00c8") << 0x42;
    QTest::newRow("gauge 0") << 0u << 0x42 << hex("00") << 0x42;
    QTest::newRow("counter 127") << 127u << 0x41 << hex("7f") << 0x41;
    QTest::newRow("counter 0x4000 takes three bytes") << 0x4000u << 0x41 << hex("004000") << 0x41;
    QTest::newRow("gauge 0x0FFFFFFF") << 0x0FFFFFFFu << 0x42 << hex("0fffffff") << 0x42;
    QTest::newRow("gauge 0x10000000") << 0x10000000u << 0x42 << hex("0010000000") << 0x42;
    QTest::newRow("counter 0x80000000 stays positive")
        << 0x80000000u << 0x41 << hex("0080000000") << 0x41;
    QTest::newRow("setUnsigned keeps the type") << 0x3FFFu << 0 << hex("3fff") << 0x55;
    QTest::newRow("setUnsigned 0xFFFFFFFF keeps the type")
        << 0xFFFFFFFFu << 0 << hex("00ffffffff") << 0x55;
}

void TestValueCodecs::setUnsigned()
{
    QFETCH(uint, u);
    QFETCH(int, setter);
    QFETCH(QByteArray, bytes);
    QFETCH(int, type);
    NtcipPacket p;
    p.valueType = 0x55;
    if (setter == 0x41)
        p.setCounter(u);
    else if (setter == 0x42)
        p.setGauge(u);
    else
        p.setUnsigned(u);
    QCOMPARE(valueBytes(p), bytes);
    QCOMPARE(p.valueType, type);
    QCOMPARE(p.getCounter(), u);
    QCOMPARE(p.getGauge(), u);
    QCOMPARE(berSigned(bytes), (long long)u);
}

void TestValueCodecs::getInteger_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("expected");
    QTest::newRow("00 80 is 128") << hex("0080") << 128;
    QTest::newRow("FF 38 is -200") << hex("ff38") << -200;
    QTest::newRow("80 is -128") << hex("80") << -128;
    QTest::newRow("7F is 127") << hex("7f") << 127;
    QTest::newRow("later bytes count unsigned") << hex("01ff") << 0x1FF;
    QTest::newRow("three bytes negative") << hex("ffbfff") << -0x4001;
    QTest::newRow("three bytes positive") << hex("7fffff") << 0x7FFFFF;
    QTest::newRow("four bytes negative") << hex("80000000") << INT_MIN;
    QTest::newRow("four bytes -1") << hex("ffffffff") << -1;
    QTest::newRow("five-byte form 00 80 00 00 00") << hex("0080000000") << INT_MIN;
    QTest::newRow("six bytes read as the five-byte form") << hex("001234567899") << 0x12345678;
}

void TestValueCodecs::getInteger()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, expected);
    NtcipPacket p;
    loadValue(p, bytes);
    p.valueType = NtcipPacket::OctetString; // the getters do not look at the type
    QCOMPARE(p.getInteger(), expected);
    QCOMPARE(p.getCounter(), uint32_t(expected));
    QCOMPARE(p.getGauge(), uint32_t(expected));
}

void TestValueCodecs::integerRoundTrips()
{
    QRandomGenerator rng(0x1A7E6E5);
    const int32_t extremes[] = {0,           1,          -1,          INT_MAX,     INT_MIN,
                                INT_MIN + 1, 0x10000000, -0x10000000, -0x10000001, 0x0FFFFFFF,
                                0x7F,        0x80,       -0x80,       -0x81};
    NtcipPacket p;
    for (int i = 0; i < 20000; ++i) {
        const int32_t v = i < int(std::size(extremes)) ? extremes[i] : randomInteger(rng);
        p.setInteger(v);
        QVERIFY2(p.valueLength >= 1 && p.valueLength <= 5, qPrintable(QString::number(v)));
        QCOMPARE(p.getInteger(), v);
        QCOMPARE(berSigned(valueBytes(p)), (long long)v);
    }
}

void TestValueCodecs::unsignedRoundTrips()
{
    QRandomGenerator rng(0xC0C0A);
    NtcipPacket p;
    for (int i = 0; i < 20000; ++i) {
        const int bits = int(rng.bounded(33));
        const uint32_t u = bits == 0 ? 0 : rng.generate() >> (32 - bits);
        switch (i % 3) {
        case 0:
            p.setCounter(u);
            QCOMPARE(p.valueType, 0x41);
            QCOMPARE(p.getCounter(), u);
            break;
        case 1:
            p.setGauge(u);
            QCOMPARE(p.valueType, 0x42);
            QCOMPARE(p.getGauge(), u);
            break;
        default:
            p.valueType = 7;
            p.setUnsigned(u);
            QCOMPARE(p.valueType, 7);
            QCOMPARE(p.getCounter(), u);
            break;
        }
        QCOMPARE(berSigned(valueBytes(p)), (long long)u);
    }
}

// --- OIDs as values ---------------------------------------------------------------------------

void TestValueCodecs::setOidValue_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("enterprise 1206") << QByteArray("1.3.6.1.4.1.1206") << hex("2b06010401 8936");
    QTest::newRow("one arc 1 is 40") << QByteArray("1") << hex("28");
    QTest::newRow("one arc 2 is 80") << QByteArray("2") << hex("50");
    QTest::newRow("key OID") << QByteArray("1.3.6.1.4.1.1206.3.5.2.17.10.0")
                             << hex("2b060104018936030502110a00");
    QTest::newRow("arc 127 is one byte") << QByteArray("1.3.127") << hex("2b7f");
    QTest::newRow("arc 128 is two bytes") << QByteArray("1.3.128") << hex("2b8100");
    QTest::newRow("arc 16383 is two bytes") << QByteArray("1.3.16383") << hex("2bff7f");
    QTest::newRow("arc 16384 is three bytes") << QByteArray("1.3.16384") << hex("2b818000");
    QTest::newRow("arc 4294967295") << QByteArray("1.3.4294967295") << hex("2b8fffffff7f");
    QTest::newRow("first pair 2.100 above 127") << QByteArray("2.100") << hex("8134");
    QTest::newRow("text ends at a non-digit") << QByteArray("1.3.6 junk.7") << hex("2b06");
}

void TestValueCodecs::setOidValue()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, bytes);
    NtcipPacket p;
    QCOMPARE(p.setOidValue(text.constData()), 1);
    QCOMPARE(valueBytes(p), bytes);
    QCOMPARE(p.valueType, 6);
}

void TestValueCodecs::setOidValueMatchesSetOid()
{
    QRandomGenerator rng(0x01D);
    NtcipPacket p;
    for (int i = 0; i < 2000; ++i) {
        const QByteArray text = randomOidText(rng, 12).toLatin1();
        QCOMPARE(p.setOid(text.constData()), 1);
        QCOMPARE(p.setOidValue(text.constData()), 1);
        QCOMPARE(valueBytes(p), QByteArray(reinterpret_cast<const char *>(p.oid), p.oidLength));
    }
}

void TestValueCodecs::setOidValueRefusesWhatDoesNotFit_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("length"); // 0 when refused
    QByteArray ones = "1.3";
    for (int i = 0; i < 511; ++i)
        ones += ".1";
    QByteArray twoByteArcs = "1.3";
    for (int i = 0; i < 255; ++i)
        twoByteArcs += ".128";
    QTest::newRow("exactly 512 one-byte arcs fit") << ones << 512;
    QTest::newRow("513 bytes are refused") << ones + ".1" << 0;
    QTest::newRow("two-byte arcs up to 511 bytes fit") << twoByteArcs << 511;
    QTest::newRow("a last byte fills it") << twoByteArcs + ".1" << 512;
    QTest::newRow("a two-byte arc across the end is refused") << twoByteArcs + ".128" << 0;
    QTest::newRow("an arc above 32 bits is refused") << QByteArray("1.3.4294967296") << 0;
}

void TestValueCodecs::setOidValueRefusesWhatDoesNotFit()
{
    QFETCH(QByteArray, text);
    QFETCH(int, length);
    NtcipPacket p;
    p.setInteger(0x1234);
    const QByteArray before(reinterpret_cast<const char *>(p.value), sizeof p.value);
    QCOMPARE(p.setOidValue(text.constData()), length > 0 ? 1 : 0);
    if (length > 0) {
        QCOMPARE(p.valueLength, length);
        QCOMPARE(p.valueType, 6);
        QCOMPARE(p.value[length - 1], text.endsWith(".128") ? uint8_t(0) : uint8_t(1));
    } else {
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(p.value), sizeof p.value), before);
        QCOMPARE(p.valueLength, 2);
        QCOMPARE(p.valueType, 2);
    }
}

// --- OID text ---------------------------------------------------------------------------------

void TestValueCodecs::oidText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("enterprise 1206") << hex("2b0601040189 36") << QByteArray("1.3.6.1.4.1.1206");
    QTest::newRow("byte 43 is 1.3") << hex("2b") << QByteArray("1.3");
    QTest::newRow("byte 40 is one arc") << hex("28") << QByteArray("1");
    QTest::newRow("second arc 0 not printed") << hex("2805") << QByteArray("1.5");
    QTest::newRow("byte 0 is 0") << hex("00") << QByteArray("0");
    QTest::newRow("byte 80 is 2") << hex("50") << QByteArray("2");
    QTest::newRow("first byte 7F is 2.47") << hex("7f") << QByteArray("2.47");
    QTest::newRow("first pair over two bytes") << hex("8134") << QByteArray("2.100");
    QTest::newRow("arc 0 after the first byte") << hex("2b00") << QByteArray("1.3.0");
    QTest::newRow("arc 127") << hex("2b7f") << QByteArray("1.3.127");
    QTest::newRow("two-byte arc 128") << hex("2b8100") << QByteArray("1.3.128");
    QTest::newRow("two-byte arc 16383") << hex("2bff7f") << QByteArray("1.3.16383");
    QTest::newRow("three-byte arc 16384") << hex("2b818000") << QByteArray("1.3.16384");
    QTest::newRow("five-byte arc 4294967295")
        << hex("2b8fffffff7f") << QByteArray("1.3.4294967295");
    QTest::newRow("two-byte arc cut at the last byte") << hex("2b0689") << QByteArray("1.3.6");
    QTest::newRow("three-byte arc cut after two") << hex("2b068180") << QByteArray("1.3.6");
    QTest::newRow("first byte opens an arc and ends") << hex("81") << QByteArray("");
    QTest::newRow("arc above 32 bits ends the text")
        << hex("2b0690808080 00") << QByteArray("1.3.6");
    QTest::newRow("no bytes") << QByteArray() << QByteArray("");
}

void TestValueCodecs::oidText()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, text);

    NtcipPacket p;
    loadOid(p, bytes);
    char buffer[300];
    std::memset(buffer, 'x', sizeof buffer);
    p.cursor = nullptr;
    p.oidToText(buffer);
    QCOMPARE(QByteArray(buffer), text);
    QVERIFY(std::strlen(buffer) <= size_t(4 * bytes.size()));
    QCOMPARE(buffer[4 * bytes.size() + 1], 'x'); // stays within 4 * n + 1
    QVERIFY(p.cursor == p.oid + bytes.size());

    loadValue(p, bytes);
    p.cursor = p.frame + 7;
    const char *result = p.oidValueToText();
    QVERIFY(result == NtcipPacket::oidTextBuffer);
    QCOMPARE(QByteArray(result), text);
    QVERIFY(p.cursor == p.frame + 7); // oidValueToText leaves cursor alone
}

void TestValueCodecs::oidTextReadsOnlyCountedBytes()
{
    // The bytes after the counted ones would complete the arc; they must not be read.
    NtcipPacket p;
    loadOid(p, hex("2b0689360506"));
    p.oidLength = 3;
    char buffer[64];
    p.oidToText(buffer);
    QCOMPARE(QByteArray(buffer), QByteArray("1.3.6"));
    QVERIFY(p.cursor == p.oid + 3);

    loadValue(p, hex("2b0689360506"));
    p.valueLength = 4;
    QCOMPARE(QByteArray(p.oidValueToText()), QByteArray("1.3.6.1206"));
}

void TestValueCodecs::oidToTextFullOidFitsItsBuffer()
{
    // 64 bytes of the widest text per byte: ".127" each after "2.47".
    NtcipPacket p;
    loadOid(p, QByteArray(64, '\x7f'));
    char buffer[258];
    std::memset(buffer, 'x', sizeof buffer);
    p.oidToText(buffer);
    QCOMPARE(std::strlen(buffer), size_t(4 + 63 * 4));
    QCOMPARE(buffer[257], 'x');
    QVERIFY(QByteArray(buffer).startsWith("2.47.127.127."));
    QVERIFY(p.cursor == p.oid + 64);
}

void TestValueCodecs::oidValueToTextCutsAtWholeArc_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("text");
    // "1.3" and 31 of ".127" are exactly 127 characters and the NUL.
    QByteArray full = "1.3";
    for (int i = 0; i < 31; ++i)
        full += ".127";
    QTest::newRow("fills all 128 bytes") << hex("2b") + QByteArray(31, '\x7f') << full;
    QTest::newRow("cut after 127 characters") << hex("2b") + QByteArray(60, '\x7f') << full;
    // ".1206" is five characters: 3 + 24 * 5 = 123, a 25th would need 128 plus the NUL.
    QByteArray arcs = "1.3";
    for (int i = 0; i < 24; ++i)
        arcs += ".1206";
    QByteArray encoded = hex("2b");
    for (int i = 0; i < 40; ++i)
        encoded += hex("8936");
    QTest::newRow("cut before an arc that would not fit") << encoded << arcs;
    QByteArray thirtyOne = hex("2b");
    QByteArray thirtyOneText = "1.3";
    for (int i = 0; i < 30; ++i) {
        thirtyOne += char(0x7F - i);
        thirtyOneText += "." + QByteArray::number(0x7F - i);
    }
    QTest::newRow("31 bytes always fit") << thirtyOne << thirtyOneText;
}

void TestValueCodecs::oidValueToTextCutsAtWholeArc()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, text);
    NtcipPacket p;
    loadValue(p, bytes);
    QCOMPARE(QByteArray(p.oidValueToText()), text);
    QVERIFY(std::strlen(NtcipPacket::oidTextBuffer) < sizeof NtcipPacket::oidTextBuffer);
}

void TestValueCodecs::oidTextRoundTrips()
{
    QRandomGenerator rng(0x7E47);
    NtcipPacket p;
    char buffer[300];
    for (int i = 0; i < 3000; ++i) {
        const QByteArray text = randomOidText(rng, 12).toLatin1();
        QCOMPARE(p.setOidValue(text.constData()), 1);
        if (text.size() < int(sizeof NtcipPacket::oidTextBuffer))
            QCOMPARE(QByteArray(p.oidValueToText()), text);
        else
            QVERIFY(text.startsWith(QByteArray(p.oidValueToText()) + '.'));
        if (p.setOid(text.constData())) {
            p.oidToText(buffer);
            QCOMPARE(QByteArray(buffer), text);
        } else {
            QVERIFY2(p.valueLength > NtcipPacket::OidSize, text.constData());
        }
    }
}

// --- BER length fields ------------------------------------------------------------------------

void TestValueCodecs::encodeLength_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("0") << 0 << hex("00");
    QTest::newRow("5") << 5 << hex("05");
    QTest::newRow("126, last one-byte form") << 126 << hex("7e");
    QTest::newRow("127 takes two bytes") << 127 << hex("817f");
    QTest::newRow("128") << 128 << hex("8180");
    QTest::newRow("255, last two-byte form") << 255 << hex("81ff");
    QTest::newRow("256 takes three bytes") << 256 << hex("820100");
    QTest::newRow("1024") << 1024 << hex("820400");
    QTest::newRow("65535") << 65535 << hex("82ffff");
}

void TestValueCodecs::encodeLength()
{
    QFETCH(int, length);
    QFETCH(QByteArray, bytes);
    uint8_t out[8];
    std::memset(out, 0xEE, sizeof out);
    QCOMPARE(NtcipPacket::encodeLength(out, length), int32_t(bytes.size()));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(out), int(bytes.size())), bytes);
    QCOMPARE(out[bytes.size()], uint8_t(0xEE));

    // What encodeLength writes reads back through both decoders.
    const uint8_t *position = out;
    QCOMPARE(NtcipPacket::decodeLength(&position), length);
    QCOMPARE(position - out, qsizetype(bytes.size()));
    position = out;
    int32_t decoded = -1;
    QCOMPARE(NtcipPacket::decodeLengthBounded(&position, out + bytes.size(), &decoded), 1);
    QCOMPARE(decoded, length);
}

void TestValueCodecs::decodeLength_data()
{
    // Valid fields: both decoders agree. "rest" follows the field and must not be consumed.
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<int>("length");
    QTest::newRow("05 is 5") << hex("05") << 5;
    QTest::newRow("7F is 127") << hex("7f") << 127;
    QTest::newRow("80 alone is 0") << hex("80") << 0;
    QTest::newRow("81 7F is 127") << hex("817f") << 127;
    QTest::newRow("81 80 is 128") << hex("8180") << 128;
    QTest::newRow("82 01 00 is 256") << hex("820100") << 256;
    QTest::newRow("82 00 05, long form of a short length") << hex("820005") << 5;
    QTest::newRow("83 01 00 00") << hex("83010000") << 0x10000;
    QTest::newRow("84 7F FF FF FF, largest") << hex("847fffffff") << INT_MAX;
    QTest::newRow("85 00 00 00 02 00, leading zeros, is 512") << hex("850000000200") << 512;
    QTest::newRow("85 00 00 00 00 A0 is 160") << hex("8500000000a0") << 160;
    QTest::newRow("8A with nine zero bytes, then 01") << hex("8a00000000000000000001") << 1;
}

void TestValueCodecs::decodeLength()
{
    QFETCH(QByteArray, field);
    QFETCH(int, length);
    const QByteArray bytes = field + hex("a5a5");
    const auto *start = reinterpret_cast<const uint8_t *>(bytes.constData());

    const uint8_t *position = start;
    QCOMPARE(NtcipPacket::decodeLength(&position), length);
    QCOMPARE(position - start, qsizetype(field.size()));

    // The bounded decoder succeeds with its end exactly behind the field.
    position = start;
    int32_t decoded = -1;
    QCOMPARE(NtcipPacket::decodeLengthBounded(&position, start + field.size(), &decoded), 1);
    QCOMPARE(decoded, length);
    QCOMPARE(position - start, qsizetype(field.size()));
}

void TestValueCodecs::decodeLengthLongForms_data()
{
    // decodeLength trusts its count: of more than four bytes only the last four count.
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<uint>("length");
    QTest::newRow("84 FF FF FF FF is all 32 bits") << hex("84ffffffff") << 0xFFFFFFFFu;
    QTest::newRow("85: the last four bytes count") << hex("850102030405") << 0x02030405u;
    QTest::newRow("84 80 00 00 00") << hex("8480000000") << 0x80000000u;
}

void TestValueCodecs::decodeLengthLongForms()
{
    QFETCH(QByteArray, field);
    QFETCH(uint, length);
    const auto *start = reinterpret_cast<const uint8_t *>(field.constData());
    const uint8_t *position = start;
    QCOMPARE(uint32_t(NtcipPacket::decodeLength(&position)), length);
    QCOMPARE(position - start, qsizetype(field.size()));
}

void TestValueCodecs::decodeLengthBoundedRefuses_data()
{
    // Invalid input from the network: 0 when the field is cut off, -1 when it is malformed.
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("result");
    QTest::newRow("no byte at all") << QByteArray() << 0;
    QTest::newRow("81 with its byte missing") << hex("81") << 0;
    QTest::newRow("82 with one of two bytes") << hex("8201") << 0;
    QTest::newRow("84 with three of four bytes") << hex("847fffff") << 0;
    QTest::newRow("85 01 00 00 00 20 would wrap to 32") << hex("850100000020") << -1;
    QTest::newRow("8A: a set bit nine bytes from the end") << hex("8a00000001000000000000") << -1;
    QTest::newRow("85 with four of five bytes") << hex("8500000002") << 0;
    QTest::newRow("count byte FF") << hex("ff") << -1;
    QTest::newRow("negative as 32-bit signed") << hex("8480000000") << -1;
    QTest::newRow("84 FF FF FF FF") << hex("84ffffffff") << -1;
}

void TestValueCodecs::decodeLengthBoundedRefuses()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, result);
    // Copied into a buffer of exactly its size, so that ASan sees any read past the end.
    QByteArray exact(bytes);
    const auto *start = reinterpret_cast<const uint8_t *>(exact.constData());
    const uint8_t *position = start;
    int32_t length = 4711;
    QCOMPARE(NtcipPacket::decodeLengthBounded(&position, start + exact.size(), &length), result);
    QVERIFY(position == start);
    QCOMPARE(length, 4711);
}

// --- copyFrame --------------------------------------------------------------------------------

void TestValueCodecs::copyFrame_data()
{
    QTest::addColumn<int>("frameLength");
    QTest::newRow("frameLength 0") << 0;
    QTest::newRow("frameLength 47") << 47;
    QTest::newRow("frameLength 1024") << 1024;
}

void TestValueCodecs::copyFrame()
{
    QFETCH(int, frameLength);
    NtcipPacket p;
    for (int i = 0; i < NtcipPacket::FrameSize; ++i)
        p.frame[i] = uint8_t(i * 7 + 3);
    p.frameLength = frameLength;
    uint8_t out[NtcipPacket::FrameSize + 4];
    std::memset(out, 0xEE, sizeof out);
    QCOMPARE(p.copyFrame(out), 1024);
    QCOMPARE(std::memcmp(out, p.frame, NtcipPacket::FrameSize), 0);
    QCOMPARE(out[NtcipPacket::FrameSize], uint8_t(0xEE));
    QVERIFY(p.cursor == p.frame + NtcipPacket::FrameSize);
    QCOMPARE(p.frameLength, frameLength);
}

QTEST_APPLESS_MAIN(TestValueCodecs)
#include "tst_valuecodecs.moc"
