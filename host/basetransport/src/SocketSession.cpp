#include "SocketSession.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <cerrno>
#include <cstring>
#include <utility>

#include "Registry.h"
#include "basekit/debug/Failure.h"
#include "basekit/threads/ThreadRole.h"
#include "basekit/utility/Text.h"

namespace basetransport {
namespace detail {

namespace {

namespace json = boost::json;
using Clock = std::chrono::steady_clock;

}  // namespace

SocketSession::SocketSession(boost::shared_ptr<WorkerCore> core, int fd,
                             boost::weak_ptr<SessionOwner> owner, std::int64_t peerProcessID,
                             std::chrono::microseconds deliveryGrace, bool callersLead)
    : mCore(std::move(core)),
      mOwner(std::move(owner)),
      mID(NextSessionID()),
      mPeerProcessID(peerProcessID),
      mGrace(deliveryGrace),
      mFD(fd),
      mWaits(mCore->Io(), fd,
             callersLead ? SocketWaits::Mode::kOneShot : SocketWaits::Mode::kDirect),
      mLeaderWakeFD(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!mWaits.IsOpen()) {
        // Not in the event loop: the session ends as soon as it starts (see Start).
        mShutDown = true;
        ::shutdown(fd, SHUT_RDWR);
    }
}

SocketSession::~SocketSession() {
    DeliveryMonitor::Instance().Unwatch(mMonitorID);
    if (mLeaderWakeFD >= 0) {
        ::close(mLeaderWakeFD);
    }
}

boost::shared_ptr<SocketSession> SocketSession::Self() {
    return boost::static_pointer_cast<SocketSession>(shared_from_this());
}

bool SocketSession::IsClosed() const {
    return mClosed.load();
}

std::int64_t SocketSession::GetID() const {
    return mID;
}

std::int64_t SocketSession::GetPeerProcessID() const {
    return mPeerProcessID;
}

void SocketSession::Close() {
    End("closed by this process");
}

std::string SocketSession::GetCloseReason() const {
    std::lock_guard<std::mutex> lock(mHandlerMutex);
    return mCloseReason;
}

void SocketSession::Post(boost::function<void()> task) {
    mCore->Post(std::move(task));
}

// ---- Start and end ----------------------------------------------------------------------------

void SocketSession::Start(std::string const& received) {
    mMonitorID = DeliveryMonitor::Instance().Watch(boost::weak_ptr<Monitored>(Self()));
    bool failedToRegister;
    {
        std::lock_guard<std::mutex> lock(mSocketMutex);
        failedToRegister = !mWaits.IsOpen();
    }
    if (failedToRegister) {
        End("the socket could not join the event loop");
    }
    std::vector<json::object> messages;
    std::string failure;
    bool const ok = mReader.Feed(received, messages, failure);
    QueueMessages(messages);
    if (!ok) {
        End(failure);
    }
    std::lock_guard<std::mutex> lock(mDeliveryMutex);
    if (mRunnerToken == 0 && !mEndQueued) {
        StartRunnerLocked();
    }
}

void SocketSession::End(std::string const& reason) {
    {
        std::lock_guard<std::mutex> lock(mHandlerMutex);
        if (mClosed.load()) {
            return;
        }
        mCloseReason = basekit::utility::MakeValidUTF8(reason);
        mClosed.store(true);
    }
    {
        // The peer sees the end at once; a parked runner and a waiting writer are woken. The
        // descriptor itself stays open until the session is destroyed.
        std::lock_guard<std::mutex> lock(mSocketMutex);
        mShutDown = true;
        ::shutdown(mFD, SHUT_RDWR);
        mWriteQueued.clear();
        if (mWaits.IsOpen()) {
            mWaits.Cancel();
        }
    }
    // The end is delivered like a message, after every message read before it.
    std::lock_guard<std::mutex> lock(mDeliveryMutex);
    mEndQueued = true;
    mQueue.push_back(Delivery{json::object(), true});
    if (mRunnerToken == 0) {
        StartRunnerLocked();
    }
}

void SocketSession::RunEndHandlers() {
    std::vector<CloseHandler> handlers;
    {
        std::lock_guard<std::mutex> lock(mHandlerMutex);
        mEndHandlersStarted = true;
        handlers.swap(mCloseHandlers);
    }
    SessionPtr const self = Self();
    for (auto const& handler : handlers) {
        try {
            handler(self);
        } catch (...) {
            // One handler's failure does not keep the others from running.
            BASEKIT_REPORT_CAUGHT("running a session's close handler");
        }
    }
    if (auto owner = mOwner.lock()) {
        owner->OnSessionEnded(self);
    }
    RunSessionEndObservers(self);
    DeliveryMonitor::Instance().Unwatch(mMonitorID);
    // Drop the handlers: they often hold the objects that hold this session.
    boost::shared_ptr<MessageHandler> handler;
    std::deque<json::object> undelivered;
    {
        std::lock_guard<std::mutex> lock(mHandlerMutex);
        handler.swap(mHandler);
        undelivered.swap(mUndelivered);
    }
}

void SocketSession::AddCloseHandler(CloseHandler handler) {
    {
        std::lock_guard<std::mutex> lock(mHandlerMutex);
        if (!mEndHandlersStarted) {
            mCloseHandlers.push_back(std::move(handler));
            return;
        }
    }
    // Added after the end: it still runs once.
    mCore->PostTask([self = Self(), handler = std::move(handler)] { handler(self); });
}

// ---- Message handler --------------------------------------------------------------------------

void SocketSession::SetMessageHandler(MessageHandler handler) {
    std::deque<json::object> undelivered;
    boost::shared_ptr<MessageHandler> current;
    {
        std::lock_guard<std::mutex> lock(mHandlerMutex);
        if (mEndHandlersStarted) {
            return;
        }
        if (handler.empty()) {
            mHandler.reset();
            return;
        }
        mHandler = boost::make_shared<MessageHandler>(std::move(handler));
        current = mHandler;
        undelivered.swap(mUndelivered);
    }
    if (undelivered.empty()) {
        return;
    }
    // Messages that came before any handler was set, in their order (beside the runner, which
    // may be waiting for the socket).
    auto kept = boost::make_shared<std::deque<json::object>>(std::move(undelivered));
    mCore->PostTask([self = Self(), current, kept] {
        for (auto& message : *kept) {
            try {
                (*current)(self, message);
            } catch (...) {
                BASEKIT_REPORT_CAUGHT("delivering a message kept until a handler was set");
            }
        }
    });
}

void SocketSession::Deliver(json::object& message) {
    SessionPtr const self = Self();
    if (ExtensionHandler extension = FindExtension(message)) {
        try {
            extension(self, message);
        } catch (...) {
            BASEKIT_REPORT_CAUGHT("delivering a message to a transport extension");
        }
        return;
    }
    boost::shared_ptr<MessageHandler> handler;
    {
        std::lock_guard<std::mutex> lock(mHandlerMutex);
        handler = mHandler;
        if (!handler) {
            if (!mEndHandlersStarted) {
                if (mUndelivered.size() == kMaxUndelivered) {
                    mUndelivered.pop_front();
                }
                mUndelivered.push_back(std::move(message));
            }
            return;
        }
    }
    try {
        (*handler)(self, message);
    } catch (...) {
        BASEKIT_REPORT_CAUGHT("delivering a message to a session's handler");
    }
}

// ---- The runner -------------------------------------------------------------------------------

void SocketSession::StartRunnerLocked() {
    std::uint64_t const token = mNextToken++;
    mRunnerToken = token;
    mInHandler = false;
    mParked = false;
    mCore->PostTask([self = Self(), token] { self->Run(token); });
}

std::optional<Monitored::TimePoint> SocketSession::CheckProgress(TimePoint now) {
    std::lock_guard<std::mutex> lock(mDeliveryMutex);
    if (!mInHandler) {
        return std::nullopt;
    }
    if (now - mHandlerStartedAt >= mGrace) {
        // Taken to be blocked: a new runner goes on with the next message and the reading (its
        // own handlers note their starts again).
        StartRunnerLocked();
        return std::nullopt;
    }
    return mHandlerStartedAt + mGrace;
}

bool SocketSession::DeliverNext(std::unique_lock<std::mutex>& lock, std::uint64_t token,
                                bool& end) {
    Delivery next = std::move(mQueue.front());
    mQueue.pop_front();
    end = next.end;
    mInHandler = true;
    mHandlerStartedAt = Clock::now();
    lock.unlock();
    DeliveryMonitor::Instance().NoteHandlerStart(mGrace);
    if (next.end) {
        RunEndHandlers();
    } else {
        Deliver(next.message);
    }
    lock.lock();
    if (mRunnerToken != token) {
        return false;  // taken to be blocked: another runner went on meanwhile
    }
    mInHandler = false;
    if (next.end) {
        mRunnerToken = 0;
    }
    return true;
}

void SocketSession::Run(std::uint64_t token) {
    std::unique_lock<std::mutex> lock(mDeliveryMutex);
    for (;;) {
        if (mRunnerToken != token) {
            return;  // another runner took over while this one ran a handler
        }
        mParked = false;
        if (!mQueue.empty()) {
            bool end = false;
            if (!DeliverNext(lock, token, end) || end) {
                return;
            }
            continue;
        }
        if (mEndQueued) {
            // The end has been taken by a runner that was then taken to be blocked.
            mRunnerToken = 0;
            return;
        }
        lock.unlock();
        ReadResult const read = ReadAvailable();
        lock.lock();
        if (read != ReadResult::Nothing || mRunnerToken != token || !mQueue.empty() || mEndQueued) {
            continue;
        }
        mParked = true;
        lock.unlock();
        Park(token);
        return;
    }
}

// ---- A caller leading ---------------------------------------------------------------------------

std::uint64_t SocketSession::TakeParkedRunnerLocked() {
    if (mLeaderWakeFD < 0 || basekit::threads::IsHandlerThread()) {
        return 0;
    }
    if (!mParked || mRunnerToken == 0 || !mQueue.empty() || mEndQueued) {
        return 0;  // another thread reads or delivers: the answer comes through it
    }
    // The socket leaves the event loop's sight, so that the answer wakes only this caller. The
    // parked wait stays pending; should it still complete, its token is stale.
    mWaits.Disarm();
    std::uint64_t const token = mNextToken++;
    mRunnerToken = token;
    mParked = false;
    return token;
}

void SocketSession::HandBackLocked(std::unique_lock<std::mutex>& lock, std::uint64_t token) {
    if (!mQueue.empty() || mEndQueued) {
        StartRunnerLocked();
        return;
    }
    mParked = true;
    lock.unlock();
    Park(token);
}

bool SocketSession::Claim() {
    std::lock_guard<std::mutex> lock(mDeliveryMutex);
    if (mClaimToken != 0) {
        return false;
    }
    mClaimToken = TakeParkedRunnerLocked();
    mClaimer = std::this_thread::get_id();
    return mClaimToken != 0;
}

void SocketSession::Unclaim() {
    std::unique_lock<std::mutex> lock(mDeliveryMutex);
    if (mClaimToken == 0 || mClaimer != std::this_thread::get_id()) {
        return;
    }
    std::uint64_t const token = mClaimToken;
    mClaimToken = 0;
    if (mRunnerToken == token) {
        HandBackLocked(lock, token);
    }
}

void SocketSession::Lead(AwaitedAnswer& awaited) {
    std::unique_lock<std::mutex> lock(mDeliveryMutex);
    std::uint64_t token;
    if (mClaimToken != 0 && mClaimer == std::this_thread::get_id()) {
        token = mClaimToken;  // taken before the request went out
        mClaimToken = 0;
        if (mRunnerToken != token) {
            return;
        }
    } else {
        token = TakeParkedRunnerLocked();
        if (token == 0) {
            return;
        }
    }
    for (;;) {
        if (!mQueue.empty()) {
            if (mQueue.front().end || !awaited.IsAnswer(mQueue.front().message)) {
                // Not the caller's answer: a worker delivers it, and the rest in order.
                StartRunnerLocked();
                return;
            }
            bool end = false;
            bool kept;
            {
                // The answer's handler runs here as on a worker: a blocking call made in it is
                // refused.
                basekit::threads::ScopedThreadRole role(basekit::threads::ThreadRole::kDelivery);
                kept = DeliverNext(lock, token, end);
            }
            if (!kept || end) {
                return;
            }
            lock.unlock();
            bool const arrived = awaited.Arrived();
            lock.lock();
            if (mRunnerToken != token) {
                return;
            }
            if (arrived) {
                break;
            }
            continue;
        }
        if (mEndQueued) {
            mRunnerToken = 0;
            return;
        }
        lock.unlock();
        if (ReadAvailable() == ReadResult::Nothing) {
            WaitAsLeader(awaited);
            if (awaited.Arrived()) {
                lock.lock();
                if (mRunnerToken != token) {
                    return;
                }
                break;  // answered through another thread (an error, the end of the client)
            }
        }
        lock.lock();
        if (mRunnerToken != token) {
            return;
        }
    }
    // The answer has come: the reading goes back to the workers.
    HandBackLocked(lock, token);
}

void SocketSession::WaitAsLeader(AwaitedAnswer& awaited) {
    // Pairs with WakeLeader: either the answerer sees this flag and wakes the poll, or the
    // answer is seen here before polling.
    mLeaderPolling.store(true);
    pollfd fds[2] = {{mFD, POLLIN, 0}, {mLeaderWakeFD, POLLIN, 0}};
    if (!awaited.Arrived()) {
        // No time limit: the end of the session shuts the socket down, which wakes the poll,
        // and every other way an answer can come calls WakeLeader.
        while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
        }
    }
    mLeaderPolling.store(false);
    if (fds[1].revents != 0) {
        std::uint64_t count;
        while (::read(mLeaderWakeFD, &count, sizeof count) < 0 && errno == EINTR) {
        }
    }
}

void SocketSession::WakeLeader() {
    if (mLeaderPolling.load()) {
        std::uint64_t const one = 1;
        while (::write(mLeaderWakeFD, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
}

SocketSession::ReadResult SocketSession::ReadAvailable() {
    if (mDrained) {
        // The last read left the socket empty: wait for readiness instead of asking again.
        mDrained = false;
        return ReadResult::Nothing;
    }
    auto const space = mReader.Space();
    ssize_t const n = ::recv(mFD, space.first, space.second, MSG_DONTWAIT);
    if (n > 0) {
        std::vector<json::object> messages;
        std::string failure;
        bool const ok = mReader.Commit(static_cast<std::size_t>(n), messages, failure);
        QueueMessages(messages);
        if (!ok) {
            End(failure);
            return ReadResult::Ended;
        }
        mDrained = static_cast<std::size_t>(n) < space.second;
        return ReadResult::Messages;
    }
    if (n == 0) {
        End("the peer closed the connection");
        return ReadResult::Ended;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return ReadResult::Nothing;
    }
    if (errno == EINTR) {
        return ReadResult::Messages;  // ask again
    }
    End(std::string("read failed: ") + std::strerror(errno));
    return ReadResult::Ended;
}

void SocketSession::Park(std::uint64_t token) {
    std::unique_lock<std::mutex> lock(mSocketMutex);
    if (mShutDown) {
        // Ended meanwhile: the end is queued; go on at once.
        lock.unlock();
        mCore->PostTask([self = Self(), token] { self->Run(token); });
        return;
    }
    if (token < mParkedToken) {
        // Overtaken on the way here: a caller took the reading over after this runner had
        // decided to park, led, and parked a newer runner. The pending wait is that one's;
        // arming it for this stale token would make its report go nowhere, and the socket
        // would be out of everybody's sight.
        return;
    }
    mParkedToken = token;
    boost::weak_ptr<SocketSession> weak(Self());
    bool const waiting =
        mWaits.ArmAndWait(SocketWaits::kRead, [weak](boost::system::error_code const&) {
            // Readable, or cancelled by the end: either way the runner parked last looks (a stale
            // token does nothing).
            if (auto self = weak.lock()) {
                std::uint64_t parked;
                {
                    std::lock_guard<std::mutex> socketLock(self->mSocketMutex);
                    self->mWaits.Taken(SocketWaits::kRead);
                    parked = self->mParkedToken;
                }
                WorkerCore::BusyScope busy(*self->mCore);
                try {
                    self->Run(parked);
                } catch (...) {
                    BASEKIT_REPORT_CAUGHT("reading a session");
                }
            }
        });
    if (!waiting) {
        int const error = errno;
        lock.unlock();
        End(std::string("cannot wait for the socket: ") + std::strerror(error));
        mCore->PostTask([self = Self(), token] { self->Run(token); });
    }
}

void SocketSession::QueueMessages(std::vector<json::object>& messages) {
    if (messages.empty()) {
        return;
    }
    std::lock_guard<std::mutex> lock(mDeliveryMutex);
    if (mEndQueued) {
        return;  // closed here: nothing more is delivered
    }
    for (auto& message : messages) {
        mQueue.push_back(Delivery{std::move(message), false});
    }
}

}  // namespace detail
}  // namespace basetransport
