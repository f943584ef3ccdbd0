#include "serialline.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

speed_t termiosSpeed(int speed)
{
    switch (speed) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
    }
}

} // namespace

SerialLine::SerialLine(const SerialLineConfig &config) : setup(config)
{
    if (!usableSpeed(setup.speed))
        setup.speed = 9600;
}

SerialLine::~SerialLine()
{
    close();
}

bool SerialLine::usableSpeed(int speed)
{
    return termiosSpeed(speed) != B0;
}

void SerialLine::close()
{
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
    current = State::Closed;
}

void SerialLine::fail(int64_t nowMs, const char *reason)
{
    close();
    std::snprintf(why, sizeof why, "%s", reason);
    nextTry = nowMs + backoff;
    backoff = std::min(backoff * 2, LongestRetryMs);
}

bool SerialLine::open(int64_t nowMs)
{
    close();
    char reason[96];
    if (!isTcp()) {
        descriptor = ::open(setup.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        if (descriptor < 0 || ::tcgetattr(descriptor, &t) != 0) {
            std::snprintf(reason, sizeof reason, "cannot open %s: %s", setup.device.c_str(),
                          std::strerror(errno));
            fail(nowMs, reason);
            return false;
        }
        // Raw bytes both ways, 8 data bits, no parity, one stop bit, no flow control, the
        // modem's lines ignored; reads return what has come.
        ::cfmakeraw(&t);
        t.c_cflag &= ~tcflag_t(CSTOPB | PARENB | CRTSCTS);
        t.c_cflag |= CLOCAL | CREAD | CS8;
        t.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        ::cfsetispeed(&t, termiosSpeed(setup.speed));
        ::cfsetospeed(&t, termiosSpeed(setup.speed));
        if (::tcsetattr(descriptor, TCSANOW, &t) != 0) {
            std::snprintf(reason, sizeof reason, "cannot set up %s: %s", setup.device.c_str(),
                          std::strerror(errno));
            fail(nowMs, reason);
            return false;
        }
        // What waited in the buffers from before is no answer to anything of ours.
        ::tcflush(descriptor, TCIOFLUSH);
        current = State::Open;
        backoff = FirstRetryMs;
        ++opens;
        return true;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(uint16_t(setup.port));
    if (::inet_pton(AF_INET, setup.host.c_str(), &peer.sin_addr) != 1) {
        fail(nowMs, "the terminal server's address is not an IPv4 address");
        return false;
    }
    descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        fail(nowMs, "cannot make a TCP socket");
        return false;
    }
    // A frame goes out whole at once; and a terminal server that vanished without a word is
    // noticed within a minute even while nothing is asked.
    const int on = 1;
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(descriptor, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    const int idle = 20, interval = 10, probes = 3;
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    if (::connect(descriptor, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) == 0) {
        current = State::Open;
        backoff = FirstRetryMs;
        ++opens;
        return true;
    }
    if (errno != EINPROGRESS) {
        std::snprintf(reason, sizeof reason, "cannot connect to %s:%d: %s", setup.host.c_str(),
                      setup.port, std::strerror(errno));
        fail(nowMs, reason);
        return false;
    }
    current = State::Connecting;
    return true;
}

bool SerialLine::finishConnect(int64_t nowMs)
{
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        error = errno;
    if (error != 0) {
        char reason[96];
        std::snprintf(reason, sizeof reason, "cannot connect to %s:%d: %s", setup.host.c_str(),
                      setup.port, std::strerror(error));
        fail(nowMs, reason);
        return false;
    }
    current = State::Open;
    backoff = FirstRetryMs;
    ++opens;
    return true;
}

int SerialLine::read(uint8_t *bytes, int capacity)
{
    if (current != State::Open)
        return -1;
    const ssize_t n = ::read(descriptor, bytes, size_t(capacity));
    if (n > 0)
        return int(n);
    // A raw terminal with nothing to give reads 0; a TCP connection only at its end.
    if ((n == 0 && !isTcp()) || (n < 0 && (errno == EAGAIN || errno == EINTR)))
        return 0;
    // A terminal server that closed, or a device that went (a pseudo-terminal whose other side
    // closed reads EIO).
    return -1;
}

bool SerialLine::write(const uint8_t *bytes, int length)
{
    if (current != State::Open)
        return false;
    const ssize_t n = ::write(descriptor, bytes, size_t(length));
    return n == length;
}
