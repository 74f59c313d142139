// Frame rate of reading a 1080p H.264 movie as BGRA through the library (ImportFile, then the
// importer's frames, which the server decodes and publishes through shared memory), beside
// decoding and converting the same frames in this process with the engine library the server
// uses (same decoder, same options, same conversion, into a plain buffer), in the same run.
//
//   bench_import_frames [--frames N] [--load quiet|loaded|both] [movie] [runs] [in flight]
//
//   movie      default: the 1080p H.264 sample of the sample set lengthened to N frames
//              (--frames, default 300), written into a temporary directory at start;
//   runs       passes of each variant per load, default 5; in flight: requests, default 3;
//   --load     quiet: the machine as it is; loaded: beside a processor hog of this program's
//              own (a child process spinning on one processor for the whole measurement);
//              both (default): quiet, then loaded, each with its own table.
//
// Three variants, each reading every frame n at time n * SampleSize, in turn per run:
//   in-process  engine::Movie::ReadVideoFrame into a buffer, one frame after the other;
//   blocking    IVireoImporter::GetMovieVideo, one frame after the other;
//   in flight   IVireoImporter::RequestMovieVideo with several requests outstanding: the server
//               works on the next frames while this thread consumes one.
// Every variant consumes each frame the same way: a light checksum that reads one word of every
// cache line of every row, so no variant wins by not reading its pixels. The checksums of the
// three variants must agree frame by frame.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/scope_exit.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Kino/VideoFrame.h"
#include "SystemBench.h"
#include "VireoClient/VireoClient.h"
#include "basekit/utility/Guid.h"
#include "basekit/utility/Text.h"
#include "crossprocess/Stats.h"
#include "engine/Errors.h"
#include "engine/Movie.h"
#include "engine/PixelFormats.h"
#include "samples/SampleSet.h"

namespace {

using namespace vireo::bench;
using Clock = std::chrono::steady_clock;
using ImporterRef = InterfaceRef<VireoClient::IVireoImporter, VireoClient::IVireoImporter>;
using FrameRef = InterfaceRef<Kino::IVideoFrame>;
using Checksums = std::vector<std::uint64_t>;

constexpr char kSampleName[] = "h264_1080p.mov";
// Bound of every wait for a frame: a server that stopped answering ends the run, not the program.
constexpr auto kFrameWaitBound = std::chrono::seconds(30);

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Seconds spent in Checksum so far (it runs on the main thread only).
double gChecksumSeconds = 0;

// Wall and processor time of one pass over the movie; seconds < 0: the pass failed.
struct Timing {
    double seconds = -1;
    double checksumSeconds = 0;  // of the seconds, those spent reading the pixels
    // Processor time by process and thread name.
    std::map<std::string, Usage> byThreadName;
};

// Measures from its construction to Stop(). The processes' threads must outlive the
// measurement (the decoders' threads end when their movie closes, after Stop()).
class Stopwatch {
  public:
    explicit Stopwatch(std::vector<Process> const& processes)
        : mProcesses(processes),
          mUsage(ProcessUsage::Read(processes)),
          mChecksum(gChecksumSeconds),
          mStart(Clock::now()) {}

    Timing Stop() const {
        Timing timing;
        timing.seconds = SecondsSince(mStart);
        timing.checksumSeconds = gChecksumSeconds - mChecksum;
        timing.byThreadName = ProcessUsage::Read(mProcesses).Since(mUsage);
        return timing;
    }

  private:
    std::vector<Process> const mProcesses;
    ProcessUsage const mUsage;
    double const mChecksum;
    Clock::time_point const mStart;
};

// The pixel checksum, its wall time counted.
std::uint64_t Checksum(void const* pixels, std::size_t rowBytes, std::size_t usedBytes,
                       std::uint32_t height) {
    auto const start = Clock::now();
    BOOST_SCOPE_EXIT_ALL(&) {
        gChecksumSeconds += SecondsSince(start);
    };
    return PixelChecksum(pixels, rowBytes, usedBytes, height);
}

std::uint64_t Checksum(FrameRef const& frame) {
    return Checksum(frame->GetPixels(), frame->GetRowBytes(), std::size_t{4} * frame->GetWidth(),
                    frame->GetHeight());
}

// ---- in-process reference ----------------------------------------------------------------------

// Reads every frame; `processes`: those whose processor time counts (this one).
Timing ReadInProcess(std::string const& path, std::size_t rowBytes,
                     std::vector<Process> const& processes, Checksums& sums) {
    std::int32_t error = 0;
    std::unique_ptr<vireo::engine::Movie> movie =
        vireo::engine::Movie::Open(path, vireo::engine::OpenOptions(), error);
    if (!movie) {
        std::fprintf(stderr, "the engine cannot open %s (%d)\n", path.c_str(), int(error));
        return Timing();
    }
    vireo::engine::VideoInfo const& video = movie->Info().video;
    rowBytes =
        std::max(rowBytes, vireo::engine::MinimumRowBytes(vireo::engine::kFormatBGRA, video.width));
    std::size_t const size = (rowBytes * video.height + 63) / 64 * 64;
    std::unique_ptr<void, decltype(&std::free)> buffer(std::aligned_alloc(64, size), &std::free);
    sums.assign(static_cast<std::size_t>(video.frameCount), 0);
    // Touched before the clock starts, as the library's pooled shared blocks are.
    std::memset(buffer.get(), 0, size);

    Stopwatch const watch(processes);
    for (std::int64_t n = 0; n < video.frameCount; ++n) {
        std::int32_t const result = movie->ReadVideoFrame(
            n * video.sampleSize, vireo::engine::kFormatBGRA, buffer.get(), rowBytes, 0, 0);
        if (result != vireo::engine::kOK) {
            std::fprintf(stderr, "in-process frame %lld: error %d\n", static_cast<long long>(n),
                         int(result));
            return Timing();
        }
        sums[static_cast<std::size_t>(n)] =
            Checksum(buffer.get(), rowBytes, std::size_t{4} * video.width,
                     static_cast<std::uint32_t>(video.height));
    }
    return watch.Stop();
}

// ---- through the library -----------------------------------------------------------------------

struct OpenedMovie {
    ImporterRef importer;
    VireoServer::PixelFormat format;
    std::int32_t sampleSize = 0;
    std::int64_t frames = 0;
};

bool Open(std::string const& path, OpenedMovie& opened) {
    long const result = VireoClient::ImportFile(basekit::utility::UTF8to16(path), false, false,
                                                false, opened.importer);
    if (result != 0 || !opened.importer) {
        std::fprintf(stderr, "ImportFile failed: %ld\n", result);
        return false;
    }
    VireoServer::VideoProperties const& video = opened.importer->GetVideoProperties();
    opened.format = VireoServer::PixelFormat(
        vireo::engine::kFormatBGRA, vireo::engine::FormatProperties(vireo::engine::kFormatBGRA));
    for (VireoServer::PixelFormat const& offered : video.SupportedPixelFormats) {
        if (offered.fourcc == vireo::engine::kFormatBGRA) {
            opened.format = offered;
        }
    }
    opened.sampleSize = video.SampleSize;
    opened.frames = video.SampleSize > 0
                        ? (std::int64_t{video.Duration} + video.SampleSize - 1) / video.SampleSize
                        : 0;
    return opened.frames > 0;
}

// Reads every frame with the blocking form; `processes`: those whose processor time counts
// (this one and the server).
Timing ReadBlocking(std::string const& path, std::vector<Process> const& processes, Checksums& sums,
                    std::uint32_t* rowBytes = nullptr) {
    OpenedMovie movie;
    if (!Open(path, movie)) {
        return Timing();
    }
    sums.assign(static_cast<std::size_t>(movie.frames), 0);
    Stopwatch const watch(processes);
    for (std::int64_t n = 0; n < movie.frames; ++n) {
        FrameRef frame;
        long const result = movie.importer->GetMovieVideo(
            static_cast<std::int32_t>(n * movie.sampleSize), movie.format, 0, 0, frame);
        if (result != 0 || !frame) {
            std::fprintf(stderr, "blocking frame %lld: error %ld\n", static_cast<long long>(n),
                         result);
            return Timing();
        }
        if (rowBytes != nullptr) {
            *rowBytes = frame->GetRowBytes();
        }
        sums[static_cast<std::size_t>(n)] = Checksum(frame);
    }
    return watch.Stop();
}

// Frames delivered by RequestMovieVideo, by frame number. Shared with the callbacks, which may
// outlive a failed run.
struct Arrivals {
    std::mutex mutex;
    std::condition_variable arrived;
    std::map<std::int64_t, std::pair<FrameRef, long>> frames;
};

// Reads every frame with `depth` requests in flight; `processes` as for ReadBlocking.
Timing ReadInFlight(std::string const& path, int depth, std::vector<Process> const& processes,
                    Checksums& sums) {
    OpenedMovie movie;
    if (!Open(path, movie)) {
        return Timing();
    }
    sums.assign(static_cast<std::size_t>(movie.frames), 0);
    auto arrivals = std::make_shared<Arrivals>();
    auto request = [&](std::int64_t n) {
        // Runs on a shared-data or RPC thread: keeps the frame for the consuming thread.
        auto onFrame = [arrivals, n](FrameRef frame, long result) {
            std::lock_guard<std::mutex> lock(arrivals->mutex);
            arrivals->frames[n] = {std::move(frame), result};
            arrivals->arrived.notify_all();
        };
        return movie.importer->RequestMovieVideo(static_cast<std::int32_t>(n * movie.sampleSize),
                                                 movie.format, 0, 0, onFrame,
                                                 basekit::utility::Guid::CreateUnique());
    };

    Stopwatch const watch(processes);
    std::int64_t requested = 0;
    for (; requested < std::min<std::int64_t>(depth, movie.frames); ++requested) {
        if (!request(requested)) {
            return Timing();
        }
    }
    for (std::int64_t n = 0; n < movie.frames; ++n) {
        std::pair<FrameRef, long> got;
        {
            std::unique_lock<std::mutex> lock(arrivals->mutex);
            if (!arrivals->arrived.wait_for(lock, kFrameWaitBound,
                                            [&] { return arrivals->frames.count(n) != 0; })) {
                std::fprintf(stderr, "frame %lld did not arrive\n", static_cast<long long>(n));
                return Timing();
            }
            got = std::move(arrivals->frames[n]);
            arrivals->frames.erase(n);
        }
        if (requested < movie.frames && !request(requested++)) {
            return Timing();
        }
        if (got.second != 0 || !got.first) {
            std::fprintf(stderr, "frame %lld in flight: error %ld\n", static_cast<long long>(n),
                         got.second);
            return Timing();
        }
        sums[static_cast<std::size_t>(n)] = Checksum(got.first);
    }
    return watch.Stop();
}

// Per variant and run: frames per second, and per frame the processor milliseconds, the
// checksum's milliseconds and the times a thread was put on a processor.
struct Results {
    std::vector<double> rates, cpu, checksum, runs;
    std::map<std::string, Usage> byThreadName;  // summed over the runs
};

// A child process that spins on a processor until it is dropped: the load of the loaded figure.
// It only spins (nothing else is safe in the child of a process with threads).
class ProcessorHog {
  public:
    ProcessorHog() : mPid(::fork()) {
        if (mPid == 0) {
            for (volatile std::uint64_t spin = 0;; spin = spin + 1) {
            }
        }
    }
    ~ProcessorHog() {
        if (mPid > 0) {
            ::kill(mPid, SIGKILL);
            ::waitpid(mPid, nullptr, 0);
        }
    }
    ProcessorHog(ProcessorHog const&) = delete;
    ProcessorHog& operator=(ProcessorHog const&) = delete;
    bool Started() const { return mPid > 0; }

  private:
    pid_t const mPid;
};

// Runs the three variants `runs` times each and prints their table; false when a pass failed
// or the checksums differ from `reference`.
bool Measure(char const* load, std::string const& path, int runs, int depth, std::uint32_t rowBytes,
             Checksums const& reference, std::vector<Process> const& self,
             std::vector<Process> const& bridge) {
    Results results[3];
    Checksums sums;
    std::int64_t const frames = static_cast<std::int64_t>(reference.size());
    std::uint64_t const mappedBefore = crossprocess::GetStats().segmentsMapped;
    // The order of the variants turns from run to run, so that none always comes first.
    for (int run = 0; run < runs; ++run) {
        for (int i = 0; i < 3; ++i) {
            int const variant = (run + i) % 3;
            Timing const timing = variant == 0   ? ReadInProcess(path, rowBytes, self, sums)
                                  : variant == 1 ? ReadBlocking(path, bridge, sums)
                                                 : ReadInFlight(path, depth, bridge, sums);
            if (timing.seconds < 0 || sums != reference) {
                std::fprintf(stderr, "%s run %d failed%s\n", load, run,
                             timing.seconds < 0 ? "" : ": checksums differ");
                return false;
            }
            Results& result = results[variant];
            Usage total;
            for (auto const& [thread, used] : timing.byThreadName) {
                result.byThreadName[thread] += used;
                total += used;
            }
            double const count = double(frames);
            result.rates.push_back(count / timing.seconds);
            result.cpu.push_back(double(total.nanoseconds) / 1e6 / count);
            result.checksum.push_back(1000 * timing.checksumSeconds / count);
            result.runs.push_back(double(total.runs) / count);
        }
    }

    double const inProcess = Median(results[0].rates);
    double const best = Highest(results[0].rates);
    auto line = [&](char const* name, Results const& result, char const* goal) {
        std::printf("%-24s %7.1f %7.1f  %6.1f%% %6.1f%%  %6.2f %6.2f  %5.1f  %s\n", name,
                    Median(result.rates), Highest(result.rates),
                    100 * Median(result.rates) / inProcess, 100 * Highest(result.rates) / best,
                    Median(result.cpu), Median(result.checksum), Median(result.runs), goal);
    };
    std::printf("\n%s: %s: %lld frames as BGRA, %d runs\n", load, path.c_str(),
                static_cast<long long>(frames), runs);
    std::printf("%-24s %15s  %15s  %13s  %5s\n", "", "frames/s", "of in-process", "ms per frame",
                "runs");
    std::printf("%-24s %7s %7s  %7s %7s  %6s %6s\n", "", "median", "best", "median", "best", "CPU",
                "read");
    line("in-process engine", results[0], "");
    line("library, blocking", results[1], "(goal: median >= 95%)");
    std::string const name = "library, " + std::to_string(depth) + " in flight";
    line(name.c_str(), results[2], "(goal: median >= 100%)");
    std::printf(
        "(CPU: processor time of every thread of this process, and of the server for the "
        "library; read: the checksum's wall time; runs: times a thread was put on a processor; "
        "medians of the runs)\n");
    std::printf("checksums of every frame agree in all three variants\n");
    std::printf(
        "shared blocks of the server newly mapped by this process during the runs: %llu\n",
        static_cast<unsigned long long>(crossprocess::GetStats().segmentsMapped - mappedBefore));

    // Where the processor time goes, by process and thread name.
    char const* const names[3] = {"in-process engine", "library, blocking", "library, in flight"};
    for (int variant = 0; variant < 3; ++variant) {
        std::printf("%s, per frame (mean of the runs):\n", names[variant]);
        double const count = double(frames) * double(runs);
        for (auto const& [thread, used] : results[variant].byThreadName) {
            if (used.runs > 0) {
                std::printf("  %-36s %6.3f ms CPU %6.2f runs\n", thread.c_str(),
                            double(used.nanoseconds) / 1e6 / count, double(used.runs) / count);
            }
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int sampleFrames = 300;
    std::string load = "both";
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string const arg = argv[i];
        if (arg == "--frames" && i + 1 < argc) {
            sampleFrames = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--load" && i + 1 < argc) {
            load = argv[++i];
        } else {
            positional.push_back(arg);
        }
    }
    if (load != "quiet" && load != "loaded" && load != "both") {
        std::fprintf(stderr, "--load takes quiet, loaded or both\n");
        return 2;
    }
    std::string path = positional.size() > 0 ? positional[0] : "";
    int const runs = positional.size() > 1 ? std::max(1, std::atoi(positional[1].c_str())) : 5;
    int const depth = positional.size() > 2 ? std::max(1, std::atoi(positional[2].c_str())) : 3;

    PrivateRegistry registry;
    if (!registry.Make()) {
        std::fprintf(stderr, "could not make a registry directory\n");
        return 1;
    }
    std::string sampleDir;
    if (path.empty()) {
        char pattern[] = "/tmp/vireo-bench-movie-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            return 1;
        }
        sampleDir = pattern;
        // The benchmark sample, longer: enough frames that one run is not over in a blink.
        vireo::samples::SampleMovie movie = vireo::samples::FindSample(kSampleName);
        movie.video->frames = sampleFrames;
        movie.fileName = "h264_1080p_" + std::to_string(sampleFrames) + ".mov";
        std::string error;
        std::fprintf(stderr, "writing a %d-frame 1080p sample...\n", sampleFrames);
        if (!vireo::samples::WriteSample(movie, sampleDir, error)) {
            std::fprintf(stderr, "could not write the sample: %s\n", error.c_str());
            ::rmdir(sampleDir.c_str());
            return 1;
        }
        path = sampleDir + "/" + movie.fileName;
    }

    // Held for the whole program, so the connection and this process's mappings of the
    // server's shared memory live from one run to the next (each importer holds it too).
    InterfaceRef<VireoClient::IVireoClient, VireoClient::IVireoClient> client =
        VireoClient::Create();
    int status = client ? 0 : 1;
    std::vector<Process> const self{{::getpid(), "this process"}};
    std::vector<Process> bridge = self;
    std::vector<pid_t> const servers = registry.ServerPids();
    if (servers.size() == 1) {
        bridge.push_back({servers.front(), "server"});
    } else {
        std::fprintf(stderr, "no single server process in the registry\n");
        status = 1;
    }

    Checksums reference;
    std::uint32_t rowBytes = 0;
    if (status == 0) {
        // Untimed first passes: fill the server's pools and this process's mappings, and learn
        // the row bytes of the frames the server makes.
        Checksums sums;
        if (ReadBlocking(path, bridge, reference, &rowBytes).seconds < 0 ||
            ReadInProcess(path, rowBytes, self, sums).seconds < 0 || sums != reference) {
            std::fprintf(
                stderr, "%s\n",
                sums != reference ? "in-process and library frames differ" : "a first pass failed");
            status = 1;
        }
    }
    if (status == 0 && load != "loaded" &&
        !Measure("quiet", path, runs, depth, rowBytes, reference, self, bridge)) {
        status = 1;
    }
    if (status == 0 && load != "quiet") {
        ProcessorHog const hog;
        if (!hog.Started() || !Measure("loaded (a processor hog beside)", path, runs, depth,
                                       rowBytes, reference, self, bridge)) {
            status = 1;
        }
    }

    client.reset();
    registry.StopServers();
    registry.Remove();
    if (!sampleDir.empty()) {
        ::unlink(path.c_str());
        ::rmdir(sampleDir.c_str());
    }
    return status;
}
