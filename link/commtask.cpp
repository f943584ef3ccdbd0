// The link task: polls the controller's display in two blocks and forwards key codes.
#include "commtask.h"

#include "ntcippacket.h"

#include <QNetworkProxy>
#include <QUdpSocket>

#include <mutex>
#include <cstring>

const char CommTask::DefaultHost[] = "127.0.0.1";

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
constexpr int LastCursorRow = 16;
constexpr int LastCursorColumn = 40;

// The reply wait: 3 ms, then 97 tries one millisecond apart.
constexpr int FirstWait = 3;
constexpr int ReplyTries = 97;
constexpr int NoReply = 100;
// Above this figure the controller is slow, and the pause grows to spare it.
constexpr int SlowLatency = 50;
constexpr int SlowExtraPause = 50;
// The key answer is drained for about a second: 5 ms, then up to 100 reads 10 ms apart.
constexpr int KeyFirstWait = 5;
constexpr int KeyTries = 100;
constexpr int KeyTryPause = 10;
// How often a stopped task looks for the restart, and the longest sleep without a quit check.
constexpr int RestartPoll = 20;
constexpr int QuitSlice = 20;

constexpr int DefaultPollInterval = 100;
constexpr int ShortestPollInterval = 10;
constexpr int LongestPollInterval = 1000;
// Ports 1..12 are taken for mistakes rather than a controller.
constexpr int LowestPort = 13;
constexpr int HighestPort = 65535;

char rowBuffer[CommTask::Columns + 1];

} // namespace

CommTask::CommTask()
{
    std::memset(screen, ' ', sizeof screen);
}

CommTask::~CommTask()
{
    // run() releases both before it returns; a task that never ran may still own its packet.
    delete packet;
    delete socket;
}

const char *CommTask::rowText(int row)
{
    if (row < 0 || row >= Rows) {
        rowBuffer[0] = '\0';
        return rowBuffer;
    }
    {
        std::lock_guard<std::mutex> locker(screenLock);
        std::memcpy(rowBuffer, screen + row * Columns, Columns);
    }
    rowBuffer[Columns] = '\0';
    return rowBuffer;
}

void CommTask::requestQuit()
{
    quitRequested.store(true, std::memory_order_release);
}

bool CommTask::quitAsked() const
{
    return quitRequested.load(std::memory_order_acquire);
}

bool CommTask::sleepUnlessQuit(int ms)
{
    while (ms > 0) {
        if (quitAsked())
            return false;
        const int slice = ms < QuitSlice ? ms : QuitSlice;
        msleep(static_cast<unsigned long>(slice));
        ms -= slice;
    }
    return !quitAsked();
}

bool CommTask::takeReply(const uint8_t *bytes, int length)
{
    if (!bytes || length < 1 || length > LargestReply)
        return false;
    // A task that has not connected yet has no record; tests drive it this way. run() always
    // creates one at connection time, so a cycle never gets here without one.
    if (!packet)
        packet = new NtcipPacket;
    packet->loadFrame(bytes, length);
    if (!packet->validateResponse(1))
        return false;
    const int n = packet->valueLength;
    if (n < SmallestBlock)
        return false;
    const uint8_t *value = packet->value;
    const int b0 = value[0];
    const int b1 = value[1];
    if (b0 <= LastCursorRow && b1 <= LastCursorColumn) {
        // First block: cursor row and column, then the rows from row 0 on.
        {
            std::lock_guard<std::mutex> locker(screenLock);
            std::memcpy(screen, value + 2, size_t(n - 2));
        }
        cursorRow.store(b0, std::memory_order_relaxed);
        cursorColumn.store(b1, std::memory_order_relaxed);
        return true;
    }
    // Second block: it lands at the offset equal to its own length, so 320 bytes fill rows
    // 8..15. One longer than 321 bytes would run past the screen: such a block is no layout
    // we know, and it is dropped whole rather than shown cut.
    if (2 * n > ScreenSize)
        return false;
    std::lock_guard<std::mutex> locker(screenLock);
    std::memcpy(screen + n, value, size_t(n));
    return true;
}

void CommTask::connectToController()
{
    // The window writes port and host under the same lock; both are copied together here.
    QString target;
    int targetPort = 0;
    {
        std::lock_guard<std::mutex> locker(addressLock);
        target = host;
        targetPort = port;
    }
    if (target.isEmpty() || targetPort < LowestPort || targetPort > HighestPort) {
        // Both are replaced, also when only the port is out of range.
        target = QString::fromLatin1(DefaultHost);
        targetPort = DefaultPort;
    }
    socket->connectToHost(target, quint16(targetPort), QIODevice::ReadWrite);
    // Every connection starts from a fresh record.
    delete packet;
    packet = new NtcipPacket;
}

bool CommTask::stopUntilRestart()
{
    pendingKey.store(0, std::memory_order_relaxed);
    socket->disconnectFromHost();
    {
        std::lock_guard<std::mutex> locker(screenLock);
        std::memset(screen, 0, sizeof screen);
    }
    while (!restartRequested.load(std::memory_order_acquire)) {
        if (!sleepUnlessQuit(RestartPoll))
            return false;
    }
    // Lower both before the address is copied: a Connect whose restart lands after this is
    // seen at the top of the next cycle, and one whose restart came before has already
    // written the address that connectToController() copies.
    stopRequested.store(false, std::memory_order_relaxed);
    restartRequested.store(false, std::memory_order_relaxed);
    connectToController();
    return true;
}

void CommTask::pollOnce()
{
    packet->setOid(firstBlockNext ? FirstBlockOid : SecondBlockOid);
    firstBlockNext = !firstBlockNext;
    packet->buildGet();
    const qint64 written =
        socket->write(reinterpret_cast<const char *>(packet->frame), packet->frameLength);
    if (written != packet->frameLength)
        return;

    if (!sleepUnlessQuit(FirstWait))
        return;
    qint64 received = 0;
    int figure = NoReply;
    for (int k = 0; k < ReplyTries; ++k) {
        // hasPendingDatagrams() rather than the byte count: an empty datagram counts zero
        // bytes and would otherwise sit at the head of the queue for good.
        if (socket->hasPendingDatagrams()) {
            received = socket->readDatagram(reinterpret_cast<char *>(receiveBuffer), ReceiveSize);
            // A failed read is no reply: it must not show up as a quick answer.
            if (received > 0) {
                figure = FirstWait + k;
                break;
            }
        }
        if (!sleepUnlessQuit(1))
            return;
    }
    latency.store(figure, std::memory_order_relaxed);
    if (figure != NoReply)
        takeReply(receiveBuffer, int(received));
}

void CommTask::sendPendingKey()
{
    // One exchange: a code stored while this one is sent waits for the next cycle.
    const uint8_t code = pendingKey.exchange(0, std::memory_order_acq_rel);
    if (code == 0)
        return;
    packet->setOid(KeyOid);
    packet->setOctetString(&code, 1);
    packet->buildSet();
    socket->write(reinterpret_cast<const char *>(packet->frame), packet->frameLength);

    // The answer is only taken out of the socket, never examined: a key is sent once.
    if (!sleepUnlessQuit(KeyFirstWait))
        return;
    for (int k = 0; k < KeyTries; ++k) {
        if (socket->hasPendingDatagrams() &&
            socket->readDatagram(reinterpret_cast<char *>(receiveBuffer), ReceiveSize) > 0)
            return;
        if (!sleepUnlessQuit(KeyTryPause))
            return;
    }
}

void CommTask::run()
{
    latency.store(0, std::memory_order_relaxed);
    const int interval = pollInterval.load(std::memory_order_relaxed);
    if (interval < ShortestPollInterval || interval > LongestPollInterval)
        pollInterval.store(DefaultPollInterval, std::memory_order_relaxed);

    // Created here so that it belongs to this thread. The controller is reached directly: a
    // proxy found in the desktop's settings is meant for web traffic, not for this link.
    socket = new QUdpSocket;
    socket->setProxy(QNetworkProxy::NoProxy);
    firstBlockNext = true;
    connectToController();

    bool running = true;
    while (running && !quitAsked()) {
        // A restart raised alone also reconnects: it is a Connect whose stop was taken in by
        // the previous restart.
        if (stopRequested.load(std::memory_order_acquire) ||
            restartRequested.load(std::memory_order_acquire)) {
            running = stopUntilRestart();
            continue;
        }
        pollOnce();
        if (quitAsked())
            break;
        sendPendingKey();
        const int pause = pollInterval.load(std::memory_order_relaxed);
        running = sleepUnlessQuit(
            latency.load(std::memory_order_relaxed) > SlowLatency ? pause + SlowExtraPause : pause);
    }

    delete socket;
    socket = nullptr;
    delete packet;
    packet = nullptr;
}
