#pragma once
// The first exchange of every session: the client's "transport.hello" request and the server's
// answer.
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/json/object.hpp>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "MessageCodec.h"

namespace basetransport {
namespace detail {

constexpr char kHelloMethod[] = "transport.hello";
// A handshake line longer than this ends the connection.
constexpr std::size_t kMaxHandshakeBytes = 64 * 1024;

// The server's judgement of a first message.
struct HelloVerdict {
    bool accepted = false;
    boost::json::object answer;  // the result or error answer to send back
    std::int64_t peerProcessID = 0;
};
HelloVerdict JudgeHello(std::string_view line, std::string const& token, MessageParser& parser);

// Client side, on the calling thread: connects to address:port, sends the hello with `token`
// and reads the answer, all within `timeout`.
struct GreetResult {
    int fd = -1;           // the connected socket (non-blocking), or -1 on failure
    std::string received;  // bytes that arrived after the answer line
    std::int64_t peerProcessID = 0;
    std::string error;  // why it failed
};
GreetResult ConnectAndGreet(boost::asio::ip::address_v4 const& address, std::uint16_t port,
                            std::string const& token, std::chrono::milliseconds timeout);

// Takes a connected socket into blocking mode (sessions read and write with blocking calls).
// Such sockets belong to an io_context that no thread runs, so that data arriving on them never
// wakes a reactor. Closes the descriptor and returns a closed socket on failure.
boost::asio::ip::tcp::socket BlockingSocket(int fd);

// Sets TCP_NODELAY and close-on-exec (a server started by this process must not inherit the
// connection, or the peer would not see it end when this process dies).
void ConfigureSocket(int fd);

}  // namespace detail
}  // namespace basetransport
