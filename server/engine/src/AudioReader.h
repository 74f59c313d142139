#pragma once
// Decodes one audio stream block after block as interleaved 32-bit float.
//
// It opens the file a second time, so that audio keeps its own position whatever the video side
// seeks to. Samples come out in the stream's own rate and channel order; libswresample only
// changes the sample format (and keeps the channel layout fixed should the stream change it).
#include <cstdint>
#include <string>
#include <vector>

#include "engine/FFmpegHandles.h"

namespace vireo::engine::detail {

class AudioReader {
  public:
    // `limit`: sample frames to deliver at most (the container's exact count), -1 for no limit.
    // `openTimeLimitMs` bounds opening the file (on the first read, and after Restart).
    AudioReader(std::string path, const AVInputFormat* format, int stream, int channels,
                std::int64_t limit, std::int32_t openTimeLimitMs);

    std::int64_t Read(float* destination, std::int64_t maxFrames);
    // Puts back the last `frames` sample frames the last Read gave (up to what it gave): the
    // next Read gives them again.
    void Unread(std::int64_t frames) noexcept;
    // Back to the first sample: closes everything; the next read opens the file again.
    void Restart() noexcept;
    std::int64_t Position() const noexcept { return mPosition; }

  private:
    std::int32_t Open();
    std::int32_t DecodeMore();
    std::int32_t Convert(AVFrame const* frame);
    // Appends what libswresample holds back (only when it changes the rate).
    std::int32_t Drain();
    std::int32_t Append(const std::uint8_t* const* data, int samples);
    std::int64_t PendingFrames() const noexcept;

    std::string mPath;
    const AVInputFormat* mFormat;
    int mIndex;
    int mChannels;
    std::int64_t mLimit;
    std::int32_t mOpenTimeLimitMs;

    FormatPtr mContainer;
    CodecPtr mDecoder;
    SwrPtr mResampler;
    AVChannelLayout mOutputLayout{};
    AVChannelLayout mInputLayout{};
    int mInputRate = 0;
    int mOutputRate = 0;
    int mInputFormat = -1;
    PacketPtr mPacket;
    FramePtr mFrame;
    std::vector<float> mPending;  // converted samples not yet handed out
    std::size_t mPendingOffset = 0;
    std::int64_t mPosition = 0;
    bool mDemuxEnd = false;
    bool mDecoderEnd = false;
    int mBadPackets = 0;
};

}  // namespace vireo::engine::detail
