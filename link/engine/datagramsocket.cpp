#include "datagramsocket.h"

#include "engineclock.h"

#include <cstring>

#include <arpa/inet.h>
#include <unistd.h>

namespace DatagramSocket {

int open(bool loopback)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = loopback ? htonl(INADDR_LOOPBACK) : htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        ::close(fd);
        return -1;
    }
    // The kernel's receive time with each datagram: round trips are measured from it.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    return fd;
}

void enlargeReceiveBuffer(int fd, int bytes)
{
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

} // namespace DatagramSocket

DatagramBatch::DatagramBatch()
{
    for (int i = 0; i < Size; ++i) {
        vectors[i].iov_base = datagrams[i];
        vectors[i].iov_len = sizeof datagrams[i];
        std::memset(&received[i], 0, sizeof received[i]);
        received[i].msg_hdr.msg_name = &senders[i];
        received[i].msg_hdr.msg_iov = &vectors[i];
        received[i].msg_hdr.msg_iovlen = 1;
        received[i].msg_hdr.msg_control = control[i];
    }
}

int DatagramBatch::receive(int fd)
{
    for (int i = 0; i < Size; ++i) {
        received[i].msg_hdr.msg_namelen = sizeof senders[i];
        received[i].msg_hdr.msg_controllen = sizeof control[i];
    }
    // One call for all that waits, and no second one to learn that nothing more does. MSG_TRUNC:
    // each datagram's real length, so that an oversize one is refused by size.
    return ::recvmmsg(fd, received, Size, MSG_DONTWAIT | MSG_TRUNC, nullptr);
}

int64_t DatagramBatch::receivedNs(int i)
{
    msghdr &header = received[i].msg_hdr;
    for (cmsghdr *c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS &&
            c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec t{};
            std::memcpy(&t, CMSG_DATA(c), sizeof t);
            return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
        }
    }
    return EngineClock::realtimeNs();
}
