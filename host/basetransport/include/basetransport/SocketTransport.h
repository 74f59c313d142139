#pragma once
// The socket transport: makes client sessions, listens for server sessions, and tells
// registered handlers when sessions end.
//
// Addresses are host and port, as a server announces them. The host names this machine ("",
// "localhost" or a 127.x.y.z address; anything else is refused without connecting) and the port
// names a listener of this user: the Unix domain socket "<port>.sock" in the user's private
// folder (LocalFolder.h). The folder's mode keeps other users from connecting at all, and a
// server also refuses, before any handshake, a connection that the kernel says comes from
// another user; a client refuses a listener of another user the same way.
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <chrono>
#include <cstdint>
#include <string>

#include "basekit/utility/Guid.h"
#include "basetransport/Session.h"

namespace basetransport {

using SessionHandlerID = basekit::utility::Guid;

// Error codes of a refused handshake answer.
constexpr std::int64_t kErrorHandshakeRefused = -32010;  // the token does not match
constexpr std::int64_t kErrorProtocolVersion = -32011;   // the message names both versions

class SocketTransport {
  public:
    // A transport with its own worker threads.
    static boost::shared_ptr<SocketTransport> Create();
    virtual ~SocketTransport() = default;

    // Records the secret token of the server listening at host:port; ClientStart presents it.
    virtual void SetServerToken(std::string const& host, std::uint16_t port,
                                std::string const& token) = 0;

    // Connects to host:port and completes the handshake. An empty pointer on any failure
    // (refused, wrong token or version, a listener of another user, time-out of a few seconds).
    // Blocks the caller only.
    virtual SessionPtr ClientStart(std::string const& host, std::uint16_t port) = 0;

    // The handler runs on a transport thread with each session of this transport that ends.
    virtual SessionHandlerID AddSessionHandler(
        boost::function<TransportError(SessionPtr)> handler) = 0;
    virtual void RemoveSessionHandler(SessionHandlerID const& id) = 0;

    // Server side: listens as `port` (0 = any free port) in the user's private folder, accepting
    // only connections of this user whose handshake carries `token` and kProtocolVersion.
    // onSession runs on a transport thread for each accepted session, before any of its
    // messages is delivered. Returns the port, or 0 on failure. The first call raises the
    // process's limit of open descriptors to its hard limit, so that a server can hold many
    // sessions.
    virtual std::uint16_t Listen(std::uint16_t port, std::string const& token,
                                 boost::function<void(SessionPtr)> onSession) = 0;
    // Stops listening and closes every session of this transport.
    virtual void Shutdown() = 0;

    // Connections that have not finished their handshake: at most this many per transport
    // (accepting pauses at the cap) and per client process (more are closed at once).
    static constexpr int kMaxPendingHandshakes = 128;
    static constexpr int kMaxPendingHandshakesPerProcess = 16;

    // How long a server waits for the handshake of a new connection, and how long ClientStart
    // waits for its connection and the handshake answer (default kDefaultHandshakeTimeout).
    static constexpr std::chrono::milliseconds kDefaultHandshakeTimeout{5000};
    virtual void SetHandshakeTimeout(std::chrono::milliseconds timeout) { (void)timeout; }

    // A session hands its messages to their handlers one after another. When a handler has not
    // returned after this time it is taken to be blocked, and the next message starts beside it
    // (default kDefaultDeliveryGrace). Applies to sessions made afterwards.
    static constexpr std::chrono::microseconds kDefaultDeliveryGrace{2000};
    virtual void SetDeliveryGrace(std::chrono::microseconds grace) { (void)grace; }
};

}  // namespace basetransport
