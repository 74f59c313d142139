// A session's writing: straight from the sending thread while nothing is queued, otherwise from
// the event loop as the socket drains.
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "Registry.h"
#include "SocketSession.h"

namespace basetransport {
namespace detail {

namespace {

namespace json = boost::json;

// Compacts the write queue once this much of it has been sent.
constexpr std::size_t kCompactWritten = 64 * 1024;
// A sending thread keeps the memory of its last message's text up to this size.
constexpr std::size_t kKeepText = 64 * 1024;

// The text of the message being sent. Each thread reuses its own, so a message's text costs no
// allocation; the memory of an unusually long one is given back when its sending ends.
class SendText {
  public:
    SendText() : mText(Reused()) {}
    ~SendText() {
        if (mText.capacity() > kKeepText) {
            std::string().swap(mText);
        }
    }
    SendText(SendText const&) = delete;
    SendText& operator=(SendText const&) = delete;
    std::string& Text() { return mText; }

  private:
    static std::string& Reused() {
        thread_local std::string text;
        return text;
    }
    std::string& mText;
};

}  // namespace

bool SocketSession::SendMessage(json::object const& message) {
    SetLastSessionSentOnThisThread(shared_from_this());
    if (mClosed.load()) {
        return false;
    }
    SendText send;
    std::string& text = send.Text();
    SerializeMessage(message, text);
    std::string failure;
    {
        std::lock_guard<std::mutex> lock(mSocketMutex);
        if (mShutDown) {
            return false;
        }
        if (!mWriteQueued.empty()) {
            if (mWriteQueued.size() + text.size() > kMaxWriteBacklog) {
                failure = "the peer does not read its messages";
            } else {
                mWriteQueued.append(text);
            }
        } else {
            // Nothing queued: write straight from this thread, without a hand-off.
            ssize_t sent;
            do {
                sent = ::send(mFD, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            } while (sent < 0 && errno == EINTR);
            if (sent == static_cast<ssize_t>(text.size())) {
                return true;
            }
            if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                failure = std::string("write failed: ") + std::strerror(errno);
            } else {
                mWriteQueued.assign(text, sent > 0 ? static_cast<std::size_t>(sent) : 0);
                if (!WaitForRoomLocked()) {
                    failure = std::string("cannot wait for the socket: ") + std::strerror(errno);
                }
            }
        }
    }
    if (!failure.empty()) {
        End(failure);
        return false;
    }
    return true;
}

bool SocketSession::WaitForRoomLocked() {
    if (mWriterWaiting) {
        return true;
    }
    if (!mWaits.IsOpen()) {
        errno = EBADF;
        return false;
    }
    boost::weak_ptr<SocketSession> weak(Self());
    mWriterWaiting =
        mWaits.ArmAndWait(SocketWaits::kWrite, [weak](boost::system::error_code const&) {
            if (auto self = weak.lock()) {
                self->WriteQueued();
            }
        });
    return mWriterWaiting;
}

void SocketSession::WriteQueued() {
    std::string failure;
    {
        std::lock_guard<std::mutex> lock(mSocketMutex);
        mWriterWaiting = false;
        mWaits.Taken(SocketWaits::kWrite);
        if (mShutDown) {
            mWriteQueued.clear();
            return;
        }
        std::size_t written = 0;
        while (written < mWriteQueued.size()) {
            ssize_t const n = ::send(mFD, mWriteQueued.data() + written,
                                     mWriteQueued.size() - written, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                written += static_cast<std::size_t>(n);
                if (written >= kCompactWritten) {
                    mWriteQueued.erase(0, written);
                    written = 0;
                }
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else {
                failure = std::string("write failed: ") + std::strerror(errno);
                break;
            }
        }
        mWriteQueued.erase(0, written);
        if (failure.empty() && !mWriteQueued.empty() && !WaitForRoomLocked()) {
            failure = std::string("cannot wait for the socket: ") + std::strerror(errno);
        }
    }
    if (!failure.empty()) {
        End(failure);
    }
}

}  // namespace detail
}  // namespace basetransport
