// The listening socket: accepts connections, holds each address and the server to their caps,
// and backs off instead of spinning when the process runs out of descriptors.
#ifndef LISTENER_H
#define LISTENER_H

#include "connectioncaps.h"
#include "doorservices.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <QString>

#include <chrono>

class Listener
{
public:
    // tls null: plain HTTP. All must outlive the listener, and caps every connection too: the
    // connections' tickets give their places back to it as they go, which may be after the
    // listener has gone, when the context is torn down.
    Listener(boost::asio::io_context &context, boost::asio::ssl::context *tls,
             DoorServices *services, ConnectionCaps *caps);

    // Binds and listens; false with error when it cannot.
    bool open(const QString &address, int port, QString *error);
    quint16 port() const { return boundPort; }
    // On the network thread.
    void start() { acceptNext(); }
    void stop();


private:
    void acceptNext();
    void onAccept(boost::system::error_code ec, boost::asio::ip::tcp::socket socket);

    boost::asio::ip::tcp::acceptor acceptor;
    boost::asio::steady_timer pause;
    std::chrono::milliseconds nextPause;
    boost::asio::ssl::context *tls;
    DoorServices *services;
    ConnectionCaps *caps;
    quint16 boundPort = 0;
};

#endif // LISTENER_H
