#pragma once
// Delivering what a request asked for: a frame converted straight into a shared block, or a
// block of audio, published to the session under the request's identifier. Runs on the movie's
// strand. Each checks first that the session's client has room for the block under its limits.
#include <cstdint>

#include "MovieLimits.h"
#include "OpenMovie.h"
#include "basetransport/Session.h"

namespace vireo::server::movie {

struct FrameRequest {
    std::int64_t time = 0;  // in the movie's video time scale
    std::uint32_t fourcc = 0;
    std::int32_t width = 0;  // output size, checked by CheckFrameRequest (never 0 here)
    std::int32_t height = 0;
};

// Checks a frame request against the movie and the limits before anything is queued; on kOK
// `request` holds the output size (the movie's own size for 0). Codes in the order checked:
// kErrNoVideo, kErrUnsupportedPixelFormat, kErrTimeOutOfRange, kErrBadDestination (a size below
// 1), kErrFrameTooLarge.
std::int32_t CheckFrameRequest(vireo::engine::MovieInfo const& info, MovieLimits const& limits,
                               FrameRequest& request);

// Renders the frame into a shared block and publishes it under `id`. Returns kOK or a code.
std::int32_t DeliverFrame(OpenMovie& movie, basetransport::SessionPtr const& session,
                          basekit::utility::Guid const& id, FrameRequest const& request,
                          MovieLimits const& limits);

// Decodes half a second of audio at most into a shared block and publishes it under `id`.
// Returns the number of floats published (> 0), 0 at the end of the audio, or a negative code.
std::int64_t DeliverAudio(OpenMovie& movie, basetransport::SessionPtr const& session,
                          basekit::utility::Guid const& id, MovieLimits const& limits);

}  // namespace vireo::server::movie
