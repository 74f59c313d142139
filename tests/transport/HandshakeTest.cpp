// The first exchange of a session: who gets in, what refused peers are told, and that nothing
// waits for ever.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <boost/json/parse.hpp>

#include "TestSupport.h"

namespace transporttest {
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
    EXPECT_TRUE(WaitUntil([&] { return accepted.load() == 1; }));
}

TEST(TransportHandshake, RefusalsSayWhy) {
    Loopback loop;
    {
        RawConnection raw(loop.port);
        json::object answer = ParseAnswer(raw.Hello("not the token", kProtocolVersion));
        ASSERT_TRUE(answer.contains("error"));
        EXPECT_EQ(answer["error"].at("code").to_number<std::int64_t>(),
                  basetransport::kErrorHandshakeRefused);
        EXPECT_TRUE(raw.WaitForClose());
    }
    {
        RawConnection raw(loop.port);
        json::object answer = ParseAnswer(raw.Hello(loop.token, kProtocolVersion + 1));
        ASSERT_TRUE(answer.contains("error"));
        EXPECT_EQ(answer["error"].at("code").to_number<std::int64_t>(),
                  basetransport::kErrorProtocolVersion);
        EXPECT_TRUE(raw.WaitForClose());
    }
    {
        RawConnection raw(loop.port);
        ASSERT_TRUE(raw.Send("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"Echo\",\"params\":[]}\n"));
        json::object answer = ParseAnswer(raw.ReadLine());
        ASSERT_TRUE(answer.contains("error"));
        EXPECT_EQ(answer["error"].at("code").to_number<std::int64_t>(), -32600);
        EXPECT_TRUE(raw.WaitForClose());
    }
    {
        RawConnection raw(loop.port);
        ASSERT_TRUE(raw.Send("garbage\n"));
        json::object answer = ParseAnswer(raw.ReadLine());
        EXPECT_EQ(answer["error"].at("code").to_number<std::int64_t>(), -32700);
        EXPECT_TRUE(raw.WaitForClose());
    }
    EXPECT_EQ(loop.SessionCount(), 0u) << "none of them became a session";
}

TEST(TransportHandshake, SilentConnectionIsDropped) {
    Loopback loop;
    loop.serverTransport->SetHandshakeTimeout(Milliseconds(200));
    RawConnection raw(loop.port);
    ASSERT_GE(raw.fd, 0);
    EXPECT_TRUE(raw.WaitForClose(Milliseconds(5000)));
}

TEST(TransportHandshake, ClientStartGivesUp) {
    auto client = basetransport::SocketTransport::Create();
    client->SetHandshakeTimeout(Milliseconds(300));

    // A listener that accepts but never answers.
    int const listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::uint16_t const mute = ntohs(address.sin_port);
    EXPECT_FALSE(client->ClientStart("127.0.0.1", mute));

    ::close(listener);  // nothing listens there any more: refused at once
    EXPECT_FALSE(client->ClientStart("127.0.0.1", mute));
    // Only loopback addresses are used.
    EXPECT_FALSE(client->ClientStart("192.0.2.1", 9));
    EXPECT_FALSE(client->ClientStart("127.0.0.1", 0));
}

}  // namespace
}  // namespace transporttest
