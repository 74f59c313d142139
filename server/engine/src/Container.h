#pragma once
// Opening a container file with FFmpeg through the engine's guarded open (GuardedIO.h), with
// failures sorted into the engine's error codes.
#include <cstdint>
#include <string>

#include "GuardedIO.h"
#include "engine/FFmpegHandles.h"

namespace vireo::engine::detail {

// Opens `path` and reads its stream information, stopping once `deadline` has passed. On failure
// returns a code of Errors.h and leaves `container` empty. `format` names the demuxer to use
// (null: recognise the file by its contents); a second opening of the same file passes the first
// one's, so both see the same streams. The guard stays installed (files a playlist opens while
// it is read go through it too) but disarmed.
std::int32_t OpenContainer(std::string const& path, const AVInputFormat* format,
                           Clock::time_point deadline, FormatPtr& container);

// The deadline of an open that starts now and may take `limitMs` (0: none).
Clock::time_point OpeningDeadline(std::int32_t limitMs);

// `otherwise`, or kErrReferenceRefused when the guard of `container` refused a file it referred
// to (which better explains a failure).
std::int32_t ExplainFailure(AVFormatContext const* container, std::int32_t otherwise) noexcept;

// Re-arms the guard of `container` with `deadline` while it lives (for the decoding that belongs
// to opening a movie: its first frame).
class ArmedGuard {
  public:
    ArmedGuard(AVFormatContext* container, Clock::time_point deadline) noexcept;
    ~ArmedGuard();
    ArmedGuard(ArmedGuard const&) = delete;
    ArmedGuard& operator=(ArmedGuard const&) = delete;
    // `otherwise`, or the code that explains it better: the deadline passed, or the guard
    // refused a file the container referred to.
    std::int32_t Explain(std::int32_t otherwise) const noexcept;

  private:
    FileGuard* mGuard;
};

}  // namespace vireo::engine::detail
