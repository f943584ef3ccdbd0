// What a connection needs from the server while it lives: all of it on the network thread, but
// for the password work, which has a thread of its own so that a login's key stretching never
// holds up other pages.
#ifndef DOORSERVICES_H
#define DOORSERVICES_H

#include "connectioncaps.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include <QString>

#include <functional>

class Door;
class PageChannel;

struct DoorServices
{
    Door *door = nullptr;
    PageChannel *channel = nullptr;
    boost::asio::thread_pool *passwordWork = nullptr;
    // Replays and exports are read from the recordings here.
    boost::asio::thread_pool *recordingWork = nullptr;
    // The server's clock in milliseconds (tests move it forward).
    std::function<qint64()> now;
};

using PlainStream = boost::beast::tcp_stream;
using TlsStream = boost::beast::ssl_stream<boost::beast::tcp_stream>;

// The client's address as text; an IPv4 client on an IPv6 socket as its IPv4 address.
QString clientAddress(const boost::asio::ip::tcp::socket &socket);

// Serves one accepted connection: HTTP requests, until it closes or becomes a page's WebSocket.
// tls null: plain HTTP.
void serveConnection(boost::asio::ip::tcp::socket socket, const QString &address,
                     ConnectionCaps::Ticket ticket, boost::asio::ssl::context *tls,
                     DoorServices *services);

#endif // DOORSERVICES_H
