#include "listener.h"

#include "doorlimits.h"
#include "processfigures.h"
#include "serverlog.h"

#include <algorithm>

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// As many connections as the descriptors allow, so that accept() never fails for want of one
// while the caps still have room: at a full door a new client then gets in by the place of an
// unfinished connection, instead of waiting in the listen queue for a descriptor.
int connectionCapFromDescriptors(const ProcessFigures &process)
{
    const long total = long(std::min<uint64_t>(process.maxDescriptors, 1 << 30));
    if (total <= 0)
        return DoorLimits::MaxConnections;
    const long reserve =
        process.openDescriptors + std::max<long>(DoorLimits::DescriptorReserve, total / 16);
    return int(std::clamp<long>(total - reserve, 1, DoorLimits::MaxConnections));
}

} // namespace

Listener::Listener(net::io_context &context, net::ssl::context *tls, DoorServices *services,
                   ConnectionCaps *caps)
    : acceptor(context), pause(context), nextPause(DoorLimits::FirstAcceptPause), tls(tls),
      services(services), caps(caps)
{
}

bool Listener::open(const QString &address, int port, QString *error)
{
    boost::system::error_code ec;
    const net::ip::address ip = net::ip::make_address(address.toStdString(), ec);
    const tcp::endpoint endpoint(ip, quint16(port));
    if (!ec)
        acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(endpoint, ec);
    if (!ec)
        acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        *error = QStringLiteral("cannot listen on %1 port %2: %3")
                     .arg(address)
                     .arg(port)
                     .arg(QString::fromStdString(ec.message()));
        return false;
    }
    boundPort = acceptor.local_endpoint(ec).port();
    const ProcessFigures process = readProcessFigures();
    caps->setCap(connectionCapFromDescriptors(process));
    if (caps->cap() < DoorLimits::MaxConnections)
        serverLog(LogLevel::Warning,
                  "an open-file limit of %llu leaves room for %d client connections (of %d); "
                  "LimitNOFILE=16384 in the unit gives every one",
                  (unsigned long long)process.maxDescriptors, caps->cap(),
                  DoorLimits::MaxConnections);
    return true;
}

void Listener::stop()
{
    boost::system::error_code ignored;
    pause.cancel();
    acceptor.close(ignored);
}

void Listener::acceptNext()
{
    acceptor.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
        onAccept(ec, std::move(socket));
    });
}

void Listener::onAccept(boost::system::error_code ec, tcp::socket socket)
{
    if (ec == net::error::operation_aborted || !acceptor.is_open())
        return;
    if (ec) {
        // Out of descriptors (or another failure that trying again at once would only
        // repeat): those already connected are served meanwhile.
        if (nextPause == DoorLimits::FirstAcceptPause)
            serverLog(LogLevel::Error, "cannot accept connections: %s", ec.message().c_str());
        pause.expires_after(nextPause);
        nextPause = std::min(nextPause * 2, DoorLimits::LongestAcceptPause);
        pause.async_wait([this](boost::system::error_code waitError) {
            if (!waitError)
                acceptNext();
        });
        return;
    }
    nextPause = DoorLimits::FirstAcceptPause;
    const QString address = clientAddress(socket);
    ConnectionCaps::Ticket ticket = caps->admit(address.toStdString());
    if (ticket) {
        // Pages get many small messages; none should wait for the one before it to be acked.
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        serveConnection(std::move(socket), address, std::move(ticket), tls, services);
    } else {
        boost::system::error_code ignored;
        socket.close(ignored);
    }
    acceptNext();
}
