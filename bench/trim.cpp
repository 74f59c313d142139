// Trimming a 2-minute 1080p H.264 movie to its middle minute without re-encoding: through the
// library (TrimFile: the request to the server, which trims), the file services' trim in this
// process (the server's work alone), and the ffmpeg command-line tool's stream copy of the same
// range, in the same run.
//
//   bench_trim [--runs N, default 5] [--keep FOLDER: write the generated movie there, or reuse
//              it] [movie, default: generated into a temporary folder]
//
// The generated movie: H.264 1920x1080 at 25 fps, 3000 frames, key frames every 50 frames,
// 16-bit PCM stereo at 48 kHz. The range is 30 s to 90 s (frames 750 to 2250).
//
// Each run trims once each way, in turn, into a fresh file, after one warm-up of each (so all
// read the source from the page cache; the server is started before the warm-up). Both write the
// same tracks (video and audio) into a QuickTime movie. The trim syncs its file to the disk before
// renaming it into place; ffmpeg does not sync: a third column times the trim plus an fsync for
// ffmpeg's output, to show what the sync costs. Reports the median and best wall time of each and
// the ratio of the medians.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "SystemBench.h"
#include "VireoClient/VireoClient.h"
#include "basekit/utility/Text.h"
#include "engine/Movie.h"
#include "files/FileErrors.h"
#include "files/Trim.h"
#include "samples/SampleSet.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFrames = 3000;
constexpr int kRate = 25;
constexpr int kFirstFrame = 750;
constexpr int kFrameCount = 1500;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::size_t const n = values.size();
    return n == 0 ? 0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Best(std::vector<double> const& values) {
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

vireo::samples::SampleMovie Movie() {
    vireo::samples::SampleMovie movie;
    movie.fileName = "trim_source_1080p.mov";
    movie.container = "mov";
    vireo::samples::VideoTrack video;
    video.width = 1920;
    video.height = 1080;
    video.rateNumerator = kRate;
    video.frames = kFrames;
    video.gop = 50;
    video.fast = true;
    movie.video = video;
    vireo::samples::AudioTrack audio;
    audio.samples = std::int64_t(kFrames) * 48000 / kRate;
    movie.audio = audio;
    return movie;
}

// Seconds the trim takes, or < 0 when it fails.
double TimeTrim(std::string const& source, std::string const& destination) {
    vireo::server::files::TrimRequest request;
    request.trimIn = kFirstFrame;
    request.duration = kFrameCount;
    request.scale = kRate;
    request.sampleSize = 1;
    request.source = source;
    request.destination = destination;
    auto const start = Clock::now();
    std::int32_t const result = vireo::server::files::TrimMovie(request);
    double const seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (result != 0) {
        std::fprintf(stderr, "trim failed: %d (%s)\n", result,
                     vireo::server::files::FileErrorText(result));
        return -1;
    }
    return seconds;
}

// Seconds the trim takes through the library and the server, or < 0 when it fails.
double TimeBridgeTrim(std::string const& source, std::string const& destination) {
    VireoServer::TrimMovieParams params;
    params.TrimIn = kFirstFrame;
    params.Duration = kFrameCount;
    params.Scale = kRate;
    params.SampleSize = 1;
    params.Source = basekit::utility::UTF8to16(source);
    params.Destination = basekit::utility::UTF8to16(destination);
    auto const start = Clock::now();
    long const result = VireoClient::TrimFile(params);
    double const seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (result != 0) {
        std::fprintf(stderr, "bridge trim failed: %ld\n", result);
        return -1;
    }
    return seconds;
}

// Seconds ffmpeg takes for the same range by stream copy (plus an fsync of its output when
// `sync`), or < 0 when it fails.
double TimeFfmpeg(std::string const& source, std::string const& destination, bool sync) {
    std::string const in = std::to_string(double(kFirstFrame) / kRate);
    std::string const length = std::to_string(double(kFrameCount) / kRate);
    auto const start = Clock::now();
    pid_t const child = ::fork();
    if (child == 0) {
        ::execlp("ffmpeg", "ffmpeg", "-nostdin", "-v", "error", "-y", "-ss", in.c_str(), "-i",
                 source.c_str(), "-t", length.c_str(), "-c", "copy", "-f", "mov",
                 destination.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "ffmpeg failed (is Debian's ffmpeg package installed?)\n");
        return -1;
    }
    if (sync) {
        int const fd = ::open(destination.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Describe(std::string const& path) {
    std::int32_t error = 0;
    auto movie = vireo::engine::Movie::Open(path, vireo::engine::OpenOptions{}, error);
    if (!movie) {
        return "cannot be opened (" + std::to_string(error) + ")";
    }
    auto const& video = movie->Info().video;
    auto const& audio = movie->Info().audio;
    char text[160];
    std::snprintf(text, sizeof(text), "%lld frames, %.3f s video, %lld audio samples, %.1f MB",
                  static_cast<long long>(video.frameCount),
                  video.timeScale > 0 ? double(video.duration) / video.timeScale : 0.0,
                  static_cast<long long>(audio.duration),
                  double(std::filesystem::file_size(path)) / 1e6);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    // The servers this benchmark starts live in a registry of their own; made before any thread.
    vireo::bench::PrivateRegistry registry;
    if (!registry.Make()) {
        std::fprintf(stderr, "cannot make a registry directory\n");
        return 1;
    }
    std::string source;
    std::string keep;
    int runs = 5;
    for (int i = 1; i < argc; ++i) {
        std::string const argument = argv[i];
        if (argument == "--keep" && i + 1 < argc) {
            keep = argv[++i];
        } else if (argument == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else {
            source = argument;
        }
    }

    char pattern[] = "/tmp/vireo-bench-trim-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        return 1;
    }
    std::string const work = pattern;
    if (source.empty()) {
        std::string const folder = keep.empty() ? work : keep;
        std::filesystem::create_directories(folder);
        source = folder + "/" + Movie().fileName;
        if (!std::filesystem::exists(source)) {
            std::printf("writing the 2-minute 1080p source movie (takes a while)...\n");
            std::fflush(stdout);
            std::string error;
            if (!vireo::samples::WriteSample(Movie(), folder, error)) {
                std::fprintf(stderr, "could not write the movie: %s\n", error.c_str());
                return 1;
            }
        }
    }
    std::printf("source: %s: %s\n", source.c_str(), Describe(source).c_str());

    std::string const ours = work + "/trimmed.mov";
    std::string const bridged = work + "/bridged.mov";
    std::string const theirs = work + "/ffmpeg.mov";
    std::vector<double> bridge, trim, ffmpeg, ffmpegSynced;
    // The shared client, connected (its server started) before anything is timed.
    auto client = VireoClient::Create();
    bool ok = client && client->IsQuicktimeAvailable();
    if (!ok) {
        std::fprintf(stderr, "the server could not be started\n");
    }
    ok = ok && TimeBridgeTrim(source, bridged) >= 0 && TimeTrim(source, ours) >= 0 &&
         TimeFfmpeg(source, theirs, false) >= 0;
    for (int run = 0; ok && run < runs; ++run) {
        // The order turns from run to run, so none always follows another.
        double a = 0, b = 0, c = 0, d = 0;
        if (run % 2 == 0) {
            d = TimeBridgeTrim(source, bridged);
            a = TimeTrim(source, ours);
            b = TimeFfmpeg(source, theirs, false);
            c = TimeFfmpeg(source, theirs, true);
        } else {
            c = TimeFfmpeg(source, theirs, true);
            b = TimeFfmpeg(source, theirs, false);
            a = TimeTrim(source, ours);
            d = TimeBridgeTrim(source, bridged);
        }
        ok = a >= 0 && b >= 0 && c >= 0 && d >= 0;
        bridge.push_back(d);
        trim.push_back(a);
        ffmpeg.push_back(b);
        ffmpegSynced.push_back(c);
    }
    if (ok) {
        std::printf("trimmed (bridge):    %s\n", Describe(bridged).c_str());
        std::printf("trimmed (this trim): %s\n", Describe(ours).c_str());
        std::printf("trimmed (ffmpeg):    %s\n", Describe(theirs).c_str());
        std::printf("\n%-34s %10s %10s\n", "middle minute, wall seconds", "median", "best");
        std::printf("%-34s %10.3f %10.3f\n", "TrimFile through the server", Median(bridge),
                    Best(bridge));
        std::printf("%-34s %10.3f %10.3f\n", "trim in process (synced to disk)", Median(trim),
                    Best(trim));
        std::printf("%-34s %10.3f %10.3f\n", "ffmpeg -c copy", Median(ffmpeg), Best(ffmpeg));
        std::printf("%-34s %10.3f %10.3f\n", "ffmpeg -c copy, then fsync", Median(ffmpegSynced),
                    Best(ffmpegSynced));
        std::printf("\nratio TrimFile / ffmpeg (medians): %.2f (goal: at most 1.2)\n",
                    Median(bridge) / Median(ffmpeg));
        std::printf("ratio trim in process / ffmpeg (medians): %.2f\n",
                    Median(trim) / Median(ffmpeg));
        std::printf("ratio trim / ffmpeg + fsync (medians): %.2f\n",
                    Median(trim) / Median(ffmpegSynced));
    }
    client.reset();
    registry.StopServers();
    registry.Remove();
    std::error_code error;
    std::filesystem::remove_all(work, error);
    return ok ? 0 : 1;
}
