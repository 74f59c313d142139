#include "Listener.h"

#include <sys/socket.h>

#include <boost/asio/buffer.hpp>
#include <boost/make_shared.hpp>
#include <cstring>
#include <utility>

#include "Handshake.h"

namespace basetransport {
namespace detail {

namespace {
namespace asio = boost::asio;
namespace json = boost::json;
// Pause before accepting again after a failed accept (for example out of descriptors).
constexpr std::chrono::milliseconds kAcceptRetry{50};
}  // namespace

// ---- Listener ---------------------------------------------------------------------------------

Listener::Listener(boost::weak_ptr<TransportState> state, asio::ip::tcp::acceptor acceptor,
                   boost::shared_ptr<ListenConfig const> config)
    : mState(std::move(state)),
      mConfig(std::move(config)),
      mAcceptor(std::move(acceptor)),
      mRetry(mAcceptor.get_executor()) {}

void Listener::Accept() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mClosed) {
        return;
    }
    mAcceptor.async_accept([self = shared_from_this()](boost::system::error_code const& ec,
                                                       asio::ip::tcp::socket socket) {
        self->OnAccept(ec, std::move(socket));
    });
}

void Listener::Close() {
    std::lock_guard<std::mutex> lock(mMutex);
    mClosed = true;
    boost::system::error_code ignored;
    mAcceptor.close(ignored);
    mRetry.cancel();
}

void Listener::OnAccept(boost::system::error_code const& ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted) {
        return;
    }
    if (ec) {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mClosed) {
            return;
        }
        mRetry.expires_after(kAcceptRetry);
        mRetry.async_wait([self = shared_from_this()](boost::system::error_code const& e) {
            if (!e) {
                self->Accept();
            }
        });
        return;
    }
    auto state = mState.lock();
    if (!state) {
        return;
    }
    ConfigureSocket(socket.native_handle());
    boost::system::error_code ignored;
    socket.non_blocking(true, ignored);
    auto handshake = boost::make_shared<ServerHandshake>(state, std::move(socket), mConfig);
    if (state->AddHandshake(handshake)) {
        handshake->Start();
    } else {
        handshake->Abort();
    }
    Accept();
}

// ---- ServerHandshake --------------------------------------------------------------------------

ServerHandshake::ServerHandshake(boost::shared_ptr<TransportState> state,
                                 asio::ip::tcp::socket socket,
                                 boost::shared_ptr<ListenConfig const> config)
    : mState(std::move(state)),
      mConfig(std::move(config)),
      mSocket(std::move(socket)),
      mTimer(mSocket.get_executor()),
      mBuffer(kMaxHandshakeBytes, '\0') {}

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
    if (mUsed == mBuffer.size()) {
        // Lingering: discard what the refused client still sends.
        mUsed = 0;
    }
    mSocket.async_read_some(
        asio::buffer(&mBuffer[mUsed], mBuffer.size() - mUsed),
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
        mUsed = 0;
        ReadLocked();
        return;
    }
    std::size_t const before = mUsed;
    mUsed += bytes;
    auto const* newline =
        static_cast<char const*>(std::memchr(mBuffer.data() + before, '\n', mUsed - before));
    if (newline == nullptr) {
        if (mUsed == mBuffer.size()) {
            lock.unlock();
            json::object answer;
            answer["jsonrpc"] = "2.0";
            answer["id"] = nullptr;
            answer["error"] = json::object{{"code", -32600}, {"message", "handshake too long"}};
            Refuse(answer);
            return;
        }
        ReadLocked();
        return;
    }
    std::size_t const lineEnd = static_cast<std::size_t>(newline - mBuffer.data());
    HelloVerdict verdict =
        JudgeHello(std::string_view(mBuffer.data(), lineEnd), mConfig->token, mParser);
    if (!verdict.accepted) {
        lock.unlock();
        Refuse(verdict.answer);
        return;
    }
    mPhase = Phase::Done;
    mTimer.cancel();
    std::string const rest = mBuffer.substr(lineEnd + 1, mUsed - lineEnd - 1);
    boost::system::error_code released;
    int const fd = mSocket.release(released);
    lock.unlock();
    if (released) {
        return;
    }
    auto session = mState->AddSession(BlockingSocket(fd), verdict.peerProcessID);
    if (!session) {
        return;
    }
    // The answer goes first; onSession runs before any message of the session is read.
    session->SendMessage(verdict.answer);
    if (mConfig->onSession) {
        WorkerCore::BusyScope busy(mState->Core());
        try {
            mConfig->onSession(session);
        } catch (...) {
        }
    }
    session->Start(rest);
}

void ServerHandshake::Refuse(json::object const& answer) {
    std::string const text = SerializeMessage(answer);
    std::lock_guard<std::mutex> lock(mMutex);
    if (mPhase != Phase::Reading) {
        return;
    }
    // The answer is short and nothing else was sent, so it fits the socket buffer.
    (void)::send(mSocket.native_handle(), text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    boost::system::error_code ignored;
    mSocket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    mPhase = Phase::Lingering;
    mTimer.expires_after(kLinger);
    mTimer.async_wait(
        [self = shared_from_this()](boost::system::error_code const& ec) { self->OnTimer(ec); });
    mUsed = 0;
    ReadLocked();
}

}  // namespace detail
}  // namespace basetransport
