// The link task without sockets: reply handling driven with bytes, the row copies and the
// state a new task starts in.
#include "commtask.h"
#include "snmpbytes.h"

#include <QtTest>

#include <cstring>

using namespace SnmpBytes;

namespace {

// Every row starts from this screen and cursor, so that what a reply changes shows.
const char Background = '.';
constexpr int StartRow = 7;
constexpr int StartColumn = 9;

QByteArray backgroundScreen()
{
    return QByteArray(CommTask::ScreenSize, Background);
}

QByteArray placed(int offset, const QByteArray &bytes)
{
    QByteArray screen = backgroundScreen();
    screen.replace(offset, bytes.size(), bytes);
    return screen;
}

QByteArray screenOf(const CommTask &task)
{
    return QByteArray(reinterpret_cast<const char *>(task.screen), CommTask::ScreenSize);
}

} // namespace

class TestCommTask : public QObject
{
    Q_OBJECT

private slots:
    void defaults();
    void replyLengths();
    void takeReply_data();
    void takeReply();
    void lateReplyFindsItsPlace();
    void blocksFillScreenExactly();
    void rowText_data();
    void rowText();
    void rowTextOfBlankedScreen();
};

void TestCommTask::defaults()
{
    CommTask task;
    QCOMPARE(screenOf(task), QByteArray(CommTask::ScreenSize, ' '));
    QCOMPARE(task.cursorRow.load(), 0);
    QCOMPARE(task.cursorColumn.load(), 0);
    QCOMPARE(task.latency.load(), 0);
    QCOMPARE(task.pollInterval.load(), 0);
    QCOMPARE(task.pendingKey.load(), uint8_t(0));
    QVERIFY(!task.stopRequested.load());
    QVERIFY(!task.restartRequested.load());
    QVERIFY(task.host.isNull());
    QCOMPARE(task.port, 0);
    QVERIFY(task.packet == nullptr);
    QVERIFY(task.socket == nullptr);
    QCOMPARE(QByteArray(CommTask::DefaultHost), QByteArray("127.0.0.1"));
    QCOMPARE(CommTask::DefaultPort, 501);
    QVERIFY(!task.isRunning());
}

// The datagram sizes the table below relies on: a full first block with the six-letter
// community is the largest reply a controller sends.
void TestCommTask::replyLengths()
{
    QCOMPARE(reply(FirstBlockOid, firstBlock(1, 1, pattern(320, 'A'))).size(), 379);
    QCOMPARE(reply(SecondBlockOid, pattern(320, 'B')).size(), 377);
    QCOMPARE(reply(FirstBlockOid, firstBlock(1, 1, pattern(321, 'A'))).size(), 380);
}

void TestCommTask::takeReply_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("used");
    QTest::addColumn<QByteArray>("screen");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");

    const QByteArray rows320 = pattern(320, 'A');
    const QByteArray lower320 = pattern(320, 'B');
    const QByteArray unchanged = backgroundScreen();

    QTest::newRow("first block in a 379-byte reply fills rows 0 to 7")
        << reply(FirstBlockOid, firstBlock(3, 10, rows320)) << true << placed(0, rows320) << 3
        << 10;
    QTest::newRow("380-byte reply is dropped")
        << reply(FirstBlockOid, firstBlock(3, 10, pattern(321, 'A'))) << false << unchanged
        << StartRow << StartColumn;
    QTest::newRow("value of 159 bytes is dropped")
        << reply(FirstBlockOid, firstBlock(1, 1, pattern(157, 'A'))) << false << unchanged
        << StartRow << StartColumn;
    QTest::newRow("value of 160 bytes is used")
        << reply(FirstBlockOid, firstBlock(1, 1, pattern(158, 'A'))) << true
        << placed(0, pattern(158, 'A')) << 1 << 1;
    QTest::newRow("bytes 16 and 40 make a first block with the cursor at the last cell")
        << reply(FirstBlockOid, firstBlock(16, 40, rows320)) << true << placed(0, rows320) << 16
        << 40;
    QTest::newRow("cursor row 0 fills the screen and clears the cursor")
        << reply(FirstBlockOid, firstBlock(0, 12, rows320)) << true << placed(0, rows320) << 0
        << 12;
    QTest::newRow("cursor column 0 fills the screen and clears the cursor")
        << reply(FirstBlockOid, firstBlock(5, 0, rows320)) << true << placed(0, rows320) << 5 << 0;

    QByteArray startsWith17 = lower320;
    startsWith17[0] = 17;
    startsWith17[1] = 0;
    QTest::newRow("bytes 17 and 0 make a second block")
        << reply(SecondBlockOid, startsWith17) << true << placed(320, startsWith17) << StartRow
        << StartColumn;
    QByteArray startsWith5 = lower320;
    startsWith5[0] = 5;
    startsWith5[1] = 41;
    QTest::newRow("bytes 5 and 41 make a second block")
        << reply(SecondBlockOid, startsWith5) << true << placed(320, startsWith5) << StartRow
        << StartColumn;
    QByteArray startsHigh = lower320;
    startsHigh[0] = char(0x80);
    startsHigh[1] = 1;
    QTest::newRow("first byte 0x80 makes a second block")
        << reply(SecondBlockOid, startsHigh) << true << placed(320, startsHigh) << StartRow
        << StartColumn;

    QTest::newRow("second block of 320 bytes fills offsets 320 to 639")
        << reply(SecondBlockOid, lower320) << true << placed(320, lower320) << StartRow
        << StartColumn;
    QTest::newRow("second block of 160 bytes lands at offset 160")
        << reply(SecondBlockOid, pattern(160, 'B')) << true << placed(160, pattern(160, 'B'))
        << StartRow << StartColumn;
    QTest::newRow("second block of 321 bytes ends at the screen's last byte")
        << reply(SecondBlockOid, pattern(321, 'B')) << true << placed(321, pattern(321, 'B'))
        << StartRow << StartColumn;
    QTest::newRow("second block of 322 bytes would run past the screen and is dropped")
        << reply(SecondBlockOid, pattern(322, 'B')) << false << unchanged << StartRow
        << StartColumn;
    QTest::newRow("second block of 340 bytes is dropped, not cut")
        << reply(SecondBlockOid, pattern(340, 'B')) << false << unchanged << StartRow
        << StartColumn;

    // Replies the validation refuses leave screen and cursor as they were.
    const QByteArray goodValue = firstBlock(2, 2, rows320);
    QTest::newRow("error status 2 is refused")
        << message(GetResponse, 0, oidBytes(FirstBlockOid), OctetString, goodValue, 2) << false
        << unchanged << StartRow << StartColumn;
    QTest::newRow("other request id is refused")
        << message(GetResponse, 1, oidBytes(FirstBlockOid), OctetString, goodValue) << false
        << unchanged << StartRow << StartColumn;
    QTest::newRow("other community is refused")
        << message(GetResponse, 0, oidBytes(FirstBlockOid), OctetString, goodValue, 0, "public")
        << false << unchanged << StartRow << StartColumn;
    QTest::newRow("a GetRequest is no reply")
        << message(GetRequest, 0, oidBytes(FirstBlockOid), OctetString, goodValue) << false
        << unchanged << StartRow << StartColumn;
    QTest::newRow("unknown value tag is refused")
        << message(GetResponse, 0, oidBytes(FirstBlockOid), 0x43, goodValue) << false << unchanged
        << StartRow << StartColumn;
    QTest::newRow("value cut off by the datagram's end")
        << reply(FirstBlockOid, goodValue).left(300) << false << unchanged << StartRow
        << StartColumn;
    QTest::newRow("message tag alone")
        << QByteArray(1, 0x30) << false << unchanged << StartRow << StartColumn;

    // A value length that claims more than the datagram holds.
    QByteArray longClaim = reply(SecondBlockOid, lower320);
    const int lengthAt = longClaim.indexOf(QByteArray::fromHex("04820140"));
    QVERIFY(lengthAt > 0);
    longClaim[lengthAt + 2] = 0x7F;
    QTest::newRow("value length 0x7F40 past the datagram's end")
        << longClaim << false << unchanged << StartRow << StartColumn;
}

void TestCommTask::takeReply()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, used);
    QFETCH(QByteArray, screen);
    QFETCH(int, row);
    QFETCH(int, column);

    CommTask task;
    std::memset(task.screen, Background, sizeof task.screen);
    task.cursorRow = StartRow;
    task.cursorColumn = StartColumn;

    QCOMPARE(task.takeReply(reinterpret_cast<const uint8_t *>(datagram.constData()),
                            int(datagram.size())),
             used);
    QCOMPARE(screenOf(task), screen);
    QCOMPARE(task.cursorRow.load(), row);
    QCOMPARE(task.cursorColumn.load(), column);
}

// The block is recognised by its bytes, not by the OID: a late answer to the other request
// still lands in its own place.
void TestCommTask::lateReplyFindsItsPlace()
{
    CommTask task;
    const QByteArray upper = reply(SecondBlockOid, firstBlock(4, 4, pattern(320, 'A')));
    const QByteArray lower = reply(FirstBlockOid, pattern(320, 'B'));
    QVERIFY(
        task.takeReply(reinterpret_cast<const uint8_t *>(upper.constData()), int(upper.size())));
    QVERIFY(
        task.takeReply(reinterpret_cast<const uint8_t *>(lower.constData()), int(lower.size())));
    QCOMPARE(screenOf(task), pattern(320, 'A') + pattern(320, 'B') + "  ");
    QCOMPARE(task.cursorRow.load(), 4);
}

void TestCommTask::blocksFillScreenExactly()
{
    CommTask task;
    std::memset(task.screen, 0xEE, sizeof task.screen);
    const QByteArray upper = reply(FirstBlockOid, firstBlock(1, 2, pattern(320, 'A')));
    const QByteArray lower = reply(SecondBlockOid, pattern(320, 'B'));
    QVERIFY(
        task.takeReply(reinterpret_cast<const uint8_t *>(upper.constData()), int(upper.size())));
    QVERIFY(
        task.takeReply(reinterpret_cast<const uint8_t *>(lower.constData()), int(lower.size())));
    // Rows 0..15 come from the two blocks; the two bytes after them are never written.
    QCOMPARE(screenOf(task), pattern(320, 'A') + pattern(320, 'B') + QByteArray(2, char(0xEE)));
    for (int row = 0; row < CommTask::Rows; ++row) {
        const QByteArray expected = row < 8 ? pattern(320, 'A').mid(40 * row, 40)
                                            : pattern(320, 'B').mid(40 * (row - 8), 40);
        QCOMPARE(QByteArray(task.rowText(row)), expected);
    }
}

void TestCommTask::rowText_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QByteArray>("text");

    QByteArray screen;
    for (int i = 0; i < CommTask::ScreenSize; ++i)
        screen.append(char('!' + i % 90));
    QTest::newRow("row 0 is offsets 0 to 39") << 0 << screen.mid(0, 40);
    QTest::newRow("row 1 is offsets 40 to 79") << 1 << screen.mid(40, 40);
    QTest::newRow("row 8 is offsets 320 to 359") << 8 << screen.mid(320, 40);
    QTest::newRow("row 15 is offsets 600 to 639") << 15 << screen.mid(600, 40);
    QTest::newRow("row 16 does not exist") << 16 << QByteArray();
    QTest::newRow("row -1 does not exist") << -1 << QByteArray();
}

void TestCommTask::rowText()
{
    QFETCH(int, row);
    QFETCH(QByteArray, text);

    CommTask task;
    for (int i = 0; i < CommTask::ScreenSize; ++i)
        task.screen[i] = uint8_t('!' + i % 90);
    const char *copy = task.rowText(row);
    QCOMPARE(QByteArray(copy), text);
    if (!text.isEmpty())
        QCOMPARE(copy[CommTask::Columns], '\0');
}

void TestCommTask::rowTextOfBlankedScreen()
{
    CommTask task;
    QCOMPARE(QByteArray(task.rowText(3)), QByteArray(40, ' '));
    std::memset(task.screen, 0, sizeof task.screen);
    QCOMPARE(QByteArray(task.rowText(3)), QByteArray());
}

QTEST_GUILESS_MAIN(TestCommTask)
#include "tst_commtask.moc"
