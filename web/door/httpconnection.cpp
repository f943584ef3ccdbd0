// One client connection's HTTP: every request bounded in size and time as it arrives, framing
// that could be read two ways refused, and the request handed to the door whole.
#include "door.h"
#include "doorlimits.h"
#include "doorservices.h"
#include "pagesocket.h"

#include <boost/asio/post.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <memory>
#include <optional>

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;

namespace {

// Content-Length given more than once or as a list, or a transfer coding other than chunked:
// a proxy in front may read such a request's end elsewhere than we do.
bool ambiguousFraming(const HttpRequest &request)
{
    const auto lengths = request.equal_range(http::field::content_length);
    const auto lengthCount = std::distance(lengths.first, lengths.second);
    if (lengthCount > 1 ||
        (lengthCount == 1 && lengths.first->value().find(',') != beast::string_view::npos))
        return true;
    const auto codings = request.equal_range(http::field::transfer_encoding);
    const auto codingCount = std::distance(codings.first, codings.second);
    if (codingCount > 1 || (codingCount == 1 && lengthCount == 1))
        return true;
    return codingCount == 1 && !beast::iequals(codings.first->value(), "chunked");
}

template <class Stream>
class HttpConnection : public std::enable_shared_from_this<HttpConnection<Stream>>
{
public:
    HttpConnection(Stream &&stream, ConnectionCaps::Ticket ticket, DoorServices *services,
                   QString address)
        : stream(std::move(stream)), ticket(std::move(ticket)), services(services),
          address(std::move(address))
    {
    }

    void start()
    {
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            mayBeClosedForRoom();
            lowest().expires_after(DoorLimits::HandshakeTime);
            stream.async_handshake(net::ssl::stream_base::server,
                                   [self = this->shared_from_this()](beast::error_code ec) {
                                       if (!ec)
                                           self->awaitRequest();
                                   });
        } else {
            awaitRequest();
        }
    }

private:
    beast::tcp_stream &lowest() { return beast::get_lowest_layer(stream); }

    // Until a request has arrived whole, the connection gives way to a new one when the server
    // is full.
    void mayBeClosedForRoom()
    {
        ticket.awaiting([weak = this->weak_from_this()] {
            if (auto self = weak.lock()) {
                beast::error_code ignored;
                self->lowest().socket().close(ignored);
            }
        });
    }

    // The keep-alive wait for a request's first byte, then the whole request on its own clock.
    void awaitRequest()
    {
        mayBeClosedForRoom();
        parser.emplace();
        parser->header_limit(DoorLimits::MaxHeaderBytes);
        parser->body_limit(DoorLimits::MaxBodyBytes);
        if (buffer.size() > 0) {
            readHeader();
            return;
        }
        lowest().expires_after(served == 0 ? DoorLimits::RequestTime : DoorLimits::KeepAliveIdle);
        stream.async_read_some(buffer.prepare(512), [self = this->shared_from_this()](
                                                        beast::error_code ec, std::size_t n) {
            if (ec)
                return self->shutDown();
            self->buffer.commit(n);
            self->readHeader();
        });
    }

    void readHeader()
    {
        lowest().expires_after(DoorLimits::RequestTime);
        http::async_read_header(stream, buffer, *parser,
                                [self = this->shared_from_this()](beast::error_code ec,
                                                                  std::size_t) {
                                    self->onHeader(ec);
                                });
    }

    // True when ec ended the request; it has been answered or the connection dropped.
    bool failed(beast::error_code ec)
    {
        if (!ec)
            return false;
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow)
            refuse(431, "request header too large\n");
        else if (ec == http::error::body_limit)
            refuse(413, "request body too large\n");
        else if (ec.category() == make_error_code(http::error::bad_method).category() &&
                 ec != http::error::end_of_stream && ec != http::error::partial_message)
            refuse(400, "malformed request\n");
        else
            shutDown(); // closed, broken or out of time
        return true;
    }

    void onHeader(beast::error_code ec)
    {
        if (failed(ec))
            return;
        ticket.busy();
        const HttpRequest &request = parser->get();
        if (ambiguousFraming(request))
            return refuse(400, "ambiguous message framing\n");
        if (beast::websocket::is_upgrade(request))
            return upgrade();
        if (Door::isLogin(request)) {
            if (parser->is_done())
                return login();
            // The body is still on its way.
            mayBeClosedForRoom();
            http::async_read(stream, buffer, *parser,
                             [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                                 if (self->failed(ec))
                                     return;
                                 self->ticket.busy();
                                 self->login();
                             });
            return;
        }
        // Only the login takes a body.
        if (!parser->is_done())
            return refuse(413, "this request takes no body\n");
        if (Door::isReplay(request))
            return replay();
        respond(services->door->answer(request, address, services->now()));
    }

    void replay()
    {
        ReplayRequest asked;
        if (auto now = services->door->startReplay(parser->get(), services->now(), &asked))
            return respond(std::move(*now));
        net::post(*services->recordingWork, [self = this->shared_from_this(), asked]() mutable {
            HttpResponse answer = self->services->door->replayAnswer(asked);
            // As with a login: the connection goes back to the network thread before this
            // thread lets go of it.
            auto executor = self->stream.get_executor();
            net::post(executor, [self = std::move(self), answer = std::move(answer)]() mutable {
                self->respond(std::move(answer));
            });
        });
    }

    void login()
    {
        const HttpRequest &request = parser->get();
        QString name, password;
        if (auto now = services->door->startLogin(request, address, services->now(), &name,
                                                  &password))
            return respond(std::move(*now));
        // The key stretching (or the directory's answer) comes on the password thread; the
        // answer comes back here.
        net::post(*services->passwordWork, [self = this->shared_from_this(), name, password,
                                            users = services->door->authenticator()]() mutable {
            std::optional<User> user = users->authenticate(name, password, self->address);
            // The password thread lets go of the connection as it hands it back: were it to
            // drop the last reference, the connection would end (and give back its place at
            // the door) off the network thread.
            auto executor = self->stream.get_executor();
            net::post(executor, [self = std::move(self), name, user] {
                self->respond(self->services->door->finishLogin(self->parser->get(),
                                                                self->address, name, user,
                                                                self->services->now()));
            });
        });
    }

    void upgrade()
    {
        const HttpRequest &request = parser->get();
        PageIdentity who;
        QString refusal;
        if (!parser->is_done())
            return refuse(400, "an upgrade takes no body\n");
        if (!services->door->admit(request, address, services->now(), &who, &refusal)) {
            ++services->door->counters.refusedUpgrades;
            return refuse(403, refusal.toUtf8() + '\n');
        }
        openPageSocket(std::move(stream), parser->release(), who, std::move(ticket), services);
    }

    void refuse(int status, const QByteArray &text)
    {
        HttpRequest bare;
        bare.version(11);
        // Only whether it was a HEAD matters to the answer; an unknown method must not be copied.
        const bool head = parser && parser->get().method() == http::verb::head;
        bare.method(head ? http::verb::head : http::verb::get);
        HttpResponse response = services->door->reply(bare, status, "text/plain", text);
        respond(std::move(response), true);
    }

    void respond(HttpResponse response, bool thenClose = false)
    {
        const bool keepAlive = !thenClose && parser && parser->get().keep_alive();
        const unsigned status = response.result_int();
        if (status < 600)
            ++services->door->counters.responses[status];
        response.keep_alive(keepAlive);
        reply = std::make_shared<HttpResponse>(std::move(response));
        lowest().expires_after(DoorLimits::WriteTime);
        http::async_write(stream, *reply,
                          [self = this->shared_from_this(), keepAlive](beast::error_code ec,
                                                                       std::size_t) {
                              self->reply.reset();
                              if (!ec && !keepAlive)
                                  return self->linger();
                              if (ec)
                                  return self->shutDown();
                              ++self->served;
                              self->awaitRequest();
                          });
    }

    // After the last answer: the client may still be sending what was refused, and closing on
    // unread bytes would reset the connection and lose the answer. So the sending side is
    // closed and what still comes is read and dropped, for a short while only.
    void linger()
    {
        // Answered: nothing is lost by closing it for a new connection's sake.
        mayBeClosedForRoom();
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            shutDown();
        } else {
            beast::error_code ignored;
            lowest().socket().shutdown(net::socket_base::shutdown_send, ignored);
            lowest().expires_after(DoorLimits::LingerTime);
            drain();
        }
    }

    void drain()
    {
        lowest().async_read_some(net::buffer(scratch),
                                 [self = this->shared_from_this()](beast::error_code ec,
                                                                   std::size_t) {
                                     if (ec)
                                         return self->shutDown();
                                     self->drain();
                                 });
    }

    void shutDown()
    {
        beast::error_code ignored;
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            lowest().expires_after(DoorLimits::HandshakeTime);
            stream.async_shutdown([self = this->shared_from_this()](beast::error_code) {
                beast::error_code ignored;
                self->lowest().socket().close(ignored);
            });
        } else {
            lowest().socket().shutdown(net::socket_base::shutdown_send, ignored);
            lowest().socket().close(ignored);
        }
    }

    Stream stream;
    ConnectionCaps::Ticket ticket;
    DoorServices *services;
    QString address;
    beast::flat_buffer buffer{DoorLimits::MaxHeaderBytes + DoorLimits::MaxBodyBytes + 1024};
    std::optional<http::request_parser<http::string_body>> parser;
    std::shared_ptr<HttpResponse> reply;
    char scratch[4096];
    int served = 0;
};

} // namespace

QString clientAddress(const net::ip::tcp::socket &socket)
{
    beast::error_code ec;
    auto address = socket.remote_endpoint(ec).address();
    if (ec)
        return QString();
    // An IPv4 client on an IPv6 socket counts as its IPv4 address.
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6());
    return QString::fromStdString(address.to_string());
}

void serveConnection(net::ip::tcp::socket socket, const QString &address,
                     ConnectionCaps::Ticket ticket, net::ssl::context *tls,
                     DoorServices *services)
{
    if (tls) {
        auto connection = std::make_shared<HttpConnection<TlsStream>>(
            TlsStream(beast::tcp_stream(std::move(socket)), *tls), std::move(ticket), services,
            address);
        connection->start();
    } else {
        auto connection = std::make_shared<HttpConnection<PlainStream>>(
            PlainStream(std::move(socket)), std::move(ticket), services, address);
        connection->start();
    }
}
