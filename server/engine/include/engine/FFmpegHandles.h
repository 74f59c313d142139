#pragma once
// Owning handles for FFmpeg objects, so every path frees what it made: for the engine and for
// the export engine. Only code that links FFmpeg includes this header.
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace vireo::engine::detail {

// Closes the container and deletes its file guard (GuardedIO.h).
struct FormatCloser {
    void operator()(AVFormatContext* context) const noexcept;
};
struct CodecCloser {
    void operator()(AVCodecContext* context) const noexcept { avcodec_free_context(&context); }
};
struct FrameFreer {
    void operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
};
struct SwsFreer {
    void operator()(SwsContext* context) const noexcept { sws_freeContext(context); }
};
struct SwrFreer {
    void operator()(SwrContext* context) const noexcept { swr_free(&context); }
};
struct FifoFreer {
    void operator()(AVAudioFifo* fifo) const noexcept { av_audio_fifo_free(fifo); }
};

using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecCloser>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFreer>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFreer>;
using FifoPtr = std::unique_ptr<AVAudioFifo, FifoFreer>;

// Makes FFmpeg quiet unless VIREO_SERVER_LOG=1 asks for its warnings. Safe to call often.
void InitFFmpegLogging();

}  // namespace vireo::engine::detail
