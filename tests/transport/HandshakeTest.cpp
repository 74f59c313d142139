// The first exchange of a session: who gets in, what refused peers are told, and that nothing
// waits for ever.
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/json/parse.hpp>
#include <cstring>

#include "TestSupport.h"

namespace vireo::test::transport {
namespace {

namespace json = boost::json;
using basetransport::kProtocolVersion;

json::object ParseAnswer(std::string const& line) {
    json::error_code ec;
    json::value value = json::parse(line, ec);
    return !ec && value.is_object() ? value.get_object() : json::object();
}

TEST(TransportHandshake, TokenDecidesWhoGetsIn) {
    std::atomic<int> accepted{0};
    auto transport = basetransport::SocketTransport::Create();
    std::uint16_t const port =
        transport->Listen(0, "right", [&](basetransport::SessionPtr) { accepted.fetch_add(1); });
    ASSERT_NE(port, 0);

    auto client = basetransport::SocketTransport::Create();
    EXPECT_FALSE(client->ClientStart("127.0.0.1", port)) << "no token recorded";
    client->SetServerToken("127.0.0.1", port, "wrong");
    EXPECT_FALSE(client->ClientStart("127.0.0.1", port));
    client->SetServerToken("localhost", port, "right");  // same address, other spelling
    auto session = client->ClientStart("127.0.0.1", port);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->GetPeerProcessID(), ::getpid());
    EXPECT_TRUE(Eventually([&] { return accepted.load() == 1; }));
}

TEST(TransportHandshake, RefusalsSayWhyAndSilenceIsDropped) {
    Loopback loop;
    struct Case {
        std::string first;  // the first line sent
        std::int64_t code;
    } const cases[] = {
        {Hello("not the token", kProtocolVersion), basetransport::kErrorHandshakeRefused},
        {Hello(loop.token, kProtocolVersion + 1), basetransport::kErrorProtocolVersion},
        {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"Echo\",\"params\":[]}\n", -32600},
        {"garbage\n", -32700}};
    for (auto const& c : cases) {
        SCOPED_TRACE(c.first);
        RawConnection raw(loop.port);
        ASSERT_TRUE(raw.Send(c.first));
        json::object answer = ParseAnswer(raw.ReadLine());
        ASSERT_TRUE(answer.contains("error"));
        EXPECT_EQ(answer["error"].at("code").to_number<std::int64_t>(), c.code);
        EXPECT_TRUE(raw.WaitForClose());
    }
    loop.serverTransport->SetHandshakeTimeout(Milliseconds(200));
    RawConnection silent(loop.port);
    ASSERT_GE(silent.fd, 0);
    EXPECT_TRUE(silent.WaitForClose());
    EXPECT_EQ(loop.SessionCount(), 0u) << "none of them became a session";
}

TEST(TransportHandshake, ClientStartGivesUp) {
    auto client = basetransport::SocketTransport::Create();
    client->SetHandshakeTimeout(Milliseconds(300));

    // A listener that never accepts, let alone answers.
    constexpr std::uint16_t kMute = 7;
    int const listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string const path = ListenerFile(kMute);
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    auto const start = Clock::now();
    EXPECT_FALSE(client->ClientStart("127.0.0.1", kMute));
    EXPECT_LT(Clock::now() - start, Bound());

    ::close(listener);  // nothing listens there any more: refused at once
    EXPECT_FALSE(client->ClientStart("127.0.0.1", kMute));
    ::unlink(path.c_str());
    EXPECT_FALSE(client->ClientStart("127.0.0.1", kMute));  // and no file at all
    // Only this machine is reached.
    EXPECT_FALSE(client->ClientStart("192.0.2.1", 9));
    EXPECT_FALSE(client->ClientStart("127.0.0.1", 0));
}

// A process of the same user that opens connections and never greets holds a handshake slot
// with each, but only its share: more of its connections are closed at once, and other
// processes still get in.
TEST(TransportHandshake, PendingHandshakesAreCappedPerProcess) {
    Loopback loop;
    // No slot may run out before the test has looked at them.
    loop.serverTransport->SetHandshakeTimeout(Bound(Milliseconds(60000)));
    constexpr int kShare = basetransport::SocketTransport::kMaxPendingHandshakesPerProcess;
    std::string const path = ListenerFile(loop.port);
    timeval const patience{static_cast<time_t>(Bound(Milliseconds(20000)).count() / 1000), 0};
    int report[2];
    int release[2];
    ASSERT_EQ(::pipe(report), 0);
    ASSERT_EQ(::pipe(release), 0);
    pid_t const child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only system calls from here on: this copy of the process has one thread.
        ::close(report[0]);
        ::close(release[1]);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        int fds[kShare + 8];
        for (int& fd : fds) {
            fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                ::_exit(2);
            }
        }
        // The ones beyond the share are closed by the server without a word.
        char closed = 0;
        for (int i = kShare; i < kShare + 8; ++i) {
            char byte;
            if (::read(fds[i], &byte, 1) == 0) {
                ++closed;
            }
        }
        (void)!::write(report[1], &closed, 1);
        char byte;
        (void)!::read(release[0], &byte, 1);  // hold the rest until told
        ::_exit(0);
    }
    ::close(report[1]);
    ::close(release[0]);
    char closed = 0;
    ASSERT_EQ(::read(report[0], &closed, 1), 1);
    EXPECT_EQ(closed, 8);
    // The child's silent connections do not keep this process out.
    auto const start = Clock::now();
    basemarshal::RPCClient client(loop.Connect(), u"test");
    EXPECT_EQ(Call(client, "Echo", basekit::serialization::VariantArray())->results, 1);
    EXPECT_LT(Clock::now() - start, Bound(Milliseconds(2000)));
    ::close(release[1]);
    ::close(report[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace vireo::test::transport
