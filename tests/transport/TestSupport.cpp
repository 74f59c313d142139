#include "TestSupport.h"

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/json/serialize.hpp>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "basetransport/LocalFolder.h"

namespace vireo::test::transport {

namespace {

// The program's private folder: made before the first test, removed after the last.
class PrivateFolderEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        char pattern[] = "/tmp/vireo-transport-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        mDir = pattern;
        ::setenv("CORVIDHOST_REGISTRY_DIR", mDir.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(mDir, ignored);
    }

  private:
    std::string mDir;
};

[[maybe_unused]] ::testing::Environment* const gFolder =
    ::testing::AddGlobalTestEnvironment(new PrivateFolderEnvironment());

}  // namespace

using basekit::serialization::MakeVariant;
using basekit::serialization::VariantObject;
using basekit::serialization::VariantPtr;

basemarshal::RPCClient::ResultHandler Outcome::ResultHandler() {
    return [this](VariantPtr const& value, std::int64_t) {
        std::lock_guard<std::mutex> lock(mutex);
        ++results;
        result = value;
        handlerThread = std::this_thread::get_id();
        changed.notify_all();
    };
}

basemarshal::RPCClient::ErrorHandler Outcome::ErrorHandler() {
    return [this](long c, std::u16string const& text, std::int64_t) {
        std::lock_guard<std::mutex> lock(mutex);
        ++errors;
        code = c;
        message = text;
        handlerThread = std::this_thread::get_id();
        changed.notify_all();
    };
}

bool Outcome::Wait(Milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, Scaled(timeout), [this] { return results + errors > 0; });
}

int Outcome::Handled() {
    std::lock_guard<std::mutex> lock(mutex);
    return results + errors;
}

std::shared_ptr<Outcome> Call(basemarshal::RPCClient& client, char const* method,
                              boost::any const& params, Milliseconds timeout) {
    auto outcome = std::make_shared<Outcome>();
    client.SendRequest(basekit::serialization::BuildCall(method, params), outcome->ResultHandler(),
                       outcome->ErrorHandler(), 0);
    outcome->Wait(timeout);
    return outcome;
}

void AddEcho(basemarshal::RPCServer& server) {
    server.AddMethod("Echo", [](basetransport::SessionPtr const&, VariantPtr const& params,
                                basemarshal::Responder const& responder) {
        VariantObject result;
        result["value"] = params;
        responder.Reply(MakeVariant(result));
    });
}

Loopback::Loopback(std::string t)
    : token(std::move(t)),
      serverTransport(basetransport::SocketTransport::Create()),
      clientTransport(basetransport::SocketTransport::Create()) {
    AddEcho(server);
    port = serverTransport->Listen(0, token, [this](basetransport::SessionPtr session) {
        server.Attach(session);
        std::lock_guard<std::mutex> lock(mMutex);
        mSessions.push_back(session);
    });
    clientTransport->SetServerToken("127.0.0.1", port, token);
}

Loopback::~Loopback() {
    Stop();
}

void Loopback::Stop() {
    clientTransport.reset();
    serverTransport.reset();
}

basetransport::SessionPtr Loopback::Connect() {
    return clientTransport->ClientStart("127.0.0.1", port);
}

basetransport::SessionPtr Loopback::ServerSession(std::size_t index) {
    basetransport::SessionPtr session;
    Eventually([&] {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mSessions.size() > index) {
            session = mSessions[index];
        }
        return session != nullptr;
    });
    return session;
}

std::size_t Loopback::SessionCount() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mSessions.size();
}

std::string ListenerFile(std::uint16_t port) {
    return basetransport::ListenerPath(basetransport::PrivateFolder(), port);
}

RawConnection::RawConnection(std::uint16_t port) {
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string const path = ListenerFile(port);
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        connectError = errno;
        ::close(fd);
        fd = -1;
    }
}

RawConnection::~RawConnection() {
    if (fd >= 0) {
        ::close(fd);
    }
}

bool RawConnection::Send(std::string const& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t const n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::string RawConnection::ReadLine(Milliseconds timeout) {
    auto const deadline = Clock::now() + Scaled(timeout);
    for (;;) {
        auto const newline = mPending.find('\n');
        if (newline != std::string::npos) {
            std::string line = mPending.substr(0, newline);
            mPending.erase(0, newline + 1);
            return line;
        }
        auto const left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLIN, 0};
        if (fd < 0 || left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return std::string();
        }
        char chunk[4096];
        ssize_t const n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return std::string();
        }
        mPending.append(chunk, static_cast<std::size_t>(n));
    }
}

bool RawConnection::WaitForClose(Milliseconds timeout) {
    auto const deadline = Clock::now() + Scaled(timeout);
    for (;;) {
        auto const left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char chunk[4096];
        ssize_t const n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return true;
        }
    }
}

std::string Hello(std::string const& token, std::int64_t protocol) {
    boost::json::object hello{{"jsonrpc", "2.0"}, {"id", 0}, {"method", "transport.hello"}};
    hello["params"] = boost::json::object{{"protocol", protocol}, {"token", token}};
    return boost::json::serialize(hello) + "\n";
}

std::string RawConnection::Hello(std::string const& token, std::int64_t protocol) {
    Send(transport::Hello(token, protocol));
    return ReadLine();
}

}  // namespace vireo::test::transport
