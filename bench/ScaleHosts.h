#pragma once
// The reading side of bench_scale: a worker that keeps some movies open and reads their frames as
// BGRA in turn, looping, through the library (one host process) or through the engine library
// in-process (one thread of the in-process child).
//
// A worker opens its movies, reads every frame of each once untimed (which fills the server's
// pools and gives the reference checksum of every frame), then, once started, reads whole passes
// of one movie after the other until its deadline. Every frame read is checked against the
// reference of the same frame; a frame that differs, fails or does not arrive ends the run.
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Kino/VideoFrame.h"
#include "SystemBench.h"
#include "VireoClient/VireoClient.h"
#include "basekit/utility/Text.h"
#include "engine/Errors.h"
#include "engine/Movie.h"
#include "engine/PixelFormats.h"

namespace vireo::bench {

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Processor time of the calling process (every thread), in seconds.
inline double ProcessCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// One 64-bit digest of the checksums of a movie's frames (FNV-1a over the words), so that
// processes can compare whole movies in one line.
inline std::uint64_t Digest(std::vector<std::uint64_t> const& sums) {
    std::uint64_t hash = 14695981039346656037ull;
    for (std::uint64_t sum : sums) {
        for (int byte = 0; byte < 8; ++byte) {
            hash = (hash ^ ((sum >> (8 * byte)) & 0xff)) * 1099511628211ull;
        }
    }
    return hash;
}

// Movies read in-process with the engine library the server uses (same options, same
// conversion), each frame into one 64-byte aligned buffer.
class EngineMovies {
  public:
    bool Open(std::string const& path, std::string& error) {
        std::int32_t code = 0;
        std::unique_ptr<engine::Movie> movie = engine::Movie::Open(path, {}, code);
        if (!movie || movie->Info().video.frameCount <= 0) {
            error = "the engine cannot open " + path + " (" + std::to_string(code) + ")";
            return false;
        }
        engine::VideoInfo const& video = movie->Info().video;
        std::size_t const rowBytes = engine::MinimumRowBytes(engine::kFormatBGRA, video.width);
        std::size_t const size = (rowBytes * std::size_t(video.height) + 63) / 64 * 64;
        if (size > mSize) {
            mBuffer.reset(std::aligned_alloc(64, size));
            mSize = size;
            std::memset(mBuffer.get(), 0, size);
        }
        mMovies.push_back(std::move(movie));
        return mBuffer != nullptr;
    }

    std::int64_t Frames(std::size_t movie) const { return mMovies[movie]->Info().video.frameCount; }

    bool Read(std::size_t index, std::int64_t frame, std::uint64_t& sum, std::string& error) {
        engine::Movie& movie = *mMovies[index];
        engine::VideoInfo const& video = movie.Info().video;
        std::size_t const rowBytes = engine::MinimumRowBytes(engine::kFormatBGRA, video.width);
        std::int32_t const result = movie.ReadVideoFrame(
            frame * video.sampleSize, engine::kFormatBGRA, mBuffer.get(), rowBytes, 0, 0);
        if (result != engine::kOK) {
            error =
                "in-process frame " + std::to_string(frame) + ": error " + std::to_string(result);
            return false;
        }
        sum = PixelChecksum(mBuffer.get(), rowBytes, std::size_t{4} * std::size_t(video.width),
                            static_cast<std::uint32_t>(video.height));
        return true;
    }

  private:
    std::vector<std::unique_ptr<engine::Movie>> mMovies;
    std::unique_ptr<void, decltype(&std::free)> mBuffer{nullptr, &std::free};
    std::size_t mSize = 0;
};

// Movies read through the library: ImportFile, then the importer's blocking GetMovieVideo.
class LibraryMovies {
  public:
    bool Open(std::string const& path, std::string& error) {
        Opened opened;
        long const result = VireoClient::ImportFile(basekit::utility::UTF8to16(path), false, false,
                                                    false, opened.importer);
        if (result != 0 || !opened.importer) {
            error = "ImportFile " + path + " failed: " + std::to_string(result);
            return false;
        }
        VireoServer::VideoProperties const& video = opened.importer->GetVideoProperties();
        opened.format = VireoServer::PixelFormat(engine::kFormatBGRA,
                                                 engine::FormatProperties(engine::kFormatBGRA));
        for (VireoServer::PixelFormat const& offered : video.SupportedPixelFormats) {
            if (offered.fourcc == engine::kFormatBGRA) {
                opened.format = offered;
            }
        }
        opened.sampleSize = video.SampleSize;
        opened.frames =
            video.SampleSize > 0
                ? (std::int64_t{video.Duration} + video.SampleSize - 1) / video.SampleSize
                : 0;
        if (opened.frames <= 0) {
            error = path + " has no video frames";
            return false;
        }
        mMovies.push_back(std::move(opened));
        return true;
    }

    std::int64_t Frames(std::size_t movie) const { return mMovies[movie].frames; }

    bool Read(std::size_t index, std::int64_t frame, std::uint64_t& sum, std::string& error) {
        Opened const& movie = mMovies[index];
        InterfaceRef<Kino::IVideoFrame> pixels;
        long const result = movie.importer->GetMovieVideo(
            static_cast<std::int32_t>(frame * movie.sampleSize), movie.format, 0, 0, pixels);
        if (result != 0 || !pixels) {
            error = "frame " + std::to_string(frame) + ": error " + std::to_string(result);
            return false;
        }
        sum = PixelChecksum(pixels->GetPixels(), pixels->GetRowBytes(),
                            std::size_t{4} * pixels->GetWidth(), pixels->GetHeight());
        return true;
    }

  private:
    struct Opened {
        InterfaceRef<VireoClient::IVireoImporter, VireoClient::IVireoImporter> importer;
        VireoServer::PixelFormat format;
        std::int32_t sampleSize = 0;
        std::int64_t frames = 0;
    };
    std::vector<Opened> mMovies;
};

// What one worker did in its timed window.
struct WorkerResult {
    std::int64_t frames = 0;             // frames read and checked
    double seconds = 0;                  // from its start to its last frame
    std::vector<std::uint64_t> digests;  // per movie, in the order of the paths given
    std::string error;                   // empty when every frame was read and agreed
};

// Reads `paths` with `Movies` (EngineMovies or LibraryMovies). `first` is the movie each pass
// cycle starts with, so that workers do not all read the same movie at the same moment.
template <class Movies>
class Worker {
  public:
    Worker(std::vector<std::string> paths, std::size_t first)
        : mPaths(std::move(paths)), mFirst(first) {}

    // Opens every movie and reads each once: the reference checksums. False with `error` set.
    bool Prepare() {
        for (std::string const& path : mPaths) {
            if (!mMovies.Open(path, mResult.error)) {
                return false;
            }
        }
        for (std::size_t movie = 0; movie < mPaths.size(); ++movie) {
            std::vector<std::uint64_t> sums(static_cast<std::size_t>(mMovies.Frames(movie)));
            for (std::int64_t n = 0; n < mMovies.Frames(movie); ++n) {
                if (!mMovies.Read(movie, n, sums[std::size_t(n)], mResult.error)) {
                    return false;
                }
            }
            mResult.digests.push_back(Digest(sums));
            mReference.push_back(std::move(sums));
        }
        return true;
    }

    // Reads passes of the movies in turn, from now until `seconds` have passed (the pass under
    // way stops at the deadline), checking every frame against its reference.
    WorkerResult const& Run(double seconds) {
        mResult.frames = 0;
        Clock::time_point const start = Clock::now();
        auto const deadline = start + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(seconds));
        for (std::size_t turn = mFirst; mResult.error.empty(); ++turn) {
            std::size_t const movie = turn % mPaths.size();
            for (std::int64_t n = 0; n < mMovies.Frames(movie); ++n) {
                if (Clock::now() >= deadline) {
                    mResult.seconds = SecondsSince(start);
                    return mResult;
                }
                std::uint64_t sum = 0;
                if (!mMovies.Read(movie, n, sum, mResult.error)) {
                    break;
                }
                if (sum != mReference[movie][std::size_t(n)]) {
                    mResult.error = mPaths[movie] + " frame " + std::to_string(n) +
                                    " differs from its first reading";
                    break;
                }
                ++mResult.frames;
            }
        }
        mResult.seconds = SecondsSince(start);
        return mResult;
    }

    WorkerResult const& Result() const { return mResult; }

  private:
    std::vector<std::string> const mPaths;
    std::size_t const mFirst;
    Movies mMovies;
    std::vector<std::vector<std::uint64_t>> mReference;
    WorkerResult mResult;
};

}  // namespace vireo::bench
