#pragma once
// Decodes one video stream and finds the frame shown at a given time.
//
// Decoded frames wait in a short queue in presentation order. A frame is known to be the one
// shown at time t when its timestamp is at or before t and the next frame's is after t (or the
// stream has ended), so variable frame rates and reordered (B-)frames are followed exactly.
// Reading forward keeps decoding from where the decoder is; a jump backwards, or far forward past
// a key frame, seeks to the key frame before the target and decodes forward from there.
#include <cstdint>
#include <deque>
#include <string>

#include "engine/FFmpegHandles.h"

namespace vireo::engine::detail {

class VideoReader {
  public:
    // Takes `container` (already opened from `path`) and opens a decoder for `stream`.
    // `openTimeLimitMs` bounds opening the file again (going back to its start).
    static std::int32_t Create(std::string const& path, FormatPtr container, int stream,
                               int threads, std::int32_t openTimeLimitMs,
                               std::unique_ptr<VideoReader>& reader);

    AVRational TimeBase() const noexcept { return mStream->time_base; }
    AVStream const* Stream() const noexcept { return mStream; }
    AVFormatContext* Container() const noexcept { return mContainer.get(); }

    // Decodes the first frame; its timestamp is the start of the movie (time 0).
    std::int32_t ReadFirstFrame(AVFrame const*& frame);
    void SetStartPts(std::int64_t pts) noexcept { mStartPts = pts; }
    std::int64_t StartPts() const noexcept { return mStartPts; }

    // The frame shown at `target` (stream time base). The frame stays valid until the next call.
    std::int32_t FrameAt(std::int64_t target, AVFrame const*& frame);

    // Decodes until `count` frames wait beyond the last frame returned.
    std::int32_t DecodeAhead(int count);

    std::int64_t Seeks() const noexcept { return mSeeks; }
    std::int64_t FramesDecoded() const noexcept { return mFramesDecoded; }

  private:
    struct Decoded {
        FramePtr frame;
        std::int64_t pts = 0;
        std::int64_t duration = 0;
    };
    enum class Lookup { Found, NeedMore, Behind };
    // What one avcodec_receive_frame gave: a frame, a request for input, a frame lost to
    // damaged data, or the end of the stream.
    enum class Received { Frame, Again, Damaged, End };

    VideoReader() = default;
    Lookup Locate(std::int64_t target);
    std::int32_t DecodeOne();
    std::int32_t ReceiveFrame(Received& outcome);
    bool FarAhead(std::int64_t target) const;
    std::int32_t Seek(std::int64_t timestamp);
    std::int32_t Rewind();
    void ResetDecoding();

    std::string mPath;
    int mIndex = -1;
    std::int32_t mOpenTimeLimitMs = 0;
    FormatPtr mContainer;
    AVStream* mStream = nullptr;
    CodecPtr mDecoder;
    PacketPtr mPacket;
    std::deque<Decoded> mQueue;
    std::int64_t mStartPts = AV_NOPTS_VALUE;
    std::int64_t mNominalDuration = 1;       // one frame at the nominal rate
    std::int64_t mLastPts = AV_NOPTS_VALUE;  // of the last decoded frame
    std::int64_t mLastPacketDts = AV_NOPTS_VALUE;
    std::int64_t mStartKeyDts = AV_NOPTS_VALUE;  // key packet the decoder started at after a seek
    bool mDemuxEnd = false;
    bool mDecoderEnd = false;
    bool mNeedKeyframe = false;
    int mSkippedPackets = 0;
    std::int64_t mSeeks = 0;
    std::int64_t mFramesDecoded = 0;
    int mBadPackets = 0;
};

}  // namespace vireo::engine::detail
