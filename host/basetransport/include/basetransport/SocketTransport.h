#pragma once
// The socket transport: makes client sessions, listens for server sessions, and tells
// registered handlers when sessions end.
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>

#include "basekit/utility/Guid.h"
#include "basetransport/Session.h"

namespace basetransport {

using SessionHandlerID = basekit::utility::Guid;

class SocketTransport {
public:
    // A transport with its own worker threads.
    static boost::shared_ptr<SocketTransport> Create();
    virtual ~SocketTransport() = default;

    // Records the secret token of the server listening at host:port; ClientStart presents it.
    virtual void SetServerToken(std::string const& host, std::uint16_t port,
                                std::string const& token) = 0;

    // Connects to host:port and completes the handshake. An empty pointer on any failure
    // (refused, wrong token or version, time-out of a few seconds). Blocks the caller only.
    virtual SessionPtr ClientStart(std::string const& host, std::uint16_t port) = 0;

    // The handler runs on a transport thread with each session of this transport that ends.
    virtual SessionHandlerID AddSessionHandler(
        boost::function<TransportError(SessionPtr)> handler) = 0;
    virtual void RemoveSessionHandler(SessionHandlerID const& id) = 0;

    // Server side: listens on 127.0.0.1 (port 0 = any free port), accepting only sessions whose
    // handshake carries `token` and kProtocolVersion. onSession runs on a transport thread for
    // each accepted session, before any of its messages is delivered. Returns the port, or 0 on
    // failure.
    virtual std::uint16_t Listen(std::uint16_t port, std::string const& token,
                                 boost::function<void(SessionPtr)> onSession) = 0;
    // Stops listening and closes every session of this transport.
    virtual void Shutdown() = 0;
};

}  // namespace basetransport
