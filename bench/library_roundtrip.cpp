// Round trip of a small synchronous call through the whole stack: the shared client's
// GetQuicktimeCodecName (a FourCC the client has never seen, so every call reaches the server)
// through JSON-RPC, the session socket, the server's dispatch and answer, the answer handler and
// the caller's rendezvous. Beside it, in the same run, a raw ping-pong over the sessions' kind
// of socket (Unix domain) with a child process echoing, of the same byte sizes as the request
// and answer lines. Also times Create() cold (no server running: the server is started) and
// warm (server running, client released and made again).
//
//   bench_library_roundtrip [round trips per block, default 100] [groups, default 101]
//                           [Create() runs, default 5]
//
// The machine is shared and noisy: the kinds of round trip alternate in short blocks, so that
// the blocks of a group see about the same load; medians, tenth percentiles and the best of
// the blocks are reported. Two more references show what handing an answer from a receiving
// thread to the waiting caller costs by itself: a lean hand-off (condition variable) and the
// library's own (a basekit SyncPoint per call).
//
// VIREO_BENCH_LIBRARY_ONLY=<n> in the environment runs only n library round trips and prints
// nothing, for profiling (perf record follows the server, which this program starts).
//
// The server executable is found beside this program (<build>/bin). A private registry directory
// is used, so servers of other programs are neither used nor disturbed; the servers this program
// starts are ended before it exits.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
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

#include "RawPingPong.h"
#include "SystemBench.h"
#include "VireoClient/VireoClient.h"
#include "basekit/utility/Parse.h"
#include "basekit/utility/Text.h"

namespace {

using namespace vireo::bench;
using Clock = std::chrono::steady_clock;
using ClientRef = InterfaceRef<VireoClient::IVireoClient, VireoClient::IVireoClient>;

constexpr char kMethod[] = "GetQuicktimeCodecName";
constexpr char kEchoFlag[] = "--echo";

double MicrosecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Per-round-trip figures of the blocks of one kind.
struct Samples {
    std::vector<double> wall, cpu, runs;

    // Runs one block of `count` round trips (`body` returns microseconds per round trip,
    // negative on failure) and takes the processor usage of `processes` (and of the hand-off
    // references' receiving threads) meanwhile.
    template <class Body>
    bool Measure(std::vector<Process> const& processes, int count, Body body) {
        ProcessUsage const before = ProcessUsage::Read(processes);
        Usage const receiversBefore = EndedReceiversUsage();
        double const elapsed = body();
        Usage used = ProcessUsage::Read(processes).TotalSince(before);
        used += EndedReceiversUsage() - receiversBefore;
        if (elapsed < 0) {
            return false;
        }
        wall.push_back(elapsed);
        cpu.push_back(double(used.nanoseconds) / 1000 / count);
        runs.push_back(double(used.runs) / count);
        return true;
    }

    void Print(char const* name) const {
        std::printf("%-32s %7.2f %7.2f %7.2f   %7.2f %7.2f  %5.2f\n", name, Median(wall),
                    Percentile(wall, 10), Lowest(wall), Median(cpu), Percentile(cpu, 10),
                    Median(runs));
    }
};

// Byte sizes of one request line and of its answer line, as the RPC layer writes them (the
// answer is an error answer when the server does not know the method, else a result).
void LineSizes(std::uint32_t fourcc, basekit::UTF16String const& answerName, std::uint64_t& request,
               std::uint64_t& answer) {
    std::int64_t const id = 100000;  // a typical request id of a long-running client
    boost::json::object call{{"jsonrpc", "2.0"}, {"method", kMethod}};
    call["params"] =
        boost::json::array{static_cast<std::int64_t>(static_cast<std::int32_t>(fourcc))};
    call["id"] = id;
    boost::json::object reply{{"jsonrpc", "2.0"}, {"id", id}};
    if (answerName.empty()) {
        reply["error"] = boost::json::object{
            {"code", -32601}, {"message", std::string("method not found: ") + kMethod}};
    } else {
        reply["result"] = boost::json::object{{"value", basekit::utility::UTF16to8(answerName)}};
    }
    request = boost::json::serialize(call).size() + 1;
    answer = boost::json::serialize(reply).size() + 1;
}

// Create() cold (no server running: it is started) and warm (the server runs; the client was
// released and is made again), in milliseconds. Ends the server after each cold run.
bool TimeCreate(int runs, PrivateRegistry const& registry, std::vector<double>& cold,
                std::vector<double>& warm) {
    for (int run = 0; run < runs; ++run) {
        auto start = Clock::now();
        ClientRef client = VireoClient::Create();
        cold.push_back(MicrosecondsSince(start) / 1000);
        if (!client || !client->IsQuicktimeAvailable()) {
            std::fprintf(stderr, "Create() gave no client with a working server\n");
            return false;
        }
        for (int again = 0; again < 2; ++again) {
            // The last answer of the connection step (the importable file types) has come
            // before the release, and its handler lets go of the client right after: the
            // release then really ends the client and its session.
            client->GetImportableFileExtensions();
            client.reset();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (again == 0) {
                start = Clock::now();
                client = VireoClient::Create();
                warm.push_back(MicrosecondsSince(start) / 1000);
                if (!client) {
                    return false;
                }
            }
        }
        registry.StopServers();
    }
    return true;
}

// A count from the command line or the environment: at least 1; `fallback` when absent or not
// a number.
int Count(char const* text, int fallback) {
    std::int32_t value = 0;
    if (text == nullptr || !basekit::utility::ParseInteger(text, value)) {
        return fallback;
    }
    return std::max(1, value);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], kEchoFlag) == 0) {
        return RunEcho();
    }
    int const iterations = Count(argc > 1 ? argv[1] : nullptr, 100);
    int groups = Count(argc > 2 ? argv[2] : nullptr, 101);
    int const createRuns = Count(argc > 3 ? argv[3] : nullptr, 5);

    // Before any thread exists: the echo child and the environment the servers inherit.
    RawPeer raw;
    if (!raw.Start(argv[0], kEchoFlag)) {
        std::fprintf(stderr, "the echo process did not start\n");
        return 1;
    }
    PrivateRegistry registry;
    if (!registry.Make()) {
        std::fprintf(stderr, "could not make a registry directory\n");
        return 1;
    }

    std::vector<double> cold, warm;
    int status = TimeCreate(createRuns, registry, cold, warm) ? 0 : 1;

    // The round trips, against a server started here and kept running.
    ClientRef client = status == 0 ? VireoClient::Create() : ClientRef();
    std::vector<pid_t> const servers = registry.ServerPids();
    if (status == 0 && (!client || servers.size() != 1)) {
        std::fprintf(stderr, "no client with a server\n");
        status = 1;
    }
    std::uint32_t nextFourCC = 0x62000000;  // FourCCs from 'b\0\0\0' on: none is in the cache
    auto libraryRound = [&](int count) {
        auto const start = Clock::now();
        for (int i = 0; i < count; ++i) {
            basekit::UTF16String name;
            client->GetQuicktimeCodecName(nextFourCC++, name);
        }
        return MicrosecondsSince(start) / count;
    };

    basekit::UTF16String firstAnswer;
    std::uint64_t requestBytes = 0;
    std::uint64_t answerBytes = 0;
    if (status == 0) {
        client->GetQuicktimeCodecName(nextFourCC++, firstAnswer);
        LineSizes(nextFourCC, firstAnswer, requestBytes, answerBytes);
        if (!raw.SetSizes(requestBytes, answerBytes)) {
            std::fprintf(stderr, "the echo process is gone\n");
            status = 1;
        }
    }
    if (status == 0) {
        raw.Round(iterations / 5 + 1);  // warm-up of both paths
        libraryRound(iterations / 5 + 1);
    }
    // For profiling the library alone (perf record): only its round trips, no output.
    if (char const* only = std::getenv("VIREO_BENCH_LIBRARY_ONLY"); only && status == 0) {
        libraryRound(Count(only, 1));
        groups = 0;
    }

    // Groups of blocks, one block of each kind after the other.
    std::vector<Process> const rawProcesses{{::getpid(), "this process"}, {raw.Child(), "echo"}};
    std::vector<Process> const libraryProcesses{{::getpid(), "this process"},
                                                {servers.empty() ? 0 : servers.front(), "server"}};
    Samples rawSamples, leanSamples, rendezvousSamples, librarySamples;
    std::vector<double> ratios;
    for (int group = 0; group < groups && status == 0; ++group) {
        bool const ok = rawSamples.Measure(rawProcesses, iterations, [&] {
            return raw.Round(iterations);
        }) && leanSamples.Measure(rawProcesses, iterations, [&] {
            return raw.RoundWithHandOff(iterations, RawPeer::HandOff::Lean);
        }) && rendezvousSamples.Measure(rawProcesses, iterations, [&] {
            return raw.RoundWithHandOff(iterations, RawPeer::HandOff::Rendezvous);
        }) && librarySamples.Measure(libraryProcesses, iterations, [&] {
            return libraryRound(iterations);
        });
        if (!ok) {
            std::fprintf(stderr, "the raw ping-pong failed\n");
            status = 1;
            break;
        }
        ratios.push_back(librarySamples.wall.back() / rawSamples.wall.back());
    }
    // A server that ended meanwhile would have answered every call with an error at once.
    if (status == 0 && !servers.empty() && ::kill(servers.front(), 0) != 0) {
        std::fprintf(stderr, "the server ended during the run\n");
        status = 1;
    }
    client.reset();

    if (status == 0 && !ratios.empty()) {
        std::printf("%s round trip: request %llu bytes, answer %llu bytes (%s)\n", kMethod,
                    static_cast<unsigned long long>(requestBytes),
                    static_cast<unsigned long long>(answerBytes),
                    firstAnswer.empty() ? "the server answers: method not found"
                                        : "the server answers a name");
        std::printf("%d groups of blocks of %d round trips; per round trip:\n", groups, iterations);
        std::printf("%-32s %23s   %15s  %5s\n", "", "wall us", "CPU us", "runs");
        std::printf("%-32s %7s %7s %7s   %7s %7s  %5s\n", "", "median", "p10", "best", "median",
                    "p10", "median");
        rawSamples.Print("raw ping-pong");
        leanSamples.Print("  + lean hand-off to the caller");
        rendezvousSamples.Print("  + SyncPoint hand-off");
        librarySamples.Print("library synchronous call");
        auto ratio = [](std::vector<double> const& a, std::vector<double> const& b, int percent) {
            return Percentile(a, percent) / Percentile(b, percent);
        };
        std::printf(
            "ratio library / raw, wall: %.2f median (goal <= 1.3), %.2f p10, %.2f best; "
            "median of the ratios within groups %.2f\n",
            ratio(librarySamples.wall, rawSamples.wall, 50),
            ratio(librarySamples.wall, rawSamples.wall, 10),
            Lowest(librarySamples.wall) / Lowest(rawSamples.wall), Median(ratios));
        std::printf("ratio library / raw, CPU:  %.2f median, %.2f p10\n",
                    ratio(librarySamples.cpu, rawSamples.cpu, 50),
                    ratio(librarySamples.cpu, rawSamples.cpu, 10));
        std::printf(
            "(CPU: processor time of every thread of this process and of the peer "
            "process; runs: times one of those threads was put on a processor; p10: the "
            "tenth percentile of the blocks, close to what a quiet machine gives)\n");
    }
    if (status == 0 && !cold.empty() && std::getenv("VIREO_BENCH_LIBRARY_ONLY") == nullptr) {
        std::printf("Create() cold (server started): %8.2f ms median of %zu runs (first %.2f ms)\n",
                    Median(cold), cold.size(), cold.front());
        std::printf("Create() warm (server running): %8.2f ms median of %zu runs\n", Median(warm),
                    warm.size());
    }

    registry.StopServers();
    registry.Remove();
    raw.Stop();
    return status;
}
