#pragma once
// Server side: accepts connections on a listener of the user's private folder and runs each
// one's handshake.
//
// A connection is looked at before it costs anything: the kernel says which process and user
// made it (SO_PEERCRED), and a connection of another user is closed at once, unanswered and
// uncounted. Connections of this user that have not finished their handshake are capped in all
// (accepting pauses at the cap and goes on as handshakes finish) and per client process (more are
// closed at once), so one process cannot fill the slots of the others.
#include <sys/types.h>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/weak_ptr.hpp>
#include <mutex>
#include <string>

#include "Handshake.h"
#include "LocalSocket.h"
#include "TransportState.h"

namespace basetransport {
namespace detail {

// Accepted sessions must present this token; onSession runs for each.
struct ListenConfig {
    std::string token;
    boost::function<void(SessionPtr)> onSession;
};

class Listener : public boost::enable_shared_from_this<Listener> {
  public:
    using Acceptor = boost::asio::local::stream_protocol::acceptor;

    Listener(boost::weak_ptr<TransportState> state, BoundListener bound,
             boost::shared_ptr<ListenConfig const> config);
    ~Listener();
    // Waits for the next connections. Accepting pauses while the handshake cap is reached;
    // the transport calls Accept again when a handshake has finished.
    void Accept();
    // Stops accepting and removes the listener's file.
    void Close();
    bool IsClosed();

  private:
    void OnReadable(boost::system::error_code const& ec);
    // Looks at a new connection: another user's is closed, this user's gets a handshake.
    void Admit(boost::shared_ptr<TransportState> const& state, int fd);

    boost::weak_ptr<TransportState> const mState;
    boost::shared_ptr<ListenConfig const> const mConfig;
    std::string const mPath;
    ino_t const mInode;
    std::mutex mMutex;
    Acceptor mAcceptor;
    boost::asio::steady_timer mRetry;
    bool mClosed = false;
    bool mWaiting = false;  // a wait for connections is pending
};

// One accepted connection until its handshake is judged. The first line must be a valid
// transport.hello within the transport's handshake time-out; otherwise the connection is
// answered with an error (when there is something to answer) and closed.
class ServerHandshake : public boost::enable_shared_from_this<ServerHandshake> {
  public:
    // Owns `fd` (a connected socket) from here on; holds one of the transport's handshake
    // slots until destroyed.
    ServerHandshake(boost::shared_ptr<TransportState> state, int fd, PeerCredentials const& peer,
                    boost::shared_ptr<ListenConfig const> config);
    ~ServerHandshake();
    void Start();
    void Abort();

  private:
    // After a refusal the answer is given time to reach the client before the socket closes
    // (closing with unread input would reset the connection and lose the answer).
    static constexpr std::chrono::milliseconds kLinger{1000};
    static constexpr std::size_t kChunk = 4096;
    enum class Phase { Reading, Lingering, Done };

    void ReadLocked();
    void OnRead(boost::system::error_code const& ec, std::size_t bytes);
    void OnTimer(boost::system::error_code const& ec);
    void RefuseLocked(boost::json::object const& answer);
    void CloseLocked();
    // Makes the session for the accepted connection `fd`.
    void Accepted(int fd);

    boost::shared_ptr<TransportState> const mState;
    boost::shared_ptr<ListenConfig const> const mConfig;
    PeerCredentials const mPeer;
    std::mutex mMutex;
    boost::asio::local::stream_protocol::socket mSocket;
    boost::asio::steady_timer mTimer;
    Phase mPhase = Phase::Reading;
    char mChunk[kChunk];
    HelloReader mReader;
};

}  // namespace detail
}  // namespace basetransport
