#include "Delivery.h"

#include <algorithm>

#include "MovieWire.h"
#include "Pix/Pix.h"
#include "crossprocess/CrossProcess.h"
#include "engine/Errors.h"
#include "engine/PixelFormats.h"

namespace vireo::server::movie {

namespace engine = vireo::engine;
using basekit::utility::Guid;
using basetransport::SessionPtr;

namespace {

// Whether the session's client may hold one more block of `bytes` (its held blocks are counted
// by crossprocess; the same limits refuse the publication should the client take more
// meanwhile).
std::int32_t CheckRoom(SessionPtr const& session, std::uint64_t bytes, MovieLimits const& limits) {
    crossprocess::SessionUsage const used = crossprocess::GetSessionUsage(session);
    if (limits.maxHeldFramesPerSession != 0 && used.blocks >= limits.maxHeldFramesPerSession)
        return engine::kErrSessionFrameLimit;
    if (limits.maxSharedBytesPerSession != 0 &&
        (bytes > limits.maxSharedBytesPerSession ||
         used.bytes > limits.maxSharedBytesPerSession - bytes))
        return engine::kErrSessionMemoryLimit;
    return engine::kOK;
}

std::int32_t Publish(SessionPtr const& session, Guid const& id,
                     crossprocess::WritableBinaryReferencePtr const& block, std::uint64_t size) {
    long const published = crossprocess::PublishToSession(session, id, block, size);
    if (published == 0)
        return engine::kOK;
    if (published == crossprocess::kPublishSessionMemoryLimit)
        return engine::kErrSessionMemoryLimit;
    if (published == crossprocess::kPublishSessionBlockLimit)
        return engine::kErrSessionFrameLimit;
    return engine::kErrPublishFailed;
}

}  // namespace

std::int32_t CheckFrameRequest(engine::MovieInfo const& info, MovieLimits const& limits,
                               FrameRequest& request) {
    engine::VideoInfo const& video = info.video;
    if (!video.present)
        return engine::kErrNoVideo;
    if (!engine::IsSupportedFormat(request.fourcc))
        return engine::kErrUnsupportedPixelFormat;
    if (request.time < 0 || request.time >= video.duration)
        return engine::kErrTimeOutOfRange;
    if (request.width == 0)
        request.width = video.width;
    if (request.height == 0)
        request.height = video.height;
    if (request.width < 1 || request.height < 1)
        return engine::kErrBadDestination;
    if (request.width > limits.maxFrameWidth || request.height > limits.maxFrameHeight)
        return engine::kErrFrameTooLarge;
    return engine::kOK;
}

namespace {

// Bytes of the pixels of a delivered frame, as the limits count them before rendering.
std::uint64_t FrameBytes(FrameRequest const& request) {
    std::uint64_t const rowBytes =
        (std::uint64_t(engine::MinimumRowBytes(request.fourcc, request.width)) + 63) / 64 * 64;
    return rowBytes * std::uint64_t(request.height);
}

// Renders the frame into a new shared block.
std::int32_t RenderFrame(OpenMovie& movie, FrameRequest const& request,
                         crossprocess::WritableBinaryReferencePtr& block) {
    engine::VideoInfo const& video = movie.Info().video;
    std::uint32_t parNumerator = video.parNumerator, parDenominator = video.parDenominator;
    vireo::server::movie::ScaledPixelAspect(parNumerator, parDenominator, video.width, video.height,
                                            request.width, request.height);
    InterfaceRef<Kino::IWritableVideoFrame> frame = Pix::CreateSharedVideoFrame(
        std::uint32_t(request.width), std::uint32_t(request.height), request.fourcc,
        engine::FormatProperties(request.fourcc),
        basemediatypes::PixelAspectRatio(parNumerator, parDenominator), video.fieldType, block);
    if (!frame || !block)
        return engine::kErrPublishFailed;
    std::int32_t const result =
        movie.Engine()->ReadVideoFrame(request.time, request.fourcc, frame->GetMutablePixels(),
                                       frame->GetRowBytes(), request.width, request.height);
    if (result != engine::kOK)
        block.reset();
    return result;
}

}  // namespace

std::int32_t DeliverFrame(OpenMovie& movie, SessionPtr const& session, Guid const& id,
                          FrameRequest const& request, MovieLimits const& limits) {
    std::int32_t result = CheckRoom(session, FrameBytes(request), limits);
    // A request for another frame (a seek, another format) drops the ahead frame.
    std::unique_ptr<AheadFrame> ahead = movie.TakeAhead();
    if (result != engine::kOK)
        return result;
    crossprocess::WritableBinaryReferencePtr block;
    if (ahead && ahead->Request() == request) {
        block = std::move(ahead->block);
    } else {
        ahead.reset();
        result = RenderFrame(movie, request, block);
        if (result != engine::kOK)
            return result;
    }
    return Publish(session, id, block, block->GetSize());
}

void RenderAhead(OpenMovie& movie, SessionPtr const& session, FrameRequest const& last,
                 MovieLimits const& limits, std::shared_ptr<AheadLedger> const& ledger) {
    engine::VideoInfo const& video = movie.Info().video;
    FrameRequest next = last;
    next.time = last.time + video.sampleSize;
    if (movie.HasAhead() || video.sampleSize <= 0 || next.time >= video.duration || !movie.Engine())
        return;
    std::uint64_t const bytes = FrameBytes(next);
    if (!ledger->Take(session->GetID(), crossprocess::GetSessionUsage(session), bytes, limits))
        return;
    auto ahead = std::make_unique<AheadFrame>(ledger, session->GetID(), bytes, next);
    // A frame that cannot be rendered now is left to its request, which reports why.
    if (RenderFrame(movie, next, ahead->block) == engine::kOK)
        movie.KeepAhead(std::move(ahead));
}

std::int64_t DeliverAudio(OpenMovie& movie, SessionPtr const& session, Guid const& id,
                          MovieLimits const& limits) {
    engine::AudioInfo const& audio = movie.Info().audio;
    if (!audio.present || audio.channels <= 0)
        return engine::kErrNoAudio;
    std::int64_t const frames = std::max<std::int64_t>(1, std::int64_t(audio.sampleRate / 2));
    std::uint64_t const bytes =
        std::uint64_t(frames) * std::uint64_t(audio.channels) * sizeof(float);
    std::int32_t const room = CheckRoom(session, bytes, limits);
    if (room != engine::kOK)
        return room;
    crossprocess::WritableBinaryReferencePtr block = crossprocess::CreateWritableReference(bytes);
    if (!block || block->GetSize() < bytes)
        return engine::kErrPublishFailed;
    std::int64_t const got =
        movie.Engine()->ReadAudio(static_cast<float*>(block->GetData()), frames);
    if (got <= 0)
        return got;
    std::int64_t const values = got * audio.channels;
    std::int32_t const published =
        Publish(session, id, block, std::uint64_t(values) * sizeof(float));
    if (published != engine::kOK) {
        // Not delivered: the next request gets these samples, none is lost.
        movie.Engine()->UnreadAudio(got);
        return published;
    }
    return values;
}

}  // namespace vireo::server::movie
