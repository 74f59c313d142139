#pragma once
// What a socket transport shares with its sessions, listeners and pending handshakes. It
// outlives the SocketTransport object until the last of its sessions has ended.
#include <sys/types.h>

#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/weak_ptr.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
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

    // Makes and registers a session for a connected socket (which it owns from here on); empty
    // (socket closed) once shut down.
    // `callersLead`: a session this process connected, whose callers may read it themselves;
    // false for one a listener accepted.
    boost::shared_ptr<SocketSession> AddSession(int fd, std::int64_t peerProcessID,
                                                bool callersLead);
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

    // Handshake slots: false when the transport is at its cap of pending handshakes.
    bool HasHandshakeRoom() const;
    // Takes a slot for a connection of process `pid`; false when that process already holds
    // its share.
    bool ReserveHandshake(pid_t pid);
    // Gives a slot back; listeners paused at the cap accept again.
    void ReleaseHandshake(pid_t pid);

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
    std::map<pid_t, int> mPendingByProcess;
    int mPending = 0;
    std::chrono::milliseconds mHandshakeTimeout = SocketTransport::kDefaultHandshakeTimeout;
    std::chrono::microseconds mDeliveryGrace = SocketTransport::kDefaultDeliveryGrace;
};

// True when `host` names this machine ("", "localhost" or a 127.x.y.z address): sessions
// never leave it.
bool IsLocalHost(std::string const& host);
// The key under which the token of host:port is kept (every spelling of this machine alike).
std::string TokenKey(std::string const& host, std::uint16_t port);

}  // namespace detail
}  // namespace basetransport
