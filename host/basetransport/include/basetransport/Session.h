#pragma once
// A session: one connection between a client and a server process of the same user on this
// machine, carrying JSON-RPC 2.0 messages, one per line, over a Unix domain socket.
#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/json/object.hpp>
#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <cstdint>
#include <string>

namespace basetransport {

// Result code of a transport callback.
using TransportError = std::int32_t;

// Version carried by the handshake; a peer with another version is refused with a clear error.
// 2: Unix domain sockets; the peer's process comes from the kernel, not from the hello.
constexpr std::int64_t kProtocolVersion = 2;
// A message larger than this ends its session.
constexpr std::size_t kMaxMessageBytes = 64u * 1024u * 1024u;
// Arrays and objects nested deeper than this end the session like an unparsable message.
constexpr std::size_t kMaxMessageDepth = 512;

// What a caller waits for while it reads its session itself (Session::Lead).
class AwaitedAnswer {
  public:
    virtual ~AwaitedAnswer() = default;
    // True once the answer has come. Called by the waiting thread, between messages; must not
    // block.
    virtual bool Arrived() = 0;
    // True when `message` is the awaited answer, which the waiting thread then delivers itself.
    virtual bool IsAnswer(boost::json::object const& message) = 0;
};

class Session : public boost::enable_shared_from_this<Session> {
  public:
    virtual ~Session() = default;

    // True once the session can no longer carry messages.
    virtual bool IsClosed() const = 0;
    // Equal values mean the same session (unique within the process).
    virtual std::int64_t GetID() const = 0;
    // Ends the session; idempotent. In-flight work is failed as for any other end.
    virtual void Close() = 0;

    // Queues one message for sending; never blocks on the peer. False when the session is closed.
    // Records this session as the last one this thread sent on (see
    // TakeLastSessionSentOnThisThread).
    virtual bool SendMessage(boost::json::object const& message) = 0;

    // The peer's process id as the kernel gave it when the connection was made: the client's
    // on the server side, the listening server's on the client side (0 if unknown).
    virtual std::int64_t GetPeerProcessID() const = 0;

    // Receives every message of the session that no extension claims (see Extensions.h).
    // Runs on a transport worker thread, or, for the answer a caller waits for, on that caller's
    // thread while it leads the session (Lead); marked ThreadRole::kDelivery either way. May block:
    // the transport keeps another worker reading. Messages of one session are delivered in order,
    // but the handler for a later message may start while an earlier one is still blocked (still
    // running after the transport's delivery grace, see SocketTransport::SetDeliveryGrace).
    // Messages that arrive while no handler is set are kept (the latest 1024) and delivered once
    // one is.
    using MessageHandler =
        boost::function<void(boost::shared_ptr<Session> const&, boost::json::object&)>;
    virtual void SetMessageHandler(MessageHandler handler) = 0;

    // Called once when the session ends (after IsClosed() turns true), on a transport thread,
    // after every message received before the end has been delivered. A handler added after
    // the end still runs once.
    using CloseHandler = boost::function<void(boost::shared_ptr<Session> const&)>;
    virtual void AddCloseHandler(CloseHandler handler) = 0;

    // Runs `task` later on a worker thread of the session's transport (a process-wide worker
    // pool for sessions that have none); never on the calling thread before Post returns.
    // An exception escaping the task is swallowed.
    virtual void Post(boost::function<void()> task);

    // For a caller that waits for an answer on this session, so that the answer needs no second
    // thread: when nothing is reading the session (its runner waits for the socket), the calling
    // thread takes the runner role and reads the socket itself. When the next message is its
    // answer (`awaited.IsAnswer`), it delivers it on this thread, as a worker would (marked
    // ThreadRole::kDelivery while the handler runs). Any other message, and the end of the
    // session, it hands on: a worker takes the role and delivers them in order, so no handler
    // but the caller's own answer ever runs on the caller's thread. It returns once its answer
    // has been delivered or handed on, or `awaited.Arrived()` (an answer given elsewhere); the
    // reading then goes back to the workers. Returns at once when another thread is reading or
    // delivering, and on a handler thread. The caller still waits for its answer as usual
    // afterwards; an answer given elsewhere while the caller leads must be followed by
    // WakeLeader.
    virtual void Lead(AwaitedAnswer& awaited);
    // Before sending a request whose answer this thread will then wait for with Lead: takes the
    // reading over at once when nothing reads the session, so that an answer that comes before
    // Lead is called wakes no other thread either. True when it did; the claim is then Lead's
    // (called on this thread), or is handed back by Unclaim (ReadingClaim does it). Nothing is
    // read while the claim is held, so the thread must send and then lead or unclaim at once.
    virtual bool Claim();
    // Hands a claim that Lead did not take back to the workers. Nothing without one.
    virtual void Unclaim();
    // Makes the thread leading this session (if one waits for the socket) look at its
    // Arrived() again. Cheap when no thread leads.
    virtual void WakeLeader();

    // Why the session ended (for diagnostics); empty while it is open.
    virtual std::string GetCloseReason() const;
};

using SessionPtr = boost::shared_ptr<Session>;

// A Session::Claim for the scope of one request and the wait for its answer: unclaimed at the
// end of the scope unless Lead took it.
class ReadingClaim {
  public:
    explicit ReadingClaim(SessionPtr session) : mSession(std::move(session)) {
        if (mSession && !mSession->Claim()) {
            mSession.reset();
        }
    }
    ~ReadingClaim() {
        if (mSession) {
            mSession->Unclaim();
        }
    }
    ReadingClaim(ReadingClaim const&) = delete;
    ReadingClaim& operator=(ReadingClaim const&) = delete;

  private:
    SessionPtr mSession;
};

// The session on which the calling thread last sent a message, taken (cleared) by the call.
// The shared-data layer uses it to learn which session a data request went out on.
SessionPtr TakeLastSessionSentOnThisThread();

}  // namespace basetransport
