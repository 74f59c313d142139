#pragma once
// The first exchange of every session: the client's "transport.hello" request and the server's
// answer. Who the peer is (process and user) comes from the kernel, not from the hello.
#include <boost/json/object.hpp>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "MessageCodec.h"

namespace basetransport {
namespace detail {

constexpr char kHelloMethod[] = "transport.hello";
// A first line longer than this ends the connection.
constexpr std::size_t kMaxHandshakeBytes = 64 * 1024;

// An error answer whose message is made valid UTF-8.
boost::json::object ErrorAnswer(boost::json::value id, std::int64_t code,
                                std::string const& message);

// The server's judgement of a first message.
struct HelloVerdict {
    bool accepted = false;
    boost::json::object answer;  // the result or error answer to send back
};
HelloVerdict JudgeHello(std::string_view line, std::string const& token, MessageParser& parser);

// The server side of the handshake, before any socket matters: takes the bytes of a new
// connection until its first line is complete (or too long), then judges it.
class HelloReader {
  public:
    explicit HelloReader(std::string token) : mToken(std::move(token)) {}
    // False while more bytes are needed; true once judged (later bytes are ignored).
    bool Feed(std::string_view bytes);
    bool Judged() const { return mJudged; }
    HelloVerdict const& Verdict() const { return mVerdict; }
    // The bytes that came after the first line.
    std::string const& Rest() const { return mRest; }

  private:
    std::string const mToken;
    std::string mLine;
    std::string mRest;
    bool mJudged = false;
    HelloVerdict mVerdict;
    MessageParser mParser;
};

// Client side, on the calling thread: sends the hello with `token` on the connected socket `fd`
// (non-blocking) and reads the answer before the deadline.
struct GreetResult {
    bool accepted = false;
    std::string received;  // bytes that arrived after the answer line
    std::string error;     // why it failed
};
GreetResult Greet(int fd, std::string const& token, std::chrono::steady_clock::time_point deadline);

}  // namespace detail
}  // namespace basetransport
