#include "TransportState.h"

#include <unistd.h>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/make_shared.hpp>

#include "Listener.h"
#include "basekit/debug/Failure.h"

namespace basetransport {
namespace detail {

TransportState::TransportState(boost::shared_ptr<WorkerCore> core) : mCore(std::move(core)) {}

boost::shared_ptr<SocketSession> TransportState::AddSession(int fd, std::int64_t peerProcessID,
                                                            bool callersLead) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mFinal) {
        ::close(fd);
        return boost::shared_ptr<SocketSession>();
    }
    auto session = boost::make_shared<SocketSession>(
        mCore, fd, boost::weak_ptr<SessionOwner>(shared_from_this()), peerProcessID, mDeliveryGrace,
        callersLead);
    mSessions.emplace(session->GetID(), session);
    return session;
}

void TransportState::OnSessionEnded(SessionPtr const& session) {
    std::vector<boost::function<TransportError(SessionPtr)>> handlers;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        for (auto const& entry : mHandlers) {
            handlers.push_back(entry.second);
        }
    }
    for (auto const& handler : handlers) {
        try {
            handler(session);
        } catch (...) {
            BASEKIT_REPORT_CAUGHT("running a transport's session handler");
        }
    }
    std::lock_guard<std::mutex> lock(mMutex);
    mSessions.erase(session->GetID());
    mSessionGone.notify_all();
}

SessionHandlerID TransportState::AddSessionHandler(
    boost::function<TransportError(SessionPtr)> handler) {
    SessionHandlerID const id = SessionHandlerID::CreateUnique();
    std::lock_guard<std::mutex> lock(mMutex);
    mHandlers.emplace(id, std::move(handler));
    return id;
}

void TransportState::RemoveSessionHandler(SessionHandlerID const& id) {
    std::lock_guard<std::mutex> lock(mMutex);
    mHandlers.erase(id);
}

void TransportState::SetToken(std::string const& key, std::string const& token) {
    std::lock_guard<std::mutex> lock(mMutex);
    mTokens[key] = token;
}

std::string TransportState::GetToken(std::string const& key) const {
    std::lock_guard<std::mutex> lock(mMutex);
    auto const it = mTokens.find(key);
    return it == mTokens.end() ? std::string() : it->second;
}

std::chrono::milliseconds TransportState::GetHandshakeTimeout() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mHandshakeTimeout;
}

void TransportState::SetHandshakeTimeout(std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> lock(mMutex);
    mHandshakeTimeout = timeout;
}

void TransportState::SetDeliveryGrace(std::chrono::microseconds grace) {
    std::lock_guard<std::mutex> lock(mMutex);
    mDeliveryGrace = grace;
}

bool TransportState::AddListener(boost::shared_ptr<Listener> const& listener) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mFinal) {
        return false;
    }
    mListeners.push_back(listener);
    return true;
}

bool TransportState::AddHandshake(boost::shared_ptr<ServerHandshake> const& handshake) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mFinal) {
        return false;
    }
    // Forget handshakes that have finished.
    std::vector<boost::weak_ptr<ServerHandshake>> live;
    for (auto const& pending : mHandshakes) {
        if (!pending.expired()) {
            live.push_back(pending);
        }
    }
    live.push_back(handshake);
    mHandshakes.swap(live);
    return true;
}

bool TransportState::HasHandshakeRoom() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mPending < SocketTransport::kMaxPendingHandshakes;
}

bool TransportState::ReserveHandshake(pid_t pid) {
    std::lock_guard<std::mutex> lock(mMutex);
    int& ofProcess = mPendingByProcess[pid];
    if (ofProcess >= SocketTransport::kMaxPendingHandshakesPerProcess) {
        return false;
    }
    ++ofProcess;
    ++mPending;
    return true;
}

void TransportState::ReleaseHandshake(pid_t pid) {
    std::vector<boost::shared_ptr<Listener>> paused;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        auto const it = mPendingByProcess.find(pid);
        if (it != mPendingByProcess.end() && --it->second <= 0) {
            mPendingByProcess.erase(it);
        }
        bool const wasFull = mPending >= SocketTransport::kMaxPendingHandshakes;
        --mPending;
        if (wasFull) {
            paused = mListeners;
        }
    }
    for (auto const& listener : paused) {
        listener->Accept();
    }
}

void TransportState::Shutdown(bool final) {
    std::vector<boost::shared_ptr<Listener>> listeners;
    std::vector<boost::weak_ptr<ServerHandshake>> handshakes;
    std::vector<boost::shared_ptr<SocketSession>> sessions;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mFinal = mFinal || final;
        listeners.swap(mListeners);
        handshakes.swap(mHandshakes);
        for (auto const& entry : mSessions) {
            sessions.push_back(entry.second);
        }
    }
    for (auto const& listener : listeners) {
        listener->Close();
    }
    for (auto const& pending : handshakes) {
        if (auto handshake = pending.lock()) {
            handshake->Abort();
        }
    }
    for (auto const& session : sessions) {
        session->Close();
    }
}

void TransportState::WaitForSessionsToEnd(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mMutex);
    mSessionGone.wait_for(lock, timeout, [this] { return mSessions.empty(); });
}

bool IsLocalHost(std::string const& host) {
    if (host.empty() || host == "localhost") {
        return true;
    }
    boost::system::error_code ec;
    auto const address = boost::asio::ip::make_address_v4(host, ec);
    return !ec && address.is_loopback();
}

std::string TokenKey(std::string const& host, std::uint16_t port) {
    return (IsLocalHost(host) ? std::string("local") : host) + ":" + std::to_string(port);
}

}  // namespace detail
}  // namespace basetransport
