#include "basetransport/SocketTransport.h"

#include <sys/resource.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <mutex>

#include "Handshake.h"
#include "Listener.h"
#include "LocalSocket.h"
#include "TransportState.h"
#include "WorkerCore.h"
#include "basetransport/LocalFolder.h"

namespace basetransport {

namespace {

using detail::TransportState;
using detail::WorkerCore;

// How long destruction waits for sessions to run their end handlers and for threads to leave.
constexpr std::chrono::milliseconds kStopGrace{2000};

// A server holds a descriptor per session: the soft limit (often 1024) would cap it well below
// what the transport can serve.
void RaiseDescriptorLimit() {
    static std::once_flag sOnce;
    std::call_once(sOnce, [] {
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = limit.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
    });
}

class SocketTransportImpl final : public SocketTransport {
  public:
    SocketTransportImpl() : mState(boost::make_shared<TransportState>(WorkerCore::Create())) {}

    ~SocketTransportImpl() override {
        mState->Shutdown(true);
        mState->WaitForSessionsToEnd(kStopGrace);
        mState->CorePtr()->Stop(kStopGrace);
    }

    void SetServerToken(std::string const& host, std::uint16_t port,
                        std::string const& token) override {
        mState->SetToken(detail::TokenKey(host, port), token);
    }

    SessionPtr ClientStart(std::string const& host, std::uint16_t port) override {
        if (!detail::IsLocalHost(host) || port == 0) {
            return SessionPtr();
        }
        std::string const folder = PrivateFolder();
        if (folder.empty()) {
            return SessionPtr();
        }
        auto const deadline = detail::Clock::now() + mState->GetHandshakeTimeout();
        std::string error;
        int const fd = detail::ConnectListener(ListenerPath(folder, port), deadline, error);
        if (fd < 0) {
            return SessionPtr();
        }
        detail::PeerCredentials server;
        if (!detail::ReadPeerCredentials(fd, server) || server.uid != ::geteuid()) {
            ::close(fd);  // not our own server: it must not see our token
            return SessionPtr();
        }
        detail::GreetResult const greeting =
            detail::Greet(fd, mState->GetToken(detail::TokenKey(host, port)), deadline);
        if (!greeting.accepted) {
            ::close(fd);
            return SessionPtr();
        }
        auto session = mState->AddSession(fd, server.pid, true);
        if (!session) {
            return SessionPtr();
        }
        session->Start(greeting.received);
        return session;
    }

    SessionHandlerID AddSessionHandler(
        boost::function<TransportError(SessionPtr)> handler) override {
        return mState->AddSessionHandler(std::move(handler));
    }

    void RemoveSessionHandler(SessionHandlerID const& id) override {
        mState->RemoveSessionHandler(id);
    }

    std::uint16_t Listen(std::uint16_t port, std::string const& token,
                         boost::function<void(SessionPtr)> onSession) override {
        std::string const folder = PrivateFolder();
        if (folder.empty()) {
            return 0;
        }
        RaiseDescriptorLimit();
        detail::BoundListener bound = detail::BindListener(folder, port);
        if (bound.fd < 0) {
            return 0;
        }
        std::uint16_t const listening = bound.port;
        auto config = boost::make_shared<detail::ListenConfig>();
        config->token = token;
        config->onSession = std::move(onSession);
        auto listener = boost::make_shared<detail::Listener>(
            boost::weak_ptr<TransportState>(mState), std::move(bound), config);
        if (listener->IsClosed() || !mState->AddListener(listener)) {
            listener->Close();
            return 0;
        }
        listener->Accept();
        return listening;
    }

    void Shutdown() override { mState->Shutdown(false); }

    void SetHandshakeTimeout(std::chrono::milliseconds timeout) override {
        mState->SetHandshakeTimeout(timeout);
    }

    void SetDeliveryGrace(std::chrono::microseconds grace) override {
        mState->SetDeliveryGrace(grace);
    }

  private:
    boost::shared_ptr<TransportState> const mState;
};

}  // namespace

boost::shared_ptr<SocketTransport> SocketTransport::Create() {
    return boost::make_shared<SocketTransportImpl>();
}

}  // namespace basetransport
