// Many hosts at once: host processes, each reading several 1080p H.264 movies as BGRA in turn
// through the library, all served by one shared server, beside as many threads doing the same
// in one process with the engine library in-process. Both variants run for the same time, in
// windows of at most 10 s taken in turn (so that a change of the machine's load falls on both);
// the program prints the aggregate frame rates and their ratio, whether every frame's checksum
// agreed, the server's memory over the run and the processor time of each process.
//
//   bench_scale [seconds per variant, default 20] [hosts, default 8] [movies per host, default 4]
//
// The movies (1920x1080 H.264, 40 to 55 frames, different key frame intervals) are written into
// a temporary directory with the sample library. The hosts and the in-process reader are this
// program started again with --child; the server is started once, by this process, in a private
// registry directory, and ended before the program exits.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ScaleReport.h"
#include "basekit/utility/Process.h"
#include "samples/SampleSet.h"

namespace vireo::bench {
namespace {

// Bound of opening the movies and reading them once, per variant.
constexpr std::chrono::seconds kPrepareBound(300);
// Bound of the end of a timed window beyond its length.
constexpr std::chrono::seconds kFinishGrace(120);
// Bound of a child's wait for its next window while the other variant runs.
constexpr std::chrono::seconds kIdleBound(1800);
// Longest timed window: the variants take turns, so that a change of the machine's load while
// the program runs falls on both.
constexpr int kLongestWindowSeconds = 10;

// ---- child: one host process, or the in-process reader ------------------------------------------

// Reads one line from standard input, waiting at most `bound`.
bool ReadCommand(std::string& line, std::chrono::seconds bound) {
    line.clear();
    auto const deadline = Clock::now() + bound;
    for (char c;;) {
        auto const left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd input{0, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&input, 1, static_cast<int>(left.count())) <= 0 ||
            ::read(0, &c, 1) != 1) {
            return false;
        }
        if (c == '\n') {
            return true;
        }
        line += c;
    }
}

template <class Movies>
int RunChild(int workers, std::size_t first, std::vector<std::string> const& paths) {
    std::vector<std::unique_ptr<Worker<Movies>>> all;
    for (int i = 0; i < workers; ++i) {
        all.push_back(std::make_unique<Worker<Movies>>(paths, first + std::size_t(i)));
    }
    auto onEach = [&](auto&& job) {
        boost::asio::thread_pool pool(static_cast<std::size_t>(workers));
        for (auto& worker : all) {
            boost::asio::post(pool, [&job, &worker] { job(*worker); });
        }
        pool.join();
    };
    onEach([](Worker<Movies>& worker) { worker.Prepare(); });
    for (auto const& worker : all) {
        if (!worker->Result().error.empty()) {
            std::fprintf(stderr, "bench_scale child: %s\n", worker->Result().error.c_str());
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    // "go MILLISECONDS" starts a timed window; "end" (or the parent's end) ends the child.
    for (std::string command; ReadCommand(command, kIdleBound) && command.rfind("go ", 0) == 0;) {
        std::int64_t milliseconds = 0;
        if (!basekit::utility::ParseInteger(command.substr(3), milliseconds) || milliseconds < 1) {
            return 1;
        }
        double const cpuStart = ProcessCpuSeconds();
        onEach([&](Worker<Movies>& worker) { worker.Run(double(milliseconds) / 1000); });
        double const cpu = ProcessCpuSeconds() - cpuStart;
        int status = 0;
        for (auto const& worker : all) {
            WorkerResult const& result = worker->Result();
            if (!result.error.empty()) {
                std::fprintf(stderr, "bench_scale child: %s\n", result.error.c_str());
                status = 1;
            }
            std::printf("worker %lld %lld", static_cast<long long>(result.frames),
                        static_cast<long long>(result.seconds * 1e6));
            for (std::uint64_t digest : result.digests) {
                std::printf(" %llu", static_cast<unsigned long long>(digest));
            }
            std::printf("\n");
        }
        std::printf("cpu %lld\n", static_cast<long long>(cpu * 1e6));
        if (status != 0) {
            std::fflush(stdout);
            return status;
        }
        std::printf("done\n");
        std::fflush(stdout);
    }
    return 0;
}

// --child engine|library WORKERS FIRST MOVIE...
int ChildMain(int argc, char** argv) {
    std::int32_t workers = 0, first = 0;
    if (argc < 6 || !basekit::utility::ParseInteger(argv[3], workers) ||
        !basekit::utility::ParseInteger(argv[4], first) || workers < 1 || first < 0) {
        std::fprintf(stderr, "bench_scale: bad child arguments\n");
        return 2;
    }
    std::vector<std::string> const paths(argv + 5, argv + argc);
    if (std::strcmp(argv[2], "engine") == 0) {
        return RunChild<EngineMovies>(workers, std::size_t(first), paths);
    }
    // Held for the whole run, as a host holds its connection.
    auto client = VireoClient::Create();
    if (!client) {
        std::fprintf(stderr, "bench_scale host: no connection to the server\n");
        return 1;
    }
    int const status = RunChild<LibraryMovies>(workers, std::size_t(first), paths);
    client.reset();
    return status;
}

// ---- parent ------------------------------------------------------------------------------------

// Starts the children of `variant` (one per argument list) and waits until they are ready.
std::string Start(Variant& variant, std::vector<std::vector<std::string>> const& arguments,
                  pid_t server) {
    for (auto const& childArguments : arguments) {
        variant.children.push_back(std::make_unique<Child>());
        if (!variant.children.back()->Start(childArguments)) {
            return "could not start a child process";
        }
    }
    std::printf("%s: processes", variant.name.c_str());
    for (auto const& child : variant.children) {
        std::printf(" %d", int(child->Pid()));
    }
    std::printf("\n");
    std::fflush(stdout);
    std::string const error = WaitForChildren(
        variant.children, &ChildReport::ready, kPrepareBound,
        [server] { return basekit::utility::IsProcessAlive(server) ? "" : "the server ended"; });
    return error.empty() ? error : "preparing: " + error;
}

// Runs one timed window of `milliseconds` of every child of `variant` at once and adds their
// reports. `tick` runs about every second and may end the run with an error.
std::string Window(Variant& variant, std::int64_t milliseconds, pid_t server,
                   std::function<std::string()> const& tick) {
    std::vector<Process> const serverProcess{{server, "server"}};
    ProcessUsage const serverBefore = ProcessUsage::Read(serverProcess);
    Clock::time_point const start = Clock::now();
    for (auto& child : variant.children) {
        child->ResetWindow();
        if (!child->Send("go " + std::to_string(milliseconds))) {
            return "could not start child " + std::to_string(child->Pid());
        }
    }
    std::string const error = WaitForChildren(
        variant.children, &ChildReport::done,
        std::chrono::seconds(milliseconds / 1000) + kFinishGrace, [&]() -> std::string {
            return basekit::utility::IsProcessAlive(server) ? tick() : "the server ended";
        });
    if (error.empty()) {
        variant.server += ProcessUsage::Read(serverProcess).TotalSince(serverBefore);
        variant.TakeWindow(SecondsSince(start));
    }
    return error;
}

// Ends the children of `variant`: at once after a failure (they may be stuck on a dead server),
// else by telling them, with a bound.
std::string Finish(Variant& variant, bool failed) {
    std::string error;
    for (auto& child : variant.children) {
        if (failed) {
            child->Kill();
        } else if (!child->Send("end") || !child->Finish(std::chrono::seconds(10))) {
            error = "a child did not end well";
        }
    }
    return error;
}

// Writes `count` different 1080p H.264 movies into `directory`: the sample shape of
// h264_1080p.mov with other lengths and key frame intervals.
bool WriteMovies(std::string const& directory, int count, std::vector<std::string>& paths) {
    static constexpr int kFrames[] = {50, 40, 55, 45};
    static constexpr int kGop[] = {25, 12, 50, 8};
    for (int i = 0; i < count; ++i) {
        samples::SampleMovie movie = samples::FindSample("h264_1080p.mov");
        movie.fileName = "scale_" + std::to_string(i) + ".mov";
        movie.video->frames = kFrames[i % 4] + i / 4;
        movie.video->gop = kGop[i % 4];
        std::string error;
        if (!samples::WriteSample(movie, directory, error)) {
            std::fprintf(stderr, "could not write %s: %s\n", movie.fileName.c_str(), error.c_str());
            return false;
        }
        paths.push_back(directory + "/" + movie.fileName);
    }
    return true;
}

int ParentMain(int argc, char** argv) {
    std::int32_t seconds = 20, hosts = 8, movies = 4;
    if ((argc > 1 && !basekit::utility::ParseInteger(argv[1], seconds)) ||
        (argc > 2 && !basekit::utility::ParseInteger(argv[2], hosts)) ||
        (argc > 3 && !basekit::utility::ParseInteger(argv[3], movies)) || seconds < 1 ||
        hosts < 1 || movies < 1) {
        std::fprintf(stderr, "usage: bench_scale [seconds=20] [hosts=8] [movies per host=4]\n");
        return 2;
    }
    int const windows = (seconds + kLongestWindowSeconds - 1) / kLongestWindowSeconds;
    // A child that died must not take this program with it when it is told to start.
    ::signal(SIGPIPE, SIG_IGN);
    // For the fault test: the server is killed this many seconds into the first window.
    std::int64_t const killServerAfter =
        basekit::utility::EnvironmentInteger("VIREO_BENCH_SCALE_KILL_SERVER", 0, 0, 86400);

    PrivateRegistry registry;
    char pattern[] = "/tmp/vireo-bench-scale-XXXXXX";
    if (!registry.Make() || ::mkdtemp(pattern) == nullptr) {
        std::fprintf(stderr, "could not make the temporary directories\n");
        return 1;
    }
    std::string const movieDir = pattern;
    std::vector<std::string> paths;
    int status = WriteMovies(movieDir, movies, paths) ? 0 : 1;

    // Starts the one server all hosts share, and keeps it while the hosts come and go.
    auto client = status == 0 ? VireoClient::Create() : decltype(VireoClient::Create())();
    std::vector<pid_t> const servers = registry.ServerPids();
    pid_t const server = servers.size() == 1 ? servers.front() : -1;
    if (status == 0 && (!client || server <= 0)) {
        std::fprintf(stderr, "no single server process in the registry\n");
        status = 1;
    }

    if (status == 0) {
        std::printf("server process %d, registry %s, movies in %s\n", int(server),
                    std::getenv("CORVIDHOST_REGISTRY_DIR"), movieDir.c_str());
    }
    Variant inProcess{"in-process, " + std::to_string(hosts) + " threads"};
    Variant library{"library, " + std::to_string(hosts) + " host processes"};
    MemorySample idle;
    std::vector<MemorySample> memory;
    if (status == 0) {
        ReadMemory(server, idle);
        auto child = [&](char const* kind, int workers, int first) {
            std::vector<std::string> arguments{"--child", kind, std::to_string(workers),
                                               std::to_string(first)};
            arguments.insert(arguments.end(), paths.begin(), paths.end());
            return arguments;
        };
        std::vector<std::vector<std::string>> hostArguments;
        for (int host = 0; host < hosts; ++host) {
            hostArguments.push_back(child("library", 1, host));
            library.labels.push_back("host " + std::to_string(host + 1));
        }
        inProcess.labels.push_back("in-process reader, " + std::to_string(hosts) + " threads");
        std::string error = Start(library, hostArguments, server);
        if (error.empty()) {
            error = Start(inProcess, {child("engine", hosts, 0)}, server);
        }
        // The server's memory is sampled about every second through all the windows, from the
        // start of the first; the server is idle during the in-process windows.
        Clock::time_point const start = Clock::now();
        auto sample = [&]() -> std::string {
            MemorySample memorySample;
            if (ReadMemory(server, memorySample)) {
                memorySample.minutes = SecondsSince(start) / 60;
                memory.push_back(memorySample);
            }
            if (killServerAfter > 0 && SecondsSince(start) >= double(killServerAfter)) {
                ::kill(server, SIGKILL);
            }
            return {};
        };
        // Windows of at most kLongestWindowSeconds, the variants in turn, the first turning.
        std::int64_t const milliseconds = std::int64_t{seconds} * 1000 / windows;
        for (int window = 0; window < windows && error.empty(); ++window) {
            for (int turn = 0; turn < 2 && error.empty(); ++turn) {
                Variant& variant = (window + turn) % 2 == 0 ? library : inProcess;
                error = Window(variant, milliseconds, server, sample);
            }
        }
        for (Variant* variant : {&library, &inProcess}) {
            std::string const ended = Finish(*variant, !error.empty());
            error = error.empty() ? ended : error;
        }
        if (!error.empty()) {
            std::fprintf(stderr, "bench_scale: %s\n", error.c_str());
            status = 1;
        } else if (!inProcess.digestsAgree || !library.digestsAgree ||
                   inProcess.digests != library.digests ||
                   inProcess.digests.size() != paths.size()) {
            std::fprintf(stderr, "bench_scale: the frames' checksums differ between readers\n");
            status = 1;
        }
    }

    if (status == 0) {
        PrintResults(inProcess, library, seconds, movies, windows, idle, memory);
    }
    client.reset();
    registry.StopServers();
    registry.Remove();
    for (std::string const& path : paths) {
        ::unlink(path.c_str());
    }
    ::rmdir(movieDir.c_str());
    return status;
}

}  // namespace
}  // namespace vireo::bench

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0) {
        return vireo::bench::ChildMain(argc, argv);
    }
    return vireo::bench::ParentMain(argc, argv);
}
