#pragma once
// A session over one TCP socket: newline-delimited JSON messages.
//
// Reading and delivery: one worker thread at a time, the runner, reads the socket (blocking),
// parses what came and runs the handler of each message itself, in order, without handing the
// message to another thread. When a handler is still running after the session's grace, the
// delivery monitor makes another worker the runner; it goes on with the next message and the
// reading, and the old runner leaves when its handler returns. The end of the session is
// delivered like a message, after every message read before it.
//
// Writing: SendMessage writes straight from the calling thread when nothing is queued; what the
// socket does not take at once is queued and written by a worker.
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/weak_ptr.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "DeliveryMonitor.h"
#include "MessageCodec.h"
#include "WorkerCore.h"
#include "basetransport/Session.h"

namespace basetransport {
namespace detail {

// What a session tells the transport that made it.
class SessionOwner {
  public:
    virtual ~SessionOwner() = default;
    // Runs the transport's session handlers for `session` and forgets it. Called once, on a
    // worker thread, after the session's own close handlers.
    virtual void OnSessionEnded(SessionPtr const& session) = 0;
};

class SocketSession final : public Session, public MonitoredSession {
  public:
    // Messages kept while no message handler is set; older ones are dropped beyond this.
    static constexpr std::size_t kMaxUndelivered = 1024;
    // Bytes queued for a peer that does not read; beyond this the session ends.
    static constexpr std::size_t kMaxWriteBacklog = 4 * kMaxMessageBytes;

    // `socket` must be in blocking mode.
    SocketSession(boost::shared_ptr<WorkerCore> core, boost::asio::ip::tcp::socket socket,
                  boost::weak_ptr<SessionOwner> owner, std::int64_t peerProcessID,
                  std::chrono::microseconds deliveryGrace);
    ~SocketSession() override;

    bool IsClosed() const override;
    std::int64_t GetID() const override;
    void Close() override;
    bool SendMessage(boost::json::object const& message) override;
    std::int64_t GetPeerProcessID() const override;
    void SetMessageHandler(MessageHandler handler) override;
    void AddCloseHandler(CloseHandler handler) override;
    void Post(boost::function<void()> task) override;
    std::string GetCloseReason() const override;

    bool CheckBlocked(std::chrono::steady_clock::time_point now) override;

    // Starts reading. `received` holds bytes that arrived with the handshake answer.
    void Start(std::string const& received);
    // Ends the session for `reason`; the first call wins.
    void End(std::string const& reason);

  private:
    struct Delivery {
        boost::json::object message;
        bool end = false;
    };

    boost::shared_ptr<SocketSession> Self();
    // Hands the runner role to a new worker; mDeliveryMutex held.
    void StartRunnerLocked();
    void Run(std::uint64_t token);
    // Reads once (or looks at the bytes that came with the handshake) and queues the complete
    // messages; false when reading is over.
    bool ReadAndQueue();
    void Deliver(boost::json::object& message);
    void RunEndHandlers();
    // The writer: a worker that writes the queued bytes.
    void WriteQueued();
    // After the shutdown, closes the socket once neither the runner nor the writer uses it;
    // mSocketMutex held.
    void CloseSocketIfUnusedLocked();

    boost::shared_ptr<WorkerCore> const mCore;
    boost::weak_ptr<SessionOwner> const mOwner;
    std::int64_t const mID;
    std::int64_t const mPeerProcessID;
    std::chrono::microseconds const mGrace;
    std::atomic<bool> mClosed{false};

    // The socket. Reads run without the lock (only the runner reads); writes, shutdown and
    // close are decided under it.
    std::mutex mSocketMutex;
    boost::asio::ip::tcp::socket mSocket;
    int const mFD;
    std::atomic<bool> mShutDown{false};
    std::atomic<bool> mReading{false};  // the runner is in a read
    bool mWriterActive = false;
    std::string mWriteQueued;

    // Read state: used by the runner only.
    std::vector<char> mReadBuffer;
    std::size_t mReadUsed = 0;
    std::size_t mReadScanned = 0;  // bytes of the buffer known to hold no line feed
    MessageParser mParser;

    // Delivery state.
    std::mutex mDeliveryMutex;
    std::deque<Delivery> mQueue;
    std::uint64_t mRunnerToken = 0;  // the current runner; 0 when there is none
    std::uint64_t mNextToken = 1;
    bool mInHandler = false;  // the current runner is running a handler
    bool mEndQueued = false;
    std::chrono::steady_clock::time_point mHandlerStartedAt;

    // Handlers.
    mutable std::mutex mHandlerMutex;
    boost::shared_ptr<MessageHandler> mHandler;
    std::deque<boost::json::object> mUndelivered;
    std::vector<CloseHandler> mCloseHandlers;
    bool mEndHandlersStarted = false;
    std::string mCloseReason;
};

}  // namespace detail
}  // namespace basetransport
