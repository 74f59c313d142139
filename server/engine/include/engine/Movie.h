#pragma once
// A movie file opened for reading frames and audio through FFmpeg's libraries.
//
// Thread use: one Movie is used by one thread at a time (callers serialise, e.g. with a queue per
// movie); any number of Movies may be open and used on different threads at once.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/MovieInfo.h"

namespace vireo::engine {

// How long opening a movie may take by default: reading its container, the files it refers to
// and its first frame. A later opening of the same file (reading audio, going back to the start)
// has the same limit.
constexpr std::int32_t kDefaultOpenTimeLimitMs = 10000;

struct OpenOptions {
    bool readVideo = true;  // open the video stream (when false, VideoInfo is still filled)
    bool readAudio = true;  // open the audio stream
    std::int32_t decoderThreads = 0;  // 0: the decoder chooses; 1: decode on the calling thread
    // Opening longer than this fails with kErrOpenTimedOut; 0: no limit.
    std::int32_t openTimeLimitMs = kDefaultOpenTimeLimitMs;
};

// Counters of the video decoder since the movie was opened, for tests and diagnostics.
struct DecodeStats {
    std::int64_t seeks = 0;          // jumps of the demuxer (including reopening at the start)
    std::int64_t framesDecoded = 0;  // frames the decoder produced
};

class Movie {
  public:
    // Opens `path` (UTF-8). On failure returns null and sets `error` to a code of Errors.h;
    // on success `error` is 0. Only regular files are read, the movie's and those it refers to
    // (docs/media-engine.md, "Opening").
    static std::unique_ptr<Movie> Open(std::string const& path, OpenOptions const& options,
                                       std::int32_t& error);

    ~Movie();
    Movie(Movie const&) = delete;
    Movie& operator=(Movie const&) = delete;

    MovieInfo const& Info() const noexcept;

    // Converts the frame shown at `time` (in Info().video.timeScale units from the start of the
    // movie) into `destination`, whose rows are `rowBytes` apart, as `fourcc` (see
    // PixelFormats.h), scaled to `width` x `height` (0 for the movie's own size). Frames are
    // exact: the frame returned is the last one whose presentation time is at or before `time`.
    // Reading forward continues the decoder without seeking. Returns 0 or an error code.
    std::int32_t ReadVideoFrame(std::int64_t time, std::uint32_t fourcc, void* destination,
                                std::size_t rowBytes, std::int32_t width, std::int32_t height);

    // Decodes up to `frames` frames beyond the last one read, so that reading on needs no
    // decoding. Cheap when they are there already. Returns 0 or an error code.
    std::int32_t DecodeAhead(std::int32_t frames);

    // Writes the next block of audio at the movie's audio position as interleaved 32-bit float
    // (Info().audio.channels values per sample frame), at most `maxFrames` sample frames, and
    // moves the position on. Returns the number of sample frames written, 0 at the end, or a
    // negative error code. Reading until 0 yields every sample of the stream exactly once.
    std::int64_t ReadAudio(float* destination, std::int64_t maxFrames);

    // Puts back the last `frames` sample frames of the last ReadAudio (called right after it,
    // for a block that could not be delivered): the next ReadAudio gives them again.
    void UnreadAudio(std::int64_t frames) noexcept;

    // Moves the audio position back to the start.
    void RestartAudio();

    DecodeStats VideoStats() const noexcept;

    // Audio position in sample frames from the start.
    std::int64_t AudioPosition() const noexcept;

    // Frees the video decoder, its cached frames and the pixel converters (the large memory of an
    // idle movie); the next frame read opens them again. Audio keeps its decoder and position.
    void ReleaseVideoResources();

  private:
    struct Impl;
    explicit Movie(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> mImpl;
};

}  // namespace vireo::engine
