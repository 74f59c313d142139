#include "SocketSession.h"

#include <sys/socket.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>
#include <boost/make_shared.hpp>
#include <cerrno>
#include <cstring>
#include <utility>

#include "Registry.h"

namespace basetransport {
namespace detail {

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 64 * 1024;

}  // namespace

SocketSession::SocketSession(boost::shared_ptr<WorkerCore> core, asio::ip::tcp::socket socket,
                             boost::weak_ptr<SessionOwner> owner, std::int64_t peerProcessID,
                             std::chrono::microseconds deliveryGrace)
    : mCore(std::move(core)),
      mOwner(std::move(owner)),
      mID(NextSessionID()),
      mPeerProcessID(peerProcessID),
      mGrace(deliveryGrace),
      mSocket(std::move(socket)),
      mFD(mSocket.native_handle()),
      mReadBuffer(kReadChunk) {}

SocketSession::~SocketSession() = default;

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
    if (received.size() > mReadBuffer.size()) {
        mReadBuffer.resize(received.size() + kReadChunk);
    }
    std::memcpy(mReadBuffer.data(), received.data(), received.size());
    mReadUsed = received.size();
    std::lock_guard<std::mutex> lock(mDeliveryMutex);
    if (mRunnerToken == 0 && !mEndQueued) {
        DeliveryMonitor::Instance().Add(mID, boost::weak_ptr<MonitoredSession>(Self()));
        StartRunnerLocked();
    }
}

void SocketSession::End(std::string const& reason) {
    {
        std::lock_guard<std::mutex> lock(mHandlerMutex);
        if (mClosed.load()) {
            return;
        }
        mCloseReason = reason;
        mClosed.store(true);
    }
    {
        // Wakes a runner blocked in a read and a writer blocked in a write; the socket closes
        // once neither uses it.
        std::lock_guard<std::mutex> lock(mSocketMutex);
        mShutDown.store(true);
        boost::system::error_code ignored;
        mSocket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        mWriteQueued.clear();
        CloseSocketIfUnusedLocked();
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
        }
    }
    if (auto owner = mOwner.lock()) {
        owner->OnSessionEnded(self);
    }
    RunSessionEndObservers(self);
    DeliveryMonitor::Instance().Remove(mID);
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
    }
}

// ---- The runner -------------------------------------------------------------------------------

void SocketSession::StartRunnerLocked() {
    std::uint64_t const token = mNextToken++;
    mRunnerToken = token;
    mInHandler = false;
    mCore->PostTask([self = Self(), token] { self->Run(token); });
}

bool SocketSession::CheckBlocked(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mDeliveryMutex);
    if (!mInHandler) {
        return false;
    }
    if (now - mHandlerStartedAt >= mGrace) {
        // Taken to be blocked: a new runner goes on with the next message and the reading.
        StartRunnerLocked();
    }
    return true;
}

void SocketSession::Run(std::uint64_t token) {
    std::unique_lock<std::mutex> lock(mDeliveryMutex);
    for (;;) {
        if (mRunnerToken != token) {
            return;  // another runner took over while this one ran a handler
        }
        if (!mQueue.empty()) {
            Delivery next = std::move(mQueue.front());
            mQueue.pop_front();
            mInHandler = true;
            mHandlerStartedAt = Clock::now();
            lock.unlock();
            DeliveryMonitor::Instance().NoteHandlerStart();
            if (next.end) {
                RunEndHandlers();
            } else {
                Deliver(next.message);
            }
            lock.lock();
            if (mRunnerToken != token) {
                return;
            }
            mInHandler = false;
            if (next.end) {
                mRunnerToken = 0;
                return;
            }
            continue;
        }
        if (mEndQueued) {
            // The end has been delivered (by a runner that was then taken to be blocked).
            mRunnerToken = 0;
            return;
        }
        lock.unlock();
        ReadAndQueue();
        lock.lock();
    }
}

bool SocketSession::ReadAndQueue() {
    // Bytes that came with the handshake answer are looked at before anything is read.
    if (mReadUsed == mReadScanned) {
        if (mReadBuffer.size() - mReadUsed < kReadChunk / 4) {
            mReadBuffer.resize(mReadBuffer.size() * 2);
        }
        // Without the socket lock, which a sender may hold at this very moment: End stores
        // mShutDown and then looks at mReading, this stores mReading and then looks at
        // mShutDown, so the socket is never closed under a read.
        mReading.store(true);
        if (mShutDown.load()) {
            mReading.store(false);
            return false;
        }
        boost::system::error_code ec;
        std::size_t const bytes = mSocket.read_some(
            asio::buffer(mReadBuffer.data() + mReadUsed, mReadBuffer.size() - mReadUsed), ec);
        mReading.store(false);
        if (mShutDown.load()) {
            std::lock_guard<std::mutex> lock(mSocketMutex);
            CloseSocketIfUnusedLocked();
        }
        if (ec) {
            End(ec == asio::error::eof ? std::string("the peer closed the connection")
                                       : "read failed: " + ec.message());
            return false;
        }
        mReadUsed += bytes;
    }

    // Take every complete line out of the buffer. Only the bytes that came since the last look
    // can hold a new line feed.
    std::string lines;
    auto const* last = static_cast<char const*>(
        memrchr(mReadBuffer.data() + mReadScanned, '\n', mReadUsed - mReadScanned));
    if (last != nullptr) {
        std::size_t const end = static_cast<std::size_t>(last - mReadBuffer.data()) + 1;
        lines.assign(mReadBuffer.data(), end);
        std::memmove(mReadBuffer.data(), mReadBuffer.data() + end, mReadUsed - end);
        mReadUsed -= end;
    }
    mReadScanned = mReadUsed;
    if (mReadBuffer.size() > 4 * kReadChunk && mReadUsed < kReadChunk) {
        // A large message has passed: give the memory back.
        mReadBuffer.resize(kReadChunk);
        mReadBuffer.shrink_to_fit();
    }

    std::vector<json::object> messages;
    std::string failure;
    std::size_t begin = 0;
    while (begin < lines.size()) {
        std::size_t end = lines.find('\n', begin);
        std::size_t const next = end + 1;
        if (end > begin && lines[end - 1] == '\r') {
            --end;
        }
        std::string_view const line(lines.data() + begin, end - begin);
        begin = next;
        if (line.empty()) {
            continue;
        }
        if (line.size() > kMaxMessageBytes) {
            failure = "a message exceeds the size limit";
            break;
        }
        json::value value;
        std::string error;
        if (!mParser.Parse(line, value, error)) {
            failure = "unparsable message: " + error;
            break;
        }
        if (!value.is_object()) {
            failure = "a message is not a JSON object";
            break;
        }
        messages.push_back(std::move(value.get_object()));
    }
    if (failure.empty() && mReadUsed > kMaxMessageBytes) {
        failure = "a message exceeds the size limit";
    }
    if (!messages.empty()) {
        std::lock_guard<std::mutex> lock(mDeliveryMutex);
        if (!mEndQueued) {
            for (auto& message : messages) {
                mQueue.push_back(Delivery{std::move(message), false});
            }
        }
    }
    if (!failure.empty()) {
        End(failure);
        return false;
    }
    return true;
}

// ---- Writing ----------------------------------------------------------------------------------

bool SocketSession::SendMessage(json::object const& message) {
    SetLastSessionSentOnThisThread(shared_from_this());
    if (mClosed.load()) {
        return false;
    }
    std::string text = SerializeMessage(message);
    std::string failure;
    {
        std::lock_guard<std::mutex> lock(mSocketMutex);
        if (mShutDown.load()) {
            return false;
        }
        if (mWriterActive) {
            if (mWriteQueued.size() + text.size() > kMaxWriteBacklog) {
                failure = "the peer does not read its messages";
            } else {
                mWriteQueued.append(text);
            }
        } else {
            // Nothing queued: write straight from this thread, without a hand-off.
            ssize_t const sent = ::send(mFD, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent == static_cast<ssize_t>(text.size())) {
                return true;
            }
            if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                failure = std::string("write failed: ") + std::strerror(errno);
            } else {
                mWriteQueued.assign(text, sent > 0 ? static_cast<std::size_t>(sent) : 0);
                mWriterActive = true;
                mCore->PostTask([self = Self()] { self->WriteQueued(); });
            }
        }
    }
    if (!failure.empty()) {
        End(failure);
        return false;
    }
    return true;
}

void SocketSession::WriteQueued() {
    std::string chunk;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mSocketMutex);
            if (mShutDown.load() || mWriteQueued.empty()) {
                mWriterActive = false;
                mWriteQueued.clear();
                CloseSocketIfUnusedLocked();
                return;
            }
            chunk.swap(mWriteQueued);
            mWriteQueued.clear();
        }
        // Blocking: this worker waits for the peer; End's shutdown wakes it.
        boost::system::error_code ec;
        asio::write(mSocket, asio::buffer(chunk), ec);
        chunk.clear();
        if (ec) {
            End("write failed: " + ec.message());
        }
    }
}

void SocketSession::CloseSocketIfUnusedLocked() {
    if (mShutDown.load() && !mReading.load() && !mWriterActive && mSocket.is_open()) {
        boost::system::error_code ignored;
        mSocket.close(ignored);
    }
}

}  // namespace detail
}  // namespace basetransport
