// The link task: polls the controller's display in two blocks and forwards key codes.
#include "commtask.h"

#include "linkrules.h"
#include "ntcippacket.h"

#include <QNetworkProxy>
#include <QUdpSocket>

#include <cstring>
#include <mutex>

namespace {

using namespace LinkRules;

// The reply wait: 3 ms, then 97 tries one millisecond apart.
constexpr int ReplyTries = 97;
// The key answer is drained for about a second: 5 ms, then up to 100 reads 10 ms apart.
constexpr int KeyFirstWait = 5;
constexpr int KeyTries = 100;
constexpr int KeyTryPause = 10;
// How often a stopped task looks for the restart, and the longest sleep without a quit check.
constexpr int RestartPoll = 20;
constexpr int QuitSlice = 20;

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
    // A task that has not connected yet has no record; tests drive it this way. run() always
    // creates one at connection time, so a cycle never gets here without one.
    if (!packet)
        packet = new NtcipPacket;
    Block block;
    if (readBlock(*packet, bytes, length, &block) != nullptr)
        return false;
    {
        std::lock_guard<std::mutex> locker(screenLock);
        std::memcpy(screen + block.offset, block.bytes, size_t(block.length));
    }
    if (block.hasCursor) {
        cursorRow.store(block.cursorRow, std::memory_order_relaxed);
        cursorColumn.store(block.cursorColumn, std::memory_order_relaxed);
    }
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
    if (target.isEmpty() || !usablePort(targetPort)) {
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
    buildPoll(*packet, firstBlockNext);
    firstBlockNext = !firstBlockNext;
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
    buildKey(*packet, code);
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
    if (!usablePollInterval(interval))
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
        running = sleepUnlessQuit(pauseAfter(latency.load(std::memory_order_relaxed),
                                             pollInterval.load(std::memory_order_relaxed)));
    }

    delete socket;
    socket = nullptr;
    delete packet;
    packet = nullptr;
}
