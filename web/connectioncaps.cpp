#include "connectioncaps.h"

ConnectionCaps::Ticket &ConnectionCaps::Ticket::operator=(Ticket &&other) noexcept
{
    if (this != &other) {
        release();
        caps = other.caps;
        address = std::move(other.address);
        other.caps = nullptr;
    }
    return *this;
}

void ConnectionCaps::Ticket::release()
{
    if (!caps)
        return;
    auto it = caps->byAddress.find(address);
    if (it != caps->byAddress.end() && --it->second <= 0)
        caps->byAddress.erase(it);
    --caps->count;
    caps = nullptr;
}

ConnectionCaps::Ticket ConnectionCaps::admit(const std::string &address)
{
    Ticket ticket;
    if (count >= totalCap)
        return ticket;
    int &held = byAddress[address];
    if (held >= perAddress)
        return ticket;
    ++held;
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
