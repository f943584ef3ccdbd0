// How many connections each client address holds, and all together. A connection is counted by
// a ticket that it owns for its whole life, through every stage (HTTP, then perhaps WebSocket),
// so no path can end a connection without giving its place back.
//
// When the server is full, a new connection is not simply turned away: the oldest connection
// that is still waiting for its request to arrive whole is closed to make room. A stranger who
// opens connections and trickles bytes into them can then hold the door only as long as the
// newest of them, while a client that sends a whole request at once always gets in.
#ifndef CONNECTIONCAPS_H
#define CONNECTIONCAPS_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>

class ConnectionCaps
{
public:
    class Ticket
    {
    public:
        Ticket() = default;
        Ticket(Ticket &&other) noexcept { *this = std::move(other); }
        Ticket &operator=(Ticket &&other) noexcept;
        Ticket(const Ticket &) = delete;
        Ticket &operator=(const Ticket &) = delete;
        ~Ticket() { release(); }
        explicit operator bool() const { return caps != nullptr; }

        // The connection waits for a request (its first, or a keep-alive's next): when the
        // server is full it may be closed, by close, to make room. close is called on the
        // thread that admits connections, after the ticket has given its place back.
        void awaiting(std::function<void()> close);
        // The request is whole, or the connection has become a page: no longer closed for room.
        void busy();

    private:
        friend class ConnectionCaps;
        void release();
        ConnectionCaps *caps = nullptr;
        std::string address;
        // Its place among the connections that may be closed for room; 0 when it is not one.
        uint64_t waitOrder = 0;
    };

    ConnectionCaps(int perAddress, int total) : perAddress(perAddress), totalCap(total) {}

    // A ticket for one more connection from address, or an empty one when the address is at
    // its cap, or the server at its cap with no connection waiting for a request to close.
    Ticket admit(const std::string &address);
    int total() const { return count; }
    int cap() const { return totalCap; }
    void setCap(int total) { totalCap = total; }
    int from(const std::string &address) const;
    // Connections closed to make room, since the start.
    uint64_t closedForRoom() const { return closed; }

private:
    struct Waiting
    {
        Ticket *ticket;
        std::function<void()> close;
    };

    int perAddress;
    int totalCap;
    int count = 0;
    uint64_t nextWaitOrder = 1;
    uint64_t closed = 0;
    bool saidFull = false;
    std::unordered_map<std::string, int> byAddress;
    // Oldest wait first.
    std::map<uint64_t, Waiting> waiting;
};

#endif // CONNECTIONCAPS_H
