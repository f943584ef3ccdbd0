// The shared BER reader and writer: integers in both readings, hostile element headers, nesting
// that lies about its length, and the writer's length forms and overflow.
#include "ber.h"

#include <QByteArray>
#include <QTest>

#include <cstring>

namespace {

ber::Reader over(const QByteArray &bytes)
{
    const auto *p = reinterpret_cast<const uint8_t *>(bytes.constData());
    return ber::Reader(p, p + bytes.size());
}

} // namespace

class TestBer : public QObject
{
    Q_OBJECT

private slots:
    void integers_data();
    void integers();
    void hostileElements_data();
    void hostileElements();
    void lengthsWrittenShortestAndReadBack_data();
    void lengthsWrittenShortestAndReadBack();
    void writerStopsAtItsCapacity();
};

void TestBer::integers_data()
{
    // readInteger: any INTEGER of 1 to 4 bytes; readNonNegative: what SNMPv3's header and USM
    // carry, 0 to 2^31 - 1 in up to 5 bytes. -1 below stands for "refused".
    QTest::addColumn<QByteArray>("element");
    QTest::addColumn<qint64>("asInteger");
    QTest::addColumn<qint64>("asNonNegative");
    QTest::newRow("zero") << QByteArray::fromHex("020100") << qint64(0) << qint64(0);
    QTest::newRow("127") << QByteArray::fromHex("02017f") << qint64(127) << qint64(127);
    QTest::newRow("-128") << QByteArray::fromHex("020180") << qint64(-128) << qint64(-1);
    QTest::newRow("128") << QByteArray::fromHex("02020080") << qint64(128) << qint64(128);
    QTest::newRow("2^31 - 1") << QByteArray::fromHex("02047fffffff") << qint64(0x7fffffff)
                              << qint64(0x7fffffff);
    QTest::newRow("-2^31") << QByteArray::fromHex("020480000000") << qint64(INT32_MIN) << qint64(-1);
    QTest::newRow("leading zero, 5 bytes") << QByteArray::fromHex("0205007fffffff") << qint64(-1)
                                           << qint64(0x7fffffff);
    QTest::newRow("2^32 - 1 in 5 bytes") << QByteArray::fromHex("020500ffffffff") << qint64(-1)
                                         << qint64(-1);
    QTest::newRow("5 bytes, no leading zero") << QByteArray::fromHex("0205017fffffff") << qint64(-1)
                                              << qint64(-1);
    QTest::newRow("no content") << QByteArray::fromHex("0200") << qint64(-1) << qint64(-1);
    QTest::newRow("content cut") << QByteArray::fromHex("020201") << qint64(-1) << qint64(-1);
    QTest::newRow("an OCTET STRING") << QByteArray::fromHex("040101") << qint64(-1) << qint64(-1);
}

void TestBer::integers()
{
    QFETCH(QByteArray, element);
    QFETCH(qint64, asInteger);
    QFETCH(qint64, asNonNegative);
    const qint64 expected[] = {asInteger, asNonNegative};
    for (int reading = 0; reading < 2; ++reading) {
        ber::Reader r = over(element);
        int32_t value = 12345;
        const bool ok = reading == 0 ? r.readInteger(&value) : r.readNonNegative(&value);
        QCOMPARE(ok, expected[reading] != -1);
        if (ok) {
            QCOMPARE(qint64(value), expected[reading]);
            QVERIFY(r.atEnd());
        } else {
            // A refused element leaves the reader where it was, for the caller to try another.
            QCOMPARE(r.remaining(), int(element.size()));
        }
    }
}

void TestBer::hostileElements_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("nothing") << QByteArray();
    QTest::newRow("tag alone") << QByteArray::fromHex("04");
    QTest::newRow("indefinite length") << QByteArray::fromHex("048000");
    QTest::newRow("five length bytes") << QByteArray::fromHex("0485000000000100");
    QTest::newRow("length above 2^31") << QByteArray::fromHex("048480000000");
    QTest::newRow("length bytes cut") << QByteArray::fromHex("048201");
    QTest::newRow("length past the end") << QByteArray::fromHex("0405414243");
    QTest::newRow("high tag number form") << QByteArray::fromHex("1f0100");
    // The outer sequence holds 3 bytes; the string inside claims 5 of the 8 the buffer has.
    QTest::newRow("child longer than its parent") << QByteArray::fromHex("300304054142434445");
}

void TestBer::hostileElements()
{
    QFETCH(QByteArray, bytes);
    ber::Reader r = over(bytes);
    uint8_t tag = 0;
    ber::Reader content;
    if (r.readExpected(ber::Sequence, &content))
        r = content;
    QVERIFY(!r.readElement(&tag, &content));
    const uint8_t *octets = nullptr;
    int length = -1;
    QVERIFY(!r.readOctets(1000, &octets, &length));
}

void TestBer::lengthsWrittenShortestAndReadBack_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("header");
    QTest::newRow("0") << 0 << QByteArray::fromHex("0400");
    QTest::newRow("127") << 127 << QByteArray::fromHex("047f");
    QTest::newRow("128") << 128 << QByteArray::fromHex("048180");
    QTest::newRow("255") << 255 << QByteArray::fromHex("0481ff");
    QTest::newRow("256") << 256 << QByteArray::fromHex("04820100");
    QTest::newRow("65535") << 65535 << QByteArray::fromHex("0482ffff");
    QTest::newRow("65536") << 65536 << QByteArray::fromHex("0483010000");
}

void TestBer::lengthsWrittenShortestAndReadBack()
{
    QFETCH(int, length);
    QFETCH(QByteArray, header);
    QByteArray content(length, 'x');
    QByteArray out(ber::elementSize(length), '\0');
    ber::Writer w(reinterpret_cast<uint8_t *>(out.data()), int(out.size()));
    w.octets(reinterpret_cast<const uint8_t *>(content.constData()), length);
    QVERIFY(w.ok());
    QCOMPARE(w.size(), int(out.size()));
    QCOMPARE(out.left(header.size()).toHex(), header.toHex());

    ber::Reader r = over(out);
    const uint8_t *read = nullptr;
    int readLength = -1;
    QVERIFY(r.readOctets(length, &read, &readLength));
    QCOMPARE(readLength, length);
    QVERIFY(r.atEnd());
    // One byte fewer allowed: refused, and the reader has not moved.
    if (length > 0) {
        ber::Reader again = over(out);
        QVERIFY(!again.readOctets(length - 1, &read, &readLength));
        QCOMPARE(again.remaining(), int(out.size()));
    }
}

void TestBer::writerStopsAtItsCapacity()
{
    // An element of 10 bytes into a buffer that says it holds 6: nothing past the 6th byte is
    // touched, and the writer says it failed.
    uint8_t buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    const uint8_t content[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ber::Writer w(buffer, 6);
    w.octets(content, int(sizeof content));
    QVERIFY(!w.ok());
    QCOMPARE(w.size(), 6);
    for (int i = 6; i < int(sizeof buffer); ++i)
        QCOMPARE(buffer[i], uint8_t(0xEE));
}

QTEST_APPLESS_MAIN(TestBer)
#include "tst_ber.moc"
