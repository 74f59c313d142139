#pragma once
// The audio encoder of one export: converts submitted blocks to the encoder's sample format,
// cuts them into the encoder's frames and hands its packets to the movie writer. Used by one
// thread at a time (the export's strand).
#include <atomic>
#include <cstdint>

#include "MovieWriter.h"
#include "Plan.h"
#include "engine/FFmpegHandles.h"
#include "export/ExportService.h"

namespace vireo::server::exporting::detail {

class AudioEncoder {
  public:
    // `stop` is the export's stop request (0: none), which ends long runs of silence.
    AudioEncoder(AudioPlan const& plan, std::atomic<std::int32_t> const& stop)
        : mPlan(plan), mStop(stop) {}

    // Opens the encoder and adds its track to `writer` (before the writer's header).
    std::int32_t Open(MovieWriter& writer);

    // Checks a block's position and size without encoding: kExportOK, kErrAudioPosition or
    // kErrAudioBlock.
    std::int32_t Check(std::int64_t firstSample, std::int64_t sampleCount,
                       AudioBlockView const& block) const;

    // Encodes a checked block; silence fills a gap before it, samples beyond the export's range
    // are dropped.
    std::int32_t Encode(std::int64_t firstSample, std::int64_t sampleCount,
                        AudioBlockView const& block);

    // Encodes what is left and drains the encoder into the writer.
    std::int32_t Flush();

    // Sample frames taken so far (silence included).
    std::int64_t Position() const { return mPosition; }

  private:
    std::int32_t EncodeQueued(bool all);
    std::int32_t Send(AVFrame* frame);

    AudioPlan const& mPlan;
    std::atomic<std::int32_t> const& mStop;
    engine::detail::CodecPtr mContext;
    engine::detail::SwrPtr mResampler;
    engine::detail::FifoPtr mQueue;
    engine::detail::PacketPtr mPacket;
    MovieWriter* mWriter = nullptr;
    AVStream* mStream = nullptr;
    std::int64_t mPosition = 0;  // next sample frame expected
    std::int64_t mSent = 0;      // sample frames given to the encoder
    int mFrameSize = 0;
};

}  // namespace vireo::server::exporting::detail
