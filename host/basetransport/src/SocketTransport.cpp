#include "basetransport/SocketTransport.h"

#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/make_shared.hpp>

#include "Handshake.h"
#include "Listener.h"
#include "TransportState.h"
#include "WorkerCore.h"

namespace basetransport {

namespace {

namespace asio = boost::asio;
using detail::TransportState;
using detail::WorkerCore;

// How long destruction waits for sessions to run their end handlers and for threads to leave.
constexpr std::chrono::milliseconds kStopGrace{2000};

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
        auto const address = detail::LoopbackAddress(host);
        if (!address || port == 0) {
            return SessionPtr();
        }
        detail::GreetResult greeting =
            detail::ConnectAndGreet(*address, port, mState->GetToken(detail::TokenKey(host, port)),
                                    mState->GetHandshakeTimeout());
        if (greeting.fd < 0) {
            return SessionPtr();
        }
        asio::ip::tcp::socket socket = detail::BlockingSocket(greeting.fd);
        if (!socket.is_open()) {
            return SessionPtr();
        }
        auto session = mState->AddSession(std::move(socket), greeting.peerProcessID);
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
        boost::system::error_code ec;
        asio::ip::tcp::acceptor acceptor(mState->Core().Io());
        asio::ip::tcp::endpoint const endpoint(asio::ip::address_v4::loopback(), port);
        acceptor.open(endpoint.protocol(), ec);
        if (!ec) {
            detail::ConfigureSocket(acceptor.native_handle());
            acceptor.set_option(asio::socket_base::reuse_address(true), ec);
        }
        if (!ec) {
            acceptor.bind(endpoint, ec);
        }
        if (!ec) {
            acceptor.listen(asio::socket_base::max_listen_connections, ec);
        }
        std::uint16_t bound = 0;
        if (!ec) {
            bound = acceptor.local_endpoint(ec).port();
        }
        if (ec || bound == 0) {
            return 0;
        }
        auto config = boost::make_shared<detail::ListenConfig>();
        config->token = token;
        config->onSession = std::move(onSession);
        auto listener = boost::make_shared<detail::Listener>(
            boost::weak_ptr<TransportState>(mState), std::move(acceptor), config);
        if (!mState->AddListener(listener)) {
            return 0;
        }
        listener->Accept();
        return bound;
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
