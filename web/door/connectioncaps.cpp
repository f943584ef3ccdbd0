#include "connectioncaps.h"

#include "serverlog.h"

ConnectionCaps::Ticket &ConnectionCaps::Ticket::operator=(Ticket &&other) noexcept
{
    if (this != &other) {
        release();
        caps = other.caps;
        address = std::move(other.address);
        waitOrder = other.waitOrder;
        other.caps = nullptr;
        other.waitOrder = 0;
        if (caps && waitOrder != 0) {
            const auto it = caps->waiting.find(waitOrder);
            if (it != caps->waiting.end())
                it->second.ticket = this;
        }
    }
    return *this;
}

void ConnectionCaps::Ticket::awaiting(std::function<void()> close)
{
    if (!caps)
        return;
    busy();
    waitOrder = caps->nextWaitOrder++;
    caps->waiting.emplace(waitOrder, Waiting{this, std::move(close)});
}

void ConnectionCaps::Ticket::busy()
{
    if (caps && waitOrder != 0)
        caps->waiting.erase(waitOrder);
    waitOrder = 0;
}

void ConnectionCaps::Ticket::release()
{
    if (!caps)
        return;
    busy();
    auto it = caps->byAddress.find(address);
    if (it != caps->byAddress.end() && --it->second <= 0)
        caps->byAddress.erase(it);
    --caps->count;
    // Past the worst of it: a later crowd is said again.
    if (caps->count < caps->totalCap - caps->totalCap / 10)
        caps->saidFull = false;
    caps = nullptr;
}

ConnectionCaps::Ticket ConnectionCaps::admit(const std::string &address)
{
    Ticket ticket;
    const auto held = byAddress.find(address);
    if (held != byAddress.end() && held->second >= perAddress)
        return ticket;
    if (count >= totalCap) {
        if (waiting.empty())
            return ticket;
        if (!saidFull) {
            saidFull = true;
            serverLog(LogLevel::Warning,
                      "%d connections, as many as the server takes: the oldest of those whose "
                      "request has not arrived whole are closed to make room",
                      count);
        }
        auto oldest = waiting.begin();
        std::function<void()> close = std::move(oldest->second.close);
        oldest->second.ticket->release();
        ++closed;
        if (close)
            close();
    }
    ++byAddress[address];
    ++count;
    ticket.caps = this;
    ticket.address = address;
    return ticket;
}

int ConnectionCaps::from(const std::string &address) const
{
    const auto it = byAddress.find(address);
    return it == byAddress.end() ? 0 : it->second;
}
