// Many hosts at once: host processes, each reading several 1080p H.264 movies as BGRA in turn
// through the library, all served by one shared server, beside as many threads doing the same
// in one process with the engine library in-process. Both variants run for the same time; the
// program prints the aggregate frame rates and their ratio, whether every frame's checksum
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
// Bound of the end of the timed window beyond its length.
constexpr std::chrono::seconds kFinishGrace(120);

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
int RunChild(int workers, double seconds, std::size_t first,
             std::vector<std::string> const& paths) {
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
    std::string command;
    if (!ReadCommand(command, kPrepareBound * 2) || command != "go") {
        return 1;
    }
    double const cpuStart = ProcessCpuSeconds();
    onEach([&](Worker<Movies>& worker) { worker.Run(seconds); });
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
    if (status == 0) {
        std::printf("done\n");
    }
    std::fflush(stdout);
    return status;
}

// --child engine|library WORKERS SECONDS FIRST MOVIE...
int ChildMain(int argc, char** argv) {
    std::int32_t workers = 0, seconds = 0, first = 0;
    if (argc < 7 || !basekit::utility::ParseInteger(argv[3], workers) ||
        !basekit::utility::ParseInteger(argv[4], seconds) ||
        !basekit::utility::ParseInteger(argv[5], first) || workers < 1 || first < 0) {
        std::fprintf(stderr, "bench_scale: bad child arguments\n");
        return 2;
    }
    std::vector<std::string> const paths(argv + 6, argv + argc);
    if (std::strcmp(argv[2], "engine") == 0) {
        return RunChild<EngineMovies>(workers, seconds, std::size_t(first), paths);
    }
    // Held for the whole run, as a host holds its connection.
    auto client = VireoClient::Create();
    if (!client) {
        std::fprintf(stderr, "bench_scale host: no connection to the server\n");
        return 1;
    }
    int const status = RunChild<LibraryMovies>(workers, seconds, std::size_t(first), paths);
    client.reset();
    return status;
}

// ---- parent ------------------------------------------------------------------------------------

// Starts the children of `variant` (one per argument list), lets them prepare, starts their
// timed window together and collects their reports. `tick` runs about every second from the
// start of the window (with the minutes since) and may end the run with an error.
std::string Run(Variant& variant, std::vector<std::vector<std::string>> const& arguments,
                int seconds, pid_t server, std::function<std::string(double)> const& tick) {
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
    auto serverAlive = [server]() -> std::string {
        return basekit::utility::IsProcessAlive(server) ? "" : "the server ended";
    };
    std::string error =
        WaitForChildren(variant.children, &ChildReport::ready, kPrepareBound, serverAlive);
    if (!error.empty()) {
        return "preparing: " + error;
    }
    std::vector<Process> const serverProcess{{server, "server"}};
    ProcessUsage const serverBefore = ProcessUsage::Read(serverProcess);
    Clock::time_point const start = Clock::now();
    for (auto& child : variant.children) {
        if (!child->Send("go")) {
            return "could not start child " + std::to_string(child->Pid());
        }
    }
    error = WaitForChildren(variant.children, &ChildReport::done,
                            std::chrono::seconds(seconds) + kFinishGrace, [&]() -> std::string {
                                std::string const dead = serverAlive();
                                return !dead.empty() ? dead : tick(SecondsSince(start) / 60);
                            });
    variant.seconds = SecondsSince(start);
    variant.server = ProcessUsage::Read(serverProcess).TotalSince(serverBefore);
    // After a failure the children may be stuck on the dead server: they are killed at once.
    for (auto& child : variant.children) {
        if (!error.empty()) {
            child->Kill();
        } else if (!child->Finish(std::chrono::seconds(10))) {
            error = "a child failed";
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

// True when every worker of both variants saw the same frames in every movie: the digests of
// each movie agree.
bool DigestsAgree(std::vector<Variant const*> const& variants, std::size_t movies) {
    std::vector<std::uint64_t> first;
    for (Variant const* variant : variants) {
        for (auto const& child : variant->children) {
            for (WorkerResult const& worker : child->Report().workers) {
                if (worker.digests.size() != movies) {
                    return false;
                }
                if (first.empty()) {
                    first = worker.digests;
                } else if (worker.digests != first) {
                    return false;
                }
            }
        }
    }
    return !first.empty();
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
    // A child that died must not take this program with it when it is told to start.
    ::signal(SIGPIPE, SIG_IGN);
    // For the fault test: the server is killed this many seconds into the hosts' window.
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
        std::printf("server process %d\n", int(server));
    }
    Variant inProcess{"in-process, " + std::to_string(hosts) + " threads"};
    Variant library{"library, " + std::to_string(hosts) + " host processes"};
    MemorySample idle;
    std::vector<MemorySample> memory;
    if (status == 0) {
        ReadMemory(server, idle);
        auto child = [&](char const* kind, int workers, int first) {
            std::vector<std::string> arguments{"--child", kind, std::to_string(workers),
                                               std::to_string(seconds), std::to_string(first)};
            arguments.insert(arguments.end(), paths.begin(), paths.end());
            return arguments;
        };
        std::vector<std::vector<std::string>> hostArguments;
        for (int host = 0; host < hosts; ++host) {
            hostArguments.push_back(child("library", 1, host));
            library.labels.push_back("host " + std::to_string(host + 1));
        }
        std::string error = Run(library, hostArguments, seconds, server, [&](double minutes) {
            MemorySample sample;
            if (ReadMemory(server, sample)) {
                sample.minutes = minutes;
                memory.push_back(sample);
            }
            if (killServerAfter > 0 && minutes * 60 >= double(killServerAfter)) {
                ::kill(server, SIGKILL);
            }
            return std::string();
        });
        if (error.empty()) {
            inProcess.labels.push_back("in-process reader, " + std::to_string(hosts) + " threads");
            error = Run(inProcess, {child("engine", hosts, 0)}, seconds, server,
                        [](double) { return std::string(); });
        }
        if (!error.empty()) {
            std::fprintf(stderr, "bench_scale: %s\n", error.c_str());
            status = 1;
        } else if (!DigestsAgree({&inProcess, &library}, paths.size())) {
            std::fprintf(stderr, "bench_scale: the frames' checksums differ between readers\n");
            status = 1;
        }
    }

    if (status == 0) {
        PrintResults(inProcess, library, seconds, movies, idle, memory);
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
