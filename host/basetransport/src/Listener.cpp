#include "Listener.h"

#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/buffer.hpp>
#include <boost/make_shared.hpp>
#include <cerrno>
#include <utility>

#include "basekit/debug/Failure.h"

namespace basetransport {
namespace detail {

namespace {
namespace asio = boost::asio;
namespace json = boost::json;
using LocalSocket = asio::local::stream_protocol::socket;
// Pause before accepting again after a failed accept (for example out of descriptors).
constexpr std::chrono::milliseconds kAcceptRetry{50};
}  // namespace

// ---- Listener ---------------------------------------------------------------------------------

Listener::Listener(boost::weak_ptr<TransportState> state, BoundListener bound,
                   boost::shared_ptr<ListenConfig const> config)
    : mState(std::move(state)),
      mConfig(std::move(config)),
      mPath(bound.path),
      mInode(bound.inode),
      mAcceptor(mState.lock()->Core().Io()),
      mRetry(mAcceptor.get_executor()) {
    boost::system::error_code ec;
    mAcceptor.assign(asio::local::stream_protocol(), bound.fd, ec);
    if (ec) {
        ::close(bound.fd);
        mClosed = true;
        RemoveListenerFile(mPath, mInode);
    }
}

Listener::~Listener() {
    Close();
}

void Listener::Accept() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mClosed || mWaiting) {
        return;
    }
    mWaiting = true;
    mAcceptor.async_wait(
        Acceptor::wait_read,
        [self = shared_from_this()](boost::system::error_code const& ec) { self->OnReadable(ec); });
}

void Listener::Close() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mClosed) {
        return;
    }
    mClosed = true;
    boost::system::error_code ignored;
    mAcceptor.close(ignored);
    mRetry.cancel();
    RemoveListenerFile(mPath, mInode);
}

bool Listener::IsClosed() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mClosed;
}

void Listener::OnReadable(boost::system::error_code const& ec) {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mWaiting = false;
        if (mClosed || ec == asio::error::operation_aborted) {
            return;
        }
    }
    auto state = mState.lock();
    if (!state) {
        return;
    }
    for (;;) {
        if (!state->HasHandshakeRoom()) {
            return;  // paused: the next finished handshake calls Accept
        }
        int fd = -1;
        int error = 0;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (mClosed) {
                return;
            }
            fd = ::accept4(mAcceptor.native_handle(), nullptr, nullptr,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
            error = errno;
            if (fd < 0 && error != EAGAIN && error != EWOULDBLOCK && error != EINTR &&
                error != ECONNABORTED) {
                // Out of descriptors or memory: try again a little later.
                mRetry.expires_after(kAcceptRetry);
                mRetry.async_wait([self = shared_from_this()](boost::system::error_code const& e) {
                    if (!e) {
                        self->Accept();
                    }
                });
                return;
            }
        }
        if (fd >= 0) {
            Admit(state, fd);
        } else if (error == EAGAIN || error == EWOULDBLOCK) {
            break;
        }
    }
    Accept();
}

void Listener::Admit(boost::shared_ptr<TransportState> const& state, int fd) {
    PeerCredentials peer;
    if (!ReadPeerCredentials(fd, peer) || peer.uid != ::geteuid() ||
        !state->ReserveHandshake(peer.pid)) {
        // Another user, or a process that already has its share of pending handshakes.
        ::close(fd);
        return;
    }
    auto handshake = boost::make_shared<ServerHandshake>(state, fd, peer, mConfig);
    if (state->AddHandshake(handshake)) {
        handshake->Start();
    } else {
        handshake->Abort();
    }
}

// ---- ServerHandshake --------------------------------------------------------------------------

ServerHandshake::ServerHandshake(boost::shared_ptr<TransportState> state, int fd,
                                 PeerCredentials const& peer,
                                 boost::shared_ptr<ListenConfig const> config)
    : mState(std::move(state)),
      mConfig(std::move(config)),
      mPeer(peer),
      mSocket(mState->Core().Io()),
      mTimer(mSocket.get_executor()),
      mReader(mConfig->token) {
    boost::system::error_code ec;
    mSocket.assign(asio::local::stream_protocol(), fd, ec);
    if (ec) {
        ::close(fd);
        mPhase = Phase::Done;
    }
}

ServerHandshake::~ServerHandshake() {
    mState->ReleaseHandshake(mPeer.pid);
}

void ServerHandshake::Start() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mPhase != Phase::Reading) {
        return;
    }
    mTimer.expires_after(mState->GetHandshakeTimeout());
    mTimer.async_wait(
        [self = shared_from_this()](boost::system::error_code const& ec) { self->OnTimer(ec); });
    ReadLocked();
}

void ServerHandshake::Abort() {
    std::lock_guard<std::mutex> lock(mMutex);
    CloseLocked();
}

void ServerHandshake::CloseLocked() {
    mPhase = Phase::Done;
    boost::system::error_code ignored;
    mSocket.close(ignored);
    mTimer.cancel();
}

void ServerHandshake::ReadLocked() {
    mSocket.async_read_some(
        asio::buffer(mChunk, sizeof mChunk),
        [self = shared_from_this()](boost::system::error_code const& ec, std::size_t bytes) {
            self->OnRead(ec, bytes);
        });
}

void ServerHandshake::OnTimer(boost::system::error_code const& ec) {
    if (ec == asio::error::operation_aborted) {
        return;
    }
    // Silent for too long, or the refused client did not leave: drop the connection.
    std::lock_guard<std::mutex> lock(mMutex);
    if (mPhase != Phase::Done) {
        CloseLocked();
    }
}

void ServerHandshake::OnRead(boost::system::error_code const& ec, std::size_t bytes) {
    std::unique_lock<std::mutex> lock(mMutex);
    if (mPhase == Phase::Done) {
        return;
    }
    if (ec) {
        CloseLocked();
        return;
    }
    if (mPhase == Phase::Lingering) {
        ReadLocked();  // discard what the refused client still sends
        return;
    }
    if (!mReader.Feed(std::string_view(mChunk, bytes))) {
        ReadLocked();
        return;
    }
    if (!mReader.Verdict().accepted) {
        RefuseLocked(mReader.Verdict().answer);
        return;
    }
    mPhase = Phase::Done;
    mTimer.cancel();
    boost::system::error_code released;
    int const fd = mSocket.release(released);
    lock.unlock();
    if (!released) {
        Accepted(fd);
    }
}

void ServerHandshake::Accepted(int fd) {
    auto session = mState->AddSession(fd, mPeer.pid, false);
    if (!session) {
        return;
    }
    // The answer goes first; onSession runs before any message of the session is read.
    session->SendMessage(mReader.Verdict().answer);
    if (mConfig->onSession) {
        WorkerCore::BusyScope busy(mState->Core());
        try {
            mConfig->onSession(session);
        } catch (...) {
            BASEKIT_REPORT_CAUGHT("running a listener's new-session handler");
        }
    }
    session->Start(mReader.Rest());
}

void ServerHandshake::RefuseLocked(json::object const& answer) {
    std::string const text = SerializeMessage(answer);
    // The answer is short and nothing else was sent, so it fits the socket buffer.
    (void)::send(mSocket.native_handle(), text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(mSocket.native_handle(), SHUT_WR);
    mPhase = Phase::Lingering;
    mTimer.expires_after(kLinger);
    mTimer.async_wait(
        [self = shared_from_this()](boost::system::error_code const& ec) { self->OnTimer(ec); });
    ReadLocked();
}

}  // namespace detail
}  // namespace basetransport
