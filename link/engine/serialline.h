// One serial line's descriptor: a local serial device (termios: raw, 8N1, no flow control,
// non-blocking) or a terminal server's raw TCP port (connected without blocking). It knows
// nothing of frames or stations; the engine reads and writes through it and says when it must
// be opened again.
#ifndef SERIALLINE_H
#define SERIALLINE_H

#include <cstdint>
#include <string>

struct SerialLineConfig
{
    std::string name;
    // Either a device path, or an IPv4 address and port of a terminal server.
    std::string device;
    std::string host;
    int port = 0;
    // The line's bit rate; a terminal server's serial side runs at it too, which is what the
    // bytes' time on the line is worked out from.
    int speed = 9600;
};

class SerialLine
{
public:
    enum class State : uint8_t { Closed, Connecting, Open };

    static constexpr int SlowestSpeed = 1200;
    static constexpr int FastestSpeed = 115200;
    // Retries of a line that would not open or dropped, doubling between these.
    static constexpr int64_t FirstRetryMs = 500;
    static constexpr int64_t LongestRetryMs = 30000;

    explicit SerialLine(const SerialLineConfig &config);
    ~SerialLine();
    SerialLine(const SerialLine &) = delete;
    SerialLine &operator=(const SerialLine &) = delete;

    // Whether speed is one a serial port can be set to.
    static bool usableSpeed(int speed);

    // Opens the device, or starts connecting to the terminal server. False when it failed at
    // once; error() says why, and the next try is due at retryAt().
    bool open(int64_t nowMs);
    // A connection in progress became writable: Open, or Closed with error().
    bool finishConnect(int64_t nowMs);
    // Closes after a failure; the next open is due after the backoff.
    void fail(int64_t nowMs, const char *why);

    // Non-blocking; the count done, 0 for none now, -1 when the line failed.
    int read(uint8_t *bytes, int capacity);
    // All or nothing as far as the line is concerned: false when not every byte went.
    bool write(const uint8_t *bytes, int length);

    int fd() const { return descriptor; }
    State state() const { return current; }
    bool isTcp() const { return !setup.host.empty(); }
    const SerialLineConfig &config() const { return setup; }
    int64_t retryAt() const { return nextTry; }
    const char *error() const { return why; }
    uint64_t reopened() const { return opens > 0 ? opens - 1 : 0; }

    // Time on the wire of this many bytes: a start bit, eight data bits and a stop bit each.
    int64_t bytesNs(int bytes) const
    {
        return int64_t(bytes) * 10 * 1000000000 / setup.speed;
    }

private:
    void close();

    SerialLineConfig setup;
    int descriptor = -1;
    State current = State::Closed;
    int64_t nextTry = 0;
    int64_t backoff = FirstRetryMs;
    uint64_t opens = 0;
    char why[96] = "";
};

#endif // SERIALLINE_H
