#pragma once
// What a socket transport shares with its sessions, listeners and pending handshakes. It
// outlives the SocketTransport object until the last of its sessions has ended.
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/weak_ptr.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "SocketSession.h"
#include "WorkerCore.h"
#include "basetransport/SocketTransport.h"

namespace basetransport {
namespace detail {

class Listener;
class ServerHandshake;

class TransportState : public SessionOwner, public boost::enable_shared_from_this<TransportState> {
  public:
    explicit TransportState(boost::shared_ptr<WorkerCore> core);

    WorkerCore& Core() { return *mCore; }
    boost::shared_ptr<WorkerCore> const& CorePtr() const { return mCore; }

    // Makes and registers a session for a connected socket in blocking mode; empty (socket
    // closed) once shut down.
    boost::shared_ptr<SocketSession> AddSession(boost::asio::ip::tcp::socket socket,
                                                std::int64_t peerProcessID);
    void OnSessionEnded(SessionPtr const& session) override;

    SessionHandlerID AddSessionHandler(boost::function<TransportError(SessionPtr)> handler);
    void RemoveSessionHandler(SessionHandlerID const& id);

    void SetToken(std::string const& key, std::string const& token);
    std::string GetToken(std::string const& key) const;

    std::chrono::milliseconds GetHandshakeTimeout() const;
    void SetDeliveryGrace(std::chrono::microseconds grace);
    void SetHandshakeTimeout(std::chrono::milliseconds timeout);

    bool AddListener(boost::shared_ptr<Listener> const& listener);
    bool AddHandshake(boost::shared_ptr<ServerHandshake> const& handshake);

    // Closes listeners, pending handshakes and sessions. With `final` the state accepts nothing
    // more.
    void Shutdown(bool final);
    // Waits up to `timeout` until every session has run its end handlers.
    void WaitForSessionsToEnd(std::chrono::milliseconds timeout);

  private:
    boost::shared_ptr<WorkerCore> const mCore;
    mutable std::mutex mMutex;
    std::condition_variable mSessionGone;
    bool mFinal = false;
    std::map<std::int64_t, boost::shared_ptr<SocketSession>> mSessions;
    std::map<SessionHandlerID, boost::function<TransportError(SessionPtr)>> mHandlers;
    std::map<std::string, std::string> mTokens;
    std::vector<boost::shared_ptr<Listener>> mListeners;
    std::vector<boost::weak_ptr<ServerHandshake>> mHandshakes;
    std::chrono::milliseconds mHandshakeTimeout = SocketTransport::kDefaultHandshakeTimeout;
    std::chrono::microseconds mDeliveryGrace = SocketTransport::kDefaultDeliveryGrace;
};

// The loopback address that `host` names ("localhost", "" or a 127.x.y.z address); none for
// anything else, since sessions never leave this machine.
std::optional<boost::asio::ip::address_v4> LoopbackAddress(std::string const& host);
// The key under which the token of host:port is kept.
std::string TokenKey(std::string const& host, std::uint16_t port);

}  // namespace detail
}  // namespace basetransport
