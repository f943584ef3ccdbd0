// How many connections each client address holds, and all together. A connection is counted by
// a ticket that it owns for its whole life, through every stage (HTTP, then perhaps WebSocket),
// so no path can end a connection without giving its place back.
#ifndef CONNECTIONCAPS_H
#define CONNECTIONCAPS_H

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

    private:
        friend class ConnectionCaps;
        void release();
        ConnectionCaps *caps = nullptr;
        std::string address;
    };

    ConnectionCaps(int perAddress, int total) : perAddress(perAddress), totalCap(total) {}

    // A ticket for one more connection from address, or an empty one when the address or the
    // server is at its cap.
    Ticket admit(const std::string &address);
    int total() const { return count; }
    int from(const std::string &address) const;

private:
    int perAddress;
    int totalCap;
    int count = 0;
    std::unordered_map<std::string, int> byAddress;
};

#endif // CONNECTIONCAPS_H
