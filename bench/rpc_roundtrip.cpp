// Round trip of a small synchronous RPC call (SendRequest, answer handler meeting the caller at
// a SyncPoint) against an RPCServer in a child process, next to a raw ping-pong of the same byte
// sizes with the same child over the same kind of socket (a Unix domain socket, as sessions
// use). Prints microseconds per round trip and their ratio.
//
// A third line shows the same call with a caller that polls a flag instead of sleeping at the
// SyncPoint: the difference is the cost of waking the caller thread.
//
//   bench_rpc_roundtrip [iterations per round, default 5000] [rounds, default 7]
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "basekit/serialization/Variant.h"
#include "basekit/threads/SyncPoint.h"
#include "basemarshal/JSONVariant.h"
#include "basemarshal/RPCClient.h"
#include "basemarshal/RPCServer.h"
#include "basetransport/LocalFolder.h"
#include "basetransport/SocketTransport.h"

namespace {

using namespace basekit::serialization;
using Clock = std::chrono::steady_clock;

constexpr char kToken[] = "bench-token";

bool SendAll(int fd, char const* data, std::size_t size) {
    while (size > 0) {
        ssize_t const n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ReceiveAll(int fd, char* data, std::size_t size) {
    while (size > 0) {
        ssize_t const n = ::recv(fd, data, size, 0);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Child: raw echo peer for one connection. It first reads the two sizes, then answers each
// request of `request` bytes with `answer` bytes.
void RawPeer(int listener) {
    int const fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) {
        return;
    }
    std::uint64_t sizes[2];
    if (!ReceiveAll(fd, reinterpret_cast<char*>(sizes), sizeof sizes)) {
        return;
    }
    std::vector<char> request(sizes[0]);
    std::vector<char> answer(sizes[1], 'x');
    while (ReceiveAll(fd, request.data(), request.size()) &&
           SendAll(fd, answer.data(), answer.size())) {
    }
    ::close(fd);
}

int Serve() {
    auto transport = basetransport::SocketTransport::Create();
    basemarshal::RPCServer server;
    server.AddMethod("Echo", [](basetransport::SessionPtr const&, VariantPtr const& params,
                                basemarshal::Responder const& responder) {
        VariantObject result;
        result["value"] = params;
        responder.Reply(MakeVariant(result));
    });
    std::uint16_t const rpcPort = transport->Listen(
        0, kToken, [&server](basetransport::SessionPtr session) { server.Attach(session); });

    // The raw reference listens beside the sessions' listeners.
    std::string const rawPath = basetransport::PrivateFolder() + "/bench-raw-" +
                                std::to_string(static_cast<long>(::getpid())) + ".sock";
    int const listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, rawPath.c_str(), sizeof address.sun_path - 1);
    if (rpcPort == 0 ||
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0) {
        return 1;
    }
    std::thread raw(RawPeer, listener);
    std::printf("%u %s\n", rpcPort, rawPath.c_str());
    std::fflush(stdout);
    // Until the parent closes our standard input.
    char byte;
    while (::read(0, &byte, 1) > 0) {
    }
    ::shutdown(listener, SHUT_RDWR);
    raw.join();
    ::unlink(rawPath.c_str());
    return 0;
}

VariantPtr MakeCall() {
    VariantArray params;
    params.push_back(MakeVariant(std::int64_t{42}));
    params.push_back(MakeVariant(std::string("{4F9CB3F7-C5DF-4F33-B5A5-784CDF9C3FB9}")));
    return BuildCall("Echo", params);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--serve") == 0) {
        return Serve();
    }
    int const iterations = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5000;
    int const rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;

    int toChild[2];
    int fromChild[2];
    if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) {
        return 1;
    }
    pid_t const child = ::fork();
    if (child == 0) {
        ::dup2(toChild[0], 0);
        ::dup2(fromChild[1], 1);
        ::close(toChild[1]);
        ::close(fromChild[0]);
        ::execl("/proc/self/exe", argv[0], "--serve", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    FILE* childOut = ::fdopen(fromChild[0], "r");
    unsigned rpcPort = 0;
    char rawPath[sizeof(sockaddr_un::sun_path)] = {};
    if (childOut == nullptr || std::fscanf(childOut, "%u %107s", &rpcPort, rawPath) != 2) {
        std::fprintf(stderr, "the server process did not start\n");
        return 1;
    }

    auto transport = basetransport::SocketTransport::Create();
    transport->SetServerToken("127.0.0.1", static_cast<std::uint16_t>(rpcPort), kToken);
    auto session = transport->ClientStart("127.0.0.1", static_cast<std::uint16_t>(rpcPort));
    if (!session) {
        std::fprintf(stderr, "could not connect to the server process\n");
        return 1;
    }
    basemarshal::RPCClient client(session, u"bench");
    VariantPtr const call = MakeCall();

    // Byte sizes of one request and one answer line, for the raw ping-pong.
    boost::json::object request{{"jsonrpc", "2.0"}, {"method", "Echo"}, {"id", 100000}};
    request["params"] = basemarshal::ToJSON(*GetVariantInObject(*call, "params"));
    boost::json::object answer{{"jsonrpc", "2.0"}, {"id", 100000}};
    answer["result"] = boost::json::object{{"value", request["params"]}};
    std::uint64_t const sizes[2] = {boost::json::serialize(request).size() + 1,
                                    boost::json::serialize(answer).size() + 1};

    int const raw = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, rawPath, sizeof address.sun_path - 1);
    if (::connect(raw, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        !SendAll(raw, reinterpret_cast<char const*>(sizes), sizeof sizes)) {
        std::fprintf(stderr, "could not connect the raw socket\n");
        return 1;
    }
    std::vector<char> out(sizes[0], 'x');
    std::vector<char> in(sizes[1]);

    auto rawRound = [&](int count) {
        auto const start = Clock::now();
        for (int i = 0; i < count; ++i) {
            if (!SendAll(raw, out.data(), out.size()) || !ReceiveAll(raw, in.data(), in.size())) {
                std::fprintf(stderr, "raw ping-pong failed\n");
                std::exit(1);
            }
        }
        return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
    };
    std::atomic<int> failures{0};
    auto rpcRound = [&](int count) {
        auto const start = Clock::now();
        for (int i = 0; i < count; ++i) {
            basekit::threads::SyncPoint meet(2);
            client.SendRequest(
                call, [&meet](VariantPtr const&, std::int64_t) { meet.Wait(); },
                [&meet, &failures](long, basekit::UTF16String const&, std::int64_t) {
                    ++failures;
                    meet.Wait();
                },
                0);
            meet.Wait();
        }
        return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
    };

    // Diagnostic: the same call, but the caller polls a flag instead of sleeping at a
    // rendezvous; the difference to rpcRound is the cost of waking the caller.
    auto pollRound = [&](int count) {
        auto const start = Clock::now();
        for (int i = 0; i < count; ++i) {
            std::atomic<bool> done{false};
            client.SendRequest(
                call, [&done](VariantPtr const&, std::int64_t) { done.store(true); },
                [&done, &failures](long, basekit::UTF16String const&, std::int64_t) {
                    ++failures;
                    done.store(true);
                },
                0);
            while (!done.load()) {
                std::this_thread::yield();
            }
        }
        return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
    };

    rawRound(iterations / 5 + 1);  // warm-up
    rpcRound(iterations / 5 + 1);
    std::vector<double> rawTimes;
    std::vector<double> rpcTimes;
    std::vector<double> pollTimes;
    for (int round = 0; round < rounds; ++round) {
        rawTimes.push_back(rawRound(iterations));
        rpcTimes.push_back(rpcRound(iterations));
        pollTimes.push_back(pollRound(iterations));
    }
    double const rawMedian = Median(rawTimes);
    double const rpcMedian = Median(rpcTimes);
    double const pollMedian = Median(pollTimes);
    double const rawBest = *std::min_element(rawTimes.begin(), rawTimes.end());
    double const rpcBest = *std::min_element(rpcTimes.begin(), rpcTimes.end());
    double const pollBest = *std::min_element(pollTimes.begin(), pollTimes.end());
    std::printf("request %llu bytes, answer %llu bytes, %d rounds of %d round trips\n",
                static_cast<unsigned long long>(sizes[0]),
                static_cast<unsigned long long>(sizes[1]), rounds, iterations);
    std::printf("us per round trip          median     best\n");
    std::printf("raw ping-pong            %8.2f %8.2f\n", rawMedian, rawBest);
    std::printf("RPC synchronous          %8.2f %8.2f\n", rpcMedian, rpcBest);
    std::printf("ratio RPC / raw          %8.2f %8.2f\n", rpcMedian / rawMedian, rpcBest / rawBest);
    std::printf("(diagnostic) RPC with a polling caller instead of a SyncPoint:\n");
    std::printf("                         %8.2f %8.2f  ratio %.2f %.2f\n", pollMedian, pollBest,
                pollMedian / rawMedian, pollBest / rawBest);
    if (failures.load() != 0) {
        std::printf("error answers: %d\n", failures.load());
    }

    ::close(raw);
    ::close(toChild[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return failures.load() == 0 ? 0 : 1;
}
