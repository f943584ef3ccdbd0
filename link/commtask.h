// The link task: a worker thread that polls the controller's display over SNMP and sends keys.
#ifndef COMMTASK_H
#define COMMTASK_H

#include "linkrules.h"

#include <QString>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <mutex>

class NtcipPacket;
class QUdpSocket;

class CommTask : public QThread
{
public:
    // Rows and bytes of the display mirror: 16 rows of 40 characters, then 2 bytes never shown.
    static constexpr int Rows = LinkRules::Rows;
    static constexpr int Columns = LinkRules::Columns;
    static constexpr int ScreenSize = LinkRules::ScreenSize;
    static constexpr int ReceiveSize = LinkRules::ReceiveSize;
    // Where a task goes when it is given no usable address or port.
    static constexpr const char *DefaultHost = LinkRules::DefaultHost;
    static constexpr int DefaultPort = LinkRules::DefaultPort;

    CommTask();
    ~CommTask() override;

    // A NUL-terminated copy of screen row 0..15 in one static 41-byte buffer that each call
    // overwrites: for the window's thread only.
    const char *rowText(int row);

    // Asks run() to return at its next look at the flags or during a wait, so that the
    // application can join the thread at exit. Nothing else ends a link task.
    void requestQuit();

    // Takes one received datagram in: size check, validation, block placement and cursor.
    // Returns true when the reply changed the screen. Runs on the task's thread (tests call it
    // directly on a task that is not started).
    bool takeReply(const uint8_t *bytes, int length);

    // Who writes what. Window: host, port (under addressLock), pollInterval, pendingKey,
    // stopRequested, restartRequested. Task: screen (under screenLock), cursorRow,
    // cursorColumn, latency; it also lowers the two flags and takes pendingKey.
    NtcipPacket *packet = nullptr;
    QUdpSocket *socket = nullptr;
    std::atomic<uint8_t> pendingKey{0};
    QString host;
    int port = 0;
    std::atomic<int> cursorRow{0};
    std::atomic<int> cursorColumn{0};
    std::atomic<int> latency{0};
    std::atomic<int> pollInterval{0};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> restartRequested{false};
    uint8_t screen[ScreenSize];

    // Standard mutexes rather than QMutex: ThreadSanitizer follows these, and the window and
    // the task hand over host, port and the screen through them.
    std::mutex addressLock;
    std::mutex screenLock;

protected:
    void run() override;

private:
    // The steps of run(); all run on the task's thread.
    void connectToController();
    bool stopUntilRestart();
    void pollOnce();
    void sendPendingKey();
    // Sleeps ms milliseconds in slices of at most 20 ms; false as soon as quit is asked.
    bool sleepUnlessQuit(int ms);
    bool quitAsked() const;

    // Replies and key answers land here; filled by one read and consumed before the next.
    uint8_t receiveBuffer[ReceiveSize];
    // The block whose turn it is: requests alternate first, second, first, ...
    bool firstBlockNext = true;
    std::atomic<bool> quitRequested{false};
};

#endif // COMMTASK_H
