#pragma once
// Server side: accepts connections on 127.0.0.1 and runs each one's handshake.
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/weak_ptr.hpp>
#include <mutex>
#include <string>

#include "MessageCodec.h"
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
    Listener(boost::weak_ptr<TransportState> state, boost::asio::ip::tcp::acceptor acceptor,
             boost::shared_ptr<ListenConfig const> config);
    void Accept();
    void Close();

  private:
    void OnAccept(boost::system::error_code const& ec, boost::asio::ip::tcp::socket socket);

    boost::weak_ptr<TransportState> const mState;
    boost::shared_ptr<ListenConfig const> const mConfig;
    std::mutex mMutex;
    boost::asio::ip::tcp::acceptor mAcceptor;
    boost::asio::steady_timer mRetry;
    bool mClosed = false;
};

// One accepted connection until its handshake is judged. The first line must be a valid
// transport.hello within the transport's handshake time-out; otherwise the connection is
// answered with an error (when there is something to answer) and closed.
class ServerHandshake : public boost::enable_shared_from_this<ServerHandshake> {
  public:
    ServerHandshake(boost::shared_ptr<TransportState> state, boost::asio::ip::tcp::socket socket,
                    boost::shared_ptr<ListenConfig const> config);
    void Start();
    void Abort();

  private:
    // After a refusal the answer is given time to reach the client before the socket closes
    // (closing with unread input would reset the connection and lose the answer).
    static constexpr std::chrono::milliseconds kLinger{1000};
    enum class Phase { Reading, Lingering, Done };

    void ReadLocked();
    void OnRead(boost::system::error_code const& ec, std::size_t bytes);
    void OnTimer(boost::system::error_code const& ec);
    void Refuse(boost::json::object const& answer);
    void CloseLocked();

    boost::shared_ptr<TransportState> const mState;
    boost::shared_ptr<ListenConfig const> const mConfig;
    std::mutex mMutex;
    boost::asio::ip::tcp::socket mSocket;
    boost::asio::steady_timer mTimer;
    Phase mPhase = Phase::Reading;
    std::string mBuffer;
    std::size_t mUsed = 0;
    MessageParser mParser;
};

}  // namespace detail
}  // namespace basetransport
