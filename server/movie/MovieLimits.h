#pragma once
// What one client session may ask of the server, read from the debug settings at start
// (docs/server.md, "Limits"). Each limit has its own error code (engine/Errors.h).
#include <cstdint>

namespace vireo::server::movie {

struct MovieLimits {
    // Opening a movie (its file, the files it refers to, its first frame) longer than this fails
    // with kErrOpenTimedOut; 0: no limit.
    std::int32_t openTimeLimitMs = 10000;
    // Largest frame delivered (kErrFrameTooLarge beyond).
    std::int32_t maxFrameWidth = 8192;
    std::int32_t maxFrameHeight = 8192;
    // Movies open, or being opened, per session (kErrTooManyMovies beyond).
    std::uint64_t maxMoviesPerSession = 256;
    // Shared memory of frames and audio blocks a session's client holds unreleased
    // (kErrSessionMemoryLimit beyond); 0: no limit.
    std::uint64_t maxSharedBytesPerSession = std::uint64_t(4) << 30;
    // Frames and audio blocks a session's client holds unreleased (kErrSessionFrameLimit
    // beyond); 0: no limit.
    std::uint64_t maxHeldFramesPerSession = 1024;
    // Opens of one session that run at once; its further opens wait for them.
    std::uint32_t opensPerSession = 2;
};

// Debug settings keys of the limits above.
constexpr char kOpenTimeLimitKey[] = "VireoServer.OpenTimeLimitMs";
constexpr char kMaxFrameWidthKey[] = "VireoServer.MaxFrameWidth";
constexpr char kMaxFrameHeightKey[] = "VireoServer.MaxFrameHeight";
constexpr char kMaxMoviesKey[] = "VireoServer.MaxMoviesPerSession";
constexpr char kMaxSharedBytesKey[] = "VireoServer.MaxSharedBytesPerSession";
constexpr char kMaxHeldFramesKey[] = "VireoServer.MaxHeldFramesPerSession";
constexpr char kOpensPerSessionKey[] = "VireoServer.OpensPerSession";

// The limits, each from its key when that holds an integer in the key's range, else its
// default (a value out of range is logged and ignored).
MovieLimits ReadMovieLimits();

}  // namespace vireo::server::movie
