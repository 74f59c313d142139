#include "Handshake.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "basekit/utility/Text.h"
#include "basetransport/Session.h"
#include "basetransport/SocketTransport.h"

namespace basetransport {
namespace detail {

namespace {

namespace json = boost::json;
using Clock = std::chrono::steady_clock;

bool ReadInteger(json::value const* value, std::int64_t& out) {
    if (value == nullptr) {
        return false;
    }
    if (value->is_int64()) {
        out = value->get_int64();
        return true;
    }
    if (value->is_uint64() && value->get_uint64() <= static_cast<std::uint64_t>(INT64_MAX)) {
        out = static_cast<std::int64_t>(value->get_uint64());
        return true;
    }
    return false;
}

// Compares without an early exit, so the time taken says nothing about the token.
bool SameToken(std::string_view a, std::string_view b) {
    std::size_t const n = a.size() > b.size() ? a.size() : b.size();
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char const x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        unsigned char const y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        difference |= static_cast<unsigned char>(x ^ y);
    }
    return difference == 0;
}

int Remaining(Clock::time_point deadline) {
    auto const left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on fd until the deadline; false on time-out or error.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        int const left = Remaining(deadline);
        if (left == 0) {
            return false;
        }
        pollfd p{fd, events, 0};
        int const n = ::poll(&p, 1, left);
        if (n > 0) {
            return true;
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

// JSON-RPC ids are text, numbers or null; anything else is answered with null.
json::value AnswerID(json::value const* id) {
    if (id != nullptr && (id->is_string() || id->is_number() || id->is_null())) {
        return *id;
    }
    return nullptr;
}

}  // namespace

json::object ErrorAnswer(json::value id, std::int64_t code, std::string const& message) {
    json::object answer;
    answer["jsonrpc"] = "2.0";
    answer["id"] = std::move(id);
    answer["error"] =
        json::object{{"code", code}, {"message", basekit::utility::MakeValidUTF8(message)}};
    return answer;
}

HelloVerdict JudgeHello(std::string_view line, std::string const& token, MessageParser& parser) {
    HelloVerdict verdict;
    std::string error;
    std::optional<json::value> const message = parser.Parse(line, error);
    if (!message) {
        verdict.answer = ErrorAnswer(nullptr, -32700, "parse error: " + error);
        return verdict;
    }
    json::object const* object = message->if_object();
    json::value const* method = object ? object->if_contains("method") : nullptr;
    json::value const* id = object ? object->if_contains("id") : nullptr;
    json::value const* params = object ? object->if_contains("params") : nullptr;
    if (method == nullptr || !method->is_string() || method->get_string() != kHelloMethod ||
        id == nullptr || params == nullptr || !params->is_object()) {
        verdict.answer = ErrorAnswer(AnswerID(id), -32600,
                                     "the first message must be a transport.hello request");
        return verdict;
    }
    json::object const& hello = params->get_object();
    std::int64_t protocol = 0;
    if (!ReadInteger(hello.if_contains("protocol"), protocol)) {
        verdict.answer =
            ErrorAnswer(AnswerID(id), -32600, "transport.hello carries no protocol version");
        return verdict;
    }
    if (protocol != kProtocolVersion) {
        verdict.answer = ErrorAnswer(AnswerID(id), kErrorProtocolVersion,
                                     "protocol version mismatch: this server speaks version " +
                                         std::to_string(kProtocolVersion) +
                                         ", the client speaks version " + std::to_string(protocol));
        return verdict;
    }
    json::value const* presented = hello.if_contains("token");
    std::string_view const given = presented && presented->is_string()
                                       ? std::string_view(presented->get_string())
                                       : std::string_view();
    if (!SameToken(given, token)) {
        verdict.answer =
            ErrorAnswer(AnswerID(id), kErrorHandshakeRefused, "refused: the token does not match");
        return verdict;
    }
    verdict.accepted = true;
    verdict.answer["jsonrpc"] = "2.0";
    verdict.answer["id"] = AnswerID(id);
    verdict.answer["result"] = json::object{{"protocol", kProtocolVersion}};
    return verdict;
}

bool HelloReader::Feed(std::string_view bytes) {
    if (mJudged) {
        return true;
    }
    std::size_t const newline = bytes.find('\n');
    std::size_t const take = newline == std::string_view::npos ? bytes.size() : newline;
    if (mLine.size() + take > kMaxHandshakeBytes) {
        mVerdict.answer = ErrorAnswer(nullptr, -32600, "handshake too long");
        mJudged = true;
        return true;
    }
    mLine.append(bytes.data(), take);
    if (newline == std::string_view::npos) {
        return false;
    }
    std::string_view line(mLine);
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    mVerdict = JudgeHello(line, mToken, mParser);
    mRest.assign(bytes.substr(newline + 1));
    mJudged = true;
    return true;
}

GreetResult Greet(int fd, std::string const& token, Clock::time_point deadline) {
    GreetResult result;
    json::object hello;
    hello["jsonrpc"] = "2.0";
    hello["id"] = 0;
    hello["method"] = kHelloMethod;
    hello["params"] = json::object{{"protocol", kProtocolVersion}, {"token", token}};
    std::string const text = SerializeMessage(hello);
    std::size_t sent = 0;
    while (sent < text.size()) {
        ssize_t const n =
            ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (!WaitFor(fd, POLLOUT, deadline)) {
                result.error = "sending the handshake: timed out";
                return result;
            }
        } else {
            result.error = std::string("sending the handshake: ") + std::strerror(errno);
            return result;
        }
    }

    std::string received;
    std::size_t lineEnd = std::string::npos;
    char chunk[4096];
    while (lineEnd == std::string::npos) {
        if (received.size() > kMaxHandshakeBytes) {
            result.error = "the handshake answer is too long";
            return result;
        }
        ssize_t const n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            std::size_t const before = received.size();
            received.append(chunk, static_cast<std::size_t>(n));
            lineEnd = received.find('\n', before);
        } else if (n == 0) {
            result.error = "the server closed the connection during the handshake";
            return result;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            if (!WaitFor(fd, POLLIN, deadline)) {
                result.error = "waiting for the handshake answer: timed out";
                return result;
            }
        } else {
            result.error = std::string("reading the handshake answer: ") + std::strerror(errno);
            return result;
        }
    }

    MessageParser parser;
    std::string error;
    std::string_view line(received.data(), lineEnd);
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    std::optional<json::value> const answer = parser.Parse(line, error);
    if (!answer) {
        result.error = "unparsable handshake answer: " + error;
        return result;
    }
    json::object const* object = answer->if_object();
    if (object == nullptr) {
        result.error = "the handshake answer is not an object";
        return result;
    }
    if (json::value const* refusal = object->if_contains("error")) {
        json::value const* message =
            refusal->is_object() ? refusal->get_object().if_contains("message") : nullptr;
        result.error = message && message->is_string() ? std::string(message->get_string())
                                                       : "the server refused the handshake";
        return result;
    }
    json::value const* accepted = object->if_contains("result");
    json::object const* resultObject = accepted ? accepted->if_object() : nullptr;
    std::int64_t protocol = 0;
    if (resultObject == nullptr || !ReadInteger(resultObject->if_contains("protocol"), protocol)) {
        result.error = "malformed handshake answer";
        return result;
    }
    if (protocol != kProtocolVersion) {
        result.error = "protocol version mismatch: this client speaks version " +
                       std::to_string(kProtocolVersion) + ", the server speaks version " +
                       std::to_string(protocol);
        return result;
    }
    result.accepted = true;
    result.received = received.substr(lineEnd + 1);
    return result;
}

}  // namespace detail
}  // namespace basetransport
