// One simulated controller on a UDP socket: the agent and its model clock behind a bound port,
// with replies held back (delay) or lost (drop) to try a link on a bad line, and the misbehaviour
// a test needs from a controller switched on by name. Everything runs on the thread that called
// listen(), which must be the thread the server was made on; the switches, the request log and
// the counters may be used from any thread.
#ifndef SIM_CONTROLLERSERVER_H
#define SIM_CONTROLLERSERVER_H

#include "controllermodel.h"
#include "snmpagent.h"
#include "v3agent.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QTimer;
class QUdpSocket;

class ControllerServer : public QObject
{
public:
    // Largest datagram read: a request longer than this arrives cut off and fails as malformed.
    static constexpr int ReceiveSize = 4096;
    // Largest reply: the UDP payload of one Ethernet frame.
    static constexpr int ReplySize = 1472;
    // Replies held back by the delay at one time; one more is lost and counted as dropped.
    static constexpr int QueueSize = 64;
    static constexpr int LongestDelay = 60000;

    // What the controller does with a request it has taken in.
    enum class Behaviour {
        Answer,         // every request gets the agent's answer
        Silent,         // nothing is answered
        KeysUnanswered, // GETs are answered, SETs are taken in but not answered
        Oversize,       // the first display block carries one byte more: a 380-byte reply
        EmptyFirst,     // an empty datagram goes out in front of every answer
    };

    struct LoggedRequest
    {
        QByteArray bytes;
        qint64 atMs = 0; // since listen()
    };

    // startSecondOfDay: the wall clock the controller shows when it starts.
    explicit ControllerServer(int startSecondOfDay = 8 * 3600, QObject *parent = nullptr);
    ~ControllerServer() override;

    // Binds the socket exclusively and starts serving on the calling thread's event loop.
    // False when the address cannot be bound; errorString() and bindError() say why.
    bool listen(const QHostAddress &address, quint16 port);
    QString errorString() const { return error; }
    QAbstractSocket::SocketError bindError() const { return failure; }
    quint16 port() const { return boundPort; }

    // Set before listen(). delayMs: 0..LongestDelay; dropPercent: 0..100.
    void setDelay(int delayMs);
    void setDropPercent(int percent) { dropPercent = percent; }
    // Answers SNMPv3 too, as these users, with an engine id of its own made from the port it
    // listens on; SNMPv1 is still answered. Before listen() or after, on the server's thread.
    bool enableV3(const std::vector<V3User> &users, QString *error);
    // Called with one line per request ("127.0.0.1:40000 get ... -> 379 bytes"), on the
    // serving thread.
    void setVerbose(std::function<void(const char *line)> print) { verbose = std::move(print); }
    // Called, on the serving thread, with a JSON line each time the display the controller
    // serves differs from the one before: {"t": wall-clock ms, "port", "cursor": [row, column]
    // (1-based, 0 0 when hidden), "rows": [16 strings]}. Its own record of what it showed.
    void setScreenLog(std::function<void(const char *line)> print) { screenLog = std::move(print); }

    // From any thread.
    void setBehaviour(Behaviour b) { behaviour.store(b); }
    // Serves these display blocks instead of the model's: the cursor bytes with rows 0..7, and
    // rows 8..15. Up to 320 bytes each; shorter ones make short replies.
    void setDisplay(uint8_t cursorRow, uint8_t cursorColumn, const QByteArray &rows0to7,
                    const QByteArray &rows8to15);
    // Keeps every request from now on, with its time; off by default, as it grows.
    void setRequestLog(bool on);
    std::vector<LoggedRequest> requestLog() const;
    AgentCounters counters() const;

private:
    struct PendingReply
    {
        QHostAddress peer;
        quint16 port = 0;
        qint64 due = 0;
        int length = 0;
        uint8_t bytes[ReplySize];
    };

    void readPending();
    void serve(const uint8_t *request, int length, const QHostAddress &peer, quint16 peerPort);
    void prepareDisplay(Behaviour b);
    void catchUp();
    void send(const uint8_t *bytes, int length, const QHostAddress &peer, quint16 peerPort);
    const char *hold(const uint8_t *bytes, int length, const QHostAddress &peer, quint16 peerPort);
    void sendDue();
    // The model's display and cursor as a line for screenLog, when they changed; else empty.
    QByteArray screenLine();

    ControllerModel model;
    SnmpAgent agent;
    V3Agent v3;
    QUdpSocket *socket = nullptr;
    QTimer *sendTimer = nullptr;
    QElapsedTimer clock;
    qint64 modelTime = 0;
    quint16 boundPort = 0;
    QString error;
    QAbstractSocket::SocketError failure = QAbstractSocket::UnknownSocketError;

    int delay = 0;
    int dropPercent = 0;
    std::function<void(const char *)> verbose;
    std::function<void(const char *)> screenLog;
    QByteArray loggedScreen;

    // Replies held back by the delay, oldest first; taken only when a delay is set. Every reply
    // waits the same time, so they fall due in the order they were queued.
    std::unique_ptr<PendingReply[]> queue;
    int queueHead = 0;
    int queueCount = 0;

    uint8_t request[ReceiveSize];
    uint8_t reply[ReplySize];

    // The switches and what they guard; held while a request is served.
    mutable std::mutex lock;
    std::atomic<Behaviour> behaviour{Behaviour::Answer};
    bool fixedDisplay = false;
    bool logging = false;
    std::vector<LoggedRequest> log;
    uint8_t fixedFirst[ControllerModel::FirstBlockSize];
    int fixedFirstLength = 0;
    uint8_t fixedSecond[ControllerModel::SecondBlockSize];
    int fixedSecondLength = 0;
    // What the agent serves when the display is fixed or oversize.
    uint8_t servedFirst[ControllerModel::FirstBlockSize + 1];
    int servedFirstLength = 0;
    uint8_t servedSecond[ControllerModel::SecondBlockSize];
    int servedSecondLength = 0;
};

#endif // SIM_CONTROLLERSERVER_H
