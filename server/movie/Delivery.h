#pragma once
// Delivering what a request asked for: a frame converted straight into a shared block, or a
// block of audio, published to the session under the request's identifier. Runs on the movie's
// strand. Each checks first that the session's client has room for the block under its limits.
#include <cstdint>
#include <memory>

#include "MovieLimits.h"
#include "OpenMovie.h"
#include "ReadAhead.h"
#include "basetransport/Session.h"

namespace vireo::server::movie {

// Checks a frame request against the movie and the limits before anything is queued; on kOK
// `request` holds the output size (the movie's own size for 0). Codes in the order checked:
// kErrNoVideo, kErrUnsupportedPixelFormat, kErrTimeOutOfRange, kErrBadDestination (a size below
// 1), kErrFrameTooLarge.
std::int32_t CheckFrameRequest(vireo::engine::MovieInfo const& info, MovieLimits const& limits,
                               FrameRequest& request);

// Publishes the frame under `id`: the movie's ahead frame when it is the one asked for,
// otherwise a frame rendered now (the ahead frame, if any, is dropped either way). Returns kOK
// or a code.
std::int32_t DeliverFrame(OpenMovie& movie, basetransport::SessionPtr const& session,
                          basekit::utility::Guid const& id, FrameRequest const& request,
                          MovieLimits const& limits);

// Renders the frame after `last` (one frame period later, same format and size) and keeps it as
// the movie's ahead frame, when the movie has none, the frame is inside the movie and the
// ledger gives it a place (ReadAhead.h). Cheap to call when nothing is to be done.
void RenderAhead(OpenMovie& movie, basetransport::SessionPtr const& session,
                 FrameRequest const& last, MovieLimits const& limits,
                 std::shared_ptr<AheadLedger> const& ledger);

// Decodes half a second of audio at most into a shared block and publishes it under `id`.
// Returns the number of floats published (> 0), 0 at the end of the audio, or a negative code.
std::int64_t DeliverAudio(OpenMovie& movie, basetransport::SessionPtr const& session,
                          basekit::utility::Guid const& id, MovieLimits const& limits);

}  // namespace vireo::server::movie
