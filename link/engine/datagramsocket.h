// The engine's UDP sockets: opened non-blocking with the kernel's receive time on every
// datagram, and read a batch at a time with one recvmmsg into room taken once. Qt's datagram
// calls with an address allocate on every call; a poll cycle allocates nothing.
#ifndef DATAGRAMSOCKET_H
#define DATAGRAMSOCKET_H

#include "linkrules.h"

#include <cstdint>

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

namespace DatagramSocket {

// Bound to loopback or to every interface, on a port of the kernel's choosing; -1 on failure.
int open(bool loopback);
// Every controller's replies queue on a shared socket: a burst of hundreds must fit while the
// thread is busy, which the default buffer (about 300 replies) does not. Forced where we may
// (root, CAP_NET_ADMIN), else as far as net.core.rmem_max allows.
void enlargeReceiveBuffer(int fd, int bytes);
// A controller's address and port as one key.
inline uint64_t peerKey(const sockaddr_in &a)
{
    return (uint64_t(a.sin_addr.s_addr) << 16) | a.sin_port;
}
inline bool samePeer(const sockaddr_in &a, const sockaddr_in &b)
{
    return a.sin_family == AF_INET && a.sin_port == b.sin_port &&
           a.sin_addr.s_addr == b.sin_addr.s_addr;
}

} // namespace DatagramSocket

class DatagramBatch
{
public:
    // One socket's datagrams are read at once and used before the next read.
    static constexpr int Size = 32;
    // The room for each datagram; a longer one is read cut short and its real length told, so
    // that the reply rules refuse it by its size.
    static constexpr int DatagramRoom = LinkRules::ReceiveSize;

    DatagramBatch();
    DatagramBatch(const DatagramBatch &) = delete;
    DatagramBatch &operator=(const DatagramBatch &) = delete;

    // Reads what waits on fd, at most Size datagrams: how many, or -1.
    int receive(int fd);
    const uint8_t *data(int i) const { return datagrams[i]; }
    // The datagram's real length, which may exceed DatagramRoom.
    int length(int i) const { return int(received[i].msg_len); }
    const sockaddr_in &sender(int i) const { return senders[i]; }
    // The kernel's receive time on the wall clock, or now when it gave none.
    int64_t receivedNs(int i);

private:
    uint8_t datagrams[Size][DatagramRoom];
    sockaddr_in senders[Size];
    alignas(cmsghdr) char control[Size][CMSG_SPACE(sizeof(timespec))];
    iovec vectors[Size];
    mmsghdr received[Size];
};

#endif // DATAGRAMSOCKET_H
