#pragma once
// A session over one connected Unix domain socket: newline-delimited JSON messages.
//
// Reading and delivery: one runner at a time reads the socket and runs the handler of each
// message itself, in order, without handing the message to another thread. The runner is a
// role, not a thread: while there is nothing to read it is parked in the event loop (an
// asynchronous wait for the socket to become readable, which costs no thread), and whichever
// worker thread the readiness wakes takes it up, reads what has come and delivers it. When a
// handler is still running after the session's grace, the delivery monitor makes a new runner,
// which goes on with the next message and the reading on another thread; the old one leaves
// when its handler returns. The end of the session is delivered like a message, after every
// message read before it.
//
// Any thread may take the runner role while it is parked (the token check makes the parked
// wait's later wake-up harmless): a caller waiting for an answer takes it (Lead), takes the
// socket out of the event loop's sight, reads it with poll and recv, delivers its own answer on
// its own thread and parks the runner again; its answer then costs no thread hand-off and wakes
// no event-loop thread. Anything else that comes first it hands on to
// a worker runner, which delivers it and the rest in order.
//
// Writing: SendMessage writes straight from the calling thread when nothing is queued; what the
// socket does not take at once is queued and written from the event loop as the socket drains.
#include <atomic>
#include <boost/weak_ptr.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "DeliveryMonitor.h"
#include "MessageCodec.h"
#include "SocketWaits.h"
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

class SocketSession final : public Session, public Monitored {
  public:
    // Messages kept while no message handler is set; older ones are dropped beyond this.
    static constexpr std::size_t kMaxUndelivered = 1024;
    // Bytes queued for a peer that does not read; beyond this the session ends.
    static constexpr std::size_t kMaxWriteBacklog = 4 * kMaxMessageBytes;

    // `fd` is a connected socket in non-blocking mode; the session owns it from here on.
    // `callersLead`: callers of this process may read the socket themselves (Lead, Claim);
    // sessions accepted by a listener are read by workers only (see SocketWaits::Mode).
    SocketSession(boost::shared_ptr<WorkerCore> core, int fd, boost::weak_ptr<SessionOwner> owner,
                  std::int64_t peerProcessID, std::chrono::microseconds deliveryGrace,
                  bool callersLead);
    ~SocketSession() override;

    bool IsClosed() const override;
    std::int64_t GetID() const override;
    void Close() override;
    bool SendMessage(boost::json::object const& message) override;
    std::int64_t GetPeerProcessID() const override;
    void SetMessageHandler(MessageHandler handler) override;
    void AddCloseHandler(CloseHandler handler) override;
    void Post(boost::function<void()> task) override;
    void Lead(AwaitedAnswer& awaited) override;
    bool Claim() override;
    void Unclaim() override;
    void WakeLeader() override;
    std::string GetCloseReason() const override;

    std::optional<TimePoint> CheckProgress(TimePoint now) override;

    // Starts reading. `received` holds bytes that arrived with the handshake.
    void Start(std::string const& received);
    // Ends the session for `reason`; the first call wins.
    void End(std::string const& reason);

  private:
    struct Delivery {
        boost::json::object message;
        bool end = false;
    };
    enum class ReadResult { Messages, Nothing, Ended };

    boost::shared_ptr<SocketSession> Self();
    // Makes a new runner and posts it to a worker; mDeliveryMutex held.
    void StartRunnerLocked();
    // The runner: delivers what is queued, reads, and parks when there is nothing to read.
    void Run(std::uint64_t token);
    // Delivers the first queued message as runner `token`; mDeliveryMutex held through `lock`
    // (released while the handler runs). False when another runner took over meanwhile; `end`
    // tells whether it was the end of the session.
    bool DeliverNext(std::unique_lock<std::mutex>& lock, std::uint64_t token, bool& end);
    // Takes the runner role from a parked runner for the calling thread; mDeliveryMutex held.
    // 0 when the runner is not parked.
    std::uint64_t TakeParkedRunnerLocked();
    // Hands the role of runner `token` back: a worker delivers what is queued, or it parks.
    void HandBackLocked(std::unique_lock<std::mutex>& lock, std::uint64_t token);
    // Waits until the socket is readable or WakeLeader is called; for a leading caller.
    void WaitAsLeader(AwaitedAnswer& awaited);
    // Reads what the socket holds without waiting and queues the complete messages.
    ReadResult ReadAvailable();
    // Parks the runner until the socket is readable (or the session ends).
    void Park(std::uint64_t token);
    void QueueMessages(std::vector<boost::json::object>& messages);
    void Deliver(boost::json::object& message);
    void RunEndHandlers();
    // Writes queued bytes as far as the socket takes them; waits for room for the rest.
    void WriteQueued();
    // Waits in the event loop for room; mSocketMutex held. False when the wait cannot be made.
    bool WaitForRoomLocked();

    boost::shared_ptr<WorkerCore> const mCore;
    boost::weak_ptr<SessionOwner> const mOwner;
    std::int64_t const mID;
    std::int64_t const mPeerProcessID;
    std::chrono::microseconds const mGrace;
    std::atomic<bool> mClosed{false};
    std::uint64_t mMonitorID = 0;

    // The socket. It stays open (shut down after the end) until the session is destroyed, so
    // its descriptor is never reused under a read or write of another thread; mWaits owns and
    // closes it. Reads and writes use the descriptor directly; the event loop waits for it while
    // a runner is parked or bytes wait for room. Waits are started and cancelled under
    // mSocketMutex.
    std::mutex mSocketMutex;
    int const mFD;
    SocketWaits mWaits;
    std::uint64_t mParkedToken = 0;  // the runner the next read report goes on with
    bool mShutDown = false;
    bool mWriterWaiting = false;  // bytes are queued and a wait for room is pending
    std::string mWriteQueued;

    // Read state: used by the current runner only.
    MessageReader mReader;
    bool mDrained = false;  // the last read emptied the socket
    // Wakes a leading caller waiting in poll (an eventfd; -1 when none could be made, and then
    // no caller leads).
    int const mLeaderWakeFD;
    std::atomic<bool> mLeaderPolling{false};

    // Delivery state.
    std::mutex mDeliveryMutex;
    std::deque<Delivery> mQueue;
    std::uint64_t mRunnerToken = 0;  // the current runner; 0 when there is none
    std::uint64_t mNextToken = 1;
    bool mInHandler = false;  // the current runner is running a handler
    bool mParked = false;     // the current runner waits for the socket in the event loop
    bool mEndQueued = false;
    std::uint64_t mClaimToken = 0;  // the runner role a caller claimed before sending (Claim)
    std::thread::id mClaimer;
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
