// Simulated controllers on one serial line: stations 1..N of a multi-drop loop behind one
// descriptor, a pseudo-terminal it makes or a device it opens. Requests come in PMPP frames;
// each station answers only the frames with its own address, and the answer goes out at the
// line's bit rate, after the request's own bytes' time, as it would on the wire. Everything runs
// on the thread that opened the line; the request log and the counters may be read from any.
#ifndef SIM_LINESERVER_H
#define SIM_LINESERVER_H

#include "controllermodel.h"
#include "pmppreceiver.h"
#include "snmpagent.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QSocketNotifier;
class QTimer;

class LineServer : public QObject
{
public:
    static constexpr int MostStations = 62;

    struct LoggedRequest
    {
        int station = 0;
        QByteArray bytes; // the SNMP message, without the frame
        qint64 atMs = 0;  // since the line was opened
    };

    struct LineCounters
    {
        uint64_t frames = 0;
        uint64_t fcsErrors = 0;
        uint64_t malformed = 0;
        // Frames with a right FCS for a station this line does not serve: not answered.
        uint64_t otherStation = 0;
    };

    // speed: bits a second, ten to a byte.
    LineServer(int stations, int speed, QObject *parent = nullptr);
    ~LineServer() override;

    // Makes a pseudo-terminal in raw mode and serves on it; path is the end a link opens.
    bool openPty(QString *path, QString *error);
    // Serves on a device that exists (one end of a socat pair, a serial port).
    bool openDevice(const QString &path, QString *error);

    void setVerbose(std::function<void(const char *line)> print) { verbose = std::move(print); }
    // One JSON line each time a station serves a display that differs from its last one, with
    // "station" where a UDP controller says "port".
    void setScreenLog(std::function<void(const char *line)> print) { screenLog = std::move(print); }
    void setRequestLog(bool on);
    std::vector<LoggedRequest> requestLog() const;
    AgentCounters counters() const;
    LineCounters lineCounters() const;

private:
    struct Station;

    void serveOn(int fd);
    void readable();
    void serveFrame();
    void writeDue();

    int speed;
    std::vector<std::unique_ptr<Station>> stations;
    int descriptor = -1;
    // A pseudo-terminal's own end of the link's side, held so that the link may close and open
    // it again without hanging the line up.
    int heldSlave = -1;
    QSocketNotifier *notifier = nullptr;
    QTimer *pace = nullptr;
    QElapsedTimer clock;
    PmppReceiver receiver;

    // Answers on their way out at the line's rate: bytes [sent, length) of out are still to go;
    // started is when the first of them was due, on clock in ns.
    uint8_t out[8192];
    int outLength = 0;
    int outSent = 0;
    qint64 started = 0;

    std::function<void(const char *)> verbose;
    std::function<void(const char *)> screenLog;

    mutable std::mutex lock;
    bool logging = false;
    std::vector<LoggedRequest> log;
    LineCounters line;
};

#endif // SIM_LINESERVER_H
