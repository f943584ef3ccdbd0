// What a client may send the server, and for how long it may take. Every number bounds what a
// stranger can cost the server before logging in: memory, descriptors or time.
#ifndef DOORLIMITS_H
#define DOORLIMITS_H

#include <chrono>
#include <cstddef>

namespace DoorLimits {

using std::chrono::seconds;

// A browser's request line and headers, cookie included, stay under 2 KiB; 8 KiB leaves room
// for long host names and proxies' additions. Larger is refused (431) while it arrives.
constexpr std::size_t MaxHeaderBytes = 8 * 1024;
// The login form is the only body the server takes: a name and a password in JSON.
constexpr std::size_t MaxBodyBytes = 4 * 1024;

// A request must arrive whole this soon after its first byte (and a new connection must send
// its first byte this soon): a slow sender cannot hold a connection open with a trickle.
constexpr seconds RequestTime{10};
// Between requests a browser keeps its connection for the next one; past this it is closed.
constexpr seconds KeepAliveIdle{60};
// The TLS handshake and the WebSocket handshake each get this long.
constexpr seconds HandshakeTime{10};
// A reply that the client does not read within this time closes its connection.
constexpr seconds WriteTime{30};
// After a refusal the server reads and drops what the client still sends, for this long, so
// that the client sees the answer instead of a reset.
constexpr seconds LingerTime{2};
// An open page that answers no ping for this long is gone (a phone in a tunnel, a laptop lid
// shut); the server pings after half of it.
constexpr seconds PageIdle{60};
// A page whose oldest unsent message has waited this long has stopped reading: it is closed
// rather than buffered for.
constexpr seconds PageStalled{30};

// One address may hold this many connections: a browser opens about six, a busy NAT a few
// dozen. More are closed at once, so one address cannot use up the server's descriptors.
constexpr int MaxConnectionsPerAddress = 64;
// All connections together, well under the descriptors the service unit allows (LimitNOFILE),
// leaving room for the links, the audit log and the listening socket. Where the server gets
// fewer descriptors (a container, a unit without LimitNOFILE), the cap comes down to what it has
// less those open at the start and a reserve for what opens later (a replay's database handle,
// a reload's files and links): a sixteenth of the limit, and at least this many.
constexpr int MaxConnections = 8192;
constexpr int DescriptorReserve = 64;
// When accept() fails for want of descriptors, it is tried again after this pause, doubling up
// to the longest, instead of spinning on an error that will not go away by itself.
constexpr std::chrono::milliseconds FirstAcceptPause{50};
constexpr std::chrono::milliseconds LongestAcceptPause{1000};

// A page's own messages are well under 200 bytes.
constexpr std::size_t MaxMessageBytes = 4 * 1024;
// More messages than this in one second close the socket.
constexpr int MaxMessagesPerSecond = 50;
// Messages that cannot be folded into a newer one (errors, refusals, the greeting) waiting for a
// page that does not read; past this the page is closed.
constexpr int MaxQueuedUnfoldable = 256;

} // namespace DoorLimits

#endif // DOORLIMITS_H
