#include "Handshake.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

json::object ErrorAnswer(json::value id, std::int64_t code, std::string const& message) {
    json::object answer;
    answer["jsonrpc"] = "2.0";
    answer["id"] = std::move(id);
    answer["error"] = json::object{{"code", code}, {"message", message}};
    return answer;
}

// Compares without an early exit, so the time taken says nothing about the token.
bool SameToken(std::string const& a, std::string const& b) {
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

}  // namespace

void ConfigureSocket(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int const flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

boost::asio::ip::tcp::socket BlockingSocket(int fd) {
    // Never run and never destroyed: sockets may outlive every transport.
    static boost::asio::io_context* const sDormant = new boost::asio::io_context();
    boost::asio::ip::tcp::socket socket(*sDormant);
    int const flags = ::fcntl(fd, F_GETFL);
    boost::system::error_code ec;
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return socket;
    }
    socket.assign(boost::asio::ip::tcp::v4(), fd, ec);
    if (ec) {
        ::close(fd);
    }
    return socket;
}

HelloVerdict JudgeHello(std::string_view line, std::string const& token, MessageParser& parser) {
    HelloVerdict verdict;
    json::value message;
    std::string error;
    if (!parser.Parse(line, message, error)) {
        verdict.answer = ErrorAnswer(nullptr, -32700, "parse error: " + error);
        return verdict;
    }
    json::object const* object = message.if_object();
    json::value const* method = object ? object->if_contains("method") : nullptr;
    json::value const* id = object ? object->if_contains("id") : nullptr;
    json::value const* params = object ? object->if_contains("params") : nullptr;
    if (method == nullptr || !method->is_string() || method->get_string() != kHelloMethod ||
        id == nullptr || params == nullptr || !params->is_object()) {
        verdict.answer = ErrorAnswer(id ? *id : json::value(nullptr), -32600,
                                     "the first message must be a transport.hello request");
        return verdict;
    }
    json::object const& hello = params->get_object();
    std::int64_t protocol = 0;
    if (!ReadInteger(hello.if_contains("protocol"), protocol)) {
        verdict.answer = ErrorAnswer(*id, -32600, "transport.hello carries no protocol version");
        return verdict;
    }
    if (protocol != kProtocolVersion) {
        verdict.answer = ErrorAnswer(*id, kErrorProtocolVersion,
                                     "protocol version mismatch: this server speaks version " +
                                         std::to_string(kProtocolVersion) +
                                         ", the client speaks version " + std::to_string(protocol));
        return verdict;
    }
    json::value const* presented = hello.if_contains("token");
    std::string const given =
        presented && presented->is_string() ? std::string(presented->get_string()) : "";
    if (!SameToken(given, token)) {
        verdict.answer =
            ErrorAnswer(*id, kErrorHandshakeRefused, "refused: the token does not match");
        return verdict;
    }
    std::int64_t pid = 0;
    ReadInteger(hello.if_contains("pid"), pid);
    verdict.accepted = true;
    verdict.peerProcessID = pid;
    verdict.answer["jsonrpc"] = "2.0";
    verdict.answer["id"] = *id;
    verdict.answer["result"] = json::object{{"protocol", kProtocolVersion},
                                            {"pid", static_cast<std::int64_t>(::getpid())}};
    return verdict;
}

GreetResult ConnectAndGreet(boost::asio::ip::address_v4 const& address, std::uint16_t port,
                            std::string const& token, std::chrono::milliseconds timeout) {
    GreetResult result;
    Clock::time_point const deadline = Clock::now() + timeout;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        result.error = std::string("socket: ") + std::strerror(errno);
        return result;
    }
    auto fail = [&](std::string error) {
        ::close(fd);
        result.error = std::move(error);
        return result;
    };
    ConfigureSocket(fd);

    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = htonl(address.to_uint());
    if (::connect(fd, reinterpret_cast<sockaddr const*>(&target), sizeof target) != 0) {
        if (errno != EINPROGRESS) {
            return fail(std::string("connect: ") + std::strerror(errno));
        }
        if (!WaitFor(fd, POLLOUT, deadline)) {
            return fail("connect: timed out");
        }
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            return fail(std::string("connect: ") + std::strerror(error));
        }
    }

    json::object hello;
    hello["jsonrpc"] = "2.0";
    hello["id"] = 0;
    hello["method"] = kHelloMethod;
    hello["params"] = json::object{{"protocol", kProtocolVersion},
                                   {"token", token},
                                   {"pid", static_cast<std::int64_t>(::getpid())}};
    std::string const text = SerializeMessage(hello);
    std::size_t sent = 0;
    while (sent < text.size()) {
        ssize_t const n =
            ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (!WaitFor(fd, POLLOUT, deadline)) {
                return fail("sending the handshake: timed out");
            }
        } else {
            return fail(std::string("sending the handshake: ") + std::strerror(errno));
        }
    }

    std::string received;
    std::size_t lineEnd = std::string::npos;
    char chunk[4096];
    while (lineEnd == std::string::npos) {
        if (received.size() > kMaxHandshakeBytes) {
            return fail("the handshake answer is too long");
        }
        ssize_t const n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            std::size_t const before = received.size();
            received.append(chunk, static_cast<std::size_t>(n));
            lineEnd = received.find('\n', before);
        } else if (n == 0) {
            return fail("the server closed the connection during the handshake");
        } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            if (!WaitFor(fd, POLLIN, deadline)) {
                return fail("waiting for the handshake answer: timed out");
            }
        } else {
            return fail(std::string("reading the handshake answer: ") + std::strerror(errno));
        }
    }

    MessageParser parser;
    json::value answer;
    std::string error;
    if (!parser.Parse(std::string_view(received.data(), lineEnd), answer, error)) {
        return fail("unparsable handshake answer: " + error);
    }
    json::object const* object = answer.if_object();
    if (object == nullptr) {
        return fail("the handshake answer is not an object");
    }
    if (json::value const* refusal = object->if_contains("error")) {
        json::value const* message =
            refusal->is_object() ? refusal->get_object().if_contains("message") : nullptr;
        return fail(message && message->is_string() ? std::string(message->get_string())
                                                    : "the server refused the handshake");
    }
    json::value const* accepted = object->if_contains("result");
    json::object const* resultObject = accepted ? accepted->if_object() : nullptr;
    std::int64_t protocol = 0;
    if (resultObject == nullptr || !ReadInteger(resultObject->if_contains("protocol"), protocol)) {
        return fail("malformed handshake answer");
    }
    if (protocol != kProtocolVersion) {
        return fail("protocol version mismatch: this client speaks version " +
                    std::to_string(kProtocolVersion) + ", the server speaks version " +
                    std::to_string(protocol));
    }
    ReadInteger(resultObject->if_contains("pid"), result.peerProcessID);
    result.received = received.substr(lineEnd + 1);
    result.fd = fd;
    return result;
}

}  // namespace detail
}  // namespace basetransport
