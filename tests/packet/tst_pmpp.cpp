// PMPP framing and FCS-16 of NtcipPacket: frame building, the byte-wise receiver, unstuffing,
// the FCS check and framed GetResponses end to end.
#include "ntcippacket.h"
#include "pmppreceiver.h"

#include "snmpbytes.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QTest>

#include <cstring>

namespace {

QByteArray frameBytes(const NtcipPacket &p)
{
    return QByteArray(reinterpret_cast<const char *>(p.frame), p.frameLength);
}

QByteArray wholeFrame(const NtcipPacket &p)
{
    return QByteArray(reinterpret_cast<const char *>(p.frame), NtcipPacket::FrameSize);
}

void load(NtcipPacket &p, const QByteArray &bytes)
{
    std::memcpy(p.frame, bytes.constData(), size_t(bytes.size()));
    p.frameLength = int32_t(bytes.size());
}

// Bit by bit, straight from the polynomial: an independent check of the table.
uint16_t referenceFcs(const QByteArray &bytes)
{
    uint16_t fcs = 0xFFFF;
    for (char c : bytes) {
        fcs ^= uint8_t(c);
        for (int bit = 0; bit < 8; ++bit)
            fcs = (fcs & 1) ? uint16_t((fcs >> 1) ^ 0x8408) : uint16_t(fcs >> 1);
    }
    return uint16_t(fcs ^ 0xFFFF);
}

uint16_t fcsOf(const QByteArray &bytes)
{
    return fcs16(reinterpret_cast<const uint8_t *>(bytes.constData()), int32_t(bytes.size()));
}

QByteArray randomBytes(QRandomGenerator &rng, int n)
{
    QByteArray bytes(n, '\0');
    for (int i = 0; i < n; ++i)
        bytes[i] = char(rng.bounded(256));
    return bytes;
}

// Feeds bytes one by one; returns the index of the byte that completed a frame, or -1.
int feed(NtcipPacket &p, const QByteArray &bytes)
{
    for (int i = 0; i < bytes.size(); ++i) {
        if (p.receiveByte(uint8_t(bytes[i])))
            return i;
    }
    return -1;
}

using SnmpBytes::hex;
using SnmpBytes::tlv;

// A GetResponse as a controller writes it, shortest length forms.
QByteArray getResponse(const QByteArray &oid, uint8_t valueTag, const QByteArray &value)
{
    const QByteArray zero(1, '\0');
    const QByteArray binding = tlv(0x06, oid) + tlv(valueTag, value);
    const QByteArray body =
        tlv(0x02, zero) + tlv(0x02, zero) + tlv(0x02, zero) + tlv(0x30, tlv(0x30, binding));
    return tlv(0x30, tlv(0x02, zero) + tlv(0x04, "harbor") + tlv(0xA2, body));
}

// The unstuffed content a frame carries: header, message, FCS low byte first.
QByteArray unstuffedContent(int address, const QByteArray &message)
{
    QByteArray content = QByteArray(1, char(uint8_t(address * 4 + 1))) + "\x13\xC1" + message;
    const uint16_t fcs = referenceFcs(content);
    return content + char(fcs & 0xFF) + char(fcs >> 8);
}

// The stuffed frame around message for a station.
QByteArray framed(int address, const QByteArray &message)
{
    NtcipPacket p;
    p.address = address;
    load(p, message);
    p.wrapFrame();
    return frameBytes(p);
}

} // namespace

class TestPmpp : public QObject
{
    Q_OBJECT

private slots:
    void fcs16Vectors_data();
    void fcs16Vectors();
    void fcs16MatchesBitwiseReference();

    void wrapFrame_data();
    void wrapFrame();
    void wrapFrameRefusesWhatDoesNotFit_data();
    void wrapFrameRefusesWhatDoesNotFit();

    void receiveFrames_data();
    void receiveFrames();
    void closingFlagDoesNotOpenTheNextFrame();
    void frameWithoutClosingFlagEndsAt1024();
    void receivePositionSurvivesMovedCursor_data();
    void receivePositionSurvivesMovedCursor();
    void receiveAfterFrameEmptiedMidway();

    void unstuffFrame_data();
    void unstuffFrame();
    void unstuffFrameStopsAtTheBuffer_data();
    void unstuffFrameStopsAtTheBuffer();

    void checkFcs_data();
    void checkFcs();
    void checkFcsCatchesEveryChangedByte();

    void byteMessages_data();
    void byteMessages();
    void byteDataMessageFromItsOwnFrame();

    void lineReceiverFindsItsStep_data();
    void lineReceiverFindsItsStep();

    void framedGetResponseRoundTrips();
    void framedReplyOfAnotherStation();
};

// --- FCS-16 -----------------------------------------------------------------------------------

void TestPmpp::fcs16Vectors_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("fcs");
    QTest::newRow("123456789 check value") << QByteArray("123456789") << 0x906E;
    QTest::newRow("no bytes") << QByteArray() << 0x0000;
    QTest::newRow("header of address 1") << hex("0513c1") << 0x970D;
    QTest::newRow("header of address 31") << hex("7d13c1") << 0xD117;
    QTest::newRow("header and message 7E") << hex("0513c17e") << 0xB1F3;
    QTest::newRow("header and message 3F") << hex("0513c13f") << 0xE27E;
}

void TestPmpp::fcs16Vectors()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, fcs);
    QCOMPARE(int(fcsOf(bytes)), fcs);
}

void TestPmpp::fcs16MatchesBitwiseReference()
{
    QRandomGenerator rng(0xFC516);
    for (int i = 0; i < 2000; ++i) {
        const QByteArray bytes = randomBytes(rng, int(rng.bounded(300)));
        const uint16_t fcs = fcsOf(bytes);
        QCOMPARE(fcs, referenceFcs(bytes));
        // RFC 1662: data followed by its FCS leaves the good residue 0xF0B8 before the final
        // complement.
        const QByteArray withFcs = bytes + char(fcs & 0xFF) + char(fcs >> 8);
        QCOMPARE(int(fcsOf(withFcs)), 0xF0B8 ^ 0xFFFF);
    }
}

// --- Building frames --------------------------------------------------------------------------

void TestPmpp::wrapFrame_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("empty message, address 1") << 1 << QByteArray() << hex("7e0513c10d977e");
    QTest::newRow("address 31 writes 7D, escaped") << 31 << QByteArray() << hex("7e7d5d13c117d17e");
    QTest::newRow("message 7E escaped") << 1 << hex("7e") << hex("7e0513c17d5ef3b17e");
    QTest::newRow("FCS byte 7E escaped") << 1 << hex("3f") << hex("7e0513c13f7d5ee27e");
    QTest::newRow("address 64 keeps the low 8 bits") << 64 << QByteArray() << hex("7e0113c16cf47e");
    QTest::newRow("address 255, two-byte message")
        << 255 << hex("3000") << hex("7efd13c130002d2c7e");
}

void TestPmpp::wrapFrame()
{
    QFETCH(int, address);
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, frame);
    NtcipPacket p;
    p.address = address;
    load(p, message);
    QCOMPARE(p.wrapFrame(), 1);
    QCOMPARE(frameBytes(p), frame);
}

void TestPmpp::wrapFrameRefusesWhatDoesNotFit_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<char>("fill");
    QTest::addColumn<int>("framed"); // the frame's length, 0 when refused
    QTest::newRow("1017 plain bytes fill 1024 exactly") << 1017 << '\0' << 1024;
    QTest::newRow("1018 plain bytes are refused") << 1018 << '\0' << 0;
    QTest::newRow("1019 plain bytes are refused") << 1019 << '\0' << 0;
    QTest::newRow("506 escaped bytes always fit") << 506 << '\x7e' << 1019;
    QTest::newRow("508 escaped bytes fit in 1023") << 508 << '\x7e' << 1023;
    QTest::newRow("509 escaped bytes are refused") << 509 << '\x7e' << 0;
    QTest::newRow("frameLength 1024 is refused") << 1024 << '\0' << 0;
    QTest::newRow("negative frameLength is refused") << -1 << '\0' << 0;
}

void TestPmpp::wrapFrameRefusesWhatDoesNotFit()
{
    QFETCH(int, length);
    QFETCH(char, fill);
    QFETCH(int, framed);
    NtcipPacket p;
    std::memset(p.frame, 0x55, sizeof p.frame);
    if (length > 0)
        std::memset(p.frame, fill, size_t(length));
    p.frameLength = length;
    const QByteArray before = wholeFrame(p);
    QCOMPARE(p.wrapFrame(), framed > 0 ? 1 : 0);
    if (framed > 0) {
        QCOMPARE(p.frameLength, framed);
        QCOMPARE(p.frame[0], uint8_t(0x7E));
        QCOMPARE(p.frame[framed - 1], uint8_t(0x7E));
        // And it reads back to the message.
        QByteArray wire = frameBytes(p);
        NtcipPacket r;
        QCOMPARE(feed(r, wire), wire.size() - 1);
        r.unstuffFrame();
        QCOMPARE(r.checkFcs(), 1);
        QCOMPARE(r.frameLength, length + 5);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(r.frame) + 3, length),
                 QByteArray(length, fill));
    } else {
        QCOMPARE(p.frameLength, length);
        QVERIFY(wholeFrame(p) == before);
    }
}

// --- Receiving --------------------------------------------------------------------------------

void TestPmpp::receiveFrames_data()
{
    // The bytes fed in, and the frame that completes on the last of them.
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("empty message, address 1") << hex("7e0513c10d977e") << hex("7e0513c10d977e");
    QTest::newRow("escaped address") << hex("7e7d5d13c117d17e") << hex("7e7d5d13c117d17e");
    QTest::newRow("escaped message byte") << hex("7e0513c17d5ef3b17e") << hex("7e0513c17d5ef3b17e");
    QTest::newRow("escaped FCS byte") << hex("7e0513c13f7d5ee27e") << hex("7e0513c13f7d5ee27e");
    QTest::newRow("bytes before the first flag are dropped")
        << hex("00117d0513c17e0513c10d977e") << hex("7e0513c10d977e");
    QTest::newRow("7E 7E is a frame of just the flags") << hex("7e7e") << hex("7e7e");
}

void TestPmpp::receiveFrames()
{
    QFETCH(QByteArray, stream);
    QFETCH(QByteArray, frame);
    NtcipPacket p;
    p.frameLength = 99; // whatever the last use left
    for (int i = 0; i < stream.size(); ++i) {
        const int complete = p.receiveByte(uint8_t(stream[i]));
        QCOMPARE(complete, i == stream.size() - 1 ? 1 : 0);
        if (!complete)
            QVERIFY(p.inFrame == (stream.indexOf('\x7e') <= i ? 1 : 0));
    }
    QCOMPARE(p.inFrame, uint8_t(0));
    QCOMPARE(frameBytes(p), frame);
}

void TestPmpp::closingFlagDoesNotOpenTheNextFrame()
{
    NtcipPacket p;
    QCOMPARE(feed(p, hex("7e057e")), 2);
    QCOMPARE(frameBytes(p), hex("7e057e"));
    // The next byte is outside any frame and dropped; the next 7E opens one.
    QCOMPARE(p.receiveByte(0x13), 0);
    QCOMPARE(p.inFrame, uint8_t(0));
    QCOMPARE(feed(p, hex("7e0513c10d977e")), 6);
    QCOMPARE(frameBytes(p), hex("7e0513c10d977e"));
}

void TestPmpp::frameWithoutClosingFlagEndsAt1024()
{
    NtcipPacket p;
    QCOMPARE(p.receiveByte(0x7E), 0);
    for (int i = 1; i < NtcipPacket::FrameSize - 1; ++i)
        QCOMPARE(p.receiveByte(0x55), 0);
    QCOMPARE(p.receiveByte(0x7D), 1); // the 1024th byte completes it
    QCOMPARE(p.frameLength, 1024);
    QCOMPARE(p.inFrame, uint8_t(0));
    QVERIFY(p.frame[1023] != 0x7E); // how a caller tells it from a closed frame
    // More bytes are outside any frame now.
    QCOMPARE(p.receiveByte(0x55), 0);
    QCOMPARE(p.frameLength, 1024);

    // The trailing escape has nothing after it and is dropped.
    p.unstuffFrame();
    QCOMPARE(p.frameLength, 1022);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(p.frame), 1022), QByteArray(1022, 0x55));
}

void TestPmpp::receivePositionSurvivesMovedCursor_data()
{
    QTest::addColumn<int>("operation");
    QTest::newRow("copyFrame between bytes") << 0;
    QTest::newRow("setOid between bytes") << 1;
    QTest::newRow("oidToText between bytes") << 2;
    QTest::newRow("validateResponse between bytes") << 3;
    QTest::newRow("cursor set to null between bytes") << 4;
}

void TestPmpp::receivePositionSurvivesMovedCursor()
{
    QFETCH(int, operation);
    static uint8_t copy[NtcipPacket::FrameSize];
    char text[300];
    // What another user of the receiving packet does between two received bytes.
    auto meddle = [&](NtcipPacket &t) {
        switch (operation) {
        case 0:
            t.copyFrame(copy);
            break;
        case 1:
            t.setOid("1.3.6.1.4.1.1206.3.5.2.17.10.0");
            break;
        case 2:
            t.oidToText(text);
            break;
        case 3: {
            // Runs over the bytes received so far and moves cursor; it changes no frame byte.
            const int32_t saved = t.frameLength;
            t.validateResponse(0);
            QCOMPARE(t.frameLength, saved);
            break;
        }
        default:
            t.cursor = nullptr;
            break;
        }
    };

    QRandomGenerator rng(0xC0450 + uint32_t(operation));
    const QByteArray message = randomBytes(rng, 300);
    NtcipPacket sender;
    load(sender, message);
    QCOMPARE(sender.wrapFrame(), 1);
    const QByteArray wire = frameBytes(sender);

    NtcipPacket r;
    r.setOid("1.3.6.1.4.1.1206.3.5.2.17.12.1.2.1");
    for (int i = 0; i < wire.size(); ++i) {
        QCOMPARE(r.receiveByte(uint8_t(wire[i])), i == wire.size() - 1 ? 1 : 0);
        meddle(r);
    }
    QCOMPARE(frameBytes(r), wire);
    r.unstuffFrame();
    QCOMPARE(r.checkFcs(), 1);
    QCOMPARE(frameBytes(r), unstuffedContent(1, message));

    // A frame that never closes: 1024 bytes with cursor moved after each one.
    NtcipPacket q;
    q.setOid("1.3.6.1.4.1.1206");
    int completedAt = -1;
    for (int i = 0; i < 1500 && completedAt < 0; ++i) {
        if (q.receiveByte(i == 0 ? 0x7E : 0x41))
            completedAt = i;
        meddle(q);
    }
    QCOMPARE(completedAt, NtcipPacket::FrameSize - 1);
    QCOMPARE(q.frameLength, NtcipPacket::FrameSize);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(q.frame) + 1, 1023), QByteArray(1023, 'A'));
}

void TestPmpp::receiveAfterFrameEmptiedMidway()
{
    // Something cleared frameLength while a frame was open: the receiver stays inside frame and
    // carries on behind a fresh opening flag.
    NtcipPacket p;
    QCOMPARE(feed(p, hex("7e0513")), -1);
    p.frameLength = 0;
    QCOMPARE(feed(p, hex("c10d977e")), 3);
    QCOMPARE(frameBytes(p), hex("7ec10d977e"));

    // A length past the buffer is held to the last byte of frame.
    QCOMPARE(feed(p, hex("7e05")), -1);
    p.frameLength = 5000;
    QCOMPARE(p.receiveByte(0x13), 1);
    QCOMPARE(p.frameLength, NtcipPacket::FrameSize);
    QCOMPARE(p.frame[NtcipPacket::FrameSize - 1], uint8_t(0x13));
}

// --- Unstuffing -------------------------------------------------------------------------------

void TestPmpp::unstuffFrame_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("plain frame") << hex("7e0513c10d977e") << hex("0513c10d97");
    QTest::newRow("7D 5D is 7D") << hex("7e7d5d13c117d17e") << hex("7d13c117d1");
    QTest::newRow("7D 5E is 7E") << hex("7e0513c17d5ef3b17e") << hex("0513c17ef3b1");
    QTest::newRow("byte after 7D is XORed whatever it is") << hex("7e057d317e") << hex("0511");
    QTest::newRow("just the flags") << hex("7e7e") << QByteArray();
    QTest::newRow("just the opening flag") << hex("7e") << QByteArray();
    QTest::newRow("nothing received") << QByteArray() << QByteArray();
    QTest::newRow("no closing flag: up to frameLength") << hex("7e0513c1") << hex("0513c1");
    QTest::newRow("escape as the last received byte is dropped") << hex("7e05137d") << hex("0513");
    QTest::newRow("stops at the first closing flag") << hex("7e05137e1415") << hex("0513");
}

void TestPmpp::unstuffFrame()
{
    QFETCH(QByteArray, received);
    QFETCH(QByteArray, content);
    NtcipPacket p;
    // Bytes past frameLength that would change the result if they were read.
    std::memset(p.frame, 0x5E, sizeof p.frame);
    load(p, received);
    p.unstuffFrame();
    QCOMPARE(frameBytes(p), content);
}

void TestPmpp::unstuffFrameStopsAtTheBuffer_data()
{
    QTest::addColumn<int>("frameLength");
    QTest::addColumn<int>("content");
    QTest::newRow("1024 bytes without a flag") << 1024 << 1023;
    QTest::newRow("frameLength past the buffer is held to it") << 5000 << 1023;
    QTest::newRow("negative frameLength reads nothing") << -3 << 0;
}

void TestPmpp::unstuffFrameStopsAtTheBuffer()
{
    QFETCH(int, frameLength);
    QFETCH(int, content);
    NtcipPacket p;
    std::memset(p.frame, 0x41, sizeof p.frame);
    p.frame[0] = 0x7E;
    p.frameLength = frameLength;
    p.unstuffFrame();
    QCOMPARE(p.frameLength, content);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(p.frame), content),
             QByteArray(content, 'A'));
}

// --- FCS check --------------------------------------------------------------------------------

void TestPmpp::checkFcs_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("errorText");
    QTest::newRow("correct FCS") << hex("0513c10d97") << 1 << QByteArray("untouched");
    QTest::newRow("last byte changed: 980D received, 970D expected")
        << hex("0513c10d98") << 0 << QByteArray("Received: 980D, Expected: 970D");
    QTest::newRow("FCS bytes swapped")
        << hex("0513c1970d") << 0 << QByteArray("Received: 0D97, Expected: 970D");
    QTest::newRow("just an FCS of nothing") << hex("0000") << 1 << QByteArray("untouched");
    QTest::newRow("two bytes that are no FCS of nothing")
        << hex("0100") << 0 << QByteArray("Received: 0001, Expected: 0000");
    QTest::newRow("one byte is too short")
        << hex("05") << 0 << QByteArray("Frame too short for an FCS");
    QTest::newRow("no bytes is too short")
        << QByteArray() << 0 << QByteArray("Frame too short for an FCS");
}

void TestPmpp::checkFcs()
{
    QFETCH(QByteArray, content);
    QFETCH(int, result);
    QFETCH(QByteArray, errorText);
    NtcipPacket p;
    std::strcpy(p.errorText, "untouched");
    load(p, content);
    const QByteArray before = wholeFrame(p);
    QCOMPARE(p.checkFcs(), result);
    QCOMPARE(QByteArray(p.errorText), errorText);
    QCOMPARE(p.frameLength, int32_t(content.size()));
    QVERIFY(wholeFrame(p) == before);
}

void TestPmpp::checkFcsCatchesEveryChangedByte()
{
    const QByteArray good = unstuffedContent(1, getResponse(hex("2b0601040189 36"), 0x04, "ok"));
    NtcipPacket p;
    load(p, good);
    QCOMPARE(p.checkFcs(), 1);
    for (int i = 0; i < good.size(); ++i) {
        for (uint8_t flip : {0x01, 0x80, 0xFF}) {
            QByteArray bad = good;
            bad[i] = char(uint8_t(bad[i]) ^ flip);
            load(p, bad);
            QVERIFY2(p.checkFcs() == 0, qPrintable(QStringLiteral("byte %1").arg(i)));
        }
    }
}

// --- One-byte-headed messages -----------------------------------------------------------------

void TestPmpp::byteMessages_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<QByteArray>("data"); // empty: buildByteMessage
    QTest::addColumn<int>("length");      // passed to buildByteDataMessage
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("message 1") << 1 << QByteArray() << 0 << hex("81");
    QTest::newRow("message 0") << 0 << QByteArray() << 0 << hex("80");
    QTest::newRow("message 0x80 keeps the low 8 bits") << 0x80 << QByteArray() << 0 << hex("00");
    QTest::newRow("message -1") << -1 << QByteArray() << 0 << hex("7f");
    QTest::newRow("data 1 with AA BB") << 1 << hex("aabb") << 2 << hex("91aabb");
    QTest::newRow("data 0x70 keeps the low 8 bits") << 0x70 << hex("aa") << 1 << hex("00aa");
    QTest::newRow("data of length 0") << 2 << hex("aa") << 0 << hex("92");
    QTest::newRow("negative length stores none") << 2 << hex("aa") << -5 << hex("92");
    QTest::newRow("length above 1023 is held to 1023")
        << 3 << QByteArray(2000, 'z') << 2000 << hex("93") + QByteArray(1023, 'z');
}

void TestPmpp::byteMessages()
{
    QFETCH(int, n);
    QFETCH(QByteArray, data);
    QFETCH(int, length);
    QFETCH(QByteArray, frame);
    NtcipPacket p;
    p.valueLength = 17;
    p.oidLength = 9;
    if (data.isEmpty())
        p.buildByteMessage(n);
    else
        p.buildByteDataMessage(n, reinterpret_cast<const uint8_t *>(data.constData()), length);
    QCOMPARE(frameBytes(p), frame);
    QCOMPARE(p.valueLength, 17);
    QCOMPARE(p.oidLength, 9);
}

void TestPmpp::byteDataMessageFromItsOwnFrame()
{
    NtcipPacket p;
    load(p, hex("0102030405"));
    p.buildByteDataMessage(4, p.frame, 5);
    QCOMPARE(frameBytes(p), hex("940102030405"));
    // Framed like any other message.
    QCOMPARE(p.wrapFrame(), 1);
    NtcipPacket r;
    const QByteArray wire = frameBytes(p);
    QCOMPARE(feed(r, wire), wire.size() - 1);
    r.unstuffFrame();
    QCOMPARE(r.checkFcs(), 1);
    QCOMPARE(frameBytes(r), unstuffedContent(1, hex("940102030405")));
}

// --- Framed replies end to end ----------------------------------------------------------------

void TestPmpp::framedGetResponseRoundTrips()
{
    QRandomGenerator rng(0xF7A3E);
    const uint8_t tags[] = {0x02, 0x04, 0x05, 0x06, 0x41, 0x42};
    for (int round = 0; round < 1500; ++round) {
        // Addresses cover the whole byte range, 64 and above included.
        const int address = round < 4 ? 63 + round : int(rng.bounded(300));
        QByteArray oid = randomBytes(rng, 1 + int(rng.bounded(64)));
        const uint8_t tag = tags[rng.bounded(int(std::size(tags)))];
        const QByteArray value =
            tag == 0x05 ? QByteArray() : randomBytes(rng, int(rng.bounded(420)));
        const QByteArray message = getResponse(oid, tag, value);

        NtcipPacket sender;
        sender.address = address;
        load(sender, message);
        QCOMPARE(sender.wrapFrame(), 1);
        const QByteArray wire = frameBytes(sender);

        // Line noise before the frame: anything but a flag.
        QByteArray noise = randomBytes(rng, int(rng.bounded(20)));
        noise.replace('\x7e', '\x00');

        NtcipPacket receiver;
        receiver.address = address;
        QCOMPARE(feed(receiver, noise + wire), noise.size() + wire.size() - 1);
        QCOMPARE(frameBytes(receiver), wire);
        receiver.unstuffFrame();
        QCOMPARE(frameBytes(receiver), unstuffedContent(address, message));
        QCOMPARE(receiver.checkFcs(), 1);
        QVERIFY2(receiver.validateResponse(0) == 1, receiver.errorText);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(receiver.oid), receiver.oidLength), oid);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(receiver.value), receiver.valueLength),
                 value);
    }
}

void TestPmpp::framedReplyOfAnotherStation()
{
    const QByteArray message = getResponse(hex("2b06"), 0x04, "x");
    NtcipPacket sender;
    sender.address = 2;
    load(sender, message);
    QCOMPARE(sender.wrapFrame(), 1);
    NtcipPacket receiver; // station 1
    const QByteArray wire = frameBytes(sender);
    QCOMPARE(feed(receiver, wire), wire.size() - 1);
    receiver.unstuffFrame();
    QCOMPARE(receiver.checkFcs(), 1);
    QCOMPARE(receiver.validateResponse(0), 0);
    QCOMPARE(QByteArray(receiver.errorText), QByteArray("Address does not match"));
}

QTEST_APPLESS_MAIN(TestPmpp)
#include "tst_pmpp.moc"

void TestPmpp::lineReceiverFindsItsStep_data()
{
    QTest::addColumn<QByteArray>("stream");
    // One letter for each frame that ended: F whole, B wrong FCS, M malformed.
    QTest::addColumn<QString>("results");
    // The messages of the whole frames, in order.
    QTest::addColumn<QList<QByteArray>>("messages");
    // Flags and escapes inside the messages, to be stuffed.
    const QByteArray one = hex("30 03 7E 7D 01");
    const QByteArray two = hex("30 02 05 00");
    const QByteArray f1 = framed(1, one);
    const QByteArray f2 = framed(2, two);
    QByteArray flipped = f1;
    flipped[4] = char(flipped[4] ^ 0x10);

    QTest::newRow("back to back") << f1 + f2 << "FF" << QList<QByteArray>{one, two};
    QTest::newRow("one flag between") << f1 + f2.mid(1) << "FF" << QList<QByteArray>{one, two};
    QTest::newRow("joined in the middle") << f1.mid(5) + f2 << "F" << QList<QByteArray>{two};
    QTest::newRow("doubled flags") << hex("7E 7E 7E") + f1 << "F" << QList<QByteArray>{one};
    QTest::newRow("a bit flipped") << flipped + f2 << "BF" << QList<QByteArray>{two};
    QTest::newRow("escape before the closing flag")
        << hex("7E 05 13 C1 30 7D 7E") + f2 << "BF" << QList<QByteArray>{two};
    QTest::newRow("too short for an FCS") << hex("7E 05 13 7E") + f2 << "MF"
                                          << QList<QByteArray>{two};
    QTest::newRow("no closing flag in reach")
        << QByteArray(1, '\x7E') + QByteArray(1500, 'A') + f2 << "MF" << QList<QByteArray>{two};
}

// A line's receiver joins a stream anywhere and takes the next whole frame after any damage.
void TestPmpp::lineReceiverFindsItsStep()
{
    QFETCH(QByteArray, stream);
    QFETCH(QString, results);
    QFETCH(QList<QByteArray>, messages);
    PmppReceiver line;
    QString seen;
    QList<QByteArray> taken;
    for (char c : stream) {
        switch (line.push(uint8_t(c))) {
        case PmppReceiver::Result::None:
            break;
        case PmppReceiver::Result::Frame:
            seen += 'F';
            // Behind the header of station 1 or 2.
            QVERIFY(line.content()[0] == 5 || line.content()[0] == 9);
            taken << QByteArray(reinterpret_cast<const char *>(line.content()) + 3,
                                line.contentLength() - 3);
            break;
        case PmppReceiver::Result::BadFcs:
            seen += 'B';
            break;
        case PmppReceiver::Result::Malformed:
            seen += 'M';
            break;
        }
    }
    QCOMPARE(seen, results);
    QCOMPARE(taken, messages);
    QCOMPARE(line.counters().frames, uint64_t(results.count('F')));
    QCOMPARE(line.counters().fcsErrors, uint64_t(results.count('B')));
    QCOMPARE(line.counters().malformed, uint64_t(results.count('M')));
}
