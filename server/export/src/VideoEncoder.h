#pragma once
// The video encoder of one export: converts each submitted frame and hands the encoder's
// packets to the movie writer. Used by one thread at a time (the export's strand).
#include <atomic>
#include <cstdint>
#include <memory>

#include "FrameConverter.h"
#include "MovieWriter.h"
#include "Plan.h"
#include "engine/FFmpegHandles.h"

namespace vireo::server::exporting::detail {

class VideoEncoder {
  public:
    // `stop` is the export's stop request (0: none), which ends long runs of repeated frames.
    VideoEncoder(VideoPlan const& plan, std::atomic<std::int32_t> const& stop)
        : mPlan(plan), mStop(stop), mConverter(plan) {}

    // Opens the encoder and adds its track to `writer` (before the writer's header).
    std::int32_t Open(MovieWriter& writer);

    // Checks a frame without touching the encoder (kExportOK, kErrFrameFormat,
    // kErrFrameMismatch).
    std::int32_t Check(VideoFrameView const& frame) const { return mConverter.Check(frame); }

    // Encodes frame `frameNumber` (after every earlier one) and writes what the encoder gives.
    // Numbers skipped since the previous frame repeat that frame, so the movie keeps its
    // constant rate. The frame's pixels are no longer read when this returns, but a frame
    // written as it is stays held (VideoFrameView::hold) until the next frame, for repeats.
    std::int32_t Encode(std::uint32_t frameNumber, VideoFrameView const& frame);

    // Drains the encoder into the writer.
    std::int32_t Flush();

  private:
    std::int32_t Configure(AVCodecContext* context, AVDictionary** options) const;
    std::int32_t Send(AVFrame* frame);
    std::int32_t WriteSample(std::uint32_t frameNumber, VideoFrameView const& frame);
    std::int32_t RepeatUpTo(std::int64_t frameNumber);

    VideoPlan const& mPlan;
    std::atomic<std::int32_t> const& mStop;
    FrameConverter mConverter;
    engine::detail::CodecPtr mContext;
    engine::detail::PacketPtr mPacket;
    MovieWriter* mWriter = nullptr;
    AVStream* mStream = nullptr;
    engine::detail::FramePtr mLastPicture;  // the last frame given to the encoder
    engine::detail::PacketPtr mLastSample;  // or the last frame written as it is
    std::int64_t mNextFrame = 0;            // the number that follows the last frame
};

}  // namespace vireo::server::exporting::detail
