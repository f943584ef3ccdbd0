#include "pagesocket.h"

#include "doorlimits.h"
#include "pagechannel.h"
#include "pagemessages.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <cstdio>
#include <list>
#include <memory>
#include <unordered_map>

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;

namespace {

template <class Stream>
class PageSocket : public PageSink, public std::enable_shared_from_this<PageSocket<Stream>>
{
public:
    PageSocket(Stream &&stream, const PageIdentity &who, ConnectionCaps::Ticket ticket,
               DoorServices *services)
        : socket(std::move(stream)), stallTimer(socket.get_executor()), who(who),
          ticket(std::move(ticket)), services(services)
    {
    }

    ~PageSocket() override { leaveChannel(); }

    void start(HttpRequest upgrade)
    {
        // The socket's own timers take over from the stream's: the handshake, and a ping after
        // half of the idle time with the close when it goes unanswered.
        beast::get_lowest_layer(socket).expires_never();
        websocket::stream_base::timeout timeouts;
        timeouts.handshake_timeout = DoorLimits::HandshakeTime;
        timeouts.idle_timeout = DoorLimits::PageIdle;
        timeouts.keep_alive_pings = true;
        socket.set_option(timeouts);
        socket.set_option(websocket::stream_base::decorator([](websocket::response_type &r) {
            r.set(beast::http::field::server, "frontpanel-web");
        }));
        socket.read_message_max(DoorLimits::MaxMessageBytes);
        socket.async_accept(upgrade, [self = this->shared_from_this()](beast::error_code ec) {
            self->accepted(ec);
        });
    }

    void send(const QByteArray &text, const QByteArray &foldKey) override
    {
        if (closing)
            return;
        if (!foldKey.isEmpty()) {
            auto it = folded.find(foldKey.toStdString());
            if (it != folded.end()) {
                it->second->text = text;
                return;
            }
        } else if (++unfoldable > DoorLimits::MaxQueuedUnfoldable) {
            close(QStringLiteral("too far behind"));
            return;
        }
        queue.push_back(Outgoing{text, foldKey.toStdString()});
        if (!foldKey.isEmpty())
            folded.emplace(queue.back().foldKey, std::prev(queue.end()));
        if (!writing && open)
            writeNext();
    }

    bool waiting(const QByteArray &foldKey) const override
    {
        return folded.count(foldKey.toStdString()) != 0;
    }

    void close(const QString &reason) override
    {
        if (closing)
            return;
        closing = true;
        closeReason = reason.toStdString();
        // Later, not now: the channel may be walking its pages when it asks for the close.
        net::post(socket.get_executor(), [self = this->shared_from_this()] {
            if (!self->open)
                self->shutDown();
            else if (!self->writing)
                self->sendClose();
            // Otherwise the close follows the write under way; a write that never ends is cut
            // off by the stall timer.
        });
    }

private:
    struct Outgoing
    {
        QByteArray text;
        std::string foldKey;
    };

    void accepted(beast::error_code ec)
    {
        if (ec || closing)
            return; // the socket goes with the last handler holding it
        open = true;
        windowStart = services->now();
        pageId = services->channel->join(this, who);
        joined = true;
        read();
    }

    void read()
    {
        socket.async_read(incoming, [self = this->shared_from_this()](beast::error_code ec,
                                                                      std::size_t) {
            self->onRead(ec);
        });
    }

    void onRead(beast::error_code ec)
    {
        if (ec) {
            // Too large, closed, timed out or broken: the page is gone either way.
            leaveChannel();
            return;
        }
        const qint64 now = services->now();
        if (now - windowStart >= 1000) {
            windowStart = now;
            messagesInWindow = 0;
        }
        if (++messagesInWindow > DoorLimits::MaxMessagesPerSecond) {
            close(QStringLiteral("too many messages"));
            return;
        }
        const auto data = incoming.cdata();
        const QByteArray text(static_cast<const char *>(data.data()), int(data.size()));
        incoming.consume(incoming.size());
        if (!socket.got_text())
            send(PageMessages::error(QStringLiteral("text messages only")), QByteArray());
        else if (joined)
            services->channel->receive(pageId, text, now);
        if (!closing)
            read();
    }

    void writeNext()
    {
        if (queue.empty()) {
            if (closing)
                sendClose();
            return;
        }
        writing = true;
        Outgoing &front = queue.front();
        if (!front.foldKey.empty())
            folded.erase(front.foldKey);
        else
            --unfoldable;
        inFlight = front.text;
        queue.pop_front();
        stallTimer.expires_after(DoorLimits::PageStalled);
        stallTimer.async_wait([weak = this->weak_from_this()](beast::error_code ec) {
            if (auto self = weak.lock(); self && !ec)
                self->shutDown();
        });
        socket.text(true);
        socket.async_write(net::buffer(inFlight.constData(), size_t(inFlight.size())),
                           [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                               self->onWritten(ec);
                           });
    }

    void onWritten(beast::error_code ec)
    {
        writing = false;
        stallTimer.cancel();
        inFlight.clear();
        if (ec) {
            leaveChannel();
            shutDown();
            return;
        }
        if (closing && !closeSent) {
            sendClose();
            return;
        }
        writeNext();
    }

    void sendClose()
    {
        if (closeSent)
            return;
        closeSent = true;
        queue.clear();
        folded.clear();
        leaveChannel();
        websocket::close_reason reason(websocket::close_code::policy_error);
        reason.reason = closeReason.substr(0, 120);
        socket.async_close(reason, [self = this->shared_from_this()](beast::error_code) {});
    }

    // Ends the connection without ceremony: for a page that does not read, or a broken one.
    void shutDown()
    {
        leaveChannel();
        beast::error_code ignored;
        beast::get_lowest_layer(socket).socket().shutdown(net::socket_base::shutdown_both,
                                                           ignored);
        beast::get_lowest_layer(socket).socket().close(ignored);
    }

    void leaveChannel()
    {
        if (!joined)
            return;
        joined = false;
        services->channel->leave(pageId);
    }

    websocket::stream<Stream> socket;
    net::steady_timer stallTimer;
    PageIdentity who;
    ConnectionCaps::Ticket ticket;
    DoorServices *services;
    beast::flat_buffer incoming;
    std::list<Outgoing> queue;
    std::unordered_map<std::string, typename std::list<Outgoing>::iterator> folded;
    int unfoldable = 0;
    QByteArray inFlight;
    std::string closeReason;
    quint64 pageId = 0;
    qint64 windowStart = 0;
    int messagesInWindow = 0;
    bool open = false;
    bool joined = false;
    bool writing = false;
    bool closing = false;
    bool closeSent = false;
};

template <class Stream>
void openOn(Stream &&stream, HttpRequest upgrade, const PageIdentity &who,
            ConnectionCaps::Ticket ticket, DoorServices *services)
{
    auto page = std::make_shared<PageSocket<Stream>>(std::move(stream), who, std::move(ticket),
                                                     services);
    page->start(std::move(upgrade));
}

} // namespace

void openPageSocket(PlainStream stream, HttpRequest upgrade, const PageIdentity &who,
                    ConnectionCaps::Ticket ticket, DoorServices *services)
{
    openOn(std::move(stream), std::move(upgrade), who, std::move(ticket), services);
}

void openPageSocket(TlsStream stream, HttpRequest upgrade, const PageIdentity &who,
                    ConnectionCaps::Ticket ticket, DoorServices *services)
{
    openOn(std::move(stream), std::move(upgrade), who, std::move(ticket), services);
}
